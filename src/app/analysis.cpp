// The final reports of an analysis, in the order of the run: the tables,
// tests and matrix files of the report, then the exploratory regressions and
// the residual files.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app.h"
#include "estimation/estimation.h"
#include "extended/extended.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "report/report.h"
#include "resfiles/resfiles.h"

namespace {

std::size_t at2(long j, int n) { return static_cast<std::size_t>(j) * n; }

}  // namespace

void linear_final_reports(RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                          LinearFit& fit, FILE* passResults, const HeteroFit* hetero) {
    if (out == nullptr) return;
    const ReportLabels L = make_report_labels(model, rs, mdm);
    const std::string outcome =
        fit.outcomeSlot >= 0 && fit.outcomeSlot < static_cast<int>(model.l1Names.size())
            ? std::string(model.l1Names[fit.outcomeSlot].text, 8)
            : std::string();
    const int F = fit.F, r = fit.r;
    const bool random = r > 0;
    const bool hypotheses = model.hypothesisRows[0] > 0 && !model.contrasts.empty();

    // Final fixed effects, model-based: the kept matrix is in units of sigma2.
    FixedTableOptions opt;
    opt.mode = random ? FixedTableMode::Final : FixedTableMode::LeastSquares;
    opt.covScale = fit.sigma2;
    opt.residualDf = fit.N - F;
    print_fixed_effects(out, L, F, fit.dfGamma.data(), opt, fit.gammaCov.data(), fit.gamma.data(), outcome.c_str(), F);
    if (hypotheses) {
        std::vector<double> V(fit.gammaCov);
        for (double& v : V) v *= fit.sigma2;
        general_linear_hypothesis(out, L, F, fit.gamma.data(), V.data(), F, model.hypothesisRows,
                                  model.contrasts.data());
    }

    // Robust errors from the units' scores; a tied gamma's score stands at the first of its group.
    RobustAccumulator acc;
    robust_add_unit_scores(fit, random ? fit.sigma2 : 1.0, acc);
    RobustInput in;
    in.p = F;
    in.gamma = fit.gamma.data();
    in.kept = fit.gammaCov.data();
    in.ld = F;
    in.sigma2 = fit.sigma2;
    in.randomEffects = random;
    in.df = fit.dfGamma.data();
    in.table.mode = random ? FixedTableMode::FinalRobust : FixedTableMode::LeastSquaresRobust;
    in.table.residualDf = fit.N - F;
    in.outcomeName = outcome.c_str();
    in.numUnits = fit.J;
    in.hypothesisRows = hypotheses ? model.hypothesisRows : nullptr;
    in.contrasts = hypotheses ? model.contrasts.data() : nullptr;
    std::vector<double> robust(static_cast<std::size_t>(F) * F, 0.0);
    const bool haveRobust = robust_covariance(out, L, in, acc, robust.data()) == 0;
    if (passResults != nullptr) append_linear_pass(passResults, fit, rs, haveRobust ? robust.data() : nullptr);
    if (hetero != nullptr) level1_var_table(out, *hetero);

    // Matrix files.
    if (rs.printVarCov != 0) {
        const int m = r * (r + 1) / 2;
        std::vector<double> tauCov;
        if (fit.fullML && fit.haveVarianceSE) {
            tauCov.assign(static_cast<std::size_t>(m) * m, 0.0);
            for (int a = 0; a < m; ++a)
                for (int b = 0; b < m; ++b) tauCov[a * m + b] = fit.varianceCov[a * (m + 1) + b];
        }
        if (random)
            write_tau_file("tauvc.dat", r, fit.tau.data(), r, m, tauCov.empty() ? nullptr : tauCov.data(),
                           fit.sigma2Fixed ? nullptr : &fit.sigma2);
        write_gamma_file("gamvc.dat", F, fit.gamma.data(), fit.gammaCov.data(), F, fit.sigma2);
        if (haveRobust) write_gamma_file("gamvcr.dat", F, fit.gamma.data(), robust.data(), F, fit.sigma2);
    }

    // Variance components with their chi-square tests, and the deviance.
    std::vector<int> counts(r);
    for (int q = 0; q < r; ++q) counts[q] = fit.coefNumGammas[fit.randomCoef[q]];
    print_variance_components(out, L, r, counts.data(), fit.Jo, fit.sigma2, !fit.sigma2Fixed, fit.tau.data(), r,
                              fit.chiSquare.data());
    if (random && fit.Jo < fit.J) print_partial_note(out, "chi-square statistics", fit.Jo, fit.J);
    print_deviance(out, fit.logLik, fit.numParams, rs.altDeviance, rs.altDf, rs.fullML);
    if (hetero != nullptr)
        print_fit_summary(out, hetero->logLikHomogeneous, hetero->logLikHeterogeneous, r, F,
                          rs.fixedSigma2 != 0.0, hetero->K);

    // Homogeneity of the level-1 variance from the units' OLS residual variances.
    if (rs.testHomogeneity) {
        std::vector<long> df(fit.J);
        std::vector<double> v(fit.J);
        for (long j = 0; j < fit.J; ++j) {
            df[j] = fit.n[j] - fit.Q;
            v[j] = fit.hasOls[j] && df[j] > 0 ? fit.olsResidualSS[j] / static_cast<double>(df[j]) : 0.0;
        }
        print_homogeneity_test(out, static_cast<int>(fit.J), df.data(), v.data());
    }

    // Candidate level-2 predictors against the empirical Bayes residuals (not after a
    // heterogeneous level-1 variance).
    if (random && hetero == nullptr) {
        const std::vector<ExploratoryCoefficient> coefs =
            exploratory_coefficients(model, mdm, ExploratoryLayout::Linear);
        if (!coefs.empty()) {
            ExploratoryData data;
            data.J = fit.J;
            data.residuals = fit.u.data();
            data.ldResiduals = r;
            data.level2 = fit.l2Design.data();
            data.ldLevel2 = fit.p2 + 1;
            data.numL2Slots = fit.p2 + 1;
            for (int k = 0; k <= fit.p2 && k < static_cast<int>(mdm.l2Names.size()); ++k)
                data.l2Names.push_back(std::string(mdm.l2Names[k].text, 8));
            print_exploratory_analysis(out, ExploratoryLayout::Linear, data, coefs);
        }
    }
    if (rs.lvrOn) report_latent_variable_regression(out, fit, model.lvrRole);

    write_residual_files(fit, rs, model, mdm, mdmFile);

    if (rs.printVarCov != 0) {
        MatrixFileListing listing;
        listing.randomEffects = random;
        listing.fullML = fit.fullML;
        listing.p = F;
        print_matrix_file_listing(out, listing);
    }
    if (!rs.graphGammas.empty() && mdmFile != nullptr)
        write_graph_file(rs.graphGammas.c_str(), fit, rs, model, mdm, mdmFile);
}

void report_vknown(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* out,
                   const VKnownFit& fit) {
    if (out == nullptr) return;
    const ReportLabels L = make_report_labels(model, rs, mdm);
    const int p = fit.p, F = fit.F;

    FixedTableOptions opt;
    opt.mode = FixedTableMode::Final;
    print_fixed_effects(out, L, F, fit.dfGamma.data(), opt, fit.gammaCov.data(), fit.gamma.data(), "", F);
    print_variance_components(out, L, p, fit.coefNumGammas.data(), fit.Ju, 0.0, false, fit.tau.data(), p,
                              fit.chiSquare.data());
    print_deviance(out, fit.logLik, fit.numParams, rs.altDeviance, rs.altDf, rs.fullML);

    // The exploratory regressions over the units that took part.
    std::vector<ExploratoryCoefficient> coefs = exploratory_coefficients(model, mdm, ExploratoryLayout::VKnown);
    if (!coefs.empty()) {
        const int w = fit.p2 + 1;
        std::vector<double> u, l2;
        for (long j = 0; j < fit.J; ++j) {
            if (!fit.usable[j]) continue;
            u.insert(u.end(), fit.u.begin() + static_cast<std::ptrdiff_t>(at2(j, p)),
                     fit.u.begin() + static_cast<std::ptrdiff_t>(at2(j + 1, p)));
            l2.insert(l2.end(), fit.l2Design.begin() + static_cast<std::ptrdiff_t>(at2(j, w)),
                      fit.l2Design.begin() + static_cast<std::ptrdiff_t>(at2(j + 1, w)));
        }
        ExploratoryData data;
        data.J = fit.Ju;
        data.residuals = u.data();
        data.ldResiduals = p;
        data.level2 = l2.data();
        data.ldLevel2 = w;
        data.numL2Slots = w;
        for (int k = 0; k < w && k < static_cast<int>(mdm.l2Names.size()); ++k)
            data.l2Names.push_back(std::string(mdm.l2Names[k].text, 8));
        print_exploratory_analysis(out, ExploratoryLayout::VKnown, data, coefs);
    }

    if (rs.wantResfil2) write_vknown_residual_file(rs, model, mdm, fit);

    bool anyLeftOut = false;
    for (long j = 0; j < fit.J; ++j) {
        if (fit.usable[j]) continue;
        if (!anyLeftOut) std::fprintf(out, "The following groups have been deleted from the analysis:\n");
        anyLeftOut = true;
        std::fprintf(out, "%d, ", static_cast<int>(j + 1));
    }
    if (anyLeftOut) std::fprintf(out, "\n");
}

void run_vknown_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out) {
    VKnownFit fit;
    fit_vknown(rs, model, mdm, mdmFile, out, fit);
    report_vknown(rs, model, mdm, out, fit);
}
