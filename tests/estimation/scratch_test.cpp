// Scratch store: record layout on disk, slot limits, and that nothing is left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "estimation/estimation.h"
#include "support/test_support.h"

namespace {


// Packing order on disk: (0,0), (1,0), (1,1), (2,0), ... whatever the row stride.
TEST(ScratchStore, PackedSymmetricRecords) {
    const struct {
        int n, ld;
        std::vector<double> matrix;  // n x ld, lower triangle meaningful
        std::vector<double> packed;
    } cases[] = {
        {3, 3, {1, -9, -9, 2, 3, -9, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
        {2, 4, {7, -9, 0, 0, 8, 9, 0, 0}, {7, 8, 9}},
    };
    for (const auto& c : cases) {
        FILE* f = open_scratch();
        ASSERT_NE(f, nullptr);
        std::vector<double> work(c.packed.size() + 1, -1.0);
        dwritemat(c.n, c.matrix.data(), work.data(), f, c.ld);
        EXPECT_EQ(std::ftell(f), static_cast<long>(c.packed.size() * sizeof(double)));

        std::rewind(f);
        std::vector<double> raw(c.packed.size());
        ASSERT_EQ(read_vector(raw.data(), raw.size() * sizeof(double), f), 1);
        EXPECT_EQ(raw, c.packed) << "n=" << c.n;
        std::rewind(f);
        std::vector<double> full(c.matrix.size(), 0.0);
        EXPECT_EQ(dreadmat(c.n, work.data(), full.data(), f, c.ld), c.n);
        for (int i = 0; i < c.n; ++i)
            for (int j = 0; j <= i; ++j) {
                EXPECT_EQ(full[i * c.ld + j], c.matrix[i * c.ld + j]);
                EXPECT_EQ(full[j * c.ld + i], c.matrix[i * c.ld + j]) << "upper triangle mirrors the lower";
            }
        close_scratch(f);
    }
}

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
