// The linear model: least squares, the EM iterations
// under REML or full ML with their acceleration steps, the convergence test,
// the likelihood, and the final iteration block with reliabilities.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"
#include "report/report.h"

namespace {

// 2 pi as the likelihoods use it.
constexpr double TWO_PI = 6.283185307;
// 2 pi as the likelihood constant K uses it.
constexpr double TWO_PI_K = 6.2831853;
// Iteration limit after the user agrees to go on.
constexpr int CONTINUED_LIMIT = 10000;
// A change of the likelihood below this percentage counts as no change.
constexpr double CONVERGENCE_FLOOR = 1e-10;

// Spreads the Fe estimated gammas over all F.
void expand_gamma(const LinearFit& fit, const double* est, double* full) {
    for (int g = 0; g < fit.F; ++g) full[g] = est[fit.gammaEst[g]];
}

bool output_is_console(FILE* out) {
    return out == stdout;
}

// The whole iteration state that an acceleration step may have to undo.
struct Snapshot {
    std::vector<double> tau, gammaE, gammaCovEst;
    double sigma2 = 0.0;
};

Snapshot take_snapshot(const LinearFit& fit) {
    return Snapshot{fit.tau, fit.gammaE, fit.gammaCovEst, fit.sigma2};
}

void restore_snapshot(LinearFit& fit, const Snapshot& s) {
    fit.tau = s.tau;
    fit.gammaE = s.gammaE;
    fit.gammaCovEst = s.gammaCovEst;
    fit.sigma2 = s.sigma2;
    tau_usable(fit.r, fit.tau.data(), fit.tauInv.data());
}

// Sums of one EM iteration kept for the DEBUG block.
struct EmSums {
    std::vector<double> SU, SD;
};

// The DEBUG matrices: V_bar = sigma2 mean(D_j) and D_bar = mean(u_j u_j').
void print_vbar_dbar(FILE* out, const ReportLabels& L, int r, double sigma2, const EmSums& sums, long J) {
    std::vector<double> vbar(r * r), dbar(r * r);
    for (int k = 0; k < r * r; ++k) {
        vbar[k] = sigma2 * sums.SD[k] / static_cast<double>(J);
        dbar[k] = sums.SU[k] / static_cast<double>(J);
    }
    print_matrix(out, L, r, r, vbar.data(), nullptr, "V_bar", r);
    print_matrix(out, L, r, r, dbar.data(), nullptr, "D_bar", r);
}

// One EM iteration at the current gamma, Tau and sigma2: two passes over the
// per-unit records, the likelihood at the current values, then the new values.
// Returns false when some unit's M_j cannot be inverted (nothing is updated then).
bool em_step(LinearFit& fit, FILE* out, const ReportLabels* startTable, const std::string& outcome,
             double& loglik, EmSums& sums) {
    const int r = fit.r, Fe = fit.Fe;
    const long J = fit.J;
    const double s2 = fit.sigma2;
    const double rJ = static_cast<double>(r) * static_cast<double>(J);

    std::vector<double> P(r * r), A(r * r), B(Fe * r), Minv(r * r), M(r * r), BM(Fe * r);
    std::vector<double> work(std::max(3, std::max(r * (r + 1) / 2, Fe * (Fe + 1) / 2)) + 3);
    std::vector<double> detWork(std::max(1, r * r));
    for (int k = 0; k < r * r; ++k) P[k] = s2 * fit.tauInv[k];

    // 3. Terms fixed by the current sigma2 and Tau.
    const double Ls = (fit.fullML ? rJ - fit.N : rJ - fit.N + Fe) * std::log(s2);
    const double Lt = static_cast<double>(J) * std::log(determinant(r, fit.tau.data(), detWork.data(), r));

    // 4. Pass 1: M_j, its log-determinant, and the GLS normal equations.
    std::vector<double> Amat = fit.SWXXW, c = fit.SWXy;
    double Ld = 0.0;
    store_rewind(fit.storeA);
    store_rewind(fit.storeB);
    if (fit.storeC.inMemory) fit.storeC.mem.clear();
    store_rewind(fit.storeC);
    for (long j = 0; j < J; ++j) {
        if (!store_read_sym(fit.storeA, r, A.data(), work.data()) ||
            !store_read(fit.storeB, B.data(), static_cast<std::size_t>(Fe) * r))
            fatal_exit(4);
        for (int k = 0; k < r * r; ++k) Minv[k] = A[k] + P[k];
        if (sym_inverse(r, Minv.data(), M.data(), work.data(), r, r) != 0) return false;
        const double w = fit.unitWeight[j];
        Ld -= w * work[1];
        store_write_sym(fit.storeC, r, M.data(), work.data());
        unit_mul(Fe, r, r, B.data(), M.data(), BM.data());
        const double* xy = &fit.xyRandom[static_cast<std::size_t>(j) * r];
        for (int a = 0; a < Fe; ++a) {
            double ca = 0.0;
            for (int s = 0; s < r; ++s) ca += BM[a * r + s] * xy[s];
            c[a] -= w * ca;
            for (int b = 0; b <= a; ++b) {
                double t = 0.0;
                for (int s = 0; s < r; ++s) t += BM[a * r + s] * B[b * r + s];
                Amat[a * Fe + b] -= w * t;
            }
        }
    }
    for (int a = 0; a < Fe; ++a)
        for (int b = 0; b < a; ++b) Amat[b * Fe + a] = Amat[a * Fe + b];

    // 5. The information matrix of the gammas and the GLS estimate.
    std::vector<double> Ainv(Fe * Fe), gls(Fe);
    if (sym_inverse(Fe, Amat.data(), Ainv.data(), work.data(), Fe, Fe) != 0 ||
        pd_check(1, Fe, Amat.data(), nullptr, Fe) != 0)
        fatal_exit(12, "Vtheta1");
    const double La = fit.fullML ? 0.0 : -work[1];
    matmul_nn(Fe, Fe, 1, Ainv.data(), c.data(), gls.data());
    if (!fit.fullML) {
        fit.gammaE = gls;
        fit.gammaCovEst = Ainv;
    }
    if (startTable != nullptr && out != nullptr) {
        std::vector<double> g(fit.F), cov(fit.F * fit.F);
        expand_gamma(fit, gls.data(), g.data());
        expand_gamma_matrix(fit, Ainv.data(), cov.data());
        FixedTableOptions opt;
        opt.mode = FixedTableMode::StartingValues;
        opt.covScale = s2;
        print_fixed_effects(out, *startTable, fit.F, fit.dfGamma.data(), opt, cov.data(), g.data(), outcome.c_str(),
                            fit.F);
    }

    // 6. Pass 2: posterior means and dispersions, residual sum of squares.
    const double* gam = fit.gammaE.data();
    sums.SU.assign(r * r, 0.0);
    sums.SD.assign(r * r, 0.0);
    std::vector<double> Bg(r), zr(r), u(r), K(Fe * r), S(r * r), MS(r * r), D(r * r), hg(Fe);
    double trXXD = 0.0, trCross = 0.0, R = 0.0, Qml = 0.0, uxy = 0.0;
    store_rewind(fit.storeA);
    store_rewind(fit.storeB);
    store_rewind(fit.storeC);
    for (long j = 0; j < J; ++j) {
        if (!store_read_sym(fit.storeA, r, A.data(), work.data()) ||
            !store_read(fit.storeB, B.data(), static_cast<std::size_t>(Fe) * r) ||
            !store_read_sym(fit.storeC, r, M.data(), work.data()))
            fatal_exit(4);
        const double w = fit.unitWeight[j];
        const double* xy = &fit.xyRandom[static_cast<std::size_t>(j) * r];
        unit_mul_tn(r, Fe, 1, B.data(), gam, Bg.data());
        for (int s = 0; s < r; ++s) zr[s] = xy[s] - Bg[s];
        unit_mul(r, r, 1, M.data(), zr.data(), u.data());
        if (fit.fullML) {
            D = M;
        } else {
            // D_j = M + M B' A^-1 B M, and the cross term tr(B' A^-1 B M).
            unit_mul(Fe, Fe, r, Ainv.data(), B.data(), K.data());
            unit_mul_tn(r, Fe, r, B.data(), K.data(), S.data());
            unit_mul(r, r, r, M.data(), S.data(), MS.data());
            unit_mul(r, r, r, MS.data(), M.data(), D.data());
            for (int k = 0; k < r * r; ++k) D[k] += M[k];
            trCross += w * mat_trace(r, MS.data(), r);
        }
        double trAD = 0.0;
        for (int a = 0; a < r; ++a)
            for (int b = 0; b < r; ++b) {
                trAD += A[a * r + b] * D[b * r + a];
                sums.SU[a * r + b] += w * u[a] * u[b];
                sums.SD[a * r + b] += w * D[a * r + b];
            }
        trXXD += w * trAD;

        // Residual sum of squares of the unit from its cross-products.
        const double* h = &fit.wxxw[static_cast<std::size_t>(j) * Fe * Fe];
        const double* g = &fit.wxy[static_cast<std::size_t>(j) * Fe];
        unit_mul(Fe, Fe, 1, h, gam, hg.data());
        double rr = fit.yyUnit[j], quad = fit.yyUnit[j], uz = 0.0;
        for (int k = 0; k < Fe; ++k) {
            rr += gam[k] * (hg[k] - 2.0 * g[k]);
            quad += gam[k] * (hg[k] - 2.0 * g[k]);
        }
        for (int a = 0; a < r; ++a) {
            uz += u[a] * zr[a];
            uxy += w * u[a] * xy[a];
            rr -= 2.0 * u[a] * zr[a];
            for (int b = 0; b < r; ++b) rr += u[a] * A[a * r + b] * u[b];
        }
        quad -= uz;
        R += w * rr;
        Qml += w * quad;
        fit.residualSS[j] = rr;
        std::copy(u.begin(), u.end(), fit.u.begin() + static_cast<std::ptrdiff_t>(j) * r);
        std::copy(D.begin(), D.end(), fit.postDisp.begin() + static_cast<std::ptrdiff_t>(j) * r * r);
        // The unit's score for gamma, for robust standard errors: g_j - H_j gamma - B_j u_j.
        double* sc = &fit.unitScore[static_cast<std::size_t>(j) * Fe];
        for (int k = 0; k < Fe; ++k) {
            double bu = 0.0;
            for (int s = 0; s < r; ++s) bu += B[k * r + s] * u[s];
            sc[k] = g[k] - hg[k] - bu;
        }
    }

    // 8. The log-likelihood at the values this iteration started from.
    double Q = 0.0;
    if (fit.fullML) {
        Q = Qml;
    } else {
        double gy = 0.0;
        for (int k = 0; k < Fe; ++k) gy += gam[k] * fit.SWXy[k];
        Q = fit.yy - uxy - gy;
    }
    loglik = 0.5 * (Ls - Lt + Ld + La - Q / s2) - fit.likConst;

    // 7. New Tau and sigma2; under full ML the gammas by GLS at the values of pass 1.
    double T = 0.0;
    if (fit.fullML) {
        // tr(sum X'X M) is trXXD here, since D_j = M_j.
        T = trXXD;
    } else {
        double trAS = 0.0;
        for (int a = 0; a < Fe; ++a)
            for (int b = 0; b < Fe; ++b) trAS += Ainv[a * Fe + b] * fit.SWXXW[b * Fe + a];
        T = trXXD + trAS - 2.0 * trCross;
    }
    if (!fit.tauFixed)
        for (int k = 0; k < r * r; ++k) fit.tau[k] = (s2 * sums.SD[k] + sums.SU[k]) / static_cast<double>(J);
    if (!fit.sigma2Fixed) fit.sigma2 = (R + s2 * T) / static_cast<double>(fit.N);
    if (fit.fullML) {
        fit.gammaE = gls;
        fit.gammaCovEst = Ainv;
    }
    return true;
}

// Prints Tau with its correlations and stops: the covariance components cannot be estimated.
[[noreturn]] void tau_failure(FILE* out, const ReportLabels& L, const LinearFit& fit, const char* title,
                              bool message, bool correlationsOnlyWhenBound) {
    if (out != nullptr) {
        print_matrix(out, L, fit.r, fit.r, fit.tau.data(), nullptr, title, fit.r);
        if (!correlationsOnlyWhenBound || correlation_bound(fit.r, fit.tau.data(), fit.r))
            print_correlations(out, L, fit.r, fit.tau.data(), title, fit.r);
    }
    if (message && out != nullptr)
        std::fprintf(out,
                     "\nIterations have been terminated prior to convergence because the estimated\n"
                     "tau is near singular.\n");
    fatal_exit(14);
}

// Keeps an accelerated Tau and sigma2 when sigma2 stays positive and Tau usable.
bool keep_step(LinearFit& fit, std::vector<double>& tau, double sigma2) {
    std::vector<double> inv(static_cast<std::size_t>(fit.r) * fit.r);
    if (!(sigma2 > 0.0) || !tau_usable(fit.r, tau.data(), inv.data())) return false;
    fit.tau = std::move(tau);
    fit.tauInv = std::move(inv);
    fit.sigma2 = sigma2;
    return true;
}

// Aitken extrapolation of Tau and sigma2 (REML). True when the step was kept.
bool aitken_step(LinearFit& fit) {
    const int r = fit.r;
    double rho = 0.0;
    if (!fit.sigma2Fixed) {
        const double den = fit.sigma2Prev1 - fit.sigma2Prev2;
        rho = den != 0.0 ? (fit.sigma2 - fit.sigma2Prev1) / den : 0.0;
        if (!std::isfinite(rho)) rho = 0.0;
    }
    std::vector<double> T = fit.tau;
    if (!accelerate_tau(r, &rho, T.data(), fit.tauPrev1.data(), fit.tauPrev2.data())) return false;
    double s2 = fit.sigma2;
    if (!fit.sigma2Fixed) s2 = fit.sigma2Prev1 + (fit.sigma2 - fit.sigma2Prev1) / (1.0 - rho);
    return keep_step(fit, T, s2);
}

// One Fisher-scoring step for Tau and sigma2 (full ML). True when the step was kept.
bool scoring_step(LinearFit& fit) {
    const int r = fit.r;
    const int m = r * (r + 1) / 2;
    const int np = m + 1;
    std::vector<double> info, score;
    fisher_information(fit, info, score);
    // Only the parameters that are estimated take part in the step.
    std::vector<int> free;
    if (!fit.tauFixed)
        for (int p = 0; p < m; ++p) free.push_back(p);
    if (!fit.sigma2Fixed) free.push_back(m);
    const int k = static_cast<int>(free.size());
    if (k == 0) return false;
    std::vector<double> sub(k * k), inv(k * k), work(std::max(3, k * (k + 1) / 2) + 3), delta(np, 0.0);
    for (int a = 0; a < k; ++a)
        for (int b = 0; b < k; ++b) sub[a * k + b] = info[free[a] * np + free[b]];
    if (sym_inverse(k, sub.data(), inv.data(), work.data(), k, k) != 0) return false;
    for (int a = 0; a < k; ++a) {
        double d = 0.0;
        for (int b = 0; b < k; ++b) d += inv[a * k + b] * score[free[b]];
        delta[free[a]] = d;
    }
    std::vector<double> T = fit.tau;
    for (int a = 0; a < r; ++a)
        for (int b = 0; b <= a; ++b) {
            const double d = delta[a * (a + 1) / 2 + b];
            T[a * r + b] += d;
            if (a != b) T[b * r + a] += d;
        }
    return keep_step(fit, T, fit.sigma2 + delta[m]);
}

// Reliabilities and chi-square statistics of the random coefficients at the final
// estimates, from the unit inverses (D) and the B records.
void final_pass(LinearFit& fit) {
    const int r = fit.r, Fe = fit.Fe;
    std::vector<double> V(r * r), B(Fe * r), Bg(r), d(r), work(std::max(3, r * (r + 1) / 2) + 3);
    fit.reliability.assign(r, 0.0);
    fit.chiSquare.assign(r, 0.0);
    fit.chiSquareDf.assign(r, 0);
    store_rewind(fit.storeD);
    store_rewind(fit.storeB);
    for (long j = 0; j < fit.J; ++j) {
        if (!store_read_sym(fit.storeD, r, V.data(), work.data()) ||
            !store_read(fit.storeB, B.data(), static_cast<std::size_t>(Fe) * r))
            fatal_exit(4);
        if (!fit.hasOls[j]) continue;
        const double w = fit.unitWeight[j];
        // d_j = V_j (X'y - X'X W gamma) = b_j - V_j B_j' gamma.
        unit_mul_tn(r, Fe, 1, B.data(), fit.gammaE.data(), Bg.data());
        unit_mul(r, r, 1, V.data(), Bg.data(), d.data());
        const double* b = &fit.bOls[static_cast<std::size_t>(j) * r];
        for (int q = 0; q < r; ++q) {
            const double tqq = fit.tau[q * r + q];
            const double vqq = V[q * r + q];
            fit.reliability[q] += w * tqq / (tqq + fit.sigma2 * vqq);
            const double dq = b[q] - d[q];
            fit.chiSquare[q] += dq * dq / (fit.sigma2 * vqq);
        }
    }
    for (int q = 0; q < r; ++q) {
        fit.reliability[q] /= static_cast<double>(fit.Jo);
        const long df = fit.Jo - fit.coefNumGammas[fit.randomCoef[q]];
        fit.chiSquareDf[q] = df > 0 ? df : 0;
    }
}

void print_likelihood_line(FILE* out, int t, double lik) {
    std::fprintf(out, "\nThe value of the likelihood function at iteration %d = %lE\n", t, lik);
}

// The final iteration's block; the DEBUG matrices need the sums of the last iteration.
void final_block(FILE* out, const RunSettings& rs, const ReportLabels& L, const LinearFit& fit, const EmSums* sums) {
    const int r = fit.r, t = fit.iterations;
    std::fprintf(out, "\f******* ITERATION %d *******\n\n", t);
    if (fit.macroIteration > 0 && rs.distribution == 0)
        std::fprintf(out, "(macro iteration %d)\n", fit.macroIteration);
    if (rs.debugLevel > 0 && sums != nullptr) print_vbar_dbar(out, L, r, fit.sigma2Prev1, *sums, fit.J);
    const bool showSE = fit.fullML && fit.haveVarianceSE && !fit.weighted;
    if (!fit.sigma2Fixed) {
        std::fprintf(out, " Sigma_squared = %12.5lf\n", fit.sigma2);
        if (showSE) std::fprintf(out, "\n Standard Error of Sigma_squared = %12.5lf\n\n", fit.sigma2SE);
    }
    print_matrix(out, L, r, r, fit.tau.data(), nullptr, "Tau", r);
    if (showSE)
        print_matrix(out, L, r, r, fit.tauSE.data(), nullptr, "Standard Errors of Tau", r);
    print_correlations(out, L, r, fit.tau.data(), "Tau", r);
    print_reliabilities(out, L, r, fit.reliability.data());
    if (fit.Jo < fit.J) print_partial_note(out, "reliability estimates", fit.Jo, fit.J);
    print_likelihood_line(out, t, fit.logLik);
}

}  // namespace

void report_iteration_likelihood(FILE* out, bool fullOutput, int t, double lik) {
    if (!output_is_console(out)) std::printf("The value of the likelihood function at iteration %d = %lE\n", t, lik);
    if (fullOutput && t <= 5 && out != nullptr) print_likelihood_line(out, t, lik);
}

bool likelihood_converged(int t, int maxIt, double lik, double likPrev, double criterion, double floor) {
    if (t <= 1) return false;
    double change = 100.0 * (lik - likPrev) / std::fabs(likPrev);
    if (std::fabs(change) < floor) change = floor;
    return change >= 0.0 && change <= criterion && t != maxIt;
}

StopReason iteration_stop(int t, int maxIt, double lik, double& likPrev, double criterion, double floor) {
    const bool converged = likelihood_converged(t, maxIt, lik, likPrev, criterion, floor);
    likPrev = lik;
    if (converged) return StopReason::Converged;
    return check_soft_interrupt() ? StopReason::Keyboard : StopReason::None;
}

void print_iterations_stop(FILE* out, bool fullOutput, int t, const double* likHistory, StopReason reason) {
    if (fullOutput) {
        for (int k = 0; k < 3; ++k) std::fprintf(out, "                                                   .\n");
        for (int k = std::max(6, t - 4); k < t; ++k) print_likelihood_line(out, k, likHistory[k % 5]);
    }
    if (reason == StopReason::Converged)
        std::fprintf(out, "\nIterations stopped due to small change in likelihood function\n");
    else if (reason == StopReason::Keyboard)
        std::fprintf(out, " Iterations terminated prematurely from the keyboard.\n");
    else
        std::fprintf(out, "\nWARNING: the iterations were stopped prior to convergence.\n"
                          "You may want to re-run the analysis with a higher number of iterations.\n");
}

void expand_gamma_matrix(const LinearFit& fit, const double* est, double* full) {
    for (int a = 0; a < fit.F; ++a)
        for (int b = 0; b < fit.F; ++b) full[a * fit.F + b] = est[fit.gammaEst[a] * fit.Fe + fit.gammaEst[b]];
}

bool robust_gamma_covariance(const LinearFit& fit, std::vector<double>& cov) {
    const int Fe = fit.Fe;
    std::vector<double> meat(Fe * Fe, 0.0), t1(Fe * Fe), est(Fe * Fe);
    for (long j = 0; j < fit.J; ++j) {
        const double* s = &fit.unitScore[static_cast<std::size_t>(j) * Fe];
        for (int a = 0; a < Fe; ++a)
            for (int b = 0; b < Fe; ++b) meat[a * Fe + b] += s[a] * s[b];
    }
    matmul_nn(Fe, Fe, Fe, fit.gammaCovEst.data(), meat.data(), t1.data());
    matmul_nn(Fe, Fe, Fe, t1.data(), fit.gammaCovEst.data(), est.data());
    cov.assign(static_cast<std::size_t>(fit.F) * fit.F, 0.0);
    expand_gamma_matrix(fit, est.data(), cov.data());
    return pd_check(0, Fe, est.data(), nullptr, Fe) == 0;
}

void least_squares(const RunSettings& rs, FILE* out, const ReportLabels& L, const std::string& outcome,
                   LinearFit& fit) {
    const int r = fit.r, Fe = fit.Fe, F = fit.F;
    // 5. An outcome of zeros has nothing to model.
    if (fit.yy == 0.0) {
        if (out != nullptr) std::fprintf(out, "The outcome variable is all zeros!");
        fatal_exit(0);
    }

    // 6. Pooled OLS for the gammas.
    std::vector<double> olsInv(Fe * Fe), work(std::max(3, Fe * (Fe + 1) / 2) + 3), gOls(Fe);
    if (pd_check(1, Fe, fit.SWXXW.data(), nullptr, Fe) != 0 ||
        sym_inverse(Fe, fit.SWXXW.data(), olsInv.data(), work.data(), Fe, Fe) != 0)
        fatal_exit(11);
    const double logDetSWXXW = work[1];
    matmul_nn(Fe, Fe, 1, olsInv.data(), fit.SWXy.data(), gOls.data());
    fit.gammaOls.assign(F, 0.0);
    expand_gamma(fit, gOls.data(), fit.gammaOls.data());
    fit.olsCov.assign(static_cast<std::size_t>(F) * F, 0.0);
    expand_gamma_matrix(fit, olsInv.data(), fit.olsCov.data());

    // 7. Degrees of freedom of each gamma; constrained gammas give theirs to their equation.
    fit.dfGamma.assign(F, 0);
    for (int g = 0; g < F; ++g) {
        const int q = fit.gammaCoef[g];
        long df = fit.coefRandom[q] ? fit.J - fit.coefNumGammas[q] : fit.N - F;
        if (!fit.gammaConstrained[g]) {
            for (int h = fit.coefFirstGamma[q]; h < fit.coefFirstGamma[q] + fit.coefNumGammas[q]; ++h)
                if (fit.gammaConstrained[h]) ++df;
        }
        fit.dfGamma[g] = df;
    }

    // 8. Least-squares residual variance and likelihood.
    double gy = 0.0;
    for (int k = 0; k < Fe; ++k) gy += gOls[k] * fit.SWXy[k];
    const long neff = fit.fullML ? fit.N : fit.N - Fe;
    fit.sigma2Ols = (fit.yy - gy) / static_cast<double>(neff);
    if (fit.fullML)
        fit.olsLogLik = -0.5 * static_cast<double>(fit.N) * (1.0 + std::log(TWO_PI * fit.sigma2Ols));
    else
        fit.olsLogLik = -0.5 * (static_cast<double>(neff) * (1.0 + std::log(TWO_PI * fit.sigma2Ols)) + logDetSWXXW);
    const long olsParams = fit.fullML ? Fe + 1 : 1;
    if (rs.fullOutput && out != nullptr) {
        std::fprintf(out, "\n\n Least Squares Estimates\n");
        report_rule(out, 23);
        std::fprintf(out, "\n sigma_squared = %12.5lf\n\n", fit.sigma2Ols);
        FixedTableOptions opt;
        opt.mode = FixedTableMode::LeastSquares;
        opt.covScale = fit.sigma2Ols;
        opt.residualDf = fit.N - F;
        print_fixed_effects(out, L, F, fit.dfGamma.data(), opt, fit.olsCov.data(), fit.gammaOls.data(),
                            outcome.c_str(), F);
        std::fprintf(out, "\n The least-squares likelihood value = %lf\n", fit.olsLogLik);
        std::fprintf(out, " Deviance = %12.5lf\n", -2.0 * fit.olsLogLik);
        std::fprintf(out, " Number of estimated parameters = %4ld\n", olsParams);
    }

    // 9. The likelihood constant, with the half of Neff taken in whole numbers.
    fit.likConst = static_cast<double>(neff / 2) * std::log(TWO_PI_K);

    // The iterations start from the least-squares gammas.
    fit.gammaE = gOls;
    fit.gammaCovEst = olsInv;
    if (r == 0) {
        // Without random coefficients the least-squares results are final.
        fit.gamma = fit.gammaOls;
        fit.gammaCov = fit.olsCov;
        fit.sigma2 = fit.sigma2Ols;
        fit.logLik = fit.olsLogLik;
        fit.deviance = -2.0 * fit.logLik;
        fit.numParams = olsParams;
        fit.converged = true;
        fit.stopReason = StopReason::Converged;
        for (long j = 0; j < fit.J; ++j) {
            const double* h = &fit.wxxw[static_cast<std::size_t>(j) * Fe * Fe];
            const double* g = &fit.wxy[static_cast<std::size_t>(j) * Fe];
            double* sc = &fit.unitScore[static_cast<std::size_t>(j) * Fe];
            double rr = fit.yyUnit[j];
            for (int a = 0; a < Fe; ++a) {
                double hg = 0.0;
                for (int b = 0; b < Fe; ++b) hg += h[a * Fe + b] * gOls[b];
                sc[a] = g[a] - hg;
                rr += gOls[a] * (hg - 2.0 * g[a]);
            }
            fit.residualSS[j] = rr;
        }
    }
}

void em_iterations(RunSettings& rs, FILE* out, const ReportLabels& L, const std::string& outcome, LinearFit& fit) {
    const int r = fit.r, Fe = fit.Fe, F = fit.F;
    // 10. Starting values.
    compute_starting_values(rs, out, L, fit);
    if (!output_is_console(out)) {
        std::printf("Starting values computed.  Iterations begun.\n");
        std::printf("Should you wish to terminate the iterations prior to convergence, enter cntl-c\n");
    }
    install_soft_interrupt();

    // 11. EM iterations.
    int maxIt = rs.maxIterations > 0 ? rs.maxIterations : 100;
    int accel = rs.accel > 0 ? rs.accel : (fit.fullML ? 3 : 5);
    if (fit.weighted) accel = 100000;
    fit.tauPrev1 = fit.tauPrev2 = fit.tau;
    fit.sigma2Prev1 = fit.sigma2Prev2 = fit.sigma2;
    bool prevAccel = false;
    double lik = 0.0, likPrev = 0.0;
    EmSums sums;
    int t = 0;
    for (;;) {
        ++t;
        // 1. Tau must stay a covariance matrix.
        if (t > 1 && !tau_usable(r, fit.tau.data(), fit.tauInv.data())) tau_failure(out, L, fit, "Tau", true, true);

        // 2. Acceleration, never two in a row.
        bool accelerated = false;
        Snapshot before = take_snapshot(fit);
        if (t % accel == 0 && !prevAccel && !fit.tauFixed) {
            accelerated = fit.fullML ? scoring_step(fit) : aitken_step(fit);
            if (!accelerated) restore_snapshot(fit, before);
        }

        // 3-8. One EM iteration; an acceleration that spoils M_j or the likelihood is undone.
        Snapshot used = take_snapshot(fit);
        bool ok = em_step(fit, out, t == 1 && rs.fullOutput ? &L : nullptr, outcome, lik, sums);
        if (!ok && accelerated) {
            restore_snapshot(fit, before);
            accelerated = false;
            used = take_snapshot(fit);
            ok = em_step(fit, out, nullptr, outcome, lik, sums);
        }
        if (!ok) tau_failure(out, L, fit, "Tau(0)", false, false);
        if (accelerated && t > 1 && lik < likPrev) {
            restore_snapshot(fit, before);
            accelerated = false;
            used = take_snapshot(fit);
            if (!em_step(fit, out, nullptr, outcome, lik, sums)) tau_failure(out, L, fit, "Tau(0)", false, false);
        }
        prevAccel = accelerated;
        fit.tauPrev2 = fit.tauPrev1;
        fit.tauPrev1 = used.tau;
        fit.sigma2Prev2 = fit.sigma2Prev1;
        fit.sigma2Prev1 = used.sigma2;
        fit.iterations = t;
        fit.likHistory[t % 5] = lik;
        if (fit.macroIteration > 0) {
            if (!output_is_console(out))
                std::printf("For macro iteration %d/micro iteration %d, the likelihood is = %lE\n",
                            fit.macroIteration, t, lik);
            if (rs.fullOutput && t <= 5 && out != nullptr) print_likelihood_line(out, t, lik);
        } else {
            report_iteration_likelihood(out, rs.fullOutput, t, lik);
        }
        if (rs.debugLevel > 0 && out != nullptr) {
            std::fprintf(out, "\f******* ITERATION %d *******\n\n", t);
            print_vbar_dbar(out, L, r, used.sigma2, sums, fit.J);
            if (!fit.sigma2Fixed) std::fprintf(out, " Sigma_squared = %12.5lf\n", fit.sigma2);
            print_matrix(out, L, r, r, fit.tau.data(), nullptr, "Tau", r);
        }

        // Convergence: a small, non-negative percentage change of the likelihood.
        const StopReason stop = iteration_stop(t, maxIt, lik, likPrev, rs.microCriterion, CONVERGENCE_FLOOR);
        if (stop != StopReason::None) {
            if (stop == StopReason::Converged) fit.converged = true;
            fit.stopReason = stop;
            break;
        }
        if (t >= maxIt) {
            bool goOn = false;
            if (maxIt < CONTINUED_LIMIT) {
                if (rs.atIterationLimit == 1) goOn = true;
                else if (rs.atIterationLimit == 2)
                    goOn = ask_yes_no("\nThe maximum number of iterations has been reached, but the analysis has\n"
                                      "not converged. Do you want to continue until convergence?") != 0;
            }
            if (!goOn) {
                fit.stopReason = StopReason::IterationLimit;
                break;
            }
            std::printf("Setting number of iterations to 10000.\n\n");
            maxIt = CONTINUED_LIMIT;
        }
    }

    // The last likelihoods and the reason for stopping.
    fit.logLik = lik;
    fit.deviance = -2.0 * lik;
    fit.numParams = static_cast<long>(r) * (r + 1) / 2 + (fit.sigma2Fixed ? 0 : 1) + (fit.fullML ? Fe : 0);
    if (out != nullptr) print_iterations_stop(out, rs.fullOutput, t, fit.likHistory, fit.stopReason);

    // Final estimates: gammas over all F, reliabilities, chi-squares, variance standard errors.
    fit.gamma.assign(F, 0.0);
    expand_gamma(fit, fit.gammaE.data(), fit.gamma.data());
    fit.gammaCov.assign(static_cast<std::size_t>(F) * F, 0.0);
    expand_gamma_matrix(fit, fit.gammaCovEst.data(), fit.gammaCov.data());
    final_pass(fit);
    if (fit.fullML && tau_usable(r, fit.tau.data(), fit.tauInv.data())) {
        std::vector<double> info, score;
        fisher_information(fit, info, score);
        variance_standard_errors(fit, info);
    }

    // The final iteration's block (a macro-iteration run may print it later itself).
    if (out == nullptr || fit.holdFinalBlock) return;
    final_block(out, rs, L, fit, &sums);
}

void print_final_iteration_block(FILE* out, const RunSettings& rs, const ReportLabels& L, const LinearFit& fit) {
    if (out != nullptr) final_block(out, rs, L, fit, nullptr);
}

void run_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                  LinearFit& fit) {
    // 1. Layout, level-2 weights and centring.
    prepare_linear_fit(rs, model, mdm, out, fit);
    const ReportLabels L = make_report_labels(model, rs, mdm);
    const std::string outcome =
        fit.outcomeSlot >= 0 && fit.outcomeSlot < static_cast<int>(model.l1Names.size())
            ? std::string(model.l1Names[fit.outcomeSlot].text, 8)
            : std::string();

    // 3. The set-up pass.
    setup_pass(rs, model, mdm, mdmFile, out, fit);

    // 4. Records removed at analysis time.
    if (fit.N != fit.Nmdm && out != nullptr)
        std::fprintf(out, "\nRun-time deletion has reduced the number of level-1 records to %ld\n\n", fit.N);

    least_squares(rs, out, L, outcome, fit);
    if (fit.r > 0) em_iterations(rs, out, L, outcome, fit);
}

void robust_add_unit_scores(const LinearFit& fit, double scale, RobustAccumulator& acc) {
    const int F = fit.F, Fe = fit.Fe;
    robust_begin(acc, F);
    std::vector<double> score(F), seen(Fe);
    for (long j = 0; j < fit.J; ++j) {
        std::fill(seen.begin(), seen.end(), 0.0);
        const double* s = &fit.unitScore[static_cast<std::size_t>(j) * Fe];
        for (int g = 0; g < F; ++g) {
            const int e = fit.gammaEst[g];
            score[g] = seen[e] == 0.0 ? s[e] : 0.0;
            seen[e] = 1.0;
        }
        robust_add_unit(acc, score.data(), nullptr, F, fit.gamma.data(), 0, nullptr, 0, nullptr, -1.0, scale);
    }
}
