// The run header: golden reports for the main kinds of model, and the
// variants the equations and tables must show.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "app/app.h"
#include "model/test_models.h"
#include "support/test_support.h"

using namespace testmodels;

namespace {

std::string render(const RunSettings& rs, const ModelSpec& m, const MdmHeader& h) {
    return testsupport::capture([&](FILE* out) { write_run_header(out, rs, m, h); });
}

// The linear HSB model as a command file would give it.
struct Built {
    RunSettings rs;
    ModelSpec m;
    MdmHeader h = hsb_header();
};

Built read_case(const std::string& name, const std::string& text) {
    Built b;
    b.h.isVKnown = name.find("vknown") != std::string::npos;
    Parsed p = read_text(text, b.h);
    b.rs = p.rs, b.m = p.model;
    b.rs.mdmFileName = b.rs.dataSourceName = "hsb.mdm";
    b.rs.commandFileName = name + ".cmd";
    b.rs.withinPersons = name.rfind("within_persons", 0) == 0;
    for (int k = name == "ordinal" ? 0 : 1; b.rs.distribution == 3 && k <= b.rs.numCategories - (name == "ordinal"); ++k)
        b.m.categoryLabels.push_back(std::to_string(k));
    return b;
}

Built linear_model() { return read_case("linear", testsupport::read_cases("cases/run_headers.txt").at(0).second); }

TEST(RunHeaderBanner, NamesProgramModuleDateAndTime) {
    Built b = linear_model();
    std::string text = render(b.rs, b.m, b.h);
    EXPECT_TRUE(std::regex_search(text, std::regex("\n Program: {23}ARB 6 \\S"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\n Module:      test_app \\(6\\.02\\)\n"))) << text;
    EXPECT_TRUE(std::regex_search(
        text, std::regex("\n Date:        [1-9][0-9]? (January|February|March|April|May|June|July|August|September|"
                         "October|November|December) [0-9]{4}, [A-Z][a-z]+day\n")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\n Time:        [ 12][0-9]:[ 0-5][0-9]:[ 0-6][0-9]\n"))) << text;
    EXPECT_NE(text.find(" " + std::string(79, '-') + "\n"), std::string::npos);
    EXPECT_NE(text.find("\n SPECIFICATIONS FOR THIS ARB2 RUN\n\n"), std::string::npos);
}

// The main kinds of model and variations of them (tests/data/cases/run_headers.txt):
// one golden report holds every header, date and time masked.
TEST(RunHeader, EveryKindAndVariantMatchesTheGoldenReport) {
    std::string all;
    for (const auto& [name, text] : testsupport::read_cases("cases/run_headers.txt")) {
        Built b = read_case(name, text);
        all += "==== " + name + "\n" + render(b.rs, b.m, b.h);
    }
    testsupport::expect_golden("run_headers.txt", all);
}

}  // namespace
