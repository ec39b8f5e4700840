// Labels built from the model: coefficient and predictor cells, numbering,
// letters, random coefficients, constraints and categories.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "model/model.h"
#include "report/report.h"

namespace {

// Level-1: SES, FEMALE, MATHACH; level-2: SECTOR, MEANSES.
MdmHeader sample_mdm() {
    MdmHeader h;
    h.numL1Vars = 3;
    h.numL2Vars = 2;
    for (const char* n : {"INTRCPT1", "SES", "FEMALE", "MATHACH"}) h.l1Names.push_back(make_variable_name(n));
    for (const char* n : {"INTRCPT2", "SECTOR", "MEANSES"}) h.l2Names.push_back(make_variable_name(n));
    return h;
}

void set_equation(ModelSpec& m, int set, int slot, std::vector<int> preds, bool random) {
    m.l1Role[m.at(set, slot)] = 1;
    m.fixedEffectOnly[m.at(set, slot)] = random ? 0 : 1;
    for (std::size_t k = 0; k < preds.size(); ++k) m.l2Predictors[m.pred(set, slot, (int)k)] = preds[k];
}

// MATHACH = INTRCPT1 (INTRCPT2 + SECTOR + MEANSES, random) + SES (INTRCPT2, fixed)
//         + FEMALE (SECTOR only, random).
ModelSpec sample_model(const MdmHeader& mdm, int sets = 1) {
    ModelSpec m;
    size_model_tables(mdm, m);
    if (sets > 1) {
        // Repeat the tables for each equation set, as a multinomial model has them.
        m.numSets = sets;
        std::size_t bySlot = (std::size_t)sets * m.numL1Slots;
        m.l1Role.assign(bySlot, 0);
        m.fixedEffectOnly.assign(bySlot, 0);
        m.l2Predictors.assign(bySlot * m.numL2Slots, NO_ENTRY);
    }
    m.outcome = 3;
    for (int s = 0; s < sets; ++s) {
        m.l1Role[m.at(s, 3)] = -1;
        set_equation(m, s, 0, {0, 1, 2}, true);
        set_equation(m, s, 1, {0}, false);
        set_equation(m, s, 2, {1}, true);
    }
    m.numFixed = 5 * sets;
    return m;
}

}  // namespace

TEST(ReportLabels, CellsNumbersAndRandomCoefficients) {
    MdmHeader mdm = sample_mdm();
    ModelSpec model = sample_model(mdm);
    RunSettings rs;
    ReportLabels L = make_report_labels(model, rs, mdm);

    ASSERT_EQ(L.numGammas, 5);
    EXPECT_EQ(L.gammaLabels, (std::vector<std::string>{"INTRCPT2, G00   ", "  SECTOR, G01   ", " MEANSES, G02   ",
                                                        "INTRCPT2, G10   ", "  SECTOR, G21   "}));
    EXPECT_EQ(L.gammaHeadings,
              (std::vector<std::string>{"      INTRCPT1, B0", "", "", "     SES slope, B1", "  FEMALE slope, B2"}));
    EXPECT_EQ(L.gammaGroupLabels[0], "INTRCPT1    ");
    EXPECT_EQ(L.gammaGroupLabels[1], "");
    EXPECT_EQ(L.gammaCoefficient, (std::vector<int>{0, 0, 0, 1, 2}));
    EXPECT_EQ(L.coefficientGammaCounts, (std::vector<int>{3, 1, 1}));

    ASSERT_EQ(L.numRandom, 2);
    EXPECT_EQ(L.randomNames, (std::vector<std::string>{"INTRCPT1", "  FEMALE"}));
    EXPECT_EQ(L.randomIndex, (std::vector<std::string>{"0", "2"}));
    EXPECT_EQ(L.randomIsIntercept, (std::vector<int>{1, 0}));
    EXPECT_EQ(L.randomGammaCounts, (std::vector<int>{3, 1}));
    EXPECT_EQ(L.coefLetter, 'B');
    EXPECT_EQ(L.randomLetter, 'U');
    EXPECT_EQ(L.residualLetter, 'R');
    EXPECT_EQ(L.gammaConstrained, (std::vector<int>{0, 0, 0, 0, 0}));
}

struct VariantCase {
    const char* name;
    bool withinPersons, noIntercept, vKnown;
    std::string firstHeading, firstLabel;
    std::vector<std::string> randomIndex;
    char randomLetter;
};

TEST(ReportLabels, LettersAndNumberingVariants) {
    const VariantCase cases[] = {
        {"within_persons", true, false, false, "      INTRCPT1, P0", "INTRCPT2, B00   ", {"0", "2"}, 'R'},
        {"no_intercept", false, true, false, "     SES slope, B1", "INTRCPT2, G10   ", {"2"}, 'U'},
        {"vknown", false, false, true, "      INTRCPT1, B1", "INTRCPT2, G10   ", {"1", "3"}, 'U'},
    };
    for (const VariantCase& c : cases) {
        SCOPED_TRACE(c.name);
        MdmHeader mdm = sample_mdm();
        ModelSpec model = sample_model(mdm);
        model.noIntercept = c.noIntercept;
        if (c.noIntercept) model.l1Role[model.at(0, 0)] = 0;
        RunSettings rs;
        rs.withinPersons = c.withinPersons;
        rs.isVKnown = c.vKnown;
        ReportLabels L = make_report_labels(model, rs, mdm);
        ASSERT_FALSE(L.gammaHeadings.empty());
        EXPECT_EQ(L.gammaHeadings[0], c.firstHeading);
        EXPECT_EQ(L.gammaLabels[0], c.firstLabel);
        EXPECT_EQ(L.randomIndex, c.randomIndex);
        EXPECT_EQ(L.randomLetter, c.randomLetter);
    }
    // V-known effects all use the intercept form of the cell.
    MdmHeader mdm = sample_mdm();
    ModelSpec model = sample_model(mdm);
    RunSettings rs;
    rs.isVKnown = true;
    ReportLabels L = make_report_labels(model, rs, mdm);
    EXPECT_EQ(L.gammaHeadings[3], "           SES, B2");
}

struct ConstraintCase {
    std::vector<int> groups;
    std::vector<int> constrained;
};

TEST(ReportLabels, ConstrainedGammasShareAGroup) {
    const ConstraintCase cases[] = {
        {{0, 1, 0, 1, 0}, {0, 1, 0, 1, 0}},
        {{0, 2, 0, 0, 0}, {0, 0, 0, 0, 0}},  // alone in its group
        {{3, 3, 3, 0, 4}, {1, 1, 1, 0, 0}},
        {{}, {0, 0, 0, 0, 0}},
    };
    for (const ConstraintCase& c : cases) {
        MdmHeader mdm = sample_mdm();
        ModelSpec model = sample_model(mdm);
        model.constraintGroup = c.groups;
        ReportLabels L = make_report_labels(model, RunSettings{}, mdm);
        EXPECT_EQ(L.gammaConstrained, c.constrained);
    }
}

TEST(ReportLabels, MultinomialSetsCarryTheirCategory) {
    MdmHeader mdm = sample_mdm();
    ModelSpec model = sample_model(mdm, 2);
    RunSettings rs;
    rs.distribution = 3;
    rs.numCategories = 3;
    ReportLabels L = make_report_labels(model, rs, mdm, {"1", "2", "3"});
    ASSERT_EQ(L.numGammas, 10);
    EXPECT_TRUE(L.multinomial);
    EXPECT_EQ(L.gammaLabels[0], "INTRCPT2, G00(1)");
    EXPECT_EQ(L.gammaLabels[5], "INTRCPT2, G00(2)");
    EXPECT_EQ(L.gammaHeadings[5], "      INTRCPT1, B0(2)");
    EXPECT_EQ(L.gammaCategories[4], "1");
    EXPECT_EQ(L.gammaCategories[5], "2");
    EXPECT_EQ(L.randomCategories, (std::vector<std::string>{"1", "1", "2", "2"}));
    EXPECT_EQ(L.numCoefficients, 6);
}

TEST(ReportLabels, OrdinalThresholds) {
    MdmHeader mdm = sample_mdm();
    ModelSpec model = sample_model(mdm);
    // One threshold (three categories) after the MDM file's variables.
    model.l1Names.push_back(make_variable_name("THOLD2"));
    const int slots = model.numL1Slots + 1;
    ModelSpec wide = model;
    wide.numL1Slots = slots;
    wide.l1Role.assign(slots, 0);
    wide.fixedEffectOnly.assign(slots, 0);
    wide.l2Predictors.assign((std::size_t)slots * wide.numL2Slots, NO_ENTRY);
    wide.l1Role[3] = -1;
    set_equation(wide, 0, 0, {0, 1, 2}, true);
    set_equation(wide, 0, 1, {0}, false);
    set_equation(wide, 0, 2, {1}, true);
    set_equation(wide, 0, 4, {0}, false);
    RunSettings rs;
    rs.distribution = 3;
    rs.ordinal = true;
    ReportLabels L = make_report_labels(wide, rs, mdm, {"1", "2", "3"});
    ASSERT_EQ(L.numGammas, 6);
    EXPECT_TRUE(L.ordinal);
    EXPECT_EQ(L.gammaHeadings[5], "        THOLD2,     ");
    EXPECT_EQ(L.gammaLabels[5], "     d(2)       ");
    EXPECT_EQ(L.gammaLabels[0], "INTRCPT2, G00   ");
    EXPECT_EQ(L.numRandom, 2);
    EXPECT_EQ(L.randomCategories[0], "1");
}

TEST(ReportLabels, PlausibleValueNamesAndInconsistentTables) {
    MdmHeader mdm = sample_mdm();
    ModelSpec model = sample_model(mdm);
    model.plausibleValues = {1, 2};
    ReportLabels L = make_report_labels(model, RunSettings{}, mdm);
    EXPECT_TRUE(L.plausibleValues);
    EXPECT_EQ(L.outcomeNames, (std::vector<std::string>{"     SES", "  FEMALE"}));

    // Tables shorter than their counts give no labels instead of reading past them.
    model.l2Predictors.resize(3);
    L = make_report_labels(model, RunSettings{}, mdm);
    EXPECT_EQ(L.numGammas, 0);
    EXPECT_EQ(L.numRandom, 0);
}
