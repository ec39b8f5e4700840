// The command-file writer: every written file reads back to the same settings,
// lines come in their fixed order, and the two forms differ where they should.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "model/test_models.h"
#include "support/test_support.h"

using namespace testmodels;

namespace {

struct Built {
    RunSettings rs;
    ModelSpec m;
    MdmHeader h = hsb_header();
};

Built read_back(const std::string& path, const MdmHeader& h) {
    Built b;
    b.h = h;
    b.rs.commandFileName = path;
    b.rs.dataSourceName = "hsb.mdm";
    size_model_tables(b.h, b.m);
    read_command_file(b.rs, b.m, b.h);
    return b;
}

std::string write_text(const Built& b, CommandFileForm form, const std::string& dir, const char* name) {
    std::string path = dir + "/" + name;
    write_command_file(path.c_str(), form, b.rs, b.m, b.h);
    return testsupport::read_file(path);
}

// Empty and all-zero constraint lists both mean "no constraints".
std::vector<int> groups(const ModelSpec& m) {
    for (int g : m.constraintGroup)
        if (g != 0) return m.constraintGroup;
    return {};
}

// Everything the writer is meant to carry over.
void expect_same(const Built& a, const Built& b) {
#define SAME(field) EXPECT_EQ(a.field, b.field) << #field
    SAME(rs.maxIterations); SAME(rs.atIterationLimit); SAME(rs.microCriterion); SAME(rs.macroCriterion);
    SAME(rs.maxMacroIterations); SAME(rs.distribution); SAME(rs.ordinal); SAME(rs.numCategories);
    SAME(rs.laplace6); SAME(rs.laplace6Iterations); SAME(rs.emLaplaceType != 0); SAME(rs.laplaceIterations);
    SAME(rs.taylorOrder); SAME(rs.taylorSecond); SAME(rs.fullML); SAME(rs.testHomogeneity); SAME(rs.fixedSigma2);
    SAME(rs.altDeviance); SAME(rs.altDf); SAME(rs.problemTitle); SAME(rs.outputFileName); SAME(rs.level1Weight);
    SAME(rs.level2Weight); SAME(rs.precisionVar); SAME(rs.fixTau); SAME(rs.resfilType); SAME(rs.wantResfil1);
    SAME(rs.wantResfil2); SAME(rs.debugLevel); SAME(rs.lvrOn); SAME(rs.accel); SAME(rs.olsUnitsShown);
    SAME(rs.printVarCov); SAME(rs.fullOutput); SAME(rs.graphGammas);
    if (a.rs.wantResfil1) {
        SAME(rs.resfil1Name);
    }
    if (a.rs.wantResfil2) {
        SAME(rs.resfil2Name);
    }
    SAME(m.numSets); SAME(m.numL1Slots); SAME(m.outcome); SAME(m.noIntercept); SAME(m.l1Role); SAME(m.numTerms);
    SAME(m.l1Centering); SAME(m.fixedEffectOnly); SAME(m.l2Predictors); SAME(m.l2Candidates); SAME(m.l2Centering);
    SAME(m.numFixed); SAME(m.contrasts); SAME(m.deletionBasis); SAME(m.trialsVar); SAME(m.heteroVars);
    SAME(m.plausibleValues); SAME(m.lvrRole); SAME(m.l1ResidualL2Vars); SAME(m.l2ResidualVars);
    for (int k = 0; k < 24; ++k) EXPECT_EQ(a.m.hypothesisRows[k], b.m.hypothesisRows[k]) << "hypothesis " << k + 1;
    EXPECT_EQ(groups(a.m), groups(b.m)) << "constraintGroup";
    for (int slot = 0; slot < a.m.numL1Slots; ++slot)
        EXPECT_EQ(a.m.l1ResidualVars[a.m.at(0, slot)], b.m.l1ResidualVars[b.m.at(0, slot)]) << "l1ResidualVars " << slot;
#undef SAME
}

// ---- The shipped HSB command files --------------------------------------------

class ShippedFiles : public testing::TestWithParam<const char*> {};

TEST_P(ShippedFiles, ReadWriteReadGivesTheSameSettings) {
    std::string dir = testsupport::make_temp_dir("writer");
    testsupport::copy_data(std::string("hsb/") + GetParam(), dir);
    MdmHeader h = hsb_header();
    Built first = read_back(dir + "/" + GetParam(), h);
    std::string written = write_text(first, CommandFileForm::PostRun, dir, "newcmd.arb");
    Built second = read_back(dir + "/newcmd.arb", h);
    expect_same(first, second);
    // Writing is a fixed point: the re-read settings write the same file.
    EXPECT_EQ(written, write_text(second, CommandFileForm::PostRun, dir, "again.arb"));
}

INSTANTIATE_TEST_SUITE_P(Hsb, ShippedFiles,
                         testing::Values("hsb_full_ml.cmd", "hsb_full_reml.cmd", "hsb_full_tests.cmd", "hsb_null_ml.cmd",
                                         "hsb_null_reml.cmd", "hsb_rc_ml.cmd", "hsb_rc_reml.cmd"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string n = info.param;
                             return n.substr(0, n.find('.'));
                         });

TEST(WriterOrder, WritesEveryLineInItsPlace) {
    std::string dir = testsupport::make_temp_dir("writer");
    testsupport::copy_data("hsb/hsb_full_tests.cmd", dir);
    Built b = read_back(dir + "/hsb_full_tests.cmd", hsb_header());
    EXPECT_EQ(write_text(b, CommandFileForm::PostRun, dir, "newcmd.arb"),
              "#This command file was run with hsb.mdm\n"
              "NUMIT:5000,N\n"
              "STOPVAL:0.0000000001\n"
              "NONLIN:n\n"
              "LEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\n"
              "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+MEANSES,2+RANDOM/\n"
              "LEVEL2:SES=INTRCPT2+SECTOR+MEANSES,2+RANDOM/\n"
              "LEVEL1WEIGHT:NONE\n"
              "LEVEL2WEIGHT:NONE\n"
              "VARIANCEKNOWN:NONE\n"
              "RESFILTYPE:FREEFORMAT\n"
              "RESFIL1:Y/MINORITY,SES/SIZE,SECTOR,MEANSES\n"
              "RESFIL1NAME:resfil1.dat\n"
              "RESFIL2:Y/SIZE,SECTOR,MEANSES\n"
              "RESFIL2NAME:resfil2.dat\n"
              "GAMMA1:0.0000,1.0000,0.0000,0.0000,0.0000,0.0000\n"
              "GAMMA1:0.0000,0.0000,0.0000,0.0000,1.0000,0.0000\n"
              "HETEROL1VAR:n\n"
              "PRINTVARIANCE-COVARIANCE:Y\n"
              "ACCEL:5\n"
              "LVR:N\n"
              "LEV1OLS:10\n"
              "MLF:n\n"
              "HYPOTH:n\n"
              "HOMVAR:y\n"
              "FIXTAU:3\n"
              "CONSTRAIN:N\n"
              "OUTPUT:hsb_full_tests.out\n"
              "FULLOUTPUT:Y\n"
              "TITLE:HSB intercepts- and slopes-as-outcomes model (tests)\n");
}

// ---- Generated models -----------------------------------------------------------

Built hsb_full(const char* title) {
    Built b;
    b.rs = linear_settings(title, "gen.out");
    hsb_full_model(b.h, b.m);
    return b;
}

Built nonlinear_base(int distribution) {
    Built b;
    b.rs = linear_settings("non-linear", "nl.out");
    b.rs.distribution = distribution;
    b.rs.maxMacroIterations = 40;
    b.rs.maxIterations = 25;
    b.rs.microCriterion = 1e-5;
    b.rs.atIterationLimit = 1;
    ModelSpec& m = b.m;
    size_model_tables(b.h, m);
    set_outcome(m, l1(m, "MINORITY"));
    add_term(m, 0, 0);
    add_term(m, 0, l1(m, "SES"), 2);
    set_level2(m, 0, 0, {0, l2(b.h, "SECTOR")}, true, {l2(b.h, "SIZE"), l2(b.h, "PRACAD")});
    set_level2(m, 0, l1(m, "SES"), {0}, false);
    finish(m);
    return b;
}

Built multinomial3() {
    Built b = nonlinear_base(3);
    b.rs.numCategories = 3;
    ModelSpec& m = b.m;
    remake_model_tables(b.h, m, 2, 0);
    set_outcome(m, l1(m, "MATHACH"));
    for (int s = 0; s < 2; ++s) {
        add_term(m, s, 0);
        add_term(m, s, l1(m, "SES"), 1);
        set_level2(m, s, 0, {0, l2(b.h, "SECTOR")}, true, {l2(b.h, "MEANSES")});
        set_level2(m, s, l1(m, "SES"), {0, l2(b.h, "MEANSES")}, s == 0);
    }
    m.l2Centering[l2(b.h, "MEANSES")] = 2;
    finish(m);
    return b;
}

Built ordinal4() {
    Built b = nonlinear_base(3);
    b.rs.ordinal = true;
    b.rs.numCategories = 4;
    ModelSpec& m = b.m;
    remake_model_tables(b.h, m, 1, 2);
    set_outcome(m, l1(m, "MATHACH"));
    add_term(m, 0, 0);
    add_term(m, 0, l1(m, "SES"));
    add_term(m, 0, l1(m, "THOLD2"));
    add_term(m, 0, l1(m, "THOLD3"));
    set_level2(m, 0, 0, {0, l2(b.h, "MEANSES")}, true);
    set_level2(m, 0, l1(m, "SES"), {0}, false);
    set_level2(m, 0, l1(m, "THOLD2"), {0}, false);
    set_level2(m, 0, l1(m, "THOLD3"), {0}, false);
    finish(m);
    return b;
}

Built constraints_and_hypotheses() {
    Built b = hsb_full("constraints and hypotheses");
    b.m.constraintGroup = {0, 1, 0, 0, 1, 0};
    b.m.hypothesisRows[0] = 2;
    b.m.hypothesisRows[1] = 1;
    b.m.contrasts = {0, 1, 0, 0, -1, 0, /**/ 0, 0, 1, 0, 0, 0, /**/ 0.5, 0, 0, -0.25, 0, 1};
    return b;
}

Built residual_files(int type) {
    Built b = hsb_full("residual files");
    b.rs.resfilType = type;
    b.rs.wantResfil1 = b.rs.wantResfil2 = true;
    b.m.l1ResidualVars[b.m.at(0, l1(b.m, "FEMALE"))] = 1;
    b.m.l1ResidualL2Vars[l2(b.h, "SIZE")] = 1;
    b.m.l2ResidualVars[l2(b.h, "HIMINTY")] = 1;
    apply_default_resfil_names(b.rs);
    return b;
}

Built bernoulli_laplace6() {
    Built b = nonlinear_base(1);
    b.rs.laplace6 = true;
    b.rs.laplace6Iterations = 20;
    b.rs.fixedSigma2 = 1.0;
    b.rs.fullML = true;
    b.rs.accel = 3;
    return b;
}

Built binomial_taylor() {
    Built b = nonlinear_base(1);
    b.m.trialsVar = l1(b.m, "FEMALE");
    b.rs.taylorOrder = 4;
    b.rs.taylorSecond = 8;
    return b;
}

Built heterogeneous() {
    Built b = hsb_full("heterogeneous");
    b.m.heteroVars = {l1(b.m, "MINORITY"), l1(b.m, "FEMALE")};
    b.rs.maxMacroIterations = 20;
    b.rs.microCriterion = 1e-5;
    b.rs.fullML = true;
    b.rs.accel = 3;
    return b;
}

Built options_and_lvr() {
    Built b = hsb_full("options");
    b.h.deleteNow = 0;
    b.h.hasMissing = 1;
    b.m.deletionBasis[l1(b.m, "MINORITY")] = 2;
    b.m.deletionBasis[l1(b.m, "FEMALE")] = 2;
    b.rs.level1Weight = l1(b.m, "FEMALE");
    b.rs.level2Weight = l2(b.h, "SIZE");
    b.rs.lvrOn = true;
    b.m.lvrRole = {1, 2};
    b.rs.fullML = true;
    b.rs.accel = 7;
    b.rs.altDeviance = 46712.5;
    b.rs.altDf = 4;
    b.rs.testHomogeneity = true;
    b.rs.printVarCov = 2;
    b.rs.fullOutput = false;
    b.rs.graphGammas = "graph.gg";
    b.rs.fixTau = 5;
    b.rs.debugLevel = 2;
    b.rs.olsUnitsShown = 160;
    b.rs.atIterationLimit = 2;
    return b;
}

struct Generated {
    const char* name;
    std::function<Built()> build;
    CommandFileForm form;
};

class GeneratedModels : public testing::TestWithParam<Generated> {};

TEST_P(GeneratedModels, ReadBackToTheSameSettings) {
    std::string dir = testsupport::make_temp_dir("writer");
    Built made = GetParam().build();
    std::string written = write_text(made, GetParam().form, dir, "newcmd.arb");
    Built back = read_back(dir + "/newcmd.arb", made.h);
    expect_same(made, back);
    EXPECT_EQ(written, write_text(back, GetParam().form, dir, "again.arb"));
}

const Generated GENERATED[] = {
    {"multinomial3", multinomial3, CommandFileForm::PreRun},
    {"ordinal4", ordinal4, CommandFileForm::PreRun},
    {"constraints_and_hypotheses", constraints_and_hypotheses, CommandFileForm::PostRun},
    {"resfil_freeformat", [] { return residual_files(RAW_ASCII); }, CommandFileForm::PostRun},
    {"resfil_systat", [] { return residual_files(RAW_SYSTAT); }, CommandFileForm::PostRun},
    {"resfil_sas", [] { return residual_files(RAW_SAS); }, CommandFileForm::PostRun},
    {"resfil_spss", [] { return residual_files(RAW_SPSS); }, CommandFileForm::PostRun},
    {"resfil_stata", [] { return residual_files(RAW_STATA); }, CommandFileForm::PostRun},
    {"bernoulli_laplace6", bernoulli_laplace6, CommandFileForm::PreRun},
    {"binomial_taylor", binomial_taylor, CommandFileForm::PreRun},
    {"heterogeneous", heterogeneous, CommandFileForm::PreRun},
    {"options_and_lvr", options_and_lvr, CommandFileForm::PostRun},};

INSTANTIATE_TEST_SUITE_P(Models, GeneratedModels, testing::ValuesIn(GENERATED),
                         [](const testing::TestParamInfo<Generated>& info) { return std::string(info.param.name); });

// ---- Lines that depend on the model or the form ---------------------------------

struct LineCase {
    const char* name;
    std::function<Built()> build;
    CommandFileForm form;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};

class WriterLines : public testing::TestWithParam<LineCase> {};

TEST_P(WriterLines, AppearWhereExpected) {
    std::string dir = testsupport::make_temp_dir("writer");
    std::string text = write_text(GetParam().build(), GetParam().form, dir, "newcmd.arb");
    for (const std::string& s : GetParam().present) EXPECT_NE(text.find(s), std::string::npos) << "missing: " << s << "\n" << text;
    for (const std::string& s : GetParam().absent) EXPECT_EQ(text.find(s), std::string::npos) << "unexpected: " << s << "\n" << text;
}

const LineCase LINES[] = {
    {"multinomial_two_equation_sets", multinomial3, CommandFileForm::PreRun,
     {"NONLIN:MULTINOMIAL,3\n",
      "LEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\nLEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/MEANSES\n"
      "LEVEL2:SES=INTRCPT2+MEANSES,2+RANDOM/\nLEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\n"
      "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/MEANSES\nLEVEL2:SES=INTRCPT2+MEANSES,2/\n",
      "STOPMICRO:0.0000100000\nSTOPMACRO:0.0001000000\nMACROIT:40,Y\nMICROIT:25\n"},
     {"NUMIT", "STOPVAL"}},
    {"binomial_prerun_names_the_count", binomial_taylor, CommandFileForm::PreRun,
     {"NONLIN:BINOMIAL,FEMALE\n", "TAYLOR:4,8\n", "LEVEL1:MINORITY=INTRCPT1+SES,2+RANDOM\n"},
     {"LAPLACE"}},
    {"binomial_postrun_drops_count_and_centering", binomial_taylor, CommandFileForm::PostRun,
     {"NONLIN:BINOMIAL\n", "LEVEL1:MINORITY=INTRCPT1+SES+RANDOM\n"},
     {"FEMALE"}},
    {"heterogeneous_prerun", heterogeneous, CommandFileForm::PreRun,
     {"MACROIT:20,N\nMICROIT:100\nNONLIN:n\n", "HETEROL1VAR:MINORITY,FEMALE\n"},
     {"HETEROL1VAR:n", "NUMIT"}},
    {"heterogeneous_postrun_has_no_variance_line", heterogeneous, CommandFileForm::PostRun,
     {"MACROIT:20,N\n"},
     {"HETEROL1VAR"}},};

INSTANTIATE_TEST_SUITE_P(Cases, WriterLines, testing::ValuesIn(LINES),
                         [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(WriterFailure, AFileThatCannotBeCreatedIsSkipped) {
    Built b = hsb_full("nowhere");
    std::string dir = testsupport::make_temp_dir("writer");
    std::string path = dir + "/missing/newcmd.arb";
    write_command_file(path.c_str(), CommandFileForm::PostRun, b.rs, b.m, b.h);
    EXPECT_TRUE(testsupport::read_file(path).empty());
}

}  // namespace
