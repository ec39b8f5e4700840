// The record store of the refinements, their state, standard errors and the
// unit mode search that every refinement starts from.
#include <cmath>
#include <cstring>

#include "nonlinear/refine.h"
#include "nonlinear/refine_internal.h"

using namespace refine_detail;

namespace {

// Unit passes after which the mode search stops whatever the changes.
constexpr int MAX_MODE_PASSES = 200;

// Data constant of one record: ln C(n, y) for binomial, y ln n - ln y! for Poisson.
double record_constant(RefineFamily family, double y, double count, bool hasCount)
{
    if (family == RefineFamily::Binomial)
        return hasCount ? std::lgamma(count + 1.0) - std::lgamma(y + 1.0) - std::lgamma(count - y + 1.0) : 0.0;
    if (family == RefineFamily::Poisson)
        return (hasCount ? y * std::log(count) : 0.0) - std::lgamma(y + 1.0);
    return 0.0;
}

}  // namespace

namespace refine_detail {

bool cholesky(int n, const double* A, double* Lc)
{
    for (int i = 0; i < n * n; ++i) Lc[i] = 0.0;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            double s = A[i * n + j];
            for (int k = 0; k < j; ++k) s -= Lc[i * n + k] * Lc[j * n + k];
            if (i == j) {
                if (!(s > 0.0)) return false;
                Lc[i * n + i] = std::sqrt(s);
            } else {
                Lc[i * n + j] = s / Lc[j * n + j];
            }
        }
    }
    return true;
}

void cholesky_solve(int n, const double* Lc, double* b)
{
    for (int i = 0; i < n; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k) s -= Lc[i * n + k] * b[k];
        b[i] = s / Lc[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
        double s = b[i];
        for (int k = i + 1; k < n; ++k) s -= Lc[k * n + i] * b[k];
        b[i] = s / Lc[i * n + i];
    }
}

void lower_inverse(int n, const double* Lc, double* Linv)
{
    for (int i = 0; i < n * n; ++i) Linv[i] = 0.0;
    for (int c = 0; c < n; ++c) {
        Linv[c * n + c] = 1.0 / Lc[c * n + c];
        for (int i = c + 1; i < n; ++i) {
            double s = 0.0;
            for (int k = c; k < i; ++k) s -= Lc[i * n + k] * Linv[k * n + c];
            Linv[i * n + c] = s / Lc[i * n + i];
        }
    }
}

void cholesky_inverse(int n, const double* Lc, double* Ainv)
{
    std::vector<double> Li(static_cast<size_t>(n) * n);
    lower_inverse(n, Lc, Li.data());
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            double s = 0.0;
            for (int k = i; k < n; ++k) s += Li[k * n + i] * Li[k * n + j];
            Ainv[i * n + j] = Ainv[j * n + i] = s;
        }
}

void unit_work_size(UnitWork& w, long nmax, int q)
{
    const size_t n = static_cast<size_t>(nmax);
    w.xg.assign(n, 0.0);
    w.eta.assign(n, 0.0);
    w.l1.assign(n, 0.0);
    w.l2.assign(n, 0.0);
    w.acc.assign(n, 0.0);
    const size_t qq = static_cast<size_t>(q) * q + q;
    w.q1.assign(qq, 0.0);
    w.q2.assign(qq, 0.0);
    w.q3.assign(qq, 0.0);
    w.q4.assign(qq, 0.0);
}

long max_unit_records(const RefineData& d)
{
    long m = 1;
    for (int j = 0; j < d.J; ++j) m = std::max(m, d.start[j + 1] - d.start[j]);
    return m;
}

void unit_fixed_part(const RefineData& d, long j, const double* gamma, UnitWork& w)
{
    const long r0 = d.start[j], nj = d.start[j + 1] - r0;
    for (long i = 0; i < nj; ++i) {
        const double* x = &d.X[static_cast<size_t>(r0 + i) * d.F];
        double s = 0.0;
        for (int k = 0; k < d.F; ++k) s += x[k] * gamma[k];
        w.xg[i] = s;
    }
}

// Log posterior (without the normal constant), its gradient g and the precision C
// (negative Hessian) of unit j at b.
static double unit_posterior(const RefineData& d, long j, const double* tauInv, const double* b, double* g,
                             double* C, UnitWork& w)
{
    const int q = d.q;
    const long r0 = d.start[j], nj = d.start[j + 1] - r0;
    double h = 0.0;
    for (int a = 0; a < q; ++a) {
        double tb = 0.0;
        for (int c = 0; c < q; ++c) tb += tauInv[a * q + c] * b[c];
        g[a] = -tb;
        h -= 0.5 * b[a] * tb;
        for (int c = 0; c < q; ++c) C[a * q + c] = tauInv[a * q + c];
    }
    for (long i = 0; i < nj; ++i) {
        const long r = r0 + i;
        const double* z = &d.Z[static_cast<size_t>(r) * q];
        double eta = w.xg[i];
        for (int a = 0; a < q; ++a) eta += z[a] * b[a];
        double l, l1, l2;
        record_loglik(d.family, eta, d.y[r], d.hasCount ? d.n[r] : 1.0, &l, &l1, &l2);
        h += l;
        for (int a = 0; a < q; ++a) {
            g[a] += l1 * z[a];
            for (int c = 0; c <= a; ++c) C[a * q + c] -= l2 * z[a] * z[c];
        }
    }
    for (int a = 0; a < q; ++a)
        for (int c = 0; c < a; ++c) C[c * q + a] = C[a * q + c];
    return h;
}

bool unit_mode(const RefineData& d, long j, const double* tauInv, double* b, double* C, double* h,
               UnitWork& w, int maxSteps)
{
    const int q = d.q;
    double* g = w.q1.data();
    double* Lc = w.q2.data();
    double* step = w.q3.data();
    double* trial = w.q4.data();
    double cur = unit_posterior(d, j, tauInv, b, g, C, w);
    for (int it = 0; it < maxSteps; ++it) {
        if (!cholesky(q, C, Lc)) return false;
        for (int a = 0; a < q; ++a) step[a] = g[a];
        cholesky_solve(q, Lc, step);
        double size = 0.0;
        for (int a = 0; a < q; ++a) size = std::max(size, std::fabs(step[a]) / (1.0 + std::fabs(b[a])));
        // The log posterior is concave: a full step is taken unless it lowers it.
        double next = 0.0;
        bool moved = false;
        for (int half = 0; half < 30; ++half) {
            for (int a = 0; a < q; ++a) trial[a] = b[a] + step[a];
            next = unit_posterior(d, j, tauInv, trial, g, C, w);
            if (next >= cur - 1e-12 * std::fabs(cur)) {
                moved = true;
                break;
            }
            for (int a = 0; a < q; ++a) step[a] *= 0.5;
        }
        if (!moved) {
            cur = unit_posterior(d, j, tauInv, b, g, C, w);
            break;
        }
        for (int a = 0; a < q; ++a) b[a] = trial[a];
        cur = next;
        if (size < 1e-11) break;
    }
    *h = cur;
    return cholesky(q, C, Lc);
}

}  // namespace refine_detail

void refine_data_begin(RefineData& d, RefineFamily family, int F, int q, bool hasCount)
{
    d = RefineData{};
    d.family = family;
    d.F = F;
    d.q = q;
    d.hasCount = hasCount;
    d.start.assign(1, 0);
}

void refine_data_add_unit(RefineData& d, int nj, const double* y, const double* n, const double* X,
                          const double* Z)
{
    d.y.insert(d.y.end(), y, y + nj);
    if (d.hasCount) d.n.insert(d.n.end(), n, n + nj);
    d.X.insert(d.X.end(), X, X + static_cast<size_t>(nj) * d.F);
    d.Z.insert(d.Z.end(), Z, Z + static_cast<size_t>(nj) * d.q);
    for (int i = 0; i < nj; ++i) d.constant += record_constant(d.family, y[i], d.hasCount ? n[i] : 1.0, d.hasCount);
    d.start.push_back(d.start.back() + nj);
    ++d.J;
}

long refine_data_records(const RefineData& d)
{
    return d.start.empty() ? 0 : d.start.back();
}

int tau_distinct(int q)
{
    return q * (q + 1) / 2;
}

void refine_state_begin(RefineState& s, const RefineData& d, const double* gamma, const double* tau,
                        const double* modes)
{
    s = RefineState{};
    s.gamma.assign(gamma, gamma + d.F);
    s.tau.assign(tau, tau + d.q * d.q);
    s.modes.assign(static_cast<size_t>(d.J) * d.q, 0.0);
    if (modes) std::memcpy(s.modes.data(), modes, s.modes.size() * sizeof(double));
    s.disp.assign(static_cast<size_t>(d.J) * d.q * d.q, 0.0);
    const int P = d.F + tau_distinct(d.q);
    s.cov.assign(static_cast<size_t>(P) * P, 0.0);
}

void refine_standard_errors(const RefineData& d, const RefineState& s, double* seGamma, double* seTau)
{
    const int P = d.F + tau_distinct(d.q);
    for (int k = 0; k < P; ++k) {
        const double v = s.cov[static_cast<size_t>(k) * P + k];
        const double se = v > 0.0 ? std::sqrt(v) : 0.0;
        if (k < d.F) {
            if (seGamma) seGamma[k] = se;
        } else if (seTau) {
            seTau[k - d.F] = se;
        }
    }
}

int refine_unit_modes(const RefineData& d, RefineState& s, int* repeats)
{
    const int q = d.q;
    UnitWork w;
    unit_work_size(w, max_unit_records(d), q);
    std::vector<double> Lc(q * q), tauInv(q * q), C(q * q), old(q);
    if (!cholesky(q, s.tau.data(), Lc.data())) return 1;
    cholesky_inverse(q, Lc.data(), tauInv.data());
    if (repeats) *repeats = 0;
    // Passes of one Newton step per unit, repeated while some effect still moves by more
    // than the criterion relative to its previous value (effects at 0 are not tested).
    for (int pass = 0; pass < MAX_MODE_PASSES; ++pass) {
        bool moved = false, untested = false;
        for (int j = 0; j < d.J; ++j) {
            double* b = &s.modes[static_cast<size_t>(j) * q];
            std::copy(b, b + q, old.begin());
            unit_fixed_part(d, j, s.gamma.data(), w);
            double h;
            if (!unit_mode(d, j, tauInv.data(), b, C.data(), &h, w, 1)) return 1 + j;
            cholesky(q, C.data(), Lc.data());
            cholesky_inverse(q, Lc.data(), &s.disp[static_cast<size_t>(j) * q * q]);
            for (int a = 0; a < q; ++a) {
                if (old[a] == 0.0) untested = true;
                else if (std::fabs(b[a] - old[a]) > s.modeCriterion * std::fabs(old[a])) moved = true;
            }
        }
        // A first pass from zero modes tests nothing, so a second one follows it.
        if (!moved && !(pass == 0 && untested)) break;
        if (repeats) ++*repeats;
    }
    return 0;
}
