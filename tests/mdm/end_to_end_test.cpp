// Whole MDM-creation runs of the arb2 executable: templates over the shipped
// data sets, the V-known response files and the interactive dialogue.
#include <cmath>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;
using testsupport::run_arb2;

namespace {

// Level-1 records of a shipped file grouped by ID, with records holding `code` dropped.
std::vector<std::pair<std::string, std::vector<double>>> grouped(const std::string& path, double code) {
    std::vector<std::pair<std::string, std::vector<double>>> out;
    for (const TextRecord& r : read_text_records(path)) {
        bool missing = false;
        for (double v : r.values) missing = missing || v == code;
        if (missing) continue;
        if (out.empty() || out.back().first != r.id) out.push_back({r.id, {}});
        out.back().second.insert(out.back().second.end(), r.values.begin(), r.values.end());
    }
    return out;
}

// Checks an ordinary MDM file against its ASCII level-1 and level-2 sources.
void expect_matches_ascii(const MdmContents& m, const std::string& l1, const std::string& l2, double code) {
    const MdmHeader& h = m.h;
    auto groups = grouped(l1, code);
    std::vector<TextRecord> level2 = read_text_records(l2);
    ASSERT_EQ(h.numGroups, static_cast<int>(groups.size()));
    ASSERT_EQ(m.blocks.size(), groups.size());
    const std::size_t p1 = static_cast<std::size_t>(h.numL1Vars), p2 = static_cast<std::size_t>(h.numL2Vars);
    std::vector<double> sums(p1, 0.0);
    long n = 0;
    int largest = 0;
    for (std::size_t j = 0; j < groups.size(); ++j) {
        const auto& [id, values] = groups[j];
        std::string stored = h.numericIds ? std::to_string(static_cast<long>(h.numIds[j])) : slot_text(h.charIds[j]);
        EXPECT_EQ(stored, h.numericIds ? id : right12(id));
        EXPECT_EQ(m.blocks[j].records, values) << id;
        int count = static_cast<int>(values.size() / p1);
        EXPECT_EQ(m.blocks[j].count, count);
        largest = std::max(largest, count);
        n += count;
        for (std::size_t v = 0; v < p1; ++v) {
            double s = 0;
            for (int r = 0; r < count; ++r) s += values[static_cast<std::size_t>(r) * p1 + v];
            EXPECT_NEAR(m.blocks[j].means[v], s / count, 1e-12);
            sums[v] += s;
        }
        // The level-2 row of this group.
        for (const TextRecord& r : level2) {
            if (r.id != id) continue;
            EXPECT_EQ(std::vector<double>(h.l2Data.begin() + j * p2, h.l2Data.begin() + (j + 1) * p2), r.values);
        }
    }
    EXPECT_EQ(h.numL1Records, n);
    EXPECT_EQ(h.maxGroupSize, largest);
    for (std::size_t v = 0; v < p1; ++v) EXPECT_NEAR(h.l1Means[v], sums[v] / n, 1e-9);
    EXPECT_TRUE(m.atEnd);
}

TEST(MdmEndToEnd, HsbTemplateBuildsTheHsbFile) {
    InTempDir d("mdme2e");
    for (const char* f : {"hsb/hsb.mdmt", "hsb/hsb1.dat", "hsb/hsb2.dat"}) testsupport::copy_data(f, d.dir);
    auto r = run_arb2("-r hsb.mdmt", d.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("   7185 level-1 records have been processed\n    160 level-2 records have been processed\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("extra messages"), std::string::npos);
    MdmContents m = read_whole_mdm(d.path("hsb.mdm"));
    EXPECT_FLOAT_EQ(m.h.version, 6.02f);
    EXPECT_EQ(m.h.numL1Vars, 4);
    EXPECT_EQ(m.h.numL2Vars, 6);
    EXPECT_EQ(m.h.numL1Records, 7185);
    EXPECT_EQ(m.h.numGroups, 160);
    EXPECT_EQ(m.h.hasMissing, 0);
    EXPECT_EQ(m.h.deleteNow, 1);
    EXPECT_EQ(m.h.sourceType, RAW_ASCII);
    EXPECT_FALSE(m.h.numericIds);
    const char* l1[] = {"INTRCPT1    ", "MINORITY    ", "  FEMALE    ", "     SES    ", " MATHACH    "};
    const char* l2[] = {"INTRCPT2    ", "    SIZE    ", "  SECTOR    ", "  PRACAD    ",
                        " DISCLIM    ", " HIMINTY    ", " MEANSES    "};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(slot_text(m.h.l1Names[static_cast<std::size_t>(i)]), l1[i]);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(slot_text(m.h.l2Names[static_cast<std::size_t>(i)]), l2[i]);
    EXPECT_EQ(m.h.l1FileName, "hsb1.dat");
    EXPECT_EQ(m.h.l2FileName, "hsb2.dat");
    expect_matches_ascii(m, d.path("hsb1.dat"), d.path("hsb2.dat"), BIG);
    EXPECT_NEAR(m.h.l2Means[0], 1097.825, 1e-9);  // mean school size
    EXPECT_TRUE(file_exists(d.path("creatmdm.mdmt").c_str()));
    EXPECT_NE(testsupport::read_file(d.path("ARB2MDM.STS")).find("LEVEL-2 DESCRIPTIVE STATISTICS"), std::string::npos);
}

TEST(MdmEndToEnd, PackageFilesGiveTheSameDataAsTheAsciiCopy) {
    InTempDir d("mdmpkgs");
    for (const char* f : {"small_ascii.mdmt", "small1.dat", "small2.dat", "small_sas.mdmt", "small1.xpt",
                          "small2.xpt", "small_spss.mdmt", "small1.sav", "small2.sav", "small_spssc.mdmt",
                          "small1_c.sav", "small2_c.sav", "small_stata110.mdmt", "small1_110.dta",
                          "small2_110.dta", "small_stata113.mdmt", "small1_113.dta", "small2_113.dta"})
        testsupport::copy_data(std::string("packages/") + f, d.dir);
    auto r = run_arb2("-r small_ascii.mdmt", d.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("    801 level-1 records have been processed\n     20 level-2 records"), std::string::npos);
    MdmContents ascii = read_whole_mdm(d.path("small_ascii.mdm"));
    EXPECT_EQ(ascii.h.hasMissing, 1);
    EXPECT_EQ(ascii.h.deleteNow, 1);
    expect_matches_ascii(ascii, d.path("small1.dat"), d.path("small2.dat"), -99.0);

    struct Case {
        const char* name;
        int type;
        bool numeric;
    };
    const Case cases[] = {{"small_sas", RAW_SAS, false},          {"small_spss", RAW_SPSS, false},
                          {"small_spssc", RAW_SPSS, true},        {"small_stata110", RAW_STATA, false},
                          {"small_stata113", RAW_STATA, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto rr = run_arb2(std::string("-r ") + c.name + ".mdmt", d.dir);
        EXPECT_EQ(rr.status, 0) << rr.out;
        MdmContents m = read_whole_mdm(d.path(std::string(c.name) + ".mdm"));
        EXPECT_EQ(m.h.sourceType, c.type);
        EXPECT_EQ(m.h.numericIds, c.numeric);
        EXPECT_EQ(m.h.numL1Records, ascii.h.numL1Records);
        EXPECT_EQ(m.h.l1Means, ascii.h.l1Means);
        EXPECT_EQ(m.h.l2Data, ascii.h.l2Data);
        ASSERT_EQ(m.blocks.size(), ascii.blocks.size());
        for (std::size_t j = 0; j < m.blocks.size(); ++j) EXPECT_EQ(m.blocks[j].records, ascii.blocks[j].records);
        // The template written back names the ID and the variables as the file does.
        EXPECT_NE(testsupport::read_file(d.path("creatmdm.mdmt")).find("*begin l1vars\nlevel2id:ID\n"),
                  std::string::npos);
    }
}

TEST(MdmEndToEnd, VKnownResponseFiles) {
    struct Case {
        const char* name;
        int p1, p2, groups;
        const char* firstId;
        std::vector<double> first;  // statistics, covariances, level-2 values of the first group
    };
    const Case cases[] = {
        {"bcg", 1, 2, 13, "T01", {-0.88931133, 0.32558477, 44, -12}},
        {"hsb2stage", 2, 2, 160, "1224", {9.71544681, 2.50858170, 0.78128198, 0, 2.02871130, 0, -0.428}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InTempDir d("mdmvk");
        for (const char* ext : {".dat", ".make.txt"}) testsupport::copy_data(std::string("vknown/") + c.name + ext, d.dir);
        auto r = run_arb2(std::string("-r ") + c.name + ".make.txt", d.dir);
        EXPECT_EQ(r.status, 0);
        char line[64];
        std::snprintf(line, sizeof line, " %6d groups have been processed\n", c.groups);
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
        MdmContents m = read_whole_mdm(d.path(std::string(c.name) + ".mdm"));
        EXPECT_TRUE(m.h.isVKnown);
        EXPECT_EQ(m.h.numL1Vars, c.p1);
        EXPECT_EQ(m.h.numL2Vars, c.p2);
        EXPECT_EQ(m.h.numL1Records, 0);
        EXPECT_EQ(m.h.maxGroupSize, 1);
        ASSERT_EQ(m.vknown.size(), static_cast<std::size_t>(c.groups));
        EXPECT_EQ(slot_text(m.vknown[0].id), right12(c.firstId));
        std::vector<double> got = m.vknown[0].stats;
        got.insert(got.end(), m.vknown[0].covariance.begin(), m.vknown[0].covariance.end());
        got.insert(got.end(), m.vknown[0].l2Values.begin(), m.vknown[0].l2Values.end());
        EXPECT_EQ(got, c.first);
        EXPECT_TRUE(m.atEnd);
    }
}

// Console answers up to the variable names for the HSB files.
std::string hsb_answers_to_names(const std::string& format1) {
    return "y\nn\nn\n1\n4\n" + format1 + "hsb1.dat\n6\n(A12,6F12.6)\nhsb2.dat\n";
}
const char* const kHsbNames = "minority\nfemale\nses\nmathach\nsize\nsector\npracad\ndisclim\nhiminty\nmeanses\n";

// The answers that make the HSB file through the console questions.
std::string hsb_dialogue(const std::string& format1) {
    return hsb_answers_to_names(format1) + kHsbNames + "n\nhsb.mdm\n";
}

TEST(MdmEndToEnd, DialogueBuildsTheSameFileAsTheTemplate) {
    InTempDir d("mdmdlg");
    for (const char* f : {"hsb/hsb.mdmt", "hsb/hsb1.dat", "hsb/hsb2.dat"}) testsupport::copy_data(f, d.dir);
    auto r = run_arb2("-r hsb.mdmt", d.dir);
    ASSERT_EQ(r.status, 0);
    const std::string fromTemplate = testsupport::read_file(d.path("hsb.mdm"));
    const std::string templateBack = testsupport::read_file(d.path("creatmdm.mdmt"));
    // Two rejected formats before a good one.
    r = run_arb2("", d.dir, hsb_dialogue("A12,4F12.6)\n(A12,4F12.6\n(A12,4F12.6)\n"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Input format of level-1 file (the ID must be read as character data)\n  format: "
                         " First character of format must be (\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" Last character of format must be )\n"), std::string::npos);
    EXPECT_NE(r.out.find(" Enter 8 character name for level-2 variable number 6: "), std::string::npos);
    EXPECT_EQ(testsupport::read_file(d.path("hsb.mdm")), fromTemplate);
    EXPECT_EQ(testsupport::read_file(d.path("creatmdm.mdmt")), templateBack);
}

TEST(MdmEndToEnd, DialogueGivesUpAfterItsLimits) {
    struct Case {
        const char* what;
        std::string answers;
    };
    std::string tenBad;
    for (int i = 0; i < 10; ++i) tenBad += "(A12,4F12.6\n";
    std::string tenMissing;
    for (int i = 0; i < 10; ++i) tenMissing += "nothere.dat\n";
    std::string emptyNames(26, '\n');
    std::string tenMaybes;
    for (int i = 0; i < 10; ++i) tenMaybes += "maybe\n";
    const Case cases[] = {
        {"ten bad formats", "y\nn\nn\n1\n4\n" + tenBad},
        {"ten missing files", "y\nn\nn\n1\n4\n(A12,4F12.6)\n" + tenMissing},
        {"26 empty names", hsb_answers_to_names("(A12,4F12.6)\n") + emptyNames},
        {"input ends", hsb_answers_to_names("(A12,4F12.6)\n") + "minority\n"},
        {"deletion answer never given", hsb_answers_to_names("(A12,4F12.6)\n") + kHsbNames + "y\ny\n-99\n" + tenMaybes},
        {"MDM name never given", hsb_answers_to_names("(A12,4F12.6)\n") + kHsbNames + "n\n"},
    };
    InTempDir d("mdmlimits");
    for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat"}) testsupport::copy_data(f, d.dir);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = run_arb2("", d.dir, c.answers);
        EXPECT_EQ(r.status, 15) << r.out;
        EXPECT_NE(r.out.find("Unable to get a proper response"), std::string::npos) << r.out;
        EXPECT_FALSE(file_exists(d.path("hsb.mdm").c_str()));
    }
}

}  // namespace
