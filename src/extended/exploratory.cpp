// Exploratory analysis: each random coefficient's empirical Bayes residuals
// regressed on each of its candidate level-2 variables, one at a time, so the
// analyst sees which variables might enter a later model.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/base.h"
#include "extended/extended.h"
#include "mdm/mdm.h"
#include "model/model.h"

namespace {

// Residual variance used when two units leave no degrees of freedom.
constexpr double TINY_VARIANCE = 1e-7;

int cell(const std::vector<int>& v, std::size_t index, int otherwise) {
    return index < v.size() ? v[index] : otherwise;
}

std::string name8(const std::vector<NameSlot>& table, int slot) {
    if (slot < 0 || slot >= static_cast<int>(table.size())) return std::string(8, ' ');
    std::string s(table[slot].text, strnlen(table[slot].text, 8));
    s.resize(8, ' ');
    return s;
}

void print_heading(FILE* out, ExploratoryLayout layout) {
    std::fprintf(out, "\f Exploratory Analysis: estimated level-2 coefficients and their standard errors\n");
    std::fprintf(out, "         obtained by regressing EB residuals on level-2 predictors selected for\n");
    std::fprintf(out, "         possible inclusion in subsequent ARB runs\n\n");
    report_rule(out, 77);
    if (layout == ExploratoryLayout::Linear)
        std::fprintf(out, " Level-1 Coefficient          Potential Level-2 Predictors\n");
    else
        std::fprintf(out, " Level-1 Coefficient      Potential Level-2 Predictors\n");
    report_rule(out, 77);
}

void print_label(FILE* out, ExploratoryLayout layout, const ExploratoryCoefficient& c) {
    if (layout == ExploratoryLayout::VKnown) {
        std::fprintf(out, " %8.8s, B%1d\n", c.name.c_str(), static_cast<int>(c.number));
        return;
    }
    if (c.slope)
        std::fprintf(out, " %8.8s slope", c.name.c_str());
    else
        std::fprintf(out, "       %8.8s", c.name.c_str());
    std::fprintf(out, ",B%ld\n", c.number);
}

void print_row(FILE* out, const char* title, const std::vector<CandidateFit>& fits, std::size_t first,
               std::size_t last, double CandidateFit::*field) {
    std::fputs(title, out);
    for (std::size_t k = first; k < last; ++k) std::fprintf(out, " %8.3f", fits[k].*field);
    std::fputs("\n", out);
}

}  // namespace

CandidateFit regress_on_candidate(long J, const double* u, int ldU, const double* w, int ldW) {
    CandidateFit f;
    if (J <= 0) return f;
    const double n = static_cast<double>(J);
    double ubar = 0.0, wbar = 0.0;
    for (long j = 0; j < J; ++j) {
        ubar += u[j * ldU];
        wbar += w[j * ldW];
    }
    ubar /= n;
    wbar /= n;
    double sxy = 0.0, sxx = 0.0;
    for (long j = 0; j < J; ++j) {
        const double dw = w[j * ldW] - wbar;
        sxy += (u[j * ldU] - ubar) * dw;
        sxx += dw * dw;
    }
    f.slope = sxy / sxx;
    double sse = 0.0;
    for (long j = 0; j < J; ++j) {
        const double e = u[j * ldU] - (f.slope * (w[j * ldW] - wbar) + ubar);
        sse += e * e;
    }
    const double v = J >= 3 ? sse / (n - 2.0) : TINY_VARIANCE;
    f.se = std::sqrt(v / sxx);
    f.t = f.slope / f.se;
    return f;
}

std::vector<ExploratoryCoefficient> exploratory_coefficients(const ModelSpec& model, const MdmHeader& mdm,
                                                             ExploratoryLayout layout,
                                                             const std::vector<std::string>& categories) {
    std::vector<ExploratoryCoefficient> list;
    const std::vector<NameSlot>& l1 = model.l1Names.empty() ? mdm.l1Names : model.l1Names;
    const bool multinomial = model.numSets > 1;
    // Ordinal thresholds follow the MDM file's variables and never vary across units.
    const int lastSlot = std::min(model.numL1Slots - 1, mdm.numL1Vars);
    int column = 0;
    for (int set = 0; set < model.numSets; ++set) {
        const bool intercept = cell(model.l1Role, model.at(set, 0), 0) == 1;
        int position = 0;
        for (int slot = 0; slot <= lastSlot; ++slot) {
            if (cell(model.l1Role, model.at(set, slot), 0) != 1) continue;
            const int number = position++;
            if (cell(model.fixedEffectOnly, model.at(set, slot), 1) != 0) continue;
            ExploratoryCoefficient c;
            c.name = name8(l1, slot);
            c.number = layout == ExploratoryLayout::VKnown ? number + 1 : number;
            c.slope = intercept && slot != 0;
            if (multinomial)
                c.category = set < static_cast<int>(categories.size()) ? categories[set] : std::to_string(set + 1);
            c.residualColumn = column++;
            for (int k = 0; k < MAX_EXPLORATORY_CANDIDATES; ++k) {
                const int v = cell(model.l2Candidates, static_cast<std::size_t>(model.cand(set, slot, k)), NO_ENTRY);
                if (v == NO_ENTRY) break;
                if (v >= 0 && v < model.numL2Slots) c.candidates.push_back(v);
            }
            if (!c.candidates.empty()) list.push_back(c);
        }
    }
    return list;
}

void print_exploratory_analysis(FILE* out, ExploratoryLayout layout, const ExploratoryData& data,
                                const std::vector<ExploratoryCoefficient>& coefficients) {
    bool any = false;
    for (const ExploratoryCoefficient& c : coefficients) any = any || !c.candidates.empty();
    if (out == nullptr || !any) return;

    print_heading(out, layout);
    std::string category;
    for (const ExploratoryCoefficient& c : coefficients) {
        if (c.candidates.empty()) continue;
        if (!c.category.empty() && c.category != category) {
            category = c.category;
            std::fprintf(out, "For category %s:\n", category.c_str());
        }
        // Candidates outside the level-2 table have no data; they are not fitted.
        std::vector<int> slots;
        for (int v : c.candidates)
            if (v >= 0 && v < data.numL2Slots && v < data.ldLevel2) slots.push_back(v);
        std::vector<CandidateFit> fits;
        for (int v : slots) {
            fits.push_back(regress_on_candidate(data.J, data.residuals + c.residualColumn, data.ldResiduals,
                                                data.level2 + v, data.ldLevel2));
        }
        for (std::size_t first = 0; first < slots.size(); first += EXPLORATORY_BLOCK) {
            const std::size_t last = std::min(slots.size(), first + EXPLORATORY_BLOCK);
            std::fputs("\n                         ", out);
            for (std::size_t k = first; k < last; ++k) {
                const std::string& name =
                    slots[k] < static_cast<int>(data.l2Names.size()) ? data.l2Names[slots[k]] : std::string();
                std::fprintf(out, " %8.8s", name.c_str());
            }
            std::fputs("\n", out);
            print_label(out, layout, c);
            print_row(out, "    Coefficient         ", fits, first, last, &CandidateFit::slope);
            print_row(out, "    Standard Error      ", fits, first, last, &CandidateFit::se);
            print_row(out, "    t value             ", fits, first, last, &CandidateFit::t);
        }
    }
    if (layout == ExploratoryLayout::Linear) {
        std::fputs("\n", out);
        report_rule(out, 77);
    }
}
