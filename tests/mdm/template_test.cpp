// The MDM template: what each keyword sets, the file written back, and the
// order rules and errors that stop a run.
#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

const std::string kHeader = "#ARB2 MDM CREATION TEMPLATE\n";

// A complete ASCII template over two small files, with `missing` as its missing-data lines.
std::string ascii_template(const std::string& missing, const std::string& deletion = "timeofdeletion:now\n") {
    return kHeader + "vknown:n\ngrowthmodel:y\nrawdattype:ascii\nl1fname:l1.dat\nl2fname:l2.dat\n" +
           "numl1var:2\nnuml2var:1\nl1format:(A4,2F4)\nl2format:   (A4,F4)\n" + missing + deletion +
           "mdmname: out.mdm\n*begin l1vars\nses\n MathAch\n*end l1vars\n" +
           "# comment\n  indented lines are ignored too\n*BEGIN L2VARS\nsector\n*END L2VARS\n";
}

// Inside a death test: reads a template that must end the run.
void read_template_and_stop(const char* path) {
    console_to_stderr();
    MdmCreation m;
    read_mdm_template(path, m);
    std::exit(99);
}

void write_small_files() {
    testsupport::write_file("l1.dat", "   1   1   2\n");
    testsupport::write_file("l2.dat", "   1   0\n");
}

TEST(MdmTemplate, ReadsEveryKeywordAndWritesTheTemplateBack) {
    InTempDir d("mdmtpl");
    write_small_files();
    testsupport::write_file("t.mdmt", ascii_template("L1MISSING:y/different\n-99\n 8.5\n", "timeofdeletion:analysis\n"));
    MdmCreation c;
    read_mdm_template("t.mdmt", c);
    EXPECT_EQ(c.rawDataType, RAW_ASCII);
    EXPECT_TRUE(c.withinPersons);
    EXPECT_EQ(c.hasMissing, 1);
    EXPECT_EQ(c.deleteNow, 0);
    EXPECT_EQ(c.missingCodes, (std::vector<double>{-99, 8.5}));
    EXPECT_EQ(c.mdmFileName, "out.mdm");
    EXPECT_EQ(c.rawFormat[1], "(A4,F4)");
    ASSERT_EQ(c.names[0].size(), 3u);
    EXPECT_EQ(slot_text(c.names[0][0]) + slot_text(c.names[0][1]) + slot_text(c.names[0][2]) + slot_text(c.names[1][0]),
              "INTRCPT1         SES     MATHACH    INTRCPT2    ");
    EXPECT_EQ(testsupport::read_file("creatmdm.mdmt"),
              kHeader +
                  "vknown:n\ngrowthmodel:y\nrawdattype:ascii\nl1fname:l1.dat\nl2fname:l2.dat\nnuml1var:2\n"
                  "numl2var:1\nl1format:(A4,2F4)\nl2format:(A4,F4)\nl1missing:y/DIFFERENT\n-99.000000\n8.500000\n"
                  "timeofdeletion:analysis\nmdmname:out.mdm\n*begin l1vars\n     SES    \n MATHACH    \n"
                  "*end l1vars\n*begin l2vars\n  SECTOR    \n*end l2vars\n");

    // The file written back reads to the same settings.
    MdmCreation again;
    read_mdm_template("creatmdm.mdmt", again);
    EXPECT_EQ(again.missingCodes, c.missingCodes);
    EXPECT_EQ(slot_text(again.names[0][2]), " MATHACH    ");
    EXPECT_EQ(again.deleteNow, 0);
}

TEST(MdmTemplate, KeywordValues) {
    const struct { const char* missing, *deletion; int hasMissing, deleteNow; std::vector<double> codes; const char* written; } cases[] = {
        {"l1missing:Y/Same\n-9\n", "timeofdeletion:now\n", 1, 1, {-9, -9}, "l1missing:y/SAME\n-9.000000\n"},
        {"l1missing:n\n", "timeofdeletion:analysis\n", 0, 0, {}, "l1missing:n\n"},
        // A blank after the colon is not skipped: the value does not begin with A.
        {"l1missing:y/same\n1\n", "timeofdeletion: analysis\n", 1, 1, {1, 1}, "timeofdeletion:now\n"},
        {"l1missing:y/same\n1\n", "TimeOfDeletion:Analysis\n", 1, 0, {1, 1}, "timeofdeletion:analysis\n"},
        {"l1missing:q\n", "timeofdeletion:x\n", 0, 1, {}, "l1missing:n\n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.missing) + k.deletion);
        InTempDir d("mdmkw");
        write_small_files();
        testsupport::write_file("t.mdmt", ascii_template(k.missing, k.deletion));
        MdmCreation c;
        read_mdm_template("t.mdmt", c);
        EXPECT_EQ(c.hasMissing, k.hasMissing);
        EXPECT_EQ(c.deleteNow, k.deleteNow);
        EXPECT_EQ(c.missingCodes, k.codes);
        EXPECT_NE(testsupport::read_file("creatmdm.mdmt").find(k.written), std::string::npos);
    }
}

// Status and console of each template that stops the run, in one golden copy.
TEST(MdmTemplate, ErrorsStopTheRun) {
    const std::string names = "*begin l1vars\nses\nmathach\n*end l1vars\n*begin l2vars\nsector\n*end l2vars\n";
    const std::string files = "rawdattype:ascii\nl1fname:l1.dat\nl2fname:l2.dat\nnuml1var:2\nnuml2var:1\n";
    const std::string formats = "l1format:(A4,2F4)\nl2format:(A4,F4)\n";
    const struct { const char* what; std::string text; } cases[] = {
        {"no header", "vknown:n\n"},
        {"format before type", kHeader + "l1format:(A4,F4)\n"},
        {"file before type", kHeader + "l2fname:l2.dat\n"},
        {"block before file", kHeader + "rawdattype:ascii\n*begin l1vars\n"},
        {"missing codes before the count", kHeader + "rawdattype:ascii\nl1missing:y/same\n1\n"},
        {"Y without slash", kHeader + files + "l1missing:y\n"},
        {"neither SAME nor DIFFERENT", kHeader + files + "l1missing:y/some\n"},
        {"codes cut off", kHeader + files + "l1missing:y/different\n1\n"},
        {"unknown type", kHeader + "rawdattype:excel\n"},
        {"type compared on too few letters", kHeader + "rawdattype:sta\n"},
        {"STAT is enough for Stata", kHeader + "rawdattype:statx\n"},
        {"no type at all", kHeader + "mdmname:x.mdm\n"},
        {"type OTHER has no reader", kHeader + "rawdattype:other\nl1fname:l1.dat\n"},
        {"name too long", kHeader + files + "*begin l1vars\nthirteenchars\n"},
        {"block without end", kHeader + files + "*begin l1vars\nses\n"},
        {"more names than declared", kHeader + files + "*begin l2vars\na\nb\n*end l2vars\n"},
        {"fewer names than declared", kHeader + files + "*begin l1vars\na\n*end l1vars\n"},
        {"count out of range", kHeader + "rawdattype:ascii\nnuml1var:0\n"},
        {"no MDM name", kHeader + files + formats + names},
        {"no format", kHeader + files + "l1format:(A4,2F4)\nmdmname:x\n" + names},
        {"no names", kHeader + files + formats + "mdmname:x\n"},
        {"file that cannot be opened", kHeader + "rawdattype:ascii\nl1fname:nothere.dat\n"},
    };
    InTempDir d("mdmtplerr");
    write_small_files();
    std::string all;
    for (const auto& c : cases) {
        testsupport::write_file("t.mdmt", c.text);
        testsupport::ChildResult r = in_child([] { read_template_and_stop("t.mdmt"); });
        all += std::string("==== ") + c.what + ", status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("mdm_template_errors.txt", all);
}

TEST(MdmTemplate, PackageVariablesByName) {
    InTempDir d("mdmpkg");
    for (const char* f : {"small1.sav", "small2.sav"}) testsupport::copy_data(std::string("packages/") + f, d.dir);
    const std::string head = kHeader + "rawdattype:spss\nl1fname:small1.sav\nl2fname:small2.sav\nl1missing:y\n"
                                       "timeofdeletion:analysis\nmdmname:s.mdm\n";
    const std::string l2 = "*begin l2vars\nlevel2id: id\nsize\nsector\n*end l2vars\n";
    testsupport::write_file("ok.mdmt", head + "*begin l1vars\nlevel2id:ID\nses\nminority\n*end l1vars\n" + l2);
    MdmCreation c;
    read_mdm_template("ok.mdmt", c);
    ASSERT_EQ(c.names[0].size(), 3u);
    EXPECT_EQ(slot_text(c.names[0][1]), "     SES    ");  // in the template's order
    EXPECT_EQ(slot_text(c.names[0][2]), "MINORITY    ");
    EXPECT_FALSE(c.numericIds);
    EXPECT_EQ(testsupport::read_file("creatmdm.mdmt").substr(kHeader.size()),
              "vknown:n\ngrowthmodel:n\nrawdattype:spss\nl1fname:small1.sav\nl2fname:small2.sav\nl1missing:y\n"
              "timeofdeletion:analysis\nmdmname:s.mdm\n*begin l1vars\nlevel2id:ID\nSES\nMINORITY\n*end l1vars\n"
              "*begin l2vars\nlevel2id:ID\nSIZE\nSECTOR\n*end l2vars\n");

    const std::pair<std::string, const char*> bad[] = {
        {"*begin l1vars\nses\n*end l1vars\n", "ID specification must immediately follow \\*begin line!\n"},
        {"*begin l1vars\nlevel2id:school\n*end l1vars\n", "id variable not found!\n"},
        {"*begin l1vars\nlevel2id:id\nnope\n*end l1vars\n", "Variable nope not found!\n"},
    };
    for (const auto& [block, message] : bad) {
        testsupport::write_file("bad.mdmt", head + block);
        EXPECT_EXIT(read_template_and_stop("bad.mdmt"), testing::ExitedWithCode(0), message);
    }
}

}  // namespace
