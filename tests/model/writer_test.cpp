// The command-file writer: every written file reads back to the same settings,
// writing is a fixed point, lines come in their fixed order, and the two forms
// differ where they should.
#include <gtest/gtest.h>

#include <string>

#include "model/test_models.h"

using namespace testmodels;

namespace {

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
        EXPECT_EQ(describe(first.rs, first.model, false), describe(second.rs, second.model, false));
        EXPECT_EQ(written, write_text(second, c.form, h, "again.arb"));
    }
}

// Every line in its place for a shipped file; lines that depend on the model or
// the form (before the run: count variable, centring, micro and macro criteria).
TEST(Writer, WrittenFilesMatchTheGoldenCopy) {
    const std::string multinomial =
        "NONLIN:MULTINOMIAL,3\nMACROIT:40,Y\nMICROIT:25\nSTOPMICRO:0.00001\nSTOPMACRO:0.0001\n"
        "LEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\nLEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/MEANSES\n"
        "LEVEL2:SES=INTRCPT2+MEANSES,2+RANDOM/\nLEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\n"
        "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/MEANSES\nLEVEL2:SES=INTRCPT2+MEANSES,2/\n";
    const std::string binomial = "NONLIN:BINOMIAL,FEMALE\nMACROIT:40\nMICROIT:25\nTAYLOR:4,8\n"
                                 "LEVEL1:MINORITY=INTRCPT1+SES,2+RANDOM\nLEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/\n"
                                 "LEVEL2:SES=INTRCPT2/\n";
    const std::string hetero = "MACROIT:20,N\nMICROIT:100\n" + MODEL + "HETEROL1VAR:MINORITY,FEMALE\n";
    using F = CommandFileForm;
    const std::pair<std::string, F> cases[] = {{"hsb_full_tests.cmd", F::PostRun}, {multinomial, F::PreRun},
                                               {binomial, F::PreRun}, {binomial, F::PostRun},
                                               {hetero, F::PreRun}, {hetero, F::PostRun}};
    std::string all;
    for (const auto& [text, form] : cases) {
        MdmHeader h = text == "hsb_full_tests.cmd" ? hsb_header() : hsb();
        all += std::string("==== ") + (form == F::PreRun ? "before" : "after") + " the run\n" +
               write_text(read_case(text, h), form, h, "newcmd.arb");
    }
    testsupport::expect_golden("writer_files.txt", all);
}

TEST(Writer, AFileThatCannotBeCreatedIsSkipped) {
    MdmHeader h = hsb();
    Parsed p = read_case("hsb_null_reml.cmd", h);
    std::string path = dir() + "/missing/newcmd.arb";
    write_command_file(path.c_str(), CommandFileForm::PostRun, p.rs, p.model, h);
    EXPECT_TRUE(testsupport::read_file(path).empty());
}

}  // namespace
