// Starting values of sigma-squared and Tau from the per-unit OLS fits, and the
// repair of a Tau(0) that is not a usable covariance matrix.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "model/model.h"
#include "numeric/numeric.h"
#include "report/report.h"

bool tau_usable(int r, const double* tau, double* tauInv) {
    std::vector<double> work(std::max(3, r * (r + 1) / 2) + 3);
    if (sym_inverse(r, tau, tauInv, work.data(), r, r) != 0) return false;
    return pd_check(1, r, tau, nullptr, r) == 0;
}

namespace {

const char* const MENU_TEXT =
    "Do you wish to:\n"
    "   Set all off diagonal elements to 0?  Enter 1.\n"
    "   Manually reset values?               Enter 2.\n"
    "   Automatic fixup?                     Enter 3.\n"
    "   Quit?                                Enter 4.\n"
    "   Your choice =";

// Shows Tau(0) on the console (unless the report is the console) and asks for an action.
int tau_menu(int r, const double* tau, const ReportLabels& L, FILE* out) {
    if (out != stdout) {
        std::printf("\n Tau(0)\n");
        for (int i = 0; i < r; ++i) {
            std::printf(" %.9s ", i < static_cast<int>(L.randomNames.size()) ? L.randomNames[i].c_str() : "");
            for (int j = 0; j < r; ++j) std::printf("%12.5lf ", tau[i * r + j]);
            std::printf("\n");
        }
        std::printf("\n");
    }
    return ask_int(1, 4, MENU_TEXT);
}

// Reads one answer line; the end of input ends the run like any unanswered question.
void read_line_or_die(std::string& line) {
    if (!read_answer_line(line)) {
        std::printf("Unable to get a proper response!\n");
        fatal_exit(0);
    }
}

// True when the line holds a number (read as with "%lf").
bool parse_number(const std::string& line, double& value) {
    return std::sscanf(line.c_str(), "%lf", &value) == 1;
}

// Manual entry of the lower triangle; every element may be left unchanged.
void manual_tau(int r, double* tau) {
    std::string line;
    for (int i = 0; i < r; ++i) {
        for (int j = 0; j <= i; ++j) {
            std::printf("The current value of Tau(%d,%d) is %lf\n", i, j, tau[i * r + j]);
            for (;;) {
                std::printf("Reset Tau(%d,%d) to (hit return to leave unchanged) ", i, j);
                std::fflush(stdout);
                read_line_or_die(line);
                if (line.find_first_not_of(" \t\r") == std::string::npos) break;
                double v = 0.0;
                if (parse_number(line, v)) {
                    tau[i * r + j] = v;
                    tau[j * r + i] = v;
                    break;
                }
            }
        }
    }
}

}  // namespace

int repair_tau0(int r, double* tau, double* tauInv, const double* dbar0, int mode,
                const ReportLabels& L, FILE* out, bool fullOutput, double* sigma2, bool makeDiagonal) {
    // FIXTAU 1, 3 and 4 act at once; 2 and every other value show the menu, whose
    // own choice 2 is the manual entry.
    int action = (mode == 1 || mode == 3 || mode == 4) ? mode : 0;
    for (;;) {
        if (action < 1 || action > 4) action = tau_menu(r, tau, L, out);
        if (action == 1) {
            for (int i = 0; i < r; ++i)
                for (int j = 0; j < r; ++j)
                    if (i != j) tau[i * r + j] = 0.0;
            if (tau_usable(r, tau, tauInv)) break;
            action = 0;
            continue;
        }
        if (action == 2) {
            for (;;) {
                manual_tau(r, tau);
                if (tau_usable(r, tau, tauInv)) break;
                std::printf("Entered tau is not acceptable. Try again.\n");
            }
            if (sigma2 != nullptr) {
                std::printf("Sigma(0)_squared = %lf\n", *sigma2);
                if (ask_yes_no("Would you like to change it?")) {
                    std::printf("Enter new value for sigma ");
                    std::fflush(stdout);
                    std::string line;
                    read_line_or_die(line);
                    double v = 0.0;
                    if (parse_number(line, v)) {
                        *sigma2 = v;
                        std::printf("New sigma(0)_squared = %lf\n", v);
                    }
                }
            }
            break;
        }
        if (action == 3) {
            if (makeDiagonal) {
                for (int i = 0; i < r; ++i)
                    for (int j = 0; j < r; ++j)
                        tau[i * r + j] = i == j ? std::fabs(tau[i * r + j]) : 0.0;
            }
            if (negative_diagonal(r, tau, r)) {
                for (int i = 0; i < r; ++i)
                    if (tau[i * r + i] <= 0.0) tau[i * r + i] = 0.2 * dbar0[i * r + i];
            }
            // Shrink every offending covariance until no correlation reaches 1.
            for (int round = 0; round < 50 && correlation_bound(r, tau, r); ++round) {
                for (int i = 0; i < r; ++i)
                    for (int j = 0; j < i; ++j) {
                        const double bound = std::sqrt(std::fabs(tau[i * r + i] * tau[j * r + j]));
                        if (std::fabs(tau[i * r + j]) >= bound) {
                            tau[i * r + j] *= 0.7;
                            tau[j * r + i] *= 0.7;
                        }
                    }
            }
            if (!tau_usable(r, tau, tauInv)) {
                for (int i = 0; i < r; ++i)
                    for (int j = 0; j < r; ++j) tau[i * r + j] = i == j ? 0.2 * dbar0[i * r + i] : 0.0;
                if (!tau_usable(r, tau, tauInv)) {
                    std::printf("Unable to compute Tau(0)\n");
                    if (out != nullptr) print_matrix(out, L, r, r, tau, nullptr, "Bad Tau(0)", r);
                    fatal_exit(0);
                }
            }
            break;
        }
        // action 4: give up.
        if (out != nullptr) std::fprintf(out, "fixtau set to 4, so no correction to tau made. Unable to continue.\n");
        fatal_exit(0);
    }
    if (fullOutput && out != nullptr) print_matrix(out, L, r, r, tau, nullptr, "New Tau(0)", r);
    return action;
}

void compute_starting_values(RunSettings& rs, FILE* out, const ReportLabels& L, LinearFit& fit) {
    const int r = fit.r;
    const long J = fit.J;
    const int w2 = fit.p2 + 1;

    // 1. sigma2(0): the pooled within-unit residual variance, or the fixed value.
    double s2 = 0.0;
    if (fit.sigma2Fixed) {
        s2 = rs.fixedSigma2;
    } else {
        const long d = fit.No - static_cast<long>(r) * fit.Jo;
        if (d < 1) fatal_exit(18);
        s2 = (fit.yyOls - fit.sumBXy - fit.fixedShareSS) / static_cast<double>(d);
    }
    // 2. A vanishing level-1 variance means the level-1 model fits exactly.
    if (s2 <= 1e-8) {
        if (out != nullptr) std::fprintf(out, "Sigma_squared(0) is virtually zero. Please examine your level-1 model\n");
        fatal_exit(0);
    }

    // 3. D_bar(0): dispersion of the OLS coefficients about their level-2 predictions.
    fit.dbar0.assign(r * r, 0.0);
    std::vector<double> dev(r);
    for (long j = 0; j < J; ++j) {
        if (!fit.hasOls[j]) continue;
        const double* l2 = &fit.l2Design[static_cast<std::size_t>(j) * w2];
        for (int s = 0; s < r; ++s) {
            const int q = fit.randomCoef[s];
            double pred = 0.0;
            for (int g = fit.coefFirstGamma[q]; g < fit.coefFirstGamma[q] + fit.coefNumGammas[q]; ++g)
                pred += l2[fit.gammaL2Slot[g]] * fit.gammaOls[g];
            dev[s] = fit.bOls[static_cast<std::size_t>(j) * r + s] - pred;
        }
        for (int a = 0; a < r; ++a)
            for (int b = 0; b < r; ++b) fit.dbar0[a * r + b] += dev[a] * dev[b];
    }
    for (int a = 0; a < r; ++a)
        for (int b = 0; b < r; ++b) {
            long div = J;
            if (!fit.fullML)
                div = J - (fit.coefNumGammas[fit.randomCoef[a]] + fit.coefNumGammas[fit.randomCoef[b]]) / 2;
            fit.dbar0[a * r + b] /= static_cast<double>(div > 0 ? div : 1);
        }

    // 4-5. V_bar(0) and Tau(0) = D_bar(0) - V_bar(0).
    fit.vbar0.assign(r * r, 0.0);
    fit.tauStart.assign(r * r, 0.0);
    for (int k = 0; k < r * r; ++k) {
        fit.vbar0[k] = s2 / static_cast<double>(J) * fit.sumVinv[k];
        fit.tauStart[k] = fit.dbar0[k] - fit.vbar0[k];
    }
    fit.sigma2Start = s2;

    // 6. The starting values in the report.
    if (rs.fullOutput && out != nullptr) {
        std::fprintf(out, "\n\n\n STARTING VALUES\n");
        report_rule(out, 15);
        std::fprintf(out, "sigma(0)_squared = %12.5lf\n", s2);
        if (rs.debugLevel > 0) {
            print_matrix(out, L, r, r, fit.vbar0.data(), nullptr, "V_bar(0)", r);
            print_matrix(out, L, r, r, fit.dbar0.data(), nullptr, "D_bar(0)", r);
        }
        print_matrix(out, L, r, r, fit.tauStart.data(), nullptr, "Tau(0)", r);
    }

    // 7. Check Tau(0) and repair it when it is no covariance matrix (or when asked to show the menu).
    settle_tau0(rs, r, fit.tauStart, fit.tauInv, fit.dbar0.data(), L, out, &fit.sigma2Start, rs.distribution != 0);
    fit.tau = fit.tauStart;
    fit.sigma2 = fit.sigma2Start;
}

void settle_tau0(RunSettings& rs, int r, std::vector<double>& tauStart, std::vector<double>& tauInv,
                 const double* dbar0, const ReportLabels& labels, FILE* out, double* sigma2, bool makeDiagonal) {
    tauInv.assign(static_cast<std::size_t>(r) * r, 0.0);
    if (tau_usable(r, tauStart.data(), tauInv.data()) && rs.fixTau != 5) return;
    int mode = rs.fixTau;
    // The menu is shown once; a later pass repairs without asking.
    if (mode == 5) {
        mode = 0;
        rs.fixTau = 0;
    }
    repair_tau0(r, tauStart.data(), tauInv.data(), dbar0, mode, labels, out, rs.fullOutput, sigma2, makeDiagonal);
}
