// The PQL macro loop of a Bernoulli, binomial or Poisson model: the first
// linear fit of the raw outcome, the unit-specific macro iterations until the
// estimates settle, then the population-average phase with the final tests and
// matrix files. Each unit-specific report is written over the previous one from
// a recorded position of the output file, and so is each population-average one.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/base.h"
#include "nonlinear/nonlinear.h"
#include "report/report.h"
#include "resfiles/resfiles.h"

namespace {

// Macro-iteration limit after the user agrees to go on.
constexpr int CONTINUED_MACRO_LIMIT = 10000;
// From this macro iteration on, a runaway linear predictor ends the run.
constexpr int FIRST_FATAL_RUNAWAY = 8;

// Everything one macro iteration and its report need.
struct PqlRun {
    RunSettings& rs;
    const ModelSpec& model;
    const MdmHeader& mdm;
    FILE* mdmFile;
    FILE* out;
    ReportLabels L;
    std::string outcome;
    LinearFit fit;
    PqlState st;
};

// Scale that turns the engine's gamma matrix into the covariance: sigma2 of the working
// model; without random effects the fixed level-1 scale unless it is estimated.
double covariance_scale(const PqlRun& run) {
    const LinearFit& f = run.fit;
    if (f.r > 0 || !f.sigma2Fixed) return f.sigma2;
    return run.rs.fixedSigma2 != 0.0 ? run.rs.fixedSigma2 : 1.0;
}

// One macro iteration: the working-data pass, least squares and the EM iterations.
void macro_iteration(PqlRun& run, FILE* engineOut) {
    PqlState& st = run.st;
    LinearFit& fit = run.fit;
    ++st.macroIteration;
    std::printf("\n                         MACRO ITERATION %d\n\n", st.macroIteration);
    st.records = 0;
    st.sumY = st.logLik = 0.0;
    st.outOfRange = st.runaway = false;
    st.gammaStart = st.gamma;
    st.tauStart = st.tau;
    fit.macroIteration = st.macroIteration;
    setup_pass(run.rs, run.model, run.mdm, run.mdmFile, run.out, fit);

    if (st.outOfRange) {
        if (run.out != nullptr)
            std::fprintf(run.out, "\nPlease check your data.  The outcome variable %s must be %s",
                         run.outcome.c_str(), st.distribution == 1 ? "between 0 and 1.\n\n" : "non-negative.\n\n");
        fatal_exit(0);
    }
    if (st.runaway && st.macroIteration >= FIRST_FATAL_RUNAWAY) {
        std::printf("%s cannot estimate the model you have specified.\n", PROGRAM_NAME);
        fatal_exit(0);
    }
    if (fit.r == 0 && st.phase != PqlPhase::FirstLinear && (!st.categorical || st.macroIteration > 1))
        std::printf("The value of the likelihood function at iteration %d = %lE\n", st.macroIteration - 1,
                    st.logLik);

    if (st.phase == PqlPhase::FirstLinear) {
        // The level-1 variance of the first fit is that of the mean outcome.
        const double p = st.records > 0 ? st.sumY / static_cast<double>(st.records) : 0.0;
        double v = p;
        if (st.distribution == 1) {
            if (!(p > 0.0 && p < 1.0)) {
                if (run.out != nullptr) std::fprintf(run.out, "\nThe outcome variable must have values between 0 and 1.\n");
                fatal_exit(0);
            }
            v = p * (1.0 - p);
        }
        run.rs.fixedSigma2 = v;
        fit.sigma2Fixed = true;
        if (engineOut != nullptr) {
            print_results_header(engineOut, run.L, ResultsHeader::LinearIdentity, st.macroIteration);
            print_sigma2_line(engineOut, v);
        }
        if (fit.N != fit.Nmdm && run.out != nullptr)
            std::fprintf(run.out, "\nRun-time deletion has reduced the number of level-1 records to %ld\n\n", fit.N);
    }
    least_squares(run.rs, engineOut, run.L, run.outcome, fit);
    if (fit.r > 0) em_iterations(run.rs, engineOut, run.L, run.outcome, fit);
}

// The robust covariance of gamma from the units' scores, with its table; the robust
// hypothesis tests too when `tests`. Returns 0 with R filled (in units of the engine's
// matrix), 1 when it cannot be computed.
int robust_block(PqlRun& run, ModelPhase phase, bool tests, std::vector<double>& R) {
    const LinearFit& fit = run.fit;
    const int F = fit.F;
    const bool random = fit.r > 0;
    const double scale = covariance_scale(run);
    RobustAccumulator acc;
    robust_add_unit_scores(fit, random ? scale : 1.0, acc);
    const bool hypotheses = tests && run.model.hypothesisRows[0] > 0 && !run.model.contrasts.empty();
    RobustInput in;
    in.p = F;
    in.gamma = fit.gamma.data();
    in.kept = fit.gammaCov.data();
    in.ld = F;
    in.sigma2 = scale;
    in.randomEffects = random;
    in.df = fit.dfGamma.data();
    in.table.mode = FixedTableMode::FinalRobust;
    in.table.phase = phase;
    in.outcomeName = run.outcome.c_str();
    in.numUnits = fit.J;
    in.hypothesisRows = hypotheses ? run.model.hypothesisRows : nullptr;
    in.contrasts = hypotheses ? run.model.contrasts.data() : nullptr;
    R.assign(static_cast<std::size_t>(F) * F, 0.0);
    return robust_covariance(run.out, run.L, in, acc, R.data());
}

// The results of one macro iteration under its header. `final` adds the hypothesis tests.
void report_block(PqlRun& run, ModelPhase phase, bool final, std::vector<double>* robust) {
    FILE* out = run.out;
    const LinearFit& fit = run.fit;
    const ReportLabels& L = run.L;
    const int F = fit.F, r = fit.r;
    const double scale = covariance_scale(run);
    if (run.st.categorical) {
        print_results_header(out, L, run.st.ordinal ? ResultsHeader::Ordinal : ResultsHeader::Multinomial,
                             run.st.macroIteration);
        if (!fit.sigma2Fixed) print_sigma2_line(out, fit.sigma2);
    } else if (phase != ModelPhase::LinearFirstStep) {
        print_results_header(out, L,
                             phase == ModelPhase::UnitSpecific ? ResultsHeader::NonLinearUnitSpecific
                                                               : ResultsHeader::NonLinearPopAverage,
                             run.st.macroIteration);
        if (!fit.sigma2Fixed) print_sigma2_line(out, fit.sigma2);
    }
    // The linear step's iteration block already shows Tau and the reliabilities.
    if (r > 0 && phase != ModelPhase::LinearFirstStep) {
        print_matrix(out, L, r, r, fit.tau.data(), nullptr, "Tau", r);
        print_correlations(out, L, r, fit.tau.data(), "Tau", r);
        print_reliabilities(out, L, r, fit.reliability.data());
        if (fit.Jo < fit.J) print_partial_note(out, "reliability estimates", fit.Jo, fit.J);
    }
    FixedTableOptions opt;
    opt.mode = FixedTableMode::Final;
    opt.phase = phase;
    opt.covScale = scale;
    print_fixed_effects(out, L, F, fit.dfGamma.data(), opt, fit.gammaCov.data(), fit.gamma.data(),
                        run.outcome.c_str(), F);
    if (phase != ModelPhase::LinearFirstStep && L.nonLinear) print_odds_ratios(out, L, F, fit.dfGamma.data(), opt,
                                                                fit.gammaCov.data(), fit.gamma.data(), F);
    if (final && run.model.hypothesisRows[0] > 0 && !run.model.contrasts.empty()) {
        std::vector<double> V(fit.gammaCov);
        for (double& v : V) v *= scale;
        general_linear_hypothesis(out, L, F, fit.gamma.data(), V.data(), F, run.model.hypothesisRows,
                                  run.model.contrasts.data());
    }
    std::vector<double> R;
    const bool haveRobust = phase != ModelPhase::LinearFirstStep && robust_block(run, phase, final, R) == 0;
    if (robust != nullptr) *robust = haveRobust ? R : std::vector<double>();
    if (r > 0) {
        std::vector<int> counts(r);
        for (int q = 0; q < r; ++q) counts[q] = fit.coefNumGammas[fit.randomCoef[q]];
        print_variance_components(out, L, r, counts.data(), fit.Jo, fit.sigma2, !fit.sigma2Fixed, fit.tau.data(), r,
                                  fit.chiSquare.data());
        if (fit.Jo < fit.J) print_partial_note(out, "chi-square statistics", fit.Jo, fit.J);
    }
}

// Writes a block at the recorded position of the output file (the console cannot go back).
void seek_to(FILE* out, long pos) {
    if (out != stdout && pos >= 0) std::fseek(out, pos, SEEK_SET);
}

long position_of(FILE* out) { return out == stdout ? -1 : std::ftell(out); }

// The macro limit is reached without convergence: go on, or stop with the warning. True to go on.
bool continue_at_limit(PqlRun& run, int& macroLeft) {
    bool goOn = run.rs.atIterationLimit == 1;
    if (run.rs.atIterationLimit == 2)
        goOn = ask_yes_no("\nThe maximum number of macro iterations has been reached, but the analysis has\n"
                          "not converged. Do you want to continue until convergence?") != 0;
    if (goOn) {
        std::printf("Setting number of macro iterations to 10000.\n\n");
        macroLeft = CONTINUED_MACRO_LIMIT;
        return true;
    }
    std::fprintf(run.out,
                 "\nWARNING: the macro iterations were stopped prior to convergence.\n"
                 "You may want to re-run the analysis with a higher number of macro iterations.\n");
    return false;
}


}  // namespace

int run_pql_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                     const PqlFinish& finish) {
    PqlRun run{rs, model, mdm, mdmFile, out, {}, {}, {}, {}};
    LinearFit& fit = run.fit;
    PqlState& st = run.st;
    prepare_linear_fit(rs, model, mdm, out, fit);
    check_agq_nodes(rs, fit.r, out);
    run.L = make_report_labels(model, rs, mdm);
    run.outcome = fit.outcomeSlot >= 0 && fit.outcomeSlot < static_cast<int>(model.l1Names.size())
                      ? std::string(model.l1Names[fit.outcomeSlot].text, 8)
                      : std::string();
    st.distribution = rs.distribution;
    st.outcomeSlot = fit.outcomeSlot;
    st.countSlot = model.trialsVar > 0 && model.trialsVar <= fit.p1 ? model.trialsVar : 0;
    st.taylorOrder = rs.taylorOrder;
    st.taylorStart = rs.taylorSecond;
    st.fit = &fit;
    fit.rewrite.unit = pql_working_unit;
    fit.rewrite.ctx = &st;
    const double userSigma2 = rs.fixedSigma2;
    int macroLeft = rs.maxMacroIterations;

    // The first macro iteration: the outcome as a continuous one, fixed level-1 variance.
    st.phase = st.linearisedAt = PqlPhase::FirstLinear;
    const bool full = rs.fullOutput && out != nullptr;
    macro_iteration(run, full ? out : nullptr);
    if (full) report_block(run, ModelPhase::LinearFirstStep, false, nullptr);
    rs.fixedSigma2 = userSigma2;
    fit.sigma2Fixed = userSigma2 != 0.0;
    pql_take_estimates(st, fit);
    --macroLeft;
    const long afterFirst = position_of(out);

    // Unit-specific macro iterations.
    st.phase = PqlPhase::UnitSpecific;
    for (;;) {
        macro_iteration(run, nullptr);
        const bool keyboard = fit.stopReason == StopReason::Keyboard;
        st.converged = nonlinear_converged(st, fit, rs.macroCriterion);
        st.linearisedAt = PqlPhase::UnitSpecific;
        pql_take_estimates(st, fit);
        seek_to(out, afterFirst);
        report_block(run, ModelPhase::UnitSpecific, false, nullptr);
        --macroLeft;
        if (st.converged || keyboard) break;
        if (macroLeft <= 1 && !continue_at_limit(run, macroLeft)) break;
    }
    st.gammaUS = fit.gamma;
    st.tauUS = fit.tau;
    st.uUS = fit.u;
    st.gammaCovUS = fit.gammaCov;
    for (double& v : st.gammaCovUS) v *= covariance_scale(run);
    if (rs.printVarCov != 0) write_pql_unit_specific_matrices(run.fit, run.st.gammaUS, run.st.gammaCovUS);
    // The level-2 residual file holds the unit-specific empirical Bayes estimates (linear-predictor scale).
    if (rs.wantResfil2) write_level2_residual_file(fit, rs, model, mdm);
    if (rs.wantResfil1) write_pql_level1_residual_file(st, fit, rs, model, mdm, mdmFile);
    const long afterUnitSpecific = position_of(out);

    // Population-average macro iterations from the unit-specific estimates.
    st.phase = st.linearisedAt = PqlPhase::PopulationAverage;
    const int count = std::max(1, rs.popAvgIterations);
    std::vector<double> robust;
    for (int k = 1;; ++k) {
        macro_iteration(run, nullptr);
        const bool converged = nonlinear_converged(st, fit, rs.macroCriterion);
        pql_take_estimates(st, fit);
        const bool final = converged || k >= count || fit.stopReason == StopReason::Keyboard;
        seek_to(out, afterUnitSpecific);
        report_block(run, ModelPhase::PopulationAverage, final, &robust);
        if (final) break;
    }

    if (rs.printVarCov != 0) {
        const double scale = covariance_scale(run);
        write_gamma_file("gamvcpa.dat", fit.F, fit.gamma.data(), fit.gammaCov.data(), fit.F, scale);
        if (!robust.empty()) write_gamma_file("gamvcpar.dat", fit.F, fit.gamma.data(), robust.data(), fit.F, scale);
        MatrixFileListing listing;
        listing.nonLinear = true;
        listing.randomEffects = fit.r > 0;
        listing.fullML = fit.fullML;
        listing.laplaceRequested = rs.laplace6 || rs.laplace8 || (refinement_requested(rs) && rs.emLaplaceType != 5);
        listing.laplace6 = rs.laplace6;
        listing.p = fit.F;
        print_matrix_file_listing(out, listing);
    }
    const RefinedSet refined = run_refinements(rs, model, mdm, mdmFile, out, run.L, run.outcome.c_str(), fit, st);
    if (finish) finish(fit, refined);
    release_linear_fit(fit);
    return st.macroIteration;
}

int run_categorical_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out) {
    std::vector<double> values;
    std::vector<long> counts;
    categorise_outcome(rs, model, mdm, mdmFile, values, counts);
    PqlRun run{rs, model, mdm, mdmFile, out, {}, {}, {}, {}};
    LinearFit& fit = run.fit;
    PqlState& st = run.st;
    prepare_linear_fit(rs, model, mdm, out, fit);
    run.L = make_report_labels(model, rs, mdm, model.categoryLabels);
    run.outcome = std::string(model.l1Names[fit.outcomeSlot].text, 8);
    st.categorical = true;
    st.ordinal = rs.ordinal;
    st.categories = values;
    st.outcomeSlot = fit.outcomeSlot;
    st.fit = &fit;
    for (int q = 0; q < fit.Q; ++q)
        if (fit.coefSlot[q] > fit.p1) st.thresholdCoef.push_back(q);

    // Start from the category proportions (equal ones when some category is rare):
    // cumulative logits, or logits against the last category.
    const int M = static_cast<int>(values.size());
    long total = 0;
    for (long c : counts) total += c;
    const bool rare = *std::min_element(counts.begin(), counts.end()) < 0.15 * static_cast<double>(total);
    auto share = [&](int m) { return rare ? 1.0 / M : static_cast<double>(counts[m]) / static_cast<double>(total); };
    double cumulative = 0.0;
    for (int m = 0; m + 1 < M; ++m) {
        cumulative += share(m);
        st.startEta.push_back(st.ordinal ? std::log(cumulative / (1.0 - cumulative)) : std::log(share(m) / share(M - 1)));
    }
    fit.rewrite.unit = st.ordinal ? pql_working_ordinal : pql_working_multinomial;
    fit.rewrite.ctx = &st;
    st.phase = PqlPhase::UnitSpecific;
    st.linearisedAt = PqlPhase::FirstLinear;
    int macroLeft = rs.maxMacroIterations;
    const long start = position_of(out);
    for (;;) {
        macro_iteration(run, nullptr);
        const bool keyboard = fit.stopReason == StopReason::Keyboard;
        st.converged = st.macroIteration > 1 && nonlinear_converged(st, fit, rs.macroCriterion);
        st.linearisedAt = PqlPhase::UnitSpecific;
        pql_take_estimates(st, fit);
        seek_to(out, start);
        report_block(run, ModelPhase::Linear, true, nullptr);
        --macroLeft;
        if (st.converged || keyboard) break;
        if (macroLeft <= 1 && !continue_at_limit(run, macroLeft)) break;
    }
    write_categorical_files(fit, rs, model, mdm, out, covariance_scale(run));
    release_linear_fit(fit);
    return st.macroIteration;
}
