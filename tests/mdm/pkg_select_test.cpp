// The console selection of the group ID and the variables of a package file.
#include <gtest/gtest.h>

#include "mdm/pkg_systat_fixture.h"
#include "support/test_support.h"

using namespace pkgfix;
using testsupport::data_path;

namespace {

// Runs the selection on `path` with `answers` on standard input; the child
// prints the chosen names and the ID kind after the dialogue.
ChildResult select(int type, const std::string& path, int level, int numericIds, const std::string& answers) {
    std::string dir = testsupport::make_temp_dir("pkgsel");
    testsupport::write_file(dir + "/answers", answers);
    return in_child([&] {
        if (!std::freopen((dir + "/answers").c_str(), "r", stdin)) return;
        PackageFile pf;
        pkg_read_header(pf, std::fopen(path.c_str(), "rb"), type, level, path.c_str());
        int kind = numericIds;
        std::vector<NameSlot> chosen = pkg_select_dialogue(pf, kind);
        std::printf("[%d|%s", kind, pf.vars[static_cast<std::size_t>(pf.idVar)].name.text);
        for (const NameSlot& s : chosen) std::printf("|%s", s.text);
        std::printf("]");
    });
}

const char* kListing =
    " The available level-2 variables are:\n"
    " For       ID  enter  1    For     SIZE  enter  2    For   SECTOR  enter  3\n"
    " For   PRACAD  enter  4    For  DISCLIM  enter  5    For  MEANSES  enter  6\n";

TEST(PackageSelection, TranscriptAndFileOrder) {
    ChildResult r = select(RAW_SPSS, data_path("packages/small2.sav"), 2, 0, "1\n5\n2\n0\n");
    EXPECT_EQ(r.status, 77);
    EXPECT_EQ(r.out, std::string(kListing) +
                         " What variable is the group ID? "
                         " Please specify level-2 variable # 1(enter 0 to end):"
                         " Please specify level-2 variable # 2(enter 0 to end):"
                         " Please specify level-2 variable # 3(enter 0 to end):"
                         "[0|      ID    |    SIZE    | DISCLIM    ]");
}

std::string systat_path() {
    static std::string path;
    if (path.empty()) {
        SystatSpec sp;
        sp.names = {"SCHOOL$", "ID", "SES", "NAME$", "MATH", "LONGID$"};
        sp.rows = {};
        path = testsupport::make_temp_dir("pkgselsys") + "/s.sys";
        testsupport::write_file(path, systat_file(sp));
    }
    return path;
}

struct SelectCase {
    const char* what;
    int type;
    int level;
    int numericIds;
    std::string answers;
    int status;
    std::vector<std::string> messages;  // in this order in the output
    std::string result;                 // the child's closing line
};

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

const SelectCase kCases[] = {
    {"systat refusals, order of choice kept", RAW_SYSTAT, 1, -1, "9\n2\n2\n4\n7\n5\n3\n0\n", 77,
     {" Not a valid variable. Try again.\n", " Please specify level-1 variable # 1 (enter 0 to end): ",
      " Not a valid variable. Try again.\n", " This is a character variable!\n",
      " Not a valid variable. Try again.\n"},
     "[1|      ID    |    MATH    |     SES    ]"},
    {"character ID at level 2 after numeric at level 1", RAW_SPSS, 2, 1, repeat("1\n", 10), 15,
     {"IDs must be both be character or both numeric!\n", "Unable to get a proper response\n"}, ""},
    {"numeric ID at level 2 after character at level 1", RAW_SYSTAT, 2, 0, "2\n1\n0\n", 77,
     {"IDs must be both be character or both numeric!\n"}, "[0|  SCHOOL$   ]"},
    {"every variable chosen ends the list", RAW_SPSS, 2, 0, "1\n1\n6\n5\n4\n3\n2\n", 77,
     {"You have already chosen that variable!\n"},
     "[0|      ID    |    SIZE    |  SECTOR    |  PRACAD    | DISCLIM    | MEANSES    ]"},
    {"twenty-six refusals", RAW_SPSS, 2, 0, "1\n" + repeat("1\n", 26), 15,
     {"You have already chosen that variable!\n", "Unable to get a proper response\n"}, ""},
};

TEST(PackageSelection, RefusedAnswers) {
    for (const SelectCase& c : kCases) {
        std::string path = c.type == RAW_SYSTAT ? systat_path() : data_path("packages/small2.sav");
        ChildResult r = select(c.type, path, c.level, c.numericIds, c.answers);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
        std::size_t at = 0;
        for (const std::string& m : c.messages) {
            std::size_t found = r.out.find(m, at);
            EXPECT_NE(found, std::string::npos) << c.what << ": " << m << "\n" << r.out;
            if (found != std::string::npos) at = found + m.size();
        }
        if (c.status == 77) {
            EXPECT_EQ(r.out.substr(r.out.rfind('[')), c.result) << c.what;
        }
    }
}

}  // namespace
