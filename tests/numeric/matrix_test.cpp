// Products, element-wise routines, copies, deletions and sorting.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "numeric/numeric.h"

namespace {

std::vector<double> random_matrix(int rows, int cols, std::mt19937& rng)
{
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    std::vector<double> m(static_cast<std::size_t>(rows * cols));
    for (double& x : m) x = u(rng);
    return m;
}

enum class Mode { Set, Add, Sub };
using DenseProduct = void (*)(int, int, int, const double*, const double*, double*);

struct DenseCase {
    const char* name;
    DenseProduct fn;
    bool transA;  // A stored k x m
    bool transB;  // B stored n x k
    Mode mode;
};

const DenseCase kDense[] = {
    {"nn", matmul_nn, false, false, Mode::Set},     {"tn", matmul_tn, true, false, Mode::Set},
    {"nt", matmul_nt, false, true, Mode::Set},      {"nn_add", matmul_nn_add, false, false, Mode::Add},
    {"tn_add", matmul_tn_add, true, false, Mode::Add}, {"nt_add", matmul_nt_add, false, true, Mode::Add},
    {"nn_sub", matmul_nn_sub, false, false, Mode::Sub}, {"tn_sub", matmul_tn_sub, true, false, Mode::Sub},
    {"nt_sub", matmul_nt_sub, false, true, Mode::Sub},
};

// The product element accumulated term by term in ascending inner order,
// starting from `start`; the routines promise exactly this order.
double reference_element(int i, int j, int k, const double* A, int lda, bool transA, const double* B, int ldb,
                         bool transB, Mode mode, double start)
{
    double s = mode == Mode::Set ? 0.0 : start;
    for (int l = 0; l < k; ++l) {
        const double a = transA ? A[l * lda + i] : A[i * lda + l];
        const double b = transB ? B[j * ldb + l] : B[l * ldb + j];
        if (mode == Mode::Sub)
            s -= a * b;
        else
            s += a * b;
    }
    return s;
}

const int kShapes[][3] = {{1, 1, 1}, {3, 5, 7}, {4, 4, 4}, {6, 9, 2}, {5, 0, 3}, {2, 13, 11}};

TEST(Products, DenseFormsMatchTermByTermReference)
{
    std::mt19937 rng(7);
    for (const DenseCase& c : kDense) {
        for (const auto& s : kShapes) {
            const int m = s[0], k = s[1], n = s[2];
            SCOPED_TRACE(std::string(c.name) + " m=" + std::to_string(m) + " k=" + std::to_string(k) +
                         " n=" + std::to_string(n));
            std::vector<double> A = c.transA ? random_matrix(k, m, rng) : random_matrix(m, k, rng);
            std::vector<double> B = c.transB ? random_matrix(n, k, rng) : random_matrix(k, n, rng);
            std::vector<double> C = random_matrix(m, n, rng);
            const std::vector<double> C0 = C;
            c.fn(m, k, n, A.data(), B.data(), C.data());
            const int lda = c.transA ? m : k;
            const int ldb = c.transB ? k : n;
            for (int i = 0; i < m; ++i)
                for (int j = 0; j < n; ++j)
                    EXPECT_EQ(C[i * n + j], reference_element(i, j, k, A.data(), lda, c.transA, B.data(), ldb, c.transB,
                                                              c.mode, C0[i * n + j]))
                        << "element " << i << "," << j;
        }
    }
}

using StridedProduct = void (*)(int, int, int, const double*, const double*, double*, int, int, int);

struct StridedCase {
    const char* name;
    StridedProduct fn;
    bool transA;
    bool transB;
};

const StridedCase kStrided[] = {
    {"ld_nn", matmul_ld_nn, false, false},
    {"ld_tn", matmul_ld_tn, true, false},
    {"ld_nt", matmul_ld_nt, false, true},
};

TEST(Products, StridedFormsRespectStridesAndLeavePaddingAlone)
{
    std::mt19937 rng(11);
    const double pad = 12345.0;
    for (const StridedCase& c : kStrided) {
        for (const auto& s : kShapes) {
            const int m = s[0], k = s[1], n = s[2];
            SCOPED_TRACE(std::string(c.name) + " m=" + std::to_string(m) + " k=" + std::to_string(k));
            const int arows = c.transA ? k : m, acols = c.transA ? m : k;
            const int brows = c.transB ? n : k, bcols = c.transB ? k : n;
            const int lda = acols + 2, ldb = bcols + 3, ldc = n + 1;
            std::vector<double> A = random_matrix(arows, lda, rng);
            std::vector<double> B = random_matrix(brows, ldb, rng);
            std::vector<double> C(static_cast<std::size_t>(m * ldc), pad);
            c.fn(m, k, n, A.data(), B.data(), C.data(), lda, ldb, ldc);
            for (int i = 0; i < m; ++i) {
                for (int j = 0; j < n; ++j)
                    EXPECT_EQ(C[i * ldc + j], reference_element(i, j, k, A.data(), lda, c.transA, B.data(), ldb,
                                                                 c.transB, Mode::Set, 0.0));
                EXPECT_EQ(C[i * ldc + n], pad) << "padding of row " << i;
            }
        }
    }
}

TEST(ElementWise, SumsDifferencesAndTransposedForms)
{
    const double X[6] = {1, 2, 3, 4, 5, 6};     // 2 x 3
    const double Y[6] = {10, 20, 30, 40, 50, 60};
    const double Bt[6] = {1, 4, 2, 5, 3, 6};    // 3 x 2, the transpose of X
    struct Case {
        const char* name;
        double expected[6];
        void (*run)(const double*, const double*, const double*, double*);
    } cases[] = {
        {"matadd", {11, 22, 33, 44, 55, 66}, [](const double* x, const double* y, const double*, double* z) { matadd(2, 3, x, y, z); }},
        {"matsub", {-9, -18, -27, -36, -45, -54}, [](const double* x, const double* y, const double*, double* z) { matsub(2, 3, x, y, z); }},
        {"matadd_t op 1", {2, 4, 6, 8, 10, 12}, [](const double* x, const double*, const double* b, double* z) { matadd_t(1, 2, 3, x, b, z); }},
        {"matadd_t op 0", {0, 0, 0, 0, 0, 0}, [](const double* x, const double*, const double* b, double* z) { matadd_t(0, 2, 3, x, b, z); }},
        {"mat_scale_copy", {-2, -4, -6, -8, -10, -12}, [](const double* x, const double*, const double*, double* z) { mat_scale_copy(2, 3, x, z, -2.0); }},
    };
    for (const Case& c : cases) {
        double Z[6] = {};
        c.run(X, Y, Bt, Z);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(Z[i], c.expected[i]) << c.name << " element " << i;
    }
}

TEST(ElementWise, StridedAddScaleAndTrace)
{
    // 2 x 2 matrices held with row stride 3; the third column is padding.
    const double A[6] = {1, 2, 99, 3, 4, 99};
    const double B[6] = {5, 6, 77, 7, 8, 77};
    double C[6] = {0, 0, -1, 0, 0, -1};
    matadd_ld(2, 2, A, B, C, 3, 3, 3);
    const double sum[6] = {6, 8, -1, 10, 12, -1};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(C[i], sum[i]) << i;
    mat_scale(2, 2, C, 0.5, 3);
    const double half[6] = {3, 4, -1, 5, 6, -1};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(C[i], half[i]) << i;
    EXPECT_EQ(mat_trace(2, C, 3), 9.0);
    mat_zero(C, 2, 3);
    for (double x : C) EXPECT_EQ(x, 0.0);
}

TEST(ElementWise, KroneckerPlacesScaledBlocks)
{
    const double A[4] = {1, 2, 3, 4};  // 2 x 2
    const double B[2] = {1, -1};       // 1 x 2
    double C[8] = {};
    kronecker(2, 2, 1, 2, A, B, C, 2, 2, 4);
    const double expected[8] = {1, -1, 2, -2, 3, -3, 4, -4};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(C[i], expected[i]) << i;

    const double I2[4] = {1, 0, 0, 1};
    const double M[4] = {5, 6, 7, 8};
    double K[16] = {};
    kronecker(2, 2, 2, 2, I2, M, K, 2, 2, 4);
    const double blockdiag[16] = {5, 6, 0, 0, 7, 8, 0, 0, 0, 0, 5, 6, 0, 0, 7, 8};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(K[i], blockdiag[i]) << i;
}

TEST(Copies, BlocksAndRowsOfThreeDimensionalArrays)
{
    // three 2 x 3 blocks
    std::vector<double> array(18);
    for (int i = 0; i < 18; ++i) array[i] = i;
    double M[6];
    block_get(2, 3, 1, array.data(), M);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(M[i], 6 + i);

    const double fresh[6] = {-1, -2, -3, -4, -5, -6};
    block_put(2, 3, 2, array.data(), fresh);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(array[12 + i], fresh[i]);
    EXPECT_EQ(array[11], 11.0);

    const double strided[8] = {7, 8, 9, 0, 10, 11, 12, 0};  // 2 x 3 with stride 4
    block_put_ld(2, 3, 0, array.data(), strided, 4);
    const double packed[6] = {7, 8, 9, 10, 11, 12};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(array[i], packed[i]);
    EXPECT_EQ(array[6], 6.0);

    double v[2];
    row_get(2, 2, array.data(), v, 4);  // row 2 of a stride-4 view
    EXPECT_EQ(v[0], 8.0);
    EXPECT_EQ(v[1], 9.0);
    const double w[2] = {100, 200};
    row_put(2, 1, array.data(), w, 5);
    EXPECT_EQ(array[5], 100.0);
    EXPECT_EQ(array[6], 200.0);
    EXPECT_EQ(array[7], 7.0);
}

TEST(Deletion, RowsAndColumns)
{
    struct Case {
        const char* name;
        int k;
        double expected[9];
    } columns[] = {
        {"first column", 0, {2, 3, 4, 6, 7, 8, 10, 11, 12}},
        {"middle column", 1, {1, 3, 4, 5, 7, 8, 9, 11, 12}},
        // deleting the last column moves nothing: only (rows-1, cols-1) is cleared
        {"last column", 3, {1, 2, 3, 5, 6, 7, 9, 10, 11}},
    };
    for (const Case& c : columns) {
        // 3 x 4 matrix 1..12; compare the first 3 columns and element (2,3)
        double A[12];
        int I[12];
        for (int i = 0; i < 12; ++i) {
            A[i] = i + 1;
            I[i] = i + 1;
        }
        delete_column(A, 4, c.k, 3, 4);
        delete_int_column(I, 4, c.k, 3, 4);
        for (int r = 0; r < 3; ++r)
            for (int col = 0; col < 3; ++col) {
                EXPECT_EQ(A[r * 4 + col], c.expected[r * 3 + col]) << c.name << " " << r << "," << col;
                EXPECT_EQ(I[r * 4 + col], static_cast<int>(c.expected[r * 3 + col])) << c.name;
            }
        EXPECT_EQ(A[11], 0.0) << c.name;
        EXPECT_EQ(I[11], 0) << c.name;
        if (c.k < 3) {
            EXPECT_EQ(A[3], 4.0) << c.name << ": rows above the last keep their old last column";
            EXPECT_EQ(A[7], 8.0) << c.name;
        }
    }

    double R[6] = {1, 2, 3, 4, 5, 6};  // 3 x 2
    delete_row(R, 2, 0, 3);
    const double rows[6] = {3, 4, 5, 6, 5, 6};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(R[i], rows[i]) << i;
}

TEST(Misc, FactorialTruncatesItsArgument)
{
    const struct {
        double x;
        double expected;
    } cases[] = {{-3.0, 1.0}, {0.0, 1.0}, {1.9, 1.0}, {2.0, 2.0}, {5.7, 120.0}, {10.0, 3628800.0}, {20.0, 2432902008176640000.0}};
    for (const auto& c : cases) EXPECT_EQ(factorial(c.x), c.expected) << c.x;
    EXPECT_NEAR(factorial(170.0) / std::exp(std::lgamma(171.0)), 1.0, 1e-9);
}

TEST(Misc, SortIndexOrdersByValue)
{
    const double values[] = {3.5, -1.0, 2.0, -99.0, 7.25, 2.0};
    int index[] = {0, 1, 2, 3, 4, 5};
    sort_index(6, values, index);
    for (int i = 1; i < 6; ++i) EXPECT_LE(values[index[i - 1]], values[index[i]]) << i;
    EXPECT_EQ(index[0], 3);
    EXPECT_EQ(index[1], 1);
    EXPECT_EQ(index[4], 0);
    EXPECT_EQ(index[5], 4);

    // the index may start in any order and may be a subset of the values
    int partial[] = {4, 0, 1};
    sort_index(3, values, partial);
    EXPECT_EQ(partial[0], 1);
    EXPECT_EQ(partial[1], 0);
    EXPECT_EQ(partial[2], 4);
}

}  // namespace
