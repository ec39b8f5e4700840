// The command line, pass bookkeeping, and whole runs of the arb2 executable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/driver_internal.h"
#include "app_test_support.h"
#include "model/test_models.h"

namespace {

using namespace apptest;
using testsupport::run_arb2;

// -e before -m counts 0; a bad pass name; options end at an operand or "--"; -v
// prints the version: what each command line sets and prints, in one golden copy.
TEST(CommandLine, OptionsAndOperands) {
    const std::vector<std::string> lines[] = {
        {"-e", "-m", "i3"}, {"-m", "i3", "-e"}, {"-M", "i0", "-E", "-E"}, {"-m", "x5"}, {"-I", "1"}, {"-w", "-W", "a.mdm"},
        {"a.mdm", "b.cmd", "extra"}, {"--", "-v"}, {"a.mdm", "-v"}, {"-vw", "x.mdm"}, {"-V", "-p", "n"}};
    std::string all;
    for (const auto& args : lines) {
        std::vector<std::string> words = {"arb2"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        RunSettings rs;
        CommandLine cl;
        exit_state().waitAtExit = 0;
        testing::internal::CaptureStdout();
        parse_command_line(static_cast<int>(words.size()), argv.data(), rs, cl);
        all += "====";
        for (const std::string& w : args) all += " " + w;
        all += "\n" + testing::internal::GetCapturedStdout() + "mi " + std::to_string(rs.miActive) + " pass " +
               std::to_string(rs.miPass) + " first " + std::to_string(rs.miFirst) + " last " + std::to_string(rs.miLast) +
               " count " + std::to_string(rs.miCount) + " memory " + std::to_string(rs.inMemory) + " wait " +
               std::to_string(exit_state().waitAtExit) + " template " + std::to_string(cl.templateGiven) + " mdm [" +
               rs.mdmFileName + "] cmd [" + rs.commandFileName + "]\n";
    }
    exit_state().waitAtExit = 0;
    testsupport::expect_golden("command_lines.txt", all);
}

TEST(PassOutputName, CutAtFirstPointAndNumbered) {
    const struct {
        const char* name;
        int pass;
        const char* expected;
    } cases[] = {
        {"results.txt", 1, "results.1"}, {"results.txt", 2, "results.2"}, {"run.1.out", 3, "run.3"},
        {"plain", 10, "plain.10"},
    };
    for (const auto& c : cases) EXPECT_EQ(pass_output_name(c.name, c.pass), c.expected) << c.name;
}

// A model on SES or a plausible value, whose plausible values are slots 2..4.
ModelSpec pv_model(const MdmHeader& h, int outcome, int predictorSlot) {
    ModelSpec m;
    size_model_tables(h, m);
    testmodels::set_outcome(m, outcome);
    testmodels::add_term(m, 0, predictorSlot, 1);
    m.l2Predictors[m.pred(0, predictorSlot, 0)] = 1;
    m.plausibleValues = {2, 3, 4};
    return m;
}

// The next plausible value takes the previous one's place, as the outcome and as a
// predictor (role, centring and level-2 equation move along), and the pass's command
// file is the first temporary name; the model after each step in one golden copy.
TEST(PlausibleValues, NextVariableTakesThePreviousPlace) {
    std::string dir = testsupport::make_temp_dir("pv");
    exit_state().tempNames[0] = dir + "/pvcmd";
    MdmHeader h = testmodels::header_with({"SES", "PV1", "PV2", "PV3"});
    std::string all;
    for (const auto& [outcome, predictor] : {std::pair{2, 1}, std::pair{1, 2}}) {
        RunSettings rs;
        ModelSpec m = pv_model(h, outcome, predictor);
        for (int step = 0; step < 3; ++step) {
            const bool next = next_plausible_value(rs, m, h);
            all += "==== outcome " + std::to_string(outcome) + ", step " + std::to_string(step) + ": " +
                   std::to_string(next) + "\n" + testmodels::describe(rs, m);
        }
        EXPECT_EQ(rs.commandFileName, dir + "/pvcmd");
        EXPECT_TRUE(file_exists(rs.commandFileName.c_str()));
    }
    exit_state().tempNames[0].clear();
    testsupport::expect_golden("plausible_values.txt", all);
}

// Command lines and console answers of tests/data/cases/arb2_runs.txt (a section's
// title is the command line, its body the standard input): output and status of each,
// with present.mdm an empty file and answers.rsp a response file naming it.
TEST(Arb2Runs, ConsoleAndStatus) {
    std::string all;
    for (const auto& [args, input] : testsupport::read_cases("cases/arb2_runs.txt")) {
        std::string work = testsupport::make_temp_dir("run");
        std::string tmp = testsupport::make_temp_dir("run-tmp");
        testsupport::write_file(work + "/present.mdm", "");
        testsupport::write_file(work + "/answers.rsp", "n\npresent.mdm\n");
        testsupport::RunResult r = run_arb2(args, work, input, tmp);
        for (std::size_t at; (at = r.out.find(ARB2_EXE)) != std::string::npos;) r.out.replace(at, std::strlen(ARB2_EXE), "arb2");
        all += "==== " + args + ", status " + std::to_string(r.status) + "\n" + r.out + "\n";
        EXPECT_TRUE(testsupport::list_dir(tmp).empty()) << args << ": temporary files left behind";
    }
    testsupport::expect_golden("arb2_runs.txt", all);
}

// The fitted numbers are checked end to end elsewhere, and the imputation passes by the
// plausible-value series; here the console and the files a run makes depending on its output name.
TEST(Arb2Runs, ConsoleAndOutputFile) {
    std::string work = testsupport::make_temp_dir("run-hsb");
    std::string tmp = testsupport::make_temp_dir("run-hsb-tmp");
    for (const char* f : {"hsb/hsb.mdmt", "hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb_null_reml.cmd"})
        testsupport::copy_data(f, work);
    testsupport::RunResult build = run_arb2("-r hsb.mdmt", work, "", tmp);
    ASSERT_EQ(build.status, 0) << build.out;
    EXPECT_EQ(build.out.find("raw data?"), std::string::npos);

    // A named output file: the console only says that work is going on.
    testsupport::RunResult plain = run_arb2("hsb.mdm hsb_null_reml.cmd", work, "", tmp);
    EXPECT_NE(plain.out.find("Computing . . ., please wait\n"), std::string::npos) << plain.out;

    // OUTPUT:stdout in any case puts the report on the console and opens no file.
    std::string cmd = testsupport::read_file(work + "/hsb_null_reml.cmd");
    cmd.replace(cmd.find("OUTPUT:hsb_null_reml.out"), 24, "OUTPUT:StdOut");
    testsupport::write_file(work + "/console.cmd", cmd);
    testsupport::RunResult console = run_arb2("hsb.mdm console.cmd", work, "", tmp);
    EXPECT_NE(console.out.find("SPECIFICATIONS"), std::string::npos) << console.out;
    EXPECT_EQ(console.out.find("Computing"), std::string::npos) << console.out;
    EXPECT_FALSE(file_exists((work + "/StdOut").c_str()));

    EXPECT_TRUE(testsupport::list_dir(tmp).empty());
}

}  // namespace
