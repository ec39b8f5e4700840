// A researcher with no command file answers every question from a response
// file (arb2 -r answers.txt): the run must fit the model and leave a newcmd.arb
// that says the same as the one left by the shipped command file.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testsupport;

namespace {

// The command file without the lines only a command file can set (the NUMIT
// suffix and the convergence criterion are not asked at the console).
std::string comparable(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.rfind("NUMIT:", 0) == 0 || line.rfind("STOPVAL:", 0) == 0) continue;
        out += line + "\n";
    }
    return out;
}

struct DialogueCase {
    const char* model;
    std::vector<std::string> answers;  // after the MDM-file questions
};

class ResponseFileRun : public ::testing::TestWithParam<DialogueCase> {};

TEST_P(ResponseFileRun, LeavesTheSameCommandFileAsTheShippedOne) {
    const DialogueCase& c = GetParam();
    const std::string dir = make_temp_dir("dialogue-e2e");
    for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb.mdmt"}) copy_data(f, dir);
    copy_data(std::string("hsb/") + c.model + ".cmd", dir);
    ASSERT_EQ(run_arb2("-r hsb.mdmt", dir).status, 0);

    RunResult shipped = run_arb2(std::string("hsb.mdm ") + c.model + ".cmd", dir);
    ASSERT_EQ(shipped.status, 0) << shipped.out;
    const std::string fromFile = read_file(dir + "/newcmd.arb");

    std::string answers = "n\nhsb.mdm\n";  // not raw data; the MDM file
    for (const auto& a : c.answers) answers += a + "\n";
    write_file(dir + "/answers.txt", answers);
    RunResult typed = run_arb2("-r answers.txt", dir);
    ASSERT_EQ(typed.status, 0) << typed.out;
    EXPECT_NE(typed.out.find("What is the outcome variable: "), std::string::npos);
    EXPECT_EQ(comparable(read_file(dir + "/newcmd.arb")), comparable(fromFile));

    // The typed model is fitted to the end (its criterion is the default one,
    // so the estimates differ from the shipped run's in the last digits).
    EXPECT_NE(read_file(dir + "/" + c.model + ".out").find(" Final estimation of variance components:"),
              std::string::npos);
}

const std::vector<std::string> TAIL = {"n", "n", "n", "n", "n", "5000", "n"};

std::vector<std::string> with_tail(std::vector<std::string> head, const char* title, const char* output) {
    head.insert(head.end(), TAIL.begin(), TAIL.end());
    head.push_back(title);
    head.push_back(output);
    return head;
}

INSTANTIATE_TEST_SUITE_P(
    Hsb, ResponseFileRun,
    ::testing::Values(
        DialogueCase{"hsb_null_reml", with_tail({"n", "4", "2", "0", "n", "0", "n", "0", "n"},
                                                "HSB unconditional model", "hsb_null_reml.out")},
        DialogueCase{"hsb_rc_reml",
                     with_tail({"n", "4", "2", "3", "0", "y", "1", "n", "0", "0", "n", "0", "0", "n"},
                               "HSB random-coefficient model, SES group-mean centred", "hsb_rc_reml.out")},
        DialogueCase{"hsb_full_reml",
                     with_tail({"n", "4", "2", "3", "0", "y", "1", "n", "2", "6", "0", "-1", "n", "y", "0", "2", "0", "0", "n"},
                               "HSB intercepts- and slopes-as-outcomes model", "hsb_full_reml.out")}),
    [](const auto& info) { return std::string(info.param.model); });

}  // namespace
