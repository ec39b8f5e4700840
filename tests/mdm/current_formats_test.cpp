// Every package copy of the 20-school data set (old and current formats,
// written by independent writers) built into an MDM file and compared with the
// fixed-format build; the CSV faults end to end; damaged copies of every package
// file kind.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;
using testsupport::run_arb2;

namespace {

const char* const kL1Vars = "MINORITY\nFEMALE\nSES\nMATHACH\n";
const char* const kL2Vars = "SIZE\nSECTOR\nPRACAD\nDISCLIM\nMEANSES\n";

std::string make_template(const std::string& type, const std::string& l1, const std::string& l2, const std::string& id1,
                          const std::string& vars1, const std::string& id2, const std::string& vars2) {
    return "#ARB2 MDM CREATION TEMPLATE\nrawdattype:" + type + "\nl1fname:" + l1 + "\nl2fname:" + l2 +
           "\nl1missing:y\ntimeofdeletion:now\nmdmname:out.mdm\n*begin l1vars\nlevel2id:" + id1 + "\n" + vars1 +
           "*end l1vars\n*begin l2vars\nlevel2id:" + id2 + "\n" + vars2 + "*end l2vars\n";
}

// Everything an MDM file holds except the raw-file names and the source code.
std::string data_of(const MdmContents& m) {
    const MdmHeader& h = m.h;
    std::ostringstream s;
    s << std::hexfloat << h.numL1Vars << ' ' << h.numL2Vars << ' ' << h.numL1Records << ' ' << h.numGroups << ' '
      << h.hasMissing << h.deleteNow << h.growthModel << ' ' << h.maxGroupSize << '\n';
    for (const auto* t : {&h.l1Names, &h.l2Names})
        for (const NameSlot& n : *t) s << '[' << slot_text(n) << ']';
    for (const auto* t : {&h.l1Means, &h.l2Means, &h.l2Data})
        for (double v : *t) s << ' ' << v;
    for (int j = 0; j < h.numGroups; ++j) {
        const std::size_t g = static_cast<std::size_t>(j);
        RecordId id{h.numericIds ? NameSlot{} : h.charIds[g], h.numericIds ? h.numIds[g] : 0.0};
        s << '\n' << id_text(id, h.numericIds) << ':' << m.blocks[g].count;
        const GroupBlock& b = m.blocks[g];
        for (double v : b.means) s << ' ' << v;
        for (double v : b.records) s << ' ' << v;
    }
    return s.str();
}

// Every package copy of the 20-school data set, old and current formats; the
// source type as stored (negative for numeric IDs).
const struct CurrentCase { const char *type, *l1, *l2, *id; int sourceType; } kCurrent[] = {
    {"sas", "small1.xpt", "small2.xpt", "ID", RAW_SAS},
    {"spss", "small1.sav", "small2.sav", "ID", RAW_SPSS},
    {"spss", "small1_c.sav", "small2_c.sav", "ID", -RAW_SPSS},
    {"stata", "small1_110.dta", "small2_110.dta", "ID", RAW_STATA},
    {"stata", "small1_113.dta", "small2_113.dta", "ID", -RAW_STATA},
    {"stata", "current/small1_114.dta", "current/small2_114.dta", "ID", -RAW_STATA},
    {"stata", "current/small1_117.dta", "current/small2_117.dta", "ID", RAW_STATA},
    {"stata", "current/small1_118.dta", "current/small2_118.dta", "ID", -RAW_STATA},  // missing values as .a, .b, ...
    {"stata", "current/small1_119.dta", "current/small2_119.dta", "id", RAW_STATA},
    {"sas", "current/small1.sas7bdat", "current/small2.sas7bdat", "ID", RAW_SAS},
    {"sas", "current/small1_rle.sas7bdat", "current/small2_rle.sas7bdat", "ID", RAW_SAS},
    {"spss", "current/small1.zsav", "current/small2.zsav", "school_identifier", RAW_SPSS},  // -99 declared user-missing
    {"spss", "current/small1_long.sav", "current/small2_long.sav", "SCHOOL_IDENTIFIER", RAW_SPSS},
    {"csv", "current/small1_crlf.csv", "current/small2_crlf.csv", "Id", RAW_ASCII},  // BOM, CRLF, NA and "."
};

// The fixed-format build is pinned by a golden copy; every package copy must
// build the same data (only the raw-file names and the source type differ).
TEST(CurrentFormats, BuildTheSameMdmDataAsTheFixedFormatFiles) {
    std::string ascii = testsupport::make_temp_dir("cur-ascii");
    for (const char* f : {"small1.dat", "small2.dat", "small_ascii.mdmt"}) testsupport::copy_data(std::string("packages/") + f, ascii);
    ASSERT_EQ(run_arb2("-r small_ascii.mdmt", ascii).status, 0);
    const MdmContents base = read_whole_mdm(ascii + "/small_ascii.mdm");
    testsupport::expect_golden("mdm_small_ascii.txt", describe_mdm(base));
    const std::string want = data_of(base);
    for (const CurrentCase& c : kCurrent) {
        std::string dir = testsupport::make_temp_dir("cur");
        for (const char* f : {c.l1, c.l2}) testsupport::copy_data(std::string("packages/") + f, dir);
        const std::string l1 = std::filesystem::path(c.l1).filename(), l2 = std::filesystem::path(c.l2).filename();
        testsupport::write_file(dir + "/t.mdmt", make_template(c.type, l1, l2, c.id, kL1Vars, c.id, kL2Vars));
        auto r = run_arb2("-r t.mdmt", dir);
        EXPECT_EQ(r.status, 0) << c.l1 << r.out;
        EXPECT_NE(r.out.find("    801 level-1 records have been processed\n     20 level-2 records"), std::string::npos) << c.l1 << r.out;
        MdmContents m = read_whole_mdm(dir + "/out.mdm");
        EXPECT_EQ(m.h.sourceType * (m.h.numericIds ? -1 : 1), c.sourceType) << c.l1;
        EXPECT_EQ(m.h.l1FileName, l1);
        EXPECT_TRUE(m.atEnd) << c.l1;
        EXPECT_EQ(data_of(m), want) << c.l1;
    }
}

// CSV faults: each stops before the MDM file is opened, with file, line and column.
const char* const kL2 = "id,size,sector\n\"A\",10,1\n\"B\",20,0\n";
const char* const kL1 = "id,ses,math\nA,1,2\nA,1.5,NA\n";
// Rows added to kL1, a header replacing kL1's when set, the ID and variable lines, the message.
const struct CsvFault { const char *l1Rows, *header, *id, *vars, *message; } kFaults[] = {
    {"", nullptr, "school", "ses\n", "l1.csv, line 1: no column school for the group ID!\n"},
    {"", nullptr, "id", "ses\nmathach\n", "l1.csv, line 1: no column mathach!\n"},
    {"B,abc,3\n", nullptr, "id", "ses\nmath\n", "l1.csv, line 4, column 2 (ses): \"abc\" is not a number!\n"},
    {"B, 1e5x ,3\n", nullptr, "id", "math\nses\n", "l1.csv, line 4, column 2 (ses): \"1e5x\" is not a number!\n"},
    {"B,1\n", nullptr, "id", "ses\n", "l1.csv, line 4: 2 fields, but the header has 3!\n"},
    {"B,1,2,3\n", nullptr, "id", "ses\n", "l1.csv, line 4: 4 fields, but the header has 3!\n"},
    {"B,1,2\r\nC,1,2\r\n", nullptr, "ID", "ses\n",
     "l1.csv, line 5, column 1 (id): group C is not in the level-2 file l2.csv!\n"},
    {"\"B,1,2\n", nullptr, "id", "ses\n", "l1.csv, line 4: a quoted field is not closed!\n"},
    {"\"\",1,2\n", nullptr, "id", "ses\n", "l1.csv, line 4, column 1 (id): the group ID is empty!\n"},
    {"ABCDEFGHIJKLM,1,2\n", nullptr, "id", "ses\n",
     "l1.csv, line 4, column 1 (id): the group ID \"ABCDEFGHIJKLM\" is longer than 12 characters!\n"},
    {"", "id,socioeconomic_a,socioeconomic_b\n", "id", "socioeconomic_a\nSOCIOECONOMIC_B\n",
     "CSV may allow for variable name lengths > 8, but not the ARBs!\n"
     "The level-1 variables socioeconomic_a and socioeconomic_b both become SOCIOECO when cut to 8 characters!\n"},
};

TEST(CsvFaults, StopWithFileLineAndColumnAndLeaveNoMdmFile) {
    for (const CsvFault& f : kFaults) {
        std::string dir = testsupport::make_temp_dir("csvfault");
        std::string l1 = kL1;
        if (f.header) l1.replace(0, l1.find('\n') + 1, f.header);
        testsupport::write_file(dir + "/l1.csv", l1 + f.l1Rows);
        testsupport::write_file(dir + "/l2.csv", kL2);
        testsupport::write_file(dir + "/t.mdmt", make_template("csv", "l1.csv", "l2.csv", f.id, f.vars, "id", "size\nsector\n"));
        auto r = run_arb2("-r t.mdmt", dir);
        EXPECT_EQ(r.status, 0) << f.message;
        EXPECT_NE(r.out.find(f.message), std::string::npos) << r.out;
        EXPECT_FALSE(std::filesystem::exists(dir + "/out.mdm")) << f.message;
    }
}

// Every package file kind cut at every length (SAS7BDAT, with its 4096-byte
// pages, at every 24th) and with random bytes changed, read through to the end
// in a child: it must end by a message or normally, never by a signal or a
// sanitizer report; a cut inside the header of an old format ends with message 1
// naming the file. A fork a case is slow under the sanitizers, so the cases run
// in a shuffled order within a few seconds a file (ARB2_DAMAGE_SECONDS).
TEST(PackageFiles, DamagedFilesNeverCrash) {
    const struct { int type; const char* file; std::size_t step; bool headerCutSays; } kFiles[] = {
        {RAW_STATA, "packages/current/tiny_114.dta", 1, false}, {RAW_STATA, "packages/current/tiny_119.dta", 1, false},
        {RAW_SPSS, "packages/current/tiny.zsav", 1, false},     {RAW_SAS, "packages/current/tiny_rle.sas7bdat", 24, false},
        {RAW_CSV, "packages/current/tiny.csv", 1, false},       {RAW_SPSS, "packages/small2.sav", 1, true},
        {RAW_STATA, "packages/small2_113.dta", 1, true},        {RAW_SAS, "packages/small2.xpt", 1, true},
        {RAW_SYSTAT, "damaged/small2.sys", 1, true},
    };
    const char* env = std::getenv("ARB2_DAMAGE_SECONDS");
    const double seconds = env ? std::atof(env) : 1.5;
    std::mt19937 rng(17);
    std::string path = testsupport::make_temp_dir("curdamage") + "/f";
    for (const auto& k : kFiles) {
        const std::string whole = testsupport::read_file(testsupport::data_path(k.file));
        long dataStart = 0;
        if (k.headerCutSays) {
            PackageFile pf;
            pkg_read_header(pf, std::fopen(testsupport::data_path(k.file).c_str(), "rb"), k.type, 2, k.file);
            dataStart = pf.dataStart;
            pkg_close(pf);
        }
        std::vector<std::string> cases;
        for (std::size_t len = 0; len < whole.size(); len += k.step) cases.push_back(whole.substr(0, len));
        for (int i = 0; i < 100; ++i) {
            cases.push_back(whole);
            for (int n = 0; n < 3; ++n) cases.back()[rng() % whole.size()] = static_cast<char>(rng());
        }
        std::shuffle(cases.begin(), cases.end(), rng);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        std::size_t done = 0;
        for (; done < cases.size() && std::chrono::steady_clock::now() < deadline; ++done) {
            testsupport::write_file(path, cases[done]);
            ChildResult r = in_child([&] {
                PackageFile pf;
                pkg_read_header(pf, std::fopen(path.c_str(), "rb"), k.type, 2, path.c_str());
                int id = pkg_find_variable(pf, "id");
                if (id < 0) return;
                pkg_set_id(pf, id);
                for (std::size_t i = 0; i < pf.vars.size(); ++i)
                    if (static_cast<int>(i) != id && !pf.vars[i].isChar) pkg_add_selected(pf, static_cast<int>(i));
                pkg_selection_done(pf);
                PackageRecord rec;
                while (pkg_read_record(pf, rec) == PKG_RECORD) {
                }
                pkg_close(pf);
            });
            const std::string what = std::string(k.file) + " case " + std::to_string(done) + ": " + r.out;
            ASSERT_NE(r.status, -1) << what;
            ASSERT_EQ(r.out.find("Sanitizer"), std::string::npos) << what;
            ASSERT_EQ(r.out.find("runtime error"), std::string::npos) << what;
            if (static_cast<long>(cases[done].size()) < dataStart && whole.compare(0, cases[done].size(), cases[done]) == 0) {
                ASSERT_EQ(r.status, 1) << what;
                ASSERT_NE(r.out.find(" " + path + " is an empty file\n"), std::string::npos) << what;
            }
        }
        std::printf("%s: %zu of %zu damaged copies read\n", k.file, done, cases.size());
    }
}

}  // namespace
