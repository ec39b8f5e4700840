// Tail probabilities, t critical values, Gauss-Hermite rules and quantiles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "numeric/numeric.h"

namespace {

TEST(TailProbability, ChiSquareAndNormalModes)
{
    const struct {
        double x;
        long df;
        int mode;
        double expected;
        double rounded;  // the figure a report shows, to its printed precision
        double precision;
    } cases[] = {
        {3.841, 1, 1, 0.04705373371347001, 0.047, 5e-4},
        {10.0, 5, 1, 0.0744019225599777, 0.074, 5e-4},
        {1.96, 1, 0, 0.049587145583772536, 0.0496, 5e-5},
        {25.0, 12, 1, 0.014817024886456023, 0.015, 5e-4},
        {100.0, 40, 1, 8.277129165889433e-06, 0.0, 5e-4},
        {0.0, 0, 0, 1.0, 1.0, 0.0},
        {-2.5758, 7, 0, 0.010328947138869579, 0.010, 5e-4},  // df ignored, sign folded
        {3.2905, 1, 2, 0.0013714268424764064, 0.001, 5e-4},  // any mode but 1 is two-sided
    };
    for (const auto& c : cases) {
        const double p = tail_probability(c.x, c.df, c.mode);
        EXPECT_NEAR(p, c.expected, 1e-15) << c.x << " df " << c.df << " mode " << c.mode;
        EXPECT_NEAR(p, c.rounded, c.precision) << c.x;
    }
}

TEST(TDistribution, TwoSidedPNearTabledCriticalValues)
{
    // tabled two-sided 5% critical values of Student's t
    const struct {
        double t;
        long df;
    } cases[] = {{2.086, 20}, {2.042, 30}, {2.000, 60}, {1.984, 100}, {1.962, 1000}};
    for (const auto& c : cases) EXPECT_NEAR(t_two_sided_p(-c.t, c.df), 0.05, 1e-3) << c.df;
}

TEST(TDistribution, DensityTermVanishesBeyondA2Of150)
{
    const double a = std::sqrt(150.0) * (1.0 + 1e-12);
    EXPECT_EQ(t_two_sided_p(a, 5), tail_probability(a, 0, 0));
    const double b = std::sqrt(150.0) * (1.0 - 1e-12);
    EXPECT_GT(t_two_sided_p(b, 5), tail_probability(b, 0, 0));
}

TEST(TDistribution, CriticalValueGrid)
{
    const struct {
        long n;
        double expected;
    } cases[] = {{2, 2.209}, {5, 2.209}, {10, 2.209}, {11, 2.199}, {20, 2.083}, {120, 1.976}, {1000, 1.960}, {100000, 1.960}};
    for (const auto& c : cases) EXPECT_NEAR(t_critical_95(c.n), c.expected, 1e-12) << c.n;
}

// Gauss-Hermite tables (nodes descending, weights to match).
struct RuleCase {
    int n;
    std::vector<double> nodes;
    std::vector<double> weights;
};

const RuleCase kRules[] = {
    {1, {0.0}, {1.7724538509055159}},
    {2, {0.7071067811865475, -0.7071067811865475}, {0.8862269254527579, 0.8862269254527579}},
    {5,
     {2.0201828704560856, 0.9585724646138185, 0.0, -0.9585724646138185, -2.0201828704560856},
     {0.019953242059045917, 0.3936193231522411, 0.9453087204829418, 0.3936193231522411, 0.019953242059045917}},
    {20,
     {5.387480890011233, 4.603682449550744, 3.944764040115625, 3.3478545673832163, 2.7888060584281305,
      2.2549740020892757, 1.7385377121165861, 1.234076215395323, 0.7374737285453944, 0.24534070830090124,
      -0.24534070830090124, -0.7374737285453944, -1.234076215395323, -1.7385377121165861, -2.2549740020892757,
      -2.7888060584281305, -3.3478545673832163, -3.944764040115625, -4.603682449550744, -5.387480890011233},
     {2.2293936455341447e-13, 4.3993409922731747e-10, 1.0860693707692782e-07, 7.80255647853206e-06,
      0.00022833863601635365, 0.0032437733422378567, 0.024810520887463643, 0.1090172060200233,
      0.28667550536283415, 0.4622436696006101, 0.4622436696006101, 0.28667550536283415, 0.1090172060200233,
      0.024810520887463643, 0.0032437733422378567, 0.00022833863601635365, 7.80255647853206e-06,
      1.0860693707692782e-07, 4.3993409922731747e-10, 2.2293936455341447e-13}},
};

TEST(GaussHermite, NodesAndWeightsMatchTables)
{
    for (const RuleCase& c : kRules) {
        SCOPED_TRACE("n=" + std::to_string(c.n));
        std::vector<double> x(c.n, -1.0), w(c.n, -1.0);
        ASSERT_EQ(gauher(x.data(), w.data(), c.n, stdout), 1);
        for (int i = 0; i < c.n; ++i) {
            EXPECT_NEAR(x[i], c.nodes[i], 1e-13) << i;
            EXPECT_NEAR(w[i] / c.weights[i], 1.0, 1e-12) << i;
        }
    }
}

TEST(GaussHermite, NormalKernelWeights)
{
    for (const RuleCase& c : kRules) {
        SCOPED_TRACE("n=" + std::to_string(c.n));
        std::vector<double> x(c.n), w(c.n);
        ASSERT_EQ(hermite_rule(x.data(), w.data(), c.n, stdout), 1);
        double total = 0.0;
        for (int i = 0; i < c.n; ++i) {
            EXPECT_NEAR(x[i], c.nodes[i], 1e-13);
            const double expected = c.weights[i] * std::exp(c.nodes[i] * c.nodes[i]) / std::sqrt(3.1415926535);
            EXPECT_NEAR(w[i] / expected, 1.0, 1e-11) << i;
            total += w[i] * std::exp(-x[i] * x[i]);
        }
        // 1 up to the truncated pi of the kernel constant
        EXPECT_NEAR(total, 1.0, 2e-11);
    }
}

TEST(GaussHermite, NonConvergenceIsReportedToTheOutputFile)
{
    // the initial guesses fail to converge in ten Newton steps for such large rules
    const int n = 300;
    std::vector<double> x(n), w(n);
    std::FILE* report = std::tmpfile();
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(gauher(x.data(), w.data(), n, report), 0);
    EXPECT_EQ(hermite_rule(x.data(), w.data(), n, report), 0);
    std::rewind(report);
    char text[200] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, report);
    std::fclose(report);
    EXPECT_EQ(std::string(text, got), "\nToo many iterations in gauher!\n\nToo many iterations in gauher!\n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(gauher(x.data(), w.data(), n, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nToo many iterations in gauher!\n");
}

TEST(LogGamma, AgreesWithTheLibrary)
{
    const double xs[] = {0.5, 1.0, 1.5, 2.0, 3.7, 6.5, 6.999, 7.0, 7.5, 12.0, 50.5, 1000.0};
    for (double x : xs) EXPECT_NEAR(log_gamma(x), std::lgamma(x), 1e-11 * std::max(1.0, std::fabs(std::lgamma(x)))) << x;
}

TEST(NormalQuantile, ValuesAndFaults)
{
    const struct {
        double p;
        double expected;
        int fault;
    } cases[] = {
        {0.5, 0.0, 0},
        {0.975, 1.9599639986264121, 0},
        {0.025, -1.9599639986264128, 0},
        {0.9, 1.2815515609019674, 0},
        {0.3, -0.5244005238665816, 0},
        {1e-10, -6.361340890194051, 0},
        {1e-21, 0.0, 1},
        {0.0, 0.0, 1},
        {1.0, 0.0, 1},
    };
    for (const auto& c : cases) {
        int fault = -1;
        EXPECT_NEAR(normal_quantile(c.p, &fault), c.expected, 1e-13) << c.p;
        EXPECT_EQ(fault, c.fault) << c.p;
    }
}

TEST(ChiSquareQuantile, BranchesAndFaults)
{
    const struct {
        double p;
        double v;
        double expected;
        int fault;
    } cases[] = {
        {0.05, 3, 0.32817145181469404, 0},   // small-v branch
        {0.1, 1, 0.01570796326700736, 0},    // small-v branch
        {2e-6, 4, 0.003999999999760219, 0},  // lower edge accepted
        {0.95, 1, 3.746762687162722, 0},     // cube-root branch
        {0.95, 5, 11.04394299722709, 0},
        {0.5, 2, 1.4046644499314789, 0},
        {0.3, 30, 25.51544207873735, 0},
        {0.99, 10, 23.239343286443653, 0},
        {0.999, 2, 13.815510557964272, 0},   // upper-tail correction
        {0.995, 2, 10.59663473309607, 0},    // correction just past 2.2 v + 6
        {0.999998, 4, 31.88324598105236, 0}, // upper edge accepted
        {1e-6, 4, -1.0, 1},
        {0.9999999, 4, -1.0, 1},
    };
    for (const auto& c : cases) {
        int fault = -1;
        const double q = chi_square_quantile(c.p, c.v, std::lgamma(c.v / 2), &fault);
        EXPECT_NEAR(q, c.expected, 1e-9 * std::max(1.0, c.expected)) << c.p << " on " << c.v;
        EXPECT_EQ(fault, c.fault) << c.p;
    }
}

TEST(ChiSquareQuantile, PlottingPositionsOfAnOrder)
{
    const int order[] = {7, 3, 9, 1};
    int fault = 0;
    // unit 9 is third of four: position (2 + 0.5) / 4
    EXPECT_NEAR(expected_chi_square_quantile(9, 3, 4, order),
                chi_square_quantile(0.625, 3, std::lgamma(1.5), &fault), 1e-9);
    // one degree of freedom takes the small-v branch, which needs ln Gamma(1/2)
    EXPECT_NEAR(expected_chi_square_quantile(7, 1, 4, order), 0.024543692604698995, 1e-12);
    EXPECT_EQ(expected_chi_square_quantile(5, 3, 4, order), 0.0);

    // one unit in 300000 sits below the lowest plotting position allowed
    std::vector<int> many(300000);
    for (int i = 0; i < 300000; ++i) many[i] = i;
    EXPECT_EQ(expected_chi_square_quantile(0, 2, 300000, many.data()), -99.0);
    EXPECT_GT(expected_chi_square_quantile(1, 2, 300000, many.data()), 0.0);
}

}  // namespace
