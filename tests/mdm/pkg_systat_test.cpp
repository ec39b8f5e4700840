// SYSTAT .SYS files from the fixture writer: storage types, comment lines,
// segmented records, character variables, and damaged headers.
#include <gtest/gtest.h>

#include "mdm/pkg_systat_fixture.h"
#include "support/test_support.h"

using namespace pkgfix;

namespace {

SysValue num(double v) { return SysValue{false, v, ""}; }
SysValue chr(const std::string& t) { return SysValue{true, 0.0, t}; }

// Three groups of records with a character and a numeric ID, a missing value,
// and `extra` further numeric variables to make records long.
SystatSpec school_file(bool dbl, bool comments, bool segmentAll, int extra) {
    SystatSpec sp;
    sp.doubleStorage = dbl;
    sp.segmentAll = segmentAll;
    if (comments) sp.comments = {"first comment line", "second $$ comment"};
    sp.names = {"SCHOOL$", "ID", "SES", "NAME$", "MATH"};
    for (int i = 0; i < extra; ++i) sp.names.push_back("X" + std::to_string(i));
    const char* schools[] = {"a12", "a12", "b7", "c0012"};
    for (int r = 0; r < 4; ++r) {
        std::vector<SysValue> row = {chr(schools[r]), num(100 + r / 2), num(r == 1 ? -1e36 : 0.5 * r),
                                     chr("pupil"), num(10.25 + r)};
        for (int i = 0; i < extra; ++i) row.push_back(num(i));
        sp.rows.push_back(row);
    }
    return sp;
}

struct Layout {
    bool dbl;
    bool comments;
    bool segmentAll;
    int extra;   // further numeric variables (records over 128 bytes are segmented)
};

const Layout kLayouts[] = {
    {true, false, false, 0}, {false, false, false, 0}, {true, true, false, 0},
    {true, false, true, 0},  {true, true, false, 40},  {false, false, false, 60},
};

TEST(SystatFiles, EveryLayoutDeliversTheSameRecords) {
    std::string dir = testsupport::make_temp_dir("systat");
    for (const Layout& l : kLayouts) {
        std::string path = dir + "/s.sys";
        testsupport::write_file(path, systat_file(school_file(l.dbl, l.comments, l.segmentAll, l.extra)));
        std::vector<std::string> vars = {"math", "ses"};
        if (l.extra) vars.push_back("x" + std::to_string(l.extra - 1));
        ReadAll byName = read_all(RAW_SYSTAT, path, 1, "school$", vars);
        EXPECT_EQ(byName.last, PKG_END);
        ASSERT_EQ(byName.rows.size(), 4u) << l.extra;
        const char* ids[] = {"         A12", "         A12", "          B7", "       C0012"};
        for (int r = 0; r < 4; ++r) {
            EXPECT_EQ(byName.rows[r].id, ids[r]);
            EXPECT_EQ(byName.rows[r].values[0], 10.25 + r);  // in the order chosen
            EXPECT_EQ(byName.rows[r].values[1], r == 1 ? MISSING_VALUE : 0.5 * r);
            if (l.extra) {
                EXPECT_EQ(byName.rows[r].values[2], l.extra - 1);
            }
        }
        ReadAll numeric = read_all(RAW_SYSTAT, path, 1, "id", {"ses"});
        ASSERT_EQ(numeric.rows.size(), 4u);
        EXPECT_TRUE(numeric.numericId);
        EXPECT_EQ(numeric.rows[3].id, "101");
    }
}

TEST(SystatFiles, NamesKeepTheDollarOfCharacterVariables) {
    std::string dir = testsupport::make_temp_dir("systatn");
    std::string path = dir + "/s.sys";
    SystatSpec sp = school_file(true, false, false, 0);
    sp.names[3] = "  ABCDEFGH$";
    testsupport::write_file(path, systat_file(sp));
    PackageFile pf;
    pkg_read_header(pf, std::fopen(path.c_str(), "rb"), RAW_SYSTAT, 2, path.c_str());
    ASSERT_EQ(pf.vars.size(), 5u);
    EXPECT_STREQ(pf.vars[0].name.text, "  SCHOOL$   ");
    EXPECT_STREQ(pf.vars[3].name.text, "ABCDEFGH$   ");
    EXPECT_TRUE(pf.vars[3].isChar);
    EXPECT_FALSE(pf.vars[4].isChar);
    EXPECT_EQ(pkg_find_variable(pf, "abcdefgh$"), 3);
    EXPECT_EQ(pkg_find_variable(pf, "abcdefgh"), -1);
    pkg_close(pf);
}

struct BadHeader {
    std::string bytes;
    std::string message;
};

TEST(SystatFiles, DamagedHeadersEndTheRun) {
    SystatSpec longName = school_file(true, false, false, 0);
    longName.names[2] = "SESSCORE9";
    SystatSpec ok = school_file(true, true, false, 0);
    std::string unterminated = Bytes().u8(6).le16(2).le16(0).le16(0).u8(6).u8(72).text("c", 72).u8(72).s;
    const BadHeader cases[] = {
        {Bytes().u8(6).le16(0).le16(0).le16(2).u8(6).s, ""},
        {Bytes().u8(6).le16(3).le16(0).le16(7).u8(6).s, ""},
        {systat_file(longName), "\nVariable names limited to 8 characters.\n"},
        {unterminated, ""},
    };
    std::string dir = testsupport::make_temp_dir("systatbad");
    std::string path = dir + "/bad.sys";
    auto header_run = [&] {
        return in_child([&] {
            PackageFile p;
            pkg_read_header(p, std::fopen(path.c_str(), "rb"), RAW_SYSTAT, 1, path.c_str());
        });
    };
    for (const BadHeader& c : cases) {
        testsupport::write_file(path, c.bytes);
        ChildResult r = header_run();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.message + " " + path + " is an empty file\n");
    }
    // Cut anywhere before the first record, the file has no readable header.
    std::string whole = systat_file(ok);
    std::size_t headerEnd = whole.size() - 4 * (1 + 3 * 8 + 24 + 1);
    for (std::size_t len = 0; len < headerEnd; ++len) {
        testsupport::write_file(path, whole.substr(0, len));
        ChildResult r = header_run();
        ASSERT_EQ(r.status, 1) << len << r.out;
    }
    // Cut inside the records, reading stops without a crash.
    for (std::size_t len = headerEnd; len < whole.size(); ++len) {
        testsupport::write_file(path, whole.substr(0, len));
        ReadAll got = read_all(RAW_SYSTAT, path, 1, "id", {"math"});
        EXPECT_EQ(got.last, (len - headerEnd) % 50 == 0 ? PKG_END : PKG_READ_ERROR) << len;
        EXPECT_EQ(got.rows.size(), (len - headerEnd) / 50);
    }
}

TEST(SystatFiles, NumericIdsOfMoreThanTwelveDigitsEndTheRun) {
    std::string dir = testsupport::make_temp_dir("systatid");
    std::string path = dir + "/s.sys";
    SystatSpec sp = school_file(true, false, false, 0);
    sp.rows[2][1] = num(-1234567890123.0);
    testsupport::write_file(path, systat_file(sp));
    ChildResult r = in_child([&] { read_all(RAW_SYSTAT, path, 1, "id", {"ses"}); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ID must be no more than 12 digits long\n");
}

}  // namespace
