// The final estimates tables: fixed effects, odds ratios, titled matrices and
// correlations, reliabilities, variance components, deviance, model-fit
// summary and the results headers.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/base.h"
#include "numeric/numeric.h"
#include "report/report.h"
#include "report/report_internal.h"

namespace {

// Element i of a label vector, empty when the vector is short.
const std::string& at_or_empty(const std::vector<std::string>& v, int i) {
    static const std::string empty;
    return (i >= 0 && i < (int)v.size()) ? v[i] : empty;
}

bool is_categorical(const ReportLabels& L) { return L.multinomial || L.ordinal; }

bool any_constrained(const ReportLabels& L, int F) {
    for (int k = 0; k < F && k < (int)L.gammaConstrained.size(); ++k)
        if (L.gammaConstrained[k]) return true;
    return false;
}

bool is_blank(const char* s) {
    if (s == nullptr) return true;
    for (; *s; ++s)
        if (*s != ' ') return false;
    return true;
}

// Standard error from a variance; a non-positive variance gives 0.
double standard_error(double v) { return v > 0.0 ? std::sqrt(v) : 0.0; }

bool least_squares(FixedTableMode m) {
    return m == FixedTableMode::LeastSquares || m == FixedTableMode::LeastSquaresRobust;
}

void print_outcome_line(FILE* out, const ReportLabels& L, const char* outcomeName) {
    if (L.plausibleValues || L.multipleImputation) {
        std::fprintf(out, " The %s variables are: ", L.plausibleValues ? "plausible" : "outcome");
        for (std::size_t i = 0; i < L.outcomeNames.size(); ++i) {
            if (i > 0) std::fputc(',', out);
            std::fprintf(out, "%8.8s", L.outcomeNames[i].c_str());
        }
        std::fprintf(out, "\n\n");
        return;
    }
    bool nonLinear = L.nonLinear || is_categorical(L);
    if (nonLinear || !is_blank(outcomeName))
        std::fprintf(out, " The outcome variable is %8.8s\n\n", outcomeName ? outcomeName : "");
}

void print_fixed_title(FILE* out, const ReportLabels& L, const FixedTableOptions& opt) {
    const bool nonLinear = L.nonLinear || is_categorical(L);
    switch (opt.mode) {
        case FixedTableMode::StartingValues:
            std::fprintf(out, " Estimation of fixed effects\n(Based on starting values of covariance components)\n");
            break;
        case FixedTableMode::Final:
            std::fprintf(out, "%s", opt.betweenMacro ? " Estimation of fixed effects:" : " Final estimation of fixed effects:");
            if (nonLinear) {
                if (opt.phase == ModelPhase::UnitSpecific) std::fprintf(out, " (Unit-specific model)");
                if (opt.phase == ModelPhase::PopulationAverage) std::fprintf(out, " (Population-average model)");
                if (opt.phase == ModelPhase::LinearFirstStep) std::fprintf(out, " (linear model with identity link function)");
            }
            std::fprintf(out, "\n");
            break;
        case FixedTableMode::FinalRobust:
            std::fprintf(out, " Final estimation of fixed effects\n");
            if (nonLinear && opt.phase == ModelPhase::UnitSpecific)
                std::fprintf(out, " (Unit-specific model ");
            else if (nonLinear && opt.phase == ModelPhase::PopulationAverage)
                std::fprintf(out, " (Population-average model ");
            else
                std::fprintf(out, " (");
            std::fprintf(out, "with robust standard errors)\n");
            break;
        case FixedTableMode::LeastSquares:
            std::fprintf(out, " Least-squares estimates of fixed effects\n");
            break;
        case FixedTableMode::LeastSquaresRobust:
            std::fprintf(out, " Least-squares estimates of fixed effects\n (with robust standard errors)\n");
            break;
        case FixedTableMode::Laplace:
            std::fprintf(out, " Final estimation of fixed effects\n (Laplace)\n");
            break;
    }
}

}  // namespace

void print_gamma_row_start(FILE* out, const ReportLabels& L, int k, bool* categoryShown) {
    if (is_categorical(L)) {
        const std::string& cat = at_or_empty(L.gammaCategories, k);
        if (!cat.empty() && (k == 0 || cat != at_or_empty(L.gammaCategories, k - 1))) {
            if (*categoryShown) std::fprintf(out, "\n");
            std::fprintf(out, "For Category %.4s\n", cat.c_str());
            *categoryShown = true;
        }
    }
    const std::string& heading = at_or_empty(L.gammaHeadings, k);
    if (!heading.empty()) std::fprintf(out, " For %s\n", heading.c_str());
    bool constrained = k < (int)L.gammaConstrained.size() && L.gammaConstrained[k];
    std::fprintf(out, "    %s%c  ", at_or_empty(L.gammaLabels, k).c_str(), constrained ? '*' : ' ');
}

void print_gamma_table_end(FILE* out, const ReportLabels& L, int F) {
    report_rule(out, 76);
    if (any_constrained(L, F))
        std::fprintf(out, " The \"*\" gammas have been constrained.  See the table on the header page.\n");
    std::fprintf(out, "\n");
}

void print_chi_square_p(FILE* out, double chi2, long df) {
    if (df > 0 && (double)df <= chi2)
        std::fprintf(out, "%5.3lf\n", tail_probability(chi2, df, 1));
    else
        std::fprintf(out, ">.500\n");
}

void print_fixed_effects(FILE* out, const ReportLabels& L, int F, const long* df,
                         const FixedTableOptions& opt, const double* cov, const double* gamma,
                         const char* outcomeName, int ld) {
    if (opt.mode == FixedTableMode::StartingValues || opt.mode == FixedTableMode::Final) std::fputc('\f', out);
    print_outcome_line(out, L, outcomeName);
    print_fixed_title(out, L, opt);

    report_rule(out, 76);
    std::fprintf(out, "                                       Standard");
    if (!least_squares(opt.mode)) std::fprintf(out, "             Approx.");
    std::fprintf(out, "\n");
    std::fprintf(out, "    Fixed Effect         Coefficient   Error      T-ratio   d.f.     P-value\n");
    report_rule(out, 76);

    bool categoryShown = false;
    for (int k = 0; k < F; ++k) {
        print_gamma_row_start(out, L, k, &categoryShown);
        double se = standard_error(cov[(long)k * ld + k] * opt.covScale);
        double t = se > 0.0 ? gamma[k] / se : 0.0;
        std::fprintf(out, "%13.6lf %10.6lf  %8.3lf  ", gamma[k], se, t);
        long d = least_squares(opt.mode) && !opt.perGammaDf ? opt.residualDf : (df ? df[k] : 0);
        if (d > 1)
            std::fprintf(out, "%8ld    %5.3lf\n", d, t_two_sided_p(t, d));
        else
            std::fprintf(out, "Unable to compute\n");
    }
    print_gamma_table_end(out, L, F);
}

void print_odds_ratios(FILE* out, const ReportLabels& L, int F, const long* df,
                       const FixedTableOptions& opt, const double* cov, const double* gamma, int ld) {
    report_rule(out, 76);
    if (L.poisson)
        std::fprintf(out, "                                            Event Rate   Confidence\n");
    else
        std::fprintf(out, "                                            Odds         Confidence\n");
    std::fprintf(out, "    Fixed Effect         Coefficient        Ratio        Interval\n");
    report_rule(out, 76);

    bool categoryShown = false;
    for (int k = 0; k < F; ++k) {
        print_gamma_row_start(out, L, k, &categoryShown);
        std::fprintf(out, "%13.6lf %14.6lf    ", gamma[k], std::exp(gamma[k]));
        long d = least_squares(opt.mode) && !opt.perGammaDf ? opt.residualDf : (df ? df[k] : 0);
        if (d > 1) {
            double se = standard_error(cov[(long)k * ld + k] * opt.covScale);
            double t = t_critical_95(d);
            std::fprintf(out, " (%.3lf,%.3lf)\n", std::exp(gamma[k] - t * se), std::exp(gamma[k] + t * se));
        } else {
            std::fprintf(out, "Unable to compute\n");
        }
    }
    print_gamma_table_end(out, L, F);
}

void print_matrix(FILE* out, const ReportLabels& L, int rows, int cols, const double* A,
                  const std::string* rowNames, const char* title, int ld) {
    std::fprintf(out, "\n %s\n", title ? title : "");
    for (int i = 0; i < rows; ++i) {
        const std::string& name = rowNames ? rowNames[i] : at_or_empty(L.randomNames, i);
        if (is_categorical(L))
            std::fprintf(out, " %.8s(%.4s)", name.c_str(), at_or_empty(L.randomCategories, i).c_str());
        else
            std::fprintf(out, " %.8s,%c%s", name.c_str(), L.coefLetter, at_or_empty(L.randomIndex, i).c_str());
        for (int j = 0; j < cols; ++j) std::fprintf(out, " %12.5lf ", A[(long)i * ld + j]);
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "\n");
}

void print_correlations(FILE* out, const ReportLabels& L, int n, const double* A, const char* title, int ld) {
    std::fprintf(out, "\n%s (as correlations)\n", title ? title : "");
    for (int i = 0; i < n; ++i) {
        std::fprintf(out, " %8.8s", at_or_empty(L.randomNames, i).c_str());
        if (is_categorical(L)) std::fprintf(out, "(%.4s)", at_or_empty(L.randomCategories, i).c_str());
        std::fprintf(out, ",%c%s", L.coefLetter, at_or_empty(L.randomIndex, i).c_str());
        for (int j = 0; j < n; ++j) {
            double d = A[(long)i * ld + i] * A[(long)j * ld + j];
            // A zero variance has no correlation; it prints as 0.
            std::fprintf(out, " %6.3lf", d > 0.0 ? A[(long)i * ld + j] / std::sqrt(d) : 0.0);
        }
        std::fprintf(out, "\n");
    }
}

void print_reliabilities(FILE* out, const ReportLabels& L, int r, const double* reliability) {
    std::fprintf(out, "\n");
    report_rule(out, 52);
    std::fprintf(out, "  Random level-1 coefficient   Reliability estimate\n");
    report_rule(out, 52);
    for (int q = 0; q < r; ++q) {
        std::fprintf(out, "  %8.8s", at_or_empty(L.randomNames, q).c_str());
        const std::string& cat = at_or_empty(L.randomCategories, q);
        if (L.multinomial)
            std::fprintf(out, "(%.4s), %c%s(%.4s)", cat.c_str(), L.coefLetter,
                         at_or_empty(L.randomIndex, q).c_str(), cat.c_str());
        else
            std::fprintf(out, ", %c%s      ", L.coefLetter, at_or_empty(L.randomIndex, q).c_str());
        std::fprintf(out, "                  %5.3lf\n", reliability[q]);
    }
    report_rule(out, 52);
}

void add_variance_component_chi_square(int r, const double* d, const double* V, int ldV, double sigma2,
                                       double* chisq) {
    for (int q = 0; q < r; ++q) {
        double denom = sigma2 * V[(long)q * ldV + q];
        if (denom > 0.0) chisq[q] += d[q] * d[q] / denom;
    }
}

void print_variance_components(FILE* out, const ReportLabels& L, int r, const int* gammaCounts,
                               long unitsUsed, double sigma2, bool printSigma2, const double* tau,
                               int ldTau, const double* chisq) {
    std::fprintf(out, "\n\n Final estimation of variance components:\n");
    report_rule(out, 77);
    std::fprintf(out, " Random Effect           Standard      Variance     df    Chi-square  P-value\n");
    std::fprintf(out, "                         Deviation     Component\n");
    report_rule(out, 77);
    for (int q = 0; q < r; ++q) {
        std::fprintf(out, " %8.8s", at_or_empty(L.randomNames, q).c_str());
        const std::string& cat = at_or_empty(L.randomCategories, q);
        if (is_categorical(L))
            std::fprintf(out, "(%s),   ", cat.c_str());
        else if (q < (int)L.randomIsIntercept.size() && L.randomIsIntercept[q])
            std::fprintf(out, ",      ");
        else
            std::fprintf(out, " slope,");
        std::fprintf(out, " %c%s", L.randomLetter, at_or_empty(L.randomIndex, q).c_str());
        if (is_categorical(L))
            std::fprintf(out, "(%.2s)", cat.c_str());
        else
            std::fprintf(out, "   ");
        double var = tau[(long)q * ldTau + q];
        long df = unitsUsed - (gammaCounts ? gammaCounts[q] : 0);
        if (df < 0) df = 0;
        std::fprintf(out, "%12.5lf  %12.5lf  %4ld  %12.5lf    ", standard_error(var), var, df, chisq[q]);
        print_chi_square_p(out, chisq[q], df);
    }
    if (printSigma2)
        std::fprintf(out, "  level-1,       %c    %12.5lf  %12.5lf\n", L.residualLetter, standard_error(sigma2),
                     sigma2);
}

void print_partial_note(FILE* out, const char* what, long unitsUsed, long J) {
    std::fprintf(out, "\n\nNote: The %s reported above are based on only %ld of %ld\n", what, unitsUsed, J);
    std::fprintf(out, "units that had sufficient data for computation.  Fixed effects and variance\n");
    std::fprintf(out, "components are based on all the data.\n");
}

long deviance_parameter_count(int r, int F, bool fullML, bool sigma2Estimated, int heteroPredictors) {
    long p = (long)r * (r + 1) / 2;
    if (heteroPredictors >= 0)
        p += 1 + heteroPredictors;
    else if (sigma2Estimated)
        p += 1;
    if (fullML) p += F;
    return p;
}

void print_deviance(FILE* out, double logLikelihood, long numParams, double altDeviance, long altParams, bool fullML) {
    // The rules match the width of the section title.
    const int rule = 50;
    double deviance = -2.0 * logLikelihood;
    std::fprintf(out, "\n\n Statistics for current covariance components model\n");
    report_rule(out, rule);
    std::fprintf(out, " Deviance                       = %lf\n", deviance);
    std::fprintf(out, " Number of estimated parameters = %ld\n", numParams);
    if (altDeviance == MISSING_VALUE) return;

    std::fprintf(out, "%s", fullML ? "\n Model comparison test\n" : "\n Variance-Covariance components test\n");
    report_rule(out, rule);
    double chi2 = std::fabs(deviance - altDeviance);
    long df = std::labs(numParams - altParams);
    std::fprintf(out, " Chi-square statistic         = %12.5lf\n", chi2);
    std::fprintf(out, " Number of degrees of freedom = %4ld\n", df);
    std::fprintf(out, " P-value                      = ");
    print_chi_square_p(out, chi2, df);
}

void print_fit_summary(FILE* out, double logLikHomogeneous, double logLikHeterogeneous, int r, int F,
                       bool sigma2Fixed, int heteroPredictors) {
    long tauCount = (long)r * (r + 1) / 2;
    long p1 = tauCount + F + (sigma2Fixed ? 0 : 1);
    long p2 = tauCount + F + 1 + heteroPredictors;
    double d1 = -2.0 * logLikHomogeneous;
    double d2 = -2.0 * logLikHeterogeneous;

    std::fprintf(out, "\n\nSummary of Model Fit\n\n");
    report_rule(out, 67);
    std::fprintf(out, " Model                                Number of         Deviance\n");
    std::fprintf(out, "                                      Parameters\n");
    report_rule(out, 67);
    std::fprintf(out, " 1. Homogeneous sigma_squared            %3ld         %12.5lf\n", p1, d1);
    std::fprintf(out, " 2. Heterogeneous sigma_squared          %3ld         %12.5lf\n", p2, d2);
    report_rule(out, 67);
    std::fprintf(out, " Model Comparison                 Chi-square       df    P-value\n");
    report_rule(out, 67);
    double chi2 = std::fabs(d1 - d2);
    long df = std::labs(p2 - p1);
    std::fprintf(out, " Model 1 vs Model 2              %12.5lf     %3ld     ", chi2, df);
    print_chi_square_p(out, chi2, df);
}

void print_results_header(FILE* out, const ReportLabels& L, ResultsHeader kind, int iteration,
                          const std::vector<std::string>& heteroNames) {
    switch (kind) {
        case ResultsHeader::LinearIdentity:
            std::fprintf(out, "\fRESULTS FOR LINEAR MODEL WITH THE IDENTITY LINK FUNCTION\n\n");
            break;
        case ResultsHeader::NonLinearUnitSpecific:
        case ResultsHeader::NonLinearPopAverage:
            std::fprintf(out, "\fRESULTS FOR NON-LINEAR MODEL WITH THE LOG%s LINK FUNCTION:", L.poisson ? "" : "IT");
            if (kind == ResultsHeader::NonLinearPopAverage)
                std::fprintf(out, "\nPopulation Average Model\n");
            else
                std::fprintf(out, "Unit-Specific Model\n(macro iteration %d)\n", iteration);
            break;
        case ResultsHeader::Multinomial:
            std::fprintf(out, "\fRESULTS FOR MULTINOMIAL ITERATION %d\n\n", iteration);
            break;
        case ResultsHeader::Ordinal:
            std::fprintf(out, "\fRESULTS FOR ORDINAL ITERATION %d\n\n", iteration);
            break;
        case ResultsHeader::HomogeneousSigma2:
            std::fprintf(out, "\fRESULTS FOR HOMOGENEOUS SIGMA-SQUARED\n\n Var(R) = Sigma_squared\n\n");
            break;
        case ResultsHeader::HeterogeneousSigma2:
            std::fprintf(out, "\fRESULTS FOR HETEROGENEOUS SIGMA-SQUARED\n(macro iteration %d)\n", iteration);
            std::fprintf(out, "\n Var(R) = Sigma_squared and\n log(Sigma_squared) = alpha0");
            for (std::size_t k = 0; k < heteroNames.size(); ++k)
                std::fprintf(out, " + alpha%d(%s)", (int)k + 1, heteroNames[k].c_str());
            std::fprintf(out, "\n\n");
            break;
    }
}

void print_iteration_line(FILE* out, int iteration) { std::fprintf(out, " ITERATION %d\n\n", iteration); }

void print_sigma2_line(FILE* out, double sigma2) { std::fprintf(out, " Sigma_squared = %12.5lf\n", sigma2); }
