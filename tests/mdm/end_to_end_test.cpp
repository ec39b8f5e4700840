// Whole MDM-creation runs of the arb2 executable: templates over the shipped
// data sets and their package copies, and the interactive dialogue.
#include <algorithm>
#include <sstream>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;
using testsupport::run_arb2;

namespace {

// Level-1 records of a shipped ASCII file grouped by ID, with records holding `code` dropped.
std::vector<std::pair<std::string, std::vector<double>>> grouped(const std::string& path, double code) {
    std::vector<std::pair<std::string, std::vector<double>>> out;
    std::istringstream in(testsupport::read_file(path));
    for (std::string line; std::getline(in, line);) {
        std::istringstream ls(line);
        std::string id;
        std::vector<double> values;
        if (!(ls >> id)) continue;
        for (double v; ls >> v;) values.push_back(v);
        if (std::find(values.begin(), values.end(), code) != values.end()) continue;
        if (out.empty() || out.back().first != id) out.push_back({id, {}});
        out.back().second.insert(out.back().second.end(), values.begin(), values.end());
    }
    return out;
}

// Checks an ordinary MDM file against its ASCII level-1 and level-2 sources.
void expect_matches_ascii(const MdmContents& m, const std::string& l1, const std::string& l2, double code) {
    const MdmHeader& h = m.h;
    auto groups = grouped(l1, code);
    auto level2 = grouped(l2, BIG);
    ASSERT_EQ(h.numGroups, static_cast<int>(groups.size()));
    ASSERT_EQ(m.blocks.size(), groups.size());
    const std::size_t p1 = static_cast<std::size_t>(h.numL1Vars), p2 = static_cast<std::size_t>(h.numL2Vars);
    std::vector<double> sums(p1, 0.0);
    long n = 0;
    int largest = 0;
    for (std::size_t j = 0; j < groups.size(); ++j) {
        const auto& [id, values] = groups[j];
        EXPECT_EQ(h.numericIds ? std::to_string(static_cast<long>(h.numIds[j])) : slot_text(h.charIds[j]),
                  h.numericIds ? id : right12(id));
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
        for (const auto& row : level2) {
            if (row.first != id) continue;
            EXPECT_EQ(std::vector<double>(h.l2Data.begin() + j * p2, h.l2Data.begin() + (j + 1) * p2), row.second);
        }
    }
    EXPECT_EQ(h.numL1Records, n);
    EXPECT_EQ(h.maxGroupSize, largest);
    for (std::size_t v = 0; v < p1; ++v) EXPECT_NEAR(h.l1Means[v], sums[v] / n, 1e-9);
    EXPECT_TRUE(m.atEnd);
}

// Console answers up to the variable names for the HSB files.
std::string hsb_answers_to_names(const std::string& format1) {
    return "y\nn\nn\n1\n4\n" + format1 + "hsb1.dat\n6\n(A12,6F12.6)\nhsb2.dat\n";
}
const char* const kHsbNames = "minority\nfemale\nses\nmathach\nsize\nsector\npracad\ndisclim\nhiminty\nmeanses\n";

TEST(MdmEndToEnd, HsbByTemplateAndByDialogueGiveTheSameFile) {
    InTempDir d("mdme2e");
    for (const char* f : {"hsb/hsb.mdmt", "hsb/hsb1.dat", "hsb/hsb2.dat"}) testsupport::copy_data(f, d.dir);
    auto r = run_arb2("-r hsb.mdmt", d.dir);
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("   7185 level-1 records have been processed\n    160 level-2 records have been processed\n"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("extra messages"), std::string::npos);
    MdmContents m = read_whole_mdm(d.path("hsb.mdm"));
    EXPECT_FLOAT_EQ(m.h.version, 6.02f);
    EXPECT_EQ(std::vector<int>({m.h.numL1Vars, m.h.numL2Vars, m.h.hasMissing, m.h.deleteNow, m.h.sourceType}),
              std::vector<int>({4, 6, 0, 1, RAW_ASCII}));
    EXPECT_EQ(slot_text(m.h.l1Names[4]) + slot_text(m.h.l2Names[6]), " MATHACH     MEANSES    ");
    EXPECT_EQ(m.h.l2FileName, "hsb2.dat");
    expect_matches_ascii(m, d.path("hsb1.dat"), d.path("hsb2.dat"), BIG);
    EXPECT_NEAR(m.h.l2Means[0], 1097.825, 1e-9);  // mean school size
    EXPECT_NE(testsupport::read_file(d.path("ARB2MDM.STS")).find("LEVEL-2 DESCRIPTIVE STATISTICS"), std::string::npos);

    // The same file through the console questions, after two rejected formats.
    const std::string fromTemplate = testsupport::read_file(d.path("hsb.mdm"));
    const std::string templateBack = testsupport::read_file(d.path("creatmdm.mdmt"));
    r = run_arb2("", d.dir, hsb_answers_to_names("A12,4F12.6)\n(A12,4F12.6\n(A12,4F12.6)\n") + kHsbNames + "n\nhsb.mdm\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Input format of level-1 file (the ID must be read as character data)\n  format: "
                         " First character of format must be (\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" Last character of format must be )\n"), std::string::npos);
    EXPECT_NE(r.out.find(" Enter 8 character name for level-2 variable number 6: "), std::string::npos);
    EXPECT_EQ(testsupport::read_file(d.path("hsb.mdm")), fromTemplate);
    EXPECT_EQ(testsupport::read_file(d.path("creatmdm.mdmt")), templateBack);
}

// The package copies of the small data set must build what the ASCII copy
// builds: only the raw file names and the source type differ.
TEST(MdmEndToEnd, PackageFilesGiveTheSameFileAsTheAsciiCopy) {
    InTempDir d("mdmpkgs");
    const struct { const char* stem; const char* l1; const char* l2; int type; bool numeric; } cases[] = {
        {"small_ascii", "small1.dat", "small2.dat", RAW_ASCII, false},
        {"small_sas", "small1.xpt", "small2.xpt", RAW_SAS, false},
        {"small_spss", "small1.sav", "small2.sav", RAW_SPSS, false},
        {"small_spssc", "small1_c.sav", "small2_c.sav", RAW_SPSS, true},
        {"small_stata110", "small1_110.dta", "small2_110.dta", RAW_STATA, false},
        {"small_stata113", "small1_113.dta", "small2_113.dta", RAW_STATA, true},
    };
    MdmContents ascii;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stem);
        for (std::string f : {std::string(c.stem) + ".mdmt", std::string(c.l1), std::string(c.l2)})
            testsupport::copy_data("packages/" + f, d.dir);
        auto r = run_arb2(std::string("-r ") + c.stem + ".mdmt", d.dir);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("    801 level-1 records have been processed\n     20 level-2 records"), std::string::npos);
        MdmContents m = read_whole_mdm(d.path(std::string(c.stem) + ".mdm"));
        EXPECT_EQ(m.h.sourceType, c.type);
        EXPECT_EQ(m.h.numericIds, c.numeric);
        EXPECT_EQ(m.h.l1FileName, c.l1);
        if (c.type == RAW_ASCII) {
            EXPECT_EQ(std::vector<int>({m.h.hasMissing, m.h.deleteNow}), std::vector<int>({1, 1}));
            expect_matches_ascii(m, d.path(c.l1), d.path(c.l2), -99.0);
            ascii = m;
            continue;
        }
        // The template written back names the ID and the variables as the file does.
        EXPECT_NE(testsupport::read_file(d.path("creatmdm.mdmt")).find("*begin l1vars\nlevel2id:ID\n"), std::string::npos);
        m.h.sourceType = RAW_ASCII, m.h.l1FileName = ascii.h.l1FileName, m.h.l2FileName = ascii.h.l2FileName;
        if (m.h.numericIds) {  // numeric IDs print as the ASCII copy's character IDs
            m.h.charIds.resize(m.h.numIds.size());
            for (std::size_t j = 0; j < m.h.numIds.size(); ++j) std::snprintf(m.h.charIds[j].text, 13, "%12.0f", m.h.numIds[j]);
            m.h.numIds.clear(), m.h.numericIds = false;
        }
        EXPECT_EQ(describe_mdm(m), describe_mdm(ascii));
    }
}

TEST(MdmEndToEnd, DialogueGivesUpAfterItsLimits) {
    auto times = [](const std::string& s, int n) {
        std::string out;
        while (n-- > 0) out += s;
        return out;
    };
    const std::string names = hsb_answers_to_names("(A12,4F12.6)\n");
    const std::pair<const char*, std::string> cases[] = {
        {"ten bad formats", "y\nn\nn\n1\n4\n" + times("(A12,4F12.6\n", 10)},
        {"ten missing files", "y\nn\nn\n1\n4\n(A12,4F12.6)\n" + times("nothere.dat\n", 10)},
        {"26 empty names", names + std::string(26, '\n')},
        {"input ends", names + "minority\n"},
        {"deletion answer never given", names + kHsbNames + "y\ny\n-99\n" + times("maybe\n", 10)},
    };
    InTempDir d("mdmlimits");
    for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat"}) testsupport::copy_data(f, d.dir);
    for (const auto& [what, answers] : cases) {
        auto r = run_arb2("", d.dir, answers);
        EXPECT_EQ(r.status, 15) << what << r.out;
        EXPECT_NE(r.out.find("Unable to get a proper response"), std::string::npos) << what << r.out;
        EXPECT_FALSE(file_exists(d.path("hsb.mdm").c_str())) << what;
    }
}

}  // namespace
