// The console selection of the group ID and the variables of a package file.
#include <gtest/gtest.h>

#include "mdm/pkg_systat_fixture.h"
#include "support/test_support.h"

using namespace pkgfix;

namespace {

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

const std::string kListing =
    " The available level-2 variables are:\n"
    " For       ID  enter  1    For     SIZE  enter  2    For   SECTOR  enter  3\n"
    " For   PRACAD  enter  4    For  DISCLIM  enter  5    For  MEANSES  enter  6\n";

const struct {
    const char* what;
    int type, level, numericIds;
    std::string answers;
    int status;
    std::vector<std::string> messages;  // in this order in the output
    std::string result;                 // the closing line: ID kind, ID and chosen names
} kCases[] = {
    {"transcript, file order", RAW_SPSS, 2, 0, "1\n5\n2\n0\n", 77,
     {kListing + " What variable is the group ID?  " + " Please specify level-2 variable # 1(enter 0 to end): " +
      " Please specify level-2 variable # 2(enter 0 to end): " + " Please specify level-2 variable # 3(enter 0 to end): "},
     "[0|      ID    |    SIZE    | DISCLIM    ]"},
    {"systat refusals, order of choice", RAW_SYSTAT, 1, -1, "9\n2\n2\n4\n7\n5\n3\n0\n", 77,
     {" Not a valid variable. Try again.\n", " Please specify level-1 variable # 1 (enter 0 to end):  ",
      " Not a valid variable. Try again.\n", " This is a character variable!\n", " Not a valid variable. Try again.\n"},
     "[1|      ID    |    MATH    |     SES    ]"},
    {"character ID after numeric", RAW_SPSS, 2, 1, repeat("1\n", 10), 15,
     {"IDs must be both be character or both numeric!\n", "Unable to get a proper response\n"}, ""},
    {"numeric ID after character", RAW_SYSTAT, 2, 0, "2\n1\n0\n", 77,
     {"IDs must be both be character or both numeric!\n"}, "[0|  SCHOOL$   ]"},
    {"every variable chosen ends the list", RAW_SPSS, 2, 0, "1\n1\n6\n5\n4\n3\n2\n", 77,
     {"You have already chosen that variable!\n"},
     "[0|      ID    |    SIZE    |  SECTOR    |  PRACAD    | DISCLIM    | MEANSES    ]"},
    {"twenty-six refusals", RAW_SPSS, 2, 0, "1\n" + repeat("1\n", 26), 15,
     {"You have already chosen that variable!\n", "Unable to get a proper response\n"}, ""},
};

TEST(PackageSelection, AnswersAndRefusals) {
    std::string dir = testsupport::make_temp_dir("pkgsel");
    SystatSpec sp{{"SCHOOL$", "ID", "SES", "NAME$", "MATH", "LONGID$"}, {}, {}, true, {}, false};
    testsupport::write_file(dir + "/s.sys", systat_file(sp));
    for (const auto& c : kCases) {
        std::string path = c.type == RAW_SYSTAT ? dir + "/s.sys" : testsupport::data_path("packages/small2.sav");
        testsupport::write_file(dir + "/answers", c.answers);
        ChildResult r = in_child([&] {
            if (!std::freopen((dir + "/answers").c_str(), "r", stdin)) return;
            PackageFile pf;
            pkg_read_header(pf, std::fopen(path.c_str(), "rb"), c.type, c.level, path.c_str());
            int kind = c.numericIds;
            std::vector<NameSlot> chosen = pkg_select_dialogue(pf, kind);
            std::printf("[%d|%s", kind, pf.vars[static_cast<std::size_t>(pf.idVar)].name.text);
            for (const NameSlot& s : chosen) std::printf("|%s", s.text);
            std::printf("]");
        });
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
        std::size_t at = 0;
        for (const std::string& m : c.messages) {
            at = r.out.find(m, at);
            ASSERT_NE(at, std::string::npos) << c.what << ": " << m << "\n" << r.out;
            at += m.size();
        }
        if (c.status == 77) {
            EXPECT_EQ(r.out.substr(r.out.rfind('[')), c.result) << c.what;
        }
    }
}

}  // namespace
