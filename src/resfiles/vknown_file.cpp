// The level-2 residual file of a V-known analysis: one record per unit that
// took part, with both posterior dispersions of the restricted likelihood.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"
#include "resfiles/resfiles.h"

namespace {

std::size_t at2(long j, int n) { return static_cast<std::size_t>(j) * n; }
std::size_t at3(long j, int n) { return static_cast<std::size_t>(j) * n * n; }

int cell(const std::vector<int>& v, std::size_t index, int otherwise) {
    return index < v.size() ? v[index] : otherwise;
}

// Work space for sym_inverse on an n x n matrix.
std::vector<double> inverse_work(int n) { return std::vector<double>(std::max(3, n * (n + 1) / 2) + 3); }

}  // namespace

void write_vknown_residual_file(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                                const VKnownFit& fit) {
    const int p = fit.p, F = fit.F, p2 = fit.p2;
    ResidualNaming naming;
    for (int q = 0; q < p; ++q) {
        const int slot = fit.statSlot[q];
        std::string name = slot < static_cast<int>(mdm.l1Names.size()) ? std::string(mdm.l1Names[slot].text, 8) : "";
        name.erase(0, std::min(name.find_first_not_of(' '), name.size()));
        name.erase(name.find_last_not_of(' ') + 1);
        naming.randomNames.push_back(name);
        naming.randomIndex.push_back(std::to_string(q + 1));  // V-known effects count from 1
        naming.coefNames.push_back(name);
    }
    std::vector<int> chosen;
    for (int s = 1; s <= p2; ++s)
        if (cell(model.l2ResidualVars, s, 0) != 0 && s < static_cast<int>(mdm.l2Names.size())) {
            chosen.push_back(s);
            naming.l2Chosen.push_back(mdm.l2Names[s]);
        }

    // Restricted likelihood: both the full and the conditional posterior dispersions.
    ResidualLayout L;
    L.type = rs.resfilType;
    L.level = 2;
    L.charIds = true;
    L.numRows = fit.Ju;
    L.mdmVersion = mdm.version;
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &L.created);
    L.columns = level2_columns(naming, false, true);

    // Each unit's estimates count as one record; the distance needs no more than that.
    const long nj = 1, njForDistance = p + 1;
    std::vector<double> mdist;
    std::vector<long> unitOf;
    for (long j = 0; j < fit.J; ++j) {
        if (!fit.usable[j]) continue;
        unitOf.push_back(j);
        mdist.push_back(mahalanobis_distance(p, fit.tau.data(), 1.0, &fit.postDisp[at3(j, p)], &fit.u[at2(j, p)],
                                             njForDistance));
    }
    const std::vector<double> chipct = chi_square_percentiles(p, mdist);

    std::vector<ResidualRow> rows(unitOf.size());
    std::vector<double> W(p * F), fv(p), Delta(p * p), DeltaInv(p * p), TD(p * p), C(p * p);
    std::vector<double> work = inverse_work(p);
    for (std::size_t i = 0; i < unitOf.size(); ++i) {
        const long j = unitOf[i];
        ResidualRow& row = rows[i];
        row.charId = fit.ids[j];
        std::vector<double>& v = row.values;
        v.push_back(static_cast<double>(nj));
        v.push_back(chipct[i]);
        v.push_back(mdist[i]);
        const double* u = &fit.u[at2(j, p)];
        const double* b = &fit.b[at2(j, p)];
        const double* V = &fit.V[at3(j, p)];
        vknown_unit_design(fit, j, W.data());
        matmul_nn(p, F, 1, W.data(), fit.gamma.data(), fv.data());
        for (int q = 0; q < p; ++q) v.push_back(u[q]);
        for (int q = 0; q < p; ++q) v.push_back(b[q] - fv[q]);
        for (int q = 0; q < p; ++q) v.push_back(fv[q]);
        for (int q = 0; q < p; ++q) v.push_back(fit.betaStar[at2(j, p) + q]);
        const double* D = &fit.postDisp[at3(j, p)];
        for (int a = 0; a < p; ++a)
            for (int c = 0; c <= a; ++c) v.push_back(D[a * p + c]);
        // The dispersion given gamma: Tau (V_j + Tau)^-1 V_j.
        for (int k = 0; k < p * p; ++k) Delta[k] = V[k] + fit.tau[k];
        const bool ok = sym_inverse(p, Delta.data(), DeltaInv.data(), work.data(), p, p) == 0;
        matmul_nn(p, p, p, fit.tau.data(), DeltaInv.data(), TD.data());
        matmul_nn(p, p, p, TD.data(), V, C.data());
        for (int a = 0; a < p; ++a)
            for (int c = 0; c <= a; ++c) v.push_back(ok ? C[a * p + c] : RESID_MISSING);
        for (int s : chosen) v.push_back(fit.l2Raw[at2(j, p2) + (s - 1)]);
    }

    const bool binary = L.type == RAW_SPSS || L.type == RAW_STATA;
    FILE* f = open_or_die(rs.resfil2Name.c_str(), binary ? "wb" : "w");
    const bool missing = write_residual_table(f, L, rows);
    if (std::fclose(f) != 0) fatal_exit(5);
    if (missing) print_residual_note(stdout, rs.resfil2Name.c_str(), L.type);
}

