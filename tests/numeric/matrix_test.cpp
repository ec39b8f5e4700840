// Products, element-wise routines, copies, deletions and sorting. (The strided
// products are passed through by the hypothesis reports.)
#include <gtest/gtest.h>

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

// The product element accumulated term by term in ascending inner order,
// starting from `start`; the routines promise exactly this order.
double reference_element(int i, int j, int k, const double* A, int lda, bool transA, const double* B, int ldb,
                         bool transB, Mode mode, double start)
{
    double s = mode == Mode::Set ? 0.0 : start;
    for (int l = 0; l < k; ++l) {
        const double a = transA ? A[l * lda + i] : A[i * lda + l];
        const double b = transB ? B[j * ldb + l] : B[l * ldb + j];
        s = mode == Mode::Sub ? s - a * b : s + a * b;
    }
    return s;
}

const int kShapes[][3] = {{1, 1, 1}, {3, 5, 7}, {5, 0, 3}, {2, 13, 11}};

TEST(Products, DenseFormsMatchTermByTermReference)
{
    using Product = void (*)(int, int, int, const double*, const double*, double*);
    const struct { const char* name; Product fn; bool transA, transB; Mode mode; } cases[] = {
        {"nn", matmul_nn, false, false, Mode::Set},         {"tn", matmul_tn, true, false, Mode::Set},
        {"nt", matmul_nt, false, true, Mode::Set},          {"nn_add", matmul_nn_add, false, false, Mode::Add},
        {"tn_add", matmul_tn_add, true, false, Mode::Add},  {"nt_add", matmul_nt_add, false, true, Mode::Add},
        {"nn_sub", matmul_nn_sub, false, false, Mode::Sub}, {"tn_sub", matmul_tn_sub, true, false, Mode::Sub},
        {"nt_sub", matmul_nt_sub, false, true, Mode::Sub},
    };
    std::mt19937 rng(7);
    for (const auto& c : cases)
        for (const auto& s : kShapes) {
            const int m = s[0], k = s[1], n = s[2];
            SCOPED_TRACE(std::string(c.name) + " m=" + std::to_string(m) + " k=" + std::to_string(k));
            std::vector<double> A = random_matrix(m, k, rng), B = random_matrix(k, n, rng), C = random_matrix(m, n, rng);
            const std::vector<double> C0 = C;
            c.fn(m, k, n, A.data(), B.data(), C.data());
            const int lda = c.transA ? m : k, ldb = c.transB ? k : n;
            for (int i = 0; i < m * n; ++i)
                EXPECT_EQ(C[i], reference_element(i / n, i % n, k, A.data(), lda, c.transA, B.data(), ldb, c.transB,
                                                  c.mode, C0[i])) << i;
        }
}

using Vec = std::vector<double>;
const double kX[6] = {1, 2, 3, 4, 5, 6};         // 2 x 3, or 2 x 2 with stride 3
const double kY[6] = {10, 20, 30, 40, 50, 60};
const double kXt[6] = {1, 4, 2, 5, 3, 6};        // 3 x 2, the transpose of kX

Vec counting(int n) { Vec v(n); for (int i = 0; i < n; ++i) v[i] = i; return v; }

TEST(ElementWise, RoutinesOnSmallArrays)
{
    const struct { const char* name; Vec expected; Vec (*run)(); } cases[] = {
        {"matadd", {11, 22, 33, 44, 55, 66}, [] { Vec z(6); matadd(2, 3, kX, kY, z.data()); return z; }},
        {"matsub", {-9, -18, -27, -36, -45, -54}, [] { Vec z(6); matsub(2, 3, kX, kY, z.data()); return z; }},
        {"matadd_t op 1", {2, 4, 6, 8, 10, 12}, [] { Vec z(6); matadd_t(1, 2, 3, kX, kXt, z.data()); return z; }},
        {"matadd_t op 0", {0, 0, 0, 0, 0, 0}, [] { Vec z(6, 9); matadd_t(0, 2, 3, kX, kXt, z.data()); return z; }},
        {"mat_scale_copy", {-2, -4, -6, -8, -10, -12}, [] { Vec z(6); mat_scale_copy(2, 3, kX, z.data(), -2.0); return z; }},
        // 2 x 2 with stride 3: the third column is padding left alone
        {"matadd_ld, mat_scale", {5.5, 11, -1, 22, 27.5, -1},
         [] { Vec z = {0, 0, -1, 0, 0, -1}; matadd_ld(2, 2, kX, kY, z.data(), 3, 3, 3); mat_scale(2, 2, z.data(), 0.5, 3); return z; }},
        {"mat_trace", {60}, [] { return Vec{mat_trace(2, kY, 3)}; }},
        {"kronecker", {1, -1, 2, -2, 3, -3, 4, -4},
         [] { const double A[4] = {1, 2, 3, 4}, B[2] = {1, -1}; Vec z(8); kronecker(2, 2, 1, 2, A, B, z.data(), 2, 2, 4); return z; }},
        {"block_get", {6, 7, 8, 9, 10, 11}, [] { Vec a = counting(18), z(6); block_get(2, 3, 1, a.data(), z.data()); return z; }},
        {"block_put", {11, 1, 2, 3, 4, 5, 6}, [] { Vec a = counting(18); block_put(2, 3, 2, a.data(), kX); return Vec(a.begin() + 11, a.end()); }},
        {"block_put_ld", {1, 2, 4, 5, 4}, [] { Vec a = counting(18); block_put_ld(2, 2, 0, a.data(), kX, 3); return Vec(a.begin(), a.begin() + 5); }},
        {"row_get", {8, 9}, [] { Vec a = counting(18), z(2); row_get(2, 2, a.data(), z.data(), 4); return z; }},
        {"row_put", {4, 1, 2, 7}, [] { Vec a = counting(18); row_put(2, 1, a.data(), kX, 5); return Vec(a.begin() + 4, a.begin() + 8); }},
        // 2 x 3 dense; the middle column goes and (1, 2) is cleared
        {"delete_column", {1, 3, 3, 4, 6, 0}, [] { Vec a(kX, kX + 6); delete_column(a.data(), 3, 1, 2, 3); return a; }},
        {"delete_column last", {1, 2, 3, 4, 5, 0}, [] { Vec a(kX, kX + 6); delete_column(a.data(), 3, 2, 2, 3); return a; }},
        {"delete_int_column", {2, 3, 3, 5, 6, 0},
         [] { int a[6] = {1, 2, 3, 4, 5, 6}; delete_int_column(a, 3, 0, 2, 3); return Vec(a, a + 6); }},
        // 3 x 2: rows move up, the last keeps its content
        {"delete_row", {3, 4, 5, 6, 5, 6}, [] { Vec a(kX, kX + 6); delete_row(a.data(), 2, 0, 3); return a; }},
    };
    for (const auto& c : cases) EXPECT_EQ(c.run(), c.expected) << c.name;
}

TEST(Misc, FactorialTruncatesItsArgument)
{
    const struct { double x, expected; } cases[] = {{-3.0, 1.0}, {1.9, 1.0}, {5.7, 120.0}, {20.0, 2432902008176640000.0}};
    for (const auto& c : cases) EXPECT_EQ(factorial(c.x), c.expected) << c.x;
}

TEST(Misc, SortIndexOrdersASubsetByValue)
{
    const double values[] = {3.5, -1.0, 2.0, -99.0, 7.25, 2.0};
    int index[] = {0, 1, 2, 3, 4, 5};
    sort_index(6, values, index);
    for (int i = 1; i < 6; ++i) EXPECT_LE(values[index[i - 1]], values[index[i]]) << i;
    EXPECT_EQ(index[0], 3);
    EXPECT_EQ(index[5], 4);
    int partial[] = {4, 0, 1};  // any starting order, a subset of the values
    sort_index(3, values, partial);
    EXPECT_EQ(std::vector<int>(partial, partial + 3), (std::vector<int>{1, 0, 4}));
}

}  // namespace
