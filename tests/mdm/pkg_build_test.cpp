// MDM files built end to end from the package copies of the small data set
// must hold what the one built from the ASCII copy holds: IDs, names, means,
// level-2 data and group blocks; only the raw file names and source type differ.
#include <gtest/gtest.h>

#include <cstring>

#include "mdm/mdm.h"
#include "mdm/pkg_systat_fixture.h"
#include "support/test_support.h"

using testsupport::run_arb2;

namespace {

struct Built {
    MdmHeader h;
    std::vector<std::string> ids;   // as printed: the 12 characters of either kind
    std::string blocks;             // the group blocks, byte for byte
};

Built build(const std::string& dir, const std::string& templ, const std::string& mdm) {
    testsupport::RunResult r = run_arb2("-r " + templ, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("    801 level-1 records have been processed\n"), std::string::npos) << r.out;
    Built b;
    FILE* f = std::fopen((dir + "/" + mdm).c_str(), "rb");
    EXPECT_NE(f, nullptr) << templ;
    if (!f) return b;
    read_mdm_header(f, b.h);
    for (int j = 0; j < b.h.numGroups; ++j) {
        if (b.h.numericIds) {
            char t[32];
            std::snprintf(t, sizeof t, "%12.0f", b.h.numIds[static_cast<std::size_t>(j)]);
            b.ids.push_back(t);
        } else {
            b.ids.push_back(b.h.charIds[static_cast<std::size_t>(j)].text);
        }
    }
    std::fseek(f, b.h.dataStart, SEEK_SET);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.blocks.append(buf, n);
    std::fclose(f);
    return b;
}

std::vector<std::string> names(const std::vector<NameSlot>& slots) {
    std::vector<std::string> out;
    for (const NameSlot& s : slots) out.push_back(s.text);
    return out;
}

const struct { const char* stem; std::vector<const char*> files; int type; bool numericIds; } kTemplates[] = {
    {"small_spss", {"small1.sav", "small2.sav"}, RAW_SPSS, false},
    {"small_spssc", {"small1_c.sav", "small2_c.sav"}, RAW_SPSS, true},
    {"small_sas", {"small1.xpt", "small2.xpt"}, RAW_SAS, false},
    {"small_stata110", {"small1_110.dta", "small2_110.dta"}, RAW_STATA, false},
    {"small_stata113", {"small1_113.dta", "small2_113.dta"}, RAW_STATA, true},
};

TEST(PackageBuild, EveryTemplateMatchesTheAsciiBuild) {
    std::string dir = testsupport::make_temp_dir("pkgbuild");
    for (const char* f : {"small1.dat", "small2.dat", "small_ascii.mdmt"}) {
        testsupport::copy_data(std::string("packages/") + f, dir);
    }
    Built ascii = build(dir, "small_ascii.mdmt", "small_ascii.mdm");
    ASSERT_EQ(ascii.h.numGroups, 20);
    ASSERT_EQ(ascii.h.numL1Records, 801);
    for (const auto& c : kTemplates) {
        SCOPED_TRACE(c.stem);
        for (const char* f : c.files) testsupport::copy_data(std::string("packages/") + f, dir);
        testsupport::copy_data(std::string("packages/") + c.stem + ".mdmt", dir);
        Built b = build(dir, std::string(c.stem) + ".mdmt", std::string(c.stem) + ".mdm");
        EXPECT_EQ(b.h.sourceType, c.type);
        EXPECT_EQ(b.h.numericIds, c.numericIds);
        auto counts = [](const MdmHeader& h) {
            return std::vector<int>{h.numL1Vars, h.numL2Vars, h.numL1Records, h.numGroups,
                                    h.hasMissing, h.deleteNow, h.growthModel, h.maxGroupSize};
        };
        EXPECT_EQ(counts(b.h), counts(ascii.h));
        EXPECT_EQ(names(b.h.l1Names), names(ascii.h.l1Names));
        EXPECT_EQ(names(b.h.l2Names), names(ascii.h.l2Names));
        EXPECT_EQ(b.h.l1Means, ascii.h.l1Means);
        EXPECT_EQ(b.h.l2Means, ascii.h.l2Means);
        EXPECT_EQ(b.ids, ascii.ids);
        EXPECT_EQ(b.h.l2Data, ascii.h.l2Data);
        EXPECT_TRUE(b.blocks == ascii.blocks) << b.blocks.size() << " bytes of group blocks";
        EXPECT_EQ(b.h.l1FileName, c.files[0]);
    }
}

}  // namespace
