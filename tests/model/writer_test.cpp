// The command-file writer: every written file reads back to the same settings,
// writing is a fixed point, lines come in their fixed order, and the two forms
// differ where they should.
#include <gtest/gtest.h>

#include <string>

#include "model/test_models.h"

using namespace testmodels;

namespace {

const bool kNoExitWait = (setenv("ARB2_NO_EXIT_WAIT", "1", 1), true);

// A shipped HSB file when `text` names one, else a command text.
Parsed read_case(const std::string& text, const MdmHeader& h) {
    std::string path = text.size() > 4 && text.compare(text.size() - 4, 4, ".cmd") == 0
                           ? testsupport::data_path("hsb/" + text)
                           : write_cmd("OUTPUT:r.out\n" + text);  // a run always has an output name
    Parsed p = read_path(path, h);
    p.rs.dataSourceName = "hsb.mdm";
    return p;
}

std::string write_text(const Parsed& p, CommandFileForm form, const MdmHeader& h, const char* name) {
    std::string path = dir() + "/" + name;
    write_command_file(path.c_str(), form, p.rs, p.model, h);
    return testsupport::read_file(path);
}

// Empty and all-zero constraint lists both mean "no constraints".
std::vector<int> groups(const ModelSpec& m) {
    for (int g : m.constraintGroup)
        if (g != 0) return m.constraintGroup;
    return {};
}

// Everything the writer is meant to carry over.
void expect_same(const Parsed& a, const Parsed& b) {
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
    SAME(model.numSets); SAME(model.numL1Slots); SAME(model.outcome); SAME(model.noIntercept); SAME(model.l1Role);
    SAME(model.numTerms); SAME(model.l1Centering); SAME(model.fixedEffectOnly); SAME(model.l2Predictors);
    SAME(model.l2Candidates); SAME(model.l2Centering); SAME(model.numFixed); SAME(model.contrasts);
    SAME(model.deletionBasis); SAME(model.trialsVar); SAME(model.heteroVars); SAME(model.plausibleValues);
    SAME(model.lvrRole); SAME(model.l1ResidualL2Vars); SAME(model.l2ResidualVars);
#undef SAME
    for (int k = 0; k < 24; ++k)
        EXPECT_EQ(a.model.hypothesisRows[k], b.model.hypothesisRows[k]) << "hypothesis " << k + 1;
    EXPECT_EQ(groups(a.model), groups(b.model)) << "constraintGroup";
    for (int slot = 0; slot < a.model.numL1Slots; ++slot)
        EXPECT_EQ(a.model.l1ResidualVars[a.model.at(0, slot)], b.model.l1ResidualVars[b.model.at(0, slot)])
            << "l1ResidualVars " << slot;
}

struct RoundTrip {
    std::string text;  // a shipped file name or a command text
    CommandFileForm form;
};

const std::vector<RoundTrip>& round_trips() {
    using F = CommandFileForm;
    static const std::vector<RoundTrip> c = {
        {"hsb_full_ml.cmd", F::PostRun}, {"hsb_full_reml.cmd", F::PostRun}, {"hsb_full_tests.cmd", F::PostRun},
        {"hsb_null_ml.cmd", F::PostRun}, {"hsb_null_reml.cmd", F::PostRun}, {"hsb_rc_ml.cmd", F::PostRun},
        {"hsb_rc_reml.cmd", F::PostRun},
        {"NUMIT:100,Y\n" + MODEL +
             "LVR:O,P\nCONSTRAIN:1,1,0,0,2,2\nLEVEL1DELETION:MINORITY,FEMALE\nLEVEL1WEIGHT:FEMALE\n"
             "LEVEL2WEIGHT:SIZE\nDEVIANCE:1234.5\nDF:4\nRESFILTYPE:STATA\nRESFIL1:Y/FEMALE/PRACAD\n"
             "RESFIL2:Y/DISCLIM\nRESFIL2NAME:two.dta\nPRINTVARIANCE-COVARIANCE:A\nFIXSIGMA2:2\nDEBUG:1\n"
             "GRAPHGAMMAS:graph.dat\nGAMMA1:1,0,0,0,0,-1\nGAMMA2:0,1\nGAMMA2:0.5,0,1,-0.25\nTITLE:every keyword\n"
             "FULLOUTPUT:N\nFIXTAU:4\nACCEL:6\nHOMVAR:Y\nLEV1OLS:160\n",
         F::PostRun},
        {"NUMIT:50\nVARIANCEKNOWN:SES\n" + MODEL + "PLAUSVALS:MINORITY,FEMALE\n", F::PostRun},
        {"NUMIT:9\n" + MODEL + "RESFILTYPE:SAS\nRESFIL1:Y\nRESFIL2:Y\n", F::PostRun},
        {"NUMIT:9\n" + MODEL + "RESFILTYPE:SYSTAT\nRESFIL1:Y\nRESFIL2:Y\n", F::PostRun},
        {"NUMIT:9\n" + MODEL + "RESFILTYPE:SPSS\nRESFIL1:Y\nRESFIL2:Y\n", F::PostRun},
        {"NONLIN:BERNOULLI\nMACROIT:10,N\nMICROIT:20\nSTOPMICRO:0.0001\nSTOPMACRO:0.001\nLAPLACE6:Y,30\n" + MODEL,
         F::PreRun},
        {"NONLIN:BINOMIAL,FEMALE\nMACROIT:10\nMICROIT:20\nEMLAPLACE:N\nTAYLOR:4,7\n" + MODEL, F::PreRun},
        {"NONLIN:POISSON\nMACROIT:10,Y\nMICROIT:20\nLAPLACE:Y,15\n" + MODEL, F::PreRun},
        {"NONLIN:MULTINOMIAL,3\nMACROIT:10\nMICROIT:20\n" + MODEL +
             "LEVEL1:MATHACH=INTRCPT1+MINORITY\nLEVEL2:INTRCPT1=INTRCPT2+SIZE+RANDOM/PRACAD\nLEVEL2:MINORITY=INTRCPT2/\n",
         F::PreRun},
        {"NONLIN:ORDINAL,4\nMACROIT:10\nMICROIT:20\nLEVEL1:MATHACH=INTRCPT1+SES,2+THOLD2+THOLD3\n"
         "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/\nLEVEL2:SES=INTRCPT2/\nLEVEL2:THOLD2=INTRCPT2/\n"
         "LEVEL2:THOLD3=INTRCPT2/\n",
         F::PreRun},
        {"MACROIT:10\nMICROIT:20\n" + MODEL + "HETEROL1VAR:SES,INTRCPT1\n", F::PreRun},
    };
    return c;
}

TEST(Writer, ReadWriteReadGivesTheSameSettingsAndTheSameFile) {
    MdmHeader h = hsb();
    for (const RoundTrip& c : round_trips()) {
        SCOPED_TRACE(c.text);
        Parsed first = read_case(c.text, h);
        ASSERT_EQ(first.out, "");
        std::string written = write_text(first, c.form, h, "newcmd.arb");
        Parsed second = read_path(dir() + "/newcmd.arb", h);
        second.rs.dataSourceName = "hsb.mdm";
        expect_same(first, second);
        EXPECT_EQ(written, write_text(second, c.form, h, "again.arb"));
    }
}

TEST(Writer, WritesEveryLineInItsPlace) {
    MdmHeader h = hsb_header();
    EXPECT_EQ(write_text(read_case("hsb_full_tests.cmd", h), CommandFileForm::PostRun, h, "newcmd.arb"),
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

TEST(Writer, LinesThatDependOnTheModelOrTheForm) {
    const std::string multinomial =
        "NONLIN:MULTINOMIAL,3\nMACROIT:40,Y\nMICROIT:25\nSTOPMICRO:0.00001\nSTOPMACRO:0.0001\n"
        "LEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\nLEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/MEANSES\n"
        "LEVEL2:SES=INTRCPT2+MEANSES,2+RANDOM/\nLEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\n"
        "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/MEANSES\nLEVEL2:SES=INTRCPT2+MEANSES,2/\n";
    const std::string binomial = "NONLIN:BINOMIAL,FEMALE\nMACROIT:40\nMICROIT:25\nTAYLOR:4,8\n"
                                 "LEVEL1:MINORITY=INTRCPT1+SES,2+RANDOM\nLEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/\n"
                                 "LEVEL2:SES=INTRCPT2/\n";
    const std::string hetero = "MACROIT:20,N\nMICROIT:100\n" + MODEL + "HETEROL1VAR:MINORITY,FEMALE\n";
    const struct {
        std::string text;
        CommandFileForm form;
        std::vector<std::string> present, absent;
    } cases[] = {
        {multinomial, CommandFileForm::PreRun,
         {multinomial.substr(0, 21), multinomial.substr(multinomial.find("LEVEL1")),
          "STOPMICRO:0.0000100000\nSTOPMACRO:0.0001000000\nMACROIT:40,Y\nMICROIT:25\n"},
         {"NUMIT", "STOPVAL"}},
        {binomial, CommandFileForm::PreRun,
         {"NONLIN:BINOMIAL,FEMALE\n", "TAYLOR:4,8\n", "LEVEL1:MINORITY=INTRCPT1+SES,2+RANDOM\n"}, {"LAPLACE"}},
        // After the run the count variable and the centering are no longer written.
        {binomial, CommandFileForm::PostRun, {"NONLIN:BINOMIAL\n", "LEVEL1:MINORITY=INTRCPT1+SES+RANDOM\n"}, {"FEMALE"}},
        {hetero, CommandFileForm::PreRun,
         {"MACROIT:20,N\nMICROIT:100\nNONLIN:n\n", "HETEROL1VAR:MINORITY,FEMALE\n"}, {"HETEROL1VAR:n", "NUMIT"}},
        {hetero, CommandFileForm::PostRun, {"MACROIT:20,N\n"}, {"HETEROL1VAR"}},
    };
    MdmHeader h = hsb();
    for (const auto& c : cases) {
        std::string text = write_text(read_case(c.text, h), c.form, h, "newcmd.arb");
        for (const std::string& s : c.present) EXPECT_NE(text.find(s), std::string::npos) << "missing: " << s << "\n" << text;
        for (const std::string& s : c.absent) EXPECT_EQ(text.find(s), std::string::npos) << "unexpected: " << s << "\n" << text;
    }
}

TEST(Writer, AFileThatCannotBeCreatedIsSkipped) {
    MdmHeader h = hsb();
    Parsed p = read_case("hsb_null_reml.cmd", h);
    std::string path = dir() + "/missing/newcmd.arb";
    write_command_file(path.c_str(), CommandFileForm::PostRun, p.rs, p.model, h);
    EXPECT_TRUE(testsupport::read_file(path).empty());
}

}  // namespace
