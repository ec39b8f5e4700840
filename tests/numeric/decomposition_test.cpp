// Symmetric inversion, determinant, positive-definiteness test, extrapolation. (Strided
// inversion of larger matrices is passed through by every fit of the reference runs.)
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/app.h"
#include "numeric/numeric.h"

namespace {

using Vec = std::vector<double>;

// Q diag(lambda) Q with Q a Householder reflection: a full symmetric matrix with known eigenvalues.
Vec with_eigenvalues(const Vec& lambda)
{
    const int n = static_cast<int>(lambda.size());
    Vec v(n), Q(n * n), A(n * n, 0.0);
    double vv = 0.0;
    for (int i = 0; i < n; ++i) vv += (v[i] = 1.0 + 0.37 * i - 0.05 * i * i) * v[i];
    for (int i = 0; i < n * n; ++i) Q[i] = (i / n == i % n ? 1.0 : 0.0) - 2.0 * v[i / n] * v[i % n] / vv;
    for (int i = 0; i < n * n; ++i)
        for (int l = 0; l < n; ++l) A[i] += Q[i / n * n + l] * lambda[l] * Q[i % n * n + l];
    return A;
}

TEST(SymInverse, StatusesDeterminantAndFlag)
{
    const double t = 1.0 / 3.0;
    const struct { const char* name; int n; Vec A; int status; double det, logdet, flag; Vec inverse; } cases[] = {
        {"known 3x3", 3, {4, 2, 0.6, 2, 5, 1.5, 0.6, 1.5, 3}, 0, 40.8, 3.708682081410116, 0.0,
         {0.3125, -0.125, 0, -0.125, 0.2852941176470588, -2.0 / 17, 0, -2.0 / 17, 20.0 / 51}},
        {"zero first pivot", 2, {0, 1, 1, 0}, 1, 0.0, 0.0, 0.0, {}},
        {"zero second pivot", 2, {1, 1, 1, 1}, 1, 0.0, 0.0, 0.0, {}},
        {"negative pivot then positive", 3, {1, 2, 0, 2, 1, 0, 0, 0, 5}, 2, -15.0, std::log(5.0), 1.0,
         {-t, 2 * t, 0, 2 * t, -t, 0, 0, 0, 0.2}},
        {"negative 1x1", 1, {-2}, 2, -2.0, 0.0, 1.0, {-0.5}},
        {"two negative pivots, positive determinant", 2, {-1, 0, 0, -1}, 0, 1.0, 0.0, 1.0, {-1, 0, 0, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Vec Ainv(c.n * c.n, 0.0), work(std::max(3, c.n * (c.n + 1) / 2));
        EXPECT_EQ(sym_inverse(c.n, c.A.data(), Ainv.data(), work.data(), c.n, c.n), c.status);
        EXPECT_NEAR(work[0], c.det, 1e-12);
        EXPECT_NEAR(work[1], c.logdet, 1e-12);
        EXPECT_EQ(work[2], c.flag);
        for (std::size_t i = 0; i < c.inverse.size(); ++i) EXPECT_NEAR(Ainv[i], c.inverse[i], 1e-14) << i;
    }
}

TEST(Determinant, PivotingElimination)
{
    const struct { int n; Vec A; double det; } cases[] = {
        {2, {0, 1, 1, 0}, -1.0},
        {3, {0, 2, 1, 1, 1, 1, 2, 1, 3}, -3.0},
        {4, {2, -1, 0, 3, 1, 0, 4, 1, 0, 5, 1, 2, 3, 1, 1, 0}, 211.0},
        {2, {1, 2, 2, 4}, 0.0},
    };
    for (const auto& c : cases) {
        Vec work(c.n * c.n);
        EXPECT_NEAR(determinant(c.n, c.A.data(), work.data(), c.n), c.det, 1e-12) << c.n;
    }
}

TEST(PdCheck, BoundariesAndConditionFigures)
{
    const Vec negEigen = {1, 0.9, 0.9, 0.9, 1, -0.9, 0.9, -0.9, 1};
    const struct { const char* name; int eigen, n; Vec A; int result; double cond; } cases[] = {
        {"1x1 at the floor", 1, 1, {1e-35}, 1, 1e-35},
        {"1x1 above the floor", 1, 1, {2e-35}, 0, 2e-35},
        {"1x1 zero without eigen test", 0, 1, {0.0}, 0, BIG},
        {"correlation exactly 1", 0, 2, {4, 6, 6, 9}, 1, BIG},
        {"correlation exactly -1 with eigen", 1, 2, {4, -6, -6, 9}, 1, BIG},
        {"correlation just below 1", 0, 2, {4, 5.999, 5.999, 9}, 0, BIG},
        {"negative diagonal", 1, 2, {-1, 0, 0, 1}, 1, BIG},
        {"eigenvalue exactly 1e-13/n", 1, 2, {1, 0, 0, 1e-13 / 2}, 1, 2e13},
        {"eigenvalue just above 1e-13/n", 1, 2, {1, 0, 0, 1e-13 / 2 * 1.0001}, 0, 2e13 / 1.0001},
        {"negative eigenvalue", 1, 3, negEigen, 1, 1.9 / 0.8},
        {"negative eigenvalue unseen without eigen test", 0, 3, negEigen, 0, BIG},
        {"known eigenvalues 1..6", 1, 6, with_eigenvalues({1, 2, 3, 4, 5, 6}), 0, 6.0},
        {"twelve eigenvalues", 1, 12, with_eigenvalues({0.5, 40, 7, 2, 9, 3, 1, 8, 6, 4, 5, 10}), 0, 80.0},
        {"one eigenvalue 1e-14", 1, 5, with_eigenvalues({1, 2, 3, 1e-14, 5}), 1, -1},  // cond not pinned
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        double cond = -5.0;
        EXPECT_EQ(pd_check(c.eigen, c.n, c.A.data(), &cond, c.n), c.result);
        if (c.cond > 0) {
            EXPECT_NEAR(cond / c.cond, 1.0, 1e-9);
        }
        EXPECT_EQ(pd_check(c.eigen, c.n, c.A.data(), nullptr, c.n), c.result) << "without cond";
    }
}

TEST(AccelerateTau, ExtrapolatesOnlyInsideTheWindow)
{
    const struct { const char* name; int n; double ratio; Vec T, P, P2; int result; double ratio_out; Vec T_out; } cases[] = {
        {"ratio exactly 0.01", 1, 0.0, {101}, {100}, {0}, 0, 0.01, {101}},
        {"ratio exactly 0.985", 1, 0.0, {1985}, {1000}, {0}, 1, 0.985, {66666.66666666661}},
        {"ratio above 0.985", 1, 0.0, {1990}, {1000}, {0}, 0, 0.99, {1990}},
        {"negative ratio", 1, 0.0, {90}, {100}, {0}, 0, -0.1, {90}},
        {"sigma-squared ratio counts as a term", 1, 0.5, {15}, {10}, {0}, 1, 0.5, {20}},
        {"lower triangle drives, upper mirrored", 2, 0.0, {15, 999, 3, 6}, {10, 2, 2, 4}, {0, 0, 0, 0}, 1, 0.5,
         {20, 4, 4, 8}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Vec T = c.T;
        double ratio = c.ratio;
        EXPECT_EQ(accelerate_tau(c.n, &ratio, T.data(), c.P.data(), c.P2.data()), c.result);
        EXPECT_NEAR(ratio, c.ratio_out, 1e-15);
        for (std::size_t i = 0; i < T.size(); ++i) EXPECT_NEAR(T[i], c.T_out[i], 1e-9) << i;
    }
}

}  // namespace
