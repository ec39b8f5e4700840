// Products (known results, not a re-typed product), element-wise routines, copies, deletions and sorting. (The strided
// products are passed through by the hypothesis reports.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "numeric/numeric.h"

namespace {

using Vec = std::vector<double>;
const double kX[6] = {1, 2, 3, 4, 5, 6};         // 2 x 3, or 2 x 2 with stride 3
const double kY[6] = {10, 20, 30, 40, 50, 60};
const double kXt[6] = {1, 4, 2, 5, 3, 6};        // 3 x 2, the transpose of kX

Vec counting(int n) { Vec v(n); for (int i = 0; i < n; ++i) v[i] = i; return v; }

TEST(SmallArrays, ProductsAndElementWiseRoutinesGiveKnownResults)
{
    const struct { const char* name; Vec expected; Vec (*run)(); } cases[] = {
        // X X' = (14 32; 32 77) and X'X; the _add forms start from 1, the _sub forms from 0
        {"matmul_nn", {14, 32, 32, 77}, [] { Vec z(4, 9); matmul_nn(2, 3, 2, kX, kXt, z.data()); return z; }},
        {"matmul_nn_add", {15, 33, 33, 78}, [] { Vec z(4, 1); matmul_nn_add(2, 3, 2, kX, kXt, z.data()); return z; }},
        {"matmul_nn_sub", {-14, -32, -32, -77}, [] { Vec z(4, 0); matmul_nn_sub(2, 3, 2, kX, kXt, z.data()); return z; }},
        {"matmul_nt", {14, 32, 32, 77}, [] { Vec z(4, 9); matmul_nt(2, 3, 2, kX, kX, z.data()); return z; }},
        {"matmul_nt_add", {15, 33, 33, 78}, [] { Vec z(4, 1); matmul_nt_add(2, 3, 2, kX, kX, z.data()); return z; }},
        {"matmul_nt_sub", {-14, -32, -32, -77}, [] { Vec z(4, 0); matmul_nt_sub(2, 3, 2, kX, kX, z.data()); return z; }},
        {"matmul_tn", {17, 22, 27, 22, 29, 36, 27, 36, 45}, [] { Vec z(9, 9); matmul_tn(3, 2, 3, kX, kX, z.data()); return z; }},
        {"matmul_tn_add", {18, 23, 28, 23, 30, 37, 28, 37, 46}, [] { Vec z(9, 1); matmul_tn_add(3, 2, 3, kX, kX, z.data()); return z; }},
        {"matmul_tn_sub", {-17, -22, -27, -22, -29, -36, -27, -36, -45}, [] { Vec z(9, 0); matmul_tn_sub(3, 2, 3, kX, kX, z.data()); return z; }},
        {"matmul_nn, empty inner dimension", {0, 0, 0, 0}, [] { Vec z(4, 9); matmul_nn(2, 0, 2, kX, kXt, z.data()); return z; }},
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
