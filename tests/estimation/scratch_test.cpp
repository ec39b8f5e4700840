// Scratch store: short reads, slot limits, and that nothing is left behind. (The
// records written and read back are passed through by the EM test that compares
// scratch files with memory.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "estimation/estimation.h"
#include "support/test_support.h"

namespace {


TEST(ScratchStore, ShortMatrixReadComplainsAndGoesOn) {
    FILE* f = open_scratch();
    const double one = 3.0;
    write_vector(&one, sizeof one, f);
    std::rewind(f);
    double work[3] = {0, 0, 0};
    double m[4] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(dreadmat(2, work, m, f, 2), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bad dreadmat");
    EXPECT_EQ(m[0], 3.0);
    EXPECT_EQ(dreadmat(0, work, m, f, 2), 0);
    close_scratch(f);
}

// The 51st file (closing one frees its slot), no temporary directory, a short write:
// status and console of each in one golden copy.
TEST(ScratchStore, FailuresEndTheRun) {
    std::string readOnly = testsupport::make_temp_dir("scratch-ro") + "/ro.bin";
    testsupport::write_file(readOnly, "x");
    std::string all;
    for (int which = 0; which < 3; ++which) {
        testsupport::ChildResult r = testsupport::in_child([&] {
            if (which == 0) {
                std::vector<FILE*> files;
                for (int i = 0; i < 50; ++i) files.push_back(open_scratch());
                close_scratch(files[17]);
                if (open_scratch() == nullptr) std::exit(98);
                open_scratch();
            } else if (which == 1) {
                setenv("TMP", "/nonexistent-arb2-dir", 1);
                open_scratch();
            } else {
                double d = 1.0;
                write_vector(&d, sizeof d, std::fopen(readOnly.c_str(), "rb"));
            }
        });
        all += "==== status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("scratch_failures.txt", all);
}

TEST(ScratchStoreDeathTest, NothingLeftAfterAFatalStop) {
    std::string dir = testsupport::make_temp_dir("scratch-tmp");
    EXPECT_EXIT(
        {
            setenv("TMP", dir.c_str(), 1);
            double d[100] = {};
            for (int i = 0; i < 4; ++i) write_vector(d, sizeof d, open_scratch());
            fatal_exit(11);
        },
        testing::ExitedWithCode(11), "");
    EXPECT_TRUE(testsupport::list_dir(dir).empty());
}

}  // namespace
