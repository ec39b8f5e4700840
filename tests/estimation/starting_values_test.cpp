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

// An automatic repair that fails twice stops the run; the console menu and the manual
// entry follow the answers (Tau(0) = (4 5; 5 2)): console and result of each, one golden copy.
TEST(TauRepair, StopsAndMenuMatchTheGoldenCopy) {
    const struct { int mode; const char* answers; } cases[] = {
        {3, nullptr}, {2, "1\n"}, {0, "2\n\nabc\n0\n\nn\n"}, {2, "2\n\n\n\n\n1\n\nn\n"}, {2, "2\n\n0\n\ny\n7.5\n"}};
    std::string all;
    for (const auto& c : cases) {
        testsupport::ChildResult r = testsupport::in_child([&] {
            std::vector<double> tau = {4, 5, 5, 2}, inv(4), dbar(4, 1.0);
            if (!c.answers) tau = {-1, 0, 0, -1}, dbar = {-1, 0, 0, -1};
            else set_stdin(c.answers);
            double sigma2 = 2.0;
            repair_tau0(2, tau.data(), inv.data(), dbar.data(), c.mode, labels(2), stderr, c.answers != nullptr,
                        c.answers ? &sigma2 : nullptr, false);
            std::printf("RESULT %g %g %g sigma2 %g\n", tau[0], tau[1], tau[3], sigma2);
        });
        all += "==== status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("tau_repair.txt", all);
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
