// Damaged input never silently becomes data: the reproducers of a fault
// campaign run end to end, and a bounded fault loop per input kind (every
// truncation length of a small file, a fixed set of damaged header fields and
// text fields) checks that each build ends cleanly.
#include <algorithm>

#include "app/app.h"
#include "mdm/mdm_test_util.h"

using namespace mdmtest;
using testsupport::data_path;
using testsupport::read_file;
using testsupport::write_file;

namespace {

// ---- The reproducers, end to end ------------------------------------------------

struct Repro {
    const char* name;
    std::vector<std::pair<const char*, const char*>> files;  // tests/data path, name in the run folder
    const char* args;
    int status;
    std::vector<const char*> says;  // texts the console must show
    const char* mdm;                // MDM file the run leaves, or "" for none
};

const Repro kRepros[] = {
    {"r01 SPSS level-1 cut", {{"damaged/small1_cut.sav", "small1_cut.sav"}, {"packages/small2.sav", "small2.sav"}, {"damaged/spss_cut.mdmt", "t.mdmt"}},
     "-r t.mdmt", 4, {"The level-1 file small1_cut.sav is cut short inside record 395; 394 of the 813 records its header declares were read.\n", " Unexpected end of file on read\n"}, ""},
    {"r02 Stata level-1 cut", {{"damaged/small1_cut.dta", "small1_cut.dta"}, {"packages/small2_113.dta", "small2_113.dta"}, {"damaged/stata_cut.mdmt", "t.mdmt"}},
     "-r t.mdmt", 4, {"The level-1 file small1_cut.dta is cut short inside record 387; 386 of the 813 records", " Unexpected end of file on read\n"}, ""},
    {"r03 SAS level-1 cut", {{"damaged/small1_cut.xpt", "small1_cut.xpt"}, {"packages/small2.xpt", "small2.xpt"}, {"damaged/sas_cut.mdmt", "t.mdmt"}},
     "-r t.mdmt", 4, {"The level-1 file small1_cut.xpt is cut short inside record 405; 404 records were read.\n", " Unexpected end of file on read\n"}, ""},
    {"r04 SYSTAT level-1 cut", {{"damaged/small1_cut.sys", "small1_cut.sys"}, {"damaged/small2.sys", "small2.sys"}, {"damaged/systat_cut.mdmt", "t.mdmt"}},
     "-r t.mdmt", 4, {"The level-1 file small1_cut.sys is cut short inside record 289; 288 records were read.\n"}, ""},
    {"r05 SPSS case count too small", {{"damaged/small1_n2.sav", "small1_n2.sav"}, {"packages/small2.sav", "small2.sav"}, {"damaged/spss_n2.mdmt", "t.mdmt"}},
     "-r t.mdmt", 0, {"Warning: the level-1 file small1_n2.sav holds 813 records, but its header declares 2; only those 2 are used.\n", "      2 level-1 records have been processed\n"}, "out.mdm"},
    {"r07 SAS positions overlap", {{"packages/small1.xpt", "small1.xpt"}, {"damaged/small2_pos.xpt", "small2_pos.xpt"}, {"damaged/sas_pos.mdmt", "t.mdmt"}},
     "-r t.mdmt", 0, {"The level-2 file small2_pos.xpt is damaged: the positions of ID and SIZE overlap.\n"}, ""},
    {"r08 ASCII level-2 line short", {{"packages/small1.dat", "small1.dat"}, {"damaged/small2_short.dat", "small2.dat"}, {"packages/small_ascii.mdmt", "t.mdmt"}},
     "-r t.mdmt", 0, {"\nMissing data found at level-2 (file small2.dat, line 3, variable DISCLIM)! Unable to continue.\n"}, ""},
    {"r09 ASCII level-2 cut", {{"packages/small1.dat", "small1.dat"}, {"damaged/small2_cut.dat", "small2.dat"}, {"packages/small_ascii.mdmt", "t.mdmt"}},
     "-r t.mdmt", 0, {"(file small2.dat, line 20, variable SIZE)! Unable to continue.\n"}, ""},
    {"r10 level-2 format too short", {{"packages/small1.dat", "small1.dat"}, {"packages/small2.dat", "small2.dat"}, {"damaged/small_ascii_l2few.mdmt", "t.mdmt"}},
     "-r t.mdmt", 0, {"(file small2.dat, line 1, variable DISCLIM)! Unable to continue.\n"}, ""},
    {"r11 V-known line short", {{"damaged/bcg_short.dat", "bcg.dat"}, {"vknown/bcg.make.txt", "bcg.make.txt"}},
     "-r bcg.make.txt", 0, {"(file bcg.dat, line 5, variable ABLAT)! Unable to continue.\n"}, ""},
    {"r12 V-known cut", {{"damaged/hsb2stage_cut.dat", "hsb2stage.dat"}, {"vknown/hsb2stage.make.txt", "h.txt"}},
     "-r h.txt", 0, {"(file hsb2stage.dat, line 1, variable B0)! Unable to continue.\n"}, ""},
    {"r13 MDM record count 0", {{"damaged/small_n0.mdm", "small.mdm"}, {"damaged/fit.cmd", "fit.cmd"}},
     "small.mdm fit.cmd", 4, {" Unexpected end of file on read\n"}, "small.mdm"},
    {"r14 template names a variable twice", {{"packages/small1.sav", "small1.sav"}, {"packages/small2.sav", "small2.sav"}, {"damaged/small_spss_twice.mdmt", "t.mdmt"}},
     "-r t.mdmt", 0, {"Variable MATHACH is named twice!\n"}, ""},
};

class Reproducer : public ::testing::TestWithParam<Repro> {};

TEST_P(Reproducer, EndsWithItsMessageAndNoMdmFile) {
    const Repro& c = GetParam();
    std::string dir = testsupport::make_temp_dir("repro");
    std::vector<std::string> expected{"ARB2MDM.STS", "creatmdm.mdmt"};
    for (const auto& [from, to] : c.files) {
        write_file(dir + "/" + to, read_file(data_path(from)));
        expected.push_back(to);
    }
    if (*c.mdm) expected.push_back(c.mdm);
    testsupport::RunResult r = testsupport::run_arb2(c.args, dir);
    EXPECT_EQ(r.status, c.status) << r.out;
    for (const char* text : c.says) EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n---\n" << r.out;
    // Nothing else is left: no MDM file, no half-written one under another name, no report.
    for (const std::string& f : testsupport::list_dir(dir))
        EXPECT_NE(std::find(expected.begin(), expected.end(), f), expected.end()) << f;
    if (*c.mdm) {
        EXPECT_FALSE(read_file(dir + "/" + c.mdm).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Damaged, Reproducer, ::testing::ValuesIn(kRepros),
                         [](const auto& info) { return std::string(info.param.name).substr(0, 3); });

// ---- Bounded fault loop -----------------------------------------------------------

// One input kind: a small file that is damaged (as the level-1 file of a
// build whose level-2 file is an undamaged copy of it, so every group has one
// level-1 record and a run takes a moment), the command that builds it, and
// a fixed set of damaged fields: (offset, bytes written there).
struct FaultKind {
    const char* name;
    const char* source;      // tests/data path of the small file
    const char* target;      // name of the damaged copy in the run folder
    const char* companion;   // name of the undamaged copy, or "" when the build reads one file
    int type;                // RawDataType of the file
    std::string command;     // template (or response file) text
    bool statesCount;        // the header states its record count: no cut can pass
    std::vector<std::pair<long, std::string>> fields;
};

std::string le32(std::int32_t v) { return Bytes().i32(v).s; }

std::string package_template(const char* type, const char* ext) {
    return std::string("#ARB2 MDM CREATION TEMPLATE\nrawdattype:") + type + "\nl1fname:l1" + ext + "\nl2fname:l2" +
           ext + "\nl1missing:n\ntimeofdeletion:now\nmdmname:out.mdm\n*begin l1vars\nlevel2id:id\nsize\n*end l1vars\n"
           "*begin l2vars\nlevel2id:id\nsector\npracad\n*end l2vars\n";
}

const std::string kAscii =
    "#ARB2 MDM CREATION TEMPLATE\nrawdattype:ascii\nl1fname:l1.dat\nl2fname:l2.dat\nnuml1var:1\nnuml2var:5\n"
    "l1format:(A12,F12.6)\nl2format:(A12,5F12.6)\nl1missing:n\ntimeofdeletion:now\nmdmname:out.mdm\n"
    "*begin l1vars\nsize\n*end l1vars\n*begin l2vars\nsize\nsector\npracad\ndisclim\nmeanses\n*end l2vars\n";

// Line 5 of the level-2 ASCII file starts at 4 * 73; of the V-known file at 4 * 77.
const FaultKind kKinds[] = {
    {"spss", "packages/small2.sav", "l1.sav", "l2.sav", RAW_SPSS, package_template("spss", ".sav"), true,
     {{80, le32(19)}, {80, le32(21)}, {80, le32(0)}, {80, le32(-1)}, {80, le32(0x7fffffff)}, {68, le32(5)}}},
    {"spss compressed", "packages/small2_c.sav", "l1.sav", "l2.sav", RAW_SPSS, package_template("spss", ".sav"), true,
     {{80, le32(19)}, {80, le32(21)}, {80, le32(0x7fffffff)}}},
    {"stata 113", "packages/small2_113.dta", "l1.dta", "l2.dta", RAW_STATA, package_template("stata", ".dta"), true,
     {{6, le32(19)}, {6, le32(21)}, {6, le32(0)}, {6, le32(0x7fffffff)}}},
    {"stata 110", "packages/small2_110.dta", "l1.dta", "l2.dta", RAW_STATA, package_template("stata", ".dta"), true,
     {{6, le32(19)}, {6, le32(21)}}},
    // Descriptors of 140 bytes from 640: the second variable's position moved onto the first.
    {"sas", "packages/small2.xpt", "l1.xpt", "l2.xpt", RAW_SAS, package_template("sas", ".xpt"), false,
     {{640 + 140 + 84, Bytes{"", true}.i32(0).s}, {640 + 84, Bytes{"", true}.i32(2470).s}, {614, "0009"}}},
    {"systat", "damaged/small2.sys", "l1.sys", "l2.sys", RAW_SYSTAT, package_template("systat", ".sys"), false,
     {{235, std::string("\x02", 1)}, {231, std::string("\x09", 1)}}},
    {"ascii level 2", "packages/small2.dat", "l2.dat", "l1.dat", RAW_ASCII, kAscii, false,
     {{4 * 73 + 36, std::string(12, ' ')}, {4 * 73 + 63, "x"}}},
    {"vknown", "vknown/bcg.dat", "bcg.dat", "", RAW_VKNOWN, read_file(data_path("vknown/bcg.make.txt")), false,
     {{4 * 77 + 28, std::string(16, ' ')}, {4 * 77 + 49, "x"}}},
};

// Runs the build of the run folder (the current directory) in a forked child.
ChildResult build_in_child() {
    return in_child([] {
        char a0[] = "arb2", a1[] = "-r", a2[] = "t.mdmt";  // a template, or the V-known answers
        char* argv[] = {a0, a1, a2, nullptr};
        run_driver(3, argv);
    });
}

// True when every group the damaged build stored is the undamaged build's
// group at the same place: a shorter file may give fewer groups, never changed ones.
bool groups_are_a_prefix(const std::string& cut, const std::string& whole) {
    return in_child([&] {
               MdmContents c = read_whole_mdm(cut), w = read_whole_mdm(whole);
               bool same = c.h.numGroups <= w.h.numGroups && c.h.numL1Vars == w.h.numL1Vars &&
                           c.h.numL2Vars == w.h.numL2Vars;
               for (int j = 0; same && j < c.h.numGroups; ++j) {
                   const std::size_t J = static_cast<std::size_t>(j), p2 = static_cast<std::size_t>(c.h.numL2Vars);
                   same = std::equal(c.h.l2Data.begin() + J * p2, c.h.l2Data.begin() + (J + 1) * p2,
                                     w.h.l2Data.begin() + J * p2);
                   if (c.h.isVKnown)
                       same = same && slot_text(c.vknown[J].id) == slot_text(w.vknown[J].id) &&
                              c.vknown[J].stats == w.vknown[J].stats && c.vknown[J].l2Values == w.vknown[J].l2Values;
                   else
                       same = same && c.blocks[J].records == w.blocks[J].records &&
                              (c.h.numericIds ? c.h.numIds[J] == w.h.numIds[J]
                                              : slot_text(c.h.charIds[J]) == slot_text(w.h.charIds[J]));
               }
               std::exit(same ? 0 : 1);
           }).status == 0;
}

TEST(FaultLoop, EveryCutAndDamagedFieldEndsCleanly) {
    InTempDir d("faults");
    for (const FaultKind& k : kKinds) {
        const std::string whole = read_file(data_path(k.source));
        write_file("t.mdmt", k.command);
        if (*k.companion) write_file(k.companion, whole);
        write_file(k.target, whole);
        ChildResult base = build_in_child();
        ASSERT_EQ(base.status, 0) << k.name << ": " << base.out;
        const std::string mdm = k.type == RAW_VKNOWN ? "bcg.mdm" : "out.mdm";
        std::rename(mdm.c_str(), "base.mdm");
        const std::string baseline = read_file("base.mdm");
        long dataStart = 0;
        if (k.type != RAW_ASCII && k.type != RAW_VKNOWN) {
            PackageFile pf;
            pkg_read_header(pf, std::fopen(k.target, "rb"), k.type, 1, k.target);
            dataStart = pf.dataStart;
            pkg_close(pf);
        }

        // Cuts at every length of the first record or two (every place in a record)
        // and of the end of the file, every 37th length elsewhere (a fork each is
        // slow under the sanitizers); the reader tests cut every header length.
        std::vector<std::pair<std::string, std::string>> cases;  // what was done, the damaged file
        std::vector<bool> inData;
        const long size = static_cast<long>(whole.size());
        for (long len = 0; len < size; ++len) {
            if (len % 37 != 0 && (len < dataStart || len > dataStart + 80) && len + 24 < size) continue;
            cases.push_back({"cut at " + std::to_string(len), whole.substr(0, static_cast<std::size_t>(len))});
            inData.push_back(len >= dataStart);
        }
        for (const auto& [offset, bytes] : k.fields)
            cases.push_back({"field at " + std::to_string(offset), std::string(whole).replace(static_cast<std::size_t>(offset), bytes.size(), bytes)});
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const auto& [what, damaged] = cases[i];
            SCOPED_TRACE(std::string(k.name) + ", " + what);
            write_file(k.target, damaged);
            ChildResult r = build_in_child();
            ASSERT_NE(r.status, -1) << r.out;
            ASSERT_EQ(r.out.find("Sanitizer"), std::string::npos) << r.out;
            ASSERT_EQ(r.out.find("runtime error"), std::string::npos) << r.out;
            // A cut in the data of a file that states its record count always stops the build.
            if (k.statesCount && i < inData.size() && inData[i]) {
                ASSERT_EQ(r.status, 4) << r.out;
            }
            for (const std::string& f : testsupport::list_dir(d.dir))
                ASSERT_TRUE(f == k.target || f == k.companion || f == "t.mdmt" || f == "base.mdm" ||
                            f == mdm || f == "ARB2MDM.STS" || f == "creatmdm.mdmt")
                    << "left behind: " << f;
            const std::string built = read_file(mdm);
            std::remove(mdm.c_str());
            if (built.empty()) {
                ASSERT_FALSE(r.out.empty());  // stopped, and said why
            } else if (built != baseline) {
                // Fewer whole groups, never changed ones; where the header states a count, only after a warning.
                write_file("cut.mdm", built);
                ASSERT_TRUE(groups_are_a_prefix("cut.mdm", "base.mdm")) << r.out;
                std::remove("cut.mdm");
                if (k.statesCount) {
                    ASSERT_NE(r.out.find("Warning"), std::string::npos) << r.out;
                }
            }
        }
        for (const std::string& f : testsupport::list_dir(d.dir)) std::remove(f.c_str());
    }
}

}  // namespace
