// General linear hypotheses, the robust covariance with its report, and the
// homogeneity test of the level-1 variance. Reference numbers were computed
// independently in exact rational arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "numeric/numeric.h"
#include "report/report.h"
#include "report/report_test_util.h"

using reporttest::capture;
using reporttest::expect_golden;
using reporttest::sample_labels;

namespace {

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string lf(const char* fmt, double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, x);
    return buf;
}

}  // namespace

// ---- Wald chi-square ------------------------------------------------------------

struct WaldCase {
    const char* name;
    int q;
    std::vector<double> C, V, gamma;
    double expected;
    int status;
};

TEST(WaldChiSquare, KnownValues) {
    const WaldCase cases[] = {
        {"diagonal", 2, {0, 1, 0, 0, 0, 1}, {1, 0, 0, 0, 4, 0, 0, 0, 9}, {1, 2, 3}, 2.0, 0},
        {"correlated", 2, {1, 0, 0, 0, 1, 0}, {2, 1, 0, 1, 2, 0, 0, 0, 1}, {1, 1, 5}, 2.0 / 3.0, 0},
        {"difference", 1, {1, -1, 0}, {2, 1, 0, 1, 2, 0, 0, 0, 1}, {3, 1, 0}, 2.0, 0},
        {"general", 2, {1, 2, 0, 0, 1, -1}, {4, 1, 0.5, 1, 3, 0.2, 0.5, 0.2, 2}, {0.3, -1.2, 2.5},
         99646.0 / 27395.0, 0},
        {"identical_rows", 2, {0, 1, 1, 0, 1, 1}, {1, 0, 0, 0, 4, 0, 0, 0, 9}, {1, 2, 3}, 0.0, 1},
        {"zero_row", 1, {0, 0, 0}, {1, 0, 0, 0, 4, 0, 0, 0, 9}, {1, 2, 3}, 0.0, 1},
    };
    for (const WaldCase& c : cases) {
        SCOPED_TRACE(c.name);
        double chi2 = -1.0;
        EXPECT_EQ(wald_chi_square(c.q, 3, c.C.data(), c.gamma.data(), c.V.data(), 3, &chi2), c.status);
        if (c.status == 0) EXPECT_NEAR(chi2, c.expected, 1e-12 * (1.0 + c.expected));
    }
}

// ---- General linear hypothesis report ----------------------------------------------

struct HypothesisCase {
    const char* name;
    std::vector<short> rows;        // rows of hypotheses 1, 2, ...
    std::vector<double> contrasts;  // stacked rows of 3
    std::vector<std::string> expected;
    std::vector<std::string> absent;
    int tests;                      // result headers printed
};

TEST(GeneralLinearHypothesis, Rules) {
    const double gamma[3] = {1, 2, 3};
    const double V[9] = {1, 0, 0, 0, 4, 0, 0, 0, 9};
    const HypothesisCase cases[] = {
        {"two_rows_two_df",
         {2},
         {0, 1, 0, 0, 0, 1},
         {"\nChi-square statistic = 2.000000\nDegrees of freedom   = 2\nP-value              = " +
          lf("%lf", tail_probability(2.0, 2, 1)) + "\n"},
         {"not independent"},
         1},
        {"identical_rows",
         {2},
         {0, 1, 0, 0, 1, 0},
         {"\nIt appears that the 2 constrasts you are testing are not independent.\n"
          "The chi-square cannot be computed.\n"},
         {"Chi-square statistic"},
         1},
        {"below_df",
         {2},
         {1, -0.5, 0, 0, 0, 1.0 / 3.0},
         {"Chi-square statistic = 1.000000\nDegrees of freedom   = 2\nP-value              = >.500\n"},
         {},
         1},
        {"too_many_rows",
         {4},
         {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1},
         {"Sorry, but the number of contrasts cannot exceed the number of gammas.\n"},
         {"Results of General"},
         0},
        {"first_empty_stops", {0, 1}, {1, 0, 0}, {}, {"Results of General"}, 0},
        {"second_uses_its_rows",
         {1, 1},
         {1, 0, 0, 0, 0, 1},
         {"Chi-square statistic = 1.000000\nDegrees of freedom   = 1\n",
          "     INTRCPT2, G10" + std::string(19, ' ') + "3.000000" + std::string(6, ' ') + "1.000\n"},
         {},
         2},
    };
    for (const HypothesisCase& c : cases) {
        SCOPED_TRACE(c.name);
        short rows[24] = {};
        for (std::size_t h = 0; h < c.rows.size(); ++h) rows[h] = c.rows[h];
        ReportLabels L = sample_labels();
        std::string t = capture(
            [&](FILE* f) { general_linear_hypothesis(f, L, 3, gamma, V, 3, rows, c.contrasts.data()); });
        for (const std::string& e : c.expected) EXPECT_NE(t.find(e), std::string::npos) << t;
        for (const std::string& a : c.absent) EXPECT_EQ(t.find(a), std::string::npos) << t;
        EXPECT_EQ(count_of(t, "\f                Results of General Linear Hypothesis Testing\n"), c.tests);
    }
}

TEST(GeneralLinearHypothesis, TableMatchesGolden) {
    const double gamma[3] = {12.636, 2.193, -1.5};
    const double V[9] = {0.06, 0.01, 0.0, 0.01, 0.02, 0.0, 0.0, 0.0, 0.3};
    const double contrasts[6] = {0, 1, 0, 0, 0, 1};
    short rows[24] = {2};
    std::string t =
        capture([&](FILE* f) { general_linear_hypothesis(f, sample_labels(), 3, gamma, V, 3, rows, contrasts); });
    expect_golden("report_glh.txt", t);
}

// ---- Robust covariance ------------------------------------------------------------------

namespace {

struct Unit {
    std::vector<double> x, y;
    double u;  // random intercept (random-effects case)
};

// X'y and X'X of a unit with an intercept and one predictor.
void cross_products(const Unit& unit, double* g, double* H) {
    g[0] = g[1] = H[0] = H[1] = H[2] = H[3] = 0.0;
    for (std::size_t i = 0; i < unit.x.size(); ++i) {
        const double row[2] = {1.0, unit.x[i]};
        for (int a = 0; a < 2; ++a) {
            g[a] += row[a] * unit.y[i];
            for (int b = 0; b < 2; ++b) H[a * 2 + b] += row[a] * row[b];
        }
    }
}

// OLS with clusters: gamma, (X'X)^-1, sigma2 and the cluster-robust covariance.
const std::vector<Unit> kOlsUnits = {{{0, 1}, {1, 3}, 0}, {{1, 2, 3}, {2, 2, 5}, 0}, {{0, 2}, {0, 3}, 0}};
const double kOlsGamma[2] = {17.0 / 26.0, 33.0 / 26.0};
const double kOlsKept[4] = {0.36538461538461536, -0.17307692307692307, -0.17307692307692307, 0.1346153846153846};
const double kOlsSigma2 = 0.6923076923076923;
const double kOlsRobust[4] = {0.17840871293021954, -0.057376098525961976, -0.057376098525961976,
                              0.019275629354714472};

// Random intercept: s_j = X_j'(y_j - X_j gamma - u_j) / sigma2.
const std::vector<Unit> kRandomUnits = {
    {{0, 1, 2}, {1, 2, 3}, 0.25}, {{1, 3}, {3, 1}, -0.5}, {{2, 2, 0, 1}, {0, 4, 1, 2}, 1.0 / 3.0}};
const double kRandomGamma[2] = {1.0, 0.5};
const double kRandomKept[4] = {0.5, -0.1, -0.1, 0.2};
const double kRandomSigma2 = 2.0;
const double kRandomR[4] = {0.245, -0.04, -0.04, 0.0940625};

RobustAccumulator accumulate_ols(bool presubtracted) {
    RobustAccumulator acc;
    robust_begin(acc, 2);
    for (const Unit& unit : kOlsUnits) {
        double g[2], H[4];
        cross_products(unit, g, H);
        if (presubtracted) {
            // The engine may hand over g - H gamma directly.
            double s[2] = {g[0] - H[0] * kOlsGamma[0] - H[1] * kOlsGamma[1],
                           g[1] - H[2] * kOlsGamma[0] - H[3] * kOlsGamma[1]};
            robust_add_unit(acc, s, nullptr, 2, kOlsGamma, 0, nullptr, 0, nullptr, -1.0, 1.0);
        } else {
            robust_add_unit(acc, g, H, 2, kOlsGamma, 0, nullptr, 0, nullptr, -1.0, 1.0);
        }
    }
    return acc;
}

RobustAccumulator accumulate_random() {
    RobustAccumulator acc;
    robust_begin(acc, 2);
    for (const Unit& unit : kRandomUnits) {
        double g[2], H[4];
        cross_products(unit, g, H);
        // The p x q block links gamma to the random intercept: X_j' 1.
        const double Z[2] = {H[0], H[2]};
        robust_add_unit(acc, g, H, 2, kRandomGamma, 1, Z, 1, &unit.u, -1.0, kRandomSigma2);
    }
    return acc;
}

ReportLabels two_gamma_labels() {
    ReportLabels L = sample_labels();
    L.numGammas = 2;
    L.gammaLabels = {"INTRCPT2, G00   ", "INTRCPT2, G10   "};
    L.gammaHeadings = {"      INTRCPT1, B0", "         X slope, B1"};
    L.gammaGroupLabels = {"    INTRCPT1", "           X"};
    L.gammaCategories = {"", ""};
    L.gammaConstrained = {0, 0};
    L.gammaCoefficient = {0, 1};
    L.coefficientGammaCounts = {1, 1};
    return L;
}

}  // namespace

TEST(RobustCovariance, ClusterRobustOlsMatchesIndependentSandwich) {
    for (bool presubtracted : {false, true}) {
        SCOPED_TRACE(presubtracted ? "scores given" : "g and H given");
        RobustAccumulator acc = accumulate_ols(presubtracted);
        double R[4];
        ASSERT_EQ(robust_finish(acc, kOlsKept, 2, kOlsSigma2, false, R), 0);
        // R is kept in units of sigma2.
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(R[i] * kOlsSigma2, kOlsRobust[i], 1e-12);
    }
}

TEST(RobustCovariance, RandomPartIsTakenOutOfTheScore) {
    RobustAccumulator acc = accumulate_random();
    double R[4];
    ASSERT_EQ(robust_finish(acc, kRandomKept, 2, kRandomSigma2, true, R), 0);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(R[i], kRandomR[i], 1e-12);
}

TEST(RobustCovariance, ReportShowsRobustErrorsAndRobustTests) {
    RobustAccumulator acc = accumulate_ols(false);
    ReportLabels L = two_gamma_labels();
    long df[2] = {2, 2};
    short rows[24] = {1};
    const double contrast[2] = {0, 1};
    RobustInput in;
    in.p = 2;
    in.gamma = kOlsGamma;
    in.kept = kOlsKept;
    in.ld = 2;
    in.sigma2 = kOlsSigma2;
    in.randomEffects = false;
    in.df = df;
    in.table.mode = FixedTableMode::LeastSquaresRobust;
    in.table.residualDf = 5;
    in.outcomeName = "       Y";
    in.numUnits = 3;
    in.hypothesisRows = rows;
    in.contrasts = contrast;
    double R[4];
    std::string t = capture([&](FILE* f) { EXPECT_EQ(robust_covariance(f, L, in, acc, R), 0); });
    expect_golden("report_robust.txt", t);

    EXPECT_NE(t.find(" Least-squares estimates of fixed effects\n (with robust standard errors)\n"), std::string::npos);
    EXPECT_NE(t.find(lf("%10.6lf", std::sqrt(kOlsRobust[0]))), std::string::npos);
    EXPECT_NE(t.find(lf("%10.6lf", std::sqrt(kOlsRobust[3]))), std::string::npos);
    EXPECT_EQ(count_of(t, "The robust standard errors are appropriate for datasets having a moderate to\n"
                          "large number of level 2 units.  These data do not meet this criterion.\n"),
              1);
    // The robust test uses sigma2 R, the robust covariance itself.
    EXPECT_NE(t.find("Chi-square statistic = " + lf("%lf", kOlsGamma[1] * kOlsGamma[1] / kOlsRobust[3])),
              std::string::npos);
    EXPECT_EQ(t.find("Odds"), std::string::npos);
}

struct WarningCase {
    long units;
    std::vector<int> gammaCounts;
    bool warned;
};

TEST(RobustCovariance, SmallSampleWarningThreshold) {
    const WarningCase cases[] = {
        {22, {2, 1}, false}, {21, {2, 1}, true}, {25, {1, 1}, false}, {20, {1, 0}, true}, {100, {}, false},
    };
    for (const WarningCase& c : cases) {
        SCOPED_TRACE(c.units);
        ReportLabels L = two_gamma_labels();
        L.coefficientGammaCounts = c.gammaCounts;
        RobustAccumulator acc = accumulate_random();
        RobustInput in;
        in.p = 2;
        in.gamma = kRandomGamma;
        in.kept = kRandomKept;
        in.ld = 2;
        in.sigma2 = kRandomSigma2;
        in.table.mode = FixedTableMode::FinalRobust;
        in.numUnits = c.units;
        double R[4];
        std::string t = capture([&](FILE* f) { robust_covariance(f, L, in, acc, R); });
        EXPECT_EQ(count_of(t, "The robust standard errors are appropriate"), c.warned ? 1 : 0);
        EXPECT_EQ(t.find("Results of General"), std::string::npos);
    }
}

TEST(RobustCovariance, NonLinearRandomModelAddsOddsRatios) {
    ReportLabels L = two_gamma_labels();
    L.nonLinear = true;
    RobustAccumulator acc = accumulate_random();
    long df[2] = {40, 40};
    RobustInput in;
    in.p = 2;
    in.gamma = kRandomGamma;
    in.kept = kRandomKept;
    in.ld = 2;
    in.sigma2 = kRandomSigma2;
    in.df = df;
    in.table.mode = FixedTableMode::FinalRobust;
    in.table.phase = ModelPhase::PopulationAverage;
    in.numUnits = 60;
    double R[4];
    std::string t = capture([&](FILE* f) { robust_covariance(f, L, in, acc, R); });
    EXPECT_NE(t.find(" (Population-average model with robust standard errors)\n"), std::string::npos);
    EXPECT_NE(t.find("                                            Odds         Confidence\n"), std::string::npos);
    // The odds-ratio interval uses the robust standard error sqrt(sigma2 R).
    double se = std::sqrt(kRandomSigma2 * kRandomR[0]);
    double tc = t_critical_95(40);
    char ci[64];
    std::snprintf(ci, sizeof ci, " (%.3lf,%.3lf)\n", std::exp(1.0 - tc * se), std::exp(1.0 + tc * se));
    EXPECT_NE(t.find(ci), std::string::npos) << t;
}

TEST(RobustCovariance, NotPositiveDefiniteIsReportedAndSkipsTheTable) {
    RobustAccumulator acc;
    robust_begin(acc, 2);  // no units: B = 0
    ReportLabels L = two_gamma_labels();
    RobustInput in;
    in.p = 2;
    in.gamma = kRandomGamma;
    in.kept = kRandomKept;
    in.ld = 2;
    in.sigma2 = kRandomSigma2;
    in.table.mode = FixedTableMode::FinalRobust;
    in.numUnits = 3;
    double R[4];
    std::string t = capture([&](FILE* f) { EXPECT_EQ(robust_covariance(f, L, in, acc, R), 1); });
    EXPECT_EQ(t, "\nThe robust standard errors cannot be computed for this model.\n");
}

// ---- Homogeneity of level-1 variance --------------------------------------------------

struct HomogeneityCase {
    const char* name;
    std::vector<long> df;
    std::vector<double> v;
    double H;  // < 0: cannot compute
    long hdf;
};

TEST(Homogeneity, StatisticAndCannotComputeCases) {
    const HomogeneityCase cases[] = {
        {"mixed_with_skipped_unit", {3, 5, 0, 2}, {2, 1, 4, 0.5}, 0.5636397875563113, 2},
        {"strongly_heterogeneous", {10, 10, 10}, {1, 10, 100}, 50.874499000581594, 2},
        {"no_unit_with_df", {0, 0, 0}, {1, 2, 3}, -1, 0},
        {"no_positive_dispersion", {4, 4}, {0, -1}, -1, 0},
        {"one_valid_unit", {4, 4, 0}, {2, 0, 3}, -1, 0},
        {"identical_units", {4, 4}, {2, 2}, -1, 0},
    };
    for (const HomogeneityCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int J = (int)c.df.size();
        std::string t = capture([&](FILE* f) { print_homogeneity_test(f, J, c.df.data(), c.v.data()); });
        if (c.H < 0) {
            EXPECT_EQ(t, "\n Cannot compute homogeneity of level-1 variance.\n");
            continue;
        }
        double H = 0;
        long hdf = 0;
        EXPECT_EQ(homogeneity_statistic(J, c.df.data(), c.v.data(), &H, &hdf), 0);
        EXPECT_NEAR(H, c.H, 1e-12 * c.H);
        EXPECT_EQ(hdf, c.hdf);
        std::string expected = "\n Test of homogeneity of level-1 variance\n " + std::string(40, '-') +
                               "\n Chi-square statistic         = " + lf("%12.5lf", c.H) +
                               "\n Number of degrees of freedom = " +
                               std::string(3, ' ') + std::to_string(c.hdf) + "\n P-value                      = " +
                               (c.H >= c.hdf ? lf("%5.3lf", tail_probability(c.H, c.hdf, 1)) : ">.500") + "\n";
        EXPECT_EQ(t, expected);
    }
}
