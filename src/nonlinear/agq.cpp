// Adaptive Gauss-Hermite quadrature as full maximum likelihood. Each unit's
// integral over its random effects is taken on a tensor-product rule centred at
// the unit's posterior mode and scaled by the Cholesky factor of its posterior
// dispersion. Tau is carried as its lower Cholesky factor L (Tau = L L'), so
// that every Newton step keeps it positive semi-definite; the derivatives are
// those of the quadrature sum with the centring held fixed, which is the exact
// score of the marginal likelihood up to the quadrature error.
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
    }
    // The mode maximises the integrand, so scaling by its value (and the largest
    // weight) keeps every node's term at most about 1.
    ref += log_normal_tau(q, t, centre, qw, nullptr, nullptr, 0.0);
    ref += *std::max_element(rule.logWeight.begin(), rule.logWeight.end());

    const bool deriv = score != nullptr;
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
                    const double* centre, const double* disp, double* score, double* info)
{
    std::vector<double> c(centre, centre + static_cast<size_t>(d.J) * d.q);
    std::vector<double> v(disp, disp + static_cast<size_t>(d.J) * d.q * d.q);
    double ll = 0.0;
    if (!agq_all_units(d, rule, gamma, chol, false, c.data(), v.data(), &ll, score, info))
        return -HUGE_VAL;
    return ll;
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
    double top = 0.0;
    for (int a = 0; a < P; ++a) top = std::max(top, std::fabs(H[a * P + a]));
    double ridge = 1e-4 * (1.0 + top);
    for (int tries = 0; !refine_detail::cholesky(P, H.data(), Lc.data()); ++tries, ridge *= 10.0) {
        if (tries == 30) return AGQ_SINGULAR_INFO;
        H = s.info;
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
        s.score = sc;
        s.info = inf;
        ++s.iteration;
        // Away from the maximum the Hessian may be indefinite; the covariance then waits.
        update_covariance(F, q, trial.data() + F, s);
        return AGQ_GO_ON;
    }
    // No step raises the likelihood: the estimates are at its maximum to working precision.
    ++s.iteration;
    return update_covariance(F, q, theta.data() + F, s) ? AGQ_GO_ON : AGQ_SINGULAR_INFO;
}
