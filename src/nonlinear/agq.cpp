// Adaptive Gauss-Hermite quadrature as full maximum likelihood. Each unit's
// integral over its random effects is taken on a tensor-product rule centred at
// the unit's posterior mode and scaled by the Cholesky factor of its posterior
// dispersion. Tau is carried as its lower Cholesky factor L (Tau = L L'), so
// that every Newton step keeps it positive semi-definite. The score is the exact
// derivative of the adaptive sum, the rule's movement with the mode and the
// dispersion included (with few points that movement matters: one point is the
// first-order Laplace approximation); the information is that of the sum with
// the centring held fixed, which differs from the exact one only by the
// quadrature error.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "nonlinear/refine.h"
#include "nonlinear/refine_internal.h"
#include "numeric/numeric.h"

using namespace refine_detail;

namespace {

constexpr double LOG_TWO_PI = 1.8378770664093453;
// Step halvings tried before a Newton step is given up.
constexpr int MAX_HALVINGS = 10;
// Rules of at most this many points take Newton steps on the observed information.
constexpr int OBSERVED_NEWTON_POINTS = 2;

// Dense lower factor from the packed lower triangle by rows.
void unpack_lower(int q, const double* packedL, double* L)
{
    int k = 0;
    for (int a = 0; a < q; ++a)
        for (int b = 0; b < q; ++b) L[a * q + b] = b <= a ? packedL[k++] : 0.0;
}

// Everything one evaluation needs about Tau's factor.
struct TauFactor {
    std::vector<double> L, Linv, tauInv;
    double logDet = 0.0;  // ln |det L|
};

bool make_tau_factor(int q, const double* packedL, TauFactor& t)
{
    t.L.assign(q * q, 0.0);
    t.Linv.assign(q * q, 0.0);
    t.tauInv.assign(q * q, 0.0);
    unpack_lower(q, packedL, t.L.data());
    t.logDet = 0.0;
    for (int a = 0; a < q; ++a) {
        if (t.L[a * q + a] == 0.0) return false;
        t.logDet += std::log(std::fabs(t.L[a * q + a]));
    }
    lower_inverse(q, t.L.data(), t.Linv.data());
    for (int a = 0; a < q; ++a)
        for (int c = 0; c < q; ++c) {
            double s = 0.0;
            for (int k = 0; k < q; ++k) s += t.Linv[k * q + a] * t.Linv[k * q + c];
            t.tauInv[a * q + c] = s;
        }
    return true;
}

// Work space of one unit's quadrature.
struct QuadWork {
    UnitWork unit;
    std::vector<double> eta0, zr;  // linear predictor at the mode; R'z per record
    std::vector<double> sk, S1, S2, Htt, bk, v, w, R, C;
    // For the rule's movement with the parameters: l2 and l3 at the mode per record,
    // the node-weighted gradient in b and its product with the standard nodes.
    std::vector<double> l2m, l3m, gz, gbar, Gr, A2, A3, T3, dm, rhs, dTi, dC, M1, M2;
};

// ln phi(b; 0, Tau) and, when s is given, its gradient (into s) and, when H is given,
// its Hessian added with weight e (into H, nt x nt), in the packed factor elements.
double log_normal_tau(int q, const TauFactor& t, const double* b, QuadWork& qw, double* s, double* H, double e)
{
    double* v = qw.v.data();
    double* w = qw.w.data();
    for (int a = 0; a < q; ++a) {
        double x = 0.0;
        for (int c = 0; c <= a; ++c) x += t.Linv[a * q + c] * b[c];
        v[a] = x;
    }
    double vv = 0.0;
    for (int a = 0; a < q; ++a) {
        double x = 0.0;
        for (int c = a; c < q; ++c) x += t.Linv[c * q + a] * v[c];
        w[a] = x;
        vv += v[a] * v[a];
    }
    if (s) {
        int k = 0;
        for (int a = 0; a < q; ++a)
            for (int bb = 0; bb <= a; ++bb, ++k) s[k] = w[a] * v[bb] - (a == bb ? 1.0 / t.L[a * q + a] : 0.0);
    }
    if (H) {
        const int nt = q * (q + 1) / 2;
        int k1 = 0;
        for (int a = 0; a < q; ++a)
            for (int bb = 0; bb <= a; ++bb, ++k1) {
                int k2 = 0;
                for (int c = 0; c < q; ++c)
                    for (int dd = 0; dd <= c; ++dd, ++k2) {
                        double h = (-t.Linv[dd * q + a] * w[c] - t.tauInv[a * q + c] * v[dd]) * v[bb]
                                   - w[a] * t.Linv[bb * q + c] * v[dd];
                        if (a == bb && c == dd && a == c) h += 1.0 / (t.L[a * q + a] * t.L[a * q + a]);
                        H[k1 * nt + k2] += e * h;
                    }
            }
    }
    return -0.5 * q * LOG_TWO_PI - t.logDet - 0.5 * vv;
}

// Adds to score the derivative that comes from the rule following the unit's mode m and
// dispersion S = R R' (dm = S d(grad_b h), dS = -S dC S, dR = R Phi(R^-1 dS R^-T)), weighted
// by the rule's sensitivities qw.gbar (to the centre) and qw.Gr (to R, with d ln|R|).
void centring_score(const RefineData& d, const TauFactor& t, long j, const double* m, const double* S,
                    const double* R, QuadWork& qw, double* score)
{
    const int q = d.q, F = d.F, P = F + tau_distinct(q), qq = q * q;
    const long r0 = d.start[j], nj = d.start[j + 1] - r0;
    double *A2 = qw.A2.data(), *A3 = qw.A3.data(), *T3 = qw.T3.data();
    std::fill(qw.A2.begin(), qw.A2.end(), 0.0);
    std::fill(qw.A3.begin(), qw.A3.end(), 0.0);
    std::fill(qw.T3.begin(), qw.T3.end(), 0.0);
    for (long i = 0; i < nj; ++i) {
        const double* z = &d.Z[static_cast<size_t>(r0 + i) * q];
        const double* x = &d.X[static_cast<size_t>(r0 + i) * F];
        for (int a = 0; a < q; ++a) {
            for (int c = 0; c < F; ++c) A2[a * F + c] += qw.l2m[i] * z[a] * x[c];
            for (int b = 0; b < q; ++b) {
                const double zz = qw.l3m[i] * z[a] * z[b];
                for (int c = 0; c < F; ++c) A3[c * qq + a * q + b] += zz * x[c];
                for (int e = 0; e < q; ++e) T3[e * qq + a * q + b] += zz * z[e];
            }
        }
    }
    const double *Ti = t.tauInv.data(), *L = t.L.data();
    double *dm = qw.dm.data(), *rhs = qw.rhs.data(), *dTi = qw.dTi.data(), *dC = qw.dC.data();
    double *M1 = qw.M1.data(), *M2 = qw.M2.data();
    int pa = 0, pb = 0;  // the factor element of parameter p >= F
    for (int p = 0; p < P; ++p) {
        std::fill(dTi, dTi + qq, 0.0);
        if (p < F) {
            for (int a = 0; a < q; ++a) rhs[a] = A2[a * F + p];
        } else {
            // dTau = E_ab L' + L E_ba; dTau^-1 = -Tau^-1 dTau Tau^-1; d(grad_b h) = -dTau^-1 m.
            for (int a = 0; a < q; ++a)
                for (int b = 0; b < q; ++b)
                    M1[a * q + b] = (a == pa ? L[b * q + pb] : 0.0) + (b == pa ? L[a * q + pb] : 0.0);
            matmul_nn(q, q, q, Ti, M1, M2);
            matmul_nn(q, q, q, M2, Ti, dTi);
            for (int a = 0; a < qq; ++a) dTi[a] = -dTi[a];
            for (int a = 0; a < q; ++a) {
                double x = 0.0;
                for (int c = 0; c < q; ++c) x -= dTi[a * q + c] * m[c];
                rhs[a] = x;
            }
            if (++pb > pa) pb = 0, ++pa;
        }
        matmul_nn(q, q, 1, S, rhs, dm);
        // dC = dTau^-1 - sum l3 z z' (x_p + z'dm).
        for (int a = 0; a < qq; ++a) {
            double x = dTi[a] - (p < F ? A3[p * qq + a] : 0.0);
            for (int e = 0; e < q; ++e) x -= T3[e * qq + a] * dm[e];
            dC[a] = x;
        }
        // R^-1 dS R^-T = -(R^-1 S) dC (S R^-T) = -R' dC R.
        matmul_tn(q, q, q, R, dC, M1);
        matmul_nn(q, q, q, M1, R, M2);
        double sum = 0.0;
        for (int a = 0; a < q; ++a) sum += qw.gbar[a] * dm[a];
        for (int a = 0; a < q; ++a)
            for (int b = 0; b <= a; ++b) {
                // dR_ab = sum_c R_ac Phi_cb, Phi the lower part of -M2 with half its diagonal.
                double dR = 0.0;
                for (int c = b; c <= a; ++c) dR -= R[a * q + c] * M2[c * q + b] * (c == b ? 0.5 : 1.0);
                sum += qw.Gr[a * q + b] * dR;
            }
        score[p] += sum;
    }
}

// Quadrature log-likelihood of unit j (without the data constant), with its score and
// negative Hessian added to score/info when given. centre and disp are the unit's rule
// centre and dispersion; with recentre they are first replaced by its mode and
// posterior dispersion at these estimates. Returns false when a factor fails.
bool agq_unit(const RefineData& d, const AgqRule& rule, const double* gamma, const TauFactor& t, long j,
              bool recentre, double* centre, double* disp, double* ll, double* score, double* info,
              QuadWork& qw)
{
    const int q = d.q, F = d.F, nt = q * (q + 1) / 2, P = F + nt;
    const long r0 = d.start[j], nj = d.start[j + 1] - r0;
    UnitWork& w = qw.unit;
    unit_fixed_part(d, j, gamma, w);
    double* R = qw.R.data();
    if (recentre) {
        double h;
        double* C = qw.C.data();
        if (!unit_mode(d, j, t.tauInv.data(), centre, C, &h, w)) return false;
        cholesky(q, C, R);
        cholesky_inverse(q, R, disp);
    }
    if (!cholesky(q, disp, R)) return false;
    double logDetR = 0.0;
    for (int a = 0; a < q; ++a) logDetR += std::log(R[a * q + a]);

    double ref = 0.0;
    for (long i = 0; i < nj; ++i) {
        const long r = r0 + i;
        const double* z = &d.Z[static_cast<size_t>(r) * q];
        double e0 = w.xg[i];
        for (int a = 0; a < q; ++a) e0 += z[a] * centre[a];
        qw.eta0[i] = e0;
        for (int a = 0; a < q; ++a) {
            double x = 0.0;
            for (int c = a; c < q; ++c) x += R[c * q + a] * z[c];
            qw.zr[static_cast<size_t>(i) * q + a] = x;
        }
        double l, l1, l2;
        record_loglik(d.family, e0, d.y[r], d.hasCount ? d.n[r] : 1.0, &l, &l1, &l2);
        ref += l;
        qw.l2m[i] = l2;
        qw.l3m[i] = record_l3(d.family, e0, d.hasCount ? d.n[r] : 1.0);
    }
    // The mode maximises the integrand, so scaling by its value (and the largest
    // weight) keeps every node's term at most about 1.
    ref += log_normal_tau(q, t, centre, qw, nullptr, nullptr, 0.0);
    ref += *std::max_element(rule.logWeight.begin(), rule.logWeight.end());

    const bool deriv = score != nullptr, moving = deriv && recentre;
    if (moving) {
        std::fill(qw.gbar.begin(), qw.gbar.end(), 0.0);
        std::fill(qw.Gr.begin(), qw.Gr.end(), 0.0);
    }
    if (deriv) {
        std::fill(qw.S1.begin(), qw.S1.end(), 0.0);
        std::fill(qw.S2.begin(), qw.S2.end(), 0.0);
        std::fill(qw.Htt.begin(), qw.Htt.end(), 0.0);
        std::fill(w.acc.begin(), w.acc.begin() + nj, 0.0);
    }
    double E = 0.0;
    double* sk = qw.sk.data();
    double* bk = qw.bk.data();
    for (long k = 0; k < rule.K; ++k) {
        const double* u = &rule.nodes[static_cast<size_t>(k) * q];
        double lsum = 0.0;
        if (deriv) std::fill(sk, sk + F, 0.0);
        if (moving) std::fill(qw.gz.begin(), qw.gz.end(), 0.0);
        for (long i = 0; i < nj; ++i) {
            const long r = r0 + i;
            const double* zr = &qw.zr[static_cast<size_t>(i) * q];
            double eta = qw.eta0[i];
            for (int a = 0; a < q; ++a) eta += zr[a] * u[a];
            double l, l1, l2;
            record_loglik(d.family, eta, d.y[r], d.hasCount ? d.n[r] : 1.0, &l, &l1, &l2);
            lsum += l;
            if (deriv) {
                w.l2[i] = l2;
                const double* x = &d.X[static_cast<size_t>(r) * F];
                for (int c = 0; c < F; ++c) sk[c] += l1 * x[c];
                if (moving) {
                    const double* z = &d.Z[static_cast<size_t>(r) * q];
                    for (int a = 0; a < q; ++a) qw.gz[a] += l1 * z[a];
                }
            }
        }
        for (int a = 0; a < q; ++a) {
            double x = centre[a];
            for (int c = 0; c <= a; ++c) x += R[a * q + c] * u[c];
            bk[a] = x;
        }
        const double lphi = log_normal_tau(q, t, bk, qw, deriv ? sk + F : nullptr, nullptr, 0.0);
        const double e = std::exp(lsum + lphi + rule.logWeight[k] - ref);
        E += e;
        if (moving && e > 0.0)
            // qw.w holds Tau^-1 b_k: the gradient in b at the node is gz - Tau^-1 b_k.
            for (int a = 0; a < q; ++a) {
                const double gb = qw.gz[a] - qw.w[a];
                qw.gbar[a] += e * gb;
                for (int c = 0; c <= a; ++c) qw.Gr[a * q + c] += e * gb * u[c];
            }
        if (deriv && e > 0.0) {
            log_normal_tau(q, t, bk, qw, nullptr, qw.Htt.data(), e);
            for (long i = 0; i < nj; ++i) w.acc[i] += e * w.l2[i];
            for (int a = 0; a < P; ++a) {
                qw.S1[a] += e * sk[a];
                for (int c = 0; c <= a; ++c) qw.S2[a * P + c] += e * sk[a] * sk[c];
            }
        }
    }
    if (!(E > 0.0)) return false;
    *ll = ref + std::log(E) + logDetR;
    if (deriv) {
        std::vector<double>& s = qw.S1;
        for (int a = 0; a < P; ++a) s[a] /= E;
        for (int a = 0; a < P; ++a) score[a] += s[a];
        if (moving) {
            for (int a = 0; a < q; ++a) {
                qw.gbar[a] /= E;
                for (int c = 0; c <= a; ++c) qw.Gr[a * q + c] /= E;
                qw.Gr[a * q + a] += 1.0 / R[a * q + a];
            }
            centring_score(d, t, j, centre, disp, R, qw, score);
        }
        // Negative Hessian: -(E[H_k] + E[s s'] - E[s] E[s]').
        for (int a = 0; a < P; ++a)
            for (int c = 0; c <= a; ++c) {
                double h = qw.S2[a * P + c] / E - s[a] * s[c];
                if (a >= F && c >= F) h += qw.Htt[(a - F) * nt + (c - F)] / E;
                info[a * P + c] -= h;
            }
        for (long i = 0; i < nj; ++i) {
            const double* x = &d.X[static_cast<size_t>(r0 + i) * F];
            const double a2 = w.acc[i] / E;
            for (int a = 0; a < F; ++a)
                for (int c = 0; c <= a; ++c) info[a * P + c] -= a2 * x[a] * x[c];
        }
    }
    return true;
}

void size_quad_work(const RefineData& d, QuadWork& qw)
{
    const int q = d.q, P = d.F + tau_distinct(d.q);
    const long nmax = max_unit_records(d);
    unit_work_size(qw.unit, nmax, q);
    qw.eta0.assign(nmax, 0.0);
    qw.zr.assign(static_cast<size_t>(nmax) * q, 0.0);
    qw.sk.assign(P, 0.0);
    qw.S1.assign(P, 0.0);
    qw.S2.assign(static_cast<size_t>(P) * P, 0.0);
    qw.Htt.assign(static_cast<size_t>(tau_distinct(q)) * tau_distinct(q), 0.0);
    qw.bk.assign(q, 0.0);
    qw.R.assign(static_cast<size_t>(q) * q, 0.0);
    qw.C.assign(static_cast<size_t>(q) * q, 0.0);
    qw.v.assign(q, 0.0);
    qw.w.assign(q, 0.0);
    const size_t qq = static_cast<size_t>(q) * q;
    qw.l2m.assign(nmax, 0.0);
    qw.l3m.assign(nmax, 0.0);
    qw.gz.assign(q, 0.0);
    qw.gbar.assign(q, 0.0);
    qw.Gr.assign(qq, 0.0);
    qw.A2.assign(static_cast<size_t>(q) * d.F, 0.0);
    qw.A3.assign(qq * d.F, 0.0);
    qw.T3.assign(qq * q, 0.0);
    for (auto* v : {&qw.dm, &qw.rhs}) v->assign(q, 0.0);
    for (auto* v : {&qw.dTi, &qw.dC, &qw.M1, &qw.M2}) v->assign(qq, 0.0);
}

// Sums over the units; the units are independent given the parameters, so this loop
// is the one to share out among threads (one QuadWork and partial sums per thread).
bool agq_all_units(const RefineData& d, const AgqRule& rule, const double* gamma, const double* packedL,
                   bool recentre, double* centre, double* disp, double* ll, double* score, double* info)
{
    const int q = d.q, P = d.F + tau_distinct(q);
    TauFactor t;
    if (!make_tau_factor(q, packedL, t)) return false;
    QuadWork qw;
    size_quad_work(d, qw);
    if (score) {
        std::fill(score, score + P, 0.0);
        std::fill(info, info + static_cast<size_t>(P) * P, 0.0);
    }
    double total = d.constant;
    for (int j = 0; j < d.J; ++j) {
        double lj;
        if (!agq_unit(d, rule, gamma, t, j, recentre, centre + static_cast<size_t>(j) * q,
                      disp + static_cast<size_t>(j) * q * q, &lj, score, info, qw))
            return false;
        total += lj;
    }
    if (score)
        for (int a = 0; a < P; ++a)
            for (int c = 0; c < a; ++c) info[c * P + a] = info[a * P + c];
    *ll = total;
    return std::isfinite(total);
}

// Packed lower Cholesky factor of Tau; false when Tau is not positive definite.
bool tau_to_factor(int q, const double* tau, double* packedL)
{
    std::vector<double> Lc(static_cast<size_t>(q) * q);
    if (!cholesky(q, tau, Lc.data())) return false;
    int k = 0;
    for (int a = 0; a < q; ++a)
        for (int b = 0; b <= a; ++b) packedL[k++] = Lc[a * q + b];
    return true;
}

void factor_to_tau(int q, const double* packedL, double* tau)
{
    std::vector<double> L(static_cast<size_t>(q) * q);
    unpack_lower(q, packedL, L.data());
    for (int a = 0; a < q; ++a)
        for (int c = 0; c < q; ++c) {
            double s = 0.0;
            for (int k = 0; k < q; ++k) s += L[a * q + k] * L[c * q + k];
            tau[a * q + c] = s;
        }
}

// Covariance of (gamma, distinct Tau) from the inverse information in (gamma, factor):
// the delta method with dTau_cd/dL_ab = delta_ca L_db + L_cb delta_da.
void factor_covariance(int F, int q, const double* packedL, const double* infoInv, double* cov)
{
    const int nt = tau_distinct(q), P = F + nt;
    std::vector<double> L(static_cast<size_t>(q) * q);
    unpack_lower(q, packedL, L.data());
    std::vector<double> Jm(static_cast<size_t>(P) * P, 0.0);
    for (int k = 0; k < F; ++k) Jm[k * P + k] = 1.0;
    int row = F;
    for (int c = 0; c < q; ++c)
        for (int dd = 0; dd <= c; ++dd, ++row) {
            int col = F;
            for (int a = 0; a < q; ++a)
                for (int b = 0; b <= a; ++b, ++col)
                    Jm[row * P + col] = (c == a ? L[dd * q + b] : 0.0) + (dd == a ? L[c * q + b] : 0.0);
        }
    std::vector<double> tmp(static_cast<size_t>(P) * P, 0.0);
    matmul_nn(P, P, P, Jm.data(), infoInv, tmp.data());
    matmul_nt(P, P, P, tmp.data(), Jm.data(), cov);
}

// s.cov from the information s.info at the factor packedL; false when it is singular.
bool update_covariance(int F, int q, const double* packedL, RefineState& s)
{
    const int P = F + tau_distinct(q);
    std::vector<double> Li(static_cast<size_t>(P) * P), inv(static_cast<size_t>(P) * P);
    if (!refine_detail::cholesky(P, s.info.data(), Li.data())) return false;
    refine_detail::cholesky_inverse(P, Li.data(), inv.data());
    factor_covariance(F, q, packedL, inv.data(), s.cov.data());
    return true;
}

// Observed information of the adaptive likelihood at theta: central differences of its
// exact score, column by column, symmetrised. False when a unit fails.
bool observed_information(const RefineData& d, const AgqRule& rule, const std::vector<double>& theta,
                          const RefineState& s, std::vector<double>& info)
{
    const int F = d.F, P = F + tau_distinct(d.q);
    info.assign(static_cast<size_t>(P) * P, 0.0);
    std::vector<double> up(P), down(P), scratch(static_cast<size_t>(P) * P), modes, disp;
    for (int a = 0; a < P; ++a) {
        const double h = 1e-5 * (1.0 + std::fabs(theta[a]));
        for (int sign = 1; sign >= -1; sign -= 2) {
            std::vector<double> t(theta);
            t[a] += sign * h;
            modes = s.modes;
            disp = s.disp;
            double ll;
            if (!agq_all_units(d, rule, t.data(), t.data() + F, true, modes.data(), disp.data(), &ll,
                               sign > 0 ? up.data() : down.data(), scratch.data()))
                return false;
        }
        for (int b = 0; b < P; ++b) info[static_cast<size_t>(b) * P + a] = -(up[b] - down[b]) / (2.0 * h);
    }
    for (int a = 0; a < P; ++a)
        for (int b = 0; b < a; ++b) info[a * P + b] = info[b * P + a] = 0.5 * (info[a * P + b] + info[b * P + a]);
    return true;
}

}  // namespace

long agq_node_count(int p, int q)
{
    long K = 1;
    for (int d = 0; d < q; ++d) {
        K *= p;
        if (K > AGQ_MAX_NODES) return AGQ_MAX_NODES + 1;
    }
    return K;
}

int agq_rule(int p, int q, AgqRule& rule, FILE* report)
{
    std::vector<double> x(p), w(p);
    if (!hermite_rule(x.data(), w.data(), p, report)) return 0;
    rule.p = p;
    rule.q = q;
    rule.K = agq_node_count(p, q);
    rule.nodes.assign(static_cast<size_t>(rule.K) * q, 0.0);
    rule.logWeight.assign(rule.K, 0.0);
    // Per dimension: integral of h(u) du ~ sum sqrt(2 pi) w_k h(sqrt(2) x_k), with w_k
    // the normal-kernel weight.
    const double logRoot2Pi = 0.5 * LOG_TWO_PI;
    for (long k = 0; k < rule.K; ++k) {
        long rest = k;
        for (int a = q - 1; a >= 0; --a) {
            const int i = static_cast<int>(rest % p);
            rest /= p;
            rule.nodes[static_cast<size_t>(k) * q + a] = std::sqrt(2.0) * x[i];
            rule.logWeight[k] += logRoot2Pi + std::log(w[i]);
        }
    }
    return 1;
}

double agq_evaluate(const RefineData& d, const AgqRule& rule, const double* gamma, const double* chol,
                    const double* centre, const double* disp, bool adaptive, double* score, double* info)
{
    std::vector<double> c(centre, centre + static_cast<size_t>(d.J) * d.q);
    std::vector<double> v(disp, disp + static_cast<size_t>(d.J) * d.q * d.q);
    double ll = 0.0;
    if (!agq_all_units(d, rule, gamma, chol, adaptive, c.data(), v.data(), &ll, score, info))
        return -HUGE_VAL;
    return ll;
}

// The fixed-rule information misses the curvature that comes from the rule following
// the modes, which with few points is large: a BFGS update with the last step and the
// change of the exact score puts it back along that step.
void secant_update(int P, const std::vector<double>& theta, const RefineState& s, std::vector<double>& H)
{
    if (static_cast<int>(s.prevTheta.size()) != P) return;
    std::vector<double> sv(P), yv(P), Hsv(P, 0.0);
    double sy = 0.0, ss = 0.0, yy = 0.0, sHs = 0.0;
    for (int a = 0; a < P; ++a) {
        sv[a] = theta[a] - s.prevTheta[a];
        yv[a] = s.prevScore[a] - s.score[a];
        sy += sv[a] * yv[a], ss += sv[a] * sv[a], yy += yv[a] * yv[a];
    }
    for (int a = 0; a < P; ++a) {
        for (int b = 0; b < P; ++b) Hsv[a] += H[a * P + b] * sv[b];
        sHs += sv[a] * Hsv[a];
    }
    // Only a step along which the likelihood is concave, and a positive curvature to replace.
    if (!(sy > 1e-10 * std::sqrt(ss * yy)) || !(sHs > 0.0)) return;
    for (int a = 0; a < P; ++a)
        for (int b = 0; b < P; ++b) H[a * P + b] += yv[a] * yv[b] / sy - Hsv[a] * Hsv[b] / sHs;
}

int agq_step(const RefineData& d, int p, RefineState& s, FILE* report)
{
    if (d.q < 1 || d.J < 1 || agq_node_count(p, d.q) > AGQ_MAX_NODES) return AGQ_SINGULAR_INFO;
    AgqRule rule;
    if (!agq_rule(p, d.q, rule, report)) return AGQ_GAUHER_FAILED;
    const int F = d.F, q = d.q, nt = tau_distinct(q), P = F + nt;
    std::vector<double> theta(P);
    std::copy(s.gamma.begin(), s.gamma.end(), theta.begin());
    if (!tau_to_factor(q, s.tau.data(), theta.data() + F)) return AGQ_SINGULAR_INFO;
    if (!s.haveDerivatives) {
        // Gammas the data cannot separate make the information singular whatever Tau is.
        std::vector<double> XX(static_cast<size_t>(F) * F, 0.0), LX(XX.size());
        for (long r = 0; r < refine_data_records(d); ++r)
            matmul_tn_add(F, 1, F, &d.X[static_cast<size_t>(r) * F], &d.X[static_cast<size_t>(r) * F], XX.data());
        if (!refine_detail::cholesky(F, XX.data(), LX.data())) return AGQ_SINGULAR_INFO;
        s.score.assign(P, 0.0);
        s.info.assign(static_cast<size_t>(P) * P, 0.0);
        if (!agq_all_units(d, rule, theta.data(), theta.data() + F, true, s.modes.data(), s.disp.data(),
                           &s.logLik, s.score.data(), s.info.data()))
            return AGQ_SINGULAR_UNIT;
        s.haveDerivatives = true;
    }
    // Newton direction; far from the maximum the Hessian may be indefinite, and a
    // multiple of the identity is added until it is not (a shorter, steeper step).
    std::vector<double> Lc(static_cast<size_t>(P) * P), step(s.score), H(s.info);
    // With one or two points the rule's movement with the modes dominates the curvature
    // and the fixed-rule information is far off: the observed one is used instead.
    if (p <= OBSERVED_NEWTON_POINTS) {
        if (!observed_information(d, rule, theta, s, H)) return AGQ_SINGULAR_UNIT;
    } else {
        secant_update(P, theta, s, H);
    }
    const std::vector<double> Hs(H);
    double top = 0.0;
    for (int a = 0; a < P; ++a) top = std::max(top, std::fabs(H[a * P + a]));
    double ridge = 1e-4 * (1.0 + top);
    for (int tries = 0; !refine_detail::cholesky(P, H.data(), Lc.data()); ++tries, ridge *= 10.0) {
        if (tries == 30) return AGQ_SINGULAR_INFO;
        H = Hs;
        for (int a = 0; a < P; ++a) H[a * P + a] += ridge;
    }
    refine_detail::cholesky_solve(P, Lc.data(), step.data());

    std::vector<double> trial(P), modes(s.modes), disp(s.disp), sc(P), inf(static_cast<size_t>(P) * P);
    double t = 1.0;
    for (int half = 0; half <= MAX_HALVINGS; ++half, t *= 0.5) {
        for (int a = 0; a < P; ++a) trial[a] = theta[a] + t * step[a];
        modes = s.modes;
        disp = s.disp;
        double ll;
        if (!agq_all_units(d, rule, trial.data(), trial.data() + F, true, modes.data(), disp.data(), &ll, sc.data(),
                           inf.data()))
            continue;
        if (!(ll >= s.logLik - 1e-10 * std::fabs(s.logLik))) continue;
        std::copy(trial.begin(), trial.begin() + F, s.gamma.begin());
        factor_to_tau(q, trial.data() + F, s.tau.data());
        s.modes.swap(modes);
        s.disp.swap(disp);
        s.logLik = ll;
        s.prevTheta = theta;
        s.prevScore = s.score;
        s.score = sc;
        s.info = inf;
        ++s.iteration;
        // Away from the maximum the Hessian may be indefinite; the covariance then waits.
        update_covariance(F, q, trial.data() + F, s);
        return AGQ_GO_ON;
    }
    // No step raises the likelihood: the estimates are at its maximum to working precision.
    ++s.iteration;
    update_covariance(F, q, theta.data() + F, s);
    return AGQ_GO_ON;
}

int agq_observed_covariance(const RefineData& d, int p, RefineState& s, FILE* report)
{
    AgqRule rule;
    if (!agq_rule(p, d.q, rule, report)) return AGQ_GAUHER_FAILED;
    const int F = d.F, q = d.q, P = F + tau_distinct(q);
    std::vector<double> theta(P);
    std::copy(s.gamma.begin(), s.gamma.end(), theta.begin());
    if (!tau_to_factor(q, s.tau.data(), theta.data() + F)) return AGQ_SINGULAR_INFO;
    if (!observed_information(d, rule, theta, s, s.info)) return AGQ_SINGULAR_UNIT;
    return update_covariance(F, q, theta.data() + F, s) ? AGQ_GO_ON : AGQ_SINGULAR_INFO;
}
