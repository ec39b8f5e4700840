// Models without reference results (fixed level-1 coefficients, constraints,
// grand-mean centring) checked against the likelihood computed directly from
// the dense covariance matrix of each unit: the engine's likelihood must equal
// it at the estimates, and no nearby variance components may do better.
#include <gtest/gtest.h>

#include <cmath>

#include "estimation/fit_fixture.h"

using namespace estimtest;

namespace {

// Cholesky factor of the n x n matrix a in place (lower); false when not positive definite.
bool cholesky(int n, std::vector<double>& a) {
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > 0.0)) return false;
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (int i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (int k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / d;
        }
    }
    return true;
}

// Solves L L' x = b for every column of b (n x m) in place.
void chol_solve(int n, int m, const std::vector<double>& L, std::vector<double>& b) {
    for (int c = 0; c < m; ++c) {
        for (int i = 0; i < n; ++i) {
            double s = b[i * m + c];
            for (int k = 0; k < i; ++k) s -= L[i * n + k] * b[k * m + c];
            b[i * m + c] = s / L[i * n + i];
        }
        for (int i = n - 1; i >= 0; --i) {
            double s = b[i * m + c];
            for (int k = i + 1; k < n; ++k) s -= L[k * n + i] * b[k * m + c];
            b[i * m + c] = s / L[i * n + i];
        }
    }
}

struct Model {
    std::vector<Coef> coefs;
    std::vector<int> constraints;  // per gamma; 0 free
};

int index_of(const std::vector<std::string>& names, const std::string& name) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
}

// Log-likelihood (REML or full ML) from the dense unit covariance matrices, with the
// gammas at their GLS values; the constant is the engine's: floor(Neff/2) ln(2 pi).
double direct_loglik(const DataSet& d, const std::string& outcome, const Model& m, const std::vector<double>& tau,
                     double sigma2, bool fullML) {
    const int Q = static_cast<int>(m.coefs.size());
    std::vector<int> gammaEst;
    int Fe = 0;
    {
        int g = 0;
        for (const Coef& c : m.coefs)
            for (std::size_t k = 0; k < c.l2.size(); ++k, ++g) {
                int e = -1;
                if (m.constraints.size() > static_cast<std::size_t>(g) && m.constraints[g] > 0)
                    for (int h = 0; h < g; ++h)
                        if (m.constraints[h] == m.constraints[g]) {
                            e = gammaEst[h];
                            break;
                        }
                gammaEst.push_back(e >= 0 ? e : Fe++);
            }
    }
    std::vector<int> random;
    for (int q = 0; q < Q; ++q)
        if (m.coefs[q].random) random.push_back(q);
    const int r = static_cast<int>(random.size());
    const int yi = index_of(d.l1Names, outcome);
    std::vector<double> grand(d.l1Names.size(), 0.0), l2mean(d.l2Names.size(), 0.0);
    long N = 0;
    for (const Unit& u : d.units) {
        for (const auto& row : u.rows)
            for (std::size_t s = 0; s < row.size(); ++s) grand[s] += row[s];
        N += static_cast<long>(u.rows.size());
        for (std::size_t s = 0; s < u.l2.size(); ++s) l2mean[s] += u.l2[s];
    }
    for (double& g : grand) g /= static_cast<double>(N);
    for (double& g : l2mean) g /= static_cast<double>(d.units.size());

    double logdetV = 0.0;
    std::vector<double> XVX(Fe * Fe, 0.0), XVy(Fe, 0.0);
    double yVy = 0.0;
    for (const Unit& u : d.units) {
        const int n = static_cast<int>(u.rows.size());
        std::vector<double> unitMean(d.l1Names.size(), 0.0);
        for (const auto& row : u.rows)
            for (std::size_t s = 0; s < row.size(); ++s) unitMean[s] += row[s] / n;
        // Design XW (n x Fe), random design Z (n x r), outcome y.
        std::vector<double> XW(n * Fe, 0.0), Z(n * r, 0.0), y(n);
        for (int i = 0; i < n; ++i) {
            y[i] = u.rows[i][yi];
            int g = 0;
            int zcol = 0;
            for (int q = 0; q < Q; ++q) {
                const Coef& c = m.coefs[q];
                double x = 1.0;
                if (c.name != "INTRCPT1") {
                    const int s = index_of(d.l1Names, c.name);
                    x = u.rows[i][s] - (c.centering == 1 ? unitMean[s] : c.centering == 2 ? grand[s] : 0.0);
                }
                for (std::size_t k = 0; k < c.l2.size(); ++k, ++g) {
                    double w = 1.0;
                    if (c.l2[k] != "INTRCPT2") {
                        const int s = index_of(d.l2Names, c.l2[k]);
                        w = u.l2[s] - (k < c.l2Centering.size() && c.l2Centering[k] == 2 ? l2mean[s] : 0.0);
                    }
                    XW[i * Fe + gammaEst[g]] += x * w;
                }
                if (c.random) Z[i * r + zcol++] = x;
            }
        }
        std::vector<double> V(n * n, 0.0);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                double v = i == j ? sigma2 : 0.0;
                for (int a = 0; a < r; ++a)
                    for (int b = 0; b < r; ++b) v += Z[i * r + a] * tau[a * r + b] * Z[j * r + b];
                V[i * n + j] = v;
            }
        if (!cholesky(n, V)) return -1e300;
        for (int i = 0; i < n; ++i) logdetV += 2.0 * std::log(V[i * n + i]);
        std::vector<double> rhs(n * (Fe + 1));
        for (int i = 0; i < n; ++i) {
            for (int k = 0; k < Fe; ++k) rhs[i * (Fe + 1) + k] = XW[i * Fe + k];
            rhs[i * (Fe + 1) + Fe] = y[i];
        }
        chol_solve(n, Fe + 1, V, rhs);
        for (int i = 0; i < n; ++i) {
            for (int a = 0; a < Fe; ++a) {
                for (int b = 0; b < Fe; ++b) XVX[a * Fe + b] += XW[i * Fe + a] * rhs[i * (Fe + 1) + b];
                XVy[a] += XW[i * Fe + a] * rhs[i * (Fe + 1) + Fe];
            }
            yVy += y[i] * rhs[i * (Fe + 1) + Fe];
        }
    }
    std::vector<double> L = XVX, g = XVy;
    if (!cholesky(Fe, L)) return -1e300;
    double logdetXVX = 0.0;
    for (int i = 0; i < Fe; ++i) logdetXVX += 2.0 * std::log(L[i * Fe + i]);
    chol_solve(Fe, 1, L, g);
    double quad = yVy;
    for (int k = 0; k < Fe; ++k) quad -= XVy[k] * g[k];
    const long neff = fullML ? N : N - Fe;
    double ll = -0.5 * (logdetV + quad) - static_cast<double>(neff / 2) * std::log(6.2831853);
    if (!fullML) ll -= 0.5 * logdetXVX;
    return ll;
}

DataSet first_units(const DataSet& d, int J) {
    DataSet s = d;
    s.units.resize(J);
    return s;
}

struct LikCase {
    const char* name;
    Model model;
    bool fullML;
};

class DirectLikelihood : public testing::TestWithParam<LikCase> {};

TEST_P(DirectLikelihood, EngineFindsTheMaximum) {
    const LikCase& c = GetParam();
    const DataSet d = first_units(hsb_data(), 40);
    FitRun run;
    RunSettings rs = reference_settings(c.fullML);
    rs.maxIterations = 20000;
    run_fit(d, "MATHACH", c.model.coefs, rs, run, c.model.constraints);
    const LinearFit& f = run.fit;
    ASSERT_TRUE(f.converged) << c.name << " after " << f.iterations;
    const double at = direct_loglik(d, "MATHACH", c.model, f.tau, f.sigma2, c.fullML);
    EXPECT_NEAR(f.logLik, at, 1e-5) << c.name;
    // No nearby variance components give a higher likelihood.
    const int r = f.r;
    for (int a = 0; a < r; ++a)
        for (int b = 0; b <= a; ++b)
            for (double step : {-1e-3, 1e-3}) {
                std::vector<double> t = f.tau;
                const double delta = step * std::sqrt(t[a * r + a] * t[b * r + b]);
                t[a * r + b] += delta;
                if (a != b) t[b * r + a] += delta;
                EXPECT_LE(direct_loglik(d, "MATHACH", c.model, t, f.sigma2, c.fullML), at + 1e-9)
                    << c.name << " tau(" << a << "," << b << ") " << step;
            }
    for (double step : {-1e-3, 1e-3})
        EXPECT_LE(direct_loglik(d, "MATHACH", c.model, f.tau, f.sigma2 * (1.0 + step), c.fullML), at + 1e-9)
            << c.name << " sigma2 " << step;
}

const Coef kInterceptSector{"INTRCPT1", 0, true, {"INTRCPT2", "SECTOR"}, {}};

INSTANTIATE_TEST_SUITE_P(
    Models, DirectLikelihood,
    testing::Values(
        LikCase{"random_slope_and_fixed_uncentred_reml",
                {{kInterceptSector, {"MINORITY", 0, false, {"INTRCPT2"}, {}}, {"SES", 1, true, {"INTRCPT2"}, {}}}, {}},
                false},
        LikCase{"grand_mean_centred_ml",
                {{{"INTRCPT1", 0, true, {"INTRCPT2", "MEANSES"}, {0, 2}}, {"SES", 2, true, {"INTRCPT2"}, {}}}, {}}, true},
        LikCase{"constrained_ml",
                {{kInterceptSector, {"SES", 1, true, {"INTRCPT2", "SECTOR"}, {}}}, {0, 1, 0, 1}}, true}),
    [](const testing::TestParamInfo<LikCase>& i) { return std::string(i.param.name); });

}  // namespace
