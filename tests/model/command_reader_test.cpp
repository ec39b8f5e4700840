// Command-file reader: every keyword, equation, warning and message that ends a
// run. Reads that go to the end are pinned by what they change in the settings
// and model and what they print; reads that end the run by their status and
// console; both in golden copies, one entry per command text.
#include "model/test_models.h"

namespace {

using namespace testmodels;

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

// The texts are in tests/data/cases/reader_reads.txt.
TEST(CommandReader, KeywordsEquationsAndWarnings) {
    std::string all;
    const std::string empty = described(""), model = described(MODEL);
    for (const auto& [title, text] : testsupport::read_cases("cases/reader_reads.txt"))
        all += title.empty() ? read_entry(text, empty) : read_entry(MODEL + text, model);
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

// The texts are in tests/data/cases/reader_messages.txt, but for three long or odd ones.
TEST(CommandReader, MessagesThatEndTheRun) {
    std::string all;
    auto entry = [&](const std::string& title, const std::string& path, const MdmHeader& h) {
        testsupport::ChildResult r = testsupport::in_child([&] { read_to_stderr(path, h); });
        std::string out = r.out;
        for (std::size_t at; (at = out.find(dir())) != std::string::npos;) out.replace(at, dir().size(), "<dir>");
        all += "==== " + shown(title) + "\nstatus " + std::to_string(r.status) + "\n" + out + "\n";
    };
    for (const auto& c : testsupport::read_cases("cases/reader_messages.txt")) entry(c.second, write_cmd(c.second), hsb());
    for (const std::string& t : {std::string(5000, 'A') + "\n", "TITLE:" + std::string(3000, 't') + "\n", std::string("\r\n\r\nMLF:Y\r\n")})
        entry(t, write_cmd(t), hsb());
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
