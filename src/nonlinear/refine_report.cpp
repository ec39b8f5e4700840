// Results blocks of the maximum-likelihood refinements, printed from explicit
// arrays: the adaptive-quadrature and Laplace blocks (Tau, its standard errors
// and correlations, the "(Laplace)" fixed-effects and odds-ratio or event-rate
// tables, the likelihood line) and the EM-Laplace block.
#include <cmath>
#include <vector>

#include "nonlinear/refine.h"
#include "report/report.h"

namespace {

// Standard errors of the distinct Tau elements (at cov[F.., F..]) as a q x q matrix.
std::vector<double> tau_standard_errors(int F, int q, const double* cov)
{
    const int P = F + tau_distinct(q);
    std::vector<double> se(q * q, 0.0);
    for (int a = 0, k = F; a < q; ++a)
        for (int b = 0; b <= a; ++b, ++k) {
            const double v = cov[k * P + k];
            se[a * q + b] = se[b * q + a] = v > 0.0 ? std::sqrt(v) : 0.0;
        }
    return se;
}

// The two "(Laplace)" tables of gamma with the gamma block of cov (row stride P).
void laplace_tables(FILE* out, const ReportLabels& L, int F, int q, const double* gamma, const double* cov,
                    const long* df, const char* outcomeName)
{
    FixedTableOptions opt;
    opt.mode = FixedTableMode::Laplace;
    const int P = F + tau_distinct(q);
    print_fixed_effects(out, L, F, df, opt, cov, gamma, outcomeName, P);
    print_odds_ratios(out, L, F, df, opt, cov, gamma, P);
}

// Header line of the logit or log link.
void link_header(FILE* out, const ReportLabels& L)
{
    std::fprintf(out, "\fRESULTS FOR NON-LINEAR MODEL WITH THE %s LINK FUNCTION: ", L.poisson ? "LOG" : "LOGIT");
}

}  // namespace

void print_agq_block(FILE* out, const ReportLabels& L, int points, int iteration, int F, int q,
                     const double* gamma, const double* tau, const double* cov, const long* df,
                     const char* outcomeName, double logLik)
{
    link_header(out, L);
    std::fprintf(out, "Adaptive Gauss-Hermite Quadrature (%d points)\n(iteration %d)\n", points, iteration);
    const std::vector<double> se = tau_standard_errors(F, q, cov);
    print_matrix(out, L, q, q, tau, nullptr, "Tau", q);
    print_matrix(out, L, q, q, se.data(), nullptr, "Standard Errors of Tau", q);
    print_correlations(out, L, q, tau, "Tau", q);
    laplace_tables(out, L, F, q, gamma, cov, df, outcomeName);
    std::fprintf(out, "\nThe likelihood at AGQ iteration %d is %lE\n\n", iteration, logLik);
}

void print_laplace_block(FILE* out, const ReportLabels& L, int order, int iteration, int F, int q,
                         const double* gamma, const double* tau, const double* cov, const long* df,
                         const char* outcomeName, double logLik)
{
    link_header(out, L);
    std::fprintf(out, "Laplace-%d Model\n(macro iteration %d)\n", order == 8 ? 8 : 6, iteration);
    const std::vector<double> se = tau_standard_errors(F, q, cov);
    print_matrix(out, L, q, q, tau, nullptr, "Tau", q);
    print_matrix(out, L, q, q, se.data(), nullptr, "Standard Errors of Tau", q);
    print_correlations(out, L, q, tau, "Tau", q);
    laplace_tables(out, L, F, q, gamma, cov, df, outcomeName);
    std::fprintf(out, order == 8 ? "\nThe likelihood at Laplace-8 iteration %d is %lE\n\n"
                                 : "\nThe likelihood at Laplace iteration %d is %lE\n\n",
                 iteration, logLik);
}

void print_emlaplace_block(FILE* out, const ReportLabels& L, int order, int iteration, int F, int q,
                           const double* gamma, const double* tau, const double* cov, const long* df,
                           const char* outcomeName, double logLik, const double* reliability)
{
    std::fprintf(out, "\fRESULTS FOR EM LAPLACE-%d ITERATION %d\n\n", order, iteration);
    print_matrix(out, L, q, q, tau, nullptr, "Tau", q);
    print_correlations(out, L, q, tau, "Tau", q);
    print_reliabilities(out, L, q, reliability);
    std::fprintf(out, "\nThe likelihood at EM Laplace-%d iteration %d is %lE\n\n", order, iteration, logLik);
    laplace_tables(out, L, F, q, gamma, cov, df, outcomeName);
}

void emlap_reliabilities(const RefineData& d, const RefineState& s, double* reliability, long* unitsUsed)
{
    const int q = d.q;
    long used = 0;
    std::vector<double> sum(q, 0.0);
    for (int j = 0; j < d.J; ++j) {
        if (d.start[j + 1] == d.start[j]) continue;
        ++used;
        for (int k = 0; k < q; ++k) {
            const double t = s.tau[k * q + k];
            sum[k] += t / (t + s.disp[static_cast<size_t>(j) * q * q + k * q + k]);
        }
    }
    for (int k = 0; k < q; ++k) reliability[k] = used ? sum[k] / used : 0.0;
    if (unitsUsed) *unitsUsed = used;
}

void refine_write_matrix_files(const RefineData& d, const RefineState& s, const char* gammaFile,
                               const char* tauFile)
{
    const int F = d.F, q = d.q, m = tau_distinct(q), P = F + m;
    write_gamma_file(gammaFile, F, s.gamma.data(), s.cov.data(), P, 1.0);
    std::vector<double> tauCov(static_cast<size_t>(m) * m);
    for (int a = 0; a < m; ++a)
        for (int c = 0; c < m; ++c) tauCov[a * m + c] = s.cov[(F + a) * P + F + c];
    write_tau_file(tauFile, q, s.tau.data(), q, m, tauCov.data(), nullptr);
}
