// The EM iterations and the analysis driver: stores, acceleration, the
// iteration limit and its question, the keyboard stop (the printed likelihood
// history is pinned by the reference runs' golden reports, the degrees of freedom of
// constrained and fixed gammas by the golden fits), models without random coefficients, and the fatal stops.
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

// Scratch files and memory hold the same records; acceleration only speeds up.
TEST(Em, StoresAndAccelerationReachTheSameEstimates) {
    const struct {
        bool fullML, inMemory;
        int accel;
    } cases[] = {{false, true, 5}, {true, false, 100000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.accel);
        RunSettings base = reference_settings(c.fullML), other = base;
        other.inMemory = c.inMemory;
        other.accel = c.accel;
        FitRun a, b;
        run_fit(hsb_data(), "MATHACH", hsb_rc(), base, a);
        run_fit(hsb_data(), "MATHACH", hsb_rc(), other, b);
        const double tol = c.accel == base.accel ? 1e-12 : 2e-4;
        for (std::size_t k = 0; k < a.fit.gamma.size(); ++k) EXPECT_NEAR(a.fit.gamma[k], b.fit.gamma[k], tol);
        for (std::size_t k = 0; k < a.fit.gammaCov.size(); ++k) EXPECT_NEAR(a.fit.gammaCov[k], b.fit.gammaCov[k], tol);
        for (std::size_t k = 0; k < a.fit.tau.size(); ++k) EXPECT_NEAR(a.fit.tau[k], b.fit.tau[k], tol);
        EXPECT_NEAR(a.fit.sigma2, b.fit.sigma2, tol);
        EXPECT_NEAR(a.fit.deviance, b.fit.deviance, tol * 100);
        if (c.accel == base.accel) {
            EXPECT_EQ(a.fit.iterations, b.fit.iterations);
        } else {
            EXPECT_GT(b.fit.iterations, a.fit.iterations) << "acceleration should save iterations";
        }
    }
}

// Fits in a forked child (so console questions can be answered and exits seen)
// and prints the iterations and why they stopped.
[[noreturn]] void fit_and_tell(const std::string& dir, const char* answers, RunSettings rs, bool full) {
    console_to_stderr();
    set_stdin(answers);
    FitRun run;
    run_fit(hsb_data(), "MATHACH", full ? hsb_full() : hsb_rc(), rs, run, {}, dir);
    const StopReason s = run.fit.stopReason;
    std::fprintf(stderr, "RESULT %d %s\n", run.fit.iterations,
                 s == StopReason::Converged        ? "converged"
                 : s == StopReason::IterationLimit ? "limit"
                 : s == StopReason::Keyboard       ? "keyboard"
                                                   : "other");
    std::fflush(stderr);
    std::_Exit(0);
}

// The iteration limit: stop, go on by itself, or ask.
TEST(Em, IterationLimitFollowsTheSetting) {
    const struct {
        int atLimit;  // 0 stop, 1 go on, 2 ask
        const char* answers;
        const char* shown;  // regular expression over console and result
    } cases[] = {
        {0, "", "RESULT 3 limit"},
        {1, "", "Setting number of iterations to 10000.\n\n(.|\n)*RESULT [0-9]+ converged"},
        {2, "y\n",
         "The maximum number of iterations has been reached, but the analysis has\nnot converged. "
         "Do you want to continue until convergence\\? Setting(.|\n)*RESULT [0-9]+ converged"},
        {2, "n\n", "continue until convergence\\? (.|\n)*RESULT 3 limit"},
    };
    for (const auto& c : cases) {
        const std::string dir = testsupport::make_temp_dir("limit");
        RunSettings rs = reference_settings(false);
        rs.maxIterations = 3;
        rs.atIterationLimit = c.atLimit;
        EXPECT_EXIT(fit_and_tell(dir, c.answers, rs, false), testing::ExitedWithCode(0), c.shown);
        const bool warned = testsupport::read_file(dir + "/report.out")
                                .find("\nWARNING: the iterations were stopped prior to convergence.\n"
                                      "You may want to re-run the analysis with a higher number of iterations.\n") !=
                            std::string::npos;
        EXPECT_EQ(warned, std::string(c.shown).find("limit") != std::string::npos) << c.shown;
    }
}

// Convergence at the last permitted iteration does not count: the limit applies.
TEST(Em, ConvergenceAtTheLastIterationCountsAsTheLimit) {
    FitRun free, capped;
    run_fit(hsb_data(), "MATHACH", hsb_null(), reference_settings(false), free);
    ASSERT_TRUE(free.fit.converged);
    RunSettings rs = reference_settings(false);
    rs.maxIterations = free.fit.iterations;
    run_fit(hsb_data(), "MATHACH", hsb_null(), rs, capped);
    EXPECT_EQ(capped.fit.iterations, free.fit.iterations);
    EXPECT_EQ(capped.fit.stopReason, StopReason::IterationLimit);
    EXPECT_FALSE(capped.fit.converged);
}

void raise_interrupt(int) {
    std::raise(SIGINT);
}

// A Ctrl-C during the iterations asks whether to stop; 0 stops as if converged and
// the report says so (the answer 1 is the interrupt handler's own, tested there).
TEST(Em, KeyboardStopEndsTheIterations) {
    const std::string dir = testsupport::make_temp_dir("keyboard");
    RunSettings rs = reference_settings(false);
    rs.microCriterion = 1e-11;  // below the floor of the change: never converges
    rs.maxIterations = 100000000;
    EXPECT_EXIT(
        {
            install_soft_interrupt();
            std::signal(SIGVTALRM, raise_interrupt);
            itimerval timer{};
            timer.it_value.tv_usec = timer.it_interval.tv_usec = 300000;  // re-armed: an early tick is not lost
            setitimer(ITIMER_VIRTUAL, &timer, nullptr);
            fit_and_tell(dir, "0\n", rs, true);
        },
        testing::ExitedWithCode(0), "Enter 0 to stop iterating, 1 to exit now (.|\n)*RESULT [0-9]+ keyboard");
    EXPECT_NE(testsupport::read_file(dir + "/report.out").find(" Iterations terminated prematurely from the keyboard.\n"),
              std::string::npos);
}

// Without random coefficients the least-squares results are final; the whole report, final tables included, of both
// methods in one golden copy.
TEST(Em, FixedOnlyModelsKeepTheLeastSquaresResults) {
    const std::vector<Coef> model = {{"INTRCPT1", 0, false, {"INTRCPT2", "SECTOR"}, {}},
                                     {"SES", 0, false, {"INTRCPT2"}, {}}};
    std::string all;
    for (bool fullML : {false, true}) {
        FitRun run;
        run_fit(hsb_data(), "MATHACH", model, reference_settings(fullML), run, {}, "", true);
        const LinearFit& f = run.fit;
        EXPECT_EQ(f.gamma, f.gammaOls);
        all += "==== iterations " + std::to_string(f.iterations) + "\n" + run.report;
    }
    testsupport::expect_golden("em_fixed_only.txt", all);
}

// A fixed sigma2 stays where it was put and is not counted.
TEST(Em, FixedSigma2StaysFixed) {
    RunSettings rs = reference_settings(true);
    rs.fixedSigma2 = 40.0;
    FitRun run;
    run_fit(hsb_data(), "MATHACH", hsb_rc(), rs, run);
    EXPECT_EQ(run.fit.sigma2, 40.0);
    EXPECT_EQ(run.fit.numParams, 3 + 2);
    EXPECT_EQ(run.report.find(" Sigma_squared = "), std::string::npos);
    EXPECT_EQ(run.report.find("Standard Error of Sigma_squared"), std::string::npos);
}

// Data the analysis cannot use stop the run: collinear level-2 predictors, an
// outcome of zeros, no degrees of freedom for sigma2, an exact outcome, one record per
// unit. Status and report of each in one golden copy.
TEST(Em, RunsStopWithTheirMessage) {
    enum Change { None, Collinear, ZeroOutcome, ExactOutcome };
    const struct { int recordsPerUnit; Change change; } cases[] = {
        {6, Collinear}, {6, ZeroOutcome}, {2, None}, {5, ExactOutcome}, {1, None}};
    std::string all;
    for (const auto& c : cases) {
        DataSet d = simple_data(10, c.recordsPerUnit);
        std::vector<Coef> model = simple_model();
        if (c.change == Collinear) model[0].l2 = {"INTRCPT2", "Z", "W2"};
        for (auto& u : d.units)
            for (auto& row : u.rows)
                if (c.change == ZeroOutcome || c.change == ExactOutcome)
                    row[1] = c.change == ZeroOutcome ? 0.0 : 1.0 + 2.0 * row[0] + u.l2[0];
        const std::string dir = testsupport::make_temp_dir("stops");
        testsupport::ChildResult r = testsupport::in_child([&] {
            FitRun run;
            run_fit(d, "Y", model, reference_settings(false), run, {}, dir);
        });
        all += "==== status " + std::to_string(r.status) + "\n" + testsupport::read_file(dir + "/report.out");
    }
    testsupport::expect_golden("em_stops.txt", all);
}

}  // namespace
