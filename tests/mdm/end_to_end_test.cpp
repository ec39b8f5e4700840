// Whole MDM-creation runs of the arb2 executable: templates over the shipped
// data sets and their package copies, and the interactive dialogue.
#include "mdm/mdm_test_util.h"

using namespace mdmtest;
using testsupport::run_arb2;

namespace {

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
    EXPECT_EQ(std::vector<int>({m.h.numL1Records, m.h.numGroups, m.h.maxGroupSize}), std::vector<int>({7185, 160, 67}));
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
