// The run header: golden reports for the main kinds of model, and the
// variants the equations and tables must show.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>

#include "app/app.h"
#include "model/test_models.h"
#include "support/test_support.h"

using namespace testmodels;

namespace {

std::string render(const RunSettings& rs, const ModelSpec& m, const MdmHeader& h) {
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    write_run_header(out, rs, m, h);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// Module, date and time change from run to run.
std::string mask_volatile(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        for (const char* key : {" Module:", " Date:", " Time:"})
            if (line.rfind(key, 0) == 0) line = std::string(key) + " <masked>";
        out += line + "\n";
    }
    return out;
}

struct Built {
    RunSettings rs;
    ModelSpec m;
    MdmHeader h = hsb_header();
};

Built linear_model() {
    Built b;
    b.rs = linear_settings("HSB intercepts- and slopes-as-outcomes model", "hsb_full.out");
    b.rs.commandFileName = "hsb_full.cmd";
    hsb_full_model(b.h, b.m);
    return b;
}

Built bernoulli_model() {
    Built b;
    b.rs = linear_settings("Minority status", "minority.out");
    b.rs.distribution = 1;
    b.rs.maxMacroIterations = 100;
    b.rs.maxIterations = 50;
    b.rs.popAvgIterations = 1;
    b.rs.fixedSigma2 = 1.0;
    b.rs.microCriterion = 1e-5;
    ModelSpec& m = b.m;
    size_model_tables(b.h, m);
    set_outcome(m, l1(m, "MINORITY"));
    add_term(m, 0, 0);
    add_term(m, 0, l1(m, "SES"), 2);
    set_level2(m, 0, 0, {0, l2(b.h, "SECTOR"), l2(b.h, "MEANSES")}, true);
    set_level2(m, 0, l1(m, "SES"), {0}, false);
    finish(m);
    return b;
}

Built multinomial_model() {
    Built b;
    b.rs = linear_settings("Three-category outcome", "multi.out");
    b.rs.distribution = 3;
    b.rs.numCategories = 3;
    b.rs.maxMacroIterations = 100;
    b.rs.maxIterations = 50;
    ModelSpec& m = b.m;
    size_model_tables(b.h, m);
    remake_model_tables(b.h, m, 2, 0);
    set_outcome(m, l1(m, "MATHACH"));
    for (int s = 0; s < 2; ++s) {
        add_term(m, s, 0);
        add_term(m, s, l1(m, "SES"), 1);
        set_level2(m, s, 0, {0, l2(b.h, "SECTOR")}, true);
        set_level2(m, s, l1(m, "SES"), {0}, false);
    }
    m.categoryLabels = {"1", "2", "3"};
    finish(m);
    return b;
}

Built ordinal_model() {
    Built b;
    b.rs = linear_settings("Four ordered categories", "ordinal.out");
    b.rs.distribution = 3;
    b.rs.ordinal = true;
    b.rs.numCategories = 4;
    b.rs.maxMacroIterations = 100;
    b.rs.maxIterations = 50;
    b.rs.fullML = true;
    ModelSpec& m = b.m;
    size_model_tables(b.h, m);
    remake_model_tables(b.h, m, 1, 2);
    set_outcome(m, l1(m, "MATHACH"));
    add_term(m, 0, 0);
    add_term(m, 0, l1(m, "SES"));
    add_term(m, 0, l1(m, "THOLD2"));
    add_term(m, 0, l1(m, "THOLD3"));
    set_level2(m, 0, 0, {0, l2(b.h, "MEANSES")}, true);
    set_level2(m, 0, l1(m, "SES"), {0, l2(b.h, "SECTOR")}, false);
    set_level2(m, 0, l1(m, "THOLD2"), {0}, false);
    set_level2(m, 0, l1(m, "THOLD3"), {0}, false);
    m.categoryLabels = {"0", "1", "2", "3"};
    finish(m);
    return b;
}

// Repeated measures: the letters change, SECTOR's two effects are tied, SES is fixed.
Built within_persons_model() {
    Built b = linear_model();
    b.rs.withinPersons = true;
    b.rs.problemTitle = "Growth within persons";
    b.m.fixedEffectOnly[b.m.at(0, l1(b.m, "SES"))] = 1;
    b.m.constraintGroup = {0, 1, 0, 0, 1, 0};
    return b;
}

struct GoldenCase {
    const char* name;
    Built (*build)();
};

class RunHeaderGolden : public testing::TestWithParam<GoldenCase> {};

TEST_P(RunHeaderGolden, MatchesTheStoredReport) {
    Built b = GetParam().build();
    std::string text = mask_volatile(render(b.rs, b.m, b.h));
    std::string path = testsupport::data_path(std::string("golden/header_") + GetParam().name + ".txt");
    if (std::getenv("ARB2_UPDATE_GOLDEN") != nullptr) testsupport::write_file(path, text);
    std::string golden = testsupport::read_file(path);
    ASSERT_FALSE(golden.empty()) << "missing " << path;
    EXPECT_EQ(golden, text);
}

INSTANTIATE_TEST_SUITE_P(Models, RunHeaderGolden,
                         testing::Values(GoldenCase{"linear", linear_model}, GoldenCase{"bernoulli", bernoulli_model},
                                         GoldenCase{"multinomial", multinomial_model},
                                         GoldenCase{"ordinal", ordinal_model},
                                         GoldenCase{"within_persons", within_persons_model}),
                         [](const testing::TestParamInfo<GoldenCase>& info) { return std::string(info.param.name); });

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

// One variation of a base model and what its header must (not) contain.
struct Variant {
    const char* name;
    std::function<void(Built&)> change;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};

Built variant_base(const char* name) {
    std::string n = name;
    if (n.rfind("bern", 0) == 0 || n.rfind("binomial", 0) == 0 || n.rfind("poisson", 0) == 0) return bernoulli_model();
    return linear_model();
}

const Variant VARIANTS[] = {
    {"binomial_count",
     [](Built& b) { b.m.trialsVar = l1(b.m, "FEMALE"); },
     {"  Distribution at Level-1: Binomial\n", "\tE(Y|B) = FEMALE*P\n\tV(Y|B) = FEMALE*P(1-P)\n\n",
      "Level-1 variance = 1/[FEMALE*P(1-P)]\n", "\tlog[P/(1-P)] = B0 + B1*(SES) \n"},
     {"Bernoulli", "+ R\n"}},
    {"poisson_exposure",
     [](Built& b) {
         b.rs.distribution = 2;
         b.m.trialsVar = l1(b.m, "FEMALE");
         b.rs.popAvgIterations = 4;
         b.rs.taylorOrder = 2;
     },
     {"\tE(Y|B) = FEMALE*L\n\tV(Y|B) = FEMALE*L\n\n", "Level-1 variance = 1/(FEMALE*L)\n",
      "  Maximum number of population average iterations = 4\n", "Taylor series at order 2 selected\n"},
     {}},
    {"linear_weights",
     [](Built& b) {
         b.rs.level1Weight = l1(b.m, "FEMALE");
         b.rs.level2Weight = l2(b.h, "SIZE");
     },
     {" Level 1       yes         FEMALE        yes\n", " Level 2       yes           SIZE        yes\n",
      " Precision      no       \n", "  The outcome variable is  MATHACH\n"},
     {}},
    {"linear_plausible_values",
     [](Built& b) { b.m.plausibleValues = {l1(b.m, "FEMALE"), l1(b.m, "SES")}; },
     {"\n  This is part of a plausible value analysis using the following variables:\n      FEMALE\n         SES\n\n"},
     {}},
    {"linear_heterogeneous",
     [](Built& b) {
         b.m.heteroVars = {l1(b.m, "FEMALE")};
         b.rs.maxMacroIterations = 30;
     },
     {"  Heterogeneous sigma_squared specified\n", "  Method of estimation: restricted maximum likelihood\n",
      "  The maximum number of micro iterations"},
     {"Distribution at Level-1"}},
    {"linear_all_fixed",
     [](Built& b) {
         b.m.fixedEffectOnly[b.m.at(0, 0)] = 1;
         b.m.fixedEffectOnly[b.m.at(0, l1(b.m, "SES"))] = 1;
     },
     {"#  ", "'#' - The residual parameter variance", "\tB0 = G00 + G01*(SECTOR) + G02*(MEANSES) \n"},
     {"Tau dimensions", "+ U0"}},
    {"linear_no_intercept",
     [](Built& b) {
         b.m.noIntercept = true;
         b.m.l1Role[b.m.at(0, 0)] = 0;
         finish(b.m);
     },
     {"\tY = B1*(SES) + R\n", "*      SES slope, B1", "\tB1 = G10 + G11*(SECTOR)"},
     {"INTRCPT1, B0"}},
    {"linear_without_intrcpt2",
     [](Built& b) {
         int ses = l1(b.m, "SES");
         b.m.l2Predictors[b.m.pred(0, ses, 0)] = l2(b.h, "SECTOR");
         b.m.l2Predictors[b.m.pred(0, ses, 1)] = l2(b.h, "MEANSES");
         b.m.l2Predictors[b.m.pred(0, ses, 2)] = NO_ENTRY;
         finish(b.m);
     },
     {"\tB1 = G11*(SECTOR) + G12*(MEANSES) + U1\n", "  SECTOR, G11   ", "$  MEANSES, G12   \n"},
     {}},
    {"linear_long_equation",
     [](Built& b) {
         std::vector<int> all{0, 1, 2, 3, 4, 5, 6};
         set_level2(b.m, 0, 0, all, true);
         finish(b.m);
     },
     {"\tB0 = G00 + G01*(SIZE) + G02*(SECTOR) + G03*(PRACAD) + G04*(DISCLIM) \n         + G05*(HIMINTY) + "
      "G06*(MEANSES) + U0\n"},
     {}},
    {"linear_vknown",
     [](Built& b) {
         b.rs.isVKnown = b.h.isVKnown = true;
         b.m.noIntercept = true;
         b.m.l1Role[b.m.at(0, 0)] = 0;
         b.m.l1Role[b.m.at(0, l1(b.m, "FEMALE"))] = 1;
         set_level2(b.m, 0, l1(b.m, "FEMALE"), {0}, true);
         finish(b.m);
     },
     {"  Note: this is a v-known analysis\n", "\n   Effects                  Predictors",
      "\n         Variance(s and covariances) at level-1 externally specified\n\n", "\tY1 = B1 + E1\n\tY2 = B2 + E2\n",
      "        FEMALE, B1", "           SES, B2"},
     {"Weighting Specification", "level-1 units", "Sigma squared"}},
};

TEST(RunHeaderVariants, ShowTheirLines) {
    for (const Variant& v : VARIANTS) {
        Built b = variant_base(v.name);
        v.change(b);
        std::string text = render(b.rs, b.m, b.h);
        for (const std::string& s : v.present) EXPECT_NE(text.find(s), std::string::npos) << v.name << " lacks: " << s << "\n" << text;
        for (const std::string& s : v.absent) EXPECT_EQ(text.find(s), std::string::npos) << v.name << " has: " << s << "\n" << text;
    }
}

}  // namespace
