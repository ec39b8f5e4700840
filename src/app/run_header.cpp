// The beginning of every report: banner, specification block, weighting,
// the fixed-effects table, the covariance components and the model in
// equation form.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/app.h"
#include "mdm/mdm.h"
#include "model/model.h"

namespace {

const char* const FULL_MONTHS[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};
const char* const WEEKDAYS[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// Kinds of run as the header distinguishes them.
enum class HeaderKind { Linear, Hetero, NonLinear, Multinomial, Ordinal };

// The notation letters of the equations.
struct Letters {
    const char* coef;      // level-1 coefficient
    const char* fixed;     // fixed effect
    const char* residual;  // level-1 residual
    const char* random;    // level-2 random effect
};

// One level-1 coefficient of an equation set, in model order.
struct Coefficient {
    int slot;            // level-1 slot
    int position;        // position among the set's coefficients, from 0
    int number;          // number printed in equations
    bool threshold;      // ordinal threshold
    bool random;         // has a level-2 random effect
    std::vector<int> predictors;  // level-2 slots of its equation
};

// Everything the blocks share, worked out once.
struct HeaderModel {
    const RunSettings& rs;
    const ModelSpec& model;
    const MdmHeader& mdm;
    HeaderKind kind;
    Letters letters;
    bool vknown;
    int categories;                          // multinomial/ordinal categories
    std::vector<std::vector<Coefficient>> sets;
    std::vector<int> groupOf;                // constraint group per fixed effect, absolute
    std::vector<std::string> labelOf;        // two-digit label per fixed effect
};

HeaderKind kind_of(const RunSettings& rs, const ModelSpec& model) {
    if (rs.distribution == 3) return rs.ordinal ? HeaderKind::Ordinal : HeaderKind::Multinomial;
    if (rs.distribution == 1 || rs.distribution == 2) return HeaderKind::NonLinear;
    if (!model.heteroVars.empty()) return HeaderKind::Hetero;
    return HeaderKind::Linear;
}

int cell(const std::vector<int>& v, int index, int otherwise = 0) {
    return index >= 0 && index < (int)v.size() ? v[index] : otherwise;
}

// The 8-character name field of a slot, as "%8.8s" prints it.
std::string field8(const std::vector<NameSlot>& table, int slot) {
    if (slot < 0 || slot >= (int)table.size()) return "        ";
    return std::string(table[slot].text, strnlen(table[slot].text, 8));
}

// The name as equations print it: left-justified, cut at the first blank.
std::string trimmed(const std::vector<NameSlot>& table, int slot) {
    std::string f = field8(table, slot);
    std::size_t b = f.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    f = f.substr(b);
    return f.substr(0, f.find(' '));
}

std::string l1_field(const HeaderModel& h, int slot) {
    return field8(slot < (int)h.model.l1Names.size() ? h.model.l1Names : h.mdm.l1Names, slot);
}
std::string l1_trim(const HeaderModel& h, int slot) {
    return trimmed(slot < (int)h.model.l1Names.size() ? h.model.l1Names : h.mdm.l1Names, slot);
}

// Label of category c (0-based); numbered when the labels are not known yet.
std::string category(const HeaderModel& h, int c) {
    if (c >= 0 && c < (int)h.model.categoryLabels.size()) return h.model.categoryLabels[c];
    return std::to_string(c + 1);
}

HeaderModel build(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm) {
    HeaderModel h{rs, model, mdm, kind_of(rs, model), {"B", "G", "R", "U"}, rs.isVKnown || mdm.isVKnown, 0,
                  {}, {}, {}};
    if (rs.withinPersons) h.letters = {"P", "B", "E", "R"};
    h.categories = rs.numCategories;
    int p1 = mdm.numL1Vars;
    int sets = h.kind == HeaderKind::Ordinal ? 1 : model.numSets;
    for (int s = 0; s < sets; ++s) {
        std::vector<Coefficient> coefs;
        bool hasIntercept = cell(model.l1Role, model.at(s, 0)) == 1 && !h.vknown;
        for (int slot = 0; slot < model.numL1Slots; ++slot) {
            if (cell(model.l1Role, model.at(s, slot)) != 1) continue;
            Coefficient c;
            c.slot = slot;
            c.position = (int)coefs.size();
            c.number = c.position + (hasIntercept ? 0 : 1);
            c.threshold = h.kind == HeaderKind::Ordinal && slot > p1;
            c.random = cell(model.fixedEffectOnly, model.at(s, slot)) == 0;
            for (int k = 0; k < model.numL2Slots; ++k) {
                int p = cell(model.l2Predictors, model.pred(s, slot, k), NO_ENTRY);
                if (p == NO_ENTRY) break;
                c.predictors.push_back(p);
            }
            char label[32];
            for (int k = 0; k < (int)c.predictors.size(); ++k) {
                std::snprintf(label, sizeof label, "%1.1d%1.1d", c.position, k);
                h.labelOf.push_back(label);
                long g = cell(model.constraintGroup, (int)h.groupOf.size());
                h.groupOf.push_back((int)(g < 0 ? -g : g));
            }
            coefs.push_back(c);
        }
        h.sets.push_back(coefs);
    }
    return h;
}

bool has_constraints(const HeaderModel& h) {
    for (int g : h.groupOf)
        if (g != 0) return true;
    return false;
}

// Number of a predictor in its equation: from 0, or from 1 without INTRCPT2.
int predictor_number(const Coefficient& c, int k) {
    return k + (!c.predictors.empty() && c.predictors[0] == 0 ? 0 : 1);
}

std::string executable_name() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return PROGRAM_NAME;
    path[n] = '\0';
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void write_banner(FILE* out) {
    std::fputs("\n", out);
    std::fprintf(out, "%-32sARB %d %s\n", " Program:", std::atoi(PROGRAM_VERSION),
                 "Hierarchical Models for Nested Data");
    std::fprintf(out, "%-32s%s\n", " Authors:", "The arb2 developers");
    std::fprintf(out, "%-32s%s\n", " Purpose:", "Two-level linear and non-linear models");
    std::string rule(79, '-');
    std::fprintf(out, " %s\n", rule.c_str());
    std::fprintf(out, " Module:      %s (%s)\n", executable_name().c_str(), PROGRAM_VERSION);
    const std::tm& t = run_start_time();
    int month = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
    int wday = t.tm_wday >= 0 && t.tm_wday < 7 ? t.tm_wday : 0;
    std::fprintf(out, " Date:        %d %s %4d, %s\n", t.tm_mday, FULL_MONTHS[month], t.tm_year + 1900,
                 WEEKDAYS[wday]);
    std::fprintf(out, " Time:        %2d:%2d:%2d\n", t.tm_hour, t.tm_min, t.tm_sec);
    std::fprintf(out, " %s\n", rule.c_str());
    std::fputs("\n", out);
}

void write_specifications(FILE* out, const HeaderModel& h) {
    const RunSettings& rs = h.rs;
    const ModelSpec& model = h.model;
    std::fputs("\n SPECIFICATIONS FOR THIS ", out);
    if (h.kind == HeaderKind::NonLinear) std::fputs("NONLINEAR ", out);
    if (h.kind == HeaderKind::Multinomial) std::fputs("MULTINOMIAL ", out);
    if (h.kind == HeaderKind::Ordinal) std::fputs("ORDINAL ", out);
    std::fprintf(out, "%s RUN\n\n", PROGRAM_NAME);
    std::fprintf(out, "\n  Problem Title: %s\n\n", rs.problemTitle.c_str());
    std::fprintf(out, "  The data source for this run  = %s\n", rs.dataSourceName.c_str());
    std::fprintf(out, "  The command file for this run = %s\n", rs.commandFileName.c_str());
    std::fprintf(out, "  Output file name              = %s\n", rs.outputFileName.c_str());
    if (!h.vknown) std::fprintf(out, "  The maximum number of level-1 units = %d\n", h.mdm.numL1Records);
    std::fprintf(out, "  The maximum number of level-2 units = %d\n", h.mdm.numGroups);
    bool macro = h.kind != HeaderKind::Linear;
    std::fprintf(out, "  The maximum number of %siterations = %d\n", macro ? "micro " : "", rs.maxIterations);
    bool categorical = h.kind == HeaderKind::Multinomial || h.kind == HeaderKind::Ordinal;
    if (categorical) std::fprintf(out, "  Number of categories = %ld\n", (long)rs.numCategories);
    std::fprintf(out, "  Method of estimation: %s%s", rs.fullML ? "full" : "restricted",
                 h.kind == HeaderKind::Linear || h.kind == HeaderKind::Hetero ? " maximum likelihood\n" : " PQL\n");
    if (!model.plausibleValues.empty()) {
        std::fputs("\n  This is part of a plausible value analysis using the following variables:\n", out);
        for (int v : model.plausibleValues) std::fprintf(out, "    %s\n", l1_field(h, v).c_str());
        std::fputs("\n", out);
    }
    if (rs.miActive) std::fputs("\n  This is part of a multiple imputation analysis\n", out);
    if (!macro) return;
    std::fprintf(out, "  Maximum number of macro iterations = %ld\n", (long)rs.maxMacroIterations);
    if (rs.popAvgIterations > 1) {
        std::fprintf(out, "  Maximum number of population average iterations = %ld\n", (long)rs.popAvgIterations);
    }
    if (h.kind == HeaderKind::Hetero) {
        std::fputs("  Heterogeneous sigma_squared specified\n", out);
        return;
    }
    std::fputs("\n  Distribution at Level-1: ", out);
    if (rs.distribution == 1) std::fputs(model.trialsVar > 0 ? "Binomial\n" : "Bernoulli\n", out);
    else if (rs.distribution == 2) std::fputs("Poisson\n", out);
    else std::fputs(rs.ordinal ? "Ordinal\n" : "Multinomial\n", out);
    if (rs.taylorOrder != 0) std::fprintf(out, "Taylor series at order %d selected\n", rs.taylorOrder);
}

void write_weighting(FILE* out, const HeaderModel& h) {
    if (h.vknown) {
        std::fputs("  Note: this is a v-known analysis\n", out);
        return;
    }
    std::fputs("\n Weighting Specification\n", out);
    report_rule(out, 23);
    std::fputs("                         Weight\n", out);
    std::fputs("                         Variable\n", out);
    std::fputs("            Weighting?   Name        Normalized?\n", out);
    struct Row {
        const char* head;
        int slot;
        std::string name;
        const char* normalised;
    } rows[3] = {
        {" Level 1       ", h.rs.level1Weight, l1_field(h, h.rs.level1Weight), "        yes\n"},
        {" Level 2       ", h.rs.level2Weight, field8(h.mdm.l2Names, h.rs.level2Weight), "        yes\n"},
        {" Precision     ", h.rs.precisionVar, l1_field(h, h.rs.precisionVar), "         no\n"},
    };
    for (const Row& r : rows) {
        std::fputs(r.head, out);
        if (r.slot <= 0) {
            std::fputs(" no       \n", out);
        } else {
            std::fprintf(out, "yes       %s%s", r.name.c_str(), r.normalised);
        }
    }
}

void write_fixed_effects(FILE* out, const HeaderModel& h) {
    bool constraints = has_constraints(h);
    bool multinomial = h.kind == HeaderKind::Multinomial;
    const char* B = h.letters.coef;
    const char* G = h.letters.fixed;

    std::fputs("\n  The model specified for the fixed effects was:\n", out);
    report_rule(out, 52);
    std::fputs("\n   Level-1                  Level-2", out);
    if (constraints) std::fputs("          Specified", out);
    std::fputs(h.vknown ? "\n   Effects     " : "\n   Coefficients", out);
    std::fputs("             Predictors", out);
    if (constraints) std::fputs("       Constraints", out);
    std::fputs("\n ----------------------   ---------------", out);
    if (constraints) std::fputs("    -----------", out);
    std::fputs("\n", out);

    bool usedHash = false, usedGroup = false, usedGrand = false, usedL2 = false;
    int fixedIndex = 0;
    for (int s = 0; s < (int)h.sets.size(); ++s) {
        std::string cat = category(h, s);
        if (multinomial) std::fprintf(out, "For category %s:\n", cat.c_str());
        for (const Coefficient& c : h.sets[s]) {
            for (int k = 0; k < (int)c.predictors.size(); ++k, ++fixedIndex) {
                if (k == 0) {
                    char mark = ' ';
                    if (!c.random && !c.threshold) {
                        mark = '#';
                        usedHash = true;
                    }
                    char centre = ' ';
                    int centering = c.slot > 0 && !c.threshold ? cell(h.model.l1Centering, c.slot) : 0;
                    if (centering == 1) {
                        centre = '*';
                        usedGroup = true;
                    } else if (centering == 2) {
                        centre = '%';
                        usedGrand = true;
                    }
                    char coefCell[128];
                    std::string name = l1_field(h, c.slot);
                    if (c.threshold) {
                        std::snprintf(coefCell, sizeof coefCell, "      %s,     ", name.c_str());
                    } else if (c.slot == 0 || h.vknown) {
                        std::snprintf(coefCell, sizeof coefCell, "      %s, %s%1.1d", name.c_str(), B, c.number);
                    } else {
                        std::snprintf(coefCell, sizeof coefCell, "%s slope, %s%1.1d", name.c_str(), B, c.number);
                    }
                    std::string full = coefCell;
                    if (multinomial) full += "(" + cat + ")";
                    std::fprintf(out, "%c%c %s ", mark, centre, full.c_str());
                    if (!c.threshold) std::fputs("   ", out);
                } else {
                    std::fprintf(out, "%25s", "");
                    if (multinomial) std::fputs("   ", out);
                }
                int p = c.predictors[k];
                bool grand = p != 0 && cell(h.model.l2Centering, p) == 2;
                usedL2 = usedL2 || grand;
                std::fputc(grand ? '$' : ' ', out);
                if (c.threshold) {
                    std::fprintf(out, " %s", ("     d(" + category(h, c.slot - h.mdm.numL1Vars) + ")       ").c_str());
                } else {
                    std::fprintf(out, " %s, %s%1.1d%1.1d", field8(h.mdm.l2Names, p).c_str(), G, c.number,
                                 predictor_number(c, k));
                    if (multinomial) std::fprintf(out, "(%s)", cat.c_str());
                    else std::fputs("   ", out);
                }
                if (constraints) {
                    std::fputs(c.threshold ? " " : "   ", out);
                    std::fprintf(out, "    %1.1d", cell(h.groupOf, fixedIndex));
                }
                std::fputs("\n", out);
            }
        }
    }
    std::fputs("\n", out);
    if (usedHash) {
        std::fputs("'#' - The residual parameter variance for this level-1 coefficient has been set\n"
                   "      to zero.\n", out);
    }
    if (usedGroup) std::fputs("'*' - This level-1 predictor has been centered around its group mean.\n", out);
    if (usedGrand) std::fputs("'%' - This level-1 predictor has been centered around its grand mean.\n", out);
    if (usedL2) std::fputs("'$' - This level-2 predictor has been centered around its grand mean.\n", out);
}

void write_covariance_components(FILE* out, const HeaderModel& h) {
    std::fputs("\n The model specified for the covariance components was:\n", out);
    report_rule(out, 57);
    if (h.vknown) {
        std::fputs("\n         Variance(s and covariances) at level-1 externally specified\n\n", out);
    } else if (h.rs.distribution == 0) {
        std::fputs("\n         Sigma squared (constant across level-2 units)\n\n", out);
    }
    bool anyRandom = false;
    for (const auto& set : h.sets)
        for (const Coefficient& c : set) anyRandom = anyRandom || (c.random && !c.threshold);
    if (!anyRandom) return;
    std::fputs("         Tau dimensions\n", out);
    for (int s = 0; s < (int)h.sets.size(); ++s) {
        for (const Coefficient& c : h.sets[s]) {
            if (!c.random || c.threshold) continue;
            std::fprintf(out, "               %s", l1_field(h, c.slot).c_str());
            if (h.kind == HeaderKind::Multinomial) std::fprintf(out, "(%s)", category(h, s).c_str());
            if (l1_trim(h, c.slot).compare(0, 7, "INTRCPT") != 0) std::fputs(" slope", out);
            std::fputs("\n", out);
        }
    }
}

// "+ " before every term but the first, then the term.
void write_term(FILE* out, bool& first, const std::string& term) {
    if (!first) std::fputs("+ ", out);
    std::fputs(term.c_str(), out);
    first = false;
}

void write_level1_equation(FILE* out, const HeaderModel& h) {
    const RunSettings& rs = h.rs;
    const ModelSpec& model = h.model;
    const char* B = h.letters.coef;
    std::string count = model.trialsVar > 0 ? l1_trim(h, model.trialsVar) : "";
    char buf[256];

    if (rs.distribution == 1 && model.trialsVar == 0) {
        std::fputs("\tProb(Y=1|B) = P\n\n", out);
    } else if (rs.distribution == 1) {
        std::fprintf(out, "\tE(Y|B) = %s*P\n\tV(Y|B) = %s*P(1-P)\n\n", count.c_str(), count.c_str());
    } else if (rs.distribution == 2 && model.trialsVar == 0) {
        std::fputs("\tE(Y|B) = L\n\tV(Y|B) = L\n\n", out);
    } else if (rs.distribution == 2) {
        std::fprintf(out, "\tE(Y|B) = %s*L\n\tV(Y|B) = %s*L\n\n", count.c_str(), count.c_str());
    }

    const std::vector<Coefficient>& terms = h.sets.empty() ? std::vector<Coefficient>{} : h.sets[0];
    if (h.vknown) {
        for (int i = 1; i <= (int)terms.size(); ++i) std::fprintf(out, "\tY%d = B%d + E%d\n", i, i, i);
        return;
    }
    if (h.kind == HeaderKind::Multinomial) {
        int C = h.categories > 0 ? h.categories : model.numSets + 1;
        std::string last = category(h, C - 1);
        for (int c = 0; c < C; ++c) {
            std::string cat = category(h, c);
            std::fprintf(out, "\tProb[Y(%.4s) = 1|B] = P(%.4s)", cat.c_str(), cat.c_str());
            if (c == C - 1) {
                std::fputs(" = 1", out);
                for (int o = 0; o < C - 1; ++o) std::fprintf(out, " - P(%.4s)", category(h, o).c_str());
                std::fputs("\n\n", out);
            } else {
                std::fputs("\n", out);
            }
        }
        for (int c = 0; c < C - 1 && c < (int)h.sets.size(); ++c) {
            std::string cat = category(h, c);
            std::fprintf(out, "\tlog[P(%.4s)/P(%.4s)] = ", cat.c_str(), last.c_str());
            bool first = true;
            for (const Coefficient& t : h.sets[c]) {
                if (t.slot == 0) std::snprintf(buf, sizeof buf, "B0(%.4s) ", cat.c_str());
                else std::snprintf(buf, sizeof buf, "B%d(%.4s)*(%s) ", t.number, cat.c_str(), l1_trim(h, t.slot).c_str());
                write_term(out, first, buf);
            }
            std::fputs("\n", out);
        }
        return;
    }
    if (h.kind == HeaderKind::Ordinal) {
        int C = h.categories;
        std::string c1 = category(h, 0);
        std::fprintf(out, "\tProb[R = %.4s|B]  = P'(%s) = P(%.4s)\n", c1.c_str(), c1.c_str(), c1.c_str());
        for (int m = 2; m <= C - 1; ++m) {
            std::string cm = category(h, m - 1);
            std::fprintf(out, "\tProb[R <= %.4s|B] = P'(%s) = P(%.4s)", cm.c_str(), cm.c_str(), c1.c_str());
            for (int o = 2; o <= m; ++o) std::fprintf(out, " + P(%s)", category(h, o - 1).c_str());
            std::fputs("\n", out);
        }
        std::fprintf(out, "\tProb[R <= %.4s|B] = 1.0\n\n\twhere\n\n", category(h, C - 1).c_str());
        for (int m = 1; m <= C - 1; ++m) {
            std::string cm = category(h, m - 1);
            std::fprintf(out, "\tP(%s) = Prob[Y(%s) = 1|B]\n", cm.c_str(), cm.c_str());
        }
        std::fputs("\n", out);
        for (int m = 1; m <= C - 1; ++m) {
            std::string cm = category(h, m - 1);
            std::fprintf(out, "\tlog[P'(%.4s)/(1 - P'(%.4s))] = ", cm.c_str(), cm.c_str());
            bool first = true;
            for (const Coefficient& t : terms) {
                if (t.threshold) continue;
                if (t.slot == 0) std::snprintf(buf, sizeof buf, "B%d ", t.number);
                else std::snprintf(buf, sizeof buf, "B%d*(%s) ", t.number, l1_trim(h, t.slot).c_str());
                write_term(out, first, buf);
            }
            if (m >= 2) std::fprintf(out, "+ d(%s) ", cm.c_str());
            std::fputs("\n", out);
        }
        return;
    }

    if (rs.distribution == 1) std::fputs("\tlog[P/(1-P)] = ", out);
    else if (rs.distribution == 2) std::fputs("\tlog[L] = ", out);
    else std::fputs("\tY = ", out);
    bool first = true;
    for (const Coefficient& t : terms) {
        if (t.slot == 0) std::snprintf(buf, sizeof buf, "%s0 ", B);
        else std::snprintf(buf, sizeof buf, "%s%d*(%s) ", B, t.number, l1_trim(h, t.slot).c_str());
        write_term(out, first, buf);
    }
    if (rs.distribution == 0) std::fprintf(out, "+ %s", h.letters.residual);
    std::fputs("\n", out);
}

// One level-2 equation; `B` and `G` are the letters, `cat` the category suffix ("" for none).
void write_level2_equation(FILE* out, const HeaderModel& h, const Coefficient& c, const char* B, const char* G,
                           const std::string& cat) {
    const char* U = h.letters.random;
    int n = c.number;
    std::string tag = cat.empty() ? "" : "(" + cat + ")";
    std::fprintf(out, "\t%s%d%s = ", B, n, tag.c_str());
    if (c.predictors.empty()) {
        std::fprintf(out, "%s%d%s\n", U, n, tag.c_str());
        return;
    }
    for (int k = 0; k < (int)c.predictors.size(); ++k) {
        int p = c.predictors[k];
        if (k == 5 || k == 9 || k == 13) std::fputs("\n         ", out);
        if (k > 0) std::fputs("+ ", out);
        if (p == 0) std::fprintf(out, "%s%d0%s ", G, n, tag.c_str());
        else std::fprintf(out, "%s%d%d%s*(%s) ", G, n, predictor_number(c, k), tag.c_str(),
                          trimmed(h.mdm.l2Names, p).c_str());
    }
    if (c.random) std::fprintf(out, "+ %s%d%s", U, n, tag.c_str());
    std::fputs("\n", out);
}

void write_equations(FILE* out, const HeaderModel& h) {
    std::fputs("\n\n Summary of the model specified (in equation format)\n", out);
    report_rule(out, 51);
    std::fputs("\nLevel-1 Model\n\n", out);
    write_level1_equation(out, h);

    std::fputs("\nLevel-2 Model\n", out);
    if (h.kind == HeaderKind::Multinomial) {
        for (int s = 0; s < (int)h.sets.size(); ++s) {
            std::fputs("\n", out);
            for (const Coefficient& c : h.sets[s]) write_level2_equation(out, h, c, "B", "G", category(h, s));
        }
    } else if (!h.sets.empty()) {
        bool ordinal = h.kind == HeaderKind::Ordinal;
        for (const Coefficient& c : h.sets[0]) {
            if (c.threshold) continue;
            write_level2_equation(out, h, c, ordinal ? "B" : h.letters.coef, ordinal ? "G" : h.letters.fixed, "");
        }
    }

    if (has_constraints(h)) {
        std::fputs("\n", out);
        const char* G = h.letters.fixed;
        for (std::size_t f = 0; f < h.groupOf.size(); ++f) {
            int g = h.groupOf[f];
            if (g == 0) continue;
            bool head = true;
            for (std::size_t e = 0; e < f; ++e) head = head && h.groupOf[e] != g;
            if (!head) continue;
            std::fprintf(out, "\t%s%s", G, h.labelOf[f].c_str());
            for (std::size_t e = f + 1; e < h.groupOf.size(); ++e) {
                if (h.groupOf[e] == g) std::fprintf(out, " = %s%s", G, h.labelOf[e].c_str());
            }
            std::fputs("\n", out);
        }
    }

    if (h.rs.distribution == 1 || h.rs.distribution == 2) {
        std::string s = h.rs.fixedSigma2 == 0.0 ? "sigma_squared" : "1";
        std::string count = h.model.trialsVar > 0 ? l1_trim(h, h.model.trialsVar) + "*" : "";
        std::fputs("\nLevel-1 variance = ", out);
        if (h.rs.distribution == 1 && count.empty()) std::fprintf(out, "%s/[P(1-P)]\n", s.c_str());
        else if (h.rs.distribution == 1) std::fprintf(out, "%s/[%sP(1-P)]\n", s.c_str(), count.c_str());
        else if (count.empty()) std::fprintf(out, "%s/L\n", s.c_str());
        else std::fprintf(out, "%s/(%sL)\n", s.c_str(), count.c_str());
    }
}

}  // namespace

void write_run_header(FILE* out, const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm) {
    if (out == nullptr) return;
    HeaderModel h = build(rs, model, mdm);
    write_banner(out);
    write_specifications(out, h);
    write_weighting(out, h);
    std::fprintf(out, "\n  The outcome variable is %s\n", l1_field(h, model.outcome).c_str());
    write_fixed_effects(out, h);
    write_covariance_components(out, h);
    write_equations(out, h);
}
