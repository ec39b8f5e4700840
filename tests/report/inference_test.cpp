// Hypothesis tests, the robust covariance and the homogeneity test. The
// reference numbers were computed independently in exact rational arithmetic
// (the robust ones from the residuals, not from g_j - H_j gamma).
#include <gtest/gtest.h>

#include <vector>

#include "numeric/numeric.h"
#include "report/report_test_util.h"

using namespace reporttest;

TEST(WaldChiSquare, KnownValues) {
    struct Case { int q; std::vector<double> C, V, gamma; double expected; int status; };
    const std::vector<double> diag = {1, 0, 0, 0, 4, 0, 0, 0, 9}, band = {2, 1, 0, 1, 2, 0, 0, 0, 1};
    const Case cases[] = {
        {2, {0, 1, 0, 0, 0, 1}, diag, {1, 2, 3}, 2.0, 0},
        {2, {1, 0, 0, 0, 1, 0}, band, {1, 1, 5}, 2.0 / 3.0, 0},
        {2, {1, 2, 0, 0, 1, -1}, {4, 1, 0.5, 1, 3, 0.2, 0.5, 0.2, 2}, {0.3, -1.2, 2.5}, 99646.0 / 27395.0, 0},
        {2, {0, 1, 1, 0, 1, 1}, diag, {1, 2, 3}, 0.0, 1},  // identical rows
        {1, {0, 0, 0}, diag, {1, 2, 3}, 0.0, 1},
    };
    for (const Case& c : cases) {
        double chi2 = -1.0;
        EXPECT_EQ(wald_chi_square(c.q, 3, c.C.data(), c.gamma.data(), c.V.data(), 3, &chi2), c.status);
        if (c.status == 0) {
            EXPECT_NEAR(chi2, c.expected, 1e-12 * (1.0 + c.expected));
        }
    }
}

// One test on 2 df; dependent contrasts; a chi-square at its df; too many contrasts;
// the list stops at the first empty hypothesis; two one-row hypotheses; and the
// HSB-like test: one golden report.
TEST(GeneralLinearHypothesis, Rules) {
    const double gamma[3] = {1, 2, 3};
    const double V[9] = {1, 0, 0, 0, 4, 0, 0, 0, 9};
    const struct { std::vector<short> rows; std::vector<double> C; } cases[] = {
        {{2}, {0, 1, 0, 0, 0, 1}}, {{2}, {0, 1, 0, 0, 1, 0}}, {{2}, {1, -0.5, 0, 0, 0, 1.0 / 3.0}},
        {{4}, {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1}}, {{0, 1}, {1, 0, 0}}, {{1, 1}, {1, 0, 0, 0, 0, 1}},
    };
    std::string all;
    for (const auto& c : cases) {
        short rows[24] = {};
        for (std::size_t h = 0; h < c.rows.size(); ++h) rows[h] = c.rows[h];
        all += "====\n" + capture([&](FILE* f) { general_linear_hypothesis(f, sample_labels(), 3, gamma, V, 3, rows, c.C.data()); });
    }
    const double g2[3] = {12.636, 2.193, -1.5};
    const double V2[9] = {0.06, 0.01, 0.0, 0.01, 0.02, 0.0, 0.0, 0.0, 0.3};
    const double C2[6] = {0, 1, 0, 0, 0, 1};
    short rows[24] = {2};
    all += "====\n" + capture([&](FILE* f) { general_linear_hypothesis(f, sample_labels(), 3, g2, V2, 3, rows, C2); });
    expect_golden("report_glh.txt", all);
}

namespace {

struct Unit { std::vector<double> x, y; double u; };

// Feeds units with X = [1 x]: g = X'y, H = X'X and the random-intercept block X'1.
RobustAccumulator accumulate(const std::vector<Unit>& units, const double* gamma, bool random, double divisor) {
    RobustAccumulator acc;
    robust_begin(acc, 2);
    for (const Unit& unit : units) {
        double g[2] = {0, 0}, H[4] = {0, 0, 0, 0};
        for (std::size_t i = 0; i < unit.x.size(); ++i) {
            const double row[2] = {1.0, unit.x[i]};
            for (int a = 0; a < 2; ++a) {
                g[a] += row[a] * unit.y[i];
                for (int b = 0; b < 2; ++b) H[a * 2 + b] += row[a] * row[b];
            }
        }
        const double Z[2] = {H[0], H[2]};
        robust_add_unit(acc, g, H, 2, gamma, 1, random ? Z : nullptr, 1, &unit.u, -1.0, divisor);
    }
    return acc;
}

// OLS with three clusters: gamma, (X'X)^-1, sigma2 and the cluster-robust covariance.
const std::vector<Unit> kOls = {{{0, 1}, {1, 3}, 0}, {{1, 2, 3}, {2, 2, 5}, 0}, {{0, 2}, {0, 3}, 0}};
const double kOlsGamma[2] = {17.0 / 26.0, 33.0 / 26.0};
const double kOlsKept[4] = {19.0 / 52.0, -9.0 / 52.0, -9.0 / 52.0, 7.0 / 52.0};
const double kOlsSigma2 = 9.0 / 13.0;
const double kOlsRobust[4] = {0.17840871293021954, -0.057376098525961976, -0.057376098525961976, 0.019275629354714472};
// Random intercept u_j, sigma2 = 2: s_j = X_j'(y_j - X_j gamma - u_j) / sigma2.
const std::vector<Unit> kRandom = {{{0, 1, 2}, {1, 2, 3}, 0.25}, {{1, 3}, {3, 1}, -0.5}, {{2, 2, 0, 1}, {0, 4, 1, 2}, 1.0 / 3.0}};
const double kRandomGamma[2] = {1.0, 0.5};
const double kRandomKept[4] = {0.5, -0.1, -0.1, 0.2};
const double kRandomR[4] = {0.245, -0.04, -0.04, 0.0940625};

ReportLabels two_gammas() {
    ReportLabels L = sample_labels();
    L.gammaLabels = {"INTRCPT2, G00   ", "INTRCPT2, G10   "};
    L.gammaHeadings = {"      INTRCPT1, B0", "         X slope, B1"};
    L.gammaGroupLabels = {"INTRCPT1    ", "       X    "};
    L.gammaConstrained = {0, 0};
    L.coefficientGammaCounts = {1, 1};
    return L;
}

RobustInput robust_input(const double* gamma, const double* kept, double sigma2, long units, FixedTableMode mode) {
    RobustInput in;
    in.p = 2;
    in.gamma = gamma;
    in.kept = kept;
    in.ld = 2;
    in.sigma2 = sigma2;
    in.table.mode = mode;
    in.numUnits = units;
    return in;
}

RobustInput random_input(long units) { return robust_input(kRandomGamma, kRandomKept, 2.0, units, FixedTableMode::FinalRobust); }

}  // namespace

TEST(RobustCovariance, MatchesIndependentSandwich) {
    double R[4];
    ASSERT_EQ(robust_finish(accumulate(kOls, kOlsGamma, false, 1.0), kOlsKept, 2, kOlsSigma2, false, R), 0);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(R[i] * kOlsSigma2, kOlsRobust[i], 1e-12);  // R is in units of sigma2
    ASSERT_EQ(robust_finish(accumulate(kRandom, kRandomGamma, true, 2.0), kRandomKept, 2, 2.0, true, R), 0);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(R[i], kRandomR[i], 1e-12);
}

TEST(RobustCovariance, ReportTableWarningAndRobustTest) {
    long df[2] = {2, 2};
    short rows[24] = {1};
    const double contrast[2] = {0, 1};
    RobustInput in = robust_input(kOlsGamma, kOlsKept, kOlsSigma2, 3, FixedTableMode::LeastSquaresRobust);
    in.randomEffects = false;
    in.df = df;
    in.table = FixedTableOptions{FixedTableMode::LeastSquaresRobust, ModelPhase::Linear, false, 1.0, 5};
    in.outcomeName = "       Y";
    in.hypothesisRows = rows;
    in.contrasts = contrast;
    double R[4];
    std::string t = capture([&](FILE* f) { EXPECT_EQ(robust_covariance(f, two_gammas(), in, accumulate(kOls, kOlsGamma, false, 1.0), R), 0); });
    expect_golden("report_robust.txt", t);
    // The robust test uses sigma2 R, the robust covariance itself.
    EXPECT_NE(t.find(fmt("%10.6lf", std::sqrt(kOlsRobust[3]))), npos);
}

TEST(RobustCovariance, SmallSampleWarningOnceBelowTwentyDf) {
    struct Case { long units; std::vector<int> counts; int warnings; };
    const Case cases[] = {{22, {2, 1}, 0}, {21, {2, 1}, 1}, {20, {1, 0}, 1}, {25, {1, 1}, 0}};
    for (const Case& c : cases) {
        ReportLabels L = two_gammas();
        L.coefficientGammaCounts = c.counts;
        double R[4];
        std::string t = capture([&](FILE* f) { robust_covariance(f, L, random_input(c.units), accumulate(kRandom, kRandomGamma, true, 2.0), R); });
        EXPECT_EQ(count_of(t, "The robust standard errors are appropriate"), c.warnings) << c.units;
    }
}

TEST(RobustCovariance, NonLinearOddsRatiosAndFailure) {
    ReportLabels L = two_gammas();
    L.nonLinear = true;
    long df[2] = {40, 40};
    RobustInput in = random_input(60);
    in.df = df;
    double R[4];
    std::string t = capture([&](FILE* f) { robust_covariance(f, L, in, accumulate(kRandom, kRandomGamma, true, 2.0), R); });
    double se = std::sqrt(2.0 * kRandomR[0]), tc = t_critical_95(40);
    EXPECT_NE(t.find(" (" + fmt("%.3lf", std::exp(1.0 - tc * se)) + "," + fmt("%.3lf", std::exp(1.0 + tc * se)) + ")\n"), npos);

    RobustAccumulator empty;  // no units: B = 0 fails the positive-definiteness test
    robust_begin(empty, 2);
    t = capture([&](FILE* f) { EXPECT_EQ(robust_covariance(f, L, in, empty, R), 1); });
    EXPECT_EQ(t, "\nThe robust standard errors cannot be computed for this model.\n");
}

TEST(Homogeneity, StatisticAndCannotComputeCases) {
    struct Case { std::vector<long> df; std::vector<double> v; double H; };  // H < 0: cannot compute
    const Case cases[] = {
        {{3, 5, 0, 2}, {2, 1, 4, 0.5}, 0.5636397875563113},  // the unit with no df is skipped; H < df
        {{10, 10, 10}, {1, 10, 100}, 50.874499000581594},
        {{0, 0, 0}, {1, 2, 3}, -1},
        {{4, 4}, {0, -1}, -1},
        {{4, 4, 0}, {2, 0, 3}, -1},  // one valid unit: no df
        {{4, 4}, {2, 2}, -1},        // H = 0
    };
    std::string all;
    for (const Case& c : cases) {
        all += capture([&](FILE* f) { print_homogeneity_test(f, (int)c.df.size(), c.df.data(), c.v.data()); });
        double H = 0;
        long hdf = 0;
        if (c.H > 0) {
            EXPECT_EQ(homogeneity_statistic((int)c.df.size(), c.df.data(), c.v.data(), &H, &hdf), 0);
        }
        EXPECT_NEAR(H, std::max(c.H, 0.0), 1e-12 * std::fabs(c.H));
    }
    expect_golden("report_homogeneity.txt", all);
}
