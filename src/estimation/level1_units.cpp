// The level-1 group blocks as an analysis sees them: each unit's records after
// run-time deletion, the unit means over the kept records, and the centres of
// the predictors. The set-up pass and the level-1 residual file both read the
// blocks through here, so they always keep the same records.
#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"

Level1Reader open_level1_reader(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                                const LinearFit& fit, FILE* mdmFile) {
    Level1Reader rd;
    rd.p1 = mdm.numL1Vars;
    rd.storedLimit = mdm.numL1Records;
    rd.deleteHere = mdm.deleteNow == 0;

    // Variables whose missing values delete a record at analysis time.
    const int p1 = rd.p1;
    rd.usedVar.assign(p1 + 1, 0);
    auto mark = [&](int slot) {
        if (slot >= 1 && slot <= p1) rd.usedVar[slot] = 1;
    };
    mark(fit.outcomeSlot);
    for (int s : fit.coefSlot) mark(s);
    mark(rs.level1Weight);
    mark(rs.precisionVar);
    if ((rs.distribution == 1 || rs.distribution == 2) && model.trialsVar > 0) mark(model.trialsVar);
    for (int s : model.heteroVars) mark(s);  // the level-1 variance model reads them too
    for (int s = 1; s <= p1 && s < static_cast<int>(model.deletionBasis.size()); ++s)
        if (model.deletionBasis[s] == 2) mark(s);

    rd.blocks = open_group_blocks(mdmFile, mdm);
    return rd;
}

int read_level1_unit(Level1Reader& rd, std::vector<double>& means, std::vector<double>& rec) {
    const int p1 = rd.p1;
    const int count = read_next_group_block(rd.blocks, means, rec);
    // More records than the header counts is a damaged file.
    rd.stored += count;
    if (rd.storedLimit > 0 && rd.stored > rd.storedLimit) fatal_exit(4);
    int nj = count;
    if (!rd.deleteHere) return nj;

    bool deleted = false;
    for (int i = nj - 1; i >= 0; --i) {
        const double* row = &rec[static_cast<std::size_t>(i) * p1];
        bool missing = false;
        for (int s = 1; s <= p1 && !missing; ++s) missing = rd.usedVar[s] && row[s - 1] == MISSING_VALUE;
        if (missing) {
            delete_row(rec.data(), p1, i, nj);
            --nj;
            deleted = true;
        }
    }
    // Group-mean centring uses the means after run-time deletion.
    if (deleted)
        for (int s = 0; s < p1; ++s) {
            double sum = 0.0;
            long have = 0;
            for (int i = 0; i < nj; ++i) {
                const double v = rec[static_cast<std::size_t>(i) * p1 + s];
                if (v != MISSING_VALUE) {
                    sum += v;
                    ++have;
                }
            }
            means[s] = have > 0 ? sum / static_cast<double>(have) : 0.0;
        }
    return nj;
}

void level1_centres(const LinearFit& fit, const ModelSpec& model, const MdmHeader& mdm, const double* means,
                    double* centre) {
    const int p1 = mdm.numL1Vars;
    for (std::size_t q = 0; q < fit.coefSlot.size(); ++q) {
        const int s = fit.coefSlot[q];
        centre[q] = 0.0;
        if (s < 1 || s > p1 || s >= static_cast<int>(model.l1Centering.size())) continue;
        if (model.l1Centering[s] == 1) centre[q] = means[s - 1];
        else if (model.l1Centering[s] == 2 && s - 1 < static_cast<int>(mdm.l1Means.size()))
            centre[q] = mdm.l1Means[s - 1];
    }
}
