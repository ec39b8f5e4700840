// A command file read, written back by the writer and read again gives the
// same settings and model: the reader understands every line the writer makes.
#include "command_reader_support.h"

namespace {

using namespace readertest;

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

#define SAME(x) EXPECT_EQ(a.x, b.x) << #x
#define SAME_REAL(x) EXPECT_DOUBLE_EQ(a.x, b.x) << #x

void expect_same(const RunSettings& a, const RunSettings& b) {
    SAME(distribution); SAME(ordinal); SAME(numCategories); SAME(maxIterations); SAME(maxMacroIterations);
    SAME(atIterationLimit); SAME_REAL(microCriterion); SAME_REAL(macroCriterion); SAME(fullML);
    SAME(testHomogeneity); SAME_REAL(fixedSigma2); SAME_REAL(altDeviance); SAME(altDf); SAME(accel);
    SAME(laplace6); SAME(laplace6Iterations); SAME(emLaplaceType); SAME(laplaceIterations); SAME(taylorOrder);
    SAME(taylorSecond); SAME(resfilType); SAME(wantResfil1); SAME(wantResfil2); SAME(resfil1Name);
    SAME(resfil2Name); SAME(lvrOn); SAME(level1Weight); SAME(level2Weight); SAME(printVarCov); SAME(fixTau);
    SAME(debugLevel); SAME(graphGammas); SAME(fullOutput); SAME(problemTitle); SAME(outputFileName);
}

void expect_same(const ModelSpec& a, const ModelSpec& b) {
    SAME(numSets); SAME(numL1Slots); SAME(outcome); SAME(noIntercept); SAME(numTerms); SAME(l1Role);
    SAME(l1Centering); SAME(fixedEffectOnly); SAME(l2Predictors); SAME(l2Candidates); SAME(l2Centering);
    SAME(numFixed); SAME(constraintGroup); SAME(contrasts); SAME(deletionBasis); SAME(trialsVar);
    SAME(heteroVars); SAME(plausibleValues); SAME(lvrRole); SAME(l1ResidualVars); SAME(l1ResidualL2Vars);
    SAME(l2ResidualVars);
    for (int k = 0; k < 24; ++k) EXPECT_EQ(a.hypothesisRows[k], b.hypothesisRows[k]) << "hypothesis " << k + 1;
}

TEST(CommandReaderRoundTrip, WrittenFilesReadBackToTheSameModel) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    MdmHeader mdm = hsb();
    for (const RoundTrip& c : cases()) {
        SCOPED_TRACE(c.name);
        RunSettings first;
        ModelSpec model1;
        if (c.text.empty()) {
            first.commandFileName = testsupport::data_path(std::string("hsb/") + c.name + ".cmd");
        } else {
            // A run always has an output name; an empty OUTPUT line is an error.
            first.commandFileName = write_cmd("OUTPUT:r.out\n" + c.text);
        }
        read_command_file(first, model1, mdm);

        std::string written = dir() + "/written.arb";
        write_command_file(written.c_str(), c.form, first, model1, mdm);
        RunSettings second;
        ModelSpec model2;
        second.commandFileName = written;
        read_command_file(second, model2, mdm);
        expect_same(first, second);
        expect_same(model1, model2);
    }
}

}  // namespace
