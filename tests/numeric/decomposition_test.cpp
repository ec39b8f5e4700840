// Symmetric inversion, determinant, positive-definiteness test, extrapolation.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "app/app.h"
#include "numeric/numeric.h"

namespace {

// Random symmetric positive definite n x n matrix: M M' + n I.
std::vector<double> random_spd(int n, std::mt19937& rng)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> M(n * n), S(n * n);
    for (double& x : M) x = u(rng);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double s = i == j ? n : 0.0;
            for (int l = 0; l < n; ++l) s += M[i * n + l] * M[j * n + l];
            S[i * n + j] = s;
        }
    return S;
}

// Q diag(lambda) Q with Q the Householder reflection of a fixed vector: a full
// symmetric matrix whose eigenvalues are known.
std::vector<double> with_eigenvalues(const std::vector<double>& lambda)
{
    const int n = static_cast<int>(lambda.size());
    std::vector<double> v(n), Q(n * n), A(n * n, 0.0);
    double vv = 0.0;
    for (int i = 0; i < n; ++i) {
        v[i] = 1.0 + 0.37 * i - 0.05 * i * i;
        vv += v[i] * v[i];
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) Q[i * n + j] = (i == j ? 1.0 : 0.0) - 2.0 * v[i] * v[j] / vv;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int l = 0; l < n; ++l) A[i * n + j] += Q[i * n + l] * lambda[l] * Q[j * n + l];
    return A;
}

TEST(SymInverse, SpdMatricesInvertWithDeterminants)
{
    std::mt19937 rng(3);
    for (int n = 1; n <= 9; ++n) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const int lda = n + 1, ldinv = n + 2;
        const std::vector<double> S = random_spd(n, rng);
        std::vector<double> A(n * lda, -7.0), Ainv(n * ldinv, -7.0);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) A[i * lda + j] = S[i * n + j];
        std::vector<double> work(std::max(3, n * (n + 1) / 2));
        ASSERT_EQ(sym_inverse(n, A.data(), Ainv.data(), work.data(), lda, ldinv), 0);
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                double s = 0.0;
                for (int l = 0; l < n; ++l) s += S[i * n + l] * Ainv[l * ldinv + j];
                EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12) << i << "," << j;
                EXPECT_EQ(Ainv[i * ldinv + j], Ainv[j * ldinv + i]);
            }
            EXPECT_EQ(Ainv[i * ldinv + n], -7.0) << "padding";
        }
        std::vector<double> scratch(n * n);
        const double det = determinant(n, S.data(), scratch.data(), n);
        EXPECT_NEAR(work[0] / det, 1.0, 1e-12);
        EXPECT_NEAR(work[1], std::log(det), 1e-11);
        EXPECT_EQ(work[2], 0.0);
    }
}

struct InverseCase {
    const char* name;
    int n;
    std::vector<double> A;
    int status;
    double det, logdet, flag;
    std::vector<double> inverse;  // empty when the inverse is not usable
};

const double kThird = 1.0 / 3.0;

const InverseCase kInverseCases[] = {
    {"known 3x3", 3, {4, 2, 0.6, 2, 5, 1.5, 0.6, 1.5, 3}, 0, 40.8, 3.708682081410116, 0.0,
     {0.3125, -0.125, 0, -0.125, 0.2852941176470588, -2.0 / 17, 0, -2.0 / 17, 20.0 / 51}},
    {"zero first pivot", 2, {0, 1, 1, 0}, 1, 0.0, 0.0, 0.0, {}},
    {"zero second pivot", 2, {1, 1, 1, 1}, 1, 0.0, 0.0, 0.0, {}},
    {"negative second pivot", 2, {1, 2, 2, 1}, 2, -3.0, 0.0, 1.0, {-kThird, 2 * kThird, 2 * kThird, -kThird}},
    {"negative pivot then positive", 3, {1, 2, 0, 2, 1, 0, 0, 0, 5}, 2, -15.0, std::log(5.0), 1.0,
     {-kThird, 2 * kThird, 0, 2 * kThird, -kThird, 0, 0, 0, 0.2}},
    {"negative 1x1", 1, {-2}, 2, -2.0, 0.0, 1.0, {-0.5}},
    {"two negative pivots, positive determinant", 2, {-1, 0, 0, -1}, 0, 1.0, 0.0, 1.0, {-1, 0, 0, -1}},
};

TEST(SymInverse, StatusesDeterminantAndFlag)
{
    for (const InverseCase& c : kInverseCases) {
        SCOPED_TRACE(c.name);
        std::vector<double> Ainv(c.n * c.n, 0.0);
        std::vector<double> work(std::max(3, c.n * (c.n + 1) / 2));
        EXPECT_EQ(sym_inverse(c.n, c.A.data(), Ainv.data(), work.data(), c.n, c.n), c.status);
        EXPECT_NEAR(work[0], c.det, 1e-12);
        EXPECT_NEAR(work[1], c.logdet, 1e-12);
        EXPECT_EQ(work[2], c.flag);
        for (std::size_t i = 0; i < c.inverse.size(); ++i) EXPECT_NEAR(Ainv[i], c.inverse[i], 1e-14) << i;
    }
}

TEST(Determinant, PivotingElimination)
{
    const struct {
        const char* name;
        int n;
        std::vector<double> A;
        double det;
    } cases[] = {
        {"exchange", 2, {0, 1, 1, 0}, -1.0},
        {"zero leading element", 3, {0, 2, 1, 1, 1, 1, 2, 1, 3}, -3.0},
        {"4x4", 4, {2, -1, 0, 3, 1, 0, 4, 1, 0, 5, 1, 2, 3, 1, 1, 0}, 211.0},
        {"singular", 2, {1, 2, 2, 4}, 0.0},
        {"1x1", 1, {-7}, -7.0},
        {"spd", 3, {4, 2, 0.6, 2, 5, 1.5, 0.6, 1.5, 3}, 40.8},
    };
    for (const auto& c : cases) {
        std::vector<double> work(c.n * c.n);
        EXPECT_NEAR(determinant(c.n, c.A.data(), work.data(), c.n), c.det, 1e-12) << c.name;
    }
}

struct PdCase {
    const char* name;
    int eigen;
    int n;
    std::vector<double> A;
    int result;
    double cond;
};

const PdCase kPdCases[] = {
    {"1x1 at the floor", 1, 1, {1e-35}, 1, 1e-35},
    {"1x1 above the floor", 1, 1, {2e-35}, 0, 2e-35},
    {"1x1 zero without eigen test", 0, 1, {0.0}, 0, BIG},
    {"correlation exactly 1", 0, 2, {4, 6, 6, 9}, 1, BIG},
    {"correlation exactly -1 with eigen", 1, 2, {4, -6, -6, 9}, 1, BIG},
    {"correlation just below 1", 0, 2, {4, 5.999, 5.999, 9}, 0, BIG},
    {"negative diagonal", 1, 2, {-1, 0, 0, 1}, 1, BIG},
    {"zero diagonal", 0, 2, {0, 0, 0, 1}, 1, BIG},
    {"eigenvalue exactly 1e-13/n", 1, 2, {1, 0, 0, 1e-13 / 2}, 1, 2e13},
    {"eigenvalue just above 1e-13/n", 1, 2, {1, 0, 0, 1e-13 / 2 * 1.0001}, 0, 2e13 / 1.0001},
    {"known spd", 1, 3, {4, 2, 0.6, 2, 5, 1.5, 0.6, 1.5, 3}, 0, 3.56582400698981},
    {"negative eigenvalue", 1, 3, {1, 0.9, 0.9, 0.9, 1, -0.9, 0.9, -0.9, 1}, 1, 1.9 / 0.8},
    {"negative eigenvalue unseen without eigen test", 0, 3, {1, 0.9, 0.9, 0.9, 1, -0.9, 0.9, -0.9, 1}, 0, BIG},
};

TEST(PdCheck, BoundariesAndConditionFigures)
{
    for (const PdCase& c : kPdCases) {
        SCOPED_TRACE(c.name);
        double cond = -5.0;
        EXPECT_EQ(pd_check(c.eigen, c.n, c.A.data(), &cond, c.n), c.result);
        EXPECT_NEAR(cond / c.cond, 1.0, 1e-9);
        EXPECT_EQ(pd_check(c.eigen, c.n, c.A.data(), nullptr, c.n), c.result) << "without cond";
    }
}

TEST(PdCheck, KnownEigenvaluesOfSeveralSizes)
{
    const struct {
        std::vector<double> lambda;
        int result;
    } cases[] = {
        {{1, 2}, 0},
        {{3, 1, 2}, 0},
        {{1, 2, 3, 4, 5, 6}, 0},
        {{0.5, 40, 7, 2, 9, 3, 1, 8, 6, 4, 5, 10}, 0},
        {{1, 2, 3, 1e-14, 5}, 1},
        {{2, 2, 2, 2}, 0},
    };
    for (const auto& c : cases) {
        const int n = static_cast<int>(c.lambda.size());
        SCOPED_TRACE("n=" + std::to_string(n));
        const std::vector<double> A = with_eigenvalues(c.lambda);
        double lmax = c.lambda[0], lmin = c.lambda[0];
        for (double l : c.lambda) {
            lmax = std::max(lmax, l);
            lmin = std::min(lmin, l);
        }
        double cond = 0.0;
        EXPECT_EQ(pd_check(1, n, A.data(), &cond, n), c.result);
        if (c.result == 0) {
            EXPECT_NEAR(cond / (lmax / lmin), 1.0, 1e-9);
        }
    }
}

struct TauCase {
    const char* name;
    int n;
    double ratio;
    std::vector<double> T, P, P2;
    int result;
    double ratio_out;
    std::vector<double> T_out;
};

const TauCase kTauCases[] = {
    {"ratio exactly 0.01", 1, 0.0, {101}, {100}, {0}, 0, 0.01, {101}},
    {"ratio exactly 0.985", 1, 0.0, {1985}, {1000}, {0}, 1, 0.985, {66666.66666666661}},
    {"ratio above 0.985", 1, 0.0, {1990}, {1000}, {0}, 0, 0.99, {1990}},
    {"negative ratio", 1, 0.0, {90}, {100}, {0}, 0, -0.1, {90}},
    {"sigma-squared ratio counts as a term", 1, 0.5, {15}, {10}, {0}, 1, 0.5, {20}},
    {"lower triangle drives, upper mirrored", 2, 0.0, {15, 999, 3, 6}, {10, 2, 2, 4}, {0, 0, 0, 0}, 1, 0.5,
     {20, 4, 4, 8}},
};

TEST(AccelerateTau, ExtrapolatesOnlyInsideTheWindow)
{
    for (const TauCase& c : kTauCases) {
        SCOPED_TRACE(c.name);
        std::vector<double> T = c.T;
        double ratio = c.ratio;
        EXPECT_EQ(accelerate_tau(c.n, &ratio, T.data(), c.P.data(), c.P2.data()), c.result);
        EXPECT_NEAR(ratio, c.ratio_out, 1e-15);
        for (std::size_t i = 0; i < T.size(); ++i) EXPECT_NEAR(T[i], c.T_out[i], 1e-9) << i;
    }
}

}  // namespace
