// Multivariate Wald tests of linear hypotheses about the fixed effects.
#include <cstdio>
#include <string>
#include <vector>

#include "app/base.h"
#include "numeric/numeric.h"
#include "report/report.h"
#include "report/report_internal.h"

namespace {

constexpr int MAX_HYPOTHESES = 24;

bool is_blank(const std::string& s) { return s.find_first_not_of(' ') == std::string::npos; }

}  // namespace

int wald_chi_square(int q, int p, const double* C, const double* gamma, const double* V, int ldV,
                    double* chi2) {
    *chi2 = 0.0;
    if (q <= 0 || p <= 0) return 1;
    std::vector<double> CV((std::size_t)q * p, 0.0), A((std::size_t)q * q, 0.0), Ainv((std::size_t)q * q, 0.0);
    std::vector<double> work((std::size_t)q * (q + 1) / 2 + 3, 0.0), c((std::size_t)q, 0.0);
    matmul_ld_nn(q, p, p, C, V, CV.data(), p, ldV, p);
    matmul_ld_nt(q, p, q, CV.data(), C, A.data(), p, p, q);
    if (sym_inverse(q, A.data(), Ainv.data(), work.data(), q, q) == 1) return 1;
    for (int i = 0; i < q; ++i) {
        double s = 0.0;
        for (int k = 0; k < p; ++k) s += C[(long)i * p + k] * gamma[k];
        c[i] = s;
    }
    double x = 0.0;
    for (int i = 0; i < q; ++i)
        for (int j = 0; j < q; ++j) x += c[i] * Ainv[(long)i * q + j] * c[j];
    *chi2 = x;
    return 0;
}

void general_linear_hypothesis(FILE* out, const ReportLabels& L, int p, const double* gamma,
                               const double* V, int ldV, const short* hypothesisRows,
                               const double* contrasts) {
    if (hypothesisRows == nullptr || contrasts == nullptr || p <= 0) return;
    if (hypothesisRows[0] > p) {
        std::fprintf(out, "Sorry, but the number of contrasts cannot exceed the number of gammas.\n");
        return;
    }
    long offset = 0;  // first contrast row of the current hypothesis
    for (int h = 0; h < MAX_HYPOTHESES; ++h) {
        const int q = hypothesisRows[h];
        if (q <= 0) break;
        const double* C = contrasts + offset * p;
        offset += q;

        std::fprintf(out, "\f                Results of General Linear Hypothesis Testing\n");
        report_rule(out, 77);
        std::fprintf(out, "                                   Coefficients      Contrast\n");
        report_rule(out, 77);
        for (int k = 0; k < p; ++k) {
            if (k < (int)L.gammaGroupLabels.size() && !is_blank(L.gammaGroupLabels[k]))
                std::fprintf(out, " For %s\n", L.gammaGroupLabels[k].c_str());
            const char* label = k < (int)L.gammaLabels.size() ? L.gammaLabels[k].c_str() : "";
            std::fprintf(out, "     %s          %14.6lf   ", label, gamma[k]);
            for (int i = 0; i < q; ++i) std::fprintf(out, " %7.3lf", C[(long)i * p + k]);
            std::fprintf(out, "\n");
        }

        double chi2 = 0.0;
        if (wald_chi_square(q, p, C, gamma, V, ldV, &chi2) != 0) {
            std::fprintf(out,
                         "\nIt appears that the %ld constrasts you are testing are not independent.\n"
                         "The chi-square cannot be computed.\n",
                         (long)q);
            continue;
        }
        std::fprintf(out, "\nChi-square statistic = %lf\n", chi2);
        std::fprintf(out, "Degrees of freedom   = %ld\n", (long)q);
        std::fprintf(out, "P-value              = ");
        if (chi2 >= q)
            std::fprintf(out, "%lf\n", tail_probability(chi2, q, 1));
        else
            std::fprintf(out, ">.500\n");
    }
}
