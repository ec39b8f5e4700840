// Builds the names and labels the report tables print from the model: the
// coefficient and predictor cells of the model summary, the random
// coefficients with their index labels, and the notation letters.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "model/model.h"
#include "estimation/estimation.h"
#include "report/report.h"

namespace {

// Longest gamma label a table column holds.
constexpr std::size_t MAX_GAMMA_LABEL = 29;

// The 12 characters of a name slot (blank when the slot is missing).
std::string slot_text(const std::vector<NameSlot>& table, int slot) {
    if (slot < 0 || slot >= (int)table.size()) return std::string(12, ' ');
    std::string s(table[slot].text, strnlen(table[slot].text, 12));
    s.resize(12, ' ');
    return s;
}

// The first 8 characters of a name slot, as "%8.8s" prints them.
std::string name8(const std::vector<NameSlot>& table, int slot) {
    return slot_text(table, slot).substr(0, 8);
}

bool begins_with_intrcpt(const std::string& name8) {
    std::size_t b = name8.find_first_not_of(' ');
    return b != std::string::npos && name8.compare(b, 7, "INTRCPT") == 0;
}

std::string category_of(const std::vector<std::string>& cats, int i) {
    if (i >= 0 && i < (int)cats.size()) return cats[i];
    return std::to_string(i + 1);
}

// printf into a std::string (at most 511 characters).
__attribute__((format(printf, 1, 2))) std::string report_format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    return std::string(buf, (std::size_t)n < sizeof buf ? (std::size_t)n : sizeof buf - 1);
}

}  // namespace

ReportLabels make_report_labels(const ModelSpec& model, const RunSettings& rs, const MdmHeader& mdm,
                                const std::vector<std::string>& categories) {
    ReportLabels L;
    if (rs.withinPersons) {
        L.coefLetter = 'P';
        L.fixedLetter = 'B';
        L.randomLetter = 'R';
        L.residualLetter = 'E';
    }
    L.nonLinear = rs.distribution == 1 || rs.distribution == 2;
    L.poisson = rs.distribution == 2;
    L.ordinal = rs.distribution == 3 && rs.ordinal;
    L.multinomial = rs.distribution == 3 && !rs.ordinal;
    L.vKnown = rs.isVKnown || mdm.isVKnown;

    const std::vector<NameSlot>& l1 = model.l1Names.empty() ? mdm.l1Names : model.l1Names;
    const std::vector<NameSlot>& l2 = mdm.l2Names;

    if (!model.plausibleValues.empty()) {
        L.plausibleValues = true;
        for (int slot : model.plausibleValues) L.outcomeNames.push_back(name8(l1, slot));
    } else if (rs.miActive) {
        L.multipleImputation = true;
        L.outcomeNames.push_back(name8(l1, model.outcome));
    }

    // Sizes as the tables say; anything inconsistent yields no labels rather
    // than reads beyond the tables.
    const int sets = model.numSets > 0 ? model.numSets : 0;
    const int s1 = model.numL1Slots > 0 ? model.numL1Slots : 0;
    const int s2 = model.numL2Slots > 0 ? model.numL2Slots : 0;
    const std::size_t bySlot = (std::size_t)sets * s1;
    if (model.l1Role.size() < bySlot || model.fixedEffectOnly.size() < bySlot ||
        model.l2Predictors.size() < bySlot * s2)
        return L;

    // Thresholds of an ordinal model follow the MDM file's level-1 variables.
    const int firstThreshold = mdm.numL1Vars + 1;
    const int numberBase = (model.noIntercept || L.vKnown) ? 1 : 0;

    for (int set = 0; set < sets; ++set) {
        std::string setCategory = L.multinomial ? category_of(categories, set) : std::string();
        int position = 0;  // coefficient position within the set
        for (int slot = 0; slot < s1; ++slot) {
            if (model.l1Role[model.at(set, slot)] != 1) continue;
            const int number = position + numberBase;
            ++position;
            const bool threshold = L.ordinal && slot >= firstThreshold;
            const std::string name = name8(l1, slot);

            // Predictors of the coefficient's level-2 equation, in order.
            std::vector<int> preds;
            for (int k = 0; k < s2; ++k) {
                int v = model.l2Predictors[model.pred(set, slot, k)];
                if (v != NO_ENTRY) preds.push_back(v);
            }
            const int coefIndex = L.numCoefficients++;
            L.coefficientGammaCounts.push_back((int)preds.size());

            std::string heading;
            if (threshold)
                heading = report_format("      %8.8s,     ", name.c_str());
            else if (slot == 0 || L.vKnown)
                heading = report_format("      %8.8s, %c%1.1d", name.c_str(), L.coefLetter, number);
            else
                heading = report_format("%8.8s slope, %c%1.1d", name.c_str(), L.coefLetter, number);
            if (L.multinomial) heading += "(" + setCategory + ")";

            const int predBase = (!preds.empty() && preds[0] == 0) ? 0 : 1;
            for (std::size_t k = 0; k < preds.size(); ++k) {
                std::string label;
                if (threshold) {
                    int t = slot - firstThreshold;  // 0 for THOLD2
                    label = report_format("     d(%s)       ", category_of(categories, t + 1).c_str());
                } else {
                    label = report_format("%8.8s, %c%1.1d%1.1d", name8(l2, preds[k]).c_str(), L.fixedLetter,
                                          number, (int)k + predBase);
                    label += L.multinomial ? "(" + setCategory + ")" : std::string("   ");
                }
                if (label.size() > MAX_GAMMA_LABEL) label.resize(MAX_GAMMA_LABEL);
                L.gammaLabels.push_back(label);
                L.gammaHeadings.push_back(k == 0 ? heading : std::string());
                L.gammaGroupLabels.push_back(k == 0 ? slot_text(l1, slot) : std::string());
                L.gammaCategories.push_back(setCategory);
                L.gammaCoefficient.push_back(coefIndex);
            }

            if (model.fixedEffectOnly[model.at(set, slot)] == 0 && !threshold) {
                L.randomNames.push_back(name);
                L.randomIndex.push_back(std::to_string(number));
                L.randomIsIntercept.push_back(begins_with_intrcpt(name) ? 1 : 0);
                // Ordinal random effects belong to every cumulative logit; they
                // carry the first category.
                L.randomCategories.push_back(L.multinomial ? setCategory
                                             : L.ordinal   ? category_of(categories, 0)
                                                           : std::string());
                L.randomGammaCounts.push_back((int)preds.size());
            }
        }
    }
    L.numGammas = (int)L.gammaLabels.size();
    L.numRandom = (int)L.randomNames.size();

    // A gamma is constrained when another gamma shares its positive group.
    L.gammaConstrained.assign(L.numGammas, 0);
    const int groups = (int)model.constraintGroup.size() < L.numGammas ? (int)model.constraintGroup.size()
                                                                       : L.numGammas;
    for (int a = 0; a < groups; ++a) {
        if (model.constraintGroup[a] <= 0) continue;
        for (int b = 0; b < groups; ++b) {
            if (b != a && model.constraintGroup[b] == model.constraintGroup[a]) {
                L.gammaConstrained[a] = 1;
                break;
            }
        }
    }
    return L;
}
