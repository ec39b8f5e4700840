// Timing of the maximum-likelihood refinements on simulated Bernoulli data:
// 1,000,000 level-1 records in 10,000 units, one level-1 predictor X and one
// level-2 predictor W on the intercept, fitted with a random intercept by
// adaptive quadrature with 10 points to convergence (and, for comparison, with
// a random X slope on 10 x 10 points), Laplace-6 and EM-Laplace.
// Usage: bench_agq [units] [records per unit] [s: also the random slope model]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "nonlinear/refine.h"

namespace {

// Process CPU time: the machine is shared, and the target is one core's work.
double seconds_since(std::clock_t t0)
{
    return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
}

RefineData simulate(int J, int n, bool slope)
{
    std::mt19937_64 rng(20261206);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    const int F = 3, q = slope ? 2 : 1;
    RefineData d;
    refine_data_begin(d, RefineFamily::Bernoulli, F, q, false);
    std::vector<double> y(n), X(static_cast<size_t>(n) * F), Z(static_cast<size_t>(n) * q);
    for (int j = 0; j < J; ++j) {
        const double w = normal(rng);
        const double u0 = 0.8 * normal(rng), u1 = 0.4 * normal(rng);
        for (int i = 0; i < n; ++i) {
            const double x = normal(rng);
            const double eta = -0.5 + 0.3 * w + (0.6 + u1) * x + u0;
            y[i] = unif(rng) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0;
            X[i * F] = 1.0, X[i * F + 1] = w, X[i * F + 2] = x;
            Z[i * q] = 1.0;
            if (slope) Z[i * q + 1] = x;
        }
        refine_data_add_unit(d, n, y.data(), nullptr, X.data(), Z.data());
    }
    return d;
}

RefineState plain_start(const RefineData& d)
{
    std::vector<double> g(d.F, 0.0), t(d.q * d.q, 0.0);
    for (int a = 0; a < d.q; ++a) t[a * d.q + a] = 0.2;
    RefineState s;
    refine_state_begin(s, d, g.data(), t.data(), nullptr);
    return s;
}

void show(const char* what, const RefineData& d, const RefineState& s, int iterations, double secs)
{
    std::printf("%-28s %3d iterations %8.2f s  (%.3f s each)  lnL %.4f  gamma", what, iterations, secs,
                iterations ? secs / iterations : 0.0, s.logLik);
    for (double g : s.gamma) std::printf(" %.4f", g);
    std::printf("  tau");
    for (int a = 0; a < d.q; ++a)
        for (int b = 0; b <= a; ++b) std::printf(" %.4f", s.tau[a * d.q + b]);
    std::printf("\n");
}

template <class Step>
int iterate(const RefineData& d, RefineState& s, Step step)
{
    for (int it = 1; it <= 200; ++it) {
        std::vector<double> g0 = s.gamma, t0 = s.tau;
        if (!step()) return -it;
        if (it > 1 && nonlinear_converged(d.F, g0.data(), s.gamma.data(), d.q, t0.data(), s.tau.data(), 1e-6))
            return it;
    }
    return 200;
}

}  // namespace

int main(int argc, char** argv)
{
    const int J = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int n = argc > 2 ? std::atoi(argv[2]) : 100;
    const bool both = argc > 3 && argv[3][0] == 's';
    for (bool slope : {false, true}) {
        if (slope && !both) break;
        const RefineData d = simulate(J, n, slope);
        std::printf("%d units x %d records, %s\n", J, n, slope ? "random intercept and X slope" : "random intercept");
        RefineState s = plain_start(d);
        std::clock_t t0 = std::clock();
        int it = iterate(d, s, [&] { return agq_step(d, 10, s, stdout) == AGQ_GO_ON; });
        show(slope ? "AGQ 10 x 10 points" : "AGQ 10 points", d, s, it, seconds_since(t0));
        // The run's last step: standard errors from the observed information.
        t0 = std::clock();
        const int cov = agq_observed_covariance(d, 10, s, stdout);
        std::printf("%-28s %s %8.2f s\n", "  observed information", cov == AGQ_GO_ON ? "ok    " : "failed", seconds_since(t0));
        s = plain_start(d);
        t0 = std::clock();
        it = iterate(d, s, [&] {
            const int status = laplace_iteration(d, 6, s, nullptr);
            return status == LAPLACE_OK;
        });
        show("Laplace-6", d, s, it, seconds_since(t0));
        s = plain_start(d);
        t0 = std::clock();
        it = iterate(d, s, [&] { return emlap_iteration(d, 2, s) == EMLAP_GO_ON; });
        show("EM-Laplace order 2", d, s, it, seconds_since(t0));
    }
    return 0;
}
