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

// Matching records to groups (unmatched level-2 records dropped, unmatched groups
// reported once), the missing-data policies, and the ends of the run: what each
// build stored, printed and wrote to the statistics file, in one golden copy.
TEST(MdmBuilder, BuildsAndEndsMatchTheGoldenCopy) {
    const std::string l2 = "   1  10\n   3  30\n", no = "l1missing:n\n", same = "l1missing:y/same\n-99\n";
    const struct { const char* what; std::string l1, l2, missing, deletion; const char* l2name; } cases[] = {
        {"matching", "   1   1   2\n   1   3   4\n   3   5   6\n", "   1  10\n   2  20\n   3  30\n", no, "now", "sector"},
        {"deletion now drops records with any missing value", "   1   1 -99\n   1   2   3\n   3   4   5\n", l2, same,
         "now", "sector"},
        {"deletion at analysis keeps them; group means divide by all records",
         "   1   1 -99\n   1   2   3\n   3   4   5\n", l2, same, "analysis", "sector"},
        {"a record with every value missing goes anyway", "   1 -99 -99\n   1   2   3\n   3   4   5\n", l2, same,
         "analysis", "sector"},
        {"codes per variable", "   1  -1  -1\n   1  -2  -2\n   3   4   5\n", l2, "l1missing:y/different\n-1\n-2\n",
         "analysis", "sector"},
        {"blank fields are missing too", "   1   1    \n   3   4   5\n", l2, same, "now", "sector"},
        {"a missing code means nothing without missing data", "   1 -99   1\n   3   4   5\n", l2, no, "now", "sector"},
        {"groups missing from level 2", "   1   1   2\n   2   1   1\n   2   1   1\n   3   5   6\n   4   0   0\n", l2, no,
         "now", "sector"},
        {"group comes back", "   1   1   1\n   3   1   1\n   1   1   1\n", l2, no, "now", "sector"},
        {"descending unknown ID", "   3   1   1\n   2   1   1\n", l2, no, "now", "sector"},
        {"level-2 not sorted", "   1   1   1\n", "   3  30\n   1  10\n", no, "now", "sector"},
        {"missing value without missing data", "   1   1    \n", l2, no, "now", "sector"},
        {"RANDOM is reserved", "   1   1   1\n", l2, no, "now", "Random"},
        {"empty level-1 file", "", l2, no, "now", "sector"},
        {"empty level-2 file", "   1   1   1\n", "\n", no, "now", "sector"},
        {"no group left", "   1 -99 -99\n   3 -99 -99\n", l2, same, "now", "sector"},
        {"no group matches", "   7   1   1\n", l2, no, "now", "sector"},
    };
    std::string all;
    for (const auto& c : cases) {
        InTempDir d("mdmbuild");
        testsupport::ChildResult r = in_child([&] {
            Built b = build(c.l1, c.l2, c.missing, c.deletion, c.l2name, false);
            std::printf("==== counts %ld %ld\n%s", b.counts.l1Records, b.counts.l2Records, describe_mdm(b.mdm).c_str());
        });
        all += std::string("==== ") + c.what + ", status " + std::to_string(r.status) + "\n" + r.out +
               "==== ARB2MDM.STS\n" + testsupport::read_file("ARB2MDM.STS");
    }
    testsupport::expect_golden("mdm_builds.txt", all);
}

}  // namespace
