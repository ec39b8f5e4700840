// The package readers against the shipped copies of one small data set written
// by independent SPSS, Stata and SAS-transport writers, checked cell by cell
// against the CSV copies; and the same files cut short or damaged.
#include <algorithm>
#include <sstream>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;
using testsupport::data_path;

// Leak checking under the sanitizer build stays on for the test process itself.
extern "C" int __lsan_is_turned_off() { return mdmtest::inForkedChild ? 1 : 0; }

namespace {

// Names, IDs and cells of a CSV copy; empty cells are MISSING_VALUE.
struct CsvData {
    std::vector<std::string> names, ids;
    std::vector<std::vector<double>> values;
};

CsvData read_csv(const std::string& path) {
    CsvData d;
    std::istringstream in(testsupport::read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream ls(line + ",");
        for (std::string c; std::getline(ls, c, ',');) cells.push_back(c.empty() || c[0] != '"' ? c : c.substr(1, c.size() - 2));
        if (d.names.empty()) {
            d.names.assign(cells.begin() + 1, cells.end());
            continue;
        }
        d.ids.push_back(cells[0]);
        d.values.emplace_back();
        for (std::size_t i = 1; i < cells.size(); ++i) {
            d.values.back().push_back(cells[i].empty() ? MISSING_VALUE : std::strtod(cells[i].c_str(), nullptr));
        }
    }
    return d;
}

struct ShippedCase {
    const char* file;
    int type, level;
    const char* csv;
    bool numericId;
};

const ShippedCase kShipped[] = {
    {"small1.sav", RAW_SPSS, 1, "small1.csv", false},   {"small2.sav", RAW_SPSS, 2, "small2.csv", false},
    {"small1_c.sav", RAW_SPSS, 1, "small1.csv", true},  {"small2_c.sav", RAW_SPSS, 2, "small2.csv", true},
    {"small1_113.dta", RAW_STATA, 1, "small1.csv", true}, {"small2_113.dta", RAW_STATA, 2, "small2.csv", true},
    {"small1_110.dta", RAW_STATA, 1, "small1.csv", false}, {"small2_110.dta", RAW_STATA, 2, "small2.csv", false},
    {"small1.xpt", RAW_SAS, 1, "small1.csv", false},    {"small2.xpt", RAW_SAS, 2, "small2.csv", false},
};

class ShippedFiles : public ::testing::TestWithParam<ShippedCase> {};

TEST_P(ShippedFiles, DeliverEveryCellOfTheCsvCopy) {
    const ShippedCase& c = GetParam();
    CsvData csv = read_csv(data_path(std::string("packages/") + c.csv));
    ReadAll got = read_all(c.type, data_path(std::string("packages/") + c.file), c.level, "id", csv.names);
    EXPECT_EQ(got.last, PKG_END);
    EXPECT_EQ(got.numericId, c.numericId);
    ASSERT_EQ(got.ids.size(), csv.ids.size());
    int missing = 0;
    for (std::size_t r = 0; r < csv.ids.size(); ++r) {
        std::string id = csv.ids[r];
        EXPECT_EQ(got.ids[r], c.numericId ? id : pkg_char_id(id.c_str(), static_cast<int>(id.size())).text);
        ASSERT_EQ(got.values[r].size(), csv.names.size());
        for (std::size_t v = 0; v < csv.names.size(); ++v) {
            missing += csv.values[r][v] == MISSING_VALUE;
            // Exact: IBM floats of full length hold every IEEE double written to them.
            EXPECT_EQ(got.values[r][v], csv.values[r][v]) << "record " << r << " " << csv.names[v];
        }
    }
    EXPECT_EQ(missing, c.level == 1 ? 12 : 0);
}

INSTANTIATE_TEST_SUITE_P(Packages, ShippedFiles, ::testing::ValuesIn(kShipped));

// Every cut inside the header ends with message 1 naming the file (never a
// crash); every cut inside the data ends the records quietly or as a read error.
TEST(ShippedFiles, TruncatedAtEveryLengthFailCleanly) {
    std::string dir = testsupport::make_temp_dir("pkgcut");
    for (const ShippedCase& c : kShipped) {
        // One file of each layout; the other copies share their code paths.
        if (c.level != 2 || std::string(c.file) == "small2_c.sav" || std::string(c.file) == "small2_110.dta") continue;
        std::string whole = testsupport::read_file(data_path(std::string("packages/") + c.file));
        PackageFile pf;
        pkg_read_header(pf, std::fopen(data_path(std::string("packages/") + c.file).c_str(), "rb"), c.type, 2,
                        c.file);
        const long dataStart = pf.dataStart;
        pkg_close(pf);
        std::string path = dir + "/cut";
        // Inside the header: every length of the first 64 bytes, then every 13th
        // and the last (a fork each is slow under the sanitizers); in the data,
        // every length of the first 100 bytes, then every 7th.
        auto next = [dataStart](long len) {
            if (len < 64 || (len >= dataStart - 1 && len < dataStart + 100)) return len + 1;
            return len < dataStart ? std::min(len + 13, dataStart - 1) : len + 7;
        };
        for (long len = 0; len < static_cast<long>(whole.size()); len = next(len)) {
            testsupport::write_file(path, whole.substr(0, static_cast<std::size_t>(len)));
            if (len < dataStart) {
                ChildResult r = header_in_child(c.type, path);
                ASSERT_EQ(r.status, 1) << c.file << " cut at " << len << ": " << r.out;
                ASSERT_NE(r.out.find(" " + path + " is an empty file\n"), std::string::npos) << r.out;
            } else {
                ReadAll got = read_all(c.type, path, 2, "id", {"size", "meanses"});
                ASSERT_NE(got.last, PKG_RECORD);
                ASSERT_LE(got.ids.size(), 20u);
            }
        }
    }
}

// `message` comes before " <file> is an empty file".
const struct { const char* file; int type; long offset; std::string bytes; const char* message; } kDamage[] = {
    {"small2.sav", RAW_SPSS, 0, "$FL4", "The level-2 file does not seem to be a SPSS file!\n"},
    {"small2.sav", RAW_SPSS, 64, std::string("\x07\0\0\0", 4), "The level-2 file does not seem to be a SPSS file!\n"},
    // A case size far beyond the variable records present.
    {"small2.sav", RAW_SPSS, 68, std::string("\xff\xff\xff\x7f", 4), "The level-2 file does not seem to be a SPSS file!\n"},
    // An extension record (at 0x170) claiming two thousand million elements.
    {"small2.sav", RAW_SPSS, 0x178, std::string("\x08\0\0\0\xff\xff\xff\x7f", 8),
     "Invalid dictionary subtype in SPSS level-2 file.\n"},
    {"small2.sav", RAW_SPSS, 0x170, std::string("\x05\0\0\0", 4), "The level-2 SPSS has a strange header.\n"},
    {"small2_113.dta", RAW_STATA, 0, "\x64", "The level-2 file does not seem to be a Stata file!\n"},
    {"small2_113.dta", RAW_STATA, 0, "\x70", "So sorry, but ARB2 cannot read this version of stata"},
    {"small2_113.dta", RAW_STATA, 4, std::string("\0\0", 2), ""},
    {"small2_113.dta", RAW_STATA, 6, std::string("\xff\xff\xff\xff", 4), ""},
    {"small2_113.dta", RAW_STATA, 0x6d, "\xfa", "The level-2 file does not seem to be a Stata file!\n"},
    {"small2.xpt", RAW_SAS, 0, "HEADER RECORD*******LIBRARZ", "The level-2 file does not seem to be a SAS transport file!\n"},
    {"small2.xpt", RAW_SAS, 0x13b, "138", "The level-2 file does not seem to be a SAS transport file!\n"},
    {"small2.xpt", RAW_SAS, 0x266, "9999", "The level-2 file does not seem to be a SAS transport file!\n"},
    {"small2.xpt", RAW_SAS, 0x5f0, "HEADER RECORD*******OBX", "The level-2 file does not seem to be a SAS transport file!\n"},
    {"small2.xpt", RAW_SAS, 0x280, std::string("\0\x03", 2), "The level-2 file does not seem to be a SAS transport file!\n"},
};

TEST(ShippedFiles, DamagedHeadersEndWithTheirMessages) {
    std::string dir = testsupport::make_temp_dir("pkgbad");
    for (const auto& d : kDamage) {
        std::string bytes = testsupport::read_file(data_path(std::string("packages/") + d.file));
        bytes.replace(static_cast<std::size_t>(d.offset), d.bytes.size(), d.bytes);
        std::string path = dir + "/bad";
        testsupport::write_file(path, bytes);
        ChildResult r = header_in_child(d.type, path);
        EXPECT_EQ(r.status, 1) << d.file << "@" << d.offset << ": " << r.out;
        std::string want = std::string(d.message) + " " + path + " is an empty file\n";
        EXPECT_EQ(r.out, want) << d.file << "@" << d.offset;
    }
}

}  // namespace
