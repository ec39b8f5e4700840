// Working data of the PQL macro iterations: per record the linear predictor at
// the current estimates, the mean, the working outcome z and weight w, made
// unit by unit while the linear engine's set-up pass reads the records.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "app/base.h"
#include "nonlinear/nonlinear.h"
#include "nonlinear/refine.h"
#include "numeric/numeric.h"

namespace {

// (16 sqrt(3) / (15 pi))^2: the logistic-normal marginalisation constant.
constexpr double LOGIT_SHRINK = 0.3458429735;
// Largest working weight, so that the engine's matrices stay finite.
constexpr double MAX_WEIGHT = 999999.0;
// A logit beyond this is pulled back to +-2; from macro iteration 8 on it ends the run.
constexpr double ETA_LIMIT = 40.0;
constexpr int LAST_RUNAWAY_MACRO = 7;

// z' A z for the random part of a design row (A r x r).
double random_quadratic(const LinearFit& fit, const double* x, const double* A) {
    const int r = fit.r;
    double s = 0.0;
    for (int a = 0; a < r; ++a) {
        const double xa = x[fit.randomCoef[a]];
        for (int b = 0; b < r; ++b) s += xa * A[a * r + b] * x[fit.randomCoef[b]];
    }
    return s;
}

// Every count must be positive and every outcome non-negative (binomial: at most its trials).
void check_counts(const PqlState& st, double y, double n) {
    if (y < 0.0 || n <= 0.0) {
        std::printf("\nError: the outcome must be greater than or equal to 0.0, and the\n");
        std::printf("%s", st.distribution == 1 ? "number of trials" : "exposure");
        std::printf(" must be greater than 0.0\n");
        fatal_exit(0);
    }
    if (st.distribution == 1 && y > n) {
        std::printf("\nError: the outcome must be less than or equal to the number of trials.\n");
        fatal_exit(0);
    }
}

}  // namespace

double pql_linear_predictor(const PqlState& st, long j, const double* x) {
    const LinearFit& fit = *st.fit;
    const int w2 = fit.p2 + 1;
    const double* l2 = &fit.l2Design[static_cast<std::size_t>(j) * w2];
    const bool withEffects = st.linearisedAt != PqlPhase::PopulationAverage;
    double eta = 0.0;
    for (int g = 0; g < fit.F; ++g) eta += x[fit.gammaCoef[g]] * l2[fit.gammaL2Slot[g]] * st.gamma[g];
    if (fit.r == 0) return eta;
    if (withEffects) {
        const double* u = &st.u[static_cast<std::size_t>(j) * fit.r];
        for (int a = 0; a < fit.r; ++a) eta += x[fit.randomCoef[a]] * u[a];
        return eta;
    }
    const double s = random_quadratic(fit, x, st.tau.data());
    if (st.distribution == 2) return eta + 0.5 * s;
    // det(I + c T z z') = 1 + c z'Tz, the factor raised to -q/2.
    const double d = 1.0 + LOGIT_SHRINK * s;
    return d > 0.0 ? eta * std::pow(d, -0.5 * fit.r) : eta;
}

int pql_working_unit(void* ctx, long j, int nj, const double* rec, int p1, const double* x, int Q,
                     std::vector<double>& rowsX, std::vector<double>& rowsY) {
    PqlState& st = *static_cast<PqlState*>(ctx);
    rowsX.resize(static_cast<std::size_t>(nj) * Q);
    rowsY.resize(nj);
    // Each record's design row and outcome, multiplied by the square root of its working weight.
    auto put = [&](int i, double y, double m) {
        rowsY[i] = m * y;
        for (int q = 0; q < Q; ++q) rowsX[static_cast<std::size_t>(i) * Q + q] = m * x[static_cast<std::size_t>(i) * Q + q];
    };
    const LinearFit& fit = *st.fit;
    const bool count = st.countSlot > 0;
    const bool logit = st.distribution == 1;
    for (int i = 0; i < nj; ++i) {
        const double* row = rec + static_cast<std::size_t>(i) * p1;
        const double* xi = x + static_cast<std::size_t>(i) * Q;
        const double yraw = row[st.outcomeSlot - 1];
        const double n = count ? row[st.countSlot - 1] : 1.0;
        ++st.records;

        // The first fit takes the outcome as it is (a proportion or rate with a count variable).
        if (st.phase == PqlPhase::FirstLinear) {
            if (count) check_counts(st, yraw, n);
            const double y = count ? yraw / n : yraw;
            put(i, y, 1.0);
            st.sumY += y;
            continue;
        }
        if (!count && (logit ? (yraw < 0.0 || yraw > 1.0) : yraw < 0.0)) st.outOfRange = true;

        double eta = pql_linear_predictor(st, j, xi);
        double mu = 0.0, omu = 0.0;  // the mean and, kept apart for accuracy, 1 - mu
        if (st.linearisedAt == PqlPhase::FirstLinear) {
            // The linear fit predicts the mean itself.
            if (logit) {
                mu = std::clamp(eta, 0.01, 0.99);
                eta = std::log(mu / (1.0 - mu));
            } else {
                mu = std::max(eta, 0.001);
                eta = std::log(mu);
            }
        } else if (logit) {
            if (eta < -ETA_LIMIT || eta > ETA_LIMIT) {
                eta = eta < 0.0 ? -2.0 : 2.0;
                st.runaway = true;
            }
            mu = 1.0 / (1.0 + std::exp(-eta));
        } else {
            mu = std::exp(eta);
        }
        if (logit) omu = st.linearisedAt == PqlPhase::FirstLinear ? 1.0 - mu : 1.0 / (1.0 + std::exp(eta));
        double v = logit ? mu * omu : mu;
        v *= n;
        // y - n mu, taken from the nearer end so that a mean close to 1 keeps its digits.
        const double resid = logit && mu > 0.5 ? (yraw - n) + n * omu : yraw - n * mu;
        double z = eta + resid / v;

        // Taylor correction of the working outcome.
        if (fit.r > 0 && st.taylorOrder != 0 && st.macroIteration > st.taylorStart) {
            const double* D = st.linearisedAt == PqlPhase::PopulationAverage
                                  ? st.tau.data()
                                  : &st.disp[static_cast<std::size_t>(j) * fit.r * fit.r];
            const double s = random_quadratic(fit, xi, D);
            z -= (0.5 - mu) * s;
            if (st.taylorOrder == 4) z -= (1.0 - 12.0 * v) * s * s * (0.5 - mu) / 4.0;
        }

        // The exact log-likelihood, used when the model has no random effects.
        if (fit.r == 0) {
            if (logit) {
                st.logLik += yraw * std::log(mu) + (n - yraw) * std::log(omu);
                if (count) st.logLik += log_gamma(n + 1.0) - log_gamma(yraw + 1.0) - log_gamma(n - yraw + 1.0);
            } else {
                const double rate = n * mu;
                st.logLik += yraw * std::log(rate) - rate - log_gamma(yraw + 1.0);
            }
        }

        put(i, z, std::sqrt(std::min(v, MAX_WEIGHT)));
    }
    return nj;
}

void pql_take_estimates(PqlState& st, const LinearFit& fit) {
    const int r = fit.r;
    st.gamma = fit.gamma;
    st.tau = fit.tau;
    st.sigma2 = fit.sigma2;
    st.u = fit.u;
    // The engine keeps D_j in units of sigma2.
    st.disp = fit.postDisp;
    for (double& d : st.disp) d *= fit.sigma2;
    if (r == 0) st.tau.clear();
}

bool nonlinear_converged(const PqlState& st, const LinearFit& fit, double criterion) {
    // Parameters without a start value (a first iteration) are not tested.
    const int F = std::min(fit.F, static_cast<int>(st.gammaStart.size()));
    const int r = static_cast<int>(st.tauStart.size()) == fit.r * fit.r ? fit.r : 0;
    return nonlinear_converged(F, st.gammaStart.data(), fit.gamma.data(), r, st.tauStart.data(), fit.tau.data(),
                               criterion) != 0;
}
