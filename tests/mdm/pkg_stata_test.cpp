// Stata .dta files of formats 108, 110 and 113 written here in either byte
// order: every type code with its missing-value boundaries, string IDs.

#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

// One file of the format with the given variables (name, type code); string
// cells hold `text`, numeric cells the row's values.
std::string stata_file(int format, bool big, const std::vector<std::pair<std::string, int>>& vars,
                       const std::vector<double>& row, const std::string& text = "") {
    Bytes b;
    b.big = big;
    const int nv = static_cast<int>(vars.size()), nameLen = format >= 110 ? 33 : 9, lenBytes = format >= 110 ? 4 : 2;
    const bool current = format >= 113;
    b.u8(format).u8(big ? 1 : 2).u8(1).u8(0).i16(nv).i32(2).text("label", 81, '\0').text("", 18, '\0');
    for (const auto& v : vars) b.u8(v.second);
    for (const auto& v : vars) b.text(v.first, static_cast<std::size_t>(nameLen), '\0');
    b.text("", static_cast<std::size_t>(2 * (nv + 1) + 12 * nv + nameLen * nv + 81 * nv), '\0');
    b.u8(1).num(4, lenBytes).text("char", 4).u8(0).num(0, lenBytes);  // one expansion field, then the end
    for (int copy = 0; copy < 2; ++copy) {
        for (std::size_t i = 0; i < vars.size(); ++i) {
            int t = vars[i].second;
            if (current ? t <= 244 : t > 127) b.text(text, static_cast<std::size_t>(current ? t : t - 127), '\0');
            else if (t == (current ? 251 : 'b')) b.u8(static_cast<std::int64_t>(row[i]));
            else if (t == (current ? 252 : 'i')) b.i16(static_cast<std::int64_t>(row[i]));
            else if (t == (current ? 253 : 'l')) b.i32(static_cast<std::int64_t>(row[i]));
            else if (t == (current ? 254 : 'f')) b.f32(static_cast<float>(row[i]));
            else b.f64(row[i]);
        }
    }
    return b.s;
}

const double M = MISSING_VALUE;

// Byte, int, long, float and double after a numeric ID of the first type.
const struct { int format; int types[6]; double written[6]; double want[5]; } kTypes[] = {
    {113, {253, 251, 252, 253, 254, 255}, {7, 100, 32740, 2147483620.0, 1.7e38, 8.98e307},
     {100, 32740, 2147483620.0, static_cast<double>(1.7e38f), 8.98e307}},
    {113, {253, 251, 252, 253, 254, 255}, {7, 101, 32741, 2147483621.0, 1.702e38, 8.99e307}, {M, M, M, M, M}},
    {113, {255, 251, 252, 253, 254, 255}, {8.99e307, -127, -32767, -2147483647.0, -1.5, -2.25},
     {-127, -32767, -2147483647.0, -1.5, -2.25}},
    {110, {'l', 'b', 'i', 'l', 'f', 'd'}, {7, 126, 32766, 2147483646.0, 0.25, 1e307}, {126, 32766, 2147483646.0, 0.25, 1e307}},
    {110, {'l', 'b', 'i', 'l', 'f', 'd'}, {7, 127, 32767, 2147483647.0, 1.1e38, 1.1e307}, {M, M, M, M, M}},
    {108, {'d', 'b', 'i', 'l', 'f', 'd'}, {12, 127, -5, 2147483647.0, 3.5, -1.1e307}, {M, -5, M, 3.5, -1.1e307}},
};

class StataTypes : public ::testing::TestWithParam<bool> {};

TEST_P(StataTypes, EveryTypeCodeAndMissingBoundary) {
    const bool big = GetParam();
    std::string path = testsupport::make_temp_dir("stata") + "/t.dta";
    for (const auto& c : kTypes) {
        std::vector<std::pair<std::string, int>> vars;
        const char* names[] = {"ID", "B", "I", "L", "F", "D"};
        for (int i = 0; i < 6; ++i) vars.emplace_back(names[i], c.types[i]);
        testsupport::write_file(path, stata_file(c.format, big, vars, std::vector<double>(c.written, c.written + 6)));
        ChildResult r = in_child([&] {
            ReadAll got = read_all(RAW_STATA, path, 1, "id", {"b", "i", "l", "f", "d"});
            bool same = got.ids.size() == 2 && got.last == PKG_END;
            for (const auto& v : got.values) same = same && v == std::vector<double>(c.want, c.want + 5);
            std::printf("[%s %d]", got.ids.empty() ? "" : got.ids[0].c_str(), same ? 1 : 0);
        });
        std::string id = c.written[0] > 1e300 ? "missing" : std::to_string(static_cast<long>(c.written[0]));
        std::string note = big ? "This file seems to have been created on a different platform!\n" : "";
        EXPECT_EQ(r.out, note + "[" + id + " 1]") << c.format << " " << c.written[1];
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, StataTypes, ::testing::Values(false, true));

TEST(StataStrings, CharacterIdsLongNamesAndStringVariables) {
    const struct { int format, idType; std::string idText, name; std::vector<std::string> select; int status; std::string out; } cases[] = {
        {113, 12, "school12", "x", {"x"}, 77, "[    SCHOOL12]"},
        {108, 127 + 12, "0012", "x", {"x"}, 77, "[        0012]"},
        {113, 20, "abcdefghijklm", "x", {"x"}, 0, "Your ID variable is longer than 12 characters.\n"},
        {110, 127 + 3, "abc", "x", {"x", "s"}, 0, "mdm variables must be numeric!\n"},
        {113, 3, "abc", "averyverylongname", {"averyver"}, 77,
         "Stata may allow for variable name lengths > 8, but not the ARBs!\n[         ABC]"},
    };
    std::string path = testsupport::make_temp_dir("statastr") + "/s.dta";
    for (const auto& c : cases) {
        int dbl = c.format >= 113 ? 255 : 'd';
        testsupport::write_file(path, stata_file(c.format, false, {{"id", c.idType}, {c.name, dbl}, {"s", c.idType}},
                                                 {0, 1.5, 0}, c.idText));
        ChildResult r = in_child([&] {
            ReadAll got = read_all(RAW_STATA, path, 1, "id", c.select);
            std::printf("[%s]", got.ids.empty() || got.values[0] != std::vector<double>{1.5} ? "" : got.ids[0].c_str());
        });
        EXPECT_EQ(r.status, c.status) << c.idText;
        EXPECT_EQ(r.out, c.out);
    }
}

}  // namespace
