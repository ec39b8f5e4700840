// The command-file writer: every written file reads back to the same settings,
// writing is a fixed point, lines come in their fixed order, and the two forms
// differ where they should.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

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

// The form ("pre" or "post" the run) and the text (a shipped file the title names, else the body) of each case.
std::vector<std::tuple<CommandFileForm, std::string, std::string>> cases(const char* file) {
    std::vector<std::tuple<CommandFileForm, std::string, std::string>> out;
    for (const auto& [title, body] : testsupport::read_cases(file)) {
        const std::string shipped = title.substr(title.find(' ') + 1);
        out.emplace_back(title.rfind("pre", 0) == 0 ? CommandFileForm::PreRun : CommandFileForm::PostRun, title,
                         shipped.find(".cmd") != std::string::npos ? shipped : body);
    }
    return out;
}

TEST(Writer, ReadWriteReadGivesTheSameSettingsAndTheSameFile) {
    MdmHeader h = hsb();
    for (const auto& [form, title, text] : cases("cases/writer_round_trips.txt")) {
        SCOPED_TRACE(title);
        Parsed first = read_case(text, h);
        ASSERT_EQ(first.out, "");
        std::string written = write_text(first, form, h, "newcmd.arb");
        Parsed second = read_path(dir() + "/newcmd.arb", h);
        second.rs.dataSourceName = "hsb.mdm";
        EXPECT_EQ(describe(first.rs, first.model, false), describe(second.rs, second.model, false));
        EXPECT_EQ(written, write_text(second, form, h, "again.arb"));
    }
}

// Every line in its place for a shipped file; lines that depend on the model or
// the form (before the run: count variable, centring, micro and macro criteria).
TEST(Writer, WrittenFilesMatchTheGoldenCopy) {
    std::string all;
    for (const auto& [form, title, text] : cases("cases/writer_files.txt")) {
        MdmHeader h = text == "hsb_full_tests.cmd" ? hsb_header() : hsb();
        all += std::string("==== ") + (form == CommandFileForm::PreRun ? "before" : "after") + " the run\n" +
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
