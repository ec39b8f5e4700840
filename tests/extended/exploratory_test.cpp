// Exploratory analysis: the one-predictor regressions, the coefficients taken
// from the model, and the section's exact layout for both analyses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "extended/extended.h"
#include "mdm/mdm.h"
#include "model/model.h"

namespace {

TEST(CandidateRegression, SlopeStandardErrorAndT) {
    struct Case {
        const char* what;
        std::vector<double> u, w;
        double slope, se, t;
    } cases[] = {
        // Sxy 5.5, Sxx 5, SSE 2.7 on 2 df.
        {"four units", {1, 3, 2, 5}, {0, 1, 2, 3}, 1.1, std::sqrt(0.27), 1.1 / std::sqrt(0.27)},
        // Two units leave no residual df: the variance is 1e-7.
        {"two units", {1, 3}, {0, 1}, 2.0, std::sqrt(1e-7 / 0.5), 2.0 / std::sqrt(1e-7 / 0.5)},
        // The mean of the predictor does not matter.
        {"shifted predictor", {1, 3, 2, 5}, {100, 101, 102, 103}, 1.1, std::sqrt(0.27), 1.1 / std::sqrt(0.27)},
    };
    for (const Case& c : cases) {
        CandidateFit f = regress_on_candidate((long)c.u.size(), c.u.data(), 1, c.w.data(), 1);
        EXPECT_NEAR(f.slope, c.slope, 1e-12) << c.what;
        EXPECT_NEAR(f.se, c.se, 1e-12) << c.what;
        EXPECT_NEAR(f.t, c.t, 1e-6 * std::fabs(c.t)) << c.what;
    }
    // A predictor without variance has no slope.
    const double u[] = {1, 2, 3}, w[] = {4, 4, 4};
    EXPECT_FALSE(std::isfinite(regress_on_candidate(3, u, 1, w, 1).slope));
}

// A model on an MDM file with level-1 variables A, B, C and level-2 variables W1..W8.
struct Fixture {
    MdmHeader mdm;
    ModelSpec model;
    Fixture() {
        mdm.numL1Vars = 3;
        mdm.numL2Vars = 8;
        mdm.l1Names = {make_variable_name("INTRCPT1"), make_variable_name("A"), make_variable_name("B"),
                       make_variable_name("C")};
        mdm.l2Names.push_back(make_variable_name("INTRCPT2"));
        for (int k = 1; k <= 8; ++k) mdm.l2Names.push_back(make_variable_name(("W" + std::to_string(k)).c_str()));
        size_model_tables(mdm, model);
    }
    void term(int slot, bool random, std::vector<int> candidates) {
        model.l1Role[model.at(0, slot)] = 1;
        model.fixedEffectOnly[model.at(0, slot)] = random ? 0 : 1;
        for (std::size_t k = 0; k < candidates.size(); ++k) model.l2Candidates[model.cand(0, slot, (int)k)] = candidates[k];
    }
};

TEST(ExploratoryCoefficients, RandomCoefficientsWithCandidatesInModelOrder) {
    Fixture fx;
    fx.term(0, true, {1});      // intercept, candidates
    fx.term(1, true, {});       // random, no candidates: keeps its residual column
    fx.term(2, false, {2, 3});  // fixed: never examined
    fx.term(3, true, {4, 5});
    auto linear = exploratory_coefficients(fx.model, fx.mdm, ExploratoryLayout::Linear);
    ASSERT_EQ(linear.size(), 2u);
    EXPECT_EQ(linear[0].name, "INTRCPT1");
    EXPECT_EQ(linear[0].number, 0);
    EXPECT_FALSE(linear[0].slope);
    EXPECT_EQ(linear[0].residualColumn, 0);
    EXPECT_EQ(linear[1].name, "       C");
    EXPECT_EQ(linear[1].number, 3);
    EXPECT_TRUE(linear[1].slope);
    EXPECT_EQ(linear[1].residualColumn, 2);
    EXPECT_EQ(linear[1].candidates, (std::vector<int>{4, 5}));

    // Without an intercept (a V-known model) numbering starts at 1 and nothing is a slope.
    fx.model.l1Role[fx.model.at(0, 0)] = 0;
    auto vk = exploratory_coefficients(fx.model, fx.mdm, ExploratoryLayout::VKnown);
    ASSERT_EQ(vk.size(), 1u);
    EXPECT_EQ(vk[0].number, 3);
    EXPECT_FALSE(vk[0].slope);
    EXPECT_EQ(vk[0].residualColumn, 1);
}

std::string printed(ExploratoryLayout layout, const std::vector<ExploratoryCoefficient>& coefs) {
    // Three units; residual column 0 is u, slots 1..8 carry the level-2 values.
    static const double u[] = {1, 2, 4};
    std::vector<double> l2(3 * 9, 0.0);
    for (int j = 0; j < 3; ++j) {
        l2[j * 9] = 1;
        for (int k = 1; k <= 8; ++k) l2[j * 9 + k] = j * k;
    }
    ExploratoryData d;
    d.J = 3;
    d.residuals = u;
    d.ldResiduals = 1;
    d.level2 = l2.data();
    d.ldLevel2 = 9;
    d.numL2Slots = 9;
    d.l2Names.push_back("INTRCPT2");
    for (int k = 1; k <= 8; ++k) d.l2Names.push_back("      W" + std::to_string(k));
    FILE* f = std::tmpfile();
    print_exploratory_analysis(f, layout, d, coefs);
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    if (!s.empty() && std::fread(s.data(), 1, s.size(), f) != s.size()) s.clear();
    std::fclose(f);
    return s;
}

TEST(ExploratoryLayoutText, EightCandidatesInBlocksOfSixAndTwo) {
    ExploratoryCoefficient c{"       A", 1, true, "", 0, {1, 2, 3, 4, 5, 6, 7, 8}};
    const std::string heading =
        "\f Exploratory Analysis: estimated level-2 coefficients and their standard errors\n"
        "         obtained by regressing EB residuals on level-2 predictors selected for\n"
        "         possible inclusion in subsequent ARB runs\n\n" +
        std::string(" ") + std::string(77, '-') + "\n";
    const std::string rule = " " + std::string(77, '-') + "\n";
    // u = 1, 2, 4 on w = 0, k, 2k: slope 1.5 / k, SSE 1/6, so se = sqrt(1/12) / k and t = 5.196.
    auto row = [](const char* title, double (*f)(int), int from, int to) {
        std::string s = title;
        char buf[16];
        for (int k = from; k <= to; ++k) {
            std::snprintf(buf, sizeof buf, " %8.3f", f(k));
            s += buf;
        }
        return s + "\n";
    };
    auto block = [&](const std::string& label, int from, int to) {
        std::string s = "\n                         ";
        for (int k = from; k <= to; ++k) s += "       W" + std::to_string(k);
        return s + "\n" + label + row("    Coefficient         ", [](int k) { return 1.5 / k; }, from, to) +
               row("    Standard Error      ", [](int k) { return std::sqrt(1.0 / 12) / k; }, from, to) +
               row("    t value             ", [](int) { return 1.5 / std::sqrt(1.0 / 12); }, from, to);
    };
    EXPECT_EQ(printed(ExploratoryLayout::Linear, {c}),
              heading + " Level-1 Coefficient          Potential Level-2 Predictors\n" + rule +
                  block("        A slope,B1\n", 1, 6) + block("        A slope,B1\n", 7, 8) + "\n" + rule);
    EXPECT_EQ(printed(ExploratoryLayout::VKnown, {c}),
              heading + " Level-1 Coefficient      Potential Level-2 Predictors\n" + rule +
                  block("        A, B1\n", 1, 6) + block("        A, B1\n", 7, 8));
}

TEST(ExploratoryLayoutText, LabelsAndCategoriesAndNothingWithoutCandidates) {
    struct Case {
        ExploratoryLayout layout;
        ExploratoryCoefficient coef;
        const char* expected;  // text that must follow the block's name row
    } cases[] = {
        {ExploratoryLayout::Linear, {"INTRCPT1", 0, false, "", 0, {1}}, "\n       INTRCPT1,B0\n"},
        {ExploratoryLayout::Linear, {"       B", 2, true, "", 0, {1}}, "\n        B slope,B2\n"},
        {ExploratoryLayout::VKnown, {"      B0", 1, false, "", 0, {1}}, "\n       B0, B1\n"},
        {ExploratoryLayout::Linear, {"INTRCPT1", 0, false, "2", 0, {1}}, "For category 2:\n\n"},
    };
    for (const Case& c : cases) {
        const std::string s = printed(c.layout, {c.coef});
        EXPECT_NE(s.find(c.expected), std::string::npos) << c.expected << "\n" << s;
    }
    ExploratoryCoefficient none{"       A", 1, true, "", 0, {}};
    EXPECT_EQ(printed(ExploratoryLayout::Linear, {none}), "");
    EXPECT_EQ(printed(ExploratoryLayout::VKnown, {}), "");
}

}  // namespace
