// The MDM template: what each keyword sets, the file written back, and the
// order rules and errors that stop a run.
#include <sstream>

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

// In a child: reads a template that must end the run.
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

// The settings a template gives, as text.
std::string settings(const MdmCreation& c) {
    std::ostringstream o;
    o << "type " << c.rawDataType << " growth " << c.withinPersons << " missing " << c.hasMissing << " now "
      << c.deleteNow << " numericIds " << c.numericIds << " mdm [" << c.mdmFileName << "] formats [" << c.rawFormat[0]
      << "] [" << c.rawFormat[1] << "]\ncodes";
    for (double v : c.missingCodes) o << ' ' << v;
    for (const auto& level : c.names) {
        o << "\nnames";
        for (const NameSlot& n : level) o << " [" << slot_text(n) << ']';
    }
    return o.str() + "\n";
}

// What each template sets and the template written back (which must read to the
// same settings), in one golden copy.
TEST(MdmTemplate, KeywordsAndTheTemplateWrittenBack) {
    const std::string pkg = kHeader + "rawdattype:spss\nl1fname:small1.sav\nl2fname:small2.sav\nl1missing:y\n"
                                      "timeofdeletion:analysis\nmdmname:s.mdm\n*begin l1vars\nlevel2id:ID\nses\n"
                                      "minority\n*end l1vars\n*begin l2vars\nlevel2id: id\nsize\nsector\n*end l2vars\n";
    const std::string cases[] = {
        ascii_template("L1MISSING:y/different\n-99\n 8.5\n", "timeofdeletion:analysis\n"),
        ascii_template("l1missing:Y/Same\n-9\n"),
        ascii_template("l1missing:n\n", "timeofdeletion:analysis\n"),
        // A blank after the colon is not skipped: the value does not begin with A.
        ascii_template("l1missing:y/same\n1\n", "timeofdeletion: analysis\n"),
        ascii_template("l1missing:y/same\n1\n", "TimeOfDeletion:Analysis\n"),
        ascii_template("l1missing:q\n", "timeofdeletion:x\n"),
        pkg,
    };
    InTempDir d("mdmtpl");
    write_small_files();
    for (const char* f : {"small1.sav", "small2.sav"}) testsupport::copy_data(std::string("packages/") + f, d.dir);
    std::string all;
    for (const std::string& text : cases) {
        testsupport::write_file("t.mdmt", text);
        MdmCreation c, again;
        read_mdm_template("t.mdmt", c);
        const std::string back = testsupport::read_file("creatmdm.mdmt");
        read_mdm_template("creatmdm.mdmt", again);
        EXPECT_EQ(settings(again), settings(c));
        all += "====\n" + settings(c) + back;
    }
    testsupport::expect_golden("mdm_template_settings.txt", all);
}

// Status and console of each template that stops the run, in one golden copy.
TEST(MdmTemplate, ErrorsStopTheRun) {
    const std::string names = "*begin l1vars\nses\nmathach\n*end l1vars\n*begin l2vars\nsector\n*end l2vars\n";
    const std::string files = "rawdattype:ascii\nl1fname:l1.dat\nl2fname:l2.dat\nnuml1var:2\nnuml2var:1\n";
    const std::string formats = "l1format:(A4,2F4)\nl2format:(A4,F4)\n";
    const std::string spss = kHeader + "rawdattype:spss\nl1fname:small1.sav\nl2fname:small2.sav\nl1missing:y\n";
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
        {"package ID not first", spss + "*begin l1vars\nses\n*end l1vars\n"},
        {"package ID not found", spss + "*begin l1vars\nlevel2id:school\n*end l1vars\n"},
        {"package variable not found", spss + "*begin l1vars\nlevel2id:id\nnope\n*end l1vars\n"},
    };
    InTempDir d("mdmtplerr");
    write_small_files();
    for (const char* f : {"small1.sav", "small2.sav"}) testsupport::copy_data(std::string("packages/") + f, d.dir);
    std::string all;
    for (const auto& c : cases) {
        testsupport::write_file("t.mdmt", c.text);
        testsupport::ChildResult r = in_child([] { read_template_and_stop("t.mdmt"); });
        all += std::string("==== ") + c.what + ", status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("mdm_template_errors.txt", all);
}

}  // namespace
