// Tail probabilities, t critical values, Gauss-Hermite rules and quantiles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "numeric/numeric.h"
#include "support/test_support.h"

namespace {

TEST(TailProbability, ChiSquareAndNormalModes)
{
    const struct { double x; long df; int mode; double expected; } cases[] = {
        {3.841, 1, 1, 0.04705373371347001},
        {25.0, 12, 1, 0.014817024886456023},
        {100.0, 40, 1, 8.277129165889433e-06},
        {1.96, 1, 0, 0.049587145583772536},
        {0.0, 0, 0, 1.0},
        {-2.5758, 7, 0, 0.010328947138869579},  // df ignored, sign folded
        {3.2905, 1, 2, 0.0013714268424764064},  // any mode but 1 is two-sided
    };
    for (const auto& c : cases)
        EXPECT_NEAR(tail_probability(c.x, c.df, c.mode), c.expected, 1e-15) << c.x << " df " << c.df << " mode " << c.mode;
}

TEST(TDistribution, PValuesAndCriticalValueGrid)
{
    // tabled two-sided 5% critical values of Student's t
    const struct { double t; long df; } tabled[] = {{2.086, 20}, {2.000, 60}, {1.962, 1000}};
    for (const auto& c : tabled) EXPECT_NEAR(t_two_sided_p(-c.t, c.df), 0.05, 1e-3) << c.df;
    // beyond a^2 = 150 the density term vanishes and the normal p remains
    const double a = std::sqrt(150.0) * (1.0 + 1e-12), b = std::sqrt(150.0) * (1.0 - 1e-12);
    EXPECT_EQ(t_two_sided_p(a, 5), tail_probability(a, 0, 0));
    EXPECT_GT(t_two_sided_p(b, 5), tail_probability(b, 0, 0));
    const struct { long n; double expected; } grid[] = {{2, 2.209}, {10, 2.209}, {11, 2.199}, {20, 2.083}, {120, 1.976}, {100000, 1.960}};
    for (const auto& c : grid) EXPECT_NEAR(t_critical_95(c.n), c.expected, 1e-12) << c.n;
}

TEST(GaussHermite, TabledNodesAndBothWeightForms)
{
    // nodes descending, weights to match
    const struct { int n; std::vector<double> nodes, weights; } rules[] = {
        {1, {0.0}, {1.7724538509055159}},
        {2, {0.7071067811865475, -0.7071067811865475}, {0.8862269254527579, 0.8862269254527579}},
        {5, {2.0201828704560856, 0.9585724646138185, 0.0, -0.9585724646138185, -2.0201828704560856},
         {0.019953242059045917, 0.3936193231522411, 0.9453087204829418, 0.3936193231522411, 0.019953242059045917}},
    };
    for (const auto& c : rules) {
        SCOPED_TRACE("n=" + std::to_string(c.n));
        std::vector<double> x(c.n, -1.0), w(c.n, -1.0), xk(c.n), wk(c.n);
        ASSERT_EQ(gauher(x.data(), w.data(), c.n, stdout), 1);
        ASSERT_EQ(hermite_rule(xk.data(), wk.data(), c.n, stdout), 1);
        for (int i = 0; i < c.n; ++i) {
            EXPECT_NEAR(x[i], c.nodes[i], 1e-13) << i;
            EXPECT_NEAR(w[i] / c.weights[i], 1.0, 1e-12) << i;
            EXPECT_EQ(xk[i], x[i]);
            // the normal kernel carries a truncated pi
            EXPECT_NEAR(wk[i] / (w[i] * std::exp(x[i] * x[i]) / std::sqrt(3.1415926535)), 1.0, 1e-11) << i;
        }
    }
    // a 20-point rule integrates polynomials up to degree 39 against exp(-x^2)
    std::vector<double> x(20), w(20);
    ASSERT_EQ(gauher(x.data(), w.data(), 20, stdout), 1);
    double m0 = 0, m2 = 0, m38 = 0;
    for (int i = 0; i < 20; ++i) m0 += w[i], m2 += w[i] * x[i] * x[i], m38 += w[i] * std::pow(x[i], 38);
    const double sqrtPi = std::sqrt(std::acos(-1.0));
    EXPECT_NEAR(m0 / sqrtPi, 1.0, 1e-13);
    EXPECT_NEAR(m2 / (sqrtPi / 2), 1.0, 1e-13);
    EXPECT_NEAR(m38 / std::exp(std::lgamma(19.5)), 1.0, 1e-10);
}

TEST(GaussHermite, NonConvergenceIsReportedToTheOutputFile)
{
    // the initial guesses fail to converge in ten Newton steps for such large rules
    const int n = 300;
    std::vector<double> x(n), w(n);
    EXPECT_EQ(testsupport::capture([&](std::FILE* report) {
                  EXPECT_EQ(gauher(x.data(), w.data(), n, report), 0);
                  EXPECT_EQ(hermite_rule(x.data(), w.data(), n, report), 0);
              }),
              "\nToo many iterations in gauher!\n\nToo many iterations in gauher!\n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(gauher(x.data(), w.data(), n, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nToo many iterations in gauher!\n");
}

TEST(Quantiles, LogGammaNormalAndChiSquare)
{
    for (double x : {0.5, 1.5, 6.999, 7.0, 12.0, 1000.0})
        EXPECT_NEAR(log_gamma(x), std::lgamma(x), 1e-11 * std::max(1.0, std::fabs(std::lgamma(x)))) << x;

    const struct { double p, expected; int fault; } normal[] = {
        {0.5, 0.0, 0}, {0.975, 1.9599639986264121, 0}, {0.3, -0.5244005238665816, 0},
        {1e-10, -6.361340890194051, 0}, {1e-21, 0.0, 1}, {1.0, 0.0, 1},
    };
    for (const auto& c : normal) {
        int fault = -1;
        EXPECT_NEAR(normal_quantile(c.p, &fault), c.expected, 1e-13) << c.p;
        EXPECT_EQ(fault, c.fault) << c.p;
    }

    const struct { double p, v, expected; int fault; } chi[] = {
        {0.05, 3, 0.32817145181469404, 0},   // small-v branch
        {2e-6, 4, 0.003999999999760219, 0},  // lower edge accepted
        {0.95, 1, 3.746762687162722, 0},     // cube-root branch
        {0.3, 30, 25.51544207873735, 0},
        {0.999, 2, 13.815510557964272, 0},   // upper-tail correction
        {0.995, 2, 10.59663473309607, 0},    // correction just past 2.2 v + 6
        {0.999998, 4, 31.88324598105236, 0}, // upper edge accepted
        {1e-6, 4, -1.0, 1},
        {0.9999999, 4, -1.0, 1},
    };
    for (const auto& c : chi) {
        int fault = -1;
        const double q = chi_square_quantile(c.p, c.v, std::lgamma(c.v / 2), &fault);
        EXPECT_NEAR(q, c.expected, 1e-9 * std::max(1.0, c.expected)) << c.p << " on " << c.v;
        EXPECT_EQ(fault, c.fault) << c.p;
    }
}

TEST(Quantiles, PlottingPositionsOfAnOrder)
{
    const int order[] = {7, 3, 9, 1};
    int fault = 0;
    // unit 9 is third of four: position (2 + 0.5) / 4
    EXPECT_NEAR(expected_chi_square_quantile(9, 3, 4, order), chi_square_quantile(0.625, 3, std::lgamma(1.5), &fault), 1e-9);
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
