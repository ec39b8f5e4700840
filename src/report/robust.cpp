// Robust (sandwich) covariance of the fixed effects with its report, and the
// homogeneity test of the level-1 variance.
#include <cmath>
#include <cstdio>
#include <vector>

#include "app/base.h"
#include "numeric/numeric.h"
#include "report/report.h"
#include "report/report_internal.h"

void robust_begin(RobustAccumulator& acc, int p) {
    acc.p = p > 0 ? p : 0;
    acc.B.assign((std::size_t)acc.p * acc.p, 0.0);
    acc.score.assign((std::size_t)acc.p, 0.0);
}

void robust_add_unit(RobustAccumulator& acc, const double* g, const double* H, int ldH, const double* gamma,
                     int q, const double* Z, int ldZ, const double* u, double randomFactor, double divisor) {
    const int p = acc.p;
    double* s = acc.score.data();
    for (int i = 0; i < p; ++i) {
        double x = g[i];
        if (H)
            for (int k = 0; k < p; ++k) x -= H[(long)i * ldH + k] * gamma[k];
        if (Z && u)
            for (int k = 0; k < q; ++k) x += randomFactor * Z[(long)i * ldZ + k] * u[k];
        s[i] = divisor != 0.0 ? x / divisor : x;
    }
    for (int i = 0; i < p; ++i)
        for (int j = 0; j < p; ++j) acc.B[(long)i * p + j] += s[i] * s[j];
}

int robust_finish(const RobustAccumulator& acc, const double* kept, int ld, double sigma2, bool randomEffects,
                  double* R) {
    const int p = acc.p;
    if (p <= 0) return 1;
    // The kept matrix is in units of sigma2; with random effects the scores
    // were divided by sigma2, so M must be the covariance itself.
    const double scale = randomEffects ? sigma2 : 1.0;
    std::vector<double> M((std::size_t)p * p), MB((std::size_t)p * p);
    for (int i = 0; i < p; ++i)
        for (int j = 0; j < p; ++j) M[(long)i * p + j] = kept[(long)i * ld + j] * scale;
    matmul_nn(p, p, p, M.data(), acc.B.data(), MB.data());
    matmul_nn(p, p, p, MB.data(), M.data(), R);
    if (sigma2 != 0.0) mat_scale(p, p, R, 1.0 / sigma2, p);
    return pd_check(0, p, R, nullptr, p) != 0 ? 1 : 0;
}

int robust_covariance(FILE* out, const ReportLabels& L, const RobustInput& in, const RobustAccumulator& acc,
                      double* R) {
    const int p = in.p;
    if (p <= 0 || acc.p != p || robust_finish(acc, in.kept, in.ld, in.sigma2, in.randomEffects, R) != 0) {
        std::fprintf(out, "\nThe robust standard errors cannot be computed for this model.\n");
        return 1;
    }

    // R is in units of sigma2, like the kept matrix.
    FixedTableOptions opt = in.table;
    opt.covScale = in.sigma2;
    print_fixed_effects(out, L, p, in.df, opt, R, in.gamma, in.outcomeName, p);
    if (in.randomEffects && L.nonLinear) print_odds_ratios(out, L, p, in.df, opt, R, in.gamma, p);

    for (int c = 0; c < (int)L.coefficientGammaCounts.size(); ++c) {
        if (in.numUnits - L.coefficientGammaCounts[c] < 20) {
            std::fprintf(out, "\nThe robust standard errors are appropriate for datasets having a moderate to\n");
            std::fprintf(out, "large number of level 2 units.  These data do not meet this criterion.\n");
            break;
        }
    }

    if (in.hypothesisRows && in.hypothesisRows[0] > 0) {
        std::vector<double> V((std::size_t)p * p);
        mat_scale_copy(p, p, R, V.data(), in.sigma2);
        general_linear_hypothesis(out, L, p, in.gamma, V.data(), p, in.hypothesisRows, in.contrasts);
    }
    return 0;
}

int homogeneity_statistic(int J, const long* df, const double* v, double* H, long* dfOut) {
    double sumDf = 0.0, sumDfD = 0.0;
    long valid = 0;
    std::vector<double> d((std::size_t)(J > 0 ? J : 0), -99.0);
    for (int j = 0; j < J; ++j) {
        if (df[j] < 1 || !(v[j] > 0.0)) continue;  // marked missing (-99)
        d[j] = 0.5 * std::log(v[j] + 1.0 / (double)df[j]);
        sumDf += (double)df[j];
        sumDfD += (double)df[j] * d[j];
        ++valid;
    }
    *H = 0.0;
    *dfOut = valid - 1;
    if (valid == 0) return 1;
    const double dbar = sumDfD / sumDf;
    double h = 0.0;
    for (int j = 0; j < J; ++j) {
        if (df[j] < 1 || !(v[j] > 0.0)) continue;
        h += (double)df[j] * (d[j] - dbar) * (d[j] - dbar);
    }
    *H = 2.0 * h;
    return (*H > 0.0 && *dfOut > 0) ? 0 : 1;
}

void print_homogeneity_test(FILE* out, int J, const long* df, const double* v) {
    double H = 0.0;
    long hdf = 0;
    if (homogeneity_statistic(J, df, v, &H, &hdf) != 0) {
        std::fprintf(out, "\n Cannot compute homogeneity of level-1 variance.\n");
        return;
    }
    std::fprintf(out, "\n Test of homogeneity of level-1 variance\n");
    report_rule(out, 40);
    std::fprintf(out, " Chi-square statistic         = %12.5lf\n", H);
    std::fprintf(out, " Number of degrees of freedom = %4ld\n", hdf);
    std::fprintf(out, " P-value                      = ");
    if (H >= (double)hdf)
        std::fprintf(out, "%5.3lf\n", tail_probability(H, hdf, 1));
    else
        std::fprintf(out, ">.500\n");
}
