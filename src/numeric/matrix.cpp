// Dense matrix products, element-wise operations, copies and deletions on
// row-ordered double arrays.
#include <cstring>

#include "numeric/kernels.h"
#include "numeric/numeric.h"

using namespace numeric_detail;

namespace {

enum class Accumulate { Set, Add, Sub };

// C = / += / -= A B; row i of C is built as a sum of scaled rows of B, so every
// element still gains its terms in ascending inner order.
void product_nn(Accumulate how, int m, int k, int n, const double* A, const double* B,
                double* C, int lda, int ldb, int ldc)
{
    for (int i = 0; i < m; ++i) {
        double* c = C + static_cast<long>(i) * ldc;
        const double* a = A + static_cast<long>(i) * lda;
        if (how == Accumulate::Set) zero(n, c);
        for (int l = 0; l < k; ++l) {
            const double* b = B + static_cast<long>(l) * ldb;
            if (how == Accumulate::Sub)
                axmy(n, a[l], b, c);
            else
                axpy(n, a[l], b, c);
        }
    }
}

// C = / += / -= A' B with A k x m.
void product_tn(Accumulate how, int m, int k, int n, const double* A, const double* B,
                double* C, int lda, int ldb, int ldc)
{
    for (int i = 0; i < m; ++i) {
        double* c = C + static_cast<long>(i) * ldc;
        if (how == Accumulate::Set) zero(n, c);
        for (int l = 0; l < k; ++l) {
            const double a = A[static_cast<long>(l) * lda + i];
            const double* b = B + static_cast<long>(l) * ldb;
            if (how == Accumulate::Sub)
                axmy(n, a, b, c);
            else
                axpy(n, a, b, c);
        }
    }
}

// C = / += / -= A B' with B n x k: each element is a dot product of two rows.
void product_nt(Accumulate how, int m, int k, int n, const double* A, const double* B,
                double* C, int lda, int ldb, int ldc)
{
    for (int i = 0; i < m; ++i) {
        const double* a = A + static_cast<long>(i) * lda;
        double* c = C + static_cast<long>(i) * ldc;
        for (int j = 0; j < n; ++j) {
            const double* b = B + static_cast<long>(j) * ldb;
            switch (how) {
            case Accumulate::Set: c[j] = dot_from(0.0, k, a, b); break;
            case Accumulate::Add: c[j] = dot_from(c[j], k, a, b); break;
            case Accumulate::Sub: c[j] = dot_sub_from(c[j], k, a, b); break;
            }
        }
    }
}

}  // namespace

void matmul_nn(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_nn(Accumulate::Set, m, k, n, A, B, C, k, n, n);
}

void matmul_tn(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_tn(Accumulate::Set, m, k, n, A, B, C, m, n, n);
}

void matmul_nt(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_nt(Accumulate::Set, m, k, n, A, B, C, k, k, n);
}

void matmul_nn_add(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_nn(Accumulate::Add, m, k, n, A, B, C, k, n, n);
}

void matmul_tn_add(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_tn(Accumulate::Add, m, k, n, A, B, C, m, n, n);
}

void matmul_nt_add(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_nt(Accumulate::Add, m, k, n, A, B, C, k, k, n);
}

void matmul_nn_sub(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_nn(Accumulate::Sub, m, k, n, A, B, C, k, n, n);
}

void matmul_tn_sub(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_tn(Accumulate::Sub, m, k, n, A, B, C, m, n, n);
}

void matmul_nt_sub(int m, int k, int n, const double* A, const double* B, double* C)
{
    product_nt(Accumulate::Sub, m, k, n, A, B, C, k, k, n);
}

void matmul_ld_nn(int m, int k, int n, const double* A, const double* B, double* C,
                  int lda, int ldb, int ldc)
{
    product_nn(Accumulate::Set, m, k, n, A, B, C, lda, ldb, ldc);
}

void matmul_ld_tn(int m, int k, int n, const double* A, const double* B, double* C,
                  int lda, int ldb, int ldc)
{
    product_tn(Accumulate::Set, m, k, n, A, B, C, lda, ldb, ldc);
}

void matmul_ld_nt(int m, int k, int n, const double* A, const double* B, double* C,
                  int lda, int ldb, int ldc)
{
    product_nt(Accumulate::Set, m, k, n, A, B, C, lda, ldb, ldc);
}

void matadd(int m, int n, const double* X, const double* Y, double* Z)
{
    const long total = static_cast<long>(m) * n;
    for (long i = 0; i < total; ++i) Z[i] = X[i] + Y[i];
}

void matsub(int m, int n, const double* X, const double* Y, double* Z)
{
    const long total = static_cast<long>(m) * n;
    for (long i = 0; i < total; ++i) Z[i] = X[i] - Y[i];
}

void matadd_ld(int m, int n, const double* A, const double* B, double* C,
               int lda, int ldb, int ldc)
{
    for (int i = 0; i < m; ++i) {
        const double* a = A + static_cast<long>(i) * lda;
        const double* b = B + static_cast<long>(i) * ldb;
        double* c = C + static_cast<long>(i) * ldc;
        for (int j = 0; j < n; ++j) c[j] = a[j] + b[j];
    }
}

void matadd_t(int op, int m, int n, const double* A, const double* B, double* C)
{
    for (int i = 0; i < m; ++i) {
        const double* a = A + static_cast<long>(i) * n;
        double* c = C + static_cast<long>(i) * n;
        if (op == 1) {
            for (int j = 0; j < n; ++j) c[j] = a[j] + B[static_cast<long>(j) * m + i];
        } else {
            for (int j = 0; j < n; ++j) c[j] = a[j] - B[static_cast<long>(j) * m + i];
        }
    }
}

void kronecker(int ma, int na, int mb, int nb, const double* A, const double* B, double* C,
               int lda, int ldb, int ldc)
{
    for (int i = 0; i < ma; ++i) {
        for (int p = 0; p < mb; ++p) {
            const double* b = B + static_cast<long>(p) * ldb;
            double* c = C + (static_cast<long>(i) * mb + p) * ldc;
            for (int j = 0; j < na; ++j) {
                const double a = A[static_cast<long>(i) * lda + j];
                double* cb = c + static_cast<long>(j) * nb;
                for (int q = 0; q < nb; ++q) cb[q] = a * b[q];
            }
        }
    }
}

void mat_zero(double* A, int m, int n)
{
    const long total = static_cast<long>(m) * n;
    for (long i = 0; i < total; ++i) A[i] = 0.0;
}

void mat_scale(int m, int n, double* A, double s, int lda)
{
    for (int i = 0; i < m; ++i) {
        double* a = A + static_cast<long>(i) * lda;
        for (int j = 0; j < n; ++j) a[j] *= s;
    }
}

void mat_scale_copy(int m, int n, const double* A, double* B, double s)
{
    const long total = static_cast<long>(m) * n;
    for (long i = 0; i < total; ++i) B[i] = s * A[i];
}

double mat_trace(int n, const double* A, int lda)
{
    double t = 0.0;
    for (int i = 0; i < n; ++i) t += A[static_cast<long>(i) * lda + i];
    return t;
}

void block_get(int r, int c, int k, const double* array, double* M)
{
    const long size = static_cast<long>(r) * c;
    if (size <= 0) return;
    std::memcpy(M, array + size * k, static_cast<std::size_t>(size) * sizeof(double));
}

void block_put(int r, int c, int k, double* array, const double* M)
{
    const long size = static_cast<long>(r) * c;
    if (size <= 0) return;
    std::memcpy(array + size * k, M, static_cast<std::size_t>(size) * sizeof(double));
}

void block_put_ld(int r, int c, int k, double* array, const double* M, int ldm)
{
    if (r <= 0 || c <= 0) return;
    double* block = array + static_cast<long>(r) * c * k;
    for (int i = 0; i < r; ++i)
        std::memcpy(block + static_cast<long>(i) * c, M + static_cast<long>(i) * ldm,
                    static_cast<std::size_t>(c) * sizeof(double));
}

void row_get(int n, int k, const double* array, double* v, int ld)
{
    if (n <= 0) return;
    std::memcpy(v, array + static_cast<long>(k) * ld, static_cast<std::size_t>(n) * sizeof(double));
}

void row_put(int n, int k, double* array, const double* v, int ld)
{
    if (n <= 0) return;
    std::memcpy(array + static_cast<long>(k) * ld, v, static_cast<std::size_t>(n) * sizeof(double));
}

void delete_row(double* A, int ld, int k, int rows)
{
    if (ld <= 0) return;
    for (int r = k + 1; r < rows; ++r)
        std::memcpy(A + static_cast<long>(r - 1) * ld, A + static_cast<long>(r) * ld,
                    static_cast<std::size_t>(ld) * sizeof(double));
}

void delete_column(double* A, int ld, int k, int rows, int cols)
{
    for (int r = 0; r < rows; ++r) {
        double* a = A + static_cast<long>(r) * ld;
        for (int c = k + 1; c < cols; ++c) a[c - 1] = a[c];
    }
    if (rows > 0 && cols > 0) A[static_cast<long>(rows - 1) * ld + cols - 1] = 0.0;
}

void delete_int_column(int* A, int ld, int k, int rows, int cols)
{
    for (int r = 0; r < rows; ++r) {
        int* a = A + static_cast<long>(r) * ld;
        for (int c = k + 1; c < cols; ++c) a[c - 1] = a[c];
    }
    if (rows > 0 && cols > 0) A[static_cast<long>(rows - 1) * ld + cols - 1] = 0;
}

double factorial(double x)
{
    // Beyond 170! the product overflows to infinity anyway; the cap keeps the
    // loop short for absurd arguments.
    if (!(x >= 2.0)) return 1.0;
    const long n = x > 200.0 ? 200 : static_cast<long>(x);
    double f = 1.0;
    for (long i = 2; i <= n; ++i) f *= static_cast<double>(i);
    return f;
}

void sort_index(int n, const double* values, int* index)
{
    for (int p = 0; p < n; ++p) {
        for (int q = p + 1; q < n; ++q) {
            if (values[index[q]] < values[index[p]]) {
                const int t = index[p];
                index[p] = index[q];
                index[q] = t;
            }
        }
    }
}
