// A command file read, written back by the writer and read again gives the
// same settings and model: the reader understands every line the writer makes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "model/model.h"
#include "support/test_support.h"

namespace {

MdmHeader hsb_names() {
    MdmHeader h;
    h.numL1Vars = 4;
    h.numL2Vars = 6;
    for (const char* n : {"INTRCPT1", "MINORITY", "FEMALE", "SES", "MATHACH"}) h.l1Names.push_back(make_variable_name(n));
    for (const char* n : {"INTRCPT2", "SIZE", "SECTOR", "PRACAD", "DISCLIM", "HIMINTY", "MEANSES"})
        h.l2Names.push_back(make_variable_name(n));
    h.hasMissing = 1;
    return h;
}

const std::string MODEL =
    "LEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\n"
    "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+MEANSES,2+RANDOM/SIZE,PRACAD\n"
    "LEVEL2:SES=INTRCPT2+SECTOR+MEANSES,2+RANDOM/\n";

struct RoundTrip {
    const char* name;
    std::string text;  // empty: the shipped file named below
    CommandFileForm form;
};

const std::vector<RoundTrip>& cases() {
    static const std::vector<RoundTrip> c = {
        {"hsb_full_tests", "", CommandFileForm::PostRun},
        {"linear_everything",
         "NUMIT:100,Y\n" + MODEL +
             "LVR:O,P\nCONSTRAIN:1,1,0,0,2,2\nLEVEL1DELETION:MINORITY,FEMALE\nLEVEL1WEIGHT:FEMALE\n"
             "LEVEL2WEIGHT:SIZE\nDEVIANCE:1234.5\nDF:4\nRESFILTYPE:STATA\nRESFIL1:Y/FEMALE/PRACAD\n"
             "RESFIL2:Y/DISCLIM\nRESFIL2NAME:two.dta\nPRINTVARIANCE-COVARIANCE:A\nFIXSIGMA2:2\nDEBUG:1\n"
             "GRAPHGAMMAS:graph.dat\nGAMMA1:1,0,0,0,0,-1\nGAMMA2:0,1\nGAMMA2:0,0,1\nTITLE:every keyword\n"
             "OUTPUT:every.out\nFULLOUTPUT:N\nFIXTAU:4\nACCEL:6\n",
         CommandFileForm::PostRun},
        {"bernoulli_laplace",
         "NONLIN:BERNOULLI\nMACROIT:10,N\nMICROIT:20\nSTOPMICRO:0.0001\nSTOPMACRO:0.001\nLAPLACE6:Y,30\n" + MODEL,
         CommandFileForm::PreRun},
        {"binomial_count", "NONLIN:BINOMIAL,FEMALE\nMACROIT:10\nMICROIT:20\nEMLAPLACE:N\nTAYLOR:4,7\n" + MODEL,
         CommandFileForm::PreRun},
        {"poisson_em_laplace", "NONLIN:POISSON\nMACROIT:10,Y\nMICROIT:20\nLAPLACE:Y,15\n" + MODEL,
         CommandFileForm::PreRun},
        {"multinomial",
         "NONLIN:MULTINOMIAL,3\nMACROIT:10\nMICROIT:20\n" + MODEL +
             "LEVEL1:MATHACH=INTRCPT1+MINORITY\nLEVEL2:INTRCPT1=INTRCPT2+SIZE+RANDOM/\nLEVEL2:MINORITY=INTRCPT2/\n",
         CommandFileForm::PreRun},
        {"ordinal",
         "NONLIN:ORDINAL,4\nMACROIT:10\nMICROIT:20\nLEVEL1:MATHACH=INTRCPT1+SES,2+THOLD2+THOLD3\n"
         "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/\nLEVEL2:SES=INTRCPT2/\nLEVEL2:THOLD2=INTRCPT2/\n"
         "LEVEL2:THOLD3=INTRCPT2/\n",
         CommandFileForm::PreRun},
        {"hetero", "MACROIT:10\nMICROIT:20\n" + MODEL + "HETEROL1VAR:SES,INTRCPT1\n", CommandFileForm::PreRun},
        {"plausible", "NUMIT:50\n" + MODEL + "PLAUSVALS:MINORITY,FEMALE\n", CommandFileForm::PostRun},
    };
    return c;
}

void expect_same(const RunSettings& a, const ModelSpec& m, const RunSettings& b, const ModelSpec& n) {
    EXPECT_EQ(a.distribution, b.distribution);
    EXPECT_EQ(a.ordinal, b.ordinal);
    EXPECT_EQ(a.numCategories, b.numCategories);
    EXPECT_EQ(a.maxIterations, b.maxIterations);
    EXPECT_EQ(a.maxMacroIterations, b.maxMacroIterations);
    EXPECT_EQ(a.atIterationLimit, b.atIterationLimit);
    EXPECT_DOUBLE_EQ(a.microCriterion, b.microCriterion);
    EXPECT_DOUBLE_EQ(a.macroCriterion, b.macroCriterion);
    EXPECT_EQ(a.fullML, b.fullML);
    EXPECT_EQ(a.testHomogeneity, b.testHomogeneity);
    EXPECT_DOUBLE_EQ(a.fixedSigma2, b.fixedSigma2);
    EXPECT_DOUBLE_EQ(a.altDeviance, b.altDeviance);
    EXPECT_EQ(a.altDf, b.altDf);
    EXPECT_EQ(a.accel, b.accel);
    EXPECT_EQ(a.laplace6, b.laplace6);
    EXPECT_EQ(a.laplace6Iterations, b.laplace6Iterations);
    EXPECT_EQ(a.emLaplaceType, b.emLaplaceType);
    EXPECT_EQ(a.laplaceIterations, b.laplaceIterations);
    EXPECT_EQ(a.taylorOrder, b.taylorOrder);
    EXPECT_EQ(a.taylorSecond, b.taylorSecond);
    EXPECT_EQ(a.resfilType, b.resfilType);
    EXPECT_EQ(a.wantResfil1, b.wantResfil1);
    EXPECT_EQ(a.wantResfil2, b.wantResfil2);
    EXPECT_EQ(a.resfil1Name, b.resfil1Name);
    EXPECT_EQ(a.resfil2Name, b.resfil2Name);
    EXPECT_EQ(a.lvrOn, b.lvrOn);
    EXPECT_EQ(a.level1Weight, b.level1Weight);
    EXPECT_EQ(a.level2Weight, b.level2Weight);
    EXPECT_EQ(a.printVarCov, b.printVarCov);
    EXPECT_EQ(a.fixTau, b.fixTau);
    EXPECT_EQ(a.debugLevel, b.debugLevel);
    EXPECT_EQ(a.graphGammas, b.graphGammas);
    EXPECT_EQ(a.fullOutput, b.fullOutput);
    EXPECT_EQ(a.problemTitle, b.problemTitle);
    EXPECT_EQ(a.outputFileName, b.outputFileName);
    EXPECT_EQ(m.numSets, n.numSets);
    EXPECT_EQ(m.numL1Slots, n.numL1Slots);
    EXPECT_EQ(m.outcome, n.outcome);
    EXPECT_EQ(m.noIntercept, n.noIntercept);
    EXPECT_EQ(m.numTerms, n.numTerms);
    EXPECT_EQ(m.l1Role, n.l1Role);
    EXPECT_EQ(m.l1Centering, n.l1Centering);
    EXPECT_EQ(m.fixedEffectOnly, n.fixedEffectOnly);
    EXPECT_EQ(m.l2Predictors, n.l2Predictors);
    EXPECT_EQ(m.l2Candidates, n.l2Candidates);
    EXPECT_EQ(m.l2Centering, n.l2Centering);
    EXPECT_EQ(m.numFixed, n.numFixed);
    EXPECT_EQ(m.constraintGroup, n.constraintGroup);
    EXPECT_EQ(std::vector<short>(m.hypothesisRows, m.hypothesisRows + 24),
              std::vector<short>(n.hypothesisRows, n.hypothesisRows + 24));
    EXPECT_EQ(m.contrasts, n.contrasts);
    EXPECT_EQ(m.deletionBasis, n.deletionBasis);
    EXPECT_EQ(m.trialsVar, n.trialsVar);
    EXPECT_EQ(m.heteroVars, n.heteroVars);
    EXPECT_EQ(m.plausibleValues, n.plausibleValues);
    EXPECT_EQ(m.lvrRole, n.lvrRole);
    EXPECT_EQ(m.l1ResidualVars, n.l1ResidualVars);
    EXPECT_EQ(m.l1ResidualL2Vars, n.l1ResidualL2Vars);
    EXPECT_EQ(m.l2ResidualVars, n.l2ResidualVars);
}

TEST(CommandReaderRoundTrip, WrittenFilesReadBackToTheSameModel) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    std::string dir = testsupport::make_temp_dir("roundtrip");
    MdmHeader mdm = hsb_names();
    for (const RoundTrip& c : cases()) {
        SCOPED_TRACE(c.name);
        RunSettings first;
        ModelSpec model1;
        if (c.text.empty()) {
            first.commandFileName = testsupport::data_path(std::string("hsb/") + c.name + ".cmd");
        } else {
            // A run always has an output name; an empty OUTPUT line is an error.
            first.commandFileName = dir + "/" + c.name + ".cmd";
            testsupport::write_file(first.commandFileName, "OUTPUT:r.out\n" + c.text);
        }
        read_command_file(first, model1, mdm);

        std::string written = dir + "/" + c.name + ".arb";
        write_command_file(written.c_str(), c.form, first, model1, mdm);
        RunSettings second;
        ModelSpec model2;
        second.commandFileName = written;
        read_command_file(second, model2, mdm);
        expect_same(first, model1, second, model2);
    }
}

}  // namespace
