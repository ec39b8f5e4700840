// The repair of an unusable Tau(0). (The starting values themselves are pinned by
// the golden reports of the reference runs and of the golden fits.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "app/app.h"
#include "estimation/fit_fixture.h"
#include "report/report.h"
#include "support/test_support.h"

using namespace estimtest;

namespace {

ReportLabels labels(int r) {
    ReportLabels L;
    const char* names[3] = {"INTRCPT1", "       X", "       Z"};
    for (int i = 0; i < r; ++i) {
        L.randomNames.push_back(names[i]);
        L.randomIndex.push_back(std::to_string(i));
        L.randomIsIntercept.push_back(i == 0);
    }
    L.numRandom = r;
    return L;
}

// Repairs that need no console; the inverse handed back belongs to the repaired matrix.
TEST(TauRepair, LeavesAUsableTau) {
    const struct {
        const char* name;
        int r, mode;
        bool makeDiagonal;
        std::vector<double> tau, dbar, expected;
    } cases[] = {
        {"zero_covariances", 2, 1, false, {4, 5, 5, 2}, {6, 0, 0, 3}, {4, 0, 0, 2}},
        {"negative_variance_from_dbar", 2, 3, false, {-1, 0.1, 0.1, 2}, {5, 0, 0, 3}, {1, 0.1, 0.1, 2}},
        {"correlation_of_exactly_one_shrinks", 2, 3, false, {4, 2, 2, 1}, {5, 0, 0, 3}, {4, 1.4, 1.4, 1}},
        {"single_coefficient", 1, 3, false, {-3}, {2}, {0.4}},
        {"fifty_rounds_then_diagonal", 2, 3, false, {1, 1e10, 1e10, 1}, {5, 0, 0, 3}, {1, 0, 0, 0.6}},
        {"non_linear_first_step_is_diagonal", 2, 3, true, {-2, 0.5, 0.5, 3}, {5, 0, 0, 3}, {2, 0, 0, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> tau = c.tau, inv(c.r * c.r);
        repair_tau0(c.r, tau.data(), inv.data(), c.dbar.data(), c.mode, labels(c.r), nullptr, false, nullptr,
                    c.makeDiagonal);
        for (int k = 0; k < c.r * c.r; ++k) EXPECT_NEAR(tau[k], c.expected[k], 1e-12) << "element " << k;
        for (int i = 0; i < c.r; ++i)
            for (int j = 0; j < c.r; ++j) {
                double s = 0.0;
                for (int k = 0; k < c.r; ++k) s += tau[i * c.r + k] * inv[k * c.r + j];
                EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-9);
            }
    }
}

TEST(TauRepairStops, AutomaticRepairThatFailsTwiceStops) {
    std::vector<double> tau(4, 0.0), inv(4), dbar(4, 0.0);
    tau[0] = tau[3] = dbar[0] = dbar[3] = -1.0;
    EXPECT_EXIT(
        {
            console_to_stderr();
            repair_tau0(2, tau.data(), inv.data(), dbar.data(), 3, labels(2), stderr, false, nullptr, false);
        },
        testing::ExitedWithCode(0),
        "(Unable to compute Tau\\(0\\)\n(.|\n)*Bad Tau\\(0\\))|(Bad Tau\\(0\\)(.|\n)*Unable to compute Tau\\(0\\)\n)");
}

// Runs the repair of Tau(0) = (4 5; 5 2) on the answers and prints the result.
[[noreturn]] void repair_from_answers(const char* answers, int mode) {
    console_to_stderr();
    set_stdin(answers);
    std::vector<double> tau = {4, 5, 5, 2}, inv(4), dbar(4, 1.0);
    double sigma2 = 2.0;
    repair_tau0(2, tau.data(), inv.data(), dbar.data(), mode, labels(2), stderr, true, &sigma2, false);
    std::fprintf(stderr, "RESULT %g %g %g sigma2 %g\n", tau[0], tau[1], tau[3], sigma2);
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

// The console menu and the manual entry, answered from a file.
TEST(TauRepair, MenuFollowsTheAnswers) {
    const struct {
        int mode;
        const char* answers;
        const char* shown;  // regular expression over the console and the result line
    } cases[] = {
        {2, "1\n", "\n Tau\\(0\\)\n INTRCPT1      4.00000      5.00000 \n(.|\n)*Your choice = (.|\n)*RESULT 4 0 2 sigma2 2"},
        {0, "2\n\nabc\n0\n\nn\n",
         "The current value of Tau\\(1,0\\) is 5.000000\nReset Tau\\(1,0\\) to \\(hit return to leave "
         "unchanged\\) Reset Tau\\(1,0\\)(.|\n)*Sigma\\(0\\)_squared = 2.000000(.|\n)*New Tau\\(0\\)(.|\n)*"
         "RESULT 4 0 2 sigma2 2"},
        {2, "2\n\n\n\n\n1\n\nn\n", "Entered tau is not acceptable. Try again.\n(.|\n)*RESULT 4 1 2 sigma2 2"},
        {2, "2\n\n0\n\ny\n7.5\n", "New sigma\\(0\\)_squared = 7.500000\n(.|\n)*RESULT 4 0 2 sigma2 7.5"},
    };
    for (const auto& c : cases) EXPECT_EXIT(repair_from_answers(c.answers, c.mode), testing::ExitedWithCode(0), c.shown);
}

// FIXTAU:5 shows the menu once even for a usable Tau(0), and is then mode 0.
TEST(StartingValues, FixtauFiveAsksOnceThenBecomesZero) {
    const DataSet d = simple_data(12, 8);
    EXPECT_EXIT(
        {
            console_to_stderr();
            set_stdin("3\n");
            RunSettings rs = reference_settings(false);
            rs.fixTau = 5;
            Opened o = open_data(d, simple_model());
            LinearFit fit;
            run_analysis(rs, o.model, o.mdm, o.file, nullptr, fit);
            std::fprintf(stderr, "FIXTAU NOW %d\n", rs.fixTau);
            std::fflush(stdout);
            std::fflush(stderr);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "Your choice =(.|\n)*FIXTAU NOW 0");
}

}  // namespace
