// Damaged headers of the shipped SPSS, Stata and SAS-transport copies of the
// small data set end with their messages (the cells of these copies are checked
// by the MDM build against the fixed-format copy).
#include "mdm/mdm_test_util.h"

using namespace mdmtest;
using testsupport::data_path;

// Leak checking under the sanitizer build stays on for the test process itself.
extern "C" int __lsan_is_turned_off() { return mdmtest::inForkedChild ? 1 : 0; }

namespace {

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
        ChildResult r = in_child([&] {
            PackageFile p;
            pkg_read_header(p, std::fopen(path.c_str(), "rb"), d.type, 2, path.c_str());
        });
        EXPECT_EQ(r.status, 1) << d.file << "@" << d.offset << ": " << r.out;
        std::string want = std::string(d.message) + " " + path + " is an empty file\n";
        EXPECT_EQ(r.out, want) << d.file << "@" << d.offset;
    }
}

}  // namespace
