// Package files written here (tests/data/packages/written, see its README):
// SPSS user-missing declarations of every form, long string IDs and extension
// records, compressed or not; every Stata type code with its missing-value
// boundaries in either byte order, string IDs and long names; SYSTAT storage
// types, comment lines, segmented records, damaged headers and long IDs; and
// the console selection of the group ID and variables of a package file.
#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

const struct Written { const char* file; int type; const char* id; std::vector<std::string> vars; } kWritten[] = {
    {"missing.sav", RAW_SPSS, "school", {"discrete", "range", "rangeone", "plain"}},
    {"missing_c.sav", RAW_SPSS, "school", {"discrete", "range", "rangeone", "plain"}},
    {"types0_le_113.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}}, {"types0_be_113.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}},
    {"types1_le_113.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}}, {"types1_be_113.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}},
    {"types2_le_113.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}}, {"types2_be_113.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}},
    {"types3_le_110.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}}, {"types3_be_110.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}},
    {"types4_le_110.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}}, {"types4_be_110.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}},
    {"types5_le_108.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}}, {"types5_be_108.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}},
    {"../current/types_118.dta", RAW_STATA, "id", {"b", "i", "l", "f", "d"}},
    {"strings0_113.dta", RAW_STATA, "id", {"x"}}, {"strings1_108.dta", RAW_STATA, "id", {"x"}},
    {"strings2_113.dta", RAW_STATA, "id", {"x"}}, {"strings3_110.dta", RAW_STATA, "id", {"x", "s"}},
    {"strings4_113.dta", RAW_STATA, "id", {"averyver"}},
    {"layout_double.sys", RAW_SYSTAT, "school$", {"math", "ses"}}, {"layout_double.sys", RAW_SYSTAT, "id", {"ses"}},
    {"layout_single.sys", RAW_SYSTAT, "school$", {"math", "ses"}}, {"layout_single.sys", RAW_SYSTAT, "id", {"ses"}},
    {"layout_comments.sys", RAW_SYSTAT, "school$", {"math", "ses"}}, {"layout_comments.sys", RAW_SYSTAT, "id", {"ses"}},
    {"layout_segmented.sys", RAW_SYSTAT, "school$", {"math", "ses"}}, {"layout_segmented.sys", RAW_SYSTAT, "id", {"ses"}},
    {"layout_long.sys", RAW_SYSTAT, "school$", {"math", "ses", "x39"}}, {"layout_long.sys", RAW_SYSTAT, "id", {"ses"}},
    {"layout_long_single.sys", RAW_SYSTAT, "school$", {"math", "ses", "x59"}}, {"layout_long_single.sys", RAW_SYSTAT, "id", {"ses"}},
    {"bad_no_vars.sys", RAW_SYSTAT, "id", {}}, {"bad_storage.sys", RAW_SYSTAT, "id", {}},
    {"bad_comments.sys", RAW_SYSTAT, "id", {}},  // comments never end
    {"long_name.sys", RAW_SYSTAT, "id", {"ses"}},
    {"dollar_name.sys", RAW_SYSTAT, "abcdefgh$", {"ses"}},  // nine characters are allowed when the ninth is "$"
    {"long_id.sys", RAW_SYSTAT, "id", {"ses"}},
};

// Each file read as level 1 in a child: its variables (name@position), then
// every record (ID and values in the order chosen), the end, status and console.
TEST(WrittenPackages, ReadsMatchTheGoldenCopy) {
    std::string dir = testsupport::make_temp_dir("written"), all;
    for (const Written& w : kWritten) {
        testsupport::copy_data(std::string("packages/written/") + w.file, dir);
        const std::string name = w.file + std::string(w.file).rfind('/') + 1;
        ChildResult r = in_child([&] {
            if (chdir(dir.c_str()) != 0) return;
            PackageFile pf;
            pkg_read_header(pf, std::fopen(name.c_str(), "rb"), w.type, 1, name.c_str());
            std::printf("%d slots:", pf.varCount);
            for (const auto& v : pf.vars) std::printf(" %s@%ld", v.name.text, static_cast<long>(v.position));
            pkg_set_id(pf, pkg_find_variable(pf, w.id));
            for (const std::string& v : w.vars) pkg_add_selected(pf, pkg_find_variable(pf, v.c_str()));
            PackageRecord rec;
            int last;
            while ((last = pkg_read_record(pf, rec)) == PKG_RECORD) {
                std::printf("\n[%s]", rec.numericId ? std::to_string(rec.numId).c_str() : rec.charId.text);
                for (double v : rec.values) std::printf(" %.17g", v);
            }
            std::printf("\nend %d\n", last);
            pkg_close(pf);
        });
        all += std::string("==== ") + w.file + " by " + w.id + ", status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("pkg_written.txt", all);
}

// The console selection of the group ID and variables of a package file: the
// transcript and the closing line (ID kind, ID and chosen names) of each answer list,
// in one golden copy: file order, SYSTAT refusals and order of choice, character
// after numeric IDs and back, every variable chosen, twenty-six refusals.
TEST(PackageSelection, AnswersAndRefusals) {
    auto times = [](const std::string& s, int n) {
        std::string out;
        while (n-- > 0) out += s;
        return out;
    };
    const struct { int type, level, numericIds; std::string answers; } cases[] = {
        {RAW_SPSS, 2, 0, "1\n5\n2\n0\n"},
        {RAW_SYSTAT, 1, -1, "9\n2\n2\n4\n7\n5\n3\n0\n"},
        {RAW_SPSS, 2, 1, times("1\n", 10)},
        {RAW_SYSTAT, 2, 0, "2\n1\n0\n"},
        {RAW_SPSS, 2, 0, "1\n1\n6\n5\n4\n3\n2\n"},
        {RAW_SPSS, 2, 0, "1\n" + times("1\n", 26)},
    };
    std::string dir = testsupport::make_temp_dir("pkgsel"), all;
    testsupport::copy_data("packages/written/selection.sys", dir);
    for (const auto& c : cases) {
        std::string path = c.type == RAW_SYSTAT ? dir + "/selection.sys" : testsupport::data_path("packages/small2.sav");
        testsupport::write_file(dir + "/answers", c.answers);
        ChildResult r = in_child([&] {
            if (!std::freopen((dir + "/answers").c_str(), "r", stdin)) return;
            PackageFile pf;
            pkg_read_header(pf, std::fopen(path.c_str(), "rb"), c.type, c.level, path.c_str());
            int kind = c.numericIds;
            std::vector<NameSlot> chosen = pkg_select_dialogue(pf, kind);
            std::printf("[%d|%s", kind, pf.vars[static_cast<std::size_t>(pf.idVar)].name.text);
            for (const NameSlot& s : chosen) std::printf("|%s", s.text);
            std::printf("]");
        });
        all += "==== status " + std::to_string(r.status) + "\n" + r.out + "\n";
    }
    testsupport::expect_golden("pkg_selection.txt", all);
}

}  // namespace
