// The residual files of a fitted linear model: the level-2 file from the
// per-unit results, the level-1 file from one more walk over the group blocks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"
#include "resfiles/resfiles_internal.h"

using namespace resfiles_detail;

namespace {

bool binary_type(int type) {
    return type == RAW_SPSS || type == RAW_STATA;
}

ResidualLayout base_layout(const RunSettings& rs, const MdmHeader& mdm, int level) {
    ResidualLayout L;
    L.type = rs.resfilType;
    L.level = level;
    L.charIds = !mdm.numericIds;
    L.mdmVersion = mdm.version;
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &L.created);
    return L;
}

FILE* open_residual_file(const std::string& name, int type) {
    return open_or_die(name.c_str(), binary_type(type) ? "wb" : "w");
}

void close_residual_file(FILE* f) {
    if (std::fclose(f) != 0) fatal_exit(5);
}

// M_j = (X_j'X_j + sigma2 Tau^-1)^-1 of the last pass, from store C; empty when
// the store is gone or short.
std::vector<double> conditional_dispersions(LinearFit& fit) {
    const int r = fit.r;
    std::vector<double> out;
    if (r <= 0 || !fit.storeC.open) return out;
    const std::size_t rr = static_cast<std::size_t>(r) * r;
    out.resize(static_cast<std::size_t>(fit.J) * rr);
    std::vector<double> work(rr + 3);
    store_rewind(fit.storeC);
    for (long j = 0; j < fit.J; ++j)
        if (!store_read_sym(fit.storeC, r, &out[j * rr], work.data())) {
            out.clear();
            break;
        }
    store_rewind(fit.storeC);
    return out;
}

}  // namespace

void write_level2_residual_file(LinearFit& fit, const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm) {
    const bool diagnostics = rs.fixedSigma2 == 0.0 && model.plausibleValues.empty();
    const bool second = !rs.fullML;
    ResidualLayout L = base_layout(rs, mdm, 2);
    ResidualNaming naming = residual_naming(fit, model, mdm, 2);
    if (rs.distribution == 3 && !rs.ordinal) {
        // Each multinomial coefficient belongs to the logit of one category against the last.
        const auto label = [&](int q) {
            const int set = q >= 0 && q < static_cast<int>(fit.coefSet.size()) ? fit.coefSet[q] : 0;
            return set < static_cast<int>(model.categoryLabels.size()) ? model.categoryLabels[set] : std::string();
        };
        for (int s = 0; s < static_cast<int>(naming.randomNames.size()); ++s)
            naming.randomEquation.push_back(label(s < static_cast<int>(fit.randomCoef.size()) ? fit.randomCoef[s] : -1));
        for (int q = 0; q < static_cast<int>(naming.coefNames.size()); ++q)
            naming.coefEquation.push_back(q < static_cast<int>(fit.coefSet.size()) ? fit.coefSet[q] + 1 : 1);
    }
    L.columns = level2_columns(naming, diagnostics, second);
    L.numRows = fit.J;
    const std::vector<double> cond = second ? conditional_dispersions(fit) : std::vector<double>();
    const std::vector<ResidualRow> rows =
        level2_rows(fit, mdm, diagnostics, second, cond, chosen_l2_slots(model.l2ResidualVars, mdm.numL2Vars));

    FILE* f = open_residual_file(rs.resfil2Name, L.type);
    const bool missing = write_residual_table(f, L, rows);
    close_residual_file(f);
    if (missing) print_residual_note(stdout, rs.resfil2Name.c_str(), L.type);
}

void write_level1_residual_file(const LinearFit& fit, const RunSettings& rs, const ModelSpec& model,
                                const MdmHeader& mdm, FILE* mdmFile, const Level1RecordHook* hook) {
    const int p1 = mdm.numL1Vars, p2 = mdm.numL2Vars;
    const int Q = std::min<int>(fit.Q, static_cast<int>(fit.coefSlot.size()));
    const int r = std::min<int>(fit.r, static_cast<int>(fit.randomCoef.size()));
    const long J = fit.J;
    ResidualLayout L = base_layout(rs, mdm, 1);
    L.columns = level1_columns(residual_naming(fit, model, mdm, 1));
    L.numRows = fit.N;
    const std::vector<int> l1Slots = chosen_l1_slots(model, p1);
    const std::vector<int> l2Slots = chosen_l2_slots(model.l1ResidualL2Vars, p2);

    const bool l1Weight = rs.level1Weight >= 1 && rs.level1Weight <= p1;
    const bool known = rs.precisionVar >= 1 && rs.precisionVar <= p1;
    const bool outcomeOk = fit.outcomeSlot >= 1 && fit.outcomeSlot <= p1;
    const double sigma = fit.sigma2 >= 0.0 ? std::sqrt(fit.sigma2) : RESID_MISSING;

    // The records the set-up pass kept: the same deletion, centring and weights.
    const long start = std::ftell(mdmFile);
    Level1Reader reader = open_level1_reader(rs, model, mdm, fit, mdmFile);

    FILE* f = open_residual_file(rs.resfil1Name, L.type);
    write_residual_header(f, L);
    bool missing = false;
    long written = 0;
    std::vector<double> means, rec, beta(Q), centre(fit.coefSlot.size()), xc(Q);
    ResidualRow row;
    // The chosen level-1 and level-2 variables after the three statistics.
    auto append_chosen = [&](ResidualRow& rw, const double* x, long j) {
        for (int s : l1Slots) rw.values.push_back(s == 0 ? 1.0 : x[s - 1]);
        for (int s : l2Slots) {
            const std::size_t at = static_cast<std::size_t>(j) * p2 + (s - 1);
            rw.values.push_back(s == 0 ? 1.0 : (at < mdm.l2Data.size() ? mdm.l2Data[at] : MISSING_VALUE));
        }
    };
    for (long j = 0; j < J; ++j) {
        const int nj = read_level1_unit(reader, means, rec);
        fitted_coefficients(fit, j, beta.data());
        for (int s = 0; s < r; ++s) {
            const int q = fit.randomCoef[s];
            const std::size_t at = static_cast<std::size_t>(j) * r + s;
            if (q >= 0 && q < Q && at < fit.u.size()) beta[q] += fit.u[at];
        }
        level1_centres(fit, model, mdm, means.data(), centre.data());
        const double unitMeanWeight = l1Weight ? means[rs.level1Weight - 1] : 1.0;

        if (mdm.numericIds) row.numId = j < static_cast<long>(mdm.numIds.size()) ? mdm.numIds[j] : 0.0;
        else if (j < static_cast<long>(mdm.charIds.size())) row.charId = mdm.charIds[j];
        for (int i = 0; i < nj; ++i) {
            const double* x = &rec[static_cast<std::size_t>(i) * p1];
            double fitted = 0.0;
            for (int q = 0; q < Q; ++q) {
                const int s = fit.coefSlot[q];
                xc[q] = s == 0 ? 1.0 : (s <= p1 ? x[s - 1] - centre[q] : 0.0);
                fitted += xc[q] * beta[q];
            }
            // Weights and known variances scale the level-1 variance of the record.
            double m = 1.0;
            if (l1Weight || known) {
                const double a = l1Weight && unitMeanWeight > 0.0 ? x[rs.level1Weight - 1] / unitMeanWeight : 1.0;
                const double v = known ? x[rs.precisionVar - 1] : 1.0;
                m = a > 0.0 && v > 0.0 ? std::sqrt(a) / std::sqrt(v) : 0.0;
            }
            row.values.clear();
            if (hook != nullptr) {
                // The model's own residual, fitted value and sigma (non-linear runs).
                double cells[3];
                hook->record(hook->ctx, j, x, xc.data(), cells);
                if (cells[2] != RESID_MISSING) cells[2] = m > 0.0 ? cells[2] / m : RESID_MISSING;
                row.values.assign(cells, cells + 3);
                append_chosen(row, x, j);
                write_residual_row(f, L, row);
                missing = missing || residual_row_has_missing_statistic(L, row);
                ++written;
                continue;
            }
            const double y = outcomeOk ? x[fit.outcomeSlot - 1] : MISSING_VALUE;
            row.values.push_back(y == MISSING_VALUE ? RESID_MISSING : y - fitted);
            row.values.push_back(fitted);
            // A heterogeneous level-1 variance gives every record its own.
            double sd = sigma;
            if (static_cast<std::size_t>(written) < fit.recordSigma2.size())
                sd = fit.recordSigma2[written] > 0.0 && sigma != RESID_MISSING
                         ? sigma * std::sqrt(fit.recordSigma2[written])
                         : RESID_MISSING;
            row.values.push_back(m > 0.0 && sd != RESID_MISSING ? sd / m : RESID_MISSING);
            append_chosen(row, x, j);
            write_residual_row(f, L, row);
            missing = missing || residual_row_has_missing_statistic(L, row);
            ++written;
        }
    }
    finish_residual_file(f, L, written);
    close_residual_file(f);
    if (start >= 0) std::fseek(mdmFile, start, SEEK_SET);
    if (missing) print_residual_note(stdout, rs.resfil1Name.c_str(), L.type);
}

void write_residual_files(LinearFit& fit, const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                          FILE* mdmFile) {
    if (rs.wantResfil2) write_level2_residual_file(fit, rs, model, mdm);
    if (rs.wantResfil1 && !mdm.isVKnown && mdmFile != nullptr)
        write_level1_residual_file(fit, rs, model, mdm, mdmFile);
}
