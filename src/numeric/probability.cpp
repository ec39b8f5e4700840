// Closed-form probability approximations and the Gauss-Hermite rule.
#include <cmath>
#include <vector>

#include "app/base.h"
#include "numeric/numeric.h"

namespace {

// Upper normal tail of a >= 0 by the four-term rational approximation
// (Abramowitz and Stegun 26.2.19).
double normal_upper_tail(double a)
{
    const double poly = ((0.019527 * a + 0.000344) * a * a * a) + ((0.115194 * a + 0.196854) * a + 1.0);
    return 0.5 * std::pow(poly, -4.0);
}

}  // namespace

double tail_probability(double x, long df, int mode)
{
    double z = x;
    if (mode == 1) {
        // Wilson-Hilferty cube root; the exponent 0.3333 is kept as printed
        // results have always used it.
        const double n = static_cast<double>(df);
        z = (std::pow(x / n, 0.3333) - 1.0 + 2.0 / (9.0 * n)) * std::sqrt(4.5 * n);
    }
    const double q = normal_upper_tail(std::fabs(z));
    return mode == 1 ? q : 2.0 * q;
}

double t_two_sided_p(double t, long n)
{
    const double a = std::fabs(t);
    const double a2 = a * a;
    const double phi = a2 > 150.0 ? 0.0 : std::exp(-a2 / 2.0) / std::sqrt(6.283185307);
    const double q = normal_upper_tail(a);
    const double a3 = a2 * a;
    const double a5 = a3 * a2;
    const double a7 = a5 * a2;
    const double a9 = a7 * a2;
    const double a11 = a9 * a2;
    const double g1 = (a3 + a) / 4.0;
    const double g2 = (3.0 * a7 - 7.0 * a5 - 5.0 * a3 - 3.0 * a) / 96.0;
    const double g3 = (a11 - 11.0 * a9 + 14.0 * a7 + 6.0 * a5 - 3.0 * a3 - 15.0 * a) / 384.0;
    const double dn = static_cast<double>(n);
    return 2.0 * (q + phi * (g1 / dn + g2 / (dn * dn) + g3 / (dn * dn * dn)));
}

double t_critical_95(long n)
{
    double best = BIG;
    double result = 0.0;
    for (int i = 1960; i <= 2209; ++i) {
        const double t = i * 0.001;
        const double d = std::fabs(t_two_sided_p(t, n) - 0.05);
        if (d < best) {
            best = d;
            result = t;
        }
    }
    return result;
}

int gauher(double* x, double* w, int n, FILE* report)
{
    if (n <= 0) return 1;
    const int m = (n + 1) / 2;
    // 1-based work arrays, as the root recurrences index them
    std::vector<double> X(static_cast<std::size_t>(n) + 1, 0.0);
    std::vector<double> W(static_cast<std::size_t>(n) + 1, 0.0);
    const double dn = static_cast<double>(n);
    double z = 0.0;
    for (int i = 1; i <= m; ++i) {
        if (i == 1)
            z = std::sqrt(2.0 * dn + 1.0) - 1.85575 * std::pow(2.0 * dn + 1.0, -0.166667);
        else if (i == 2)
            z = z - 1.14 * std::pow(dn, 0.426) / z;
        else if (i == 3)
            z = 1.86 * z - 0.86 * X[1];
        else if (i == 4)
            z = 1.91 * z - 0.91 * X[2];
        else
            z = 2.0 * z - X[i - 2];
        double pp = 0.0;
        bool converged = false;
        for (int iter = 0; iter < 10; ++iter) {
            double p1 = 0.7511255444649425;
            double p2 = 0.0;
            for (int j = 1; j <= n; ++j) {
                const double p3 = p2;
                p2 = p1;
                p1 = z * std::sqrt(2.0 / j) * p2 - std::sqrt((j - 1.0) / j) * p3;
            }
            pp = std::sqrt(2.0 * dn) * p2;
            const double z1 = z;
            z = z1 - p1 / pp;
            if (std::fabs(z - z1) <= 3e-14) {
                converged = true;
                break;
            }
        }
        if (!converged) {
            std::fprintf(report ? report : stdout, "\nToo many iterations in gauher!\n");
            return 0;
        }
        X[i] = z;
        X[n + 1 - i] = -z;
        W[i] = 2.0 / (pp * pp);
        W[n + 1 - i] = W[i];
    }
    for (int i = 0; i < n; ++i) {
        x[i] = X[i + 1];
        w[i] = W[i + 1];
    }
    return 1;
}

int hermite_rule(double* x, double* w, int n, FILE* report)
{
    if (!gauher(x, w, n, report)) return 0;
    for (int k = 0; k < n; ++k) w[k] = w[k] * std::exp(x[k] * x[k]) / std::sqrt(3.1415926535);
    return 1;
}

double log_gamma(double x)
{
    double f = 0.0;
    double z = x;
    if (x < 7.0) {
        // Shift the argument up so the asymptotic series is accurate.
        f = 1.0;
        z = x - 1.0;
        do {
            z = z + 1.0;
            f = f * z;
        } while (z < 7.0);
        z = z + 1.0;
        f = -std::log(f);
    }
    const double u = 1.0 / (z * z);
    return f + (z - 0.5) * std::log(z) - z + 0.918938533204673 +
           (((-0.000595238095238 * u + 0.000793650793651) * u - 0.002777777777778) * u + 0.083333333333333) / z;
}

double normal_quantile(double p, int* fault)
{
    const double q = p <= 0.5 ? p : 1.0 - p;
    *fault = 1;
    if (!(q >= 1e-20)) return 0.0;
    *fault = 0;
    if (q == 0.5) return 0.0;
    const double y = std::sqrt(std::log(1.0 / (q * q)));
    const double z = y + ((((-0.453642210148e-4 * y - 0.0204231210245) * y - 0.342242088547) * y - 1.0) * y -
                          0.322232431088) /
                             ((((0.0038560700634 * y + 0.10353775285) * y + 0.531103462366) * y + 0.588581570495) * y +
                              0.099348462606);
    return p < 0.5 ? -z : z;
}

double chi_square_quantile(double p, double v, double g, int* fault)
{
    *fault = 1;
    if (!(p >= 2e-6 && p <= 0.999998)) return -1.0;
    *fault = 0;
    const double xx = 0.5 * v;
    if (v < -1.24 * std::log(p)) return std::pow(p * xx * std::exp(g + xx * 0.6931471805), 1.0 / xx);
    int nfault = 0;
    const double x = normal_quantile(p, &nfault);
    const double p1 = 0.222222 / v;
    const double c = x * std::sqrt(p1) + 1.0 - p1;
    double ch = v * c * c * c;
    if (ch > 2.2 * v + 6.0) ch = -2.0 * (std::log(1.0 - p) - (xx - 1.0) * std::log(0.5 * ch) + g);
    return ch;
}

double expected_chi_square_quantile(int j, int r, int J, const int* order)
{
    for (int i = 0; i < J; ++i) {
        if (order[i] != j) continue;
        int fault = 0;
        const double q = chi_square_quantile((i + 1 - 0.5) / J, r, log_gamma(r / 2.0), &fault);
        return fault ? -99.0 : q;
    }
    return 0.0;
}
