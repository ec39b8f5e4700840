// SPSS system files written here: user-missing declarations of every form,
// string IDs over two segments, the extension records of current writers, and
// the same cases compressed and uncompressed.

#include <cfloat>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

struct SpssVar {
    std::string name;
    int width;       // 0 numeric, else string width
    int nMissing;    // as stored: 0..3, -2 range, -3 range plus one
    std::vector<double> miss;
};

const std::vector<SpssVar> kVars = {
    {"SCHOOL", 10, 0, {}}, {"DISCRETE", 0, 3, {-9, -8, 999.5}}, {"RANGE", 0, -2, {90, 99}},
    {"RANGEONE", 0, -3, {90, 99, -1}}, {"NAME", 4, 0, {}}, {"PLAIN", 0, 0, {}},
};

const double M = MISSING_VALUE, SYS = -DBL_MAX;

// Per case: the ID, the four numbers written, the four expected back.
const struct { const char* id; double in[4]; double want[4]; const char* slot; } kCases[] = {
    {"ABCDEFGHIJ", {-9, 89.5, -1, 1.5}, {M, 89.5, M, 1.5}, "  ABCDEFGHIJ"},
    {"ABCDEFGHIJ", {-8, 90, 95.5, SYS}, {M, M, M, M}, "  ABCDEFGHIJ"},
    {"ABCDEFGHIJ", {999.5, 99, 99.01, -2e36}, {M, M, 99.01, M}, "  ABCDEFGHIJ"},
    {"K", {-7, 99.5, -2, -1e35}, {-7, 99.5, -2, -1e35}, "           K"},
    {"0012", {7, 151, 1e-5, 0}, {7, 151, 1e-5, 0}, "        0012"},
};

std::string spss_file(bool compressed) {
    Bytes b;
    b.text("$FL2", 4).text("@(#) test writer", 60).i32(2).i32(7).i32(compressed).i32(0).i32(std::size(kCases));
    b.f64(100.0).text("", 84);
    for (const SpssVar& v : kVars) {
        bool labelled = v.width == 0;
        b.i32(2).i32(v.width).i32(labelled).i32(v.nMissing).i32(0x050802).i32(0x050802).text(v.name, 8);
        if (labelled) b.i32(5).text("label", 8);
        for (double m : v.miss) b.f64(m);
        for (int k = 8; k < v.width; k += 8) b.i32(2).i32(-1).i32(0).i32(0).i32(0).i32(0).text("", 8);
    }
    b.i32(3).i32(1).f64(1.0).u8(3).text("yes", 7).i32(4).i32(1).i32(2);  // value labels and their index
    b.i32(6).i32(1).text("a document line", 80);
    b.i32(7).i32(3).i32(4).i32(8).text("", 32, '\0');
    b.i32(7).i32(4).i32(8).i32(3).f64(SYS).f64(DBL_MAX).f64(-DBL_MAX);
    for (int sub : {16, 18, 19, 20, 21, 22, 24}) b.i32(7).i32(sub).i32(1).i32(11).text("extension", 11);
    b.i32(999).i32(0);
    std::vector<std::string> segs;
    for (const auto& c : kCases) {
        std::string id = std::string(c.id) + std::string(16, ' ');
        segs.push_back(id.substr(0, 8));
        segs.push_back(id.substr(8, 8));
        for (int i = 0; i < 4; ++i) {
            if (i == 3) segs.push_back("name    ");
            segs.push_back(Bytes().f64(c.in[i]).s);
        }
    }
    if (!compressed) {
        for (const std::string& s : segs) b.s += s;
        return b.s;
    }
    std::string codes, raws;
    for (std::size_t i = 0; i < segs.size(); ++i) {
        double d;
        std::memcpy(&d, segs[i].data(), 8);
        bool text = i % 7 < 2 || i % 7 == 5;
        if (!text && d == SYS) codes += '\xff';
        else if (segs[i] == std::string(8, ' ')) codes += '\xfe';
        else if (!text && d == static_cast<int>(d) && d > -100 && d < 152) codes += static_cast<char>(static_cast<int>(d) + 100);
        else codes += '\xfd', raws += segs[i];
        if (i + 1 == segs.size()) codes += '\xfc';
        if (codes.size() >= 8 || i + 1 == segs.size()) {
            codes.resize(8, '\0');
            b.s += codes + raws;
            codes.clear();
            raws.clear();
        }
    }
    return b.s;
}

class SpssWritten : public ::testing::TestWithParam<bool> {};

TEST_P(SpssWritten, UserAndSystemMissingAndLongStringIds) {
    std::string path = testsupport::make_temp_dir("spss") + "/t.sav";
    testsupport::write_file(path, spss_file(GetParam()));
    ReadAll got = read_all(RAW_SPSS, path, 1, "school", {"discrete", "range", "rangeone", "plain"});
    EXPECT_EQ(got.last, PKG_END);
    ASSERT_EQ(got.ids.size(), std::size(kCases));
    for (std::size_t r = 0; r < std::size(kCases); ++r) {
        EXPECT_EQ(got.ids[r], kCases[r].slot);
        EXPECT_EQ(got.values[r], std::vector<double>(kCases[r].want, kCases[r].want + 4)) << r;
    }
    PackageFile pf;
    pkg_read_header(pf, std::fopen(path.c_str(), "rb"), RAW_SPSS, 1, path.c_str());
    EXPECT_EQ(pf.varCount, 7);  // the 10-character ID takes two segments
    EXPECT_EQ(pf.vars.size(), 6u);
    EXPECT_EQ(pf.vars[4].position, 5);
    pkg_close(pf);
}

INSTANTIATE_TEST_SUITE_P(Compression, SpssWritten, ::testing::Values(false, true));

}  // namespace
