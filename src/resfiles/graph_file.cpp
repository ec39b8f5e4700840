// The graph data file: estimates, per-unit coefficients and level-1 predictor
// summaries of a linear fit, all little-endian, for pictures drawn elsewhere.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "resfiles/resfiles_internal.h"

using namespace resfiles_detail;

namespace {

// Little-endian whatever the host order, so the file reads the same everywhere.
struct GraphWriter {
    FILE* f = nullptr;
    void bytes(const void* p, std::size_t n) { put_bytes(f, p, n); }
    void u32(std::uint32_t v) {
        unsigned char b[4];
        for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
        bytes(b, 4);
    }
    void i32(long v) { u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(v))); }
    void f32(float v) {
        std::uint32_t u;
        std::memcpy(&u, &v, 4);
        u32(u);
    }
    void f64(double v) {
        std::uint64_t u;
        std::memcpy(&u, &v, 8);
        u32(static_cast<std::uint32_t>(u));
        u32(static_cast<std::uint32_t>(u >> 32));
    }
    void name(const NameSlot& s) { bytes(s.text, 12); }
};

NameSlot slot_of(const std::vector<NameSlot>& table, int s) {
    NameSlot n{};
    std::memcpy(n.text, BLANK_NAME, 13);
    if (s >= 0 && s < static_cast<int>(table.size())) std::memcpy(n.text, table[s].text, 12);
    return n;
}

}  // namespace

void write_graph_file(const char* path, const LinearFit& fit, const RunSettings& rs, const ModelSpec& model,
                      const MdmHeader& mdm, FILE* mdmFile) {
    const int F = fit.F, r = fit.r, Q = fit.Q, p1 = mdm.numL1Vars, w2 = fit.p2 + 1;
    const long J = fit.J;
    const std::size_t rr = static_cast<std::size_t>(r) * r;
    if (static_cast<int>(fit.coefSlot.size()) < Q || static_cast<int>(fit.gammaL2Slot.size()) < F ||
        fit.u.size() < J * static_cast<std::size_t>(r) || fit.postDisp.size() < J * rr ||
        static_cast<long>(fit.n.size()) < J || fit.l2Design.size() < J * static_cast<std::size_t>(w2))
        return;

    // The level-1 predictors (model order) and level-2 predictors (slot order) used.
    std::vector<int> l1Slots, l1Index(Q, 0), l2Slots, l2Index(w2, 0);
    for (int q = 0; q < Q; ++q)
        if (fit.coefSlot[q] != 0) {
            l1Slots.push_back(fit.coefSlot[q]);
            l1Index[q] = static_cast<int>(l1Slots.size());
        }
    std::vector<char> used(w2, 0);
    for (int k = 0; k < F; ++k)
        if (fit.gammaL2Slot[k] > 0 && fit.gammaL2Slot[k] < w2) used[fit.gammaL2Slot[k]] = 1;
    for (int s = 1; s < w2; ++s)
        if (used[s]) {
            l2Slots.push_back(s);
            l2Index[s] = static_cast<int>(l2Slots.size());
        }
    const int n1 = static_cast<int>(l1Slots.size()), n2 = static_cast<int>(l2Slots.size());

    std::vector<double> mdist(J);
    for (long j = 0; j < J; ++j)
        mdist[j] = r > 0 ? mahalanobis_distance(r, fit.tau.data(), fit.sigma2, &fit.postDisp[j * rr], &fit.u[j * r],
                                                fit.n[j])
                         : RESID_MISSING;
    const std::vector<double> chipct = chi_square_percentiles(r, mdist);

    GraphWriter w;
    w.f = open_or_die(path, "wb");
    w.bytes("GRARB2", 6);
    w.f32(GRAPH_FILE_VERSION);
    w.i32(F);
    w.i32(mdm.growthModel);
    w.i32(r);
    w.i32(J);
    w.i32(n1);
    w.i32(n2);
    w.name(slot_of(model.l1Names, fit.outcomeSlot));
    for (int s : l1Slots) w.name(slot_of(model.l1Names, s));
    for (int s : l2Slots) w.name(slot_of(mdm.l2Names, s));
    for (int k = 0; k < F; ++k) w.f64(fit.gamma[k]);
    for (std::size_t k = 0; k < static_cast<std::size_t>(F) * F; ++k) w.f64(fit.sigma2 * fit.gammaCov[k]);
    for (std::size_t k = 0; k < rr; ++k) w.f64(fit.tau[k]);
    w.f64(fit.sigma2);

    // One walk over the level-1 blocks, with the set-up pass's deletion, for the summaries.
    const long start = std::ftell(mdmFile);
    Level1Reader reader = open_level1_reader(rs, model, mdm, fit, mdmFile);
    std::vector<double> means, rec, beta(Q);
    char id[13];
    for (long j = 0; j < J; ++j) {
        const int nj = read_level1_unit(reader, means, rec);
        if (mdm.numericIds) {
            std::snprintf(id, sizeof id, "%12.0lf", j < static_cast<long>(mdm.numIds.size()) ? mdm.numIds[j] : 0.0);
            w.bytes(id, 12);
        } else {
            w.name(slot_of(mdm.charIds, static_cast<int>(j)));
        }
        w.i32(fit.n[j]);
        for (int s : l2Slots) w.f64(fit.l2Design[j * w2 + s]);
        const bool ols = r > 0 && fit.hasOls[j] && fit.bOls[j * r] != MISSING_VALUE;
        for (int s = 0; s < r; ++s) w.f64(ols ? fit.bOls[j * r + s] : MISSING_VALUE);
        fitted_coefficients(fit, j, beta.data());
        for (int s = 0; s < r; ++s) w.f64(beta[fit.randomCoef[s]] + fit.u[j * r + s]);
        for (int s = 0; s < r; ++s) {
            const double v = fit.sigma2 * fit.postDisp[j * rr + s * r + s];
            w.f64(v > 0.0 ? std::sqrt(v) : 0.0);
        }
        w.f64(mdist[j]);
        w.f64(chipct[j]);
        for (int s : l1Slots) {
            double sum = 0.0, lo = MISSING_VALUE, hi = MISSING_VALUE;
            for (int i = 0; i < nj; ++i) {
                const double x = rec[static_cast<std::size_t>(i) * p1 + s - 1];
                sum += x;
                if (i == 0 || x < lo) lo = x;
                if (i == 0 || x > hi) hi = x;
            }
            w.f64(nj > 0 ? sum / nj : MISSING_VALUE);
            w.f64(lo);
            w.f64(hi);
        }
    }
    if (start >= 0) std::fseek(mdmFile, start, SEEK_SET);

    // The model block: the title, then how coefficients, random effects and gammas map
    // onto the variables above, with the centring each level-1 predictor had.
    w.bytes("MODL", 4);
    const std::string title = rs.problemTitle.substr(0, 255);
    w.i32(static_cast<long>(title.size()));
    w.bytes(title.data(), title.size());
    w.i32(Q);
    std::vector<int> randomPos(Q, -1);
    for (int s = 0; s < r; ++s) randomPos[fit.randomCoef[s]] = s;
    for (int q = 0; q < Q; ++q) {
        const int slot = fit.coefSlot[q];
        const int centring = slot > 0 && slot < static_cast<int>(model.l1Centering.size()) ? model.l1Centering[slot] : 0;
        w.i32(l1Index[q]);
        w.i32(randomPos[q]);
        w.i32(centring);
        w.f64(centring == 2 && slot - 1 < static_cast<int>(mdm.l1Means.size()) ? mdm.l1Means[slot - 1] : 0.0);
        w.i32(fit.coefNumGammas[q]);
    }
    for (int k = 0; k < F; ++k) w.i32(l2Index[fit.gammaL2Slot[k]]);
    if (std::fclose(w.f) != 0) fatal_exit(5);
}
