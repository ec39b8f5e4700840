// SPSS system files written here byte by byte: user-missing declarations of
// every form, string IDs over two segments, extension records of current
// writers, and the same cases compressed and uncompressed.
#include <gtest/gtest.h>

#include <cfloat>

#include "mdm/pkg_systat_fixture.h"
#include "support/test_support.h"

using namespace pkgfix;

namespace {

struct SpssVar {
    std::string name;
    int width;        // 0 numeric, else string width
    int nMissing;     // as stored: 0..3, -2 range, -3 range plus one
    double miss[3];
};

// A cell: a number (numeric variables) or text (strings).
struct Cell {
    double num;
    std::string text;
};

const double kSysmis = -DBL_MAX;

std::string spss_file(const std::vector<SpssVar>& vars, const std::vector<std::vector<Cell>>& rows,
                      bool compressed) {
    int segments = 0;
    for (const SpssVar& v : vars) segments += v.width == 0 ? 1 : (v.width + 7) / 8;
    Bytes b;
    b.text("$FL2", 4).text("@(#) test writer", 60).le32(2).le32(segments).le32(compressed ? 1 : 0);
    b.le32(0).le32(static_cast<std::int64_t>(rows.size())).f64(100.0).text("01 Jan 2500:00:00", 84);
    for (const SpssVar& v : vars) {
        bool labelled = v.width == 0;
        b.le32(2).le32(v.width).le32(labelled ? 1 : 0).le32(v.nMissing).le32(0x050802).le32(0x050802).text(v.name, 8);
        if (labelled) b.le32(5).text("label", 8);
        for (int i = 0; i < (v.nMissing < 0 ? -v.nMissing : v.nMissing); ++i) b.f64(v.miss[i]);
        for (int k = 8; k < v.width; k += 8) b.le32(2).le32(-1).le32(0).le32(0).le32(0).le32(0).text("", 8);
    }
    b.le32(3).le32(1).f64(1.0).u8(3).text("yes", 7).le32(4).le32(1).le32(2);  // value labels
    b.le32(6).le32(1).text("a document line", 80);
    b.le32(7).le32(3).le32(4).le32(8).fill(32, 0);                       // machine integers
    b.le32(7).le32(4).le32(8).le32(3).f64(kSysmis).f64(DBL_MAX).f64(-DBL_MAX);
    for (int sub : {16, 18, 19, 20, 21, 22, 24}) b.le32(7).le32(sub).le32(1).le32(11).text("extension", 11);
    b.le32(999).le32(0);

    std::vector<std::string> segs;  // 8-byte segments of all cases, and whether each is system-missing
    std::vector<bool> sysmis;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < vars.size(); ++i) {
            if (vars[i].width == 0) {
                segs.push_back(Bytes().f64(row[i].num).s);
                sysmis.push_back(row[i].num == kSysmis);
            } else {
                std::string t = row[i].text;
                t.resize(static_cast<std::size_t>((vars[i].width + 7) / 8 * 8), ' ');
                for (std::size_t k = 0; k < t.size(); k += 8) {
                    segs.push_back(t.substr(k, 8));
                    sysmis.push_back(false);
                }
            }
        }
    }
    if (!compressed) {
        for (const std::string& s : segs) b.s += s;
        return b.s;
    }
    std::vector<int> codes;
    std::vector<std::string> raws;
    for (std::size_t i = 0; i < segs.size(); ++i) {
        double d;
        std::memcpy(&d, segs[i].data(), 8);
        if (sysmis[i]) {
            codes.push_back(255);
        } else if (segs[i] == std::string(8, ' ')) {
            codes.push_back(254);
        } else if (d == static_cast<int>(d) && d > -100 && d < 152) {
            codes.push_back(static_cast<int>(d) + 100);
        } else {
            codes.push_back(253);
            raws.push_back(segs[i]);
        }
        if (codes.size() % 8 == 0 || i + 1 == segs.size()) {
            if (i + 1 == segs.size() && codes.size() % 8) codes.push_back(252);
            while (codes.size() % 8) codes.push_back(0);
            for (int c : codes) b.u8(c);
            for (const std::string& r : raws) b.s += r;
            codes.clear();
            raws.clear();
        }
    }
    return b.s;
}

const std::vector<SpssVar> kVars = {
    {"SCHOOL", 10, 0, {0, 0, 0}},
    {"DISCRETE", 0, 3, {-9, -8, 999.5, }},
    {"RANGE", 0, -2, {90, 99, 0}},
    {"RANGEONE", 0, -3, {90, 99, -1}},
    {"NAME", 4, 0, {0, 0, 0}},
    {"PLAIN", 0, 0, {0, 0, 0}},
};

const double M = MISSING_VALUE;

struct SpssRow {
    Cell cells[6];
    double want[4];  // DISCRETE, RANGE, RANGEONE, PLAIN as delivered
};

const SpssRow kRows[] = {
    {{{0, "ABCDEFGHIJ"}, {-9, ""}, {89.5, ""}, {-1, ""}, {0, "abcd"}, {1.5, ""}}, {M, 89.5, M, 1.5}},
    {{{0, "ABCDEFGHIJ"}, {-8, ""}, {90, ""}, {95.5, ""}, {0, ""}, {kSysmis, ""}}, {M, M, M, M}},
    {{{0, "ABCDEFGHIJ"}, {999.5, ""}, {99, ""}, {99.01, ""}, {0, "x"}, {-2e36, ""}}, {M, M, 99.01, M}},
    {{{0, "K"}, {-7, ""}, {99.5, ""}, {-2, ""}, {0, "z"}, {-1e35, ""}}, {-7, 99.5, -2, -1e35}},
    {{{0, "0012"}, {7, ""}, {151, ""}, {1e-5, ""}, {0, ""}, {0, ""}}, {7, 151, 1e-5, 0}},
};

class SpssWritten : public ::testing::TestWithParam<bool> {};

TEST_P(SpssWritten, UserAndSystemMissingAndLongStringIds) {
    std::vector<std::vector<Cell>> rows;
    for (const SpssRow& r : kRows) rows.emplace_back(std::begin(r.cells), std::end(r.cells));
    std::string dir = testsupport::make_temp_dir("spss");
    std::string path = dir + "/t.sav";
    testsupport::write_file(path, spss_file(kVars, rows, GetParam()));
    ReadAll got = read_all(RAW_SPSS, path, 1, "school", {"discrete", "range", "rangeone", "plain"});
    EXPECT_EQ(got.last, PKG_END);
    ASSERT_EQ(got.rows.size(), std::size(kRows));
    const char* ids[] = {"  ABCDEFGHIJ", "  ABCDEFGHIJ", "  ABCDEFGHIJ", "           K", "        0012"};
    for (std::size_t r = 0; r < std::size(kRows); ++r) {
        EXPECT_EQ(got.rows[r].id, ids[r]);
        for (int v = 0; v < 4; ++v) EXPECT_EQ(got.rows[r].values[v], kRows[r].want[v]) << r << "," << v;
    }
}

INSTANTIATE_TEST_SUITE_P(Compression, SpssWritten, ::testing::Values(false, true));

TEST(SpssWritten, VariableTableCountsSegmentsAndKeepsStringsOut) {
    std::string dir = testsupport::make_temp_dir("spss");
    std::string path = dir + "/t.sav";
    testsupport::write_file(path, spss_file(kVars, {}, false));
    PackageFile pf;
    pkg_read_header(pf, std::fopen(path.c_str(), "rb"), RAW_SPSS, 1, path.c_str());
    EXPECT_EQ(pf.varCount, 7);  // the 10-character string takes two segments
    ASSERT_EQ(pf.vars.size(), 6u);
    EXPECT_STREQ(pf.vars[0].name.text, "  SCHOOL    ");
    EXPECT_EQ(pf.vars[0].length, 2);
    EXPECT_EQ(pf.vars[4].position, 5);
    EXPECT_TRUE(pkg_id_too_wide(pf, 0) == false);
    pkg_close(pf);
}

TEST(SpssWritten, NumericIdsAreWholeNumbersOfAtMostTwelveDigits) {
    struct { double id; const char* want; int status; } cases[] = {
        {1224.75, "1224", 77}, {-3.5, "-3", 77}, {kSysmis, "missing", 77},
        {999999999999.0, "999999999999", 77}, {1e12, "", 0},
    };
    std::string dir = testsupport::make_temp_dir("spssid");
    for (const auto& c : cases) {
        std::string path = dir + "/id.sav";
        testsupport::write_file(path, spss_file({{"ID", 0, 0, {0, 0, 0}}, {"X", 0, 0, {0, 0, 0}}},
                                                {{{c.id, ""}, {1, ""}}}, true));
        ChildResult r = in_child([&] {
            ReadAll got = read_all(RAW_SPSS, path, 1, "id", {"x"});
            std::printf("[%s]", got.rows.empty() ? "" : got.rows[0].id.c_str());
        });
        EXPECT_EQ(r.status, c.status) << c.id;
        std::string want = c.status == 77 ? std::string("[") + c.want + "]" : "ID must be no more than 12 digits long\n";
        EXPECT_EQ(r.out, want);
    }
}

}  // namespace
