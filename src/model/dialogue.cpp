// The console model specification: asks, in a fixed order, whatever the
// command file left open, then settles the kind of analysis.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "model/dialogue_internal.h"
#include "model/model.h"

namespace {

const char* const CHOSEN_ALREADY = "You have already chosen that variable!\n";

// One fixed effect with what the constraint and contrast questions show.
struct FixedEffect {
    int set, slot, l2slot;
    char label[24];
};

// The dialogue's view of the records and what earlier steps left for later ones.
struct Dialogue {
    RunSettings& rs;
    ModelSpec& model;
    const MdmHeader& mdm;
    int p1, p2;
    int countKind = 0;  // 2: ask for the number of trials, 4: for the exposure
    std::vector<FixedEffect> fixed;
};

int cell(const std::vector<int>& v, int index, int otherwise = 0) {
    return index >= 0 && index < (int)v.size() ? v[index] : otherwise;
}
void set_cell(std::vector<int>& v, int index, int value) {
    if (index >= 0 && index < (int)v.size()) v[index] = value;
}

// The 8-character field of a name slot, as "%8.8s" prints it.
std::string field8(const std::vector<NameSlot>& table, int slot) {
    if (slot < 0 || slot >= (int)table.size()) return "        ";
    return std::string(table[slot].text, strnlen(table[slot].text, 8));
}
std::string l1_name(const Dialogue& d, int slot) {
    return field8(slot < (int)d.model.l1Names.size() ? d.model.l1Names : d.mdm.l1Names, slot);
}
std::string l2_name(const Dialogue& d, int slot) { return field8(d.mdm.l2Names, slot); }

// The level-1 name table with at least the MDM variables, for show_choices.
const NameSlot* l1_table(const Dialogue& d) {
    return (int)d.model.l1Names.size() > d.p1 ? d.model.l1Names.data() : d.mdm.l1Names.data();
}

bool is_term(const Dialogue& d, int set, int slot) { return cell(d.model.l1Role, d.model.at(set, slot)) == 1; }
bool is_threshold(const Dialogue& d, int slot) { return d.rs.ordinal && slot > d.p1; }
// Equation sets the questions visit: ordinal models have their one set.
int sets_asked(const Dialogue& d) { return d.rs.ordinal ? 1 : d.model.numSets; }

std::vector<int> terms_of(const Dialogue& d, int set) {
    std::vector<int> t;
    for (int slot = 0; slot < d.model.numL1Slots; ++slot)
        if (is_term(d, set, slot)) t.push_back(slot);
    return t;
}

std::vector<int> predictors_of(const Dialogue& d, int set, int slot) {
    std::vector<int> p;
    for (int k = 0; k < d.model.numL2Slots; ++k) {
        int v = cell(d.model.l2Predictors, d.model.pred(set, slot, k), NO_ENTRY);
        if (v == NO_ENTRY) break;
        p.push_back(v);
    }
    return p;
}

void set_predictors(Dialogue& d, int set, int slot, const std::vector<int>& preds) {
    for (int k = 0; k < d.model.numL2Slots; ++k) {
        set_cell(d.model.l2Predictors, d.model.pred(set, slot, k), k < (int)preds.size() ? preds[k] : NO_ENTRY);
    }
    for (int v : preds) {
        if (v == 0) continue;
        set_cell(d.model.l1ResidualL2Vars, v, 1);
        set_cell(d.model.l2ResidualVars, v, 1);
    }
}

bool contains(const std::vector<int>& v, int x) {
    for (int e : v)
        if (e == x) return true;
    return false;
}

// A line-answer question without an attempt limit; the end of the input ends the
// run the way the asking primitives do, instead of asking for ever.
std::string read_line_answer(const char* prompt) {
    std::printf("%s", prompt);
    std::string line;
    if (!read_answer_line(line)) {
        std::printf("Unable to get a proper response!\n");
        fatal_exit(0);
    }
    std::size_t b = line.find_first_not_of(" \t");
    return b == std::string::npos ? std::string() : line.substr(b);
}

// Asks for one centering code among `allowed` ("012" or "02").
int ask_centering(const std::string& name, const char* allowed) {
    std::string prompt = " How do you want to center " + name + "? ";
    for (;;) {
        std::string a = read_line_answer(prompt.c_str());
        if (!a.empty() && std::strchr(allowed, a[0]) != nullptr) return a[0] - '0';
    }
}

// ---- Step 1 ------------------------------------------------------------------

void ask_nonlinear(Dialogue& d) {
    RunSettings& rs = d.rs;
    if (rs.nonlinGiven || rs.level1Given) return;
    if (!ask_yes_no("Do you want to do a non-linear analysis?")) return;
    std::printf("Enter type of non-linear analysis:\n\n");
    std::printf("\t1) Bernoulli (0 or 1)\n");
    std::printf("\t2) Binomial (count)\n");
    std::printf("\t3) Poisson  (constant exposure)\n");
    std::printf("\t4) Poisson  (variable exposure)\n");
    std::printf("\t5) Multinomial\n");
    std::printf("\t6) Ordinal\n\n");
    int type = ask_int(1, 6, "type of analysis:");
    static const int DISTRIBUTION[7] = {0, 1, 1, 2, 2, 3, 3};
    rs.distribution = DISTRIBUTION[type];
    rs.ordinal = type == 6;
    if (type == 2 || type == 4) d.countKind = type;
    rs.maxMacroIterations = ask_int(1, 100000, "Enter maximum number of macro iterations:");
    rs.maxIterations = ask_int(1, 100000, "Enter maximum number of micro iterations:");
    if (type <= 4) {
        if (!ask_yes_no("Do you wish to allow over-dispersion at level 1?")) rs.fixedSigma2 = 1.0;
        rs.popAvgIterations = 1;
    }
    if (type == 1 || type == 3) {
        if (ask_yes_no("Do you want to do the Laplace iterations?")) {
            rs.emLaplaceType = 1;
            rs.fullML = true;
            // Laplace iterations work with the level-1 variance fixed, as a command file would set it.
            rs.fixedSigma2 = 1.0;
            rs.laplaceIterations = ask_int(1, 100000, "Enter maximum number of Laplace macro iterations");
        }
    }
    rs.iterationsGiven = 1;
}

// ---- Step 2 ------------------------------------------------------------------

// Marks the outcome in every set, after the tables may have been re-made.
void place_outcome(Dialogue& d, int outcome) {
    ModelSpec& m = d.model;
    m.outcome = outcome;
    for (int s = 0; s < m.numSets; ++s) set_cell(m.l1Role, m.at(s, outcome), -1);
    set_cell(m.l1ResidualVars, m.at(0, outcome), 1);
}

void clear_outcome(Dialogue& d) {
    ModelSpec& m = d.model;
    for (int s = 0; s < m.numSets; ++s) set_cell(m.l1Role, m.at(s, m.outcome), 0);
    set_cell(m.l1ResidualVars, m.at(0, m.outcome), 0);
    m.outcome = 0;
}

// Asks the number of categories and re-makes the tables as NONLIN does.
void ask_categories(Dialogue& d) {
    RunSettings& rs = d.rs;
    ModelSpec& m = d.model;
    int outcome = m.outcome;
    std::string prompt = "How many categories does " + l1_name(d, outcome) + " have?";
    // The tables are sized by the category count, so it is bounded by what they can hold.
    rs.numCategories = ask_int(2, MAX_CATEGORIES, prompt.c_str());
    if (rs.ordinal) {
        check_reserved_names(d.mdm);
        remake_model_tables(d.mdm, m, 1, rs.numCategories - 2);
        for (int slot = d.p1 + 1; slot < m.numL1Slots; ++slot) set_cell(m.l1Role, m.at(0, slot), 1);
    } else {
        remake_model_tables(d.mdm, m, rs.numCategories - 1, 0);
    }
    place_outcome(d, outcome);
}

// Prints one menu of the outcome step and returns the chosen item.
enum class MenuItem { Means, Correlations, Specify, NewOutcome, Exit, Beyond };

MenuItem show_menu(bool means, bool correlations) {
    std::vector<MenuItem> items;
    if (means) items.push_back(MenuItem::Means);
    if (correlations) items.push_back(MenuItem::Correlations);
    items.push_back(MenuItem::Specify);
    items.push_back(MenuItem::NewOutcome);
    items.push_back(MenuItem::Exit);
    std::printf("\nDo you wish to:\n\n");
    for (int i = 0; i < (int)items.size(); ++i) {
        switch (items[i]) {
            case MenuItem::Means: std::printf("   Examine means,variances,chi-squared, etc? Enter %1d \n", i + 1); break;
            case MenuItem::Correlations:
                std::printf("   Examine correlations among univariate \n   coefficients and level-2 variables?       Enter %1d\n", i + 1);
                break;
            case MenuItem::Specify: std::printf("   Specify an ARB model?                     Enter %1d\n", i + 1); break;
            case MenuItem::NewOutcome: std::printf("   Define a new outcome variable?            Enter %1d\n", i + 1); break;
            default: std::printf("   Exit?                                     Enter %1d\n", i + 1); break;
        }
    }
    int answer = ask_int(1, 5, "What do you want to do?");
    return answer <= (int)items.size() ? items[answer - 1] : MenuItem::Beyond;
}

void ask_outcome(Dialogue& d) {
    ModelSpec& m = d.model;
    if (m.outcome != 0 || d.rs.isVKnown || d.mdm.isVKnown) return;
    for (;;) {
        section_heading("SPECIFYING A LEVEL-1 OUTCOME VARIABLE");
        show_choices(d.p1, l1_table(d), 0, "Please specify a level-1 outcome variable");
        place_outcome(d, ask_int(1, d.p1, "What is the outcome variable:"));
        if (d.rs.distribution == 3) ask_categories(d);

        bool newOutcome = false;
        for (int menu = 1; menu <= 3 && !newOutcome; ++menu) {
            MenuItem item = show_menu(menu == 1, menu == 2);
            if (item == MenuItem::Exit) fatal_exit(0);
            if (item == MenuItem::NewOutcome) {
                newOutcome = true;
            } else if (item == MenuItem::Means) {
                explore_means(d.rs, m, d.mdm);
            } else if (item == MenuItem::Correlations) {
                explore_correlations(d.rs, m, d.mdm);
            } else if (item != MenuItem::Beyond || menu == 3) {
                return;  // specify
            }
        }
        if (!newOutcome) return;
        clear_outcome(d);
    }
}

// ---- Steps 3 to 6 ------------------------------------------------------------

void ask_level1(Dialogue& d) {
    RunSettings& rs = d.rs;
    ModelSpec& m = d.model;
    if (!(rs.level1Given && rs.level2Given && rs.randomGiven && rs.candidatesGiven)) {
        std::string heading = std::string("SPECIFYING AN ") + PROGRAM_NAME + " MODEL";
        section_heading(heading.c_str());
    }
    if (rs.level1Given) return;
    std::printf("Level-1 predictor variable specification\n");
    show_choices(d.p1, l1_table(d), m.outcome, "Which level-1 predictors do you wish to use?");
    int most = (rs.isVKnown || d.mdm.isVKnown) ? d.p1 : d.p1 - 1;
    for (int chosen = 0; chosen < most;) {
        int v = ask_int(0, d.p1, " level-1 predictor? (Enter 0 to end) ");
        if (v == 0) break;
        if (v == m.outcome) {
            std::printf(" That is the outcome variable!\n");
        } else if (is_term(d, 0, v)) {
            std::printf("%s", CHOSEN_ALREADY);
        } else {
            set_cell(m.l1Role, m.at(0, v), 1);
            set_cell(m.l1ResidualVars, m.at(0, v), 1);
            ++chosen;
        }
    }
}

void ask_count_variable(Dialogue& d) {
    if (d.countKind == 0 || d.rs.nonlinGiven) return;
    std::string prompt = std::string("\nFor the non-linear analysis, which variable indicates the ") +
                         (d.countKind == 2 ? "number of trials?" : "exposure?");
    for (;;) {
        int v = ask_int(1, d.p1, prompt.c_str());
        if (v == d.model.outcome || is_term(d, 0, v)) {
            std::printf("%s", CHOSEN_ALREADY);
            continue;
        }
        d.model.trialsVar = v;
        return;
    }
}

void ask_level1_centering(Dialogue& d) {
    RunSettings& rs = d.rs;
    if (rs.level1Given || rs.isVKnown || d.mdm.isVKnown) return;
    std::vector<int> vars;
    for (int slot : terms_of(d, 0))
        if (slot > 0 && !is_threshold(d, slot)) vars.push_back(slot);
    if (vars.empty()) return;
    if (!ask_yes_no("\n Do you want to center any level-1 predictors?")) return;
    std::printf(" (Enter 0 for no centering, enter 1 for group-mean, 2 for grand-mean)\n");
    for (int slot : vars) set_cell(d.model.l1Centering, slot, ask_centering(l1_name(d, slot), "012"));
}

void ask_intercept(Dialogue& d) {
    RunSettings& rs = d.rs;
    ModelSpec& m = d.model;
    bool vknown = rs.isVKnown || d.mdm.isVKnown;
    if (!rs.interceptGiven && !rs.ordinal) {
        if (ask_yes_no("\nDo you want to set the level-1 intercept to zero in this analysis?")) m.noIntercept = true;
    }
    if (!rs.level1Given) {
        if (vknown) m.noIntercept = true;  // the effects of a V-known file carry no intercept
        if (!m.noIntercept && !vknown) set_cell(m.l1Role, m.at(0, 0), 1);
        // Every logit of a multinomial model has the same level-1 terms.
        for (int s = 1; s < m.numSets; ++s)
            for (int slot = 0; slot < m.numL1Slots; ++slot)
                set_cell(m.l1Role, m.at(s, slot), cell(m.l1Role, m.at(0, slot)));
    }
    m.numTerms = (int)terms_of(d, m.numSets - 1).size();
}

// ---- Steps 7 to 10 -----------------------------------------------------------

void ask_level2(Dialogue& d) {
    if (d.rs.level2Given) return;
    std::printf("\n\nLevel-2 predictor variable specification\n");
    show_choices(d.p2, d.mdm.l2Names.data(), 0, "Which level-2 variables do you wish to use?\n");
    for (int s = 0; s < sets_asked(d); ++s) {
        if (d.rs.distribution == 3 && !d.rs.ordinal) std::printf("For category %d:\n", s + 1);
        std::vector<int> previous;
        bool havePrevious = false;
        bool first = true;
        for (int slot : terms_of(d, s)) {
            if (is_threshold(d, slot)) {
                set_predictors(d, s, slot, {0});  // a threshold is one fixed effect
                continue;
            }
            std::printf(" Which level-2 predictors to model %s%s", l1_name(d, slot).c_str(), first ? "?\n" : " slope?\n");
            first = false;
            std::vector<int> preds{0};
            while ((int)preds.size() - 1 < d.p2) {
                int v = ask_int(-1, d.p2, "  Level-2 predictor? (Enter 0 to end) ");
                if (v == 0) break;
                if (v == -1) {
                    if (!havePrevious) continue;  // nothing to copy for the first coefficient
                    preds = previous;
                    break;
                }
                if (contains(preds, v)) {
                    std::printf("%s", CHOSEN_ALREADY);
                    continue;
                }
                preds.push_back(v);
            }
            set_predictors(d, s, slot, preds);
            previous = preds;
            havePrevious = true;
        }
    }
}

void count_fixed_effects(Dialogue& d) {
    ModelSpec& m = d.model;
    int count = 0;
    for (int s = 0; s < sets_asked(d); ++s)
        for (int slot : terms_of(d, s)) count += (int)predictors_of(d, s, slot).size();
    m.numFixed = count;
    if (count == 0) fatal_exit(19);
    if (!m.constraintGroup.empty()) m.constraintGroup.resize(count, 0);
}

void ask_random(Dialogue& d) {
    if (d.rs.randomGiven) return;
    ModelSpec& m = d.model;
    // Thresholds never vary across units.
    for (int slot : terms_of(d, 0))
        if (is_threshold(d, slot)) set_cell(m.fixedEffectOnly, m.at(0, slot), 1);
    if (!ask_yes_no("\n\nDo you want to constrain the variances in any of the level-2 random\n effects to zero?")) return;
    for (int s = 0; s < sets_asked(d); ++s) {
        if (d.rs.distribution == 3 && !d.rs.ordinal) std::printf("For category %d:\n", s + 1);
        for (int slot : terms_of(d, s)) {
            if (is_threshold(d, slot)) continue;
            std::string prompt = " Do you want to fix " + l1_name(d, slot) + "? ";
            set_cell(m.fixedEffectOnly, m.at(s, slot), ask_yes_no(prompt.c_str()));
        }
    }
}

void ask_level2_centering(Dialogue& d) {
    if (d.rs.level2Given || d.rs.isVKnown || d.mdm.isVKnown) return;
    std::vector<int> used;
    for (int s = 0; s < sets_asked(d); ++s)
        for (int slot : terms_of(d, s))
            for (int v : predictors_of(d, s, slot))
                if (v != 0 && !contains(used, v)) used.push_back(v);
    if (used.empty()) return;
    if (!ask_yes_no("\n Do you want to center any level-2 predictors?")) return;
    std::printf(" (Enter 0 for no centering, 2 for grand-mean)\n");
    std::vector<int> sorted;
    for (int v = 1; v <= d.p2; ++v)
        if (contains(used, v)) sorted.push_back(v);
    for (int v : sorted) set_cell(d.model.l2Centering, v, ask_centering(l2_name(d, v), "02"));
}

// ---- Steps 11 to 14 ----------------------------------------------------------

void ask_deletion(Dialogue& d) {
    RunSettings& rs = d.rs;
    ModelSpec& m = d.model;
    if (rs.deletionGiven || rs.isVKnown || d.mdm.isVKnown || d.mdm.deleteNow) return;
    if (!ask_yes_no("Do you want to specify a set of level-1 variables as the basis for deletion?")) return;
    if ((int)m.deletionBasis.size() < d.p1 + 1) m.deletionBasis.resize(d.p1 + 1, 0);
    show_choices(d.p1, l1_table(d), m.outcome, "Which level-1 variables should be the basis for deletion?");
    for (int chosen = 0; chosen < d.p1 - 1;) {
        int v = ask_int(0, d.p1, " level-1 predictor? (Enter 0 to end) ");
        if (v == 0) break;
        if (v == m.outcome) {
            std::printf(" That is the outcome variable!\n");
            continue;
        }
        m.deletionBasis[v] = 2;
        ++chosen;
    }
}

void ask_candidates(Dialogue& d) {
    if (d.rs.candidatesGiven) return;
    ModelSpec& m = d.model;
    show_choices(d.p2, d.mdm.l2Names.data(), 0,
                 "\n\nSelect the level-2 variables that you might consider for\ninclusion as predictors in subsequent models.");
    int most = d.p2 < 12 ? d.p2 : 12;
    for (int s = 0; s < sets_asked(d); ++s) {
        if (d.rs.distribution == 3 && !d.rs.ordinal) std::printf("For category %d:\n", s + 1);
        std::vector<int> previous;
        bool havePrevious = false;
        std::vector<int> terms = terms_of(d, s);
        for (int slot : terms) {
            if (is_threshold(d, slot) || cell(m.fixedEffectOnly, m.at(s, slot)) != 0) continue;
            std::printf("Which level-2 variables to model %s%s", l1_name(d, slot).c_str(),
                        slot == terms[0] ? "?\n" : " slope?\n");
            std::vector<int> preds = predictors_of(d, s, slot);
            std::vector<int> cands;
            while ((int)cands.size() < most) {
                int v = ask_int(-1, d.p2, " Level-2 variable? (Enter 0 to end) ");
                if (v == 0) break;
                if (v == -1) {
                    if (!havePrevious) continue;
                    cands.clear();
                    for (int c : previous)
                        if (!contains(preds, c)) cands.push_back(c);
                    break;
                }
                if (contains(preds, v) || contains(cands, v)) {
                    std::printf("%s", CHOSEN_ALREADY);
                    continue;
                }
                cands.push_back(v);
            }
            for (int k = 0; k < 12; ++k) set_cell(m.l2Candidates, m.cand(s, slot, k), k < (int)cands.size() ? cands[k] : NO_ENTRY);
            previous = cands;
            havePrevious = true;
        }
    }
}

void label_fixed_effects(Dialogue& d) {
    d.fixed.clear();
    for (int s = 0; s < sets_asked(d); ++s) {
        std::vector<int> terms = terms_of(d, s);
        for (int pos = 0; pos < (int)terms.size(); ++pos) {
            std::vector<int> preds = predictors_of(d, s, terms[pos]);
            for (int k = 0; k < (int)preds.size(); ++k) {
                FixedEffect f{s, terms[pos], preds[k], {}};
                std::snprintf(f.label, sizeof f.label, "%1.1d%1.1d", pos, k);
                d.fixed.push_back(f);
            }
        }
    }
}

// ---- Steps 15 to 18 ----------------------------------------------------------

void ask_hetero(Dialogue& d) {
    RunSettings& rs = d.rs;
    ModelSpec& m = d.model;
    if (rs.heteroGiven || rs.distribution != 0) return;
    if (!ask_yes_no("\nDo you want to run this analysis with a heterogeneous sigma^2?")) return;
    rs.fullML = true;
    do {
        m.heteroVars.clear();
        std::printf("\nEnter variables for C\n");
        for (int v = 1; v <= d.p1; ++v) {
            std::string prompt = "Should " + l1_name(d, v) + " be in C? ";
            if (ask_yes_no(prompt.c_str())) m.heteroVars.push_back(v);
        }
        if (m.heteroVars.empty()) std::printf("You must choose at least one variable to go in C\n");
    } while (m.heteroVars.empty());
    rs.maxMacroIterations = ask_int(0, 100000, "\nEnter number of macro iterations");
    rs.maxIterations = ask_int(0, 100000, "Enter number of micro iterations");
    rs.iterationsGiven = 1;
}

void ask_constraints(Dialogue& d) {
    ModelSpec& m = d.model;
    if (d.rs.constrainGiven || d.rs.isVKnown || d.mdm.isVKnown) return;
    int group = 0;
    while (ask_yes_no("Do you want to constrain any (more) of the gammas?")) {
        ++group;
        if ((int)m.constraintGroup.size() != m.numFixed) m.constraintGroup.resize(m.numFixed, 0);
        for (int f = 0; f < (int)d.fixed.size() && f < m.numFixed; ++f) {
            if (m.constraintGroup[f] != 0) continue;
            char prompt[128];
            std::snprintf(prompt, sizeof prompt, " Do you want to constrain %s/%s, G%s? ",
                          l1_name(d, d.fixed[f].slot).c_str(), l2_name(d, d.fixed[f].l2slot).c_str(), d.fixed[f].label);
            if (ask_yes_no(prompt)) m.constraintGroup[f] = group;
        }
    }
}

void ask_contrasts(Dialogue& d) {
    ModelSpec& m = d.model;
    for (short& rows : m.hypothesisRows) rows = 0;
    m.contrasts.clear();
    for (int h = 0; h < 24; ++h) {
        do {
            for (int f = 0; f < m.numFixed; ++f) {
                const FixedEffect& e = d.fixed[f];
                std::printf(" Enter contrast value for %s/%s, G%s (0 to ignore)", l1_name(d, e.slot).c_str(),
                            l2_name(d, e.l2slot).c_str(), e.label);
                m.contrasts.push_back(ask_real(-1000000, 1000000, " "));
            }
            ++m.hypothesisRows[h];
        } while (ask_yes_no("Do you wish to specify another contrast as part of this hypothesis? "));
        if (h == 23) {
            std::printf(" No more than 24 hypotheses can be specified.\n");
            break;
        }
        if (!ask_yes_no(" Do you wish to specify another hypothesis?")) break;
    }
}

void ask_hypotheses(Dialogue& d) {
    RunSettings& rs = d.rs;
    if (rs.hypothesisGiven) return;
    if (!ask_yes_no("Do you wish to use any of the optional hypothesis testing procedures?")) return;
    if (!rs.gammaGiven) {
        if (ask_yes_no(" Do you wish to specify a multivariate hypothesis for the fixed effects?")) ask_contrasts(d);
    }
    if (!rs.homvarGiven && rs.distribution == 0) {
        rs.testHomogeneity = ask_yes_no(" Do you wish to test the homogeneity of the level-1 variance?");
    }
    if (!rs.devianceGiven && !rs.dfGiven) {
        std::printf(" Do you wish to test the specification for the variance-covariance components\n");
        std::printf("  against an alternative model?");
        const char* prompt = rs.fullML ? " " : " (Note: the same fixed effects must be specified\n  in both models) ";
        if (ask_yes_no(prompt)) {
            rs.altDeviance = ask_real(-10000000, 100000000, "Enter the deviance statistic value");
            rs.altDf = ask_int(1, 10000, "Enter the number of variance-covariance parameters");
        }
    }
}

// Random coefficients of the last set, the rows of tau.
std::vector<int> random_coefficients(const Dialogue& d) {
    std::vector<int> r;
    int s = sets_asked(d) - 1;
    for (int slot : terms_of(d, s))
        if (!is_threshold(d, slot) && cell(d.model.fixedEffectOnly, d.model.at(s, slot)) == 0) r.push_back(slot);
    return r;
}

void ask_lvr(Dialogue& d) {
    RunSettings& rs = d.rs;
    if (rs.lvrGiven || (rs.distribution == 3 && !rs.ordinal)) return;
    std::vector<int> randoms = random_coefficients(d);
    if (randoms.empty()) return;  // without tau there is nothing to regress
    if (!ask_yes_no("Do you want to do a latent variable regression?")) return;
    std::printf("Setting method of estimation to full.\n");
    rs.fullML = true;
    rs.lvrOn = true;
    std::printf("\nEnter o for outcome, p for predictor, or i to ignore\n");
    d.model.lvrRole.clear();
    int invalid = 0;
    for (int slot : randoms) {
        std::string prompt = "How do you want to model " + l1_name(d, slot) + "? ";
        for (;;) {
            std::printf("%s", prompt.c_str());
            std::string line;
            read_answer_line(line);
            char c = line.empty() ? '\0' : (char)std::tolower((unsigned char)line[0]);
            if (c == 'o' || c == 'p' || c == 'i') {
                d.model.lvrRole.push_back(c == 'o' ? 1 : c == 'p' ? 2 : 0);
                break;
            }
            std::printf("Invalid response");
            if (++invalid > 10) fatal_exit(15);
        }
    }
}

// ---- Steps 19 and 20 ---------------------------------------------------------

void decide_kind(Dialogue& d) {
    RunSettings& rs = d.rs;
    ExitState& st = exit_state();
    // A kind settled in an earlier pass stays.
    if (rs.analysisKind == AnalysisKind::Linear && st.kind != AnalysisKind::Linear) rs.analysisKind = st.kind;
    if (rs.maxMacroIterations == 0 || rs.analysisKind != AnalysisKind::Linear) return;
    if (rs.distribution == 0 && !d.model.heteroVars.empty()) {
        rs.analysisKind = AnalysisKind::HeteroVariance;
    } else if (rs.distribution == 1 || rs.distribution == 2) {
        rs.analysisKind = AnalysisKind::NonLinear;
        if (rs.popAvgIterations == 0) rs.popAvgIterations = 1;
    } else if (rs.distribution == 3) {
        rs.analysisKind = AnalysisKind::Multinomial;
    } else {
        return;
    }
    st.kind = rs.analysisKind;
    // The iterations inside each macro iteration stop earlier, as for a command file without STOPMICRO.
    if (!rs.stopmicroGiven) rs.microCriterion = 1e-5;
}

void check_constraints(Dialogue& d) {
    const ModelSpec& m = d.model;
    bool any = false;
    for (int g : m.constraintGroup) any = any || g != 0;
    if (!any) return;
    // Each group is estimated through its first member; the others are tied to it.
    int estimated = 0;
    for (int f = 0; f < m.numFixed; ++f) {
        int g = cell(m.constraintGroup, f);
        bool head = true;
        for (int e = 0; e < f && g != 0; ++e) head = head && cell(m.constraintGroup, e) != g;
        if (head) ++estimated;
    }
    if (estimated == 0) fatal_exit(19);
}

// ---- Steps 21 to 26 ----------------------------------------------------------

bool is_default_resfil_name(const std::string& name) {
    static const char* const NAMES[] = {"resfil1.dat", "resfil2.dat", "RESFIL1.CMD", "RESFIL2.CMD", "resfil1.sas",
                                        "resfil2.sas", "resfil1.sav", "resfil2.sav", "resfil1.dta", "resfil2.dta"};
    for (const char* n : NAMES)
        if (name == n) return true;
    return false;
}

// Adds the chosen variables to a residual-file flag table.
void choose_extra_variables(int n, const NameSlot* names, const char* prompt, std::vector<int>& flags, int base) {
    show_choices(n, names, 0, "Enter additional variables to go in residual file");
    for (int chosen = 0; chosen < n; ++chosen) {
        int v = ask_int(0, n, prompt);
        if (v == 0) break;
        set_cell(flags, base + v, 1);
    }
}

void ask_residual_files(Dialogue& d) {
    RunSettings& rs = d.rs;
    ModelSpec& m = d.model;
    // A multinomial or ordinal run makes no level-1 residual file, so it is not offered.
    if (!rs.resfil1Given && !rs.resfil2Given && rs.distribution != 3) {
        if (ask_yes_no("Do you want a level-1 residual file?")) {
            rs.wantResfil1 = true;
            choose_extra_variables(d.p1, l1_table(d), " Level-1 variable? (Enter 0 to end) ", m.l1ResidualVars, m.at(0, 0));
            choose_extra_variables(d.p2, d.mdm.l2Names.data(), " Level-2 variable? (Enter 0 to end) ",
                                   m.l1ResidualL2Vars, 0);
        }
    }
    if (!rs.resfil2Given) {
        if (ask_yes_no("Do you want a level-2 residual file?")) {
            rs.wantResfil2 = true;
            choose_extra_variables(d.p2, d.mdm.l2Names.data(), " Level-2 variable? (Enter 0 to end) ",
                                   m.l2ResidualVars, 0);
        }
    }
    if ((rs.wantResfil1 || rs.wantResfil2) && (!rs.resfil1Given || !rs.resfil2Given)) {
        std::printf("Enter type of stat package you will use:\n   for SYSTAT      enter 1\n   for SAS         enter 2\n"
                    "   for SPSS        enter 3\n   for Stata       enter 4\n   for Free Format enter 5\n");
        static const int TYPES[6] = {0, RAW_SYSTAT, RAW_SAS, RAW_SPSS, RAW_STATA, RAW_ASCII};
        rs.resfilType = TYPES[ask_int(1, 5, "Type?")];
        // Names that only came from an earlier default follow the new type.
        if (is_default_resfil_name(rs.resfil1Name)) rs.resfil1Name.clear();
        if (is_default_resfil_name(rs.resfil2Name)) rs.resfil2Name.clear();
        apply_default_resfil_names(rs);
    }
}

void ask_output(Dialogue& d) {
    RunSettings& rs = d.rs;
    if (!rs.iterationsGiven) rs.maxIterations = ask_int(0, 10000, "How many iterations do you want to do?");
    if (!rs.olsGiven) {
        rs.olsUnitsShown = 10;
        if (ask_yes_no("Do you want to see OLS estimates for all of the level-2 units?")) rs.olsUnitsShown = d.mdm.numGroups;
    }
    if (!rs.titleGiven) {
        std::printf(" Enter a problem title: ");
        std::string line;
        read_answer_line(line);
        rs.problemTitle = line.substr(0, 63);
    }
    if (!rs.outputGiven) {
        // An empty name could not be opened, nor written back as OUTPUT; it is asked again.
        std::string line;
        for (int reads = 1; line.empty(); ++reads) {
            if (reads > 10) {
                std::printf("Unable to get a proper response!\n");
                fatal_exit(0);
            }
            std::printf(" Enter name of output file: ");
            read_answer_line(line);
        }
        rs.outputFileName = line;
    }
}

}  // namespace

void specify_model_interactively(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm) {
    Dialogue d{rs, model, mdm, mdm.numL1Vars, mdm.numL2Vars, 0, {}};
    ask_nonlinear(d);
    ask_outcome(d);
    ask_level1(d);
    ask_count_variable(d);
    ask_level1_centering(d);
    ask_intercept(d);
    ask_level2(d);
    count_fixed_effects(d);
    ask_random(d);
    ask_level2_centering(d);
    if (!(rs.hypothesisGiven && rs.candidatesGiven && rs.constrainGiven && rs.lvrGiven && rs.deletionGiven)) {
        section_heading("ADDITIONAL PROGRAM FEATURES");
    }
    ask_deletion(d);
    ask_candidates(d);
    label_fixed_effects(d);
    ask_hetero(d);
    ask_constraints(d);
    ask_hypotheses(d);
    ask_lvr(d);
    decide_kind(d);
    check_constraints(d);
    if (!(rs.resfil1Given && rs.resfil2Given && rs.olsGiven && rs.iterationsGiven && rs.titleGiven && rs.outputGiven)) {
        section_heading("OUTPUT SPECIFICATION");
    }
    ask_residual_files(d);
    ask_output(d);
    // Without ACCEL the acceleration period follows the method the answers settled.
    if (!rs.accelGiven) rs.accel = rs.fullML ? 3 : 5;
}
