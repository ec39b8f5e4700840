// Laplace-6 and Laplace-8 for Bernoulli outcomes. Each unit's integral is
// expanded about its posterior mode m: ln L_j = h(m) - ln det(Tau C)/2 + ln K,
// with C = Z'WZ + Tau^-1 and K the higher-order correction in the derivative
// factors d3 .. d8 of the logistic log-likelihood. The score is the exact
// derivative of this approximation, the mode's own dependence on gamma and Tau
// included (dm/dtheta = C^-1 d2h/dm dtheta); the information is the expected
// information of the linearised model, V = W^-1 + Z Tau Z'.
#include <algorithm>
#include <cmath>
#include <vector>

#include "nonlinear/refine.h"
#include "nonlinear/refine_internal.h"
#include "numeric/numeric.h"

using namespace refine_detail;

namespace {

// Step halvings allowed when a step leaves Tau unusable.
constexpr int MAX_TAU_HALVINGS = 5;
// Damping ends when lambda passes these bounds.
constexpr double LAMBDA_RATIO_LIMIT = 1000000.0;
constexpr double LAMBDA_LIMIT = 1e20;

// y' A x for q-vectors and a dense q x q matrix.
double quad(int q, const double* y, const double* A, const double* x)
{
    double s = 0.0;
    for (int a = 0; a < q; ++a)
        for (int c = 0; c < q; ++c) s += y[a] * A[a * q + c] * x[c];
    return s;
}

void matvec(int q, const double* A, const double* x, double* y)
{
    for (int a = 0; a < q; ++a) {
        double s = 0.0;
        for (int c = 0; c < q; ++c) s += A[a * q + c] * x[c];
        y[a] = s;
    }
}

// Symmetric unit matrix of the distinct element k (lower triangle by rows).
void unit_element(int q, int k, double* E)
{
    std::fill(E, E + q * q, 0.0);
    for (int a = 0, i = 0; a < q; ++a)
        for (int b = 0; b <= a; ++b, ++i)
            if (i == k) E[a * q + b] = E[b * q + a] = 1.0;
}

// tr(Y E_k) for symmetric Y: the diagonal element, or twice the off-diagonal one.
double trace_element(int q, const double* Y, int k)
{
    for (int a = 0, i = 0; a < q; ++a)
        for (int b = 0; b <= a; ++b, ++i)
            if (i == k) return a == b ? Y[a * q + a] : 2.0 * Y[a * q + b];
    return 0.0;
}

// Re-finds every unit's mode at the state's estimates, one mark per repeated pass; false
// when a unit fails.
bool modes_at(const RefineData& d, RefineState& s, char mark, std::vector<char>* marks)
{
    int repeats = 0;
    const bool ok = refine_unit_modes(d, s, &repeats) == 0;
    if (marks) marks->insert(marks->end(), repeats, mark);
    return ok;
}

}  // namespace

int laplace_evaluate(const RefineData& d, int order, const RefineState& s, double* logLik, double* score,
                     double* info)
{
    const int F = d.F, q = d.q, nt = tau_distinct(q), P = F + nt;
    const bool eight = order == 8, first = order == 2;
    std::vector<double> Lt(q * q), tauInv(q * q);
    if (!cholesky(q, s.tau.data(), Lt.data())) return 1;
    cholesky_inverse(q, Lt.data(), tauInv.data());
    double logDetTau = 0.0;
    for (int a = 0; a < q; ++a) logDetTau += 2.0 * std::log(Lt[a * q + a]);
    if (score) {
        std::fill(score, score + P, 0.0);
        std::fill(info, info + static_cast<size_t>(P) * P, 0.0);
    }
    UnitWork w;
    const long nmax = max_unit_records(d);
    unit_work_size(w, nmax, q);
    std::vector<double> dk(static_cast<size_t>(nmax) * 8), v(nmax), zSa(nmax), zSa5(nmax);
    std::vector<double> C(q * q), Lc(q * q), S(q * q), a(q), a5(q), Sa(q), Sa5(q), M(q * q), SM(q * q),
        G(q * q), gm(q), Sg(q), r(q), p(q), Y(q * q), ZWZ(q * q), XWZ(F * q), Mq(q * q), E1(q * q), E2(q * q),
        T1(q * q), T2(q * q), sr(q);
    double total = 0.0;
    for (int j = 0; j < d.J; ++j) {
        const long r0 = d.start[j], nj = d.start[j + 1] - r0;
        const double* m = &s.modes[static_cast<size_t>(j) * q];
        unit_fixed_part(d, j, s.gamma.data(), w);
        // Records: eta, factors, h(m), Z'WZ, X'WZ, X'WX.
        double h = -0.5 * quad(q, m, tauInv.data(), m);
        std::fill(ZWZ.begin(), ZWZ.end(), 0.0);
        std::fill(XWZ.begin(), XWZ.end(), 0.0);
        for (long i = 0; i < nj; ++i) {
            const long rec = r0 + i;
            const double* z = &d.Z[static_cast<size_t>(rec) * q];
            double eta = w.xg[i];
            for (int c = 0; c < q; ++c) eta += z[c] * m[c];
            double l, l1, l2;
            record_loglik(RefineFamily::Bernoulli, eta, d.y[rec], 1.0, &l, &l1, &l2);
            h += l;
            w.l1[i] = l1;
            double* f = &dk[static_cast<size_t>(i) * 8];
            derivative_factors(eta, f);
            for (int b = 0; b < q; ++b)
                for (int c = 0; c < q; ++c) ZWZ[b * q + c] += f[0] * z[b] * z[c];
            if (info) {
                const double* x = &d.X[static_cast<size_t>(rec) * F];
                for (int b = 0; b < F; ++b) {
                    for (int c = 0; c < q; ++c) XWZ[b * q + c] += f[0] * x[b] * z[c];
                    for (int c = 0; c <= b; ++c) info[b * P + c] += f[0] * x[b] * x[c];
                }
            }
        }
        for (int b = 0; b < q * q; ++b) C[b] = ZWZ[b] + tauInv[b];
        if (!cholesky(q, C.data(), Lc.data())) return 1 + j;
        cholesky_inverse(q, Lc.data(), S.data());
        double logDetC = 0.0;
        for (int b = 0; b < q; ++b) logDetC += 2.0 * std::log(Lc[b * q + b]);
        // Correction factor K.
        std::fill(a.begin(), a.end(), 0.0);
        std::fill(a5.begin(), a5.end(), 0.0);
        double s4 = 0.0, s6 = 0.0, s8 = 0.0;
        for (long i = 0; i < nj; ++i) {
            const double* z = &d.Z[static_cast<size_t>(r0 + i) * q];
            const double* f = &dk[static_cast<size_t>(i) * 8];
            const double vi = quad(q, z, S.data(), z);
            v[i] = vi;
            for (int c = 0; c < q; ++c) {
                a[c] += f[1] * vi * z[c];
                a5[c] += f[3] * vi * vi * z[c];
            }
            s4 += f[2] * vi * vi;
            s6 += f[4] * vi * vi * vi;
            s8 += f[6] * vi * vi * vi * vi;
        }
        matvec(q, S.data(), a.data(), Sa.data());
        matvec(q, S.data(), a5.data(), Sa5.data());
        double Pa = 0.0, Pa5 = 0.0;
        for (int c = 0; c < q; ++c) Pa += a[c] * Sa[c], Pa5 += a[c] * Sa5[c];
        double K = first ? 1.0 : 1.0 + 5.0 / 24.0 * Pa - s4 / 8.0 - s6 / 48.0;
        if (eight) K += 7.0 / 48.0 * Pa5 + 35.0 / 384.0 * s4 * s4 - s8 / 384.0;
        if (!(K > 0.0)) return 1 + j;
        total += h - 0.5 * (logDetTau + logDetC) + std::log(K);
        if (!score) continue;

        // dK/dv_r as the matrix M = sum c_r z_r z_r', then the gradient G of the
        // correction terms in C: dG = tr(G dC).
        std::fill(M.begin(), M.end(), 0.0);
        for (long i = 0; i < nj; ++i) {
            const double* z = &d.Z[static_cast<size_t>(r0 + i) * q];
            const double* f = &dk[static_cast<size_t>(i) * 8];
            const double vi = v[i];
            double za = 0.0, za5 = 0.0;
            for (int c = 0; c < q; ++c) za += z[c] * Sa[c], za5 += z[c] * Sa5[c];
            zSa[i] = za, zSa5[i] = za5;
            double cr = first ? 0.0 : 5.0 / 12.0 * f[1] * za - f[2] * vi / 4.0 - f[4] * vi * vi / 16.0;
            if (eight)
                cr += 7.0 / 48.0 * (f[1] * za5 + 2.0 * f[3] * vi * za) + 35.0 / 96.0 * s4 * f[2] * vi
                      - f[6] * vi * vi * vi / 96.0;
            for (int b = 0; b < q; ++b)
                for (int c = 0; c < q; ++c) M[b * q + c] += cr * z[b] * z[c];
        }
        matmul_nn(q, q, q, S.data(), M.data(), SM.data());
        matmul_nn(q, q, q, SM.data(), S.data(), T1.data());
        for (int b = 0; b < q; ++b)
            for (int c = 0; c < q; ++c) {
                double x = first ? 0.0 : -T1[b * q + c] - 5.0 / 24.0 * Sa[b] * Sa[c];
                if (eight) x -= 7.0 / 96.0 * (Sa[b] * Sa5[c] + Sa5[b] * Sa[c]);
                G[b * q + c] = -0.5 * S[b * q + c] + x / K;
            }
        // Per record dG/deta_r: through C (d3 z z') and through the factors directly.
        std::fill(gm.begin(), gm.end(), 0.0);
        for (long i = 0; i < nj; ++i) {
            const long rec = r0 + i;
            const double* z = &d.Z[static_cast<size_t>(rec) * q];
            const double* x = &d.X[static_cast<size_t>(rec) * F];
            const double* f = &dk[static_cast<size_t>(i) * 8];
            const double vi = v[i], za = zSa[i];
            double e = first ? 0.0 : 5.0 / 12.0 * f[2] * vi * za - f[3] * vi * vi / 8.0 - f[5] * vi * vi * vi / 48.0;
            if (eight)
                e += 7.0 / 48.0 * (f[2] * vi * zSa5[i] + f[4] * vi * vi * za) + 35.0 / 192.0 * s4 * f[3] * vi * vi
                     - f[7] * vi * vi * vi * vi / 384.0;
            const double g = f[1] * quad(q, z, G.data(), z) + e / K;
            for (int c = 0; c < q; ++c) gm[c] += g * z[c];
            for (int c = 0; c < F; ++c) score[c] += (w.l1[i] + g) * x[c];
        }
        // The mode moves with gamma: dm/dgamma = -S Z'WX.
        matvec(q, S.data(), gm.data(), Sg.data());
        for (int b = 0; b < F; ++b)
            for (int c = 0; c < q; ++c) score[b] -= XWZ[b * q + c] * Sg[c];
        // Tau: Y = rr'/2 - Tau^-1/2 - Tau^-1 G Tau^-1 + sym(p r'), r = Tau^-1 m, p = Tau^-1 S gm.
        matvec(q, tauInv.data(), m, r.data());
        matvec(q, tauInv.data(), Sg.data(), p.data());
        matmul_nn(q, q, q, tauInv.data(), G.data(), T1.data());
        matmul_nn(q, q, q, T1.data(), tauInv.data(), T2.data());
        for (int b = 0; b < q; ++b)
            for (int c = 0; c < q; ++c)
                Y[b * q + c] = 0.5 * r[b] * r[c] - 0.5 * tauInv[b * q + c] - T2[b * q + c]
                               + 0.5 * (p[b] * r[c] + r[b] * p[c]);
        for (int k = 0; k < nt; ++k) score[F + k] += trace_element(q, Y.data(), k);
        // Information: X'V^-1X = X'WX - X'WZ S Z'WX (the X'WX part is already in);
        // Tau block tr(M E_k M E_l)/2 with M = Z'V^-1Z = Z'WZ - Z'WZ S Z'WZ.
        for (int b = 0; b < F; ++b)
            for (int c = 0; c <= b; ++c) {
                double x = 0.0;
                for (int e1 = 0; e1 < q; ++e1)
                    for (int e2 = 0; e2 < q; ++e2) x += XWZ[b * q + e1] * S[e1 * q + e2] * XWZ[c * q + e2];
                info[b * P + c] -= x;
            }
        matmul_nn(q, q, q, ZWZ.data(), S.data(), T1.data());
        matmul_nn(q, q, q, T1.data(), ZWZ.data(), T2.data());
        for (int b = 0; b < q * q; ++b) Mq[b] = ZWZ[b] - T2[b];
        for (int k = 0; k < nt; ++k) {
            unit_element(q, k, E1.data());
            matmul_nn(q, q, q, Mq.data(), E1.data(), T1.data());
            for (int l = 0; l <= k; ++l) {
                unit_element(q, l, E2.data());
                matmul_nn(q, q, q, Mq.data(), E2.data(), T2.data());
                double t = 0.0;
                for (int b = 0; b < q; ++b)
                    for (int c = 0; c < q; ++c) t += T1[b * q + c] * T2[c * q + b];
                info[(F + k) * P + F + l] += 0.5 * t;
            }
        }
    }
    if (info)
        for (int b = 0; b < P; ++b)
            for (int c = 0; c < b; ++c) info[c * P + b] = info[b * P + c];
    *logLik = total;
    return 0;
}

int laplace_iteration(const RefineData& d, int order, RefineState& s, std::vector<char>* marks)
{
    const int F = d.F, q = d.q, P = F + tau_distinct(q);
    const bool six = order != 8;
    if (q < 1 || d.J < 1) return LAPLACE_SINGULAR_C;
    if (!s.haveDerivatives) {
        if (!modes_at(d, s, '.', marks)) return LAPLACE_SINGULAR_C;
        s.score.assign(P, 0.0);
        s.info.assign(static_cast<size_t>(P) * P, 0.0);
        if (laplace_evaluate(d, order, s, &s.logLik, s.score.data(), s.info.data())) return LAPLACE_SINGULAR_C;
        s.haveDerivatives = true;
    }
    const RefineState saved = s;
    std::vector<double> H(P * P), Hinv(P * P), work(std::max(3, P * (P + 1) / 2)), step(P);
    for (;;) {
        H = s.info;
        if (six && s.lambda != -1.0) {
            double top = 0.0;
            for (int k = 0; k < P; ++k) top = std::max(top, H[k * P + k]);
            if (s.lambda / top > LAMBDA_RATIO_LIMIT || s.lambda > LAMBDA_LIMIT) return LAPLACE_DAMPING_END;
            for (int k = 0; k < P; ++k) H[k * P + k] += s.lambda;
        }
        if (sym_inverse(P, H.data(), Hinv.data(), work.data(), P, P) != 0) return LAPLACE_SINGULAR_H;
        matmul_nn(P, P, 1, Hinv.data(), s.score.data(), step.data());
        const double usedLambda = s.lambda;
        // Apply the step; halve it while the new Tau is unusable.
        double t = 1.0;
        bool usable = false;
        for (int half = 0; half <= (six ? MAX_TAU_HALVINGS : 0); ++half, t *= 0.5) {
            for (int k = 0; k < F; ++k) s.gamma[k] = saved.gamma[k] + t * step[k];
            for (int a = 0, k = F; a < q; ++a)
                for (int b = 0; b <= a; ++b, ++k) s.tau[a * q + b] = s.tau[b * q + a] = saved.tau[a * q + b] + t * step[k];
            std::vector<double> inv(q * q), w2(std::max(3, q * (q + 1) / 2));
            if (sym_inverse(q, s.tau.data(), inv.data(), w2.data(), q, q) == 0 &&
                pd_check(0, q, s.tau.data(), nullptr, q) == 0) {
                usable = true;
                break;
            }
        }
        if (!usable) {
            const double lambda = s.lambda;
            s = saved;
            s.lambda = lambda;
            return six ? LAPLACE_HALVINGS : LAPLACE_BAD_TAU;
        }
        s.modes = saved.modes;
        std::vector<double> sc(P), inf(static_cast<size_t>(P) * P);
        double ll = 0.0;
        const bool ok = modes_at(d, s, ',', marks) && laplace_evaluate(d, order, s, &ll, sc.data(), inf.data()) == 0;
        if (!ok && !six) {
            s = saved;
            return LAPLACE_SINGULAR_C;
        }
        if (six && s.iteration >= 2 && !(ok && ll > saved.logLik)) {
            // Lower likelihood: restore, damp harder and retry.
            if (marks) marks->push_back('*');
            const double lambda = (s.lambda < 0.0 ? 0.01 : s.lambda) * 10.0;
            s = saved;
            s.lambda = lambda;
            continue;
        }
        if (!ok) {
            const double lambda = s.lambda;
            s = saved;
            s.lambda = lambda;
            return LAPLACE_SINGULAR_C;
        }
        if (six && s.iteration >= 2 && s.lambda != -1.0 && s.lambda == usedLambda) {
            s.lambda /= 10.0;
            if (marks) marks->push_back('/');
        }
        s.logLik = ll;
        s.score = sc;
        s.info = inf;
        ++s.iteration;
        if (sym_inverse(P, s.info.data(), s.cov.data(), work.data(), P, P) != 0) return LAPLACE_SINGULAR_H;
        return LAPLACE_OK;
    }
}
