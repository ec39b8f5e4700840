// Command-file reader: keyword values, equations and the shipped HSB command files.
#include "model/test_models.h"

namespace {

using namespace testmodels;

const bool kNoExitWait = (setenv("ARB2_NO_EXIT_WAIT", "1", 1), true);

std::vector<int> predictors(const ModelSpec& m, int set, int coef) {
    std::vector<int> out;
    for (int k = 0; k < m.numL2Slots && m.l2Predictors[m.pred(set, coef, k)] != NO_ENTRY; ++k)
        out.push_back(m.l2Predictors[m.pred(set, coef, k)]);
    return out;
}

std::vector<int> candidates(const ModelSpec& m, int set, int coef) {
    std::vector<int> out;
    for (int k = 0; k < 12 && m.l2Candidates[m.cand(set, coef, k)] != NO_ENTRY; ++k)
        out.push_back(m.l2Candidates[m.cand(set, coef, k)]);
    return out;
}

std::string name_at(const ModelSpec& m, int slot) { return std::string(m.l1Names[slot].text, 8); }

// ---- Keyword values ------------------------------------------------------------

struct KeywordCase {
    const char* text;
    void (*check)(const RunSettings&, const ModelSpec&);
};

const KeywordCase KEYWORD_CASES[] = {
    {"ACCEL:7\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.accel, 7); }},
    {"ACCEL:1\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.accel, 3); }},
    {"ACCEL:0\nMLF:Y\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.accel, 5); }},
    {"MLF:y\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_TRUE(r.fullML); EXPECT_EQ(r.accel, 3); }},
    {"TAYLOR:4,8\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.taylorOrder, 4); EXPECT_EQ(r.taylorSecond, 8); }},
    {"TAYLOR:2\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.taylorOrder, 2); EXPECT_EQ(r.taylorSecond, 6); }},
    {"NUMIT:50,Y\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_EQ(r.maxIterations, 50); EXPECT_EQ(r.atIterationLimit, 1); EXPECT_NE(r.iterationsGiven, 0); }},
    {"NUMIT:50\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.atIterationLimit, 2); }},
    {"FULLOUTPUT:N\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_FALSE(r.fullOutput); }},
    {"PRINTVARIANCE-COVARIANCE:a\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.printVarCov, 2); }},
    {"PRINTVARIANCE-COVARIANCE:X\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.printVarCov, 0); }},
    {"GRAPHGAMMAS:g a.dat\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.graphGammas, "g a.dat"); }},
    {"POPAVIT:Y\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.popAvgIterations, 1); }},
    {"POPAVIT:7\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.popAvgIterations, 7); }},
    {"LEV1OLS:12\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.olsUnitsShown, 12); EXPECT_NE(r.olsGiven, 0); }},
    {"NOBASE:x\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_NE(r.interceptGiven, 0); }},
    {"HOMVAR:Y\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_TRUE(r.testHomogeneity); EXPECT_NE(r.homvarGiven, 0); }},
    {"HOMVAR:Y\nFIXSIGMA2:2.5\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_FALSE(r.testHomogeneity); EXPECT_DOUBLE_EQ(r.fixedSigma2, 2.5); }},
    {"STOPVAL:0.001\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_DOUBLE_EQ(r.microCriterion, 0.001); }},
    {"STOPMICRO:0.002\nSTOPMACRO:0.003\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_DOUBLE_EQ(r.microCriterion, 0.002); EXPECT_DOUBLE_EQ(r.macroCriterion, 0.003); }},
    {"DEVIANCE:123.5\nDF:3\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_DOUBLE_EQ(r.altDeviance, 123.5); EXPECT_EQ(r.altDf, 3); }},
    {"HYPOTH:n\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_NE(r.hypothesisGiven, 0); }},
    {"TITLE:\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.problemTitle, ""); EXPECT_NE(r.titleGiven, 0); }},
    {"TITLE:0123456789012345678901234567890123456789012345678901234567890123456789\n",
     [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.problemTitle.size(), 63u); }},
    {"OUTPUT:out.txt\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.outputFileName, "out.txt"); }},
    {"LEVEL1WEIGHT:female,ignored\nLEVEL2WEIGHT:size\nVARIANCEKNOWN:SES\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_EQ(r.level1Weight, 2); EXPECT_EQ(r.level2Weight, 1); EXPECT_EQ(r.precisionVar, 3);
         EXPECT_DOUBLE_EQ(r.fixedSigma2, 1.0); }},
    {"FIXTAU:5\nDEBUG:2\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.fixTau, 5); EXPECT_EQ(r.debugLevel, 2); }},
    {"RESFIL1NAME:a.out\nRESFILNAME:c.out\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_EQ(r.resfil1Name, "a.out"); EXPECT_EQ(r.resfil2Name, "c.out"); }},
    {"RESFIL2NAME:b.out\nRESFILTYPE:stata\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_EQ(r.resfilType, 8); EXPECT_EQ(r.resfil1Name, "resfil1.dta"); EXPECT_EQ(r.resfil2Name, "b.out"); }},
    {"LEVEL1DELETION:ses,Minority\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(m.deletionBasis, (std::vector<int>{0, 2, 0, 2, 0})); EXPECT_NE(r.deletionGiven, 0); }},
    {"CONSTRAIN:N\n", [](const RunSettings& r, const ModelSpec& m) { EXPECT_NE(r.constrainGiven, 0); EXPECT_TRUE(m.constraintGroup.empty()); }},
    {"NONLIN:n\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.distribution, 0); EXPECT_NE(r.nonlinGiven, 0); }},
    {"NONLIN:POISSON,ses\nMACROIT:20,y\nMICROIT:5\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(r.distribution, 2); EXPECT_EQ(m.trialsVar, 3); EXPECT_EQ(r.maxMacroIterations, 20);
         EXPECT_EQ(r.atIterationLimit, 1); EXPECT_EQ(r.maxIterations, 5); EXPECT_DOUBLE_EQ(r.microCriterion, 1e-5); }},
    {"NONLIN:bernoulli\nMACROIT:10\nMICROIT:5\nSTOPMICRO:0.01\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(r.distribution, 1); EXPECT_EQ(m.trialsVar, 0); EXPECT_DOUBLE_EQ(r.microCriterion, 0.01); }},
    {"NONLIN:BERNOULLI\nMACROIT:10\nMICROIT:5\nLAPLACE6:Y,20\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_TRUE(r.laplace6); EXPECT_EQ(r.laplace6Iterations, 20); EXPECT_TRUE(r.fullML);
         EXPECT_DOUBLE_EQ(r.fixedSigma2, 1.0); }},
    {"NONLIN:BERNOULLI\nMACROIT:10\nMICROIT:5\nLAPLACE:Y,30\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_EQ(r.emLaplaceType, 2); EXPECT_EQ(r.laplaceIterations, 30); EXPECT_TRUE(r.fullML);
         EXPECT_DOUBLE_EQ(r.fixedSigma2, 1.0); }},
    {"LAPLACE:n,30\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.emLaplaceType, 0); EXPECT_EQ(r.laplaceIterations, 0); }},
    {"EMLAPLACE3:Y,40\n", [](const RunSettings& r, const ModelSpec&) { EXPECT_EQ(r.emLaplaceType, 3); EXPECT_EQ(r.laplaceIterations, 40); }},
    {"AGQ=7:Y,25\n", [](const RunSettings& r, const ModelSpec&) {
         EXPECT_EQ(r.emLaplaceType, 5); EXPECT_EQ(r.agqPoints, 7); EXPECT_EQ(r.agqIterations, 25); }},
    {"NONLIN:MULTINOMIAL,4\nMACROIT:10\nMICROIT:5\nRESFIL1:Y\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(r.distribution, 3); EXPECT_FALSE(r.ordinal); EXPECT_EQ(r.numCategories, 4); EXPECT_EQ(m.numSets, 3);
         EXPECT_EQ(m.l1Role.size(), 15u); EXPECT_EQ(m.l2Predictors.size(), 105u); EXPECT_FALSE(r.wantResfil1); }},
    {"NONLIN:ordinal,4\nMACROIT:10\nMICROIT:5\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_TRUE(r.ordinal); EXPECT_EQ(m.numSets, 1); EXPECT_EQ(m.numL1Slots, 7);
         EXPECT_EQ(name_at(m, 5), "  THOLD2"); EXPECT_EQ(name_at(m, 6), "  THOLD3"); }},
    {"NONLIN:ORDINAL,12\nMACROIT:10\nMICROIT:5\n", [](const RunSettings&, const ModelSpec& m) {
         EXPECT_EQ(m.numL1Slots, 15); EXPECT_EQ(name_at(m, 12), "  THOLD9"); EXPECT_EQ(name_at(m, 13), " THOLD10"); }},
};

TEST(CommandReader, KeywordValues) {
    for (const KeywordCase& c : KEYWORD_CASES) {
        SCOPED_TRACE(c.text);
        Parsed p = read_text(c.text);
        c.check(p.rs, p.model);
    }
}

// Keywords that depend on a complete model.
const KeywordCase MODEL_CASES[] = {
    {"HETEROL1VAR:ses,intrcpt1\nMACROIT:10\nMICROIT:5\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(m.heteroVars, (std::vector<int>{3, 0})); EXPECT_TRUE(r.fullML); EXPECT_NE(r.heteroGiven, 0);
         EXPECT_DOUBLE_EQ(r.microCriterion, 1e-5); }},
    {"PLAUSVALS:MINORITY,FEMALE\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(m.plausibleValues, (std::vector<int>{1, 2})); EXPECT_NE(r.plausGiven, 0); }},
    {"LVR:o,P\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(m.lvrRole, (std::vector<int>{1, 2})); EXPECT_TRUE(r.lvrOn); EXPECT_TRUE(r.fullML); EXPECT_EQ(r.accel, 3); }},
    {"CONSTRAIN:1,1,0\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(m.constraintGroup, (std::vector<int>{1, 1, 0, 0, 0, 0})); EXPECT_NE(r.constrainGiven, 0); }},
    {"GAMMA2:0,0,1\nGAMMA1:1,2,3,4,5,6,7,8\nGAMMA1:0,1\nGAMMA25:1\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_NE(r.gammaGiven, 0);
         EXPECT_EQ(m.hypothesisRows[0], 2); EXPECT_EQ(m.hypothesisRows[1], 1); EXPECT_EQ(m.hypothesisRows[2], 0);
         EXPECT_EQ(m.contrasts, (std::vector<double>{1, 2, 3, 4, 5, 6, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0})); }},
    {"RESFIL1:Y//size\nRESFIL:y/disclim,INTRCPT2\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_TRUE(r.wantResfil1); EXPECT_TRUE(r.wantResfil2); EXPECT_EQ(r.resfil1Name, "resfil1.sav");
         EXPECT_EQ(m.l1ResidualVars, (std::vector<int>{0, 0, 0, 1, 0}));
         EXPECT_EQ(m.l1ResidualL2Vars, (std::vector<int>{0, 1, 1, 0, 0, 0, 1}));
         EXPECT_EQ(m.l2ResidualVars, (std::vector<int>{1, 0, 1, 0, 1, 0, 1})); }},
    {"RESFIL1:Y/intrcpt1,female\nRESFIL2:N\n", [](const RunSettings& r, const ModelSpec& m) {
         EXPECT_EQ(m.l1ResidualVars, (std::vector<int>{1, 0, 1, 1, 0})); EXPECT_FALSE(r.wantResfil2);
         EXPECT_NE(r.resfil2Given, 0); }},
};

TEST(CommandReader, KeywordsAfterTheModel) {
    for (const KeywordCase& c : MODEL_CASES) {
        SCOPED_TRACE(c.text);
        Parsed p = read_text(MODEL + c.text);
        c.check(p.rs, p.model);
    }
}

TEST(CommandReader, DefaultResidualFileNamesFollowTheType) {
    struct Row {
        const char* type;
        int code;
        const char* l1;
        const char* l2;
    } rows[] = {{"FREEFORMAT", 2, "resfil1.dat", "resfil2.dat"}, {"systat", 3, "RESFIL1.CMD", "RESFIL2.CMD"},
                {"SAS", 5, "resfil1.sas", "resfil2.sas"},        {"SPSS", 6, "resfil1.sav", "resfil2.sav"},
                {"Stata", 8, "resfil1.dta", "resfil2.dta"}};
    for (const Row& r : rows) {
        Parsed p = read_text(std::string("RESFILTYPE:") + r.type + "\n");
        EXPECT_EQ(p.rs.resfilType, r.code) << r.type;
        EXPECT_EQ(p.rs.resfil1Name, r.l1) << r.type;
        EXPECT_EQ(p.rs.resfil2Name, r.l2) << r.type;
    }
}

// ---- The shipped HSB command files ------------------------------------------------

TEST(CommandReader, ShippedHsbFilesGiveTheirModels) {
    const struct {
        const char* file;
        bool fullML;
        bool conditional;  // SECTOR and MEANSES model both coefficients
        bool slope;        // SES is a random slope
    } cases[] = {
        {"hsb_null_reml.cmd", false, false, false}, {"hsb_null_ml.cmd", true, false, false},
        {"hsb_rc_reml.cmd", false, false, true},    {"hsb_rc_ml.cmd", true, false, true},
        {"hsb_full_reml.cmd", false, true, true},   {"hsb_full_ml.cmd", true, true, true},
        {"hsb_full_tests.cmd", false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Parsed p = read_path(testsupport::data_path(std::string("hsb/") + c.file));
        const RunSettings& r = p.rs;
        const ModelSpec& m = p.model;
        bool tests = std::string(c.file) == "hsb_full_tests.cmd";
        std::vector<int> preds = c.conditional ? std::vector<int>{0, 2, 6} : std::vector<int>{0};
        EXPECT_EQ(p.out, "");
        EXPECT_EQ(m.l1Role, c.slope ? (std::vector<int>{1, 0, 0, 1, -1}) : (std::vector<int>{1, 0, 0, 0, -1}));
        EXPECT_EQ(m.l1Centering[3], c.slope ? 1 : 0);
        EXPECT_EQ(predictors(m, 0, 0), preds);
        EXPECT_EQ(predictors(m, 0, 3), c.slope ? preds : std::vector<int>{});
        EXPECT_EQ(m.l2Centering[6], c.conditional ? 2 : 0);
        EXPECT_EQ(m.numFixed, (int)preds.size() * (c.slope ? 2 : 1));
        EXPECT_EQ(m.fixedEffectOnly, (std::vector<int>(5, 0)));
        EXPECT_TRUE(candidates(m, 0, 0).empty());
        EXPECT_EQ(r.fullML, c.fullML);
        EXPECT_EQ(r.maxIterations, 5000);
        EXPECT_DOUBLE_EQ(r.microCriterion, 1e-10);
        EXPECT_EQ(r.outputFileName, std::string(c.file).substr(0, std::string(c.file).size() - 4) + ".out");
        EXPECT_EQ(r.problemTitle.rfind("HSB ", 0), 0u);
        EXPECT_EQ(r.wantResfil1 && r.wantResfil2 && r.testHomogeneity && r.printVarCov == 1, tests);
        if (tests) {
            EXPECT_EQ(m.contrasts, (std::vector<double>{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
            EXPECT_EQ(m.l1ResidualVars, (std::vector<int>{0, 1, 0, 1, 0}));
            EXPECT_EQ(m.l2ResidualVars, (std::vector<int>{0, 1, 1, 0, 0, 0, 1}));
        }
    }
}

}  // namespace
