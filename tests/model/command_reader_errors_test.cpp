// Command-file reader: the messages that end a run, the warnings that do not,
// and the edge cases of the level-2 lookahead and the line counter.
#include <sys/wait.h>

#include "model/test_models.h"

namespace {

using namespace testmodels;

const std::string NONLIN = "NONLIN:BERNOULLI\nMACROIT:10\nMICROIT:5\n";

const bool kNoExitWait = (setenv("ARB2_NO_EXIT_WAIT", "1", 1), true);

// ---- Messages that end the run ------------------------------------------------------

struct FatalCase {
    std::string text;
    int status;
    const char* pattern;  // extended regular expression over the console output
};

const std::vector<FatalCase>& fatal_cases() {
    static const std::vector<FatalCase> cases = {
        {"TAYLOR:3\n", 0, "taylor must be set to 2 or 4!"},
        {"NUMIT:0\n", 0, "numit must be greater than 0!"},
        {"MICROIT:-2\n", 0, "microit must be greater than 0!"},
        {"# c\nOUTPUT:\n", 8, " Error in command file at line   2\n"},
        {"ACCEL: 5\n", 8, "at line   1\n"},
        {"NOCOLON\n", 8, "at line   1\n"},
        {"NONLIN:GAMMA\n", 0, "Incorrect non-linear type: GAMMA\n"},
        {MODEL + "NONLIN:MULTINOMIAL,3\n", 0,
         "Nonlin:ordinal/multinomial must be specified before model or residual file\n"},
        {"RESFIL2:N\nNONLIN:ORDINAL,3\n", 0, "must be specified before model or residual file"},
        {"NONLIN:ORDINAL\n", 0, "For multinomial/ordinal, you must specify the number of categories\n"},
        {"NONLIN:MULTINOMIAL,1\n", 8, "at line   1\n"},
        {"NONLIN:MULTINOMIAL,1000000000\n", 8, "at line   1\n"},
        {"NONLIN:ORDINAL,3\nMACROIT:5\nMICROIT:5\nLEVEL1:MATHACH=SES\n", 0,
         "Level-1 intercept must be specified in ordinal runs!\n"},
        {"NONLIN:ORDINAL,3\nMACROIT:5\nMICROIT:5\nLEVEL1:MATHACH=INTRCPT1+THOLD2+THOLD2\n", 0,
         "You have specified more than 1 thresholds in the command file!\n"},
        {"LEVEL1:MATHACH=INTRCPT1+SES+MINORITY\n", 10,
         "Level 1 variables must be specified in the order given in the mdm file\n"},
        {"LEVEL1:MATHACH INTRCPT1\n", 8, "at line LEVEL1:MATHACH INTRCPT1\n"},
        {"LEVEL1:NOPE=INTRCPT1\n", 9, "Batch file outvar specification invalid\nNOPE does not exist\n"},
        {"LEVEL1:MATHACH=INTRCPT1+xyz\n", 9, "Batch file level1 specification invalid\nxyz does not exist\n"},
        {MODEL + "LEVEL1:MATHACH=INTRCPT1\n", 0, "You have too many sets of equations!\n"},
        {"LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1 INTRCPT2\n", 8, "at line   2\n"},
        {"LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+BOGUS\n", 9,
         "Batch file level2 specification invalid\nBOGUS does not exist\n"},
        {"LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+SIZE+SIZE\n", 8, "at line   2\n"},
        {"LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2/SECTOR,FOO\n", 8,
         "bad extra variable: FOO\n Error in command file at line SECTOR,FOO\n"},
        {"HETEROL1VAR:SES\n" + MODEL, 0, "heterol1var must be specified after level-1 model\n"},
        {"PLAUSVALS:SES\n" + MODEL, 0, "plausvals must be specified after level-1 model\n"},
        {"LVR:O\n" + MODEL, 0, "lvr must be specified after complete model\n"},
        {"LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2\nLVR:O\n", 0, "There is no tau, so lvr cannot be used!\n"},
        {"NONLIN:MULTINOMIAL,3\nMACROIT:5\nMICROIT:5\n" + MODEL + "LVR:O,P\n", 0,
         " The program cannot do latent variable regressions in a multinomial run.\n"},
        {MODEL + "LVR:O,X\n", 8, "lvr must be specifed as o, p or i Error in command file at line X\n"},
        {"GAMMA1:1,0\n" + MODEL, 0, "Gammas must be specified after complete model\n"},
        {"CONSTRAIN:1,1\n" + MODEL, 0, "Constraints must be specified after complete model\n"},
        {"RESFILTYPE:EXCEL\n", 0, "Invalid resfiltype.\n"},
        {"RESFIL1:Y/NOPE\n", 9, "Batch file resfil1 specification invalid\nNOPE does not exist\n"},
        {"RESFIL2:Y/SES\n", 9, "Batch file resfil2 specification invalid\nSES does not exist\n"},
        {"LEVEL1DELETION:NOPE\n", 9, "Batch file level1deletion specification invalid\n"},
        {"LEVEL2WEIGHT:SES\n", 9, "Batch file wgtvar2 specification invalid\n"},
        {"LEVEL1WEIGHT:SIZE\n", 9, "Batch file wgtvar1 specification invalid\n"},
        {"VARIANCEKNOWN:NOPE\n", 9, "Batch file autovknown specification invalid\n"},
        {"NONLIN:BINOMIAL,NOPE\n", 9, "Batch file nlcntvar specification invalid\nNOPE does not exist\n"},
        {"NONLIN:BINOMIAL,\n", 9, "Batch file nlcntvar specification invalid\nNONLIN:BINOMIAL, does not exist\n"},
        // Checks after the last line.
        {NONLIN + MODEL + "PLAUSVALS:MINORITY,FEMALE\n", 0,
         "You can not do a combination of non-linear and plausible values\nat this time.\n"},
        {"MACROIT:5\nMICROIT:5\n" + MODEL + "HETEROL1VAR:SES\nPLAUSVALS:MINORITY,FEMALE\n", 0,
         "combination of heterogeneous variance and plausible values"},
        {NONLIN + MODEL + "HETEROL1VAR:SES\n", 0,
         "You can not do a combination of non-linear and heterogeneous l1 variances\nat this time.\n"},
        {"MACROIT:5\n", 0, "If non-linear iterations desired, the type must be specified\n"},
        {"NONLIN:POISSON\n", 0, " macroit must be specified if nonlin or heterol1var are specified.\n"},
        {NONLIN + "NUMIT:5\n", 0,
         " The numit directive should not be used when specifying a non-linear or\n"
         " heterogeneous L1 variance model. Use the microit and macroit keywords.\n"},
        {NONLIN + "STOPVAL:0.1\n", 0,
         " The stopval directive should not be used when specifying a\n non-linear model."
         " Use the stopmicro and stopmacro keywords.\n"},
        {"NONLIN:POISSON\nMACROIT:5\nMICROIT:5\nLAPLACE6:Y\n", 0,
         "LaPlace iterations may only be done on Bernoulli analyses.$"},
        {"NONLIN:BINOMIAL,SES\nMACROIT:5\nMICROIT:5\n" + MODEL, 0,
         " The binomial count variable is also used in the model!\n"},
        {"NONLIN:POISSON,SES\nMACROIT:5\nMICROIT:5\n" + MODEL, 0,
         " The poisson variable exposure variable is also used in the model!\n"},
        {MODEL + "PLAUSVALS:MINORITY,SES\n", 0,
         "Plausible value variables must be specified in the same order as they\nappear in the mdm file.\n"},
    };
    return cases;
}

TEST(ReaderMessages, FatalCasesEndWithTheirMessageAndStatus) {
    int i = 0;
    for (const FatalCase& c : fatal_cases()) {
        SCOPED_TRACE(c.text);
        std::string path = write_cmd(c.text, "fatal" + std::to_string(i++) + ".cmd");
        EXPECT_EXIT(read_to_stderr(path, hsb()), testing::ExitedWithCode(c.status), c.pattern);
    }
}

TEST(ReaderMessages, ReservedThresholdNamesEndAnOrdinalRun) {
    std::string path = write_cmd("NONLIN:ORDINAL,4\nMACROIT:5\nMICROIT:5\n");
    EXPECT_EXIT(read_to_stderr(path, header_with({"Y", "tholdx"})), testing::ExitedWithCode(0),
                "^Variable names starting with THOLD are reserved for ordinal runs\n$");
    EXPECT_EXIT(read_to_stderr(path, header_with({"Y", "XTHOLD"})), testing::ExitedWithCode(99), "");
    // Not an ordinal run: the name is an ordinary variable.
    std::string multi = write_cmd("NONLIN:MULTINOMIAL,4\nMACROIT:5\nMICROIT:5\n", "multi.cmd");
    EXPECT_EXIT(read_to_stderr(multi, header_with({"Y", "THOLDX"})), testing::ExitedWithCode(99), "");
}

TEST(ReaderMessages, VknownFilesRefuseLevel1ResidualFiles) {
    MdmHeader vk = hsb();
    vk.isVKnown = true;
    EXPECT_EXIT(read_to_stderr(write_cmd("RESFIL1:Y\n"), vk), testing::ExitedWithCode(0),
                "^\nARB2 cannot make vknown level-1 residual files.\n$");
    EXPECT_EXIT(read_to_stderr(write_cmd("RESFIL1:N\n"), vk), testing::ExitedWithCode(99), "");
}

TEST(ReaderMessages, MissingCommandFileEndsWithTheOpenMessage) {
    EXPECT_EXIT(read_to_stderr(dir() + "/absent.cmd", hsb()), testing::ExitedWithCode(0),
                "Unable to open .*absent.cmd for reading\n");
}

// ---- Messages that let the run go on ----------------------------------------------

TEST(ReaderMessages, WarningsPrintAndParsingGoesOn) {
    struct Row {
        std::string text;
        std::string expected;
    } rows[] = {
        {"FOO:1\nMLF:Y\n", "Unrecognized control word, ignored: FOO:1\nHit return to continue "},
        {"LEVEL1:MATHACH=INTRCPT1+SES,3+RANDOM\nMLF:Y\n",
         "Problem at this point: SES,3+RANDOM\ninvalid option on level-1 variable, 3\n"},
        {"LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+SIZE,1+RANDOM/\nMLF:Y\n",
         "Problem at this point: SIZE,1+RANDOM\ninvalid option on level-2 variable, 1\n"},
        {"DEVIANCE:100\nMLF:Y\n", " Deviance and df must be specified together\n"},
        {"NONLIN:BINOMIAL,SES\nMACROIT:5\nMICROIT:5\nEMLAPLACE:Y\nMLF:Y\n",
         "EM LaPlace iterations cannot be done on Binomial analyses."},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        Parsed p = read_text(r.text);
        EXPECT_EQ(p.out, r.expected);
        EXPECT_TRUE(p.rs.fullML);  // the line after the warning was read
        EXPECT_EQ(p.model.l1Centering[3], 0);
        EXPECT_EQ(p.model.l2Centering[1], 0);
        EXPECT_EQ(p.rs.emLaplaceType, 0);
    }
}

// ---- Lookahead, line counting and state between reads -----------------------------

TEST(ReaderMessages, CommentBetweenLevel1AndLevel2IsSkipped) {
    Parsed p = read_text("LEVEL1:MATHACH=INTRCPT1+SES+RANDOM\n# intercept\nLEVEL2:INTRCPT1=INTRCPT2+RANDOM/\n"
                             "#slope\nLEVEL2:SES=INTRCPT2+SIZE/PRACAD\n");
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.model.fixedEffectOnly, (std::vector<int>{0, 0, 0, 1, 0}));
    EXPECT_EQ(p.model.numFixed, 3);
    EXPECT_EQ(p.model.l2Candidates[p.model.cand(0, 3, 0)], 3);
    EXPECT_EQ(p.model.l2Candidates[p.model.cand(0, 3, 1)], NO_ENTRY);
}

TEST(ReaderMessages, BlankLineEndsTheLevel2Equations) {
    Parsed p = read_text("LEVEL1:MATHACH=INTRCPT1+FEMALE+SES\nLEVEL2:INTRCPT1=INTRCPT2+RANDOM/\n\n"
                             "LEVEL2:FEMALE=INTRCPT2+RANDOM/\nLEVEL2:SES=INTRCPT2+RANDOM/\n");
    EXPECT_EQ(p.out,
              "Unrecognized control word, ignored: LEVEL2:FEMALE=INTRCPT2+RANDOM/\nHit return to continue "
              "Unrecognized control word, ignored: LEVEL2:SES=INTRCPT2+RANDOM/\nHit return to continue ");
    EXPECT_EQ(p.model.numFixed, 1);
    EXPECT_EQ(p.model.l2Predictors[p.model.pred(0, 2, 0)], NO_ENTRY);
    EXPECT_EQ(p.model.numTerms, 3);
}

TEST(ReaderMessages, LookaheadCountsEachLineOnce) {
    // Lines: 1 LEVEL1, 2 LEVEL2, 3 comment, 4 MLF (re-read after the lookahead), 5 error.
    std::string path = write_cmd("LEVEL1:MATHACH=INTRCPT1+SES\nLEVEL2:INTRCPT1=INTRCPT2/\n#\nMLF:Y\nOUTPUT:\n");
    EXPECT_EXIT(read_to_stderr(path, hsb()), testing::ExitedWithCode(8), "at line   5\n$");
}

TEST(ReaderMessages, MultinomialSetsEachTakeTheirOwnEquations) {
    Parsed p = read_text("NONLIN:MULTINOMIAL,3\nMACROIT:5\nMICROIT:5\n"
                             "LEVEL1:MATHACH=INTRCPT1+SES\nLEVEL2:INTRCPT1=INTRCPT2+RANDOM/\nLEVEL2:SES=INTRCPT2/\n"
                             "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/\n"
                             "CONSTRAIN:0,0,1,1\nGAMMA1:1,0,0,-1\n");
    const ModelSpec& m = p.model;
    EXPECT_EQ(m.numSets, 2);
    EXPECT_EQ(m.numFixed, 4);
    EXPECT_EQ(m.numTerms, 1);
    EXPECT_EQ(m.l1Role, (std::vector<int>{1, 0, 0, 1, -1, 1, 0, 0, 0, -1}));
    EXPECT_EQ(m.fixedEffectOnly, (std::vector<int>{0, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(m.l2Predictors[m.pred(1, 0, 1)], 2);
    EXPECT_EQ(m.constraintGroup, (std::vector<int>{0, 0, 1, 1}));
    EXPECT_EQ(m.contrasts, (std::vector<double>{1, 0, 0, -1}));
}

TEST(ReaderMessages, EachReadStartsFromTheDefaults) {
    MdmHeader h = hsb();
    RunSettings rs;
    ModelSpec model;
    rs.commandFileName = write_cmd("MLF:Y\nFIXTAU:5\n" + MODEL + "GAMMA1:1\n", "first.cmd");
    rs.mdmFileName = "hsb.mdm";
    rs.inMemory = true;
    read_command_file(rs, model, h);
    ASSERT_TRUE(rs.fullML);
    ASSERT_EQ(model.numFixed, 6);

    rs.commandFileName = write_cmd("TITLE:second\n", "second.cmd");
    read_command_file(rs, model, h);
    EXPECT_FALSE(rs.fullML);
    EXPECT_EQ(rs.fixTau, 3);
    EXPECT_EQ(model.numFixed, 0);
    EXPECT_TRUE(model.contrasts.empty());
    EXPECT_EQ(model.l2Predictors[model.pred(0, 0, 0)], NO_ENTRY);
    EXPECT_EQ(rs.mdmFileName, "hsb.mdm");  // what the command line set stays
    EXPECT_TRUE(rs.inMemory);

    rs.commandFileName.clear();
    read_command_file(rs, model, h);
    EXPECT_EQ(rs.problemTitle, "");
    EXPECT_EQ(rs.titleGiven, 0);
    EXPECT_EQ(rs.accel, 5);
    EXPECT_DOUBLE_EQ(rs.altDeviance, MISSING_VALUE);
}

TEST(ReaderMessages, StartingFlagsComeFromTheMdmFileAndTheRunKind) {
    struct Row {
        bool vknown;
        int deleteNow;
        AnalysisKind kind;
    } rows[] = {{true, 0, AnalysisKind::Linear}, {false, 1, AnalysisKind::HeteroVariance}};
    for (const Row& r : rows) {
        MdmHeader h = hsb();
        h.isVKnown = r.vknown;
        h.deleteNow = r.deleteNow;
        RunSettings rs;
        ModelSpec model;
        rs.analysisKind = r.kind;
        read_command_file(rs, model, h);
        for (int RunSettings::*flag : {&RunSettings::randomGiven, &RunSettings::constrainGiven, &RunSettings::nonlinGiven,
                                        &RunSettings::plausGiven, &RunSettings::lvrGiven, &RunSettings::resfil1Given,
                                        &RunSettings::interceptGiven, &RunSettings::homvarGiven})
            EXPECT_EQ(rs.*flag, r.vknown ? 1 : 0);
        EXPECT_EQ(rs.heteroGiven, (r.vknown || r.kind == AnalysisKind::HeteroVariance) ? 1 : 0);
        EXPECT_EQ(rs.deletionGiven, r.deleteNow);
        EXPECT_EQ(rs.level1Given, 0);
        EXPECT_EQ(rs.analysisKind, r.kind);
    }
}

TEST(ReaderMessages, GammaWithoutEarlierHypothesisIsStoredButListStopsBeforeIt) {
    Parsed p = read_text(MODEL + "GAMMA2:1,0\n");
    EXPECT_EQ(p.model.hypothesisRows[0], 0);
    EXPECT_EQ(p.model.hypothesisRows[1], 1);
    EXPECT_EQ(p.model.contrasts, (std::vector<double>{1, 0, 0, 0, 0, 0}));
}

TEST(ReaderMessages, ThirteenthCandidateAndLaterAreIgnored) {
    std::string list = "SIZE,SECTOR,PRACAD,DISCLIM,HIMINTY,MEANSES,SIZE,SECTOR,PRACAD,DISCLIM,HIMINTY,MEANSES";
    Parsed p = read_text("LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+RANDOM/" + list + ",BOGUS,ALSO\n");
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.model.l2Candidates[p.model.cand(0, 0, 11)], 6);
    EXPECT_NE(p.rs.candidatesGiven, 0);
}

bool exited_normally(int status) { return WIFEXITED(status); }

TEST(ReaderMessages, CorruptFilesEndWithAMessageNotACrash) {
    const std::vector<std::string> inputs = {
        std::string(5000, 'A') + "\n",
        "TITLE:" + std::string(3000, 't') + "\n",
        "LEVEL1:MATHACH=INTRCPT1+,,,+,1\nLEVEL2:INTRCPT1=++,/,,,\n",
        "AGQ=:Y,\nEMLAPLACE:Y,\nTAYLOR:4,99999999999999999999\n",
        "NONLIN:ORDINAL,1000\nMACROIT:1\nMICROIT:1\nLEVEL1:MATHACH=INTRCPT1+THOLD999\n",
        "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2,\nLVR:O\n",
        "\r\n\r\nMLF:Y\r\n",
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        std::string path = write_cmd(inputs[i], "corrupt" + std::to_string(i) + ".cmd");
        EXPECT_EXIT(read_to_stderr(path, hsb()), exited_normally, "");
    }

    // Counts that would make absurd tables end with the out-of-memory message.
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i) names.push_back("V" + std::to_string(i));
    std::vector<const char*> l1;
    for (const std::string& n : names) l1.push_back(n.c_str());
    MdmHeader wide = header_with(l1);
    std::string path = write_cmd("NONLIN:MULTINOMIAL,1000\n", "wide.cmd");
    EXPECT_EXIT(read_to_stderr(path, wide), testing::ExitedWithCode(3), "Out of memory");
}

}  // namespace
