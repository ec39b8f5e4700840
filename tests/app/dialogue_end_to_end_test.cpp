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

// The answer lists are in tests/data/cases/response_file_runs.txt.
TEST(ResponseFileRun, LeavesTheSameCommandFileAsTheShippedOne) {
    for (const auto& [model, typedAnswers] : read_cases("cases/response_file_runs.txt")) {
        SCOPED_TRACE(model);
        const std::string dir = make_temp_dir("dialogue-e2e");
        for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb.mdmt"}) copy_data(f, dir);
        copy_data("hsb/" + model + ".cmd", dir);
        ASSERT_EQ(run_arb2("-r hsb.mdmt", dir).status, 0);

        RunResult shipped = run_arb2("hsb.mdm " + model + ".cmd", dir);
        ASSERT_EQ(shipped.status, 0) << shipped.out;
        const std::string fromFile = read_file(dir + "/newcmd.arb");

        write_file(dir + "/answers.txt", "n\nhsb.mdm\n" + typedAnswers);  // not raw data; the MDM file
        RunResult typed = run_arb2("-r answers.txt", dir);
        ASSERT_EQ(typed.status, 0) << typed.out;
        EXPECT_NE(typed.out.find("What is the outcome variable: "), std::string::npos);
        EXPECT_EQ(comparable(read_file(dir + "/newcmd.arb")), comparable(fromFile));

        // The typed model is fitted to the end (its criterion is the default one,
        // so the estimates differ from the shipped run's in the last digits).
        EXPECT_NE(read_file(dir + "/" + model + ".out").find(" Final estimation of variance components:"),
                  std::string::npos);
    }
}

}  // namespace
