// The level-1 group blocks as an analysis sees them: each unit's records after
// run-time deletion, the unit means over the kept records, and the centres of
// the predictors. The set-up pass and the level-1 residual file both read the
// blocks through here, so they always keep the same records.
#include <cstdint>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"

namespace {

// Reads exactly `bytes` bytes within the rest of the file, or ends the run as a short file.
void read_bounded(Level1Reader& rd, void* buffer, std::size_t bytes) {
    if (bytes == 0) return;
    if (static_cast<long long>(bytes) > rd.remaining || std::fread(buffer, 1, bytes, rd.f) != bytes) fatal_exit(4);
    rd.remaining -= static_cast<long long>(bytes);
}

}  // namespace

Level1Reader open_level1_reader(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                                const LinearFit& fit, FILE* mdmFile) {
    Level1Reader rd;
    rd.f = mdmFile;
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
    for (int s = 1; s <= p1 && s < static_cast<int>(model.deletionBasis.size()); ++s)
        if (model.deletionBasis[s] == 2) mark(s);

    // The rest of the file bounds every group block a corrupt header could claim.
    if (std::fseek(mdmFile, 0L, SEEK_END) != 0) fatal_exit(4);
    rd.remaining = static_cast<long long>(std::ftell(mdmFile)) - mdm.dataStart;
    if (std::fseek(mdmFile, mdm.dataStart, SEEK_SET) != 0 || rd.remaining < 0) fatal_exit(4);
    return rd;
}

int read_level1_unit(Level1Reader& rd, std::vector<double>& means, std::vector<double>& rec) {
    const int p1 = rd.p1;
    std::int32_t count = 0;
    read_bounded(rd, &count, sizeof count);
    // Compared by division so that a damaged count cannot overflow the product.
    const long long perRecord = 8LL * p1;
    rd.stored += count;
    if (count < 0 || (perRecord > 0 && count + 1LL > rd.remaining / perRecord) ||
        (rd.storedLimit > 0 && rd.stored > rd.storedLimit))
        fatal_exit(4);
    means.resize(p1);
    read_bounded(rd, means.data(), sizeof(double) * p1);
    rec.resize(static_cast<std::size_t>(count) * p1);
    read_bounded(rd, rec.data(), sizeof(double) * rec.size());
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
