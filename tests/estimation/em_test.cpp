// The EM iterations and the analysis driver: stores, acceleration, the
// iteration limit and its question, the keyboard stop, the printed likelihood
// history, models without random coefficients, and the fatal stops.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <csignal>
#include <cmath>
#include <cstdlib>

#include "app/app.h"
#include "estimation/fit_fixture.h"
#include "support/test_support.h"

using namespace estimtest;

namespace {

class Em : public testing::Test {
protected:
    void SetUp() override { setenv("ARB2_NO_EXIT_WAIT", "1", 1); }
};

void expect_same_fit(const LinearFit& a, const LinearFit& b, double tol) {
    for (std::size_t k = 0; k < a.gamma.size(); ++k) EXPECT_NEAR(a.gamma[k], b.gamma[k], tol) << "gamma " << k;
    for (std::size_t k = 0; k < a.gammaCov.size(); ++k) EXPECT_NEAR(a.gammaCov[k], b.gammaCov[k], tol);
    for (std::size_t k = 0; k < a.tau.size(); ++k) EXPECT_NEAR(a.tau[k], b.tau[k], tol) << "tau " << k;
    EXPECT_NEAR(a.sigma2, b.sigma2, tol);
    EXPECT_NEAR(a.deviance, b.deviance, tol * 100);
}

// Scratch files and memory hold the same records; acceleration only speeds up.
struct VariantCase {
    const char* name;
    bool fullML;
    bool inMemory;
    int accel;
};

class Variants : public Em, public testing::WithParamInterface<VariantCase> {};

TEST_P(Variants, ReachTheSameEstimates) {
    const VariantCase& c = GetParam();
    RunSettings base = reference_settings(c.fullML);
    RunSettings other = base;
    other.inMemory = c.inMemory;
    other.accel = c.accel;
    FitRun a, b;
    run_fit(hsb_data(), "MATHACH", hsb_rc(), base, a);
    run_fit(hsb_data(), "MATHACH", hsb_rc(), other, b);
    expect_same_fit(a.fit, b.fit, c.accel == base.accel ? 1e-12 : 2e-4);
    if (c.accel == base.accel) {
        EXPECT_EQ(a.fit.iterations, b.fit.iterations);
    } else {
        EXPECT_GT(b.fit.iterations, a.fit.iterations) << "acceleration should save iterations";
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, Variants,
                         testing::Values(VariantCase{"memory_reml", false, true, 5},
                                         VariantCase{"memory_ml", true, true, 5},
                                         VariantCase{"no_acceleration_reml", false, false, 100000},
                                         VariantCase{"no_acceleration_ml", true, false, 100000}),
                         [](const testing::TestParamInfo<VariantCase>& i) { return std::string(i.param.name); });

// The report keeps iterations 1 to 5 and the four before the last, then the final block.
TEST_F(Em, LikelihoodHistoryInTheReport) {
    FitRun run;
    run_fit(hsb_data(), "MATHACH", hsb_rc(), reference_settings(false), run);
    const int t = run.fit.iterations;
    ASSERT_GT(t, 12);
    const std::string& rep = run.report;
    auto line = [](int k) { return "\nThe value of the likelihood function at iteration " + std::to_string(k) + " = "; };
    for (int k = 1; k <= 5; ++k) EXPECT_NE(rep.find(line(k)), std::string::npos) << k;
    for (int k = 6; k < t - 4; ++k) EXPECT_EQ(rep.find(line(k)), std::string::npos) << k;
    for (int k = t - 4; k <= t; ++k) EXPECT_NE(rep.find(line(k)), std::string::npos) << k;
    const std::string dots = std::string(51, ' ') + ".\n";
    EXPECT_NE(rep.find(dots + dots + dots + line(t - 4).substr(0)), std::string::npos);
    const std::size_t block = rep.find("\f******* ITERATION " + std::to_string(t) + " *******\n\n Sigma_squared = ");
    ASSERT_NE(block, std::string::npos);
    EXPECT_LT(rep.find("\nIterations stopped due to small change in likelihood function\n"), block);
    EXPECT_NE(rep.find("  Random level-1 coefficient   Reliability estimate\n", block), std::string::npos);
    EXPECT_EQ(rep.find("Standard Errors of Tau"), std::string::npos) << "only under full ML";
    // The likelihood line of the final block is the last thing written.
    const std::size_t last = rep.rfind(line(t));
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(rep.find('\n', last + line(t).size()), rep.size() - 1);
}

TEST_F(Em, FullMlPrintsStandardErrorsOfTheVarianceComponents) {
    FitRun run;
    run_fit(hsb_data(), "MATHACH", hsb_rc(), reference_settings(true), run);
    EXPECT_TRUE(run.fit.haveVarianceSE);
    EXPECT_NE(run.report.find("\n Standard Error of Sigma_squared =      0.62593\n\n"), std::string::npos);
    EXPECT_NE(run.report.find("\n Standard Errors of Tau\n INTRCPT1,B0      1.06223       0.39315 \n"),
              std::string::npos);
    EXPECT_EQ(run.fit.numParams, 6);
}

// The iteration limit: stop, go on by itself, or ask.
struct LimitCase {
    const char* name;
    int maxIterations;
    int atLimit;         // 0 stop, 1 go on, 2 ask
    const char* answers;
    const char* shown;   // regular expression over console and result
};

class IterationLimit : public Em, public testing::WithParamInterface<LimitCase> {};

[[noreturn]] void fit_with_limit(const LimitCase& c, const std::string& dir) {
    console_to_stderr();
    set_stdin(c.answers);
    RunSettings rs = reference_settings(false);
    rs.maxIterations = c.maxIterations;
    rs.atIterationLimit = c.atLimit;
    FitRun run;
    run_fit_in(dir, hsb_data(), "MATHACH", hsb_rc(), rs, run);
    const char* reason = run.fit.stopReason == StopReason::Converged        ? "converged"
                         : run.fit.stopReason == StopReason::IterationLimit ? "limit"
                                                                            : "other";
    std::fprintf(stderr, "RESULT %d %s\n", run.fit.iterations, reason);
    std::fflush(stderr);
    std::_Exit(0);
}

TEST_P(IterationLimit, FollowsTheSetting) {
    const LimitCase& c = GetParam();
    const std::string dir = testsupport::make_temp_dir("limit");
    EXPECT_EXIT(fit_with_limit(c, dir), testing::ExitedWithCode(0), c.shown);
    const std::string rep = testsupport::read_file(dir + "/report.out");
    const bool warned = rep.find("\nWARNING: the iterations were stopped prior to convergence.\n"
                                 "You may want to re-run the analysis with a higher number of iterations.\n") !=
                        std::string::npos;
    EXPECT_EQ(warned, std::string(c.shown).find("limit") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, IterationLimit,
    testing::Values(LimitCase{"one_iteration", 1, 0, "", "RESULT 1 limit"},
                    LimitCase{"stop", 3, 0, "", "RESULT 3 limit"},
                    LimitCase{"go_on", 3, 1, "", "Setting number of iterations to 10000.\n\n(.|\n)*RESULT [0-9]+ converged"},
                    LimitCase{"ask_yes", 3, 2, "y\n",
                              "The maximum number of iterations has been reached, but the analysis has\nnot converged. "
                              "Do you want to continue until convergence\\? Setting(.|\n)*RESULT [0-9]+ converged"},
                    LimitCase{"ask_no", 3, 2, "n\n", "continue until convergence\\? (.|\n)*RESULT 3 limit"}),
    [](const testing::TestParamInfo<LimitCase>& i) { return std::string(i.param.name); });

// Convergence at the last permitted iteration does not count: the limit applies.
TEST_F(Em, ConvergenceAtTheLastIterationCountsAsTheLimit) {
    FitRun free;
    run_fit(hsb_data(), "MATHACH", hsb_null(), reference_settings(false), free);
    ASSERT_TRUE(free.fit.converged);
    RunSettings rs = reference_settings(false);
    rs.maxIterations = free.fit.iterations;
    FitRun capped;
    run_fit(hsb_data(), "MATHACH", hsb_null(), rs, capped);
    EXPECT_EQ(capped.fit.iterations, free.fit.iterations);
    EXPECT_EQ(capped.fit.stopReason, StopReason::IterationLimit);
    EXPECT_FALSE(capped.fit.converged);
}

// A Ctrl-C during the iterations asks whether to stop; 0 stops as if converged.
void raise_interrupt(int) {
    std::raise(SIGINT);
}

struct KeyboardCase {
    const char* name;
    const char* answer;
    const char* shown;
};

class KeyboardStop : public Em, public testing::WithParamInterface<KeyboardCase> {};

[[noreturn]] void fit_until_interrupted(const KeyboardCase& c, const std::string& dir) {
    console_to_stderr();
    set_stdin(c.answer);
    install_soft_interrupt();
    std::signal(SIGVTALRM, raise_interrupt);
    itimerval timer{};
    timer.it_value.tv_usec = 300000;
    timer.it_interval.tv_usec = 300000;  // again, should one fall before the iterations
    setitimer(ITIMER_VIRTUAL, &timer, nullptr);
    RunSettings rs = reference_settings(false);
    rs.microCriterion = 1e-11;  // below the floor of the change: never converges
    rs.maxIterations = 100000000;
    FitRun run;
    run_fit_in(dir, hsb_data(), "MATHACH", hsb_full(), rs, run);
    std::fprintf(stderr, "RESULT %s\n", run.fit.stopReason == StopReason::Keyboard ? "keyboard" : "other");
    std::fflush(stderr);
    std::_Exit(0);
}

TEST_P(KeyboardStop, FollowsTheAnswer) {
    const KeyboardCase& c = GetParam();
    const std::string dir = testsupport::make_temp_dir("keyboard");
    EXPECT_EXIT(fit_until_interrupted(c, dir), testing::ExitedWithCode(0), c.shown);
    const bool noted = testsupport::read_file(dir + "/report.out")
                           .find(" Iterations terminated prematurely from the keyboard.\n") != std::string::npos;
    EXPECT_EQ(noted, std::string(c.answer) == "0\n");
}

INSTANTIATE_TEST_SUITE_P(Answers, KeyboardStop,
                         testing::Values(KeyboardCase{"stop_iterating", "0\n",
                                                      "Enter 0 to stop iterating, 1 to exit now (.|\n)*RESULT keyboard"},
                                         KeyboardCase{"exit_now", "1\n", "Enter 0 to stop iterating, 1 to exit now"}),
                         [](const testing::TestParamInfo<KeyboardCase>& i) { return std::string(i.param.name); });

// Without random coefficients the least-squares results are final.
struct FixedOnlyCase {
    const char* name;
    bool fullML;
    long params;
};

class FixedOnly : public Em, public testing::WithParamInterface<FixedOnlyCase> {};

TEST_P(FixedOnly, LeastSquaresAreFinal) {
    const FixedOnlyCase& c = GetParam();
    const std::vector<Coef> model = {{"INTRCPT1", 0, false, {"INTRCPT2", "SECTOR"}, {}},
                                     {"SES", 0, false, {"INTRCPT2"}, {}}};
    FitRun run;
    run_fit(hsb_data(), "MATHACH", model, reference_settings(c.fullML), run);
    const LinearFit& f = run.fit;
    EXPECT_EQ(f.r, 0);
    EXPECT_EQ(f.iterations, 0);
    EXPECT_EQ(f.numParams, c.params);
    EXPECT_EQ(f.gamma, f.gammaOls);
    EXPECT_DOUBLE_EQ(f.logLik, f.olsLogLik);
    EXPECT_EQ(run.report.find("Level-1 OLS regressions"), std::string::npos);
    EXPECT_NE(run.report.find("\n\n Least Squares Estimates\n"), std::string::npos);
    EXPECT_NE(run.report.find(" Least-squares estimates of fixed effects\n"), std::string::npos);
    // Ordinary least squares by hand: the normal equations hold at gamma.
    double g0 = 0.0, g1 = 0.0, g2 = 0.0;
    for (std::size_t j = 0; j < hsb_data().units.size(); ++j) {
        const Unit& u = hsb_data().units[j];
        for (const auto& row : u.rows) {
            const double e = row[3] - f.gamma[0] - f.gamma[1] * u.l2[1] - f.gamma[2] * row[2];
            g0 += e;
            g1 += e * u.l2[1];
            g2 += e * row[2];
        }
    }
    EXPECT_NEAR(g0, 0.0, 1e-6);
    EXPECT_NEAR(g1, 0.0, 1e-6);
    EXPECT_NEAR(g2, 0.0, 1e-6);
    for (std::size_t g = 0; g < f.dfGamma.size(); ++g) EXPECT_EQ(f.dfGamma[g], f.N - 3);
}

INSTANTIATE_TEST_SUITE_P(Methods, FixedOnly,
                         testing::Values(FixedOnlyCase{"reml", false, 1}, FixedOnlyCase{"ml", true, 4}),
                         [](const testing::TestParamInfo<FixedOnlyCase>& i) { return std::string(i.param.name); });

// A fixed sigma2 stays where it was put and is not counted.
TEST_F(Em, FixedSigma2StaysFixed) {
    RunSettings rs = reference_settings(true);
    rs.fixedSigma2 = 40.0;
    FitRun run;
    run_fit(hsb_data(), "MATHACH", hsb_rc(), rs, run);
    EXPECT_EQ(run.fit.sigma2, 40.0);
    EXPECT_EQ(run.fit.numParams, 3 + 2);
    EXPECT_EQ(run.report.find(" Sigma_squared = "), std::string::npos);
    EXPECT_EQ(run.report.find("Standard Error of Sigma_squared"), std::string::npos);
    EXPECT_TRUE(run.fit.haveVarianceSE);
}

// Degrees of freedom: J - S(q) for random coefficients, N - F for fixed ones, and
// constrained gammas give theirs to the other gammas of their equation.
TEST_F(Em, DegreesOfFreedomOfTheGammas) {
    const std::vector<Coef> model = {{"INTRCPT1", 0, true, {"INTRCPT2", "SECTOR", "MEANSES"}, {}},
                                     {"FEMALE", 0, false, {"INTRCPT2"}, {}},
                                     {"SES", 1, true, {"INTRCPT2", "SECTOR"}, {}}};
    FitRun run;
    run_fit(hsb_data(), "MATHACH", model, reference_settings(false), run, false, {0, 1, 0, 0, 0, 1});
    const std::vector<long> expected = {157 + 1, 157, 157 + 1, 7185 - 6, 158 + 1, 158};
    EXPECT_EQ(run.fit.dfGamma, expected);
    EXPECT_EQ(run.fit.Fe, 5);
    EXPECT_DOUBLE_EQ(run.fit.gamma[1], run.fit.gamma[5]);
    EXPECT_NE(run.report.find(" The \"*\" gammas have been constrained.  See the table on the header page.\n"),
              std::string::npos);
}

// Stops of the analysis driver and their messages in the report.
struct DriverStopCase {
    const char* name;
    int exitCode;
    const char* message;
};

class DriverStops : public Em, public testing::WithParamInterface<DriverStopCase> {};

[[noreturn]] void fit_until_stopped(const DriverStopCase& c, const std::string& dir) {
    DataSet d = simple_data(10, 6);
    std::vector<Coef> model = simple_model();
    if (std::string(c.name) == "collinear_fixed_effects") model[0].l2 = {"INTRCPT2", "Z", "W2"};
    if (std::string(c.name) == "outcome_all_zeros")
        for (auto& u : d.units)
            for (auto& row : u.rows) row[1] = 0.0;
    FitRun run;
    run_fit_in(dir, d, "Y", model, reference_settings(false), run);
    std::_Exit(99);
}

TEST_P(DriverStops, StopWithTheirMessage) {
    const DriverStopCase& c = GetParam();
    const std::string dir = testsupport::make_temp_dir("driver");
    EXPECT_EXIT(fit_until_stopped(c, dir), testing::ExitedWithCode(c.exitCode), "");
    EXPECT_NE(testsupport::read_file(dir + "/report.out").find(c.message), std::string::npos) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Data, DriverStops,
    testing::Values(DriverStopCase{"collinear_fixed_effects", 11,
                                   "There is a problem in the fixed portion of the model.  A near singularity is\n"},
                    DriverStopCase{"outcome_all_zeros", 0, "The outcome variable is all zeros!"}),
    [](const testing::TestParamInfo<DriverStopCase>& i) { return std::string(i.param.name); });

}  // namespace
