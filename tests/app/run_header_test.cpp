// The run header: golden reports for the main kinds of model, and the
// variants the equations and tables must show.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>

#include "model/test_models.h"
#include "support/test_support.h"

using namespace testmodels;

namespace {

std::string render(const RunSettings& rs, const ModelSpec& m, const MdmHeader& h) {
    return testsupport::capture([&](FILE* out) { write_run_header(out, rs, m, h); });
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

// The main kinds of model, then variations of a base model: one golden report
// holds every header, date and time masked.
struct Variant {
    const char* name;
    Built (*base)();
    std::function<void(Built&)> change;
};

const Variant VARIANTS[] = {
    {"linear", linear_model, [](Built&) {}},
    {"bernoulli", bernoulli_model, [](Built&) {}},
    {"multinomial", multinomial_model, [](Built&) {}},
    {"ordinal", ordinal_model, [](Built&) {}},
    {"within_persons", within_persons_model, [](Built&) {}},
    {"binomial_count", bernoulli_model, [](Built& b) { b.m.trialsVar = l1(b.m, "FEMALE"); }},
    {"poisson_exposure", bernoulli_model,
     [](Built& b) {
         b.rs.distribution = 2;
         b.m.trialsVar = l1(b.m, "FEMALE");
         b.rs.popAvgIterations = 4;
         b.rs.taylorOrder = 2;
     }},
    {"linear_weights", linear_model,
     [](Built& b) {
         b.rs.level1Weight = l1(b.m, "FEMALE");
         b.rs.level2Weight = l2(b.h, "SIZE");
     }},
    {"linear_plausible_values", linear_model, [](Built& b) { b.m.plausibleValues = {l1(b.m, "FEMALE"), l1(b.m, "SES")}; }},
    {"linear_heterogeneous", linear_model,
     [](Built& b) {
         b.m.heteroVars = {l1(b.m, "FEMALE")};
         b.rs.maxMacroIterations = 30;
     }},
    {"linear_all_fixed", linear_model,
     [](Built& b) {
         b.m.fixedEffectOnly[b.m.at(0, 0)] = 1;
         b.m.fixedEffectOnly[b.m.at(0, l1(b.m, "SES"))] = 1;
     }},
    {"linear_no_intercept", linear_model,
     [](Built& b) {
         b.m.noIntercept = true;
         b.m.l1Role[b.m.at(0, 0)] = 0;
         finish(b.m);
     }},
    {"linear_without_intrcpt2", linear_model,
     [](Built& b) {
         int ses = l1(b.m, "SES");
         b.m.l2Predictors[b.m.pred(0, ses, 0)] = l2(b.h, "SECTOR");
         b.m.l2Predictors[b.m.pred(0, ses, 1)] = l2(b.h, "MEANSES");
         b.m.l2Predictors[b.m.pred(0, ses, 2)] = NO_ENTRY;
         finish(b.m);
     }},
    {"linear_long_equation", linear_model,
     [](Built& b) {
         set_level2(b.m, 0, 0, {0, 1, 2, 3, 4, 5, 6}, true);
         finish(b.m);
     }},
    {"linear_vknown", linear_model,
     [](Built& b) {
         b.rs.isVKnown = b.h.isVKnown = true;
         b.m.noIntercept = true;
         b.m.l1Role[b.m.at(0, 0)] = 0;
         b.m.l1Role[b.m.at(0, l1(b.m, "FEMALE"))] = 1;
         set_level2(b.m, 0, l1(b.m, "FEMALE"), {0}, true);
         finish(b.m);
     }},
};

TEST(RunHeader, EveryKindAndVariantMatchesTheGoldenReport) {
    std::string all;
    for (const Variant& v : VARIANTS) {
        Built b = v.base();
        v.change(b);
        all += std::string("==== ") + v.name + "\n" + render(b.rs, b.m, b.h);
    }
    testsupport::expect_golden("run_headers.txt", all);
}

}  // namespace
