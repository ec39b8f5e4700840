// Command-file reader: every keyword, equation, warning and message that ends a
// run. Reads that go to the end are pinned by what they change in the settings
// and model and what they print; reads that end the run by their status and
// console; both in golden copies, one entry per command text.
#include "model/test_models.h"

namespace {

using namespace testmodels;

const std::string NONLIN = "NONLIN:BERNOULLI\nMACROIT:10\nMICROIT:5\n";

// A command text on one line, for the headings of the golden copies.
std::string shown(std::string t) {
    for (char& c : t) c = c == '\n' ? '|' : c == '\r' ? '~' : c;
    return t.size() > 200 ? t.substr(0, 200) + "..." : t;
}

// What reading `text` printed and changed, relative to reading `base`.
std::string read_entry(const std::string& text, const std::string& base, const MdmHeader& h = hsb()) {
    Parsed p = read_text(text, h);
    return "==== " + shown(text) + "\n" + p.out + (p.out.empty() ? "" : "\n") +
           changed_lines(describe(p.rs, p.model), base);
}

std::string described(const std::string& text) {
    Parsed p = read_text(text);
    return describe(p.rs, p.model);
}

TEST(CommandReader, KeywordsEquationsAndWarnings) {
    const std::string plain[] = {
        "ACCEL:7\n", "ACCEL:1\n", "ACCEL:0\nMLF:Y\n", "MLF:y\n", "TAYLOR:4,8\n", "TAYLOR:2\n", "NUMIT:50,Y\n",
        "NUMIT:50\n", "FULLOUTPUT:N\n", "PRINTVARIANCE-COVARIANCE:a\n", "PRINTVARIANCE-COVARIANCE:X\n",
        "GRAPHGAMMAS:g a.dat\n", "POPAVIT:Y\n", "POPAVIT:7\n", "LEV1OLS:12\n", "NOBASE:x\n", "HOMVAR:Y\n",
        "HOMVAR:Y\nFIXSIGMA2:2.5\n", "STOPVAL:0.001\n", "STOPMICRO:0.002\nSTOPMACRO:0.003\n",
        "DEVIANCE:123.5\nDF:3\n", "HYPOTH:n\n", "TITLE:\n",
        "TITLE:0123456789012345678901234567890123456789012345678901234567890123456789\n", "OUTPUT:out.txt\n",
        "LEVEL1WEIGHT:female,ignored\nLEVEL2WEIGHT:size\nVARIANCEKNOWN:SES\n", "FIXTAU:5\nDEBUG:2\n",
        "RESFIL1NAME:a.out\nRESFILNAME:c.out\n", "RESFIL2NAME:b.out\nRESFILTYPE:stata\n",
        "LEVEL1DELETION:ses,Minority\n", "CONSTRAIN:N\n", "NONLIN:n\n",
        "NONLIN:POISSON,ses\nMACROIT:20,y\nMICROIT:5\n", "NONLIN:bernoulli\nMACROIT:10\nMICROIT:5\nSTOPMICRO:0.01\n",
        "NONLIN:BERNOULLI\nMACROIT:10\nMICROIT:5\nLAPLACE6:Y,20\n",
        "NONLIN:BERNOULLI\nMACROIT:10\nMICROIT:5\nLAPLACE:Y,30\n", "LAPLACE:n,30\n", "EMLAPLACE3:Y,40\n",
        "AGQ=7:Y,25\n", "NONLIN:MULTINOMIAL,4\nMACROIT:10\nMICROIT:5\nRESFIL1:Y\n",
        "NONLIN:ordinal,4\nMACROIT:10\nMICROIT:5\n", "NONLIN:ORDINAL,12\nMACROIT:10\nMICROIT:5\n",
        "RESFILTYPE:FREEFORMAT\n", "RESFILTYPE:systat\n", "RESFILTYPE:SAS\n", "RESFILTYPE:SPSS\n",
        "RESFILTYPE:Stata\n", "FOO:1\nMLF:Y\n", "LEVEL1:MATHACH=INTRCPT1+SES,3+RANDOM\nMLF:Y\n",
        "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+SIZE,1+RANDOM/\nMLF:Y\n", "DEVIANCE:100\nMLF:Y\n",
        "NONLIN:BINOMIAL,SES\nMACROIT:5\nMICROIT:5\nEMLAPLACE:Y\nMLF:Y\n",
        "LEVEL1:MATHACH=INTRCPT1+SES+RANDOM\n# intercept\nLEVEL2:INTRCPT1=INTRCPT2+RANDOM/\n#slope\nLEVEL2:SES=INTRCPT2+SIZE/PRACAD\n",
        "LEVEL1:MATHACH=INTRCPT1+FEMALE+SES\nLEVEL2:INTRCPT1=INTRCPT2+RANDOM/\n\nLEVEL2:FEMALE=INTRCPT2+RANDOM/\nLEVEL2:SES=INTRCPT2+RANDOM/\n",
        "NONLIN:MULTINOMIAL,3\nMACROIT:5\nMICROIT:5\nLEVEL1:MATHACH=INTRCPT1+SES\nLEVEL2:INTRCPT1=INTRCPT2+RANDOM/\nLEVEL2:SES=INTRCPT2/\nLEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+SECTOR+RANDOM/\nCONSTRAIN:0,0,1,1\nGAMMA1:1,0,0,-1\n",
        "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+RANDOM/SIZE,SECTOR,PRACAD,DISCLIM,HIMINTY,MEANSES,SIZE,SECTOR,PRACAD,DISCLIM,HIMINTY,MEANSES,BOGUS,ALSO\n"};
    const std::string afterModel[] = {
        "HETEROL1VAR:ses,intrcpt1\nMACROIT:10\nMICROIT:5\n", "PLAUSVALS:MINORITY,FEMALE\n", "LVR:o,P\n",
        "CONSTRAIN:1,1,0\n", "GAMMA2:0,0,1\nGAMMA1:1,2,3,4,5,6,7,8\nGAMMA1:0,1\nGAMMA25:1\n",
        "RESFIL1:Y//size\nRESFIL:y/disclim,INTRCPT2\n", "RESFIL1:Y/intrcpt1,female\nRESFIL2:N\n", "GAMMA2:1,0\n"};
    std::string all;
    const std::string empty = described(""), model = described(MODEL);
    for (const std::string& t : plain) all += read_entry(t, empty);
    for (const std::string& t : afterModel) all += read_entry(MODEL + t, model);
    // The shipped HSB command files.
    for (const char* f : {"hsb_null_reml", "hsb_null_ml", "hsb_rc_reml", "hsb_rc_ml", "hsb_full_reml", "hsb_full_ml",
                          "hsb_full_tests"})
        all += read_entry(testsupport::read_file(testsupport::data_path(std::string("hsb/") + f + ".cmd")), empty);
    // The starting flags come from the MDM file and the kind of run.
    for (int vknown = 0; vknown < 2; ++vknown) {
        MdmHeader h = hsb();
        h.isVKnown = vknown;
        h.deleteNow = 1 - vknown;
        RunSettings rs;
        ModelSpec m;
        rs.analysisKind = vknown ? AnalysisKind::Linear : AnalysisKind::HeteroVariance;
        read_command_file(rs, m, h);
        all += "==== no command file, V-known " + std::to_string(vknown) + "\n" + changed_lines(describe(rs, m), empty);
    }
    testsupport::expect_golden("reader_reads.txt", all);
}

// Reading into settings and a model used before gives what a fresh read gives,
// and keeps what the command line set.
TEST(CommandReader, EachReadStartsFromTheDefaults) {
    MdmHeader h = hsb();
    RunSettings rs;
    ModelSpec model;
    rs.mdmFileName = "hsb.mdm";
    rs.inMemory = true;
    for (const std::string& text : {"MLF:Y\nFIXTAU:5\n" + MODEL + "GAMMA1:1\n", std::string("TITLE:second\n"), std::string()}) {
        rs.commandFileName = text.empty() ? "" : write_cmd(text, "reread.cmd");
        read_command_file(rs, model, h);
        RunSettings freshRs;
        ModelSpec freshModel;
        freshRs.commandFileName = rs.commandFileName;
        read_command_file(freshRs, freshModel, h);
        EXPECT_EQ(describe(rs, model), describe(freshRs, freshModel)) << text;
        EXPECT_EQ(rs.mdmFileName, "hsb.mdm");
        EXPECT_TRUE(rs.inMemory);
    }
}

TEST(CommandReader, MessagesThatEndTheRun) {
    const std::string texts[] = {
        "TAYLOR:3\n", "NUMIT:0\n", "MICROIT:-2\n", "# c\nOUTPUT:\n", "ACCEL: 5\n", "NOCOLON\n", "NONLIN:GAMMA\n",
        MODEL + "NONLIN:MULTINOMIAL,3\n", "RESFIL2:N\nNONLIN:ORDINAL,3\n", "NONLIN:ORDINAL\n",
        "NONLIN:MULTINOMIAL,1\n", "NONLIN:MULTINOMIAL,1000000000\n",
        "NONLIN:ORDINAL,3\nMACROIT:5\nMICROIT:5\nLEVEL1:MATHACH=SES\n",
        "NONLIN:ORDINAL,3\nMACROIT:5\nMICROIT:5\nLEVEL1:MATHACH=INTRCPT1+THOLD2+THOLD2\n",
        "LEVEL1:MATHACH=INTRCPT1+SES+MINORITY\n", "LEVEL1:MATHACH INTRCPT1\n", "LEVEL1:NOPE=INTRCPT1\n",
        "LEVEL1:MATHACH=INTRCPT1+xyz\n", MODEL + "LEVEL1:MATHACH=INTRCPT1\n",
        "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1 INTRCPT2\n",
        "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+BOGUS\n",
        "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2+SIZE+SIZE\n",
        "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2/SECTOR,FOO\n", "HETEROL1VAR:SES\n" + MODEL,
        "PLAUSVALS:SES\n" + MODEL, "LVR:O\n" + MODEL, "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2\nLVR:O\n",
        "NONLIN:MULTINOMIAL,3\nMACROIT:5\nMICROIT:5\n" + MODEL + "LVR:O,P\n", MODEL + "LVR:O,X\n",
        "GAMMA1:1,0\n" + MODEL, "CONSTRAIN:1,1\n" + MODEL, "RESFILTYPE:EXCEL\n", "RESFIL1:Y/NOPE\n",
        "RESFIL2:Y/SES\n", "LEVEL1DELETION:NOPE\n", "LEVEL2WEIGHT:SES\n", "LEVEL1WEIGHT:SIZE\n",
        "VARIANCEKNOWN:NOPE\n", "NONLIN:BINOMIAL,NOPE\n", "NONLIN:BINOMIAL,\n",
        NONLIN + MODEL + "PLAUSVALS:MINORITY,FEMALE\n",
        "MACROIT:5\nMICROIT:5\n" + MODEL + "HETEROL1VAR:SES\nPLAUSVALS:MINORITY,FEMALE\n",
        NONLIN + MODEL + "HETEROL1VAR:SES\n", "MACROIT:5\n", "NONLIN:POISSON\n", NONLIN + "NUMIT:5\n",
        NONLIN + "STOPVAL:0.1\n", "NONLIN:POISSON\nMACROIT:5\nMICROIT:5\nLAPLACE6:Y\n",
        "NONLIN:BINOMIAL,SES\nMACROIT:5\nMICROIT:5\n" + MODEL, "NONLIN:POISSON,SES\nMACROIT:5\nMICROIT:5\n" + MODEL,
        MODEL + "PLAUSVALS:MINORITY,SES\n",
        "LEVEL1:MATHACH=INTRCPT1+SES\nLEVEL2:INTRCPT1=INTRCPT2/\n#\nMLF:Y\nOUTPUT:\n", std::string(5000, 'A') + "\n",
        "TITLE:" + std::string(3000, 't') + "\n", "LEVEL1:MATHACH=INTRCPT1+,,,+,1\nLEVEL2:INTRCPT1=++,/,,,\n",
        "AGQ=:Y,\nEMLAPLACE:Y,\nTAYLOR:4,99999999999999999999\n",
        "NONLIN:ORDINAL,1000\nMACROIT:1\nMICROIT:1\nLEVEL1:MATHACH=INTRCPT1+THOLD999\n",
        "LEVEL1:MATHACH=INTRCPT1\nLEVEL2:INTRCPT1=INTRCPT2,\nLVR:O\n", "\r\n\r\nMLF:Y\r\n"};
    std::string all;
    auto entry = [&](const std::string& title, const std::string& path, const MdmHeader& h) {
        testsupport::ChildResult r = testsupport::in_child([&] { read_to_stderr(path, h); });
        std::string out = r.out;
        for (std::size_t at; (at = out.find(dir())) != std::string::npos;) out.replace(at, dir().size(), "<dir>");
        all += "==== " + shown(title) + "\nstatus " + std::to_string(r.status) + "\n" + out + "\n";
    };
    for (const std::string& t : texts) entry(t, write_cmd(t, "fatal.cmd"), hsb());
    const std::string ordinal = "NONLIN:ORDINAL,4\nMACROIT:5\nMICROIT:5\n";
    const std::string multi = "NONLIN:MULTINOMIAL,4\nMACROIT:5\nMICROIT:5\n";
    // Names starting with THOLD are reserved in ordinal runs only.
    entry(ordinal + " (tholdx)", write_cmd(ordinal), header_with({"Y", "tholdx"}));
    entry(ordinal + " (XTHOLD)", write_cmd(ordinal), header_with({"Y", "XTHOLD"}));
    entry(multi + " (THOLDX)", write_cmd(multi), header_with({"Y", "THOLDX"}));
    MdmHeader vk = hsb();
    vk.isVKnown = true;
    entry("RESFIL1:Y (V-known)", write_cmd("RESFIL1:Y\n"), vk);
    entry("RESFIL1:N (V-known)", write_cmd("RESFIL1:N\n"), vk);
    entry("(no such file)", dir() + "/absent.cmd", hsb());
    // Counts that would make absurd tables end with the out-of-memory message.
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i) names.push_back("V" + std::to_string(i));
    std::vector<const char*> l1;
    for (const std::string& n : names) l1.push_back(n.c_str());
    entry("NONLIN:MULTINOMIAL,1000 (2000 variables)", write_cmd("NONLIN:MULTINOMIAL,1000\n"), header_with(l1));
    testsupport::expect_golden("reader_messages.txt", all);
}

}  // namespace
