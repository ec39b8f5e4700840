// SYSTAT .SYS files from the fixture writer: storage types, comment lines,
// segmented records, character variables, and damaged or cut-short headers.
#include <gtest/gtest.h>

#include "mdm/pkg_systat_fixture.h"
#include "support/test_support.h"

using namespace pkgfix;

namespace {

// Four records: ID, SES (one missing), MATH and `extra` numeric variables, then
// the character SCHOOL$ and NAME$.
SystatSpec school_file(bool dbl, bool comments, bool segmentAll, int extra) {
    SystatSpec sp{{"ID", "SES", "MATH"}, {}, {}, dbl, {}, segmentAll};
    if (comments) sp.comments = {"first comment line", "second $$ comment"};
    for (int i = 0; i < extra; ++i) sp.names.push_back("X" + std::to_string(i));
    sp.names.insert(sp.names.end(), {"SCHOOL$", "NAME$"});
    const char* schools[] = {"a12", "a12", "b7", "c0012"};
    for (int r = 0; r < 4; ++r) {
        sp.num.push_back({100.0 + r / 2, r == 1 ? -1e36 : 0.5 * r, 10.25 + r});
        for (int i = 0; i < extra; ++i) sp.num.back().push_back(i);
        sp.text.push_back({schools[r], "pupil"});
    }
    return sp;
}

struct Layout {
    bool dbl, comments, segmentAll;
    int extra;  // records over 128 bytes are segmented
};

TEST(SystatFiles, EveryLayoutDeliversTheSameRecords) {
    const Layout layouts[] = {{true, false, false, 0}, {false, false, false, 0}, {true, true, false, 0},
                              {true, false, true, 0},  {true, true, false, 40},  {false, false, false, 60}};
    std::string path = testsupport::make_temp_dir("systat") + "/s.sys";
    for (const Layout& l : layouts) {
        testsupport::write_file(path, systat_file(school_file(l.dbl, l.comments, l.segmentAll, l.extra)));
        std::vector<std::string> vars = {"math", "ses"};
        if (l.extra) vars.push_back("x" + std::to_string(l.extra - 1));
        ReadAll got = read_all(RAW_SYSTAT, path, 1, "school$", vars);
        EXPECT_EQ(got.last, PKG_END);
        ASSERT_EQ(got.ids.size(), 4u) << l.extra;
        const char* ids[] = {"         A12", "         A12", "          B7", "       C0012"};
        for (int r = 0; r < 4; ++r) {
            std::vector<double> want = {10.25 + r, r == 1 ? MISSING_VALUE : 0.5 * r};  // in the order chosen
            if (l.extra) want.push_back(l.extra - 1);
            EXPECT_EQ(got.ids[r], ids[r]);
            EXPECT_EQ(got.values[r], want) << r;
        }
        ReadAll numeric = read_all(RAW_SYSTAT, path, 1, "id", {"ses"});
        EXPECT_TRUE(numeric.numericId);
        EXPECT_EQ(numeric.ids, (std::vector<std::string>{"100", "100", "101", "101"}));
    }
}

TEST(SystatFiles, DamagedHeadersEndTheRun) {
    SystatSpec longName = school_file(true, false, false, 0);
    longName.names[1] = "SESSCORE9";
    SystatSpec dollar = school_file(true, false, false, 0);
    dollar.names[3] = "  ABCDEFGH$";  // nine characters are allowed when the ninth is "$"
    const struct { std::string bytes; int status; std::string message; } cases[] = {
        {Bytes().u8(6).i16(0).i16(0).i16(2).u8(6).s, 1, ""},
        {Bytes().u8(6).i16(3).i16(0).i16(7).u8(6).s, 1, ""},
        {Bytes().u8(6).i16(2).i16(0).i16(0).u8(6).u8(72).text("c", 72).u8(72).s, 1, ""},  // comments never end
        {systat_file(longName), 1, "\nVariable names limited to 8 characters.\n"},
        {systat_file(dollar), 77, "[3]"},
    };
    std::string path = testsupport::make_temp_dir("systatbad") + "/bad.sys";
    auto header_run = [&] {
        return in_child([&] {
            PackageFile p;
            pkg_read_header(p, std::fopen(path.c_str(), "rb"), RAW_SYSTAT, 1, path.c_str());
            std::printf("[%d]", pkg_find_variable(p, "abcdefgh$"));
        });
    };
    for (const auto& c : cases) {
        testsupport::write_file(path, c.bytes);
        ChildResult r = header_run();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.status == 1 ? c.message + " " + path + " is an empty file\n" : c.message);
    }
    // Cut before the first record: no readable header; cut inside the records: reading stops cleanly.
    std::string whole = systat_file(school_file(true, true, false, 0));
    const std::size_t record = 1 + 3 * 8 + 2 * 12 + 1, headerEnd = whole.size() - 4 * record;
    for (std::size_t len = 0; len < headerEnd; len += len < 64 ? 1 : 7) {
        testsupport::write_file(path, whole.substr(0, len));
        ASSERT_EQ(header_run().status, 1) << len;
    }
    for (std::size_t len = headerEnd; len < whole.size(); ++len) {
        testsupport::write_file(path, whole.substr(0, len));
        ReadAll got = read_all(RAW_SYSTAT, path, 1, "id", {"math"});
        EXPECT_EQ(got.last, (len - headerEnd) % record == 0 ? PKG_END : PKG_READ_ERROR) << len;
        EXPECT_EQ(got.ids.size(), (len - headerEnd) / record);
    }
}

TEST(SystatFiles, NumericIdsOfMoreThanTwelveDigitsEndTheRun) {
    std::string path = testsupport::make_temp_dir("systatid") + "/s.sys";
    SystatSpec sp = school_file(true, false, false, 0);
    sp.num[2][0] = -1234567890123.0;
    testsupport::write_file(path, systat_file(sp));
    ChildResult r = in_child([&] { read_all(RAW_SYSTAT, path, 1, "id", {"ses"}); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ID must be no more than 12 digits long\n");
}

}  // namespace
