// The loops of the maximum-likelihood refinements after a finished PQL run:
// Laplace-6, Laplace-8, EM-Laplace and adaptive Gauss-Hermite quadrature. The
// level-1 records are read once into memory (after run-time deletion); every
// refinement starts from the unit-specific PQL estimates, writes each accepted
// iteration's report over the previous one from a recorded output position,
// and ends with the deviance, the hypothesis tests and its matrix files.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/base.h"
#include "nonlinear/nonlinear.h"
#include "nonlinear/refine.h"
#include "report/report.h"
#include "resfiles/resfiles.h"

namespace {

enum class Method { Laplace6, Laplace8, EmLaplace, Agq };

// What every refinement loop reads and writes.
struct RefineRun {
    const RunSettings& rs;
    const ModelSpec& model;
    LinearFit& fit;
    const PqlState& st;
    FILE* out;
    const ReportLabels& L;
    const char* outcome;
    const RefineData& d;
    const MdmHeader* modelMdm;
    FILE* mdmFile;
};

long position_of(FILE* out) { return out == stdout ? -1 : std::ftell(out); }
void seek_to(FILE* out, long pos) {
    if (out != stdout && pos >= 0) std::fseek(out, pos, SEEK_SET);
}

// The records of every unit after run-time deletion: outcome, count, the design
// rows of the estimated gammas (tied gammas summed) and of the random coefficients.
void fill_refine_data(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                      const LinearFit& fit, const PqlState& st, RefineData& d) {
    const int p1 = fit.p1, Q = fit.Q, Fe = fit.Fe, r = fit.r, w2 = fit.p2 + 1;
    const RefineFamily family = st.distribution == 2 ? RefineFamily::Poisson
                                : st.countSlot > 0   ? RefineFamily::Binomial
                                                     : RefineFamily::Bernoulli;
    refine_data_begin(d, family, Fe, r, st.countSlot > 0);
    Level1Reader reader = open_level1_reader(rs, model, mdm, fit, mdmFile);
    std::vector<double> means(p1), rec, centre(Q), x(Q), y, n, X, Z;
    for (long j = 0; j < fit.J; ++j) {
        const int nj = read_level1_unit(reader, means, rec);
        level1_centres(fit, model, mdm, means.data(), centre.data());
        const double* l2 = &fit.l2Design[static_cast<std::size_t>(j) * w2];
        y.assign(nj, 0.0);
        n.assign(nj, 1.0);
        X.assign(static_cast<std::size_t>(nj) * Fe, 0.0);
        Z.assign(static_cast<std::size_t>(nj) * r, 0.0);
        for (int i = 0; i < nj; ++i) {
            const double* row = &rec[static_cast<std::size_t>(i) * p1];
            for (int q = 0; q < Q; ++q) {
                const int s = fit.coefSlot[q];
                x[q] = s == 0 ? 1.0 : s > p1 ? 0.0 : row[s - 1] - centre[q];
            }
            y[i] = row[st.outcomeSlot - 1];
            if (st.countSlot > 0) n[i] = row[st.countSlot - 1];
            for (int g = 0; g < fit.F; ++g)
                X[static_cast<std::size_t>(i) * Fe + fit.gammaEst[g]] += x[fit.gammaCoef[g]] * l2[fit.gammaL2Slot[g]];
            for (int a = 0; a < r; ++a) Z[static_cast<std::size_t>(i) * r + a] = x[fit.randomCoef[a]];
        }
        refine_data_add_unit(d, nj, y.data(), st.countSlot > 0 ? n.data() : nullptr, X.data(), Z.data());
    }
}

// gamma and the covariance of (gamma, distinct Tau) with the tied gammas spread back
// over all F, for the tables and the hypothesis tests.
void spread_estimates(const LinearFit& fit, const RefineState& s, std::vector<double>& gamma,
                      std::vector<double>& cov) {
    const int F = fit.F, Fe = fit.Fe, m = tau_distinct(fit.r), P = F + m, Pe = Fe + m;
    auto index = [&](int a) { return a < F ? fit.gammaEst[a] : Fe + (a - F); };
    gamma.assign(F, 0.0);
    for (int g = 0; g < F; ++g) gamma[g] = s.gamma[fit.gammaEst[g]];
    cov.assign(static_cast<std::size_t>(P) * P, 0.0);
    if (static_cast<int>(s.cov.size()) != Pe * Pe) return;
    for (int a = 0; a < P; ++a)
        for (int b = 0; b < P; ++b) cov[a * P + b] = s.cov[index(a) * Pe + index(b)];
}

// The report block of the state's iteration, written from `pos`; the console likelihood line too
// unless the block is only being rewritten.
void report_iteration(const RefineRun& run, Method method, int order, const RefineState& s, long pos,
                      bool console = true) {
    std::vector<double> gamma, cov;
    spread_estimates(run.fit, s, gamma, cov);
    const double ll = s.logLik - run.fit.likConst;
    const int F = run.fit.F, q = run.fit.r;
    const long* df = run.fit.dfGamma.data();
    seek_to(run.out, pos);
    switch (method) {
    case Method::Agq:
        print_agq_block(run.out, run.L, order, s.iteration, F, q, gamma.data(), s.tau.data(), cov.data(), df,
                        run.outcome, ll);
        if (console) std::printf("The likelihood at AGQ iteration %d is %lE\n", s.iteration, ll);
        break;
    case Method::Laplace6:
    case Method::Laplace8:
        print_laplace_block(run.out, run.L, order, s.iteration, F, q, gamma.data(), s.tau.data(), cov.data(), df,
                            run.outcome, ll);
        if (console)
            std::printf(order == 8 ? "The likelihood at Laplace-8 iteration %d is %lE\n"
                                   : "The likelihood at Laplace iteration %d is %lE\n",
                        s.iteration, ll);
        break;
    case Method::EmLaplace: {
        std::vector<double> rel(q);
        long used = 0;
        emlap_reliabilities(run.d, s, rel.data(), &used);
        print_emlaplace_block(run.out, run.L, order, s.iteration, F, q, gamma.data(), s.tau.data(), cov.data(), df,
                              run.outcome, ll, rel.data());
        if (used < run.d.J) print_partial_note(run.out, "reliability estimates", used, run.d.J);
        if (console) std::printf("The likelihood at EM Laplace-%d iteration %d is %lE\n", order, s.iteration, ll);
        break;
    }
    }
}

// The console marks of one iteration on a line of their own.
void print_marks(const std::vector<char>& marks) {
    for (char c : marks) std::putchar(c);
    if (!marks.empty()) std::putchar('\n');
}

// 0 when an adaptive-quadrature step went well; otherwise its failure texts and 2.
int agq_outcome(FILE* out, int rc) {
    if (rc == AGQ_GO_ON) return 0;
    if (rc == AGQ_SINGULAR_UNIT) std::printf("Cannot compute the posterior dispersion of a unit in AGQ\n");
    if (rc == AGQ_SINGULAR_INFO) std::printf("Unable to invert the information matrix in AGQ\n");
    std::fprintf(out, "\nAdaptive quadrature is unable to compute a maximum likelihood estimate within\n"
                      "the parameter space.  Unable to produce AGQ results.\n\n");
    return 2;
}

// One iteration of the method; returns 0 to go on, 1 when the refinement ends as
// converged, 2 when it failed (texts written) and its results are not produced.
int iterate(const RefineRun& run, Method method, int order, RefineState& s) {
    FILE* out = run.out;
    switch (method) {
    case Method::Agq:
        return agq_outcome(out, agq_step(run.d, order, s, out));
    case Method::Laplace6:
    case Method::Laplace8: {
        std::vector<char> marks;
        const int rc = laplace_iteration(run.d, order, s, &marks);
        print_marks(marks);
        if (rc == LAPLACE_OK) return 0;
        if (rc == LAPLACE_DAMPING_END) return 1;
        if (rc == LAPLACE_SINGULAR_C) std::printf("Cannot compute Laplace6 inv[C]\n");
        if (rc == LAPLACE_SINGULAR_H) std::printf("Unable to invert H in Laplace\n");
        if (rc == LAPLACE_BAD_TAU) std::printf("Laplace8 produced a bad tau\n");
        // Laplace-8 stops without the failure lines and keeps its last estimates.
        if (method == Method::Laplace8) return 1;
        std::fprintf(out, "\nFisher scoring is unable to compute a maximum likehihood estimate within\n"
                          "the parameter space.  Unable to produce Laplace results.\n\n");
        return 2;
    }
    case Method::EmLaplace: {
        std::vector<char> marks;
        const int rc = emlap_iteration(run.d, order, s, &marks);
        print_marks(marks);
        if (rc == EMLAP_GO_ON) return 0;
        if (rc == EMLAP_FAILED_V0) {
            std::fprintf(out, "Unable to compute EM-Laplace V(0)\n");
            std::printf("Unable to compute EM Laplace1 theta2.\n");
        } else if (rc == EMLAP_FAILED_THETA1) {
            std::fprintf(out, "Unable to compute V11 for EM laplace theta1!\n");
            std::printf("Unable to compute EM Laplace1 theta1.\n");
        } else {
            std::printf("EM Laplace of order %d needs a model whose only random effect is the intercept.\n", order);
        }
        std::fprintf(out, "\nEM Laplace is unable to compute a maximum likehihood estimate within\n"
                          "the parameter space.  Unable to produce EM Laplace results.\n\n");
        return 2;
    }
    }
    return 2;
}

// The requested residual files from the refinement's estimates, modes and posterior
// dispersions (level-1 variance 1); the run's own fit is left as it was.
void write_refined_residual_files(const RefineRun& run, const RefineState& s, const std::vector<double>& gamma) {
    LinearFit& fit = run.fit;
    std::vector<double> u = s.modes, disp = s.disp, tau = s.tau, g = gamma;
    double sigma2 = 1.0;
    fit.u.swap(u), fit.postDisp.swap(disp), fit.tau.swap(tau), fit.gamma.swap(g), std::swap(fit.sigma2, sigma2);
    if (run.rs.wantResfil2) write_level2_residual_file(fit, run.rs, run.model, *run.modelMdm);
    if (run.rs.wantResfil1 && run.rs.distribution != 3) {
        PqlState st = run.st;
        st.gamma = gamma;
        st.tau = s.tau;
        st.u = s.modes;
        st.sigma2 = 1.0;
        st.linearisedAt = PqlPhase::UnitSpecific;
        write_pql_level1_residual_file(st, fit, run.rs, run.model, *run.modelMdm, run.mdmFile);
    }
    fit.u.swap(u), fit.postDisp.swap(disp), fit.tau.swap(tau), fit.gamma.swap(g), std::swap(fit.sigma2, sigma2);
}

// One refinement loop from the unit-specific PQL estimates, then its closing reports and files.
RefinedEstimates run_method(const RefineRun& run, Method method, int order, int limit) {
    RefinedEstimates result;
    result.requested = true;
    const LinearFit& fit = run.fit;
    const int Fe = fit.Fe, q = fit.r;
    std::vector<double> gamma(Fe, 0.0);
    for (int g = 0; g < fit.F; ++g) gamma[fit.gammaEst[g]] = run.st.gammaUS[g];
    RefineState s;
    refine_state_begin(s, run.d, gamma.data(), run.st.tauUS.data(), run.st.uUS.data());
    s.modeCriterion = run.rs.macroCriterion;
    const long pos = position_of(run.out);
    int ended = 0;
    bool any = false, converged = false;
    for (int left = limit; ended == 0 && left > 0; --left) {
        const std::vector<double> gammaOld = s.gamma, tauOld = s.tau;
        const int before = s.iteration;
        ended = iterate(run, method, order, s);
        if (s.iteration != before && ended != 2) {
            report_iteration(run, method, order, s, pos);
            any = true;
        }
        if (ended == 1 || (ended == 0 && nonlinear_converged(Fe, gammaOld.data(), s.gamma.data(), q, tauOld.data(),
                                                             s.tau.data(), run.rs.macroCriterion))) {
            ended = 1;
            converged = true;
        }
        if (ended == 0 && check_soft_interrupt()) ended = 1;
    }
    if (ended == 2 || !any) return result;
    // The quadrature's standard errors come from the observed information of the final estimates.
    if (method == Method::Agq) {
        if (agq_outcome(run.out, agq_observed_covariance(run.d, order, s, run.out)) != 0) return result;
        report_iteration(run, method, order, s, pos, false);
    }

    std::vector<double> g, cov;
    spread_estimates(fit, s, g, cov);
    print_deviance(run.out, s.logLik - fit.likConst, deviance_parameter_count(q, fit.Fe, true, false, -1),
                   run.rs.altDeviance, run.rs.altDf, true);
    if (run.model.hypothesisRows[0] > 0 && !run.model.contrasts.empty())
        general_linear_hypothesis(run.out, run.L, fit.F, g.data(), cov.data(), fit.F + tau_distinct(q),
                                  run.model.hypothesisRows, run.model.contrasts.data());
    // The quadrature's final modes, and EM-Laplace's once it has converged, are the units'
    // empirical Bayes residuals in the residual files, with their posterior dispersions.
    if ((method == Method::Agq || (method == Method::EmLaplace && converged)) &&
        (run.rs.wantResfil1 || run.rs.wantResfil2))
        write_refined_residual_files(run, s, g);
    if (run.rs.printVarCov != 0) {
        static const char* const files[4][2] = {
            {"gamvcl.dat", "tauvcl6.dat"}, {"gamvcl8.dat", "tauvcl8.dat"},
            {"gamvceml.dat", "tauvceml.dat"}, {"gamvcagq.dat", "tauvcagq.dat"}};
        const int k = static_cast<int>(method);
        refine_write_matrix_files(run.d, s, files[k][0], files[k][1]);
    }
    result.succeeded = true;
    result.tau = s.tau;
    result.gamma = g;
    const int F = fit.F, P = F + tau_distinct(q);
    result.cov.assign(static_cast<std::size_t>(F) * F, 0.0);
    for (int a = 0; a < F; ++a)
        for (int b = 0; b < F; ++b) result.cov[a * F + b] = cov[static_cast<std::size_t>(a) * P + b];
    return result;
}

// EM-Laplace order of the run, 0 without it; the console dialogue's 1 means the second order.
int emlaplace_order(const RunSettings& rs) {
    return rs.emLaplaceType >= 1 && rs.emLaplaceType <= 4 ? std::max(2, rs.emLaplaceType) : 0;
}

}  // namespace

bool refinement_requested(const RunSettings& rs) {
    return rs.laplace6 || rs.laplace8 || emlaplace_order(rs) != 0 ||
           (rs.emLaplaceType == 5 && rs.agqPoints > 0);
}

void check_agq_nodes(const RunSettings& rs, int r, FILE* out) {
    if (rs.emLaplaceType != 5 || rs.agqPoints <= 0 || r <= 0) return;
    if (agq_node_count(rs.agqPoints, r) <= AGQ_MAX_NODES) return;
    const char* text = "Adaptive quadrature with %d points for %d random effects needs more than %ld nodes per unit.\n";
    std::printf(text, rs.agqPoints, r, AGQ_MAX_NODES);
    if (out != nullptr && out != stdout) std::fprintf(out, text, rs.agqPoints, r, AGQ_MAX_NODES);
    fatal_exit(0);
}

RefinedSet run_refinements(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                           FILE* out, const ReportLabels& L, const char* outcome, LinearFit& fit, const PqlState& st) {
    RefinedSet set;
    if (!refinement_requested(rs) || fit.r == 0 || st.gammaUS.empty()) return set;
    RefineData d;
    fill_refine_data(rs, model, mdm, mdmFile, fit, st, d);
    const RefineRun run{rs, model, fit, st, out, L, outcome, d, &mdm, mdmFile};
    if (rs.laplace6) set.laplace = run_method(run, Method::Laplace6, 6, rs.laplace6Iterations);
    if (rs.laplace8) set.laplace = run_method(run, Method::Laplace8, 8, rs.laplace8Iterations);
    if (emlaplace_order(rs) != 0)
        set.emLaplace = run_method(run, Method::EmLaplace, emlaplace_order(rs), rs.laplaceIterations);
    if (rs.emLaplaceType == 5 && rs.agqPoints > 0) set.agq = run_method(run, Method::Agq, rs.agqPoints, rs.agqIterations);
    return set;
}
