// SAS transport: IBM hexadecimal floats, SAS missing values, 136-byte
// descriptors, and the conversion step that runs the outside "sas" command.
#include <sys/stat.h>

#include <cmath>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;
using testsupport::data_path;

namespace {

const struct { std::vector<unsigned char> bytes; double value; bool missing; } kIbm[] = {
    {{0x41, 0x10, 0, 0, 0, 0, 0, 0}, 1.0, false},
    {{0xC1, 0x10, 0, 0, 0, 0, 0, 0}, -1.0, false},
    {{0x40, 0x80, 0, 0, 0, 0, 0, 0}, 0.5, false},
    {{0x40, 0x19, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}, 0.1, false},
    {{0x44, 0x10, 0, 0, 0, 0, 0, 0}, 4096.0, false},
    {{0x41, 0x18, 0}, 1.5, false},                   // three bytes, zero-extended
    {{0, 0, 0, 0, 0, 0, 0, 0}, 0.0, false},
    {{0x2E, 0, 0, 0, 0, 0, 0, 0}, MISSING_VALUE, true},   // .
    {{0x41, 0, 0, 0, 0, 0, 0, 0}, MISSING_VALUE, true},   // .A
    {{0x5F, 0, 0, 0}, MISSING_VALUE, true},               // ._ in four bytes
};

TEST(SasTransport, IbmFloatsAndMissingValues) {
    for (const auto& c : kIbm) {
        int len = static_cast<int>(c.bytes.size());
        EXPECT_EQ(sas_is_missing(c.bytes.data(), len), c.missing) << c.value;
        if (!c.missing) {
            EXPECT_NEAR(ibm_to_double(c.bytes.data(), len), c.value, std::fabs(c.value) * 1e-15);
        }
    }
}

// The shipped 140-byte descriptor file rewritten with 136-byte descriptors.
std::string with_short_descriptors(const std::string& x) {
    const std::size_t first = 0x280, nv = 6, obs = 0x5f0;
    std::string out = x.substr(0, first);
    out.replace(0xf0 + 75, 3, "136");
    for (std::size_t i = 0; i < nv; ++i) out += x.substr(first + i * 140, 136);
    out.append((80 - out.size() % 80) % 80, ' ');
    return out + x.substr(obs);
}

TEST(SasTransport, ShortDescriptorsReadLikeLongOnes) {
    std::string path = testsupport::make_temp_dir("sas136") + "/small2_136.xpt";
    testsupport::write_file(path, with_short_descriptors(testsupport::read_file(data_path("packages/small2.xpt"))));
    std::vector<std::string> vars = {"size", "sector", "pracad", "disclim", "meanses"};
    ReadAll a = read_all(RAW_SAS, path, 2, "id", vars), b = read_all(RAW_SAS, data_path("packages/small2.xpt"), 2, "id", vars);
    EXPECT_EQ(a.ids.size(), 20u);
    EXPECT_EQ(a.ids, b.ids);
    EXPECT_EQ(a.values, b.values);
}

const struct { const char* answer; bool withSas, converted; const char* output; } kConversions[] = {
    {"y\n", true, true,
     "I don't see data.ssp, but I do see data.ssd.\n"
     "Would you like me to convert it to a transport file? Give me a moment to run the SAS job...\n"
     "Please keep data.ssp around if you want to do a non-linear run.\n[1]"},
    {"y\n", false, false,
     "I don't see data.ssp, but I do see data.ssd.\n"
     "Would you like me to convert it to a transport file? Give me a moment to run the SAS job...\n[0]"},
    {"n\n", true, false,
     "I don't see data.ssp, but I do see data.ssd.\nWould you like me to convert it to a transport file? [0]"},
};

TEST(SasTransport, ConversionJobRunsTheOutsideCommand) {
    for (const auto& c : kConversions) {
        std::string dir = testsupport::make_temp_dir("sasjob");
        testsupport::write_file(dir + "/data.ssd", "not really a data set");
        testsupport::write_file(dir + "/answers", c.answer);
        std::string bin = dir + "/bin";
        mkdir(bin.c_str(), 0755);
        if (c.withSas) {
            // A stand-in for the SAS system: keeps the job and makes the transport file.
            testsupport::write_file(bin + "/sas", "#!/bin/sh\ncp \"$1\" job.txt\necho x > data.ssp\necho log > xyzzy.log\n");
            chmod((bin + "/sas").c_str(), 0755);
        }
        ChildResult r = in_child([&] {
            if (chdir(dir.c_str()) != 0 || !std::freopen("answers", "r", stdin)) return;
            setenv("PATH", c.withSas ? (bin + ":/bin:/usr/bin").c_str() : bin.c_str(), 1);
            std::printf("[%d]", sas_offer_conversion("data.ssp") ? 1 : 0);
        });
        // Drop the shell's complaint about a missing command.
        std::string out = r.out;
        std::size_t complaint = out.find("not found\n");
        if (complaint != std::string::npos) {
            std::size_t from = out.rfind('\n', complaint) + 1;
            out.erase(from, complaint + 10 - from);
        }
        EXPECT_EQ(out, c.output);
        EXPECT_EQ(testsupport::read_file(dir + "/data.ssp").empty(), !c.converted);
        EXPECT_FALSE(file_exists((dir + "/xyzzy.sas").c_str()));
        EXPECT_FALSE(file_exists((dir + "/xyzzy.log").c_str()));
        if (c.withSas && c.converted) {
            EXPECT_EQ(testsupport::read_file(dir + "/job.txt"),
                      "libname tranfile sasv5xpt './data.ssp';\nlibname fileout \".\";\n"
                      "proc copy in=fileout out=tranfile;\nselect data;\nrun;\n");
        }
    }
}

}  // namespace
