// The V-known analysis: per-unit estimates with known sampling covariances,
// fitted by EM on the restricted likelihood, with the starting-value repair,
// acceleration and reports of the ordinary linear model.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"
#include "report/report.h"

namespace {

// A change of the likelihood below this percentage counts as no change.
constexpr double CONVERGENCE_FLOOR = 1e-8;
// Iterations when neither the command file nor the console gave a number.
constexpr int DEFAULT_ITERATIONS = 100;

std::size_t at2(long j, int n) { return static_cast<std::size_t>(j) * n; }
std::size_t at3(long j, int n) { return static_cast<std::size_t>(j) * n * n; }

int cell(const std::vector<int>& v, std::size_t index, int otherwise) {
    return index < v.size() ? v[index] : otherwise;
}

// Work space for sym_inverse on an n x n matrix.
std::vector<double> inverse_work(int n) { return std::vector<double>(std::max(3, n * (n + 1) / 2) + 3); }

bool usable_value(double x) { return std::isfinite(x) && x != MISSING_VALUE; }


void symmetrise(int n, double* A) {
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < i; ++k) {
            const double m = 0.5 * (A[i * n + k] + A[k * n + i]);
            A[i * n + k] = m;
            A[k * n + i] = m;
        }
}

// Prints Tau with its correlations and stops: the covariance components cannot be estimated.
[[noreturn]] void tau_near_singular(FILE* out, const ReportLabels& L, const VKnownFit& fit) {
    if (out != nullptr) {
        print_matrix(out, L, fit.p, fit.p, fit.tau.data(), nullptr, "Tau", fit.p);
        if (correlation_bound(fit.p, fit.tau.data(), fit.p))
            print_correlations(out, L, fit.p, fit.tau.data(), "Tau", fit.p);
        std::fprintf(out,
                     "\nIterations have been terminated prior to convergence because the estimated\n"
                     "tau is near singular.\n");
    }
    fatal_exit(14);
}

}  // namespace

void vknown_unit_design(const VKnownFit& fit, long j, double* W) {
    const int p = fit.p, F = fit.F;
    const double* row = &fit.l2Design[at2(j, fit.p2 + 1)];
    std::fill(W, W + static_cast<std::size_t>(p) * F, 0.0);
    for (int q = 0; q < p; ++q)
        for (int g = fit.coefFirstGamma[q]; g < fit.coefFirstGamma[q] + fit.coefNumGammas[q]; ++g)
            W[q * F + g] = row[fit.gammaL2Slot[g]];
}

void vknown_layout(const ModelSpec& model, const MdmHeader& mdm, VKnownFit& fit) {
    fit.p1 = mdm.numL1Vars;
    fit.p2 = mdm.numL2Vars;
    fit.statSlot.clear();
    fit.coefFirstGamma.clear();
    fit.coefNumGammas.clear();
    fit.gammaL2Slot.clear();
    const int lastSlot = std::min(model.numL1Slots - 1, mdm.numL1Vars);
    for (int slot = 1; slot <= lastSlot; ++slot) {
        if (cell(model.l1Role, model.at(0, slot), 0) != 1) continue;
        fit.statSlot.push_back(slot);
        fit.coefFirstGamma.push_back(static_cast<int>(fit.gammaL2Slot.size()));
        int count = 0;
        for (int k = 0; k < model.numL2Slots; ++k) {
            const int v = cell(model.l2Predictors, model.pred(0, slot, k), NO_ENTRY);
            if (v == NO_ENTRY) break;
            if (v < 0 || v > mdm.numL2Vars) continue;
            fit.gammaL2Slot.push_back(v);
            ++count;
        }
        fit.coefNumGammas.push_back(count);
    }
    fit.p = static_cast<int>(fit.statSlot.size());
    fit.F = static_cast<int>(fit.gammaL2Slot.size());
}

void vknown_read_units(const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, VKnownFit& fit) {
    const int p = fit.p, p2 = fit.p2, w = p2 + 1;
    const long J = mdm.numGroups;
    fit.J = J;
    fit.ids.assign(J, NameSlot{});
    fit.usable.assign(J, 0);
    fit.b.assign(at2(J, p), 0.0);
    fit.V.assign(at3(J, p), 0.0);
    fit.Vinv.assign(at3(J, p), 0.0);
    fit.l2Raw.assign(at2(J, p2), 0.0);
    fit.l2Design.assign(at2(J, w), 0.0);

    // The level-2 variables the model uses: a unit must have them to take part.
    std::vector<char> usedL2(w, 0);
    for (int s : fit.gammaL2Slot) usedL2[s] = 1;

    if (std::fseek(mdmFile, mdm.dataStart, SEEK_SET) != 0) fatal_exit(4);
    VKnownRecord rec;
    std::vector<double> work = inverse_work(p);
    fit.Ju = 0;
    for (long j = 0; j < J; ++j) {
        read_vknown_record(mdmFile, mdm, rec);
        fit.ids[j] = rec.id;
        fit.ids[j].text[12] = '\0';
        bool ok = true;
        double* b = &fit.b[at2(j, p)];
        double* V = &fit.V[at3(j, p)];
        for (int q = 0; q < p; ++q) {
            const int a = fit.statSlot[q] - 1;
            b[q] = rec.stats[a];
            ok = ok && usable_value(b[q]);
            for (int s = 0; s < p; ++s) {
                const int c = fit.statSlot[s] - 1;
                const int hi = std::max(a, c), lo = std::min(a, c);
                V[q * p + s] = rec.covariance[static_cast<std::size_t>(hi) * (hi + 1) / 2 + lo];
                ok = ok && usable_value(V[q * p + s]);
            }
        }
        double* raw = &fit.l2Raw[at2(j, p2)];
        double* row = &fit.l2Design[at2(j, w)];
        row[0] = 1.0;
        for (int k = 0; k < p2; ++k) {
            raw[k] = rec.l2Values[k];
            row[k + 1] = raw[k];
            if (usedL2[k + 1]) ok = ok && usable_value(raw[k]);
        }
        if (ok) ok = sym_inverse(p, V, &fit.Vinv[at3(j, p)], work.data(), p, p) == 0;
        fit.usable[j] = ok ? 1 : 0;
        if (ok) ++fit.Ju;
    }

    // Grand-mean centring uses the means over the units that take part.
    for (int k = 1; k < w; ++k) {
        if (cell(model.l2Centering, k, 0) != 2 || fit.Ju == 0) continue;
        double mean = 0.0;
        for (long j = 0; j < J; ++j)
            if (fit.usable[j]) mean += fit.l2Design[at2(j, w) + k];
        mean /= static_cast<double>(fit.Ju);
        for (long j = 0; j < J; ++j) fit.l2Design[at2(j, w) + k] -= mean;
    }
}

void vknown_degrees_of_freedom(VKnownFit& fit) {
    fit.dfGamma.assign(fit.F, 0);
    const long m = fit.p < 3 ? 2 : fit.p;
    for (int q = 0; q < fit.p; ++q) {
        const long rest = fit.J - fit.coefNumGammas[q];
        const long df = q == 0 ? rest : rest / (m - 1);
        for (int g = fit.coefFirstGamma[q]; g < fit.coefFirstGamma[q] + fit.coefNumGammas[q]; ++g)
            fit.dfGamma[g] = df;
    }
}

void vknown_starting_values(RunSettings& rs, FILE* out, const ReportLabels& L, VKnownFit& fit) {
    const int p = fit.p, F = fit.F;
    const long J = fit.J;
    if (fit.Ju == 0) fatal_exit(16);
    const double ju = static_cast<double>(fit.Ju);

    // 1. Means of V_j and b_j, and the normal equations of ordinary least squares.
    fit.vbar0.assign(p * p, 0.0);
    fit.bMean.assign(p, 0.0);
    std::vector<double> A0(F * F, 0.0), c0(F, 0.0), W(p * F);
    for (long j = 0; j < J; ++j) {
        if (!fit.usable[j]) continue;
        const double* b = &fit.b[at2(j, p)];
        const double* V = &fit.V[at3(j, p)];
        for (int k = 0; k < p * p; ++k) fit.vbar0[k] += V[k];
        for (int q = 0; q < p; ++q) fit.bMean[q] += b[q];
        vknown_unit_design(fit, j, W.data());
        matmul_tn_add(F, p, F, W.data(), W.data(), A0.data());
        matmul_tn_add(F, p, 1, W.data(), b, c0.data());
    }
    for (int k = 0; k < p * p; ++k) fit.vbar0[k] /= ju;
    for (int q = 0; q < p; ++q) fit.bMean[q] /= ju;

    // 2. gamma(0) by ordinary least squares.
    std::vector<double> A0inv(F * F), work = inverse_work(std::max(p, F));
    if (sym_inverse(F, A0.data(), A0inv.data(), work.data(), F, F) != 0) fatal_exit(11);
    fit.gammaOls.assign(F, 0.0);
    matmul_nn(F, F, 1, A0inv.data(), c0.data(), fit.gammaOls.data());

    // 3. D about the OLS prediction, and the GLS gamma weighted by V_j^-1.
    fit.dmat0.assign(p * p, 0.0);
    std::vector<double> A(F * F, 0.0), c(F, 0.0), WtV(F * p), dev(p);
    for (long j = 0; j < J; ++j) {
        if (!fit.usable[j]) continue;
        const double* b = &fit.b[at2(j, p)];
        vknown_unit_design(fit, j, W.data());
        matmul_nn(p, F, 1, W.data(), fit.gammaOls.data(), dev.data());
        for (int q = 0; q < p; ++q) dev[q] = b[q] - dev[q];
        for (int a = 0; a < p; ++a)
            for (int s = 0; s < p; ++s) fit.dmat0[a * p + s] += dev[a] * dev[s];
        matmul_tn(F, p, p, W.data(), &fit.Vinv[at3(j, p)], WtV.data());
        matmul_nn_add(F, p, F, WtV.data(), W.data(), A.data());
        matmul_nn_add(F, p, 1, WtV.data(), b, c.data());
    }
    for (int a = 0; a < p; ++a)
        for (int s = 0; s < p; ++s) {
            const long div = fit.Ju - (fit.coefNumGammas[a] + fit.coefNumGammas[s]) / 2;
            fit.dmat0[a * p + s] /= static_cast<double>(div > 0 ? div : 1);
        }
    std::vector<double> Ainv(F * F);
    if (sym_inverse(F, A.data(), Ainv.data(), work.data(), F, F) != 0) fatal_exit(11);
    fit.gamma.assign(F, 0.0);
    matmul_nn(F, F, 1, Ainv.data(), c.data(), fit.gamma.data());
    fit.gammaCov = Ainv;

    // 4. Tau(0) = D - V_bar.
    fit.tauStart.assign(p * p, 0.0);
    for (int k = 0; k < p * p; ++k) fit.tauStart[k] = fit.dmat0[k] - fit.vbar0[k];
    if (rs.fullOutput && out != nullptr) {
        std::fprintf(out, "\f STARTING VALUES\n");
        if (rs.debugLevel > 0) {
            print_matrix(out, L, p, p, fit.vbar0.data(), nullptr, "V_bar(0)", p);
            print_matrix(out, L, p, p, fit.dmat0.data(), nullptr, "D_bar(0)", p);
        }
        print_matrix(out, L, p, p, fit.tauStart.data(), nullptr, "Tau(0)", p);
    }

    // 5. A Tau(0) that is no covariance matrix is repaired, with D in place of D_bar(0).
    settle_tau0(rs, p, fit.tauStart, fit.tauInv, fit.dmat0.data(), L, out, nullptr, false);
    fit.tau = fit.tauStart;
}

int vknown_em_step(VKnownFit& fit, double& loglik) {
    const int p = fit.p, F = fit.F;
    const long J = fit.J;
    const double ju = static_cast<double>(fit.Ju);
    std::vector<double> work = inverse_work(std::max(p, F)), detWork(std::max(1, p * p));
    std::vector<double> W(p * F), M(p * p), Minv(p * p), Delta(p * p), WtD(F * p);
    std::vector<double> A(F * F, 0.0), c(F, 0.0);
    std::vector<double> DeltaInv(at3(J, p), 0.0);

    // Pass 1: ln det(V_j^-1 + Tau^-1), Delta_j^-1 and the GLS normal equations.
    double Lv = 0.0;
    for (long j = 0; j < J; ++j) {
        if (!fit.usable[j]) continue;
        const double* V = &fit.V[at3(j, p)];
        const double* Vinv = &fit.Vinv[at3(j, p)];
        for (int k = 0; k < p * p; ++k) M[k] = Vinv[k] + fit.tauInv[k];
        sym_inverse(p, M.data(), Minv.data(), work.data(), p, p);
        Lv += work[1];
        for (int k = 0; k < p * p; ++k) Delta[k] = V[k] + fit.tau[k];
        double* Di = &DeltaInv[at3(j, p)];
        if (sym_inverse(p, Delta.data(), Di, work.data(), p, p) != 0) return 11;
        vknown_unit_design(fit, j, W.data());
        matmul_tn(F, p, p, W.data(), Di, WtD.data());
        matmul_nn_add(F, p, F, WtD.data(), W.data(), A.data());
        matmul_nn_add(F, p, 1, WtD.data(), &fit.b[at2(j, p)], c.data());
    }
    std::vector<double> Ainv(F * F), gamma(F);
    if (sym_inverse(F, A.data(), Ainv.data(), work.data(), F, F) != 0) return 11;
    const double La = work[1];
    matmul_nn(F, F, 1, Ainv.data(), c.data(), gamma.data());
    fit.gamma = gamma;
    fit.gammaCov = Ainv;

    // Pass 2: EB estimates and residuals, posterior dispersions, the quadratic form.
    std::vector<double> SU(p * p, 0.0), SD(p * p, 0.0), TD(p * p), TDW(p * F), TDWA(p * F), D(p * p);
    std::vector<double> fitted(p), u(p), e(p), Ve(p);
    fit.u.assign(at2(J, p), 0.0);
    fit.betaStar.assign(at2(J, p), 0.0);
    fit.postDisp.assign(at3(J, p), 0.0);
    double Q = 0.0;
    for (long j = 0; j < J; ++j) {
        if (!fit.usable[j]) continue;
        const double* b = &fit.b[at2(j, p)];
        const double* V = &fit.V[at3(j, p)];
        vknown_unit_design(fit, j, W.data());
        matmul_nn(p, p, p, fit.tau.data(), &DeltaInv[at3(j, p)], TD.data());
        matmul_nn(p, F, 1, W.data(), gamma.data(), fitted.data());
        for (int q = 0; q < p; ++q) e[q] = b[q] - fitted[q];
        matmul_nn(p, p, 1, TD.data(), e.data(), u.data());
        double* bs = &fit.betaStar[at2(j, p)];
        for (int q = 0; q < p; ++q) {
            fit.u[at2(j, p) + q] = u[q];
            bs[q] = fitted[q] + u[q];
            e[q] = b[q] - bs[q];
        }
        // D_j = Tau Delta^-1 V_j + (Tau Delta^-1 W_j) A^-1 (Tau Delta^-1 W_j)'.
        matmul_nn(p, p, p, TD.data(), V, D.data());
        matmul_nn(p, p, F, TD.data(), W.data(), TDW.data());
        matmul_nn(p, F, F, TDW.data(), Ainv.data(), TDWA.data());
        matmul_nt_add(p, F, p, TDWA.data(), TDW.data(), D.data());
        symmetrise(p, D.data());
        std::copy(D.begin(), D.end(), fit.postDisp.begin() + static_cast<std::ptrdiff_t>(at3(j, p)));
        matmul_nn(p, p, 1, &fit.Vinv[at3(j, p)], e.data(), Ve.data());
        for (int q = 0; q < p; ++q) Q += e[q] * Ve[q];
        for (int a = 0; a < p; ++a)
            for (int s = 0; s < p; ++s) {
                SU[a * p + s] += u[a] * u[s];
                SD[a * p + s] += D[a * p + s];
            }
    }

    // The likelihood at the Tau this iteration started from, then the new Tau.
    const double lnDetTau = std::log(determinant(p, fit.tau.data(), detWork.data(), p));
    loglik = -(ju * lnDetTau + Lv + La + Q);
    fit.meanDisp.assign(p * p, 0.0);
    fit.meanOuter.assign(p * p, 0.0);
    for (int k = 0; k < p * p; ++k) {
        fit.meanDisp[k] = SD[k] / ju;
        fit.meanOuter[k] = SU[k] / ju;
        fit.tau[k] = (SU[k] + SD[k]) / ju;
    }
    symmetrise(p, fit.tau.data());
    return 0;
}

void vknown_final_pass(VKnownFit& fit) {
    const int p = fit.p, F = fit.F;
    std::vector<double> W(p * F), d(p);
    fit.reliability.assign(p, 0.0);
    fit.chiSquare.assign(p, 0.0);
    for (long j = 0; j < fit.J; ++j) {
        if (!fit.usable[j]) continue;
        const double* b = &fit.b[at2(j, p)];
        const double* V = &fit.V[at3(j, p)];
        vknown_unit_design(fit, j, W.data());
        matmul_nn(p, F, 1, W.data(), fit.gamma.data(), d.data());
        for (int q = 0; q < p; ++q) {
            d[q] = b[q] - d[q];
            const double tqq = fit.tau[q * p + q];
            fit.reliability[q] += tqq / (tqq + V[q * p + q]);
        }
        add_variance_component_chi_square(p, d.data(), V, p, 1.0, fit.chiSquare.data());
    }
    for (int q = 0; q < p; ++q) fit.reliability[q] /= static_cast<double>(fit.Ju);
}

void fit_vknown(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                VKnownFit& fit) {
    // Every statistic kept by the model varies across units, and its gammas are free.
    for (int slot = 0; slot < model.numL1Slots; ++slot)
        if (cell(model.l1Role, model.at(0, slot), 0) == 1) model.fixedEffectOnly[model.at(0, slot)] = 0;
    model.constraintGroup.clear();

    vknown_layout(model, mdm, fit);
    if (fit.p == 0) fatal_exit(16);
    vknown_read_units(model, mdm, mdmFile, fit);
    vknown_degrees_of_freedom(fit);
    const ReportLabels L = make_report_labels(model, rs, mdm);
    const int p = fit.p, F = fit.F;

    vknown_starting_values(rs, out, L, fit);
    if (out != stdout) {
        std::printf("Starting values computed.  Iterations begun.\n");
        std::printf("Should you wish to terminate the iterations prior to convergence, enter cntl-c\n");
    }
    install_soft_interrupt();

    const int maxIt = rs.maxIterations > 0 ? rs.maxIterations : DEFAULT_ITERATIONS;
    const int accel = rs.accel > 0 ? rs.accel : 5;
    fit.tauPrev1 = fit.tauPrev2 = fit.tau;
    bool prevAccel = false;
    double lik = 0.0, likPrev = 0.0;
    int t = 0;
    for (;;) {
        ++t;
        // 1. Tau must stay a covariance matrix.
        if (!tau_usable(p, fit.tau.data(), fit.tauInv.data()) && t > 1) tau_near_singular(out, L, fit);

        // 2. Extrapolation, never two in a row; kept only when Tau stays usable.
        std::vector<double> before = fit.tau;
        bool accelerated = false;
        if (t % accel == 0 && !prevAccel) {
            double ratio = 0.0;
            std::vector<double> T = fit.tau, inv(p * p);
            if (accelerate_tau(p, &ratio, T.data(), fit.tauPrev1.data(), fit.tauPrev2.data()) &&
                tau_usable(p, T.data(), inv.data())) {
                fit.tau = T;
                fit.tauInv = inv;
                accelerated = true;
            }
        }

        // 3-6. One EM iteration; an extrapolation that lowers the likelihood is undone.
        std::vector<double> used = fit.tau;
        if (vknown_em_step(fit, lik) != 0) fatal_exit(11);
        if (accelerated && t > 1 && lik < likPrev) {
            fit.tau = before;
            tau_usable(p, fit.tau.data(), fit.tauInv.data());
            accelerated = false;
            used = fit.tau;
            if (vknown_em_step(fit, lik) != 0) fatal_exit(11);
        }
        prevAccel = accelerated;
        fit.tauPrev2 = fit.tauPrev1;
        fit.tauPrev1 = used;
        fit.iterations = t;
        fit.likHistory[t % 5] = lik;

        if (t == 1 && rs.fullOutput && out != nullptr) {
            FixedTableOptions opt;
            opt.mode = FixedTableMode::StartingValues;
            print_fixed_effects(out, L, F, fit.dfGamma.data(), opt, fit.gammaCov.data(), fit.gamma.data(), "", F);
        }
        report_iteration_likelihood(out, rs.fullOutput, t, lik);

        // 7. Convergence: a small, non-negative percentage change of the likelihood.
        const StopReason stop = iteration_stop(t, maxIt, lik, likPrev, rs.microCriterion, CONVERGENCE_FLOOR);
        if (stop != StopReason::None) {
            if (stop == StopReason::Converged) fit.converged = true;
            fit.stopReason = stop;
            break;
        }
        if (t >= maxIt) {
            fit.stopReason = StopReason::IterationLimit;
            break;
        }
    }

    fit.logLik = lik;
    fit.numParams = deviance_parameter_count(p, F, false, false, -1);
    vknown_final_pass(fit);
    if (out == nullptr) return;

    // The last likelihoods, the reason for stopping and the final iteration's block.
    print_iterations_stop(out, rs.fullOutput, t, fit.likHistory, fit.stopReason);
    std::fprintf(out, "\f******* ITERATION %d *******\n\n", t);
    if (rs.debugLevel > 0) {
        print_matrix(out, L, p, p, fit.meanDisp.data(), nullptr, "V_bar", p);
        print_matrix(out, L, p, p, fit.meanOuter.data(), nullptr, "D_bar", p);
    }
    print_matrix(out, L, p, p, fit.tau.data(), nullptr, "Tau", p);
    print_correlations(out, L, p, fit.tau.data(), "Tau", p);
    print_reliabilities(out, L, p, fit.reliability.data());
}

