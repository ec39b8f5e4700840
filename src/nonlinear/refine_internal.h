// Small shared pieces of the refinements: the per-record log-likelihood of each
// family with its first two derivatives in the linear predictor, dense Cholesky
// helpers for the small matrices, and the unit mode search.
#pragma once

#include <cmath>
#include <vector>

#include "nonlinear/refine.h"

namespace refine_detail {

/// Log-likelihood of one record without its data constant, and its first two
/// derivatives in eta; count is the trials or exposure (1 without one).
inline void record_loglik(RefineFamily family, double eta, double y, double count, double* l, double* l1,
                          double* l2)
{
    if (family == RefineFamily::Poisson) {
        const double mu = count * std::exp(eta);
        *l = y * eta - mu;
        *l1 = y - mu;
        *l2 = -mu;
        return;
    }
    // Logistic: softplus(eta) = ln(1 + e^eta) without overflow.
    const double e = std::exp(-std::fabs(eta));
    const double softplus = (eta > 0.0 ? eta : 0.0) + std::log1p(e);
    const double mu = eta >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
    *l = y * eta - count * softplus;
    *l1 = y - count * mu;
    *l2 = -count * mu * (1.0 - mu);
}

/// Third derivative in eta of one record's log-likelihood (count as in record_loglik).
inline double record_l3(RefineFamily family, double eta, double count)
{
    if (family == RefineFamily::Poisson) return -count * std::exp(eta);
    const double mu = 1.0 / (1.0 + std::exp(-eta));
    return -count * (1.0 - 2.0 * mu) * mu * (1.0 - mu);
}

/// Derivative factors of the logistic log-likelihood at eta: dk[0] = w, dk[k-2] = d_k
/// (the k-th derivative is -d_k), k = 3 .. 9.
inline void derivative_factors(double eta, double* dk)
{
    const double mu = 1.0 / (1.0 + std::exp(-eta));
    const double w = mu * (1.0 - mu);
    const double c = 1.0 - 12.0 * w;
    const double d3 = (1.0 - 2.0 * mu) * w, d4 = (1.0 - 6.0 * w) * w;
    const double d5 = c * d3, d6 = c * d4 - 12.0 * d3 * d3;
    const double d7 = c * d5 - 36.0 * d3 * d4;
    const double d8 = c * d6 - 48.0 * d3 * d5 - 36.0 * d4 * d4;
    const double d9 = c * d7 - 60.0 * d3 * d6 - 120.0 * d4 * d5;
    dk[0] = w, dk[1] = d3, dk[2] = d4, dk[3] = d5, dk[4] = d6, dk[5] = d7, dk[6] = d8, dk[7] = d9;
}

/// Lower Cholesky factor Lc of the n x n matrix A (both dense, row order); false
/// when A is not positive definite.
bool cholesky(int n, const double* A, double* Lc);
/// Solves (Lc Lc') x = b in place.
void cholesky_solve(int n, const double* Lc, double* b);
/// Inverse of Lc Lc' into Ainv (dense n x n).
void cholesky_inverse(int n, const double* Lc, double* Ainv);
/// Inverse of the lower triangular Lc into Linv (lower triangular, dense).
void lower_inverse(int n, const double* Lc, double* Linv);

/// Work space of one unit's computations; one per thread when the units are shared out.
struct UnitWork {
    std::vector<double> xg;  ///< x'gamma per record
    std::vector<double> eta, l1, l2, acc;
    std::vector<double> q1, q2, q3, q4;  ///< small q-sized and q x q scratch
};
/// Sizes w for units of at most nmax records and q random effects.
void unit_work_size(UnitWork& w, long nmax, int q);
/// Largest unit size of d.
long max_unit_records(const RefineData& d);

/// Posterior mode b (in: start, out: mode) of unit j by at most maxSteps Newton steps with
/// step halving, given x'gamma in w.xg and Tau^{-1}; C gets the precision Z'WZ + Tau^{-1}
/// at the final b and *h the log posterior (without the normal constant). Returns false
/// when the precision cannot be factored.
bool unit_mode(const RefineData& d, long j, const double* tauInv, double* b, double* C, double* h,
               UnitWork& w, int maxSteps = 200);
/// x'gamma of unit j's records into w.xg.
void unit_fixed_part(const RefineData& d, long j, const double* gamma, UnitWork& w);

}  // namespace refine_detail
