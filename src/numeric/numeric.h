// Numerical library: dense matrix routines on row-ordered double arrays,
// probability functions and Gauss-Hermite rules. Matrices are row order,
// element (i, j) at i*ld + j; ld is the column count unless passed.
// None of these routines prints, except gauher's non-convergence message.
#pragma once

#include <cstdio>

// ---- Products ---------------------------------------------------------------
// C is m x n, inner dimension k; every element is summed in ascending inner order.

/// C = A B; A is m x k, B is k x n.
void matmul_nn(int m, int k, int n, const double* A, const double* B, double* C);
/// C = A' B; A is k x m, B is k x n.
void matmul_tn(int m, int k, int n, const double* A, const double* B, double* C);
/// C = A B'; A is m x k, B is n x k.
void matmul_nt(int m, int k, int n, const double* A, const double* B, double* C);
/// C = C + A B.
void matmul_nn_add(int m, int k, int n, const double* A, const double* B, double* C);
/// C = C + A' B.
void matmul_tn_add(int m, int k, int n, const double* A, const double* B, double* C);
/// C = C + A B'.
void matmul_nt_add(int m, int k, int n, const double* A, const double* B, double* C);
/// C = C - A B.
void matmul_nn_sub(int m, int k, int n, const double* A, const double* B, double* C);
/// C = C - A' B.
void matmul_tn_sub(int m, int k, int n, const double* A, const double* B, double* C);
/// C = C - A B'.
void matmul_nt_sub(int m, int k, int n, const double* A, const double* B, double* C);
/// C = A B with row strides lda, ldb, ldc.
void matmul_ld_nn(int m, int k, int n, const double* A, const double* B, double* C,
                  int lda, int ldb, int ldc);
/// C = A' B with row strides; A is k x m.
void matmul_ld_tn(int m, int k, int n, const double* A, const double* B, double* C,
                  int lda, int ldb, int ldc);
/// C = A B' with row strides; B is n x k.
void matmul_ld_nt(int m, int k, int n, const double* A, const double* B, double* C,
                  int lda, int ldb, int ldc);

// ---- Element-wise operations and copies -------------------------------------

/// Z = X + Y, all m x n dense.
void matadd(int m, int n, const double* X, const double* Y, double* Z);
/// Z = X - Y, all m x n dense.
void matsub(int m, int n, const double* X, const double* Y, double* Z);
/// C = A + B, m x n with row strides.
void matadd_ld(int m, int n, const double* A, const double* B, double* C,
               int lda, int ldb, int ldc);
/// C(i,j) = A(i,j) + B(j,i) when op is 1, else A(i,j) - B(j,i); A, C m x n, B n x m.
void matadd_t(int op, int m, int n, const double* A, const double* B, double* C);
/// C = A (x) B; A is ma x na, B is mb x nb, C is (ma*mb) x (na*nb); row strides given.
void kronecker(int ma, int na, int mb, int nb, const double* A, const double* B, double* C,
               int lda, int ldb, int ldc);
/// Sets m*n contiguous doubles to 0.
void mat_zero(double* A, int m, int n);
/// A = s A in place, m x n with row stride lda.
void mat_scale(int m, int n, double* A, double s, int lda);
/// B = s A over m*n contiguous doubles.
void mat_scale_copy(int m, int n, const double* A, double* B, double s);
/// Sum of the n diagonal elements of A (row stride lda).
double mat_trace(int n, const double* A, int lda);
/// Copies block k (r*c contiguous doubles at k*r*c) of a 3-D array out to M.
void block_get(int r, int c, int k, const double* array, double* M);
/// Copies the dense r x c matrix M into block k of a 3-D array.
void block_put(int r, int c, int k, double* array, const double* M);
/// Copies the r x c matrix M (row stride ldm) into block k of a 3-D array.
void block_put_ld(int r, int c, int k, double* array, const double* M, int ldm);
/// Copies row k (n doubles at k*ld) of array out to v.
void row_get(int n, int k, const double* array, double* v, int ld);
/// Copies v into row k (n doubles at k*ld) of array.
void row_put(int n, int k, double* array, const double* v, int ld);
/// Moves rows k+1 .. rows-1 up by one; the last row keeps its old content.
void delete_row(double* A, int ld, int k, int rows);
/// Moves columns k+1 .. cols-1 left by one in each row, then zeroes (rows-1, cols-1).
void delete_column(double* A, int ld, int k, int rows, int cols);
/// delete_column on an int matrix.
void delete_int_column(int* A, int ld, int k, int rows, int cols);
/// 1*2*...*n for n = x truncated (1 when n < 2), as a double.
double factorial(double x);
/// Reorders index[0..n-1] so that values[index[.]] ascends (exchange sort, not stable).
void sort_index(int n, const double* values, int* index);

// ---- Decomposition and tests -------------------------------------------------

/// Inverts symmetric A by bordering; Ainv gets the full inverse; work (at least
/// max(3, n(n+1)/2)) ends with determinant, log-determinant and non-positive-pivot
/// flag in work[0..2]. Returns 0, 1 when singular, 2 when the determinant is negative.
int sym_inverse(int n, const double* A, double* Ainv, double* work, int lda, int ldinv);
/// det(A) by elimination with partial pivoting on a copy in work (n*n doubles).
double determinant(int n, const double* A, double* work, int lda);
/// Positive-definiteness test (with the eigenvalue test when eigen is nonzero);
/// 0 passes, 1 fails; *cond (when given) gets the condition figure or BIG.
int pd_check(int eigen, int n, const double* A, double* cond, int lda);
/// 1 when some diagonal element of A is below 0.
int negative_diagonal(int n, const double* A, int lda);
/// 1 when some off-diagonal element reaches the correlation bound (or a
/// product of diagonal elements is 0).
int correlation_bound(int n, const double* A, int lda);
/// Aitken-type extrapolation of the n x n estimate T from its predecessors P, P2;
/// *ratio enters as the sigma-squared ratio (or 0) and leaves as the mean ratio.
/// Returns 1 when T was extrapolated.
int accelerate_tau(int n, double* ratio, double* T, const double* P, const double* P2);

// ---- Probability functions and quadrature -----------------------------------

/// Mode 1: upper-tail chi-square probability of x on df; else two-sided normal p of x.
double tail_probability(double x, long df, int mode);
/// Two-sided p-value of t on n degrees of freedom (Fisher's expansion, unclamped).
double t_two_sided_p(double t, long n);
/// Grid value in [1.960, 2.209] whose two-sided t p-value is nearest 0.05.
double t_critical_95(long n);
/// Gauss-Hermite nodes x (descending) and weights w for n points; returns 1, or 0
/// after writing "Too many iterations in gauher!" to report (stdout when null).
int gauher(double* x, double* w, int n, FILE* report);
/// gauher's nodes in x and the normal-kernel weights w_k exp(x_k^2)/sqrt(pi) in w;
/// returns 1, or 0 when gauher failed.
int hermite_rule(double* x, double* w, int n, FILE* report);
/// ln Gamma(x) for x > 0.
double log_gamma(double x);
/// Standard normal deviate with lower-tail probability p; *fault 1 (result 0) when
/// min(p, 1-p) < 1e-20.
double normal_quantile(double p, int* fault);
/// Approximate chi-square quantile of p on v df, g = ln Gamma(v/2); *fault 1 and
/// -1.0 when p is outside [2e-6, 0.999998].
double chi_square_quantile(double p, double v, double g, int* fault);
/// Chi-square quantile on r df of the plotting position of unit j in order[0..J-1];
/// -99 on a fault, 0 when j is not in the order.
double expected_chi_square_quantile(int j, int r, int J, const int* order);
