// Stata .dta files of formats 108, 110 and 113 written here in either byte
// order: every type code with its missing-value boundaries.
#include <gtest/gtest.h>

#include "mdm/pkg_systat_fixture.h"
#include "support/test_support.h"

using namespace pkgfix;

namespace {

struct StataVar {
    std::string name;
    int type;  // the file's type code
};

// Writes a value of a numeric type in the chosen byte order.
void put_value(Bytes& b, int format, int type, double v, bool big) {
    Bytes x;
    bool current = format >= 113;
    int w = 0;
    if (type == (current ? 251 : 'b')) { x.u8(static_cast<int>(v)); w = 1; }
    else if (type == (current ? 252 : 'i')) { x.le16(static_cast<int>(v)); w = 2; }
    else if (type == (current ? 253 : 'l')) { x.le32(static_cast<std::int64_t>(v)); w = 4; }
    else if (type == (current ? 254 : 'f')) { x.f32(static_cast<float>(v)); w = 4; }
    else { x.f64(v); w = 8; }
    for (int i = 0; i < w; ++i) b.s.push_back(x.s[static_cast<std::size_t>(big ? w - 1 - i : i)]);
}

std::string stata_file(int format, bool big, const std::vector<StataVar>& vars,
                       const std::vector<std::vector<double>>& rows, const std::string& text = "A1") {
    Bytes b;
    int nv = static_cast<int>(vars.size());
    auto i16 = [&](int v) { big ? b.be16(v) : b.le16(v); };
    auto i32 = [&](std::int64_t v) { big ? b.be32(v) : b.le32(v); };
    b.u8(format).u8(big ? 1 : 2).u8(1).u8(0);
    i16(nv);
    i32(static_cast<std::int64_t>(rows.size()));
    b.text("data label", 81, '\0').text("01 Jan 2000 00:00", 18, '\0');
    for (const StataVar& v : vars) b.u8(v.type);
    int nameLen = format >= 110 ? 33 : 9;
    for (const StataVar& v : vars) b.text(v.name, static_cast<std::size_t>(nameLen), '\0');
    b.fill(2 * static_cast<std::size_t>(nv + 1), 0);
    for (int i = 0; i < nv; ++i) b.text("%9.0g", 12, '\0');
    b.fill(static_cast<std::size_t>(nameLen * nv), 0);
    for (int i = 0; i < nv; ++i) b.text("a variable label", 81, '\0');
    // One characteristic, then the end of the expansion fields.
    b.u8(1);
    format >= 110 ? i32(4) : i16(4);
    b.text("char", 4);
    b.u8(0);
    format >= 110 ? i32(0) : i16(0);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < vars.size(); ++i) {
            int t = vars[i].type;
            bool str = format >= 113 ? t <= 244 : t > 127;
            if (str) b.text(text, static_cast<std::size_t>(format >= 113 ? t : t - 127), '\0');
            else put_value(b, format, t, row[i], big);
        }
    }
    return b.s;
}

const double M = MISSING_VALUE;

struct TypeCase {
    int format;
    std::vector<int> types;        // ID then five numeric types
    std::vector<double> written;   // one row (ID first)
    std::vector<double> want;      // values of the five as delivered
};

const TypeCase kTypes[] = {
    {113, {253, 251, 252, 253, 254, 255}, {7, 100, 32740, 2147483620.0, 1.7e38, 8.98e307},
     {100, 32740, 2147483620.0, static_cast<double>(1.7e38f), 8.98e307}},
    {113, {253, 251, 252, 253, 254, 255}, {7, 101, 32741, 2147483621.0, 1.702e38, 8.99e307}, {M, M, M, M, M}},
    {113, {255, 251, 252, 253, 254, 255}, {8.99e307, -127, -32767, -2147483647.0, -1.5, -2.25},
     {-127, -32767, -2147483647.0, -1.5, -2.25}},
    {110, {'l', 'b', 'i', 'l', 'f', 'd'}, {7, 126, 32766, 2147483646.0, 0.25, 1e307},
     {126, 32766, 2147483646.0, 0.25, 1e307}},
    {110, {'l', 'b', 'i', 'l', 'f', 'd'}, {7, 127, 32767, 2147483647.0, 1.1e38, 1.1e307}, {M, M, M, M, M}},
    {108, {'d', 'b', 'i', 'l', 'f', 'd'}, {12, 127, -5, 2147483647.0, 3.5, -1.1e307},
     {M, -5, M, 3.5, -1.1e307}},
};

class StataTypes : public ::testing::TestWithParam<bool> {};

TEST_P(StataTypes, EveryTypeCodeAndMissingBoundary) {
    const bool big = GetParam();
    std::string dir = testsupport::make_temp_dir("stata");
    for (const TypeCase& c : kTypes) {
        std::vector<StataVar> vars = {{"ID", c.types[0]}};
        const char* names[] = {"B", "I", "L", "F", "D"};
        for (int i = 0; i < 5; ++i) vars.push_back({names[i], c.types[static_cast<std::size_t>(i + 1)]});
        std::string path = dir + "/t.dta";
        testsupport::write_file(path, stata_file(c.format, big, vars, {c.written, c.written}));
        ChildResult r = in_child([&] {
            ReadAll got = read_all(RAW_STATA, path, 1, "id", {"b", "i", "l", "f", "d"});
            bool same = got.rows.size() == 2 && got.last == PKG_END;
            for (const ReadRow& row : got.rows) same = same && row.values == c.want;
            std::printf("[%s %d]", got.rows.empty() ? "" : got.rows[0].id.c_str(), same ? 1 : 0);
        });
        std::string id = c.written[0] > 1e300 ? "missing" : std::to_string(static_cast<long>(c.written[0]));
        std::string note = big ? "This file seems to have been created on a different platform!\n" : "";
        EXPECT_EQ(r.out, note + "[" + id + " 1]") << c.format << " " << c.written[1];
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, StataTypes, ::testing::Values(false, true));

struct StringCase {
    int format;
    int idType;
    std::string idText;
    std::vector<std::string> select;
    int status;
    std::string output;
};

const StringCase kStrings[] = {
    {113, 12, "school12", {"x"}, 77, "[    SCHOOL12]"},
    {108, 127 + 12, "0012", {"x"}, 77, "[        0012]"},
    {113, 20, "abcdefghijklm", {"x"}, 0, "Your ID variable is longer than 12 characters.\n"},
    {110, 127 + 3, "abc", {"x", "s"}, 0, "mdm variables must be numeric!\n"},
};

TEST(StataStrings, CharacterIdsAndStringVariables) {
    std::string dir = testsupport::make_temp_dir("statastr");
    for (const StringCase& c : kStrings) {
        bool current = c.format >= 113;
        std::vector<StataVar> vars = {{"id", c.idType}, {"x", current ? 255 : 'd'}, {"s", c.idType}};
        std::string path = dir + "/s.dta";
        testsupport::write_file(path, stata_file(c.format, false, vars, {{0, 1.5, 0}}, c.idText));
        ChildResult r = in_child([&] {
            ReadAll got = read_all(RAW_STATA, path, 1, "id", c.select);
            std::printf("[%s]", got.rows.empty() ? "" : got.rows[0].id.c_str());
        });
        EXPECT_EQ(r.status, c.status) << c.idText;
        EXPECT_EQ(r.out, c.output);
    }
}

TEST(StataStrings, LongNamesWarnAndAreCutToEight) {
    std::string dir = testsupport::make_temp_dir("statalong");
    std::string path = dir + "/n.dta";
    testsupport::write_file(path, stata_file(113, false, {{"id", 255}, {"averyverylongname", 255}}, {{1, 2}}));
    ChildResult r = in_child([&] {
        ReadAll got = read_all(RAW_STATA, path, 1, "id", {"averyver"});
        std::printf("[%zu %g]", got.rows.size(), got.rows.empty() ? 0.0 : got.rows[0].values[0]);
    });
    EXPECT_EQ(r.out, "Stata may allow for variable name lengths > 8, but not the ARBs!\n[1 2]");
}

}  // namespace
