// Symmetric inversion with determinants, the determinant by elimination,
// the positive-definiteness test and the EM extrapolation step.
#include <cmath>
#include <vector>

#include "app/base.h"
#include "numeric/numeric.h"

namespace {

// Position of element (i, j), j <= i, in the packed lower triangle.
inline long packed(long i, long j)
{
    return i * (i + 1) / 2 + j;
}

// Single-precision machine epsilon: the QL sweeps treat an off-diagonal
// element as zero relative to its neighbours at this level.
constexpr double QL_TOLERANCE = 1.19209289e-07;

// Reduces the symmetric n x n matrix a (row stride n, destroyed) to tridiagonal
// form by Householder reflections; d gets the diagonal, e the sub-diagonal in
// e[0..n-2] with e[n-1] = 0.
void tridiagonalise(int n, double* a, double* d, double* e)
{
    auto at = [n, a](int i, int j) -> double& { return a[static_cast<long>(i) * n + j]; };
    for (int i = n - 1; i >= 1; --i) {
        const int l = i - 1;
        double h = 0.0;
        if (l > 0) {
            double scale = 0.0;
            for (int k = 0; k <= l; ++k) scale += std::fabs(at(i, k));
            if (scale == 0.0) {
                e[i] = at(i, l);
            } else {
                for (int k = 0; k <= l; ++k) {
                    at(i, k) /= scale;
                    h += at(i, k) * at(i, k);
                }
                double f = at(i, l);
                double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
                e[i] = scale * g;
                h -= f * g;
                at(i, l) = f - g;
                f = 0.0;
                for (int j = 0; j <= l; ++j) {
                    g = 0.0;
                    for (int k = 0; k <= j; ++k) g += at(j, k) * at(i, k);
                    for (int k = j + 1; k <= l; ++k) g += at(k, j) * at(i, k);
                    e[j] = g / h;
                    f += e[j] * at(i, j);
                }
                const double hh = f / (h + h);
                for (int j = 0; j <= l; ++j) {
                    f = at(i, j);
                    g = e[j] - hh * f;
                    e[j] = g;
                    for (int k = 0; k <= j; ++k) at(j, k) -= f * e[k] + g * at(i, k);
                }
            }
        } else {
            e[i] = at(i, l);
        }
        d[i] = h;
    }
    for (int i = 0; i < n; ++i) d[i] = at(i, i);
    for (int i = 1; i < n; ++i) e[i - 1] = e[i];
    e[n - 1] = 0.0;
}

// Diagonalises the tridiagonal (d, e) by implicit shifted QL sweeps; d ends
// holding the eigenvalues. Returns false when more than `limit` sweeps in all
// would be needed.
bool ql_eigenvalues(int n, double* d, double* e, int limit)
{
    int sweeps = 0;
    for (int l = 0; l < n; ++l) {
        int m;
        do {
            for (m = l; m < n - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) <= QL_TOLERANCE * dd) break;
            }
            if (m != l) {
                if (++sweeps > limit) return false;
                double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
                double r = std::hypot(g, 1.0);
                g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? std::fabs(r) : -std::fabs(r)));
                double s = 1.0, c = 1.0, p = 0.0;
                int i;
                for (i = m - 1; i >= l; --i) {
                    double f = s * e[i];
                    const double b = c * e[i];
                    r = std::hypot(f, g);
                    e[i + 1] = r;
                    if (r == 0.0) {
                        d[i + 1] -= p;
                        e[m] = 0.0;
                        break;
                    }
                    s = f / r;
                    c = g / r;
                    g = d[i + 1] - p;
                    r = (d[i] - g) * s + 2.0 * c * b;
                    p = s * r;
                    d[i + 1] = g + p;
                    g = c * r - b;
                }
                if (r == 0.0 && i >= l) continue;
                d[l] -= p;
                e[l] = g;
                e[m] = 0.0;
            }
        } while (m != l);
    }
    return true;
}

// The eigenvalue part of pd_check: 0 passes, 1 fails.
int eigen_test(int n, const double* A, double* cond, int lda)
{
    if (n == 1) {
        if (cond) *cond = A[0];
        return A[0] > 1e-35 ? 0 : 1;
    }
    const long nn = static_cast<long>(n) * n;
    std::vector<double> space(static_cast<std::size_t>(nn + 2L * n));
    double* a = space.data();
    double* d = a + nn;
    double* e = d + n;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) a[static_cast<long>(i) * n + j] = A[static_cast<long>(i) * lda + j];
    tridiagonalise(n, a, d, e);
    const int limit = nn > 50 ? static_cast<int>(nn) : 50;
    if (!ql_eigenvalues(n, d, e, limit)) return 1;

    const double floor = 1e-13 / n;
    int fail = 0;
    double lmax = MISSING_VALUE;
    double lmin = BIG;
    for (int i = 0; i < n; ++i) {
        if (d[i] <= floor) fail = 1;
        if (d[i] > lmax) lmax = d[i];
        if (d[i] < lmin) lmin = d[i];
    }
    if (cond) {
        if (lmin == 0.0) {
            *cond = BIG;
        } else {
            const double ratio = lmax / lmin;
            *cond = ratio >= 0.0 ? ratio : -ratio;
        }
    }
    return fail;
}

}  // namespace

int sym_inverse(int n, const double* A, double* Ainv, double* work, int lda, int ldinv)
{
    if (n <= 0) {
        work[0] = 1.0;
        work[1] = 0.0;
        work[2] = 0.0;
        return 0;
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) work[packed(i, j)] = A[static_cast<long>(i) * lda + j];
    std::vector<double> v(static_cast<std::size_t>(n));

    double logdet = 0.0;
    double flag = 0.0;
    double d = work[0];
    if (d != 0.0) {
        if (d > 0.0)
            logdet = std::log(d);
        else
            flag = 1.0;
        work[0] = 1.0 / d;
        for (int r = 1; r < n; ++r) {
            const double* arow = work + packed(r, 0);
            // v = -inv * a(r, 0..r-1), the inverse being the packed leading block
            for (int j = 0; j < r; ++j) {
                double s = 0.0;
                const double* invrow = work + packed(j, 0);
                for (int l = 0; l <= j; ++l) s += invrow[l] * arow[l];
                for (int l = j + 1; l < r; ++l) s += work[packed(l, j)] * arow[l];
                v[j] = -s;
            }
            double p = arow[r];
            for (int j = 0; j < r; ++j) p += v[j] * arow[j];
            d *= p;
            if (p == 0.0) break;
            if (p > 0.0)
                logdet += std::log(p);
            else
                flag = 1.0;
            // Row r of the new inverse, then the rank-one update of the old block;
            // row r is no longer needed once v is formed.
            double* out = work + packed(r, 0);
            out[r] = 1.0 / p;
            for (int j = 0; j < r; ++j) {
                const double vp = v[j] / p;
                out[j] = vp;
                for (int l = j; l < r; ++l) work[packed(l, j)] += vp * v[l];
            }
        }
    }
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            const double x = work[packed(i, j)];
            Ainv[static_cast<long>(i) * ldinv + j] = x;
            Ainv[static_cast<long>(j) * ldinv + i] = x;
        }
    }
    work[0] = d;
    work[1] = logdet;
    work[2] = flag;
    if (d == 0.0) return 1;
    if (d < 0.0) return 2;
    return 0;
}

double determinant(int n, const double* A, double* work, int lda)
{
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) work[static_cast<long>(i) * n + j] = A[static_cast<long>(i) * lda + j];
    auto at = [n, work](int i, int j) -> double& { return work[static_cast<long>(i) * n + j]; };
    double sign = 1.0;
    for (int c = 0; c < n - 1; ++c) {
        int pivot = c;
        double largest = std::fabs(at(c, c));
        for (int r = c + 1; r < n; ++r) {
            if (std::fabs(at(r, c)) > largest) {
                largest = std::fabs(at(r, c));
                pivot = r;
            }
        }
        if (pivot != c) {
            for (int j = c; j < n; ++j) {
                const double t = at(c, j);
                at(c, j) = at(pivot, j);
                at(pivot, j) = t;
            }
            sign = -sign;
        }
        for (int r = c + 1; r < n; ++r) {
            const double f = at(r, c) / at(c, c);
            for (int j = c + 1; j < n; ++j) at(r, j) -= f * at(c, j);
        }
    }
    double det = sign;
    for (int i = 0; i < n; ++i) det *= at(i, i);
    return det;
}

int negative_diagonal(int n, const double* A, int lda)
{
    for (int i = 0; i < n; ++i)
        if (A[static_cast<long>(i) * lda + i] < 0.0) return 1;
    return 0;
}

int correlation_bound(int n, const double* A, int lda)
{
    for (int i = 1; i < n; ++i) {
        const double aii = A[static_cast<long>(i) * lda + i];
        for (int j = 0; j < i; ++j) {
            const double prod = aii * A[static_cast<long>(j) * lda + j];
            if (prod == 0.0) return 1;
            if (std::fabs(A[static_cast<long>(i) * lda + j]) / std::sqrt(std::fabs(prod)) >= 1.0) return 1;
        }
    }
    return 0;
}

int pd_check(int eigen, int n, const double* A, double* cond, int lda)
{
    if (cond) *cond = BIG;
    if (negative_diagonal(n, A, lda)) return 1;
    if (correlation_bound(n, A, lda)) return 1;
    if (eigen && n > 0) return eigen_test(n, A, cond, lda);
    return 0;
}

int accelerate_tau(int n, double* ratio, double* T, const double* P, const double* P2)
{
    double s = *ratio;
    const int extra = s != 0.0 ? 1 : 0;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            const long ij = static_cast<long>(i) * n + j;
            s += (T[ij] - P[ij]) / (P[ij] - P2[ij]);
        }
    }
    const double r = s / (static_cast<double>(n) * (n + 1) / 2 + extra);
    *ratio = r;
    if (!(r > 0.01 && r <= 0.985)) return 0;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            const long ij = static_cast<long>(i) * n + j;
            const double x = P[ij] + (T[ij] - P[ij]) / (1.0 - r);
            T[ij] = x;
            T[static_cast<long>(j) * n + i] = x;
        }
    }
    return 1;
}
