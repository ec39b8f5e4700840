// The builder: matching level-1 records to groups, the missing-data policies,
// dropped groups, sort checks, the statistics file and the fatal ends.
#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

constexpr double M = MISSING_VALUE;

struct Built {
    MdmContents mdm;
    BuildCounts counts;
    std::string console;
    std::string sts;
};

// Template for a level-1 file of two variables (ses, mathach) and a level-2
// file of one (sector), four-column fields.
std::string small_template(const std::string& missing, const std::string& deletion, const char* l2name = "sector") {
    return "#ARB2 MDM CREATION TEMPLATE\nrawdattype:ascii\nl1fname:l1.dat\nl2fname:l2.dat\nnuml1var:2\n"
           "numl2var:1\nl1format:(A4,2F4)\nl2format:(A4,F4)\n" + missing + "timeofdeletion:" + deletion +
           "\nmdmname:out.mdm\n*begin l1vars\nses\nmathach\n*end l1vars\n*begin l2vars\n" + l2name +
           "\n*end l2vars\n";
}

// Builds out.mdm in the current directory from the two data texts.
Built build(const std::string& l1, const std::string& l2, const std::string& missing = "l1missing:n\n",
            const std::string& deletion = "now", const char* l2name = "sector", bool capture = true) {
    testsupport::write_file("l1.dat", l1);
    testsupport::write_file("l2.dat", l2);
    testsupport::write_file("t.mdmt", small_template(missing, deletion, l2name));
    Built b;
    MdmCreation c;
    if (capture) testing::internal::CaptureStdout();
    read_mdm_template("t.mdmt", c);
    FILE* out = std::fopen("out.mdm", "wb");
    b.counts = build_mdm(c, out);
    std::fclose(out);
    if (capture) b.console = testing::internal::GetCapturedStdout();
    b.sts = testsupport::read_file("ARB2MDM.STS");
    b.mdm = read_whole_mdm("out.mdm");
    return b;
}

TEST(MdmBuilder, MatchesGroupsAndKeepsOnlyMatchedLevel2Records) {
    InTempDir d("mdmb1");
    Built b = build("   1   1   2\n   1   3   4\n   3   5   6\n", "   1  10\n   2  20\n   3  30\n");
    const MdmHeader& h = b.mdm.h;
    EXPECT_EQ(std::vector<long>({b.counts.l1Records, b.counts.l2Records, h.numGroups, h.numL1Records, h.maxGroupSize,
                                 h.sourceType, h.deleteNow}),
              std::vector<long>({3, 2, 2, 3, 2, RAW_ASCII, 1}));
    EXPECT_EQ(h.l1FileName, "l1.dat");
    EXPECT_EQ(slot_text(h.charIds[0]), right12("1"));
    EXPECT_EQ(slot_text(h.charIds[1]), right12("3"));
    EXPECT_EQ(h.l2Data, (std::vector<double>{10, 30}));
    EXPECT_EQ(h.l1Means, (std::vector<double>{3, 4}));
    EXPECT_EQ(h.l2Means, (std::vector<double>{20}));
    ASSERT_EQ(b.mdm.blocks.size(), 2u);
    EXPECT_EQ(b.mdm.blocks[0].means, (std::vector<double>{2, 3}));
    EXPECT_EQ(b.mdm.blocks[0].records, (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(b.mdm.blocks[1].records, (std::vector<double>{5, 6}));
    EXPECT_TRUE(b.mdm.atEnd);
    const std::string tables =
        "\n                      LEVEL-1 DESCRIPTIVE STATISTICS"
        "\n\n VARIABLE NAME       N       MEAN         SD         MINIMUM      MAXIMUM\n"
        "       SES             3       3.00       2.00         1.00         5.00\n"
        "   MATHACH             3       4.00       2.00         2.00         6.00\n\n"
        "\n                      LEVEL-2 DESCRIPTIVE STATISTICS"
        "\n\n VARIABLE NAME       N       MEAN         SD         MINIMUM      MAXIMUM\n"
        "    SECTOR             2      20.00      14.14        10.00        30.00\n\n";
    EXPECT_EQ(b.sts, tables);
    EXPECT_EQ(b.console, tables);  // no extra messages
}

TEST(MdmBuilder, MissingDataPolicies) {
    // Records and means of each stored group, grand means, text the statistics file must begin with.
    const struct {
        const char* what;
        std::string l1, missing, deletion;
        long records;
        std::vector<std::vector<double>> blocks, means;
        std::vector<double> l1Means;
        const char* sts;
    } cases[] = {
        {"deletion now drops records with any missing value", "   1   1 -99\n   1   2   3\n   3   4   5\n",
         "l1missing:y/same\n-99\n", "now", 2, {{2, 3}, {4, 5}}, {{2, 3}, {4, 5}}, {3, 4}, ""},
        {"deletion at analysis keeps them; group means divide by all records",
         "   1   1 -99\n   1   2   3\n   3   4   5\n", "l1missing:y/same\n-99\n", "analysis", 3,
         {{1, M, 2, 3}, {4, 5}}, {{1.5, 1.5}, {4, 5}}, {7.0 / 3, 4}, ""},
        {"a record with every value missing goes anyway", "   1 -99 -99\n   1   2   3\n   3   4   5\n",
         "l1missing:y/same\n-99\n", "analysis", 2, {{2, 3}, {4, 5}}, {{2, 3}, {4, 5}}, {3, 4}, ""},
        {"codes per variable", "   1  -1  -1\n   1  -2  -2\n   3   4   5\n", "l1missing:y/different\n-1\n-2\n",
         "analysis", 3, {{M, -1, -2, M}, {4, 5}}, {{-1, -0.5}, {4, 5}}, {1, 2}, ""},
        {"blank fields are missing too", "   1   1    \n   3   4   5\n", "l1missing:y/same\n-99\n", "now", 1,
         {{4, 5}}, {{4, 5}}, {4, 5}, "Level-2 group            1 has inadequate data\n"},
        {"a missing code means nothing without missing data", "   1 -99   1\n   3   4   5\n", "l1missing:n\n", "now",
         2, {{-99, 1}, {4, 5}}, {{-99, 1}, {4, 5}}, {-47.5, 3}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        InTempDir d("mdmmiss");
        Built b = build(c.l1, "   1  10\n   3  30\n", c.missing, c.deletion);
        EXPECT_EQ(b.counts.l1Records, c.records);
        ASSERT_EQ(b.mdm.blocks.size(), c.blocks.size());
        for (std::size_t j = 0; j < c.blocks.size(); ++j) {
            EXPECT_EQ(b.mdm.blocks[j].records, c.blocks[j]);
            EXPECT_EQ(b.mdm.blocks[j].means, c.means[j]);
        }
        EXPECT_EQ(b.mdm.h.l1Means, c.l1Means);
        EXPECT_EQ(b.sts.substr(0, std::string(c.sts).size()), c.sts);
    }
}

TEST(MdmBuilder, GroupsMissingFromLevel2AreReportedOncePerRun) {
    InTempDir d("mdmnot");
    Built b = build("   1   1   2\n   2   1   1\n   2   1   1\n   3   5   6\n   4   0   0\n",
                    "   1  10\n   3  30\n");
    EXPECT_EQ(b.counts.l1Records, 2);
    EXPECT_EQ(b.counts.l2Records, 2);
    EXPECT_EQ(b.sts.substr(0, b.sts.find('\n', 45) + 1),
              " Group            2 not in level-2 file.\n Group            4 not in level-2 file.\n");
    EXPECT_NE(b.console.find("\nThere are extra messages in ARB2MDM.STS.  Please examine this file.\n\n"),
              std::string::npos);
}

TEST(MdmBuilder, FatalEnds) {
    const std::string l2 = "   1  10\n   3  30\n";
    // `sts`, when given, must be in the statistics file.
    const struct {
        const char* what;
        std::string l1, l2, missing;
        const char* l2name;
        int status;
        const char* message, *sts;
    } cases[] = {
        {"group comes back", "   1   1   1\n   3   1   1\n   1   1   1\n", l2, "l1missing:n\n", "sector", 0,
         " It looks like your level-1 file is not sorted. Please sort this file\n and re-run.\n",
         " It looks like your level-1 file is not sorted."},
        {"descending unknown ID", "   3   1   1\n   2   1   1\n", l2, "l1missing:n\n", "sector", 0,
         "It looks like your level-1 file is not sorted", nullptr},
        {"level-2 not sorted", "   1   1   1\n", "   3  30\n   1  10\n", "l1missing:n\n", "sector", 0,
         " It looks like your level-2 file is not sorted. Please sort this file\n and re-run.\n",
         " It looks like your level-2 file is not sorted."},
        {"missing value without missing data", "   1   1    \n", l2, "l1missing:n\n", "sector", 0,
         "\nMissing data found at level-1! Unable to continue.\n", nullptr},
        {"RANDOM is reserved", "   1   1   1\n", l2, "l1missing:n\n", "Random", 0,
         "RANDOM is a reserved name for level-2 variables; unable to continue\n", nullptr},
        {"empty level-1 file", "", l2, "l1missing:n\n", "sector", 1, " l1.dat is an empty file\n", nullptr},
        {"empty level-2 file", "   1   1   1\n", "\n", "l1missing:n\n", "sector", 0,
         "Something the matter in reading your level-2 data file\n", nullptr},
        {"no group left", "   1 -99 -99\n   3 -99 -99\n", l2, "l1missing:y/same\n-99\n", "sector", 2,
         " No more level-2 groups left for analysis!\n", "Level-2 group            3 has inadequate data\n"},
        {"no group matches", "   7   1   1\n", l2, "l1missing:n\n", "sector", 2, " No more level-2 groups left", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        InTempDir d("mdmfatal");
        EXPECT_EXIT((console_to_stderr(), build(c.l1, c.l2, c.missing, "now", c.l2name, false), std::exit(99)),
                    testing::ExitedWithCode(c.status), c.message);
        if (c.sts) {
            EXPECT_NE(testsupport::read_file("ARB2MDM.STS").find(c.sts), std::string::npos);
        }
    }
}

}  // namespace
