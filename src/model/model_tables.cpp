// Sizing of the model tables from the MDM header counts, and the default
// residual-file names.
#include <cstdio>
#include <cstring>

#include "mdm/mdm.h"
#include "model/model.h"

namespace {

// A table larger than this can only come from corrupt counts.
constexpr long long MAX_TABLE_CELLS = 1LL << 24;

// Blank-filled name slot.
NameSlot blank_slot() {
    NameSlot s;
    std::memset(s.text, ' ', 12);
    s.text[12] = '\0';
    return s;
}

// Name of threshold `k` (2, 3, ...) as a variable name.
NameSlot threshold_name(int k) {
    char field[32];
    if (k < 10)
        std::snprintf(field, sizeof field, "THOLD%1d      ", k);
    else
        std::snprintf(field, sizeof field, "THOLD%2d     ", k);
    return make_variable_name(field);
}

// Refuses table sizes that no real model reaches.
void check_table_size(long long sets, long long l1, long long l2) {
    long long widest = l2 > 12 ? l2 : 12;
    if (sets < 1 || l1 < 1 || l2 < 1 || sets * l1 * widest > MAX_TABLE_CELLS) fatal_exit(3);
}

}  // namespace

void remake_model_tables(const MdmHeader& mdm, ModelSpec& model, int numSets, int numThresholds) {
    int p1 = mdm.numL1Vars > 0 ? mdm.numL1Vars : 0;
    int p2 = mdm.numL2Vars > 0 ? mdm.numL2Vars : 0;
    if (numThresholds < 0) numThresholds = 0;
    check_table_size(numSets, (long long)p1 + 1 + numThresholds, (long long)p2 + 1);

    // The level-1 names are copied so that ordinal thresholds can follow them.
    model.l1Names.assign(p1 + 1 + numThresholds, blank_slot());
    for (int i = 0; i <= p1 && i < (int)mdm.l1Names.size(); ++i) model.l1Names[i] = mdm.l1Names[i];
    for (int t = 0; t < numThresholds; ++t) model.l1Names[p1 + 1 + t] = threshold_name(t + 2);

    model.numSets = numSets;
    model.numL1Slots = p1 + 1 + numThresholds;
    model.numL2Slots = p2 + 1;
    std::size_t bySlot = (std::size_t)numSets * model.numL1Slots;
    model.l1Role.assign(bySlot, 0);
    model.fixedEffectOnly.assign(bySlot, 0);
    model.l1ResidualVars.assign(bySlot, 0);
    model.l1Centering.assign(model.numL1Slots, 0);
    model.l2Predictors.assign(bySlot * model.numL2Slots, NO_ENTRY);
    model.l2Candidates.assign(bySlot * 12, NO_ENTRY);
    model.l2Centering.assign(model.numL2Slots, 0);
    model.l1ResidualL2Vars.assign(model.numL2Slots, 0);
    model.l2ResidualVars.assign(model.numL2Slots, 0);
}

void size_model_tables(const MdmHeader& mdm, ModelSpec& model) {
    int pass = model.plausiblePass;
    model = ModelSpec{};
    model.plausiblePass = pass;
    remake_model_tables(mdm, model, 1, 0);
    model.deletionBasis.assign(model.numL1Slots, 0);
}

void apply_default_resfil_names(RunSettings& rs) {
    const char* l1 = "resfil1.sav";
    const char* l2 = "resfil2.sav";
    switch (rs.resfilType) {
        case RAW_ASCII: l1 = "resfil1.dat"; l2 = "resfil2.dat"; break;
        case RAW_SYSTAT: l1 = "RESFIL1.CMD"; l2 = "RESFIL2.CMD"; break;
        case RAW_SAS: l1 = "resfil1.sas"; l2 = "resfil2.sas"; break;
        case RAW_STATA: l1 = "resfil1.dta"; l2 = "resfil2.dta"; break;
        default: break;
    }
    if (rs.resfil1Name.empty()) rs.resfil1Name = l1;
    if (rs.resfil2Name.empty()) rs.resfil2Name = l2;
}
