// EM-Laplace for Bernoulli and Poisson outcomes. The E-step finds each unit's
// posterior mode m and dispersion S = C^-1; the second-order Laplace expansion
// of the posterior about the mode, exp(h) ~ N(m, S)(1 + T3 + T4 + T3^2/2) with
// T3, T4 the cubic and quartic terms of h, corrects the moments that the M-steps
// use: the correction factor is K = 1 + a/8 + b/72 (a the fourth-order sum
// -sum d4 v^2, b = E[(sum d3 (z'u)^3)^2] = 9 a3' S a3 + 6 sum d3 d3 (z'Sz)^3),
// E[u] = -S a3 / (2K) and E[uu'] = S + S B S / K by Stein's identity.
#include <algorithm>
#include <cmath>
#include <vector>

#include "nonlinear/refine.h"
#include "nonlinear/refine_internal.h"
#include "numeric/numeric.h"

using namespace refine_detail;

namespace {

// Largest Poisson count whose factorial enters the likelihood.
constexpr double FACTORIAL_CAP = 170.0;

// Mean and its first two derivatives in eta (mu' = w, mu'' = d3) and the fourth
// derivative factor d4 of one record, for the family.
void mean_factors(RefineFamily family, double eta, double count, double* mu, double* w, double* d3, double* d4)
{
    if (family == RefineFamily::Poisson) {
        *mu = count * std::exp(eta);
        *w = *d3 = *d4 = *mu;
        return;
    }
    const double p = 1.0 / (1.0 + std::exp(-eta));
    const double v = p * (1.0 - p);
    *mu = count * p;
    *w = count * v;
    *d3 = count * (1.0 - 2.0 * p) * v;
    *d4 = count * (1.0 - 6.0 * v) * v;
}

// Data constant with the Poisson factorial taken at min(y, 170).
double capped_constant(const RefineData& d)
{
    if (d.family != RefineFamily::Poisson) return d.constant;
    double c = 0.0;
    for (long r = 0; r < refine_data_records(d); ++r) {
        if (d.hasCount) c += d.y[r] * std::log(d.n[r]);
        c -= std::log(factorial(std::min(d.y[r], FACTORIAL_CAP)));
    }
    return c;
}

// Highest order of the lone-random-effect variant (derivatives up to 2 * order).
constexpr int MAX_ORDER = 4;

// Lone random effect, order k: the posterior is N(m, 1/C) times exp(R), R = sum over
// j = 3 .. 2k of h_j u^j / j!, with exp(R) expanded in powers of R and every term of
// E[u^i exp(R)] kept up to order n^(1-k) (a term of h_j's whose indices sum to s with
// p factors is of order n^(p - s/2)). Gives K = E[exp R], E[u] and E[u^2] (over K).
void lone_effect_moments(int order, double C, const double* hd, double* K, double* Eu, double* Eu2)
{
    const int top = 2 * (order - 1);          // largest kept 2 (s/2 - p)
    const int maxDeg = 6 * (order - 1) + 2;  // largest power of u reached
    std::vector<double> cur((top + 1) * (maxDeg + 1), 0.0), res(cur), next(cur);
    auto at = [maxDeg](std::vector<double>& v, int o, int g) -> double& { return v[o * (maxDeg + 1) + g]; };
    at(cur, 0, 0) = at(res, 0, 0) = 1.0;
    for (int m = 1; m <= top; ++m) {
        std::fill(next.begin(), next.end(), 0.0);
        for (int o = 0; o <= top; ++o)
            for (int g = 0; g <= maxDeg; ++g) {
                const double c = at(cur, o, g);
                if (c == 0.0) continue;
                for (int j = 3; j <= 2 * order; ++j) {
                    const int o2 = o + j - 2, g2 = g + j;
                    if (o2 > top || g2 > maxDeg) continue;
                    double jf = 1.0;
                    for (int i = 2; i <= j; ++i) jf *= i;
                    at(next, o2, g2) += c * hd[j] / jf / m;
                }
            }
        cur.swap(next);
        for (size_t i = 0; i < res.size(); ++i) res[i] += cur[i];
    }
    // E[u^i] under N(0, 1/C): (i-1)!! C^(-i/2) for even i.
    auto moment = [C](int i) {
        if (i % 2) return 0.0;
        double v = 1.0;
        for (int t = i - 1; t > 1; t -= 2) v *= t;
        return v * std::pow(C, -0.5 * i);
    };
    double e0 = 0.0, e1 = 0.0, e2 = 0.0;
    for (int o = 0; o <= top; ++o)
        for (int g = 0; g <= maxDeg; ++g) {
            const double c = at(res, o, g);
            e0 += c * moment(g);
            e1 += c * moment(g + 1);
            e2 += c * moment(g + 2);
        }
    *K = e0;
    *Eu = e1 / e0;
    *Eu2 = e2 / e0;
}

// Derivative factors d_3 .. d_(2 order) of one record (Poisson: all equal mu).
void high_factors(RefineFamily family, double eta, double count, double* dk)
{
    if (family == RefineFamily::Poisson) {
        const double mu = count * std::exp(eta);
        for (int k = 3; k <= 2 * MAX_ORDER; ++k) dk[k] = mu;
        return;
    }
    double f[8];
    derivative_factors(eta, f);
    for (int k = 3; k <= 2 * MAX_ORDER; ++k) dk[k] = count * f[k - 2];
}

}  // namespace

int emlap_iteration(const RefineData& d, int order, RefineState& s, std::vector<char>* marks)
{
    const int F = d.F, q = d.q, P = F + tau_distinct(q);
    if (order > MAX_ORDER || (order > 2 && q != 1)) return EMLAP_BAD_ORDER;
    if (q < 1 || d.J < 1) return EMLAP_FAILED_V0;
    int repeats = 0;
    const int modes = refine_unit_modes(d, s, &repeats);
    if (marks) marks->insert(marks->end(), repeats, '.');
    if (modes != 0) return EMLAP_FAILED_V0;
    std::vector<double> Lt(q * q), tauInv(q * q);
    cholesky(q, s.tau.data(), Lt.data());
    cholesky_inverse(q, Lt.data(), tauInv.data());
    double logDetTau = 0.0;
    for (int a = 0; a < q; ++a) logDetTau += 2.0 * std::log(Lt[a * q + a]);

    UnitWork uw;
    const long nmax = max_unit_records(d);
    unit_work_size(uw, nmax, q);
    std::vector<double> mu(nmax), w(nmax), d3(nmax), d4(nmax), v(nmax), Sz(static_cast<size_t>(nmax) * q);
    std::vector<double> sumBB(q * q, 0.0), score(F, 0.0), XVX(F * F, 0.0),
        tauInfo(static_cast<size_t>(tau_distinct(q)) * tau_distinct(q), 0.0);
    std::vector<double> a3(q), Sa(q), B(q * q), SB(q * q), Q(q * q), delta(q), XWZ(F * q), ZWZ(q * q), C(q * q),
        Lc(q * q), Ci(q * q);
    double total = capped_constant(d);
    for (int j = 0; j < d.J; ++j) {
        const long r0 = d.start[j], nj = d.start[j + 1] - r0;
        const double* m = &s.modes[static_cast<size_t>(j) * q];
        const double* S = &s.disp[static_cast<size_t>(j) * q * q];
        unit_fixed_part(d, j, s.gamma.data(), uw);
        double h = 0.0;
        for (int a = 0; a < q; ++a)
            for (int c = 0; c < q; ++c) h -= 0.5 * m[a] * tauInv[a * q + c] * m[c];
        std::fill(a3.begin(), a3.end(), 0.0);
        std::fill(B.begin(), B.end(), 0.0);
        std::fill(XWZ.begin(), XWZ.end(), 0.0);
        std::fill(ZWZ.begin(), ZWZ.end(), 0.0);
        double fourth = 0.0;
        for (long i = 0; i < nj; ++i) {
            const long r = r0 + i;
            const double* z = &d.Z[static_cast<size_t>(r) * q];
            const double* x = &d.X[static_cast<size_t>(r) * F];
            const double count = d.hasCount ? d.n[r] : 1.0;
            double eta = uw.xg[i];
            for (int a = 0; a < q; ++a) eta += z[a] * m[a];
            double l, l1, l2;
            record_loglik(d.family, eta, d.y[r], count, &l, &l1, &l2);
            h += l;
            mean_factors(d.family, eta, count, &mu[i], &w[i], &d3[i], &d4[i]);
            double vi = 0.0;
            for (int a = 0; a < q; ++a) {
                double t = 0.0;
                for (int c = 0; c < q; ++c) t += S[a * q + c] * z[c];
                Sz[static_cast<size_t>(i) * q + a] = t;
                vi += z[a] * t;
            }
            v[i] = vi;
            fourth -= d4[i] * vi * vi;
            for (int a = 0; a < q; ++a) {
                a3[a] += d3[i] * vi * z[a];
                for (int c = 0; c < q; ++c) {
                    B[a * q + c] -= 0.5 * d4[i] * vi * z[a] * z[c];
                    ZWZ[a * q + c] += w[i] * z[a] * z[c];
                }
            }
            for (int a = 0; a < F; ++a) {
                for (int c = 0; c < q; ++c) XWZ[a * q + c] += w[i] * x[a] * z[c];
                for (int c = 0; c <= a; ++c) XVX[a * F + c] += w[i] * x[a] * x[c];
            }
        }
        for (int a = 0; a < q; ++a) {
            double t = 0.0;
            for (int c = 0; c < q; ++c) t += S[a * q + c] * a3[c];
            Sa[a] = t;
        }
        // Squared third-order sum and the pair terms of E[uu' T3^2]/2.
        double aSa = 0.0, pairs = 0.0;
        for (int a = 0; a < q; ++a) aSa += a3[a] * Sa[a];
        for (long i = 0; i < nj; ++i) {
            const double* zi = &d.Z[static_cast<size_t>(r0 + i) * q];
            const double* si = &Sz[static_cast<size_t>(i) * q];
            double zSa = 0.0;
            for (int a = 0; a < q; ++a) zSa += zi[a] * Sa[a];
            for (int a = 0; a < q; ++a)
                for (int c = 0; c < q; ++c) B[a * q + c] += 0.5 * d3[i] * zSa * zi[a] * zi[c];
            for (long k = 0; k < nj; ++k) {
                const double* zk = &d.Z[static_cast<size_t>(r0 + k) * q];
                double cik = 0.0;
                for (int a = 0; a < q; ++a) cik += si[a] * zk[a];
                const double dd = d3[i] * d3[k];
                pairs += dd * cik * cik * cik;
                for (int a = 0; a < q; ++a)
                    for (int c = 0; c < q; ++c) B[a * q + c] += 0.5 * dd * cik * cik * zi[a] * zk[c];
            }
        }
        for (int a = 0; a < q; ++a)
            for (int c = 0; c < q; ++c) B[a * q + c] += 0.25 * a3[a] * a3[c];
        double K = 1.0 + fourth / 8.0 + (9.0 * aSa + 6.0 * pairs) / 72.0;
        // Corrected moments of u = b - m, and E[bb'].
        if (order > 2) {
            // Lone random effect: h_k = -sum d_k z^k at the mode.
            double hd[2 * MAX_ORDER + 1] = {0.0}, dk[2 * MAX_ORDER + 1];
            for (long i = 0; i < nj; ++i) {
                const long r = r0 + i;
                const double z = d.Z[r];
                high_factors(d.family, uw.xg[i] + z * m[0], d.hasCount ? d.n[r] : 1.0, dk);
                double zk = z * z * z;
                for (int k = 3; k <= 2 * order; ++k, zk *= z) hd[k] -= dk[k] * zk;
            }
            double Eu, Eu2;
            lone_effect_moments(order, 1.0 / S[0], hd, &K, &Eu, &Eu2);
            delta[0] = Eu;
            Q[0] = Eu2;
        } else {
            for (int a = 0; a < q; ++a) delta[a] = -0.5 * Sa[a] / K;
            matmul_nn(q, q, q, S, B.data(), SB.data());
            matmul_nn(q, q, q, SB.data(), S, Q.data());
            for (int a = 0; a < q * q; ++a) Q[a] = S[a] + Q[a] / K;
        }
        if (!(K > 0.0)) return EMLAP_FAILED_V0;
        for (int a = 0; a < q; ++a)
            for (int c = 0; c < q; ++c)
                sumBB[a * q + c] += m[a] * m[c] + m[a] * delta[c] + delta[a] * m[c] + Q[a * q + c];
        // log det(Tau C) = log det Tau - log det S.
        double logDetS = 0.0;
        for (int a = 0; a < q * q; ++a) C[a] = S[a];
        if (!cholesky(q, C.data(), Lc.data())) return EMLAP_FAILED_V0;
        for (int a = 0; a < q; ++a) logDetS += 2.0 * std::log(Lc[a * q + a]);
        total += h - 0.5 * (logDetTau - logDetS) + std::log(K);
        // Expected score of gamma under the corrected posterior.
        for (long i = 0; i < nj; ++i) {
            const long r = r0 + i;
            const double* z = &d.Z[static_cast<size_t>(r) * q];
            const double* x = &d.X[static_cast<size_t>(r) * F];
            double zd = 0.0, zQz = 0.0;
            for (int a = 0; a < q; ++a) {
                zd += z[a] * delta[a];
                for (int c = 0; c < q; ++c) zQz += z[a] * Q[a * q + c] * z[c];
            }
            const double resid = d.y[r] - (mu[i] + w[i] * zd + 0.5 * d3[i] * zQz);
            for (int a = 0; a < F; ++a) score[a] += resid * x[a];
        }
        // Marginal information of gamma: X'V^-1 X = X'WX - X'WZ (Z'WZ + Tau^-1)^-1 Z'WX.
        for (int a = 0; a < q * q; ++a) C[a] = ZWZ[a] + tauInv[a];
        if (!cholesky(q, C.data(), Lc.data())) return EMLAP_FAILED_V0;
        cholesky_inverse(q, Lc.data(), Ci.data());
        // Tau block: tr(M E_k M E_l)/2 with M = Z'V^-1 Z = Z'WZ - Z'WZ C^-1 Z'WZ.
        matmul_nn(q, q, q, ZWZ.data(), Ci.data(), SB.data());
        matmul_nn(q, q, q, SB.data(), ZWZ.data(), Q.data());
        for (int a = 0; a < q * q; ++a) Q[a] = ZWZ[a] - Q[a];
        for (int k = 0, a = 0; a < q; ++a)
            for (int b = 0; b <= a; ++b, ++k)
                for (int l = 0, c = 0; c < q; ++c)
                    for (int e = 0; e <= c; ++e, ++l) {
                        // tr(M E_ab M E_ce) for the symmetric unit matrices, summed over their entries.
                        double t = 0.0;
                        for (int u = 0; u < 2; ++u)
                            for (int v = 0; v < 2; ++v) {
                                if ((u && a == b) || (v && c == e)) continue;
                                const int i1 = u ? b : a, j1 = u ? a : b, i2 = v ? e : c, j2 = v ? c : e;
                                t += Q[j1 * q + i2] * Q[j2 * q + i1];
                            }
                        tauInfo[k * tau_distinct(q) + l] += 0.5 * t;
                    }
        for (int a = 0; a < F; ++a)
            for (int c = 0; c <= a; ++c) {
                double t = 0.0;
                for (int e1 = 0; e1 < q; ++e1)
                    for (int e2 = 0; e2 < q; ++e2) t += XWZ[a * q + e1] * Ci[e1 * q + e2] * XWZ[c * q + e2];
                XVX[a * F + c] -= t;
            }
    }
    for (int a = 0; a < F; ++a)
        for (int c = 0; c < a; ++c) XVX[c * F + a] = XVX[a * F + c];
    // M-steps: Tau from the corrected moments, one Newton step for gamma.
    std::vector<double> tauNew(q * q), work(std::max(3, F * (F + 1) / 2)), step(F), covG(F * F);
    for (int a = 0; a < q * q; ++a) tauNew[a] = sumBB[a] / d.J;
    if (!cholesky(q, tauNew.data(), Lt.data())) return EMLAP_FAILED_V0;
    // The generalised least-squares step: with the marginal information the modes'
    // own response to gamma is allowed for, so the level-2 effects do not creep.
    if (pd_check(0, F, XVX.data(), nullptr, F) != 0 || sym_inverse(F, XVX.data(), covG.data(), work.data(), F, F) != 0)
        return EMLAP_FAILED_THETA1;
    matmul_nn(F, F, 1, covG.data(), score.data(), step.data());
    for (int a = 0; a < F; ++a) s.gamma[a] += step[a];
    s.tau = tauNew;
    s.logLik = total;
    std::fill(s.cov.begin(), s.cov.end(), 0.0);
    for (int a = 0; a < F; ++a)
        for (int c = 0; c < F; ++c) s.cov[a * P + c] = covG[a * F + c];
    const int m = tau_distinct(q);
    std::vector<double> covT(static_cast<size_t>(m) * m), workT(std::max(3, m * (m + 1) / 2));
    if (sym_inverse(m, tauInfo.data(), covT.data(), workT.data(), m, m) == 0)
        for (int a = 0; a < m; ++a)
            for (int c = 0; c < m; ++c) s.cov[(F + a) * P + F + c] = covT[a * m + c];
    ++s.iteration;
    return EMLAP_GO_ON;
}
