// Matrix files (row splitting, contents, the closing list) and the labels
// built from the model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "mdm/mdm.h"
#include "model/model.h"
#include "report/report_test_util.h"

using namespace reporttest;

TEST(MatrixFiles, RowsSplitAfterSixtyValues) {
    struct Case { int n; std::vector<int> perLine; };
    const Case cases[] = {{60, {60}}, {121, {60, 60, 1}}, {0, {0}}};
    for (const Case& c : cases) {
        std::vector<double> v(c.n, 7.0);
        std::string expected;
        for (int k : c.perLine) {
            for (int i = 0; i < k; ++i) expected += "   7 ";
            expected += "\n";
        }
        EXPECT_EQ(capture([&](FILE* f) { write_matrix_row(c.n, v.data(), "%4.0lf ", f); }), expected) << c.n;
    }
}

TEST(MatrixFiles, GammaAndTauFileContents) {
    const std::string dir = testsupport::make_temp_dir("report_files");
    const double gamma[2] = {12.636193, 2.1931963}, cov[4] = {0.0015, -0.0001, -0.0001, 0.0004};
    write_gamma_file((dir + "/gamvc.dat").c_str(), 2, gamma, cov, 2, 40.0);
    EXPECT_EQ(testsupport::read_file(dir + "/gamvc.dat"),
              "     12.6361930       2.1931963 \n  6.0000000E-02  -4.0000000E-03 \n -4.0000000E-03   1.6000000E-02 \n");

    const double tau[4] = {8.680966, 0.0467929, 0.0467929, 0.6939886}, tauCov[4] = {1, 0, 0, 2}, sigma2 = 36.7002003;
    write_tau_file((dir + "/tauvc.dat").c_str(), 2, tau, 2, 2, tauCov, &sigma2);
    EXPECT_EQ(testsupport::read_file(dir + "/tauvc.dat"),
              "      8.6809660       0.0467929 \n      0.0467929       0.6939886 \n"
              "      1.0000000       0.0000000 \n      0.0000000       2.0000000 \n     36.7002003\n");

    // With 61 gammas every covariance row takes two lines: 60 values, then 1.
    std::vector<double> g61(61, 1.0), c61(61 * 61, 0.5);
    write_gamma_file((dir + "/gamvcr.dat").c_str(), 61, g61.data(), c61.data(), 61, 2.0);
    std::string text = testsupport::read_file(dir + "/gamvcr.dat");
    EXPECT_EQ(count_of(text, "\n"), 2 + 2 * 61);
    EXPECT_EQ(text.substr(text.size() - 18), "\n  1.0000000E+00 \n");
}

// open_or_die reports the system's reason on the error stream and ends with status 0.
TEST(MatrixFilesDeathTest, UnopenableFileEndsTheRun) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    const double one[1] = {1.0};
    EXPECT_EXIT(write_gamma_file("/nonexistent-dir/gamvc.dat", 1, one, one, 1, 1.0), testing::ExitedWithCode(0),
                "No such file or directory");
}

TEST(MatrixFiles, ClosingList) {
    const MatrixFileListing cases[] = {
        {false, true, true, false, false, 60}, {false, false, false, false, false, 61}, {true, true, true, true, true, 3}};
    std::string all;
    for (const MatrixFileListing& m : cases) all += "====\n" + capture([&](FILE* f) { print_matrix_file_listing(f, m); });
    expect_golden("report_matrix_file_listing.txt", all);
}

namespace {

// Level-1 SES, FEMALE, MATHACH; level-2 SECTOR, MEANSES. MATHACH = INTRCPT1
// (INTRCPT2 + SECTOR + MEANSES, random) + SES (INTRCPT2, fixed) + FEMALE (SECTOR, random).
struct Sample {
    MdmHeader mdm;
    ModelSpec model;
    RunSettings rs;
    Sample(int sets = 1, int thresholds = 0) {
        mdm.numL1Vars = 3;
        mdm.numL2Vars = 2;
        for (const char* n : {"INTRCPT1", "SES", "FEMALE", "MATHACH"}) mdm.l1Names.push_back(make_variable_name(n));
        for (const char* n : {"INTRCPT2", "SECTOR", "MEANSES"}) mdm.l2Names.push_back(make_variable_name(n));
        size_model_tables(mdm, model);
        model.numSets = sets;
        model.numL1Slots += thresholds;
        if (thresholds) model.l1Names.push_back(make_variable_name("THOLD2"));
        const std::size_t bySlot = (std::size_t)sets * model.numL1Slots;
        model.l1Role.assign(bySlot, 0);
        model.fixedEffectOnly.assign(bySlot, 0);
        model.l2Predictors.assign(bySlot * model.numL2Slots, NO_ENTRY);
        for (int s = 0; s < sets; ++s) {
            model.l1Role[model.at(s, 3)] = -1;
            equation(s, 0, {0, 1, 2}, true);
            equation(s, 1, {0}, false);
            equation(s, 2, {1}, true);
            if (thresholds) equation(s, 4, {0}, false);
        }
    }
    void equation(int set, int slot, std::vector<int> preds, bool random) {
        model.l1Role[model.at(set, slot)] = 1;
        model.fixedEffectOnly[model.at(set, slot)] = random ? 0 : 1;
        for (std::size_t k = 0; k < preds.size(); ++k) model.l2Predictors[model.pred(set, slot, (int)k)] = preds[k];
    }
    ReportLabels labels(const std::vector<std::string>& cats = {}) { return make_report_labels(model, rs, mdm, cats); }
};

using Strings = std::vector<std::string>;

}  // namespace

TEST(ReportLabels, CellsNumbersAndRandomCoefficients) {
    Sample s;
    s.model.constraintGroup = {0, 3, 0, 3, 4};  // group 4 has one member: not constrained
    ReportLabels L = s.labels();
    EXPECT_EQ(L.gammaLabels, (Strings{"INTRCPT2, G00   ", "  SECTOR, G01   ", " MEANSES, G02   ", "INTRCPT2, G10   ", "  SECTOR, G21   "}));
    EXPECT_EQ(L.gammaHeadings, (Strings{"      INTRCPT1, B0", "", "", "     SES slope, B1", "  FEMALE slope, B2"}));
    EXPECT_EQ(L.gammaGroupLabels, (Strings{"INTRCPT1    ", "", "", "     SES    ", "  FEMALE    "}));
    EXPECT_EQ(L.gammaConstrained, (std::vector<int>{0, 1, 0, 1, 0}));
    EXPECT_EQ(L.coefficientGammaCounts, (std::vector<int>{3, 1, 1}));
    EXPECT_EQ(L.randomNames, (Strings{"INTRCPT1", "  FEMALE"}));
    EXPECT_EQ(L.randomIndex, (Strings{"0", "2"}));
    EXPECT_EQ(L.randomIsIntercept, (std::vector<int>{1, 0}));
    EXPECT_EQ(L.randomGammaCounts, (std::vector<int>{3, 1}));

    // Tables shorter than their counts give no labels instead of reading past them.
    s.model.l2Predictors.resize(3);
    EXPECT_EQ(s.labels().numGammas, 0);
}

TEST(ReportLabels, LettersAndNumberingVariants) {
    struct Case { bool withinPersons, noIntercept, vKnown; std::string heading, label, slope; Strings index; char u; };
    const Case cases[] = {
        {true, false, false, "      INTRCPT1, P0", "INTRCPT2, B00   ", "     SES slope, P1", {"0", "2"}, 'R'},
        {false, true, false, "     SES slope, B1", "INTRCPT2, G10   ", "  FEMALE slope, B2", {"2"}, 'U'},
        {false, false, true, "      INTRCPT1, B1", "INTRCPT2, G10   ", "           SES, B2", {"1", "3"}, 'U'},
    };
    for (const Case& c : cases) {
        Sample s;
        s.model.noIntercept = c.noIntercept;
        if (c.noIntercept) s.model.l1Role[0] = 0;
        s.rs.withinPersons = c.withinPersons;
        s.rs.isVKnown = c.vKnown;
        ReportLabels L = s.labels();
        ASSERT_GE(L.numGammas, 2);
        EXPECT_EQ(L.gammaHeadings[0], c.heading);
        EXPECT_EQ(L.gammaLabels[0], c.label);
        EXPECT_EQ(L.gammaHeadings[c.noIntercept ? 1 : 3], c.slope);
        EXPECT_EQ(L.randomIndex, c.index);
        EXPECT_EQ(L.randomLetter, c.u);
    }
}

TEST(ReportLabels, MultinomialAndOrdinalCategories) {
    Sample multi(2);
    multi.rs.distribution = 3;
    ReportLabels L = multi.labels({"1", "2", "3"});
    ASSERT_EQ(L.numGammas, 10);
    EXPECT_EQ(L.gammaLabels[5], "INTRCPT2, G00(2)");
    EXPECT_EQ(L.gammaHeadings[5], "      INTRCPT1, B0(2)");
    EXPECT_EQ(L.gammaCategories[4] + L.gammaCategories[5], "12");
    EXPECT_EQ(L.randomCategories, (Strings{"1", "1", "2", "2"}));

    Sample ord(1, 1);
    ord.rs.distribution = 3;
    ord.rs.ordinal = true;
    L = ord.labels({"1", "2", "3"});
    ASSERT_EQ(L.numGammas, 6);
    EXPECT_EQ(L.gammaHeadings[5], "        THOLD2,     ");
    EXPECT_EQ(L.gammaLabels[5], "     d(2)       ");
    EXPECT_EQ(L.numRandom, 2);
}
