// Matrix files (row splitting, contents, the closing list) and the labels
// built from the model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "report/report_test_util.h"

using namespace reporttest;

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

// Every field of a label set, one a line.
std::string describe(const ReportLabels& L) {
    std::ostringstream o;
    auto vec = [&](const char* name, const auto& v) {
        o << name;
        for (const auto& x : v) o << " [" << x << ']';
        o << '\n';
    };
    o << "letters " << L.coefLetter << L.fixedLetter << L.randomLetter << L.residualLetter << " gammas " << L.numGammas
      << " coefficients " << L.numCoefficients << " random " << L.numRandom << '\n';
    vec("gammaLabels", L.gammaLabels), vec("gammaHeadings", L.gammaHeadings), vec("gammaGroupLabels", L.gammaGroupLabels);
    vec("gammaCategories", L.gammaCategories), vec("gammaConstrained", L.gammaConstrained);
    vec("gammaCoefficient", L.gammaCoefficient), vec("coefficientGammaCounts", L.coefficientGammaCounts);
    vec("randomNames", L.randomNames), vec("randomIndex", L.randomIndex), vec("randomIsIntercept", L.randomIsIntercept);
    vec("randomCategories", L.randomCategories), vec("randomGammaCounts", L.randomGammaCounts);
    return o.str();
}

}  // namespace

// Cells, numbers and random coefficients (a constraint group of one member is no
// constraint); short tables give no labels; the letters of measures within persons,
// no intercept and V-known numbering; multinomial and ordinal categories. One golden copy.
TEST(ReportLabels, MatchTheGoldenCopy) {
    std::string all;
    Sample s;
    s.model.constraintGroup = {0, 3, 0, 3, 4};
    all += "==== sample\n" + describe(s.labels());
    s.model.l2Predictors.resize(3);
    all += "==== short tables\n" + describe(s.labels());
    for (int variant = 0; variant < 3; ++variant) {
        Sample v;
        v.rs.withinPersons = variant == 0;
        v.model.noIntercept = variant == 1;
        if (variant == 1) v.model.l1Role[0] = 0;
        v.rs.isVKnown = variant == 2;
        all += "==== variant " + std::to_string(variant) + "\n" + describe(v.labels());
    }
    Sample multi(2);
    multi.rs.distribution = 3;
    all += "==== multinomial\n" + describe(multi.labels({"1", "2", "3"}));
    Sample ord(1, 1);
    ord.rs.distribution = 3;
    ord.rs.ordinal = true;
    all += "==== ordinal\n" + describe(ord.labels({"1", "2", "3"}));
    expect_golden("report_labels.txt", all);
}
