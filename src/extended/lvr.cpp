// Latent variable regression among the random coefficients of a full-ML fit,
// with delta-method standard errors from the covariance of the Tau elements.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "extended/extended.h"
#include "numeric/numeric.h"
#include "report/report.h"

namespace {

// Position of Tau element (a, b), a >= b, in the packed lower triangle.
int tau_element(int a, int b) { return a >= b ? a * (a + 1) / 2 + b : b * (b + 1) / 2 + a; }

// One outcome: alpha, residual variance and the delta-method covariance.
// Returns false when Tau_PP cannot be used.
bool regress_one(int r, const double* tau, const double* tauCov, int ldCov, int o, const std::vector<int>& P,
                 long J, LvrResult& res) {
    const int k = static_cast<int>(P.size());
    const int m = r * (r + 1) / 2;
    std::vector<double> A(k * k), Ainv(k * k), c(k), work(std::max(3, k * (k + 1) / 2) + 3);
    for (int i = 0; i < k; ++i) {
        c[i] = tau[P[i] * r + o];
        for (int j = 0; j < k; ++j) A[i * k + j] = tau[P[i] * r + P[j]];
    }
    // Without a residual degree of freedom the t-ratios have no distribution.
    if (J - k - 1 < 1 || pd_check(0, k, A.data(), nullptr, k) != 0) return false;
    if (sym_inverse(k, A.data(), Ainv.data(), work.data(), k, k) != 0) return false;

    res.outcome = o;
    res.predictors = P;
    res.alpha.assign(k, 0.0);
    for (int i = 0; i < k; ++i)
        for (int j = 0; j < k; ++j) res.alpha[i] += Ainv[i * k + j] * c[j];
    res.residualVariance = tau[o * r + o];
    for (int i = 0; i < k; ++i) res.residualVariance -= c[i] * res.alpha[i];
    res.df = J - k - 1;

    // d alpha / d tau_e = A^-1 (dc - dA alpha), dTau the symmetric unit change of element e.
    std::vector<double> Jac(static_cast<std::size_t>(k) * m, 0.0), v(k);
    for (int a = 0; a < r; ++a)
        for (int b = 0; b <= a; ++b) {
            const int e = tau_element(a, b);
            auto d = [&](int x, int y) { return (x == a && y == b) || (x == b && y == a) ? 1.0 : 0.0; };
            for (int i = 0; i < k; ++i) {
                v[i] = d(P[i], o);
                for (int j = 0; j < k; ++j) v[i] -= d(P[i], P[j]) * res.alpha[j];
            }
            for (int i = 0; i < k; ++i)
                for (int j = 0; j < k; ++j) Jac[i * m + e] += Ainv[i * k + j] * v[j];
        }
    res.cov.assign(static_cast<std::size_t>(k) * k, 0.0);
    for (int i = 0; i < k; ++i)
        for (int j = 0; j < k; ++j)
            for (int e = 0; e < m; ++e)
                for (int f = 0; f < m; ++f) res.cov[i * k + j] += Jac[i * m + e] * tauCov[e * ldCov + f] * Jac[j * m + f];
    res.se.assign(k, 0.0);
    for (int i = 0; i < k; ++i) res.se[i] = res.cov[i * k + i] > 0.0 ? std::sqrt(res.cov[i * k + i]) : 0.0;
    return true;
}

}  // namespace

int latent_variable_regression(int r, const double* tau, const double* tauCov, int ldCov, const int* roles,
                               long J, std::vector<LvrResult>& results) {
    results.clear();
    std::vector<int> P, O;
    for (int q = 0; q < r; ++q) {
        if (roles[q] == LVR_PREDICTOR) P.push_back(q);
        if (roles[q] == LVR_OUTCOME) O.push_back(q);
    }
    if (P.empty() || O.empty() || tauCov == nullptr) return 1;
    for (int o : O) {
        LvrResult res;
        if (!regress_one(r, tau, tauCov, ldCov, o, P, J, res)) {
            results.clear();
            return 1;
        }
        results.push_back(res);
    }
    return 0;
}

void print_lvr_section(FILE* out, const std::vector<LvrResult>& results, const std::vector<std::string>& names,
                       char letter, const std::vector<std::string>& labels) {
    auto name = [&](int q) { return q < static_cast<int>(names.size()) ? names[q].c_str() : ""; };
    auto label = [&](int q) { return q < static_cast<int>(labels.size()) ? labels[q].c_str() : ""; };
    std::fprintf(out, "\n\n Latent Variable Regression Results\n\n");
    for (const LvrResult& res : results) {
        std::fprintf(out, " Outcome: %8.8s,%c%s\n", name(res.outcome), letter, label(res.outcome));
        report_rule(out, 76);
        std::fprintf(out, "                                       Standard\n");
        std::fprintf(out, "    Predictor            Coefficient   Error      T-ratio   d.f.     P-value\n");
        report_rule(out, 76);
        for (std::size_t i = 0; i < res.predictors.size(); ++i) {
            const int q = res.predictors[i];
            const double t = res.se[i] > 0.0 ? res.alpha[i] / res.se[i] : 0.0;
            std::fprintf(out, "    %8.8s,%c%s          ", name(q), letter, label(q));
            std::fprintf(out, "%13.6lf %10.6lf  %8.3lf  %8ld    %5.3lf\n", res.alpha[i], res.se[i], t, res.df,
                         t_two_sided_p(t, res.df));
        }
        report_rule(out, 76);
        std::fprintf(out, " Residual variance = %12.5lf\n", res.residualVariance);
        std::fprintf(out, "\n");
    }
}

void write_lvr_file(const char* name, const std::vector<LvrResult>& results) {
    FILE* f = open_or_die(name, "w");
    for (const LvrResult& res : results) {
        const int k = static_cast<int>(res.alpha.size());
        write_matrix_row(k, res.alpha.data(), "%15.7lf ", f);
        for (int i = 0; i < k; ++i) write_matrix_row(k, &res.cov[static_cast<std::size_t>(i) * k], "%15.7lE ", f);
        write_matrix_row(1, &res.residualVariance, "%15.7lf", f);
    }
    std::fclose(f);
}

void report_latent_variable_regression(FILE* out, const LinearFit& fit, const std::vector<int>& roles) {
    const int r = fit.r, m = r * (r + 1) / 2;
    std::vector<LvrResult> results;
    // The Tau block of the inverse information (Tau elements, then sigma2).
    const bool haveCov = fit.fullML && fit.haveVarianceSE &&
                         fit.varianceCov.size() >= static_cast<std::size_t>(m + 1) * (m + 1);
    const bool ok = r > 0 && static_cast<int>(roles.size()) == r && fit.tau.size() >= static_cast<std::size_t>(r) * r &&
                    latent_variable_regression(r, fit.tau.data(), haveCov ? fit.varianceCov.data() : nullptr, m + 1,
                                               roles.data(), fit.J, results) == 0;
    if (!ok) {
        std::fprintf(out, "Unable to compute latent variable regression.\n");
        return;
    }
    print_lvr_section(out, results, fit.randomNames, fit.coefLetter, fit.randomLabels);
    write_lvr_file("lvralpha.dat", results);
}
