// Maximum-likelihood refinements on the contraception data as counts (the binomial
// and Poisson references of counts_ref.tsv, which no command file can express),
// finite-difference checks of the analytic derivatives, and the one-point
// quadrature against the Laplace approximation. The Bernoulli references run end
// to end in pql_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/reference_check.h"
#include "nonlinear/refine.h"
#include "support/test_support.h"

namespace {

// Contraception data as one record store: the random-intercept model (intercept
// on PURBAN, fixed AGE, URBAN, LC1..LC3) or the random urban slope model (and,
// with q = 3, a random LC1 slope too). maxUnits limits the districts; a family
// other than Bernoulli turns USE into a count.
RefineData contra(bool slope, int maxUnits = 1000, RefineFamily family = RefineFamily::Bernoulli, int q3 = 0)
{
    std::map<std::string, double> purban;
    std::ifstream l2(testsupport::data_path("nonlinear/contra/contra2.dat"));
    std::string id;
    double v;
    while (l2 >> id >> v) purban[id] = v;
    std::ifstream l1(testsupport::data_path("nonlinear/contra/contra1.dat"));
    const int F = slope ? 6 : 7, q = slope ? 2 + q3 : 1;
    const bool count = family != RefineFamily::Bernoulli;
    RefineData d;
    refine_data_begin(d, family, F, q, count);
    std::vector<double> y, n, X, Z;
    std::string cur;
    auto flush = [&] {
        if (!y.empty() && d.J < maxUnits) refine_data_add_unit(d, (int)y.size(), y.data(), n.data(), X.data(), Z.data());
        y.clear(), n.clear(), X.clear(), Z.clear();
    };
    double r[6];
    while (l1 >> id >> r[0] >> r[1] >> r[2] >> r[3] >> r[4] >> r[5]) {
        if (id != cur) flush(), cur = id;
        const double c = 1 + (y.size() % 3);  // trials or exposure 1, 2, 3 in turn
        y.push_back(count ? r[0] * c + (family == RefineFamily::Poisson ? r[3] : 0) : r[0]);
        n.push_back(c);
        std::vector<double> x = {1.0};
        if (!slope) x.push_back(purban[id]);
        x.insert(x.end(), r + 1, r + 6);
        X.insert(X.end(), x.begin(), x.end());
        Z.push_back(1.0);
        if (slope) Z.push_back(r[2]);
        if (q3) Z.push_back(r[3]);
    }
    flush();
    return d;
}

void expect_reference(const RefineData& d, const RefineState& s, const std::string& block, double tolScale)
{
    // The deviance is -2 (log-likelihood minus the linear engine's constant floor(N/2) ln 2pi).
    const double dev = -2.0 * (s.logLik - (double)(refine_data_records(d) / 2) * std::log(6.2831853));
    refcheck::Quantities got{{"gamma", s.gamma}, {"se", std::vector<double>(d.F)}, {"deviance", {dev}}};
    std::vector<double> seTau(tau_distinct(d.q));
    refine_standard_errors(d, s, got["se"].data(), seTau.data());
    for (int a = 0; a < d.q; ++a)
        for (int b = 0; b <= a; ++b) got["tau"].push_back(s.tau[a * d.q + b]);
    EXPECT_EQ(refcheck::compare("nonlinear/contra/counts_ref.tsv", block, got, 0.0, tolScale), 2 * d.F + 2) << block;
}

// A plain start: gamma 0 but the intercept at the logit of the mean, Tau 0.2 I.
RefineState start(const RefineData& d)
{
    double m = 0, n = 0;
    for (size_t r = 0; r < d.y.size(); ++r) m += d.y[r], n += d.hasCount ? d.n[r] : 1;
    m /= n;
    std::vector<double> g(d.F, 0.0), t(d.q * d.q, 0.0);
    g[0] = d.family == RefineFamily::Poisson ? std::log(m) : std::log(m / (1 - m));
    for (int a = 0; a < d.q; ++a) t[a * d.q + a] = 0.2;
    RefineState s;
    refine_state_begin(s, d, g.data(), t.data(), nullptr);
    return s;
}

// A few one-point quadrature (first-order Laplace) steps: the start of the EM Laplace fits.
RefineState laplace_start(const RefineData& d)
{
    RefineState s = start(d);
    for (int it = 0; it < 3; ++it) agq_step(d, 1, s, stdout);
    s.haveDerivatives = false;
    s.iteration = 0;
    return s;
}

TEST(Refine, CountsReproduceMaximumLikelihood)
{
    // References from lme4's glmer with 25-point adaptive quadrature on the derived counts;
    // EM Laplace (order 2) takes the Poisson one at five times its tolerance.
    struct Case { int points, emOrder; const char* block; RefineFamily family; double scale; };
    for (const Case& c : {Case{25, 0, "binomial", RefineFamily::Binomial, 1}, Case{25, 0, "poisson", RefineFamily::Poisson, 1},
                          Case{0, 2, "poisson", RefineFamily::Poisson, 5}}) {
        RefineData d = contra(false, 1000, c.family);
        RefineState s = c.emOrder ? laplace_start(d) : start(d);
        int it = 0;
        for (; it < 2000; ++it) {
            std::vector<double> g0 = s.gamma, t0 = s.tau;
            ASSERT_TRUE(c.emOrder ? emlap_iteration(d, c.emOrder, s) == EMLAP_GO_ON : agq_step(d, c.points, s, stdout) == AGQ_GO_ON);
            if (it > 0 && nonlinear_converged(d.F, g0.data(), s.gamma.data(), d.q, t0.data(), s.tau.data(), 1e-6)) break;
        }
        EXPECT_LT(it, 2000);
        expect_reference(d, s, c.block, c.scale);
    }
}

}  // namespace

namespace {

// Central differences of f at theta (P values): gradient and Hessian.
template <class Fn>
void finite_differences(int P, std::vector<double> theta, Fn f, std::vector<double>& g, std::vector<double>& H)
{
    const double h = 1e-4;
    g.assign(P, 0.0);
    H.assign(P * P, 0.0);
    const double f0 = f(theta);
    for (int a = 0; a < P; ++a) {
        auto ta = theta;
        ta[a] += h;
        const double fp = f(ta);
        ta[a] -= 2 * h;
        const double fm = f(ta);
        g[a] = (fp - fm) / (2 * h);
        H[a * P + a] = -(fp - 2 * f0 + fm) / (h * h);
        for (int b = 0; b < a; ++b) {
            double s = 0;
            for (int sa : {1, -1})
                for (int sb : {1, -1}) {
                    auto t = theta;
                    t[a] += sa * h, t[b] += sb * h;
                    s += sa * sb * f(t);
                }
            H[a * P + b] = H[b * P + a] = -s / (4 * h * h);
        }
    }
}

TEST(Refine, AnalyticDerivativesMatchFiniteDifferences)
{
    // Fixed rules: score and information exact. Adaptive rules (moved to each unit's mode
    // and dispersion at every parameter value): the score is exact, the information is not.
    struct Case { RefineFamily family; bool slope; int points, q3; bool adaptive; };
    for (const Case& c : {Case{RefineFamily::Bernoulli, true, 3, 0, false}, Case{RefineFamily::Binomial, false, 4, 0, false},
                          Case{RefineFamily::Poisson, true, 2, 0, false}, Case{RefineFamily::Bernoulli, true, 2, 1, false},
                          Case{RefineFamily::Bernoulli, true, 1, 0, true}, Case{RefineFamily::Poisson, false, 3, 0, true},
                          Case{RefineFamily::Binomial, true, 2, 1, true}}) {
        RefineData d = contra(c.slope, 6, c.family, c.q3);
        RefineState s = start(d);
        s.gamma[0] = c.family == RefineFamily::Poisson ? -0.5 : -1.0;
        ASSERT_EQ(refine_unit_modes(d, s), 0);
        AgqRule rule;
        ASSERT_EQ(agq_rule(c.points, d.q, rule, stdout), 1);
        const int P = d.F + tau_distinct(d.q);
        std::vector<double> theta(s.gamma);
        theta.push_back(0.5);
        if (c.slope) theta.push_back(-0.2), theta.push_back(0.6);
        if (c.q3) theta.insert(theta.end(), {0.1, 0.2, 0.3});
        auto f = [&](const std::vector<double>& t) {
            return agq_evaluate(d, rule, t.data(), t.data() + d.F, s.modes.data(), s.disp.data(), c.adaptive, nullptr,
                                nullptr);
        };
        std::vector<double> g(P), H(P * P), gf, Hf;
        agq_evaluate(d, rule, theta.data(), theta.data() + d.F, s.modes.data(), s.disp.data(), c.adaptive, g.data(),
                     H.data());
        finite_differences(P, theta, f, gf, Hf);
        for (int a = 0; a < P; ++a) {
            EXPECT_NEAR(g[a], gf[a], 1e-5 * (1 + std::fabs(gf[a]))) << c.points << " " << a;
            for (int b = 0; b < P && !c.adaptive; ++b)
                EXPECT_NEAR(H[a * P + b], Hf[a * P + b], 1e-3 * (1 + std::fabs(Hf[a * P + b]))) << a << "," << b;
        }
    }
}

}  // namespace

namespace {

TEST(Refine, LaplaceScoreMatchesFiniteDifferencesAndOnePointQuadrature)
{
    for (int order : {2, 6, 8}) {
        RefineData d = contra(true, 6);
        RefineState s = start(d);
        s.gamma[0] = -1.0, s.tau = {0.5, -0.1, -0.1, 0.4};
        const int P = d.F + 3;
        auto f = [&](const std::vector<double>& t) {
            RefineState u = s;
            u.gamma.assign(t.begin(), t.begin() + d.F);
            u.tau = {t[d.F], t[d.F + 1], t[d.F + 1], t[d.F + 2]};
            double ll = 0;
            EXPECT_EQ(refine_unit_modes(d, u), 0);
            EXPECT_EQ(laplace_evaluate(d, order, u, &ll, nullptr, nullptr), 0);
            return ll;
        };
        std::vector<double> theta(s.gamma), g(P), H(P * P), gf, Hf;
        theta.insert(theta.end(), {0.5, -0.1, 0.4});
        ASSERT_EQ(refine_unit_modes(d, s), 0);
        double ll;
        ASSERT_EQ(laplace_evaluate(d, order, s, &ll, g.data(), H.data()), 0);
        finite_differences(P, theta, f, gf, Hf);
        for (int a = 0; a < P; ++a) EXPECT_NEAR(g[a], gf[a], 1e-5 * (1 + std::fabs(gf[a]))) << order << " " << a;
        if (order == 2) {
            AgqRule rule;
            agq_rule(1, 2, rule, stdout);
            const double chol[3] = {std::sqrt(0.5), -0.1 / std::sqrt(0.5), std::sqrt(0.4 - 0.02)};
            EXPECT_NEAR(agq_evaluate(d, rule, s.gamma.data(), chol, s.modes.data(), s.disp.data(), false, nullptr, nullptr),
                        ll, 1e-9);
            // And one-point quadrature iterated to convergence maximises the first-order Laplace
            // likelihood (all 60 districts: on six the slope variance goes to 0).
            const RefineData all = contra(true);
            RefineState a = start(all);
            int it = 0;
            for (; it < 100; ++it) {
                const std::vector<double> g0 = a.gamma, t0 = a.tau;
                ASSERT_EQ(agq_step(all, 1, a, stdout), AGQ_GO_ON); printf("%d %.12f %g %g %g %g\n", it, a.logLik, a.gamma[0], a.tau[0], a.tau[2], a.tau[1]);
                if (nonlinear_converged(all.F, g0.data(), a.gamma.data(), 2, t0.data(), a.tau.data(), 1e-7)) break;
            }
            EXPECT_LT(it, 20);
            ASSERT_EQ(refine_unit_modes(all, a), 0);
            ASSERT_EQ(laplace_evaluate(all, 2, a, &ll, g.data(), H.data()), 0);
            EXPECT_NEAR(ll, a.logLik, 1e-7);
            for (int k = 0; k < P; ++k) EXPECT_NEAR(g[k], 0.0, 1e-5) << k;
        }
    }
}

}  // namespace

#include "report/report_test_util.h"

namespace {

TEST(Refine, ResultsBlocksMatchGolden)
{
    ReportLabels L = reporttest::sample_labels();
    L.nonLinear = true;
    const double gamma[3] = {-1.25, 0.5, 0.125};
    const double tau[4] = {0.4, -0.1, -0.1, 0.3};
    std::vector<double> cov(36, 0.0);
    for (int k = 0; k < 6; ++k) cov[k * 6 + k] = 0.01 * (k + 1);
    const long df[3] = {57, 57, 1932};
    const double rel[2] = {0.61, 0.42};
    std::string text = reporttest::capture([&](FILE* f) {
        print_agq_block(f, L, 10, 3, 3, 2, gamma, tau, cov.data(), df, "     USE", -2986.5);
        L.poisson = true;
        print_laplace_block(f, L, 8, 2, 3, 2, gamma, tau, cov.data(), df, "     USE", -2986.25);
        print_emlaplace_block(f, L, 2, 4, 3, 2, gamma, tau, cov.data(), df, "     USE", -2986.125, rel);
    });
    reporttest::expect_golden("refine_blocks.txt", text);
}

}  // namespace

namespace {

TEST(Refine, FailuresReportTheirStatus)
{
    EXPECT_EQ(agq_node_count(10, 4), 10000);
    EXPECT_EQ(agq_node_count(22, 3), AGQ_MAX_NODES + 1);
    RefineData d = contra(false, 6);
    const RefineData ok = d, two = contra(true, 6);
    for (long r = 0; r < refine_data_records(d); ++r) d.X[r * d.F + 1] = 1.0;  // PURBAN copies the intercept
    struct Case { const RefineData* data; int method, order, expected; double lambda; };
    const Case cases[] = {
        {&d, 'A', 10, AGQ_SINGULAR_INFO, -1},     {&two, 'A', 101, AGQ_SINGULAR_INFO, -1},
        {&d, 'L', 6, LAPLACE_SINGULAR_H, -1},     {&d, 'L', 8, LAPLACE_SINGULAR_H, -1},
        {&ok, 'L', 6, LAPLACE_DAMPING_END, 1e21}, {&d, 'E', 2, EMLAP_FAILED_THETA1, -1},
        {&ok, 'E', 5, EMLAP_BAD_ORDER, -1},
    };
    for (const Case& c : cases) {
        RefineState s = start(*c.data);
        s.lambda = c.lambda;
        const int status = c.method == 'A'   ? agq_step(*c.data, c.order, s, stdout)
                           : c.method == 'L' ? laplace_iteration(*c.data, c.order, s, nullptr)
                                             : emlap_iteration(*c.data, c.order, s);
        EXPECT_EQ(status, c.expected) << (char)c.method << c.order;
    }
}

}  // namespace
