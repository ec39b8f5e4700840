// Fisher scoring for the variance components of the linear model under full
// maximum likelihood: the information and score of the distinct Tau elements
// and sigma-squared, formed from the per-unit r x r records only.
#include <cmath>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "numeric/numeric.h"

namespace {

// Position of Tau element (a, b), b <= a, among the distinct elements.
inline int tau_index(int a, int b) {
    return a * (a + 1) / 2 + b;
}

}  // namespace

void fisher_unit_terms(int r, const double* A, const double* M, const double* tinvU, double nj, double rss,
                       double sigma2, double w, double* info, double* score, double* work) {
    const int m = r * (r + 1) / 2;
    const int np = m + 1;
    double* AM = work;               // A M
    double* G = AM + r * r;          // Z'V^-1 Z = (A - A M A) / sigma2
    double* IAM = G + r * r;         // I - A M
    double* H = IAM + r * r;         // Z'V^-2 Z = (I - A M) A (I - M A) / sigma2^2
    double* T1 = H + r * r;
    unit_mul(r, r, r, A, M, AM);
    double trMA = 0.0, trMAMA = 0.0;
    for (int i = 0; i < r; ++i) {
        trMA += AM[i * r + i];
        for (int k = 0; k < r; ++k) trMAMA += AM[i * r + k] * AM[k * r + i];
    }
    unit_mul(r, r, r, AM, A, G);
    const double s2 = sigma2, s4 = sigma2 * sigma2;
    for (int k = 0; k < r * r; ++k) G[k] = (A[k] - G[k]) / s2;
    for (int i = 0; i < r; ++i)
        for (int k = 0; k < r; ++k) IAM[i * r + k] = (i == k ? 1.0 : 0.0) - AM[i * r + k];
    unit_mul(r, r, r, IAM, A, T1);
    matmul_nt(r, r, r, T1, IAM, H);
    for (int k = 0; k < r * r; ++k) H[k] /= s4;

    const double trV1 = (nj - trMA) / s2;
    const double trV2 = (nj - 2.0 * trMA + trMAMA) / s4;

    for (int a = 0; a < r; ++a) {
        for (int b = 0; b <= a; ++b) {
            const int p = tau_index(a, b);
            const int ta[2][2] = {{a, b}, {b, a}};
            const int na = a == b ? 1 : 2;
            for (int c = 0; c < r; ++c) {
                for (int d = 0; d <= c; ++d) {
                    const int q = tau_index(c, d);
                    if (q > p) continue;
                    const int tc[2][2] = {{c, d}, {d, c}};
                    const int nc = c == d ? 1 : 2;
                    double t = 0.0;
                    for (int s = 0; s < na; ++s)
                        for (int u = 0; u < nc; ++u) {
                            const int x = ta[s][0], y = ta[s][1], z = tc[u][0], v = tc[u][1];
                            t += G[y * r + z] * G[v * r + x];
                        }
                    info[p * np + q] += 0.5 * w * t;
                    if (q != p) info[q * np + p] += 0.5 * w * t;
                }
            }
            const double trHE = a == b ? H[a * r + a] : 2.0 * H[a * r + b];
            info[p * np + m] += 0.5 * w * trHE;
            info[m * np + p] += 0.5 * w * trHE;
            const double trGE = a == b ? G[a * r + a] : 2.0 * G[a * r + b];
            const double quad = a == b ? tinvU[a] * tinvU[a] : 2.0 * tinvU[a] * tinvU[b];
            score[p] += -0.5 * w * (trGE - quad);
        }
    }
    info[m * np + m] += 0.5 * w * trV2;
    score[m] += -0.5 * w * (trV1 - rss / s4);
}

void fisher_information(LinearFit& fit, std::vector<double>& info, std::vector<double>& score) {
    const int r = fit.r, Fe = fit.Fe;
    const int m = r * (r + 1) / 2;
    const int np = m + 1;
    info.assign(static_cast<std::size_t>(np) * np, 0.0);
    score.assign(np, 0.0);
    if (r == 0) return;

    std::vector<double> A(r * r), B(Fe * r), P(r * r), Minv(r * r), M(r * r), zr(r), u(r), v(r);
    std::vector<double> work(std::max(3, r * (r + 1) / 2) + 3), tw(5 * r * r + 4), Bg(r), wg(Fe);
    for (int k = 0; k < r * r; ++k) P[k] = fit.sigma2 * fit.tauInv[k];
    const double* gam = fit.gammaE.data();
    store_rewind(fit.storeA);
    store_rewind(fit.storeB);
    for (long j = 0; j < fit.J; ++j) {
        if (!store_read_sym(fit.storeA, r, A.data(), work.data()) ||
            !store_read(fit.storeB, B.data(), static_cast<std::size_t>(Fe) * r))
            fatal_exit(4);
        for (int k = 0; k < r * r; ++k) Minv[k] = A[k] + P[k];
        if (sym_inverse(r, Minv.data(), M.data(), work.data(), r, r) != 0) continue;
        const double* xy = &fit.xyRandom[static_cast<std::size_t>(j) * r];
        unit_mul_tn(r, Fe, 1, B.data(), gam, Bg.data());
        for (int s = 0; s < r; ++s) zr[s] = xy[s] - Bg[s];
        unit_mul(r, r, 1, M.data(), zr.data(), u.data());
        unit_mul(r, r, 1, fit.tauInv.data(), u.data(), v.data());
        const double rss = [&] {
            const double* h = &fit.wxxw[static_cast<std::size_t>(j) * Fe * Fe];
            const double* g = &fit.wxy[static_cast<std::size_t>(j) * Fe];
            unit_mul(Fe, Fe, 1, h, gam, wg.data());
            double s = fit.yyUnit[j];
            for (int k = 0; k < Fe; ++k) s += gam[k] * (wg[k] - 2.0 * g[k]);
            for (int a = 0; a < r; ++a) {
                s += 2.0 * u[a] * (Bg[a] - xy[a]);
                for (int b = 0; b < r; ++b) s += u[a] * A[a * r + b] * u[b];
            }
            return s;
        }();
        fisher_unit_terms(r, A.data(), M.data(), v.data(), fit.n[j], rss, fit.sigma2, fit.unitWeight[j],
                          info.data(), score.data(), tw.data());
    }
}

bool variance_standard_errors(LinearFit& fit, const std::vector<double>& info) {
    const int r = fit.r;
    const int m = r * (r + 1) / 2;
    const int np = m + 1;
    // With sigma2 held fixed only the Tau block is informative.
    const int k = fit.sigma2Fixed ? m : np;
    std::vector<double> sub(k * k), inv(k * k), work(std::max(3, k * (k + 1) / 2) + 3);
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) sub[a * k + b] = info[a * np + b];
    fit.haveVarianceSE = false;
    fit.varianceCov.assign(static_cast<std::size_t>(np) * np, 0.0);
    fit.tauSE.assign(r * r, 0.0);
    fit.sigma2SE = 0.0;
    if (k == 0 || sym_inverse(k, sub.data(), inv.data(), work.data(), k, k) != 0) return false;
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) fit.varianceCov[a * np + b] = inv[a * k + b];
    auto se = [](double v) { return v > 0.0 ? std::sqrt(v) : MISSING_VALUE; };
    for (int a = 0; a < r; ++a)
        for (int b = 0; b <= a; ++b) {
            const int p = tau_index(a, b);
            fit.tauSE[a * r + b] = fit.tauSE[b * r + a] = se(inv[p * k + p]);
        }
    if (!fit.sigma2Fixed) fit.sigma2SE = se(inv[m * k + m]);
    fit.haveVarianceSE = true;
    return true;
}
