// Heterogeneous level-1 variance: the macro iterations that alternate the
// weighted linear fit with the update of the log-linear variance model, the
// alpha update itself, and the joint information of Tau and the alphas.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "extended/extended.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"
#include "report/report.h"

namespace {

// Records moved between memory and the scratch files in one read or write.
constexpr long CHUNK = 8192;
// Relative alpha changes at or below this count as no change.
constexpr double ALPHA_FLOOR = 1e-8;
// A percentage change of the likelihood below this counts as none.
constexpr double LIKELIHOOD_FLOOR = 1e-10;
// Inner iterations of one update at most: Fisher scoring on a concave problem gets
// there in a handful, so more means rounding noise in a tiny alpha.
constexpr int MAX_INNER_ITERATIONS = 200;

// A message for the console and the report.
void say(FILE* out, const char* text) {
    std::fputs(text, stdout);
    if (out != nullptr && out != stdout) std::fputs(text, out);
}

std::string slot_text(const NameSlot& s) {
    return std::string(s.text, strnlen(s.text, 12));
}

std::string trimmed(const NameSlot& s) {
    std::string t = slot_text(s);
    const std::size_t a = t.find_first_not_of(' ');
    const std::size_t b = t.find_last_not_of(' ');
    return a == std::string::npos ? std::string() : t.substr(a, b - a + 1);
}

std::string padded(const NameSlot& s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%8.8s", slot_text(s).c_str());
    return buf;
}

// Level-2 prediction of every level-1 coefficient of unit j plus its EB residuals.
void unit_coefficients(const LinearFit& fit, long j, double* beta) {
    const int w2 = fit.p2 + 1;
    std::fill(beta, beta + fit.Q, 0.0);
    for (int g = 0; g < fit.F; ++g)
        beta[fit.gammaCoef[g]] += fit.gamma[g] * fit.l2Design[static_cast<std::size_t>(j) * w2 + fit.gammaL2Slot[g]];
    for (int s = 0; s < fit.r; ++s) beta[fit.randomCoef[s]] += fit.u[static_cast<std::size_t>(j) * fit.r + s];
}

// The records of every unit as the set-up pass kept them, with the centres of the
// coefficients' predictors; a unit whose record count differs is skipped ("uhoh").
// Returns the records met. The MDM file is left where it was.
template <class Fn>
long walk_units(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                const LinearFit& fit, Fn fn) {
    const long start = std::ftell(mdmFile);
    Level1Reader rd = open_level1_reader(rs, model, mdm, fit, mdmFile);
    std::vector<double> means, rec, centre(fit.coefSlot.size());
    long met = 0;
    for (long j = 0; j < fit.J; ++j) {
        const int nj = read_level1_unit(rd, means, rec);
        if (nj != fit.n[j]) {
            std::printf("uhoh\n");
            continue;
        }
        level1_centres(fit, model, mdm, means.data(), centre.data());
        fn(j, nj, rec.data(), centre.data());
        met += nj;
    }
    if (start >= 0) std::fseek(mdmFile, start, SEEK_SET);
    return met;
}

// The design row of a record: the coefficients' predictors (centred) and c_ij.
void record_rows(const LinearFit& fit, const HeteroFit& het, const double* row, const double* centre, double* x,
                 double* c) {
    for (int q = 0; q < fit.Q; ++q) {
        const int s = fit.coefSlot[q];
        x[q] = s == 0 ? 1.0 : row[s - 1] - centre[q];
    }
    c[0] = 1.0;
    for (int k = 0; k < het.K; ++k) c[k + 1] = het.slots[k] == 0 ? 1.0 : row[het.slots[k] - 1];
}

// Reads the next n records of width w from a scratch file; a short read ends the run.
void read_rows(FILE* f, double* buf, long n, int w, FILE* out) {
    if (read_vector(buf, static_cast<std::size_t>(n) * w * sizeof(double), f) != 1) {
        say(out, "Unexpected EOF on C in hetl1c\n");
        fatal_exit(0);
    }
}

// One pass over the variance-design rows and the squared residuals at the current
// alphas: each record's variance (kept when `keep`), the score s when `score`.
void variance_pass(HeteroFit& het, double* score, bool keep) {
    const int K1 = het.K + 1;
    std::vector<double> cbuf(static_cast<std::size_t>(CHUNK) * K1), rbuf(CHUNK);
    std::fseek(het.rowsC, 0L, SEEK_SET);
    std::fseek(het.rowsR, 0L, SEEK_SET);
    if (score != nullptr) std::fill(score, score + K1, 0.0);
    double logSum = 0.0;
    for (long done = 0; done < het.records;) {
        const long n = std::min(CHUNK, het.records - done);
        read_rows(het.rowsC, cbuf.data(), n, K1, nullptr);
        if (score != nullptr) read_rows(het.rowsR, rbuf.data(), n, 1, nullptr);
        for (long i = 0; i < n; ++i) {
            const double* c = &cbuf[static_cast<std::size_t>(i) * K1];
            double eta = 0.0;
            for (int a = 0; a < K1; ++a) eta += c[a] * het.alpha[a];
            const double s2 = std::exp(eta);
            logSum += eta;
            if (keep) het.sigma2[done + i] = s2;
            if (score != nullptr) {
                const double f = (rbuf[i] - s2) / s2;
                for (int a = 0; a < K1; ++a) score[a] += c[a] * f;
            }
        }
        done += n;
    }
    if (keep) het.logSigma2Sum = logSum;
}

// alpha += inv(H) s.
void alpha_step(HeteroFit& het, const double* s) {
    const int K1 = het.K + 1;
    for (int a = 0; a < K1; ++a) {
        double d = 0.0;
        for (int b = 0; b < K1; ++b) d += het.Hinv[a * K1 + b] * s[b];
        het.alpha[a] += d;
    }
}

// Writes n doubles to a scratch file (message 5 on a short write).
void put_rows(FILE* f, std::vector<double>& buf) {
    if (!buf.empty()) write_vector(buf.data(), buf.size() * sizeof(double), f);
    buf.clear();
}

// The linear fit of one heterogeneous macro iteration: records weighted by
// 1/sigma2_ij, the working level-1 variance held at 1, and the likelihood of the
// heterogeneous model (the Jacobian of the weights, -0.5 sum ln sigma2_ij, taken in).
void weighted_fit(RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                  const ReportLabels& L, const std::string& outcome, int macro, LinearFit& fit, HeteroFit& het) {
    RunSettings ws = rs;
    ws.fixedSigma2 = 1.0;
    // The micro iterations stop at their limit without asking.
    ws.atIterationLimit = 0;
    std::vector<double> multiplier(het.sigma2.size());
    for (std::size_t i = 0; i < multiplier.size(); ++i) multiplier[i] = 1.0 / std::sqrt(het.sigma2[i]);

    prepare_linear_fit(ws, model, mdm, out, fit);
    fit.macroIteration = macro;
    fit.holdFinalBlock = true;
    setup_pass(ws, model, mdm, mdmFile, out, fit, nullptr, multiplier.data());
    if (fit.N != static_cast<long>(het.sigma2.size())) {
        say(out, "For some reason, bigt0 is not bigt in hetl1c\n");
        fatal_exit(0);
    }
    least_squares(ws, nullptr, L, outcome, fit);
    fit.likConst += 0.5 * het.logSigma2Sum;
    if (fit.r > 0) {
        em_iterations(ws, out, L, outcome, fit);
    } else {
        // Without random effects the weighted least squares are the fit.
        fit.logLik -= 0.5 * het.logSigma2Sum;
        fit.numParams = fit.F;
    }
    rs.fixTau = ws.fixTau;  // a Tau(0) menu is shown once
    fit.numParams += 1 + het.K;
}

}  // namespace

bool alpha_converged(int n, const double* alpha, const double* alphaOld, double criterion) {
    for (int k = 0; k < n; ++k) {
        if (alphaOld[k] == 0.0) continue;
        double d = std::fabs((alpha[k] - alphaOld[k]) / alphaOld[k]);
        if (d <= ALPHA_FLOOR) continue;  // at the floor: no change worth another pass
        if (d > criterion) return false;
    }
    return true;
}

void hetl1sig2(HeteroFit& het, double criterion) {
    const int K1 = het.K + 1;
    std::vector<double> old(K1, MISSING_VALUE), s(K1);
    het.innerIterations = 0;
    while (!alpha_converged(K1, het.alpha.data(), old.data(), criterion) &&
           het.innerIterations < MAX_INNER_ITERATIONS) {
        variance_pass(het, s.data(), false);
        old = het.alpha;
        alpha_step(het, s.data());
        ++het.innerIterations;
    }
    variance_pass(het, nullptr, true);
}

void hetl1c(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
            const LinearFit& fit, HeteroFit& het) {
    const int K1 = het.K + 1, Q = fit.Q, r = fit.r, p1 = fit.p1;
    const bool first = het.rowsC == nullptr;
    if (first) {
        het.rowsC = open_scratch();
        het.rowsR = open_scratch();
        het.H.assign(static_cast<std::size_t>(K1) * K1, 0.0);
        het.sigma2.assign(fit.N, fit.sigma2);
    }
    std::fseek(het.rowsR, 0L, SEEK_SET);
    std::vector<double> s(K1, 0.0), beta(Q), x(Q), c(K1), C(static_cast<std::size_t>(r) * r), cbuf, rbuf;
    long rec = 0;
    const long met = walk_units(rs, model, mdm, mdmFile, fit, [&](long j, int nj, const double* recs,
                                                                  const double* centre) {
        unit_coefficients(fit, j, beta.data());
        // The posterior dispersion of the random effects (the fit keeps it in units of sigma2).
        for (int k = 0; k < r * r; ++k) C[k] = fit.sigma2 * fit.postDisp[static_cast<std::size_t>(j) * r * r + k];
        for (int i = 0; i < nj; ++i, ++rec) {
            const double* row = recs + static_cast<std::size_t>(i) * p1;
            record_rows(fit, het, row, centre, x.data(), c.data());
            double e = row[fit.outcomeSlot - 1];
            for (int q = 0; q < Q; ++q) e -= x[q] * beta[q];
            double zcz = 0.0;
            for (int a = 0; a < r; ++a)
                for (int b = 0; b < r; ++b) zcz += x[fit.randomCoef[a]] * C[a * r + b] * x[fit.randomCoef[b]];
            const double rij = e * e + zcz;
            const double s2 = rec < static_cast<long>(het.sigma2.size()) ? het.sigma2[rec] : fit.sigma2;
            for (int a = 0; a < K1; ++a) s[a] += c[a] * (rij - s2) / s2;
            if (first) {
                for (int a = 0; a < K1; ++a)
                    for (int b = 0; b < K1; ++b) het.H[a * K1 + b] += c[a] * c[b];
                cbuf.insert(cbuf.end(), c.begin(), c.end());
                if (static_cast<long>(cbuf.size()) >= CHUNK * K1) put_rows(het.rowsC, cbuf);
            }
            rbuf.push_back(rij);
            if (static_cast<long>(rbuf.size()) >= CHUNK) put_rows(het.rowsR, rbuf);
        }
    });
    if (first) put_rows(het.rowsC, cbuf);
    put_rows(het.rowsR, rbuf);
    if (met != fit.N || rec != fit.N) {
        say(out, "For some reason, bigt0 is not bigt in hetl1c\n");
        fatal_exit(0);
    }
    het.records = rec;

    if (first) {
        het.Hinv.assign(static_cast<std::size_t>(K1) * K1, 0.0);
        std::vector<double> work(std::max(3, K1 * (K1 + 1) / 2) + 3);
        if (pd_check(0, K1, het.H.data(), nullptr, K1) != 0 ||
            sym_inverse(K1, het.H.data(), het.Hinv.data(), work.data(), K1, K1) != 0) {
            say(out, "Unable to compute inv[H] for hetl1sig2\n");
            fatal_exit(0);
        }
    }
    alpha_step(het, s.data());
    std::fflush(het.rowsC);
    std::fflush(het.rowsR);
    hetl1sig2(het, rs.macroCriterion);
}

void level1_var_information(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                            LinearFit& fit, HeteroFit& het) {
    const int r = fit.r, K1 = het.K + 1, p1 = fit.p1, Q = fit.Q;
    const int m = r * (r + 1) / 2, np = m + K1;
    const std::size_t rr = static_cast<std::size_t>(r) * r;
    // Information of (Tau elements, alphas); the records enter weighted, z* = z / sigma_ij.
    std::vector<double> info(static_cast<std::size_t>(np) * np, 0.0);
    std::vector<double> unitInfo(static_cast<std::size_t>(m + 1) * (m + 1)), unitScore(m + 1), tw(5 * rr + 4);
    std::vector<double> x(Q), c(K1), z(r), S(K1 * rr), A(rr), Minv(rr), M(rr), AM(rr), IAM(rr), T1(rr), G(rr);
    std::vector<double> MS(K1 * rr), zeros(r, 0.0), work(std::max(3, r * (r + 1) / 2) + 3);
    long rec = 0;
    walk_units(rs, model, mdm, mdmFile, fit, [&](long j, int nj, const double* recs, const double* centre) {
        const double w = fit.unitWeight[j];
        std::fill(S.begin(), S.end(), 0.0);
        // First the sums S_k = sum c_ik z*_i z*_i' (S_0 = A_j); the records are kept for P_ii.
        std::vector<double> zs(static_cast<std::size_t>(nj) * r), cs(static_cast<std::size_t>(nj) * K1);
        for (int i = 0; i < nj; ++i) {
            const double* row = recs + static_cast<std::size_t>(i) * p1;
            record_rows(fit, het, row, centre, x.data(), &cs[static_cast<std::size_t>(i) * K1]);
            const double s2 = het.sigma2[rec + i];
            const double f = 1.0 / std::sqrt(s2);
            for (int a = 0; a < r; ++a) zs[static_cast<std::size_t>(i) * r + a] = x[fit.randomCoef[a]] * f;
            const double* zi = zs.data() + static_cast<std::size_t>(i) * r;
            const double* ci = &cs[static_cast<std::size_t>(i) * K1];
            for (int k = 0; k < K1; ++k)
                for (int a = 0; a < r; ++a)
                    for (int b = 0; b < r; ++b) S[k * rr + a * r + b] += ci[k] * zi[a] * zi[b];
        }
        rec += nj;
        std::copy(S.begin(), S.begin() + static_cast<std::ptrdiff_t>(rr), A.begin());
        for (std::size_t k = 0; k < rr; ++k) Minv[k] = A[k] + fit.tauInv[k];
        if (r > 0 && sym_inverse(r, Minv.data(), M.data(), work.data(), r, r) != 0) return;

        // Tau block: the linear engine's unit terms with the working variance 1.
        if (r > 0) {
            std::fill(unitInfo.begin(), unitInfo.end(), 0.0);
            fisher_unit_terms(r, A.data(), M.data(), zeros.data(), nj, 0.0, 1.0, w, unitInfo.data(),
                              unitScore.data(), tw.data());
            for (int a = 0; a < m; ++a)
                for (int b = 0; b < m; ++b) info[a * np + b] += unitInfo[a * (m + 1) + b];
        }

        // alpha-alpha: sum_i c_ik c_il (1 - 2 P_ii) + tr(M S_k M S_l), P_ii = z*_i' M z*_i.
        for (int i = 0; i < nj; ++i) {
            const double* zi = zs.data() + static_cast<std::size_t>(i) * r;
            const double* ci = &cs[static_cast<std::size_t>(i) * K1];
            double P = 0.0;
            for (int a = 0; a < r; ++a)
                for (int b = 0; b < r; ++b) P += zi[a] * M[a * r + b] * zi[b];
            for (int k = 0; k < K1; ++k)
                for (int l = 0; l < K1; ++l) info[(m + k) * np + m + l] += 0.5 * w * ci[k] * ci[l] * (1.0 - 2.0 * P);
        }
        for (int k = 0; k < K1; ++k) unit_mul(r, r, r, M.data(), S.data() + k * rr, MS.data() + k * rr);
        for (int k = 0; k < K1; ++k)
            for (int l = 0; l < K1; ++l) {
                double t = 0.0;
                for (int a = 0; a < r; ++a)
                    for (int b = 0; b < r; ++b) t += MS[k * rr + a * r + b] * MS[l * rr + b * r + a];
                info[(m + k) * np + m + l] += 0.5 * w * t;
            }

        // Tau-alpha: tr(E_ab (I - AM) S_k (I - MA)).
        unit_mul(r, r, r, A.data(), M.data(), AM.data());
        for (int a = 0; a < r; ++a)
            for (int b = 0; b < r; ++b) IAM[a * r + b] = (a == b ? 1.0 : 0.0) - AM[a * r + b];
        for (int k = 0; k < K1 && r > 0; ++k) {
            unit_mul(r, r, r, IAM.data(), &S[k * rr], T1.data());
            matmul_nt(r, r, r, T1.data(), IAM.data(), G.data());
            for (int a = 0; a < r; ++a)
                for (int b = 0; b <= a; ++b) {
                    const int p = a * (a + 1) / 2 + b;
                    const double t = 0.5 * w * (a == b ? G[a * r + a] : 2.0 * G[a * r + b]);
                    info[p * np + m + k] += t;
                    info[(m + k) * np + p] += t;
                }
        }
    });

    // Invert; the alphas' and Tau's standard errors from the diagonal.
    het.alphaSE.assign(K1, MISSING_VALUE);
    std::vector<double> inv(static_cast<std::size_t>(np) * np), iw(std::max(3, np * (np + 1) / 2) + 3);
    if (sym_inverse(np, info.data(), inv.data(), iw.data(), np, np) != 0) return;
    auto se = [](double v) { return v > 0.0 ? std::sqrt(v) : MISSING_VALUE; };
    for (int k = 0; k < K1; ++k) het.alphaSE[k] = se(inv[(m + k) * np + m + k]);
    fit.tauSE.assign(rr, 0.0);
    fit.varianceCov.assign(static_cast<std::size_t>(m + 1) * (m + 1), 0.0);
    for (int a = 0; a < m; ++a)
        for (int b = 0; b < m; ++b) fit.varianceCov[a * (m + 1) + b] = inv[a * np + b];
    for (int a = 0; a < r; ++a)
        for (int b = 0; b <= a; ++b) {
            const int p = a * (a + 1) / 2 + b;
            fit.tauSE[a * r + b] = fit.tauSE[b * r + a] = se(inv[p * np + p]);
        }
    fit.haveVarianceSE = true;
}

void level1_var_table(FILE* out, const HeteroFit& het) {
    if (out == nullptr) return;
    std::fprintf(out, "\n Model for level-1 variance\n");
    report_rule(out, 68);
    std::fprintf(out, "                                      Standard\n");
    std::fprintf(out, "    Parameter        Coefficient      Error       Z-ratio   P-value\n");
    report_rule(out, 68);
    for (int k = 0; k <= het.K; ++k) {
        const double a = het.alpha[k];
        const double se = k < static_cast<int>(het.alphaSE.size()) ? het.alphaSE[k] : MISSING_VALUE;
        const double z = a / se;
        std::fprintf(out, " %s,alpha%d", het.paramNames[k].c_str(), k);
        std::fprintf(out, "%12.5lf    %10.6lf   %8.3lf     %5.3lf\n", a, se, z, tail_probability(z, 1, 0));
    }
    report_rule(out, 68);
}

void run_hetero_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                         LinearFit& fit, HeteroFit& het) {
    const ReportLabels L = make_report_labels(model, rs, mdm);
    const std::string outcome = model.outcome >= 0 && model.outcome < static_cast<int>(model.l1Names.size())
                                    ? slot_text(model.l1Names[model.outcome]).substr(0, 8)
                                    : std::string();
    het.K = static_cast<int>(model.heteroVars.size());
    het.slots = model.heteroVars;
    het.names.clear();
    het.paramNames.assign(1, model.l1Names.empty() ? std::string("INTRCPT1") : padded(model.l1Names[0]));
    for (int s : het.slots) {
        const NameSlot n = s >= 0 && s < static_cast<int>(model.l1Names.size()) ? model.l1Names[s] : NameSlot{};
        het.names.push_back(trimmed(n));
        het.paramNames.push_back(padded(n));
    }
    const bool file = out != nullptr && out != stdout;
    // Macro iterations at most, the homogeneous one included; at least one heterogeneous.
    int remaining = std::max(2, rs.maxMacroIterations);

    // Macro iteration 1: the homogeneous model.
    std::printf("\n                         MACRO ITERATION %d\n\n", 1);
    if (out != nullptr) print_results_header(out, L, ResultsHeader::HomogeneousSigma2, 1);
    RunSettings hs = rs;
    hs.atIterationLimit = 0;  // the micro iterations stop at their limit without asking
    prepare_linear_fit(hs, model, mdm, out, fit);
    fit.macroIteration = 1;
    setup_pass(hs, model, mdm, mdmFile, out, fit);
    if (fit.N != fit.Nmdm && out != nullptr)
        std::fprintf(out, "\nRun-time deletion has reduced the number of level-1 records to %ld\n\n", fit.N);
    least_squares(hs, out, L, outcome, fit);
    if (fit.r > 0) em_iterations(hs, out, L, outcome, fit);
    rs.fixTau = hs.fixTau;
    het.logLikHomogeneous = fit.logLik;
    het.macroIterations = 1;
    if (out != nullptr && fit.r > 0) {
        FixedTableOptions opt;
        opt.mode = FixedTableMode::Final;
        opt.covScale = fit.sigma2;
        print_fixed_effects(out, L, fit.F, fit.dfGamma.data(), opt, fit.gammaCov.data(), fit.gamma.data(),
                            outcome.c_str(), fit.F);
        std::vector<int> counts(fit.r);
        for (int q = 0; q < fit.r; ++q) counts[q] = fit.coefNumGammas[fit.randomCoef[q]];
        print_variance_components(out, L, fit.r, counts.data(), fit.Jo, fit.sigma2, !fit.sigma2Fixed,
                                  fit.tau.data(), fit.r, fit.chiSquare.data());
        print_deviance(out, fit.logLik, fit.numParams, MISSING_VALUE, 0, fit.fullML);
    }
    long mark = file ? std::ftell(out) : -1;
    het.alpha.assign(het.K + 1, 0.0);
    het.alpha[0] = std::log(fit.sigma2);
    hetl1c(rs, model, mdm, mdmFile, out, fit, het);
    --remaining;

    double likOld = fit.logLik;
    for (int macro = 2;; ++macro) {
        std::printf("\n                         MACRO ITERATION %d\n\n", macro);
        if (file) std::fseek(out, mark, SEEK_SET);
        if (out != nullptr) print_results_header(out, L, ResultsHeader::HeterogeneousSigma2, macro, het.names);
        release_linear_fit(fit);
        weighted_fit(rs, model, mdm, mdmFile, out, L, outcome, macro, fit, het);
        het.macroIterations = macro;

        double d = 100.0 * (fit.logLik - likOld) / std::fabs(likOld);
        if (std::fabs(d) < LIKELIHOOD_FLOOR) d = LIKELIHOOD_FLOOR;
        likOld = fit.logLik;
        het.converged = d >= 0.0 && d <= rs.macroCriterion;
        // A stop typed at the keyboard ends the macro iterations as well.
        if (het.converged || remaining < 2 || fit.stopReason == StopReason::Keyboard) break;
        --remaining;
        if (fit.r > 0) print_final_iteration_block(out, rs, L, fit);
        hetl1c(rs, model, mdm, mdmFile, out, fit, het);
    }
    het.logLikHeterogeneous = fit.logLik;

    // The final macro iteration: standard errors from the joint information, then its block.
    level1_var_information(rs, model, mdm, mdmFile, fit, het);
    if (fit.r > 0) print_final_iteration_block(out, rs, L, fit);
    if (!het.converged && out != nullptr)
        std::fprintf(out, "\nWARNING: the macro iterations were stopped prior to convergence.\n"
                          "You may want to re-run the analysis with a higher number of macro iterations.\n");
    fit.recordSigma2 = het.sigma2;
}

void release_hetero(HeteroFit& het) {
    if (het.rowsC != nullptr) close_scratch(het.rowsC);
    if (het.rowsR != nullptr) close_scratch(het.rowsR);
    het.rowsC = het.rowsR = nullptr;
}
