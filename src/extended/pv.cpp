// Plausible values and multiple imputation, the pass side: the layout of the
// results each pass appends, the writer and reader of those blocks, and the
// start of the averaged report.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "extended/extended.h"
#include "model/model.h"

namespace {

constexpr const char* OUTPUT_NAME_LINE = "  Output file name";

int packed(int n) { return n * (n + 1) / 2; }

void write_int(std::int32_t v, FILE* f) { write_vector(&v, sizeof v, f); }
void write_doubles(const std::vector<double>& v, int n, FILE* f) {
    std::vector<double> buf(static_cast<std::size_t>(n), 0.0);
    for (int i = 0; i < n && i < static_cast<int>(v.size()); ++i) buf[i] = v[i];
    write_vector(buf.data(), buf.size() * sizeof(double), f);
}
// Packed lower triangle by rows; a short matrix writes zeros.
void write_packed(const std::vector<double>& full, int n, FILE* f) {
    std::vector<double> buf;
    buf.reserve(static_cast<std::size_t>(packed(n)));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            const std::size_t k = static_cast<std::size_t>(i) * n + j;
            buf.push_back(k < full.size() ? full[k] : 0.0);
        }
    write_vector(buf.data(), buf.size() * sizeof(double), f);
}

// The file's size is checked before reading, so a short read is a damaged file.
void read_or_die(void* buffer, std::size_t bytes, FILE* f) {
    if (read_vector(buffer, bytes, f) != 1) fatal_exit(4);
}
int read_int(FILE* f) {
    std::int32_t v = 0;
    read_or_die(&v, sizeof v, f);
    return v;
}
std::vector<double> read_doubles(int n, FILE* f) {
    std::vector<double> v(static_cast<std::size_t>(n));
    read_or_die(v.data(), v.size() * sizeof(double), f);
    return v;
}
std::vector<double> read_packed(int n, FILE* f) {
    const std::vector<double> p = read_doubles(packed(n), f);
    std::vector<double> full(static_cast<std::size_t>(n) * n);
    std::size_t k = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j, ++k) {
            full[static_cast<std::size_t>(i) * n + j] = p[k];
            full[static_cast<std::size_t>(j) * n + i] = p[k];
        }
    return full;
}

long file_size(FILE* f) {
    struct stat st {};
    if (fstat(fileno(f), &st) != 0) return -1;
    return static_cast<long>(st.st_size);
}

// The estimated-gamma (Fe x Fe) form of an F x F matrix: the first gamma of each tied group stands for it.
std::vector<double> compress_gamma_matrix(const LinearFit& fit, const std::vector<double>& full) {
    std::vector<int> first(fit.Fe, -1);
    for (int g = 0; g < fit.F; ++g)
        if (first[fit.gammaEst[g]] < 0) first[fit.gammaEst[g]] = g;
    std::vector<double> est(static_cast<std::size_t>(fit.Fe) * fit.Fe);
    for (int a = 0; a < fit.Fe; ++a)
        for (int b = 0; b < fit.Fe; ++b) est[a * fit.Fe + b] = full[first[a] * fit.F + first[b]];
    return est;
}

}  // namespace

BlockShape block_shape(PassBlock block, const PassLayout& layout) {
    BlockShape s;
    s.gamma = layout.f;
    if (block == PassBlock::Laplace || block == PassBlock::EmLaplace || block == PassBlock::Agq) {
        // A refinement: whether it succeeded, Tau, the gammas and their covariance itself.
        s.flag = true;
        s.tau = layout.r;
        s.robust = false;
        return s;
    }
    s.sigma2 = true;
    s.covInSigma2 = true;
    s.robust = block != PassBlock::NonLinear;
    if (block == PassBlock::Linear || block == PassBlock::NonLinear) {
        s.count = true;
        s.sigma2SE = layout.fullML;
        s.tau = layout.r;
        s.tauCov = layout.fullML ? packed(layout.r) : 0;
        s.reliability = layout.r;
        s.chiSquare = layout.r;
    }
    return s;
}

PassLayout linear_pass_layout(const LinearFit& fit, const RunSettings& rs) {
    PassLayout l;
    l.f = fit.F;
    l.r = fit.r;
    l.fullML = fit.fullML;
    l.sigma2Fixed = fit.sigma2Fixed;
    if (rs.fullOutput) l.blocks.push_back(PassBlock::LeastSquares);
    l.blocks.push_back(PassBlock::Linear);
    l.completeDf = fit.dfGamma;
    l.leastSquaresDf = fit.N - fit.F;
    l.J = fit.J;
    for (int q = 0; q < fit.r; ++q) l.gammaCounts.push_back(fit.coefNumGammas[fit.randomCoef[q]]);
    l.matrixFiles = rs.printVarCov != 0;
    return l;
}

long pass_results_bytes(const PassLayout& layout) {
    long bytes = 0;
    for (PassBlock b : layout.blocks) {
        const BlockShape s = block_shape(b, layout);
        bytes += 4 * (static_cast<long>(s.flag) + s.count);
        long doubles = static_cast<long>(s.sigma2) + s.sigma2SE + packed(s.tau) + packed(s.tauCov) + s.reliability +
                       s.gamma + (1L + s.robust) * packed(s.gamma) + s.chiSquare;
        bytes += 8 * doubles;
    }
    return bytes;
}

void append_pass_results(FILE* f, const PassLayout& layout, const std::vector<PassEstimates>& blocks) {
    for (std::size_t i = 0; i < layout.blocks.size() && i < blocks.size(); ++i) {
        const BlockShape s = block_shape(layout.blocks[i], layout);
        const PassEstimates& e = blocks[i];
        if (s.flag) write_int(e.flag, f);
        if (s.count) write_int(e.count, f);
        if (s.sigma2) write_doubles({e.sigma2}, 1, f);
        if (s.sigma2SE) write_doubles({e.sigma2SE}, 1, f);
        write_packed(e.tau, s.tau, f);
        write_packed(e.tauCov, s.tauCov, f);
        write_doubles(e.reliability, s.reliability, f);
        write_doubles(e.gamma, s.gamma, f);
        write_packed(e.cov, s.gamma, f);
        if (s.robust) write_packed(e.robust, s.gamma, f);
        write_doubles(e.chiSquare, s.chiSquare, f);
    }
    std::fflush(f);
}

std::vector<double> least_squares_robust(const LinearFit& fit) {
    const int Fe = fit.Fe;
    std::vector<double> inv = compress_gamma_matrix(fit, fit.olsCov);
    std::vector<double> g(Fe, 0.0);
    for (int k = 0; k < fit.F; ++k) g[fit.gammaEst[k]] = fit.gammaOls[k];
    // Meat: each unit's weighted score W_j'X_j'(y_j - X_j W_j g), outer products summed.
    std::vector<double> meat(static_cast<std::size_t>(Fe) * Fe, 0.0), s(Fe);
    for (long j = 0; j < fit.J; ++j) {
        const double* h = &fit.wxxw[static_cast<std::size_t>(j) * Fe * Fe];
        const double* c = &fit.wxy[static_cast<std::size_t>(j) * Fe];
        const double w = j < static_cast<long>(fit.unitWeight.size()) ? fit.unitWeight[j] : 1.0;
        for (int a = 0; a < Fe; ++a) {
            double hg = 0.0;
            for (int b = 0; b < Fe; ++b) hg += h[a * Fe + b] * g[b];
            s[a] = w * (c[a] - hg);
        }
        for (int a = 0; a < Fe; ++a)
            for (int b = 0; b < Fe; ++b) meat[a * Fe + b] += s[a] * s[b];
    }
    std::vector<double> t(static_cast<std::size_t>(Fe) * Fe), est(static_cast<std::size_t>(Fe) * Fe);
    unit_mul(Fe, Fe, Fe, inv.data(), meat.data(), t.data());
    unit_mul(Fe, Fe, Fe, t.data(), inv.data(), est.data());
    if (fit.sigma2Ols > 0.0)
        for (double& v : est) v /= fit.sigma2Ols;
    std::vector<double> full(static_cast<std::size_t>(fit.F) * fit.F);
    expand_gamma_matrix(fit, est.data(), full.data());
    return full;
}

namespace {

// The final estimates of a fit (the robust covariance, in units of sigma2, may be null).
PassEstimates final_block(const LinearFit& fit, const double* robust) {
    const int m = packed(fit.r);
    PassEstimates e;
    e.count = static_cast<int>(fit.Jo);
    e.sigma2 = fit.sigma2;
    e.sigma2SE = fit.haveVarianceSE ? fit.sigma2SE : 0.0;
    e.tau = fit.tau;
    if (fit.fullML && fit.haveVarianceSE) {
        e.tauCov.assign(static_cast<std::size_t>(m) * m, 0.0);
        for (int a = 0; a < m; ++a)
            for (int c = 0; c < m; ++c) e.tauCov[a * m + c] = fit.varianceCov[a * (m + 1) + c];
    }
    e.reliability = fit.reliability;
    e.gamma = fit.gamma;
    e.cov = fit.gammaCov;
    if (robust != nullptr) e.robust.assign(robust, robust + static_cast<std::size_t>(fit.F) * fit.F);
    e.chiSquare = fit.chiSquare;
    return e;
}

}  // namespace

void append_linear_pass(FILE* f, const LinearFit& fit, const RunSettings& rs, const double* robust) {
    const PassLayout layout = linear_pass_layout(fit, rs);
    std::vector<PassEstimates> blocks;
    for (PassBlock b : layout.blocks) {
        PassEstimates e;
        if (b == PassBlock::LeastSquares) {
            e.sigma2 = fit.sigma2Ols;
            e.gamma = fit.gammaOls;
            e.cov = fit.olsCov;
            e.robust = least_squares_robust(fit);
        } else {
            e = final_block(fit, robust);
        }
        blocks.push_back(std::move(e));
    }
    append_pass_results(f, layout, blocks);
}

PassLayout nonlinear_pass_layout(const LinearFit& fit, const RunSettings& rs, const RefinedSet& refined) {
    PassLayout l = linear_pass_layout(fit, rs);
    l.blocks = {PassBlock::NonLinear};
    if (refined.laplace.requested) l.blocks.push_back(PassBlock::Laplace);
    if (refined.emLaplace.requested) l.blocks.push_back(PassBlock::EmLaplace);
    if (refined.agq.requested) l.blocks.push_back(PassBlock::Agq);
    return l;
}

void append_nonlinear_pass(FILE* f, const PassLayout& layout, const LinearFit& fit, const RefinedSet& refined) {
    std::vector<PassEstimates> blocks;
    for (PassBlock b : layout.blocks) {
        if (b == PassBlock::NonLinear) {
            blocks.push_back(final_block(fit, nullptr));
            continue;
        }
        const RefinedEstimates& r = b == PassBlock::Laplace     ? refined.laplace
                                    : b == PassBlock::EmLaplace ? refined.emLaplace
                                                                : refined.agq;
        PassEstimates e;
        e.flag = r.succeeded ? 1 : 0;
        if (r.succeeded) {
            e.tau = r.tau;
            e.gamma = r.gamma;
            e.cov = r.cov;
        }
        blocks.push_back(std::move(e));
    }
    append_pass_results(f, layout, blocks);
}

FILE* start_plausible_results(int numValues) {
    FILE* f = open_scratch();
    write_int(numValues, f);
    return f;
}

std::string averaged_output_name(const std::string& outputName) {
    return outputName.substr(0, outputName.find('.')) + ".avg";
}

void start_averaged_output(FILE* passOutput, const std::string& outputName) {
    const std::string avgName = averaged_output_name(outputName);
    FILE* avg = open_or_die(avgName.c_str(), "w");
    std::fflush(passOutput);
    const long end = std::ftell(passOutput);
    if (end > 0 && std::fseek(passOutput, 0, SEEK_SET) == 0) {
        std::string line;
        long done = 0;
        int c;
        // Line by line up to what the pass has written; the output-name line names the averaged report.
        while (done < end && (c = std::fgetc(passOutput)) != EOF) {
            ++done;
            line.push_back(static_cast<char>(c));
            if (c != '\n' && done < end) continue;
            if (line.compare(0, std::strlen(OUTPUT_NAME_LINE), OUTPUT_NAME_LINE) == 0) {
                const std::size_t eq = line.find("= ");
                if (eq != std::string::npos) line = line.substr(0, eq + 2) + avgName + "\n";
            }
            if (std::fputs(line.c_str(), avg) == EOF) fatal_exit(5);
            line.clear();
        }
    }
    std::fseek(passOutput, 0, SEEK_END);
    if (std::fclose(avg) != 0) fatal_exit(5);
}

std::vector<std::vector<PassEstimates>> read_pass_results(FILE* f, const PassLayout& layout) {
    if (std::fseek(f, 0, SEEK_SET) != 0) fatal_exit(4);
    const int M = read_int(f);
    const long perPass = pass_results_bytes(layout);
    const long size = file_size(f);
    // The count is checked against the file before anything is sized by it.
    if (M < 1 || size < 0 || (perPass > 0 && (size - 4) / perPass < M)) fatal_exit(4);
    if (layout.blocks.empty()) return {};  // no pass of this kind records estimates
    std::vector<std::vector<PassEstimates>> passes(static_cast<std::size_t>(M));
    for (std::vector<PassEstimates>& pass : passes) {
        for (PassBlock b : layout.blocks) {
            const BlockShape s = block_shape(b, layout);
            PassEstimates e;
            if (s.flag) e.flag = read_int(f);
            if (s.count) e.count = read_int(f);
            if (s.sigma2) e.sigma2 = read_doubles(1, f)[0];
            if (s.sigma2SE) e.sigma2SE = read_doubles(1, f)[0];
            e.tau = read_packed(s.tau, f);
            e.tauCov = read_packed(s.tauCov, f);
            e.reliability = read_doubles(s.reliability, f);
            e.gamma = read_doubles(s.gamma, f);
            e.cov = read_packed(s.gamma, f);
            if (s.robust) e.robust = read_packed(s.gamma, f);
            e.chiSquare = read_doubles(s.chiSquare, f);
            pass.push_back(std::move(e));
        }
    }
    return passes;
}
