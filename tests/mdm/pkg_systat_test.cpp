// SYSTAT .SYS files written here: storage types, comment lines, segmented
// records, character variables, damaged headers; and the console
// selection of the group ID and variables of a package file.
#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

/// A SYSTAT file: names (with "$" for character variables) and rows whose
/// numeric cells are in `num` and character cells in `text`, in file order.
struct SystatSpec {
    std::vector<std::string> names;
    std::vector<std::vector<double>> num;
    std::vector<std::vector<std::string>> text;
    bool doubleStorage = true;
    std::vector<std::string> comments;  ///< comment lines before the header
    bool segmentAll = false;            ///< segmented framing even for short records
};

// Header, names, then each record between length markers or, when long (or
// asked), in 128-byte segments joined by two-byte headers.
std::string systat_file(const SystatSpec& sp) {
    Bytes b;
    int nv = static_cast<int>(sp.names.size());
    if (!sp.comments.empty()) {
        b.u8(6).i16(nv).i16(0).i16(0).u8(6);
        for (const std::string& c : sp.comments) b.u8(72).text(c, 72).u8(72);
        b.u8(72).text("", 72, '$').u8(72);
    }
    b.u8(6).i16(nv).i16(0).i16(sp.doubleStorage ? 2 : 1).u8(6);
    for (const std::string& n : sp.names) b.u8(12).text(n, 12).u8(12);
    for (std::size_t r = 0; r < sp.num.size(); ++r) {
        Bytes p;
        for (double v : sp.num[r]) sp.doubleStorage ? p.f64(v) : p.f32(static_cast<float>(v));
        for (const std::string& t : sp.text[r]) p.text(t, 12);
        const std::int64_t n = static_cast<std::int64_t>(p.s.size());
        if (n < 128 && !sp.segmentAll) {
            b.u8(n).raw(p.s).u8(n);
            continue;
        }
        b.u8(0x81);
        for (std::int64_t at = 0; at < n; at += 128) {
            if (at) b.u8(0x81).u8(n - at >= 128 ? 0x81 : n - at);
            b.s += p.s.substr(static_cast<std::size_t>(at), 128);
        }
        b.u8(0x81);
    }
    return b.s;
}

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

TEST(SystatFiles, EveryLayoutDeliversTheSameRecords) {
    // Storage, comments, segmented framing, extra variables (records over 128 bytes are segmented).
    const struct { bool dbl, comments, segmentAll; int extra; } layouts[] = {
        {true, false, false, 0}, {false, false, false, 0}, {true, true, false, 0},
        {true, false, true, 0},  {true, true, false, 40},  {false, false, false, 60}};
    std::string path = testsupport::make_temp_dir("systat") + "/s.sys";
    for (const auto& l : layouts) {
        testsupport::write_file(path, systat_file(school_file(l.dbl, l.comments, l.segmentAll, l.extra)));
        std::vector<std::string> vars = {"math", "ses"};
        if (l.extra) vars.push_back("x" + std::to_string(l.extra - 1));
        ReadAll got = read_all(RAW_SYSTAT, path, 1, "school$", vars);
        EXPECT_EQ(got.last, PKG_END);
        EXPECT_EQ(got.ids, (std::vector<std::string>{right12("A12"), right12("A12"), right12("B7"), right12("C0012")}));
        ASSERT_EQ(got.values.size(), 4u) << l.extra;
        for (int r = 0; r < 4; ++r) {
            std::vector<double> want = {10.25 + r, r == 1 ? MISSING_VALUE : 0.5 * r};  // in the order chosen
            if (l.extra) want.push_back(l.extra - 1);
            EXPECT_EQ(got.values[r], want) << r;
        }
        ReadAll numeric = read_all(RAW_SYSTAT, path, 1, "id", {"ses"});
        EXPECT_TRUE(numeric.numericId);
        EXPECT_EQ(numeric.ids, (std::vector<std::string>{"100", "100", "101", "101"}));
    }
}

TEST(SystatFiles, DamagedHeadersAndLongIdsEndTheRun) {
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
    for (const auto& c : cases) {
        testsupport::write_file(path, c.bytes);
        ChildResult r = in_child([&] {
            PackageFile p;
            pkg_read_header(p, std::fopen(path.c_str(), "rb"), RAW_SYSTAT, 1, path.c_str());
            std::printf("[%d]", pkg_find_variable(p, "abcdefgh$"));
        });
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.status == 1 ? c.message + " " + path + " is an empty file\n" : c.message);
    }
    SystatSpec sp = school_file(true, false, false, 0);
    sp.num[2][0] = -1234567890123.0;
    testsupport::write_file(path, systat_file(sp));
    ChildResult r = in_child([&] { read_all(RAW_SYSTAT, path, 1, "id", {"ses"}); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ID must be no more than 12 digits long\n");
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
    testsupport::write_file(dir + "/s.sys", systat_file({{"SCHOOL$", "ID", "SES", "NAME$", "MATH", "LONGID$"}, {}, {}, true, {}, false}));
    for (const auto& c : cases) {
        std::string path = c.type == RAW_SYSTAT ? dir + "/s.sys" : testsupport::data_path("packages/small2.sav");
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
