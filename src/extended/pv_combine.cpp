// Plausible values and multiple imputation, the combining side: averages over
// the passes, the between-analysis terms, the combined degrees of freedom, and
// the averaged report with its matrix files.
#include <cmath>
#include <cstdio>
#include <string>
#include <strings.h>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "extended/extended.h"
#include "report/report.h"

namespace {

using Passes = std::vector<std::vector<PassEstimates>>;

// Adds v (n values, a short vector counts as zeros) into sum.
void add_into(std::vector<double>& sum, const std::vector<double>& v, std::size_t n) {
    sum.resize(n, 0.0);
    for (std::size_t i = 0; i < n && i < v.size(); ++i) sum[i] += v[i];
}

void scale(std::vector<double>& v, double s) {
    for (double& x : v) x *= s;
}

// factor * sum over passes of (x_m - mean)(x_m - mean)' for the vectors x_m = pick(pass m).
template <class Pick>
std::vector<double> between(const Passes& passes, std::size_t block, const std::vector<double>& mean, double factor,
                            Pick pick) {
    const std::size_t n = mean.size();
    std::vector<double> B(n * n, 0.0), d(n);
    for (const std::vector<PassEstimates>& p : passes) {
        const std::vector<double> x = pick(p[block]);
        for (std::size_t i = 0; i < n; ++i) d[i] = (i < x.size() ? x[i] : 0.0) - mean[i];
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) B[i * n + j] += d[i] * d[j];
    }
    scale(B, factor);
    return B;
}

// Distinct elements of an r x r matrix, lower triangle by rows.
std::vector<double> distinct(const std::vector<double>& full, int r) {
    std::vector<double> v;
    for (int i = 0; i < r; ++i)
        for (int j = 0; j <= i; ++j) v.push_back(full[static_cast<std::size_t>(i) * r + j]);
    return v;
}

void write_rows(const char* name, int n, const std::vector<double>& A) {
    FILE* f = open_or_die(name, "w");
    for (int i = 0; i < n; ++i) write_matrix_row(n, A.data() + static_cast<std::size_t>(i) * n, "%15.7lf ", f);
    if (std::fclose(f) != 0) fatal_exit(5);
}

// The gamma combiner's tables: model-based, then (when the block has one) robust, from the combined values.
void print_gamma_tables(FILE* out, const ReportLabels& L, int f, const CombinedBlock& c, bool leastSquares,
                        bool robust = true) {
    FixedTableOptions opt;
    opt.mode = leastSquares ? FixedTableMode::LeastSquares : FixedTableMode::Final;
    opt.perGammaDf = true;
    print_fixed_effects(out, L, f, c.df.data(), opt, c.total.data(), c.mean.gamma.data(), "", f);
    if (!robust) return;
    opt.mode = leastSquares ? FixedTableMode::LeastSquaresRobust : FixedTableMode::FinalRobust;
    print_fixed_effects(out, L, f, c.dfRobust.data(), opt, c.totalRobust.data(), c.mean.gamma.data(), "", f);
}

}  // namespace

namespace {

// A refinement's averaged results over the passes in which it succeeded: heading, Tau and
// the "(Laplace)" fixed-effects table from the combined values.
void print_refined_average(FILE* out, const ReportLabels& L, const PassLayout& layout, const Passes& passes,
                           std::size_t b, PassBlock kind) {
    std::fprintf(out, kind == PassBlock::Laplace     ? "\nLaplace Results\n"
                      : kind == PassBlock::EmLaplace ? "\nEM Laplace Results\n"
                                                     : "\nAGQ Results\n");
    Passes ok;
    for (const std::vector<PassEstimates>& p : passes)
        if (p[b].flag) ok.push_back(p);
    if (ok.size() < passes.size())
        std::fprintf(out, " %d of the %d analyses produced these results; the averages are over those.\n",
                     static_cast<int>(ok.size()), static_cast<int>(passes.size()));
    if (ok.empty()) return;
    const CombinedBlock c = combine_block(ok, b, kind, layout);
    const int r = layout.r, f = layout.f;
    if (r > 0) print_matrix(out, L, r, r, c.mean.tau.data(), nullptr, "Tau", r);
    FixedTableOptions opt;
    opt.mode = FixedTableMode::Laplace;
    opt.perGammaDf = true;
    print_fixed_effects(out, L, f, c.df.data(), opt, c.total.data(), c.mean.gamma.data(), "", f);
}

}  // namespace

long combined_df(int M, double within, double between, long complete) {
    if (!(between > 0.0)) return complete;
    const double v = (M - 1) * std::pow(1.0 + within / between, 2.0);
    if (!(v < static_cast<double>(complete))) return complete;
    return static_cast<long>(v);
}

CombinedBlock combine_block(const Passes& passes, std::size_t block, PassBlock kind, const PassLayout& layout) {
    const BlockShape s = block_shape(kind, layout);
    const int M = static_cast<int>(passes.size());
    const double invM = M > 0 ? 1.0 / M : 0.0;
    // Between-analysis factor (1/M + 1)/(M - 1); a single pass has no between part.
    const double factor = M > 1 ? (invM + 1.0) / (M - 1) : 0.0;
    const std::size_t f = static_cast<std::size_t>(s.gamma), r = static_cast<std::size_t>(s.tau);
    const std::size_t m = static_cast<std::size_t>(s.tauCov);

    CombinedBlock c;
    PassEstimates& mean = c.mean;
    long countSum = 0;
    double se2Sum = 0.0;
    for (const std::vector<PassEstimates>& p : passes) {
        const PassEstimates& e = p[block];
        if (!e.flag) mean.flag = 0;
        countSum += e.count;
        mean.sigma2 += e.sigma2;
        se2Sum += e.sigma2SE * e.sigma2SE;
        add_into(mean.tau, e.tau, r * r);
        add_into(mean.tauCov, e.tauCov, m * m);
        add_into(mean.reliability, e.reliability, static_cast<std::size_t>(s.reliability));
        add_into(mean.gamma, e.gamma, f);
        add_into(mean.cov, e.cov, f * f);
        add_into(mean.robust, e.robust, f * f);
        add_into(mean.chiSquare, e.chiSquare, static_cast<std::size_t>(s.chiSquare));
    }
    mean.count = M > 0 ? static_cast<int>(countSum / M) : 0;
    mean.sigma2 *= invM;
    for (std::vector<double>* v : {&mean.tau, &mean.tauCov, &mean.reliability, &mean.gamma, &mean.cov, &mean.robust,
                                   &mean.chiSquare})
        scale(*v, invM);
    if (s.covInSigma2) {
        scale(mean.cov, mean.sigma2);
        scale(mean.robust, mean.sigma2);
    }

    // sigma2: (1 + 1/M) times the variance of the M values, plus the mean squared SE.
    if (s.sigma2SE) {
        double ss = 0.0;
        for (const std::vector<PassEstimates>& p : passes) ss += std::pow(p[block].sigma2 - mean.sigma2, 2.0);
        const double Bs = M > 1 ? ss / (M - 1) : 0.0;
        c.sigma2SE = std::sqrt((1.0 + invM) * Bs + se2Sum * invM);
    }

    // Tau elements: mean covariance plus their between matrix.
    if (m > 0) {
        const std::vector<double> tbar = distinct(mean.tau, static_cast<int>(r));
        const std::vector<double> Bt = between(passes, block, tbar, factor, [r](const PassEstimates& e) {
            return distinct(e.tau, static_cast<int>(r));
        });
        for (std::size_t k = 0; k < m; ++k) {
            const double v = mean.tauCov[k * m + k] + Bt[k * m + k];
            c.tauSE.push_back(v > 0.0 ? std::sqrt(v) : 0.0);
        }
    }

    // Gammas: total covariance = averaged within + B, and the df of each gamma.
    const std::vector<double> B =
        between(passes, block, mean.gamma, factor, [](const PassEstimates& e) { return e.gamma; });
    c.total = mean.cov;
    c.totalRobust = mean.robust;
    for (std::size_t i = 0; i < f * f; ++i) {
        c.total[i] += B[i];
        c.totalRobust[i] += B[i];
    }
    for (std::size_t k = 0; k < f; ++k) {
        const long complete = kind == PassBlock::LeastSquares
                                  ? layout.leastSquaresDf
                                  : (k < layout.completeDf.size() ? layout.completeDf[k] : 0);
        c.df.push_back(combined_df(M, mean.cov[k * f + k], B[k * f + k], complete));
        c.dfRobust.push_back(combined_df(M, mean.robust[k * f + k], B[k * f + k], complete));
    }
    return c;
}

void print_averaged_results(FILE* out, const ReportLabels& L, const PassLayout& layout, AveragedRun run,
                            const Passes& passes) {
    std::fprintf(out, "\fTHE AVERAGED RESULTS FOR THIS %s RUN\n",
                 run == AveragedRun::PlausibleValues ? "PLAUSIBLE VALUE" : "MULTIPLE IMPUTATION");
    if (passes.empty()) return;
    const int f = layout.f, r = layout.r;
    bool tauFile = false;
    for (std::size_t b = 0; b < layout.blocks.size(); ++b) {
        const PassBlock kind = layout.blocks[b];
        if (kind == PassBlock::Laplace || kind == PassBlock::EmLaplace || kind == PassBlock::Agq) {
            print_refined_average(out, L, layout, passes, b, kind);
            continue;
        }
        const bool robust = block_shape(kind, layout).robust;
        const CombinedBlock c = combine_block(passes, b, kind, layout);
        const PassEstimates& mean = c.mean;
        if (kind == PassBlock::LeastSquares) {
            std::fprintf(out, "\n\n Least Squares Estimates\n");
            std::fprintf(out, " Sigma_squared = %12.5lf\n\n", mean.sigma2);
            print_gamma_tables(out, L, f, c, true);
            continue;
        }
        if (!layout.sigma2Fixed) {
            std::fprintf(out, " Sigma_squared = %12.5lf\n", mean.sigma2);
            if (layout.fullML) std::fprintf(out, "\n Standard Error of Sigma_squared = %12.5lf\n", c.sigma2SE);
        }
        if (r > 0) {
            print_matrix(out, L, r, r, mean.tau.data(), nullptr, "Tau", r);
            if (layout.matrixFiles) {
                write_rows("tauvcpv.dat", r, mean.tau);
                tauFile = true;
            }
            if (layout.fullML) {
                std::vector<double> se(static_cast<std::size_t>(r) * r);
                std::size_t k = 0;
                for (int i = 0; i < r; ++i)
                    for (int j = 0; j <= i; ++j, ++k) se[i * r + j] = se[j * r + i] = c.tauSE[k];
                print_matrix(out, L, r, r, se.data(), nullptr, "Standard Errors of Tau", r);
            }
            print_reliabilities(out, L, r, mean.reliability.data());
            if (mean.count < layout.J) print_partial_note(out, "reliability estimates", mean.count, layout.J);
        }
        print_variance_components(out, L, r, layout.gammaCounts.data(), mean.count, mean.sigma2, !layout.sigma2Fixed,
                                  mean.tau.data(), r, mean.chiSquare.data());
        if (r > 0 && mean.count < layout.J) print_partial_note(out, "chi-square statistics", mean.count, layout.J);
        print_gamma_tables(out, L, f, c, false, robust);
        if (layout.matrixFiles) {
            write_rows("gamvcpv.dat", f, c.total);
            if (robust) write_rows("gamvcpvr.dat", f, c.totalRobust);
            std::fprintf(out, "gamvcpv.dat, containing the variance-covariance matrix of gamma has been created.\n");
            if (robust)
                std::fprintf(out, "gamvcpvr.dat, containing the robust variance-covariance matrix of gamma has\n"
                                  "been created.\n");
            std::fprintf(out, "The above files have been created with a (nE15.7,1X) format.\n");
            if (f > 60)
                std::fprintf(out,
                             "Due to the high number of gammas, each line of the gamma matrices have been\n"
                             "split across %ld lines.\n",
                             static_cast<long>((f + 59) / 60));
        }
    }
    if (tauFile) std::fprintf(out, "\ntauvcpv.dat, containing the PV average tau has been created.\n");
}

void combine_series(FILE* results, AveragedRun run, const PassLayout& layout, const ReportLabels& L,
                    const std::string& outputName) {
    const Passes passes = read_pass_results(results, layout);
    if (run == AveragedRun::MultipleImputation) {
        std::fclose(results);
        std::remove(MI_RESULTS_FILE);
    } else {
        close_scratch(results);
    }
    const bool console = strcasecmp(outputName.c_str(), "stdout") == 0;
    FILE* out = console ? stdout : open_or_die(averaged_output_name(outputName).c_str(), "a+");
    print_averaged_results(out, L, layout, run, passes);
    if (console) {
        std::fflush(out);
    } else if (std::fclose(out) != 0) {
        fatal_exit(5);
    }
}
