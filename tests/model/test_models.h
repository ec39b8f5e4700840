// Test fixtures: an HSB-like MDM header and small builders for model records,
// filled the way the command-file reader fills them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "model/model.h"

namespace testmodels {

/// The High School and Beyond layout: 4 level-1 and 6 level-2 variables, 160 schools.
inline MdmHeader hsb_header() {
    MdmHeader h;
    h.version = 6.02f;
    h.numL1Vars = 4;
    h.numL2Vars = 6;
    h.numL1Records = 7185;
    h.numGroups = 160;
    h.hasMissing = 0;
    h.deleteNow = 1;
    h.sourceType = RAW_ASCII;
    h.maxGroupSize = 67;
    for (const char* n : {"INTRCPT1", "MINORITY", "FEMALE", "SES", "MATHACH"}) h.l1Names.push_back(make_variable_name(n));
    for (const char* n : {"INTRCPT2", "SIZE", "SECTOR", "PRACAD", "DISCLIM", "HIMINTY", "MEANSES"})
        h.l2Names.push_back(make_variable_name(n));
    return h;
}

/// Slot of a level-1 name in the model's table (thresholds included), or -1.
inline int l1(const ModelSpec& m, const char* name) {
    return find_name(m.l1Names.data(), (int)m.l1Names.size() - 1, name);
}
/// Slot of a level-2 name, or -1.
inline int l2(const MdmHeader& h, const char* name) {
    return find_name(h.l2Names.data(), (int)h.l2Names.size() - 1, name);
}

/// Makes `slot` the outcome of every set.
inline void set_outcome(ModelSpec& m, int slot) {
    m.outcome = slot;
    for (int s = 0; s < m.numSets; ++s) m.l1Role[m.at(s, slot)] = -1;
}

/// Adds a level-1 term (slot 0 is the intercept) to set `s`.
inline void add_term(ModelSpec& m, int s, int slot, int centering = 0) {
    m.l1Role[m.at(s, slot)] = 1;
    if (slot > 0) m.l1ResidualVars[m.at(s, slot)] = 1;
    if (centering) m.l1Centering[slot] = centering;
}

/// Gives a coefficient its level-2 equation, random flag and candidates.
inline void set_level2(ModelSpec& m, int s, int slot, const std::vector<int>& preds, bool random,
                       const std::vector<int>& cands = {}) {
    for (std::size_t k = 0; k < preds.size(); ++k) {
        m.l2Predictors[m.pred(s, slot, (int)k)] = preds[k];
        if (preds[k] != 0) m.l1ResidualL2Vars[preds[k]] = m.l2ResidualVars[preds[k]] = 1;
    }
    for (std::size_t k = 0; k < cands.size(); ++k) m.l2Candidates[m.cand(s, slot, (int)k)] = cands[k];
    m.fixedEffectOnly[m.at(s, slot)] = random ? 0 : 1;
}

/// Counts terms and fixed effects once the equations are in place.
inline void finish(ModelSpec& m) {
    m.numFixed = 0;
    for (int s = 0; s < m.numSets; ++s) {
        int terms = 0;
        for (int slot = 0; slot < m.numL1Slots; ++slot) {
            if (m.l1Role[m.at(s, slot)] != 1) continue;
            ++terms;
            for (int k = 0; k < m.numL2Slots && m.l2Predictors[m.pred(s, slot, k)] != NO_ENTRY; ++k) ++m.numFixed;
        }
        m.numTerms = terms;
    }
}

/// Settings every complete linear run carries.
inline RunSettings linear_settings(const char* title, const char* output) {
    RunSettings rs;
    rs.mdmFileName = rs.dataSourceName = "hsb.mdm";
    rs.maxIterations = 100;
    rs.atIterationLimit = 0;
    rs.accel = 5;
    rs.olsUnitsShown = 10;
    rs.problemTitle = title;
    rs.outputFileName = output;
    return rs;
}

/// The intercepts- and slopes-as-outcomes model of HSB: SES group-mean centred,
/// MEANSES grand-mean centred, both coefficients random.
inline void hsb_full_model(const MdmHeader& h, ModelSpec& m) {
    size_model_tables(h, m);
    set_outcome(m, l1(m, "MATHACH"));
    add_term(m, 0, 0);
    add_term(m, 0, l1(m, "SES"), 1);
    int sector = l2(h, "SECTOR"), meanses = l2(h, "MEANSES");
    m.l2Centering[meanses] = 2;
    set_level2(m, 0, 0, {0, sector, meanses}, true);
    set_level2(m, 0, l1(m, "SES"), {0, sector, meanses}, true);
    finish(m);
}

/// Writes a whole text file.
inline void write_text(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

}  // namespace testmodels
