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
#include "support/test_support.h"

namespace {

TEST(CandidateRegression, SlopeStandardErrorAndT) {
    struct Case {
        std::vector<double> u, w;
        double slope, se;
    } cases[] = {
        {{1, 3, 2, 5}, {0, 1, 2, 3}, 1.1, std::sqrt(0.27)},          // Sxy 5.5, Sxx 5, SSE 2.7 on 2 df
        {{1, 3, 2, 5}, {100, 101, 102, 103}, 1.1, std::sqrt(0.27)},  // the predictor's mean does not matter
        {{1, 3}, {0, 1}, 2.0, std::sqrt(1e-7 / 0.5)},                // two units: variance 1e-7
    };
    for (const Case& c : cases) {
        CandidateFit f = regress_on_candidate((long)c.u.size(), c.u.data(), 1, c.w.data(), 1);
        EXPECT_NEAR(f.slope, c.slope, 1e-12);
        EXPECT_NEAR(f.se, c.se, 1e-12);
        EXPECT_NEAR(f.t, c.slope / c.se, 1e-6 * c.slope / c.se);
    }
    const double u[] = {1, 2, 3}, w[] = {4, 4, 4};  // no variance: no slope
    EXPECT_FALSE(std::isfinite(regress_on_candidate(3, u, 1, w, 1).slope));
}

TEST(ExploratoryCoefficients, RandomCoefficientsWithCandidatesInModelOrder) {
    MdmHeader mdm;
    mdm.numL1Vars = 3;
    mdm.numL2Vars = 5;
    for (const char* n : {"INTRCPT1", "A", "B", "C"}) mdm.l1Names.push_back(make_variable_name(n));
    for (const char* n : {"INTRCPT2", "W1", "W2", "W3", "W4", "W5"}) mdm.l2Names.push_back(make_variable_name(n));
    ModelSpec m;
    size_model_tables(mdm, m);
    // Intercept and C random with candidates, A random without, B fixed.
    const std::vector<std::vector<int>> cands = {{1}, {}, {2, 3}, {4, 5}};
    for (int slot = 0; slot < 4; ++slot) {
        m.l1Role[m.at(0, slot)] = 1;
        m.fixedEffectOnly[m.at(0, slot)] = slot == 2;
        for (std::size_t k = 0; k < cands[slot].size(); ++k) m.l2Candidates[m.cand(0, slot, (int)k)] = cands[slot][k];
    }
    auto lin = exploratory_coefficients(m, mdm, ExploratoryLayout::Linear);
    ASSERT_EQ(lin.size(), 2u);
    EXPECT_EQ(lin[0].name + "/" + lin[1].name, "INTRCPT1/       C");
    EXPECT_EQ(lin[0].number * 10 + lin[1].number, 3);        // counted from 0
    EXPECT_EQ(lin[0].slope * 10 + lin[1].slope, 1);
    EXPECT_EQ(lin[0].residualColumn * 10 + lin[1].residualColumn, 2);  // A keeps column 1
    EXPECT_EQ(lin[1].candidates, (std::vector<int>{4, 5}));
    // Without an intercept (as in a V-known model) numbers count from 1 and nothing is a slope.
    m.l1Role[m.at(0, 0)] = 0;
    auto vk = exploratory_coefficients(m, mdm, ExploratoryLayout::VKnown);
    ASSERT_EQ(vk.size(), 1u);
    EXPECT_EQ(vk[0].number, 3);
    EXPECT_FALSE(vk[0].slope);
    EXPECT_EQ(vk[0].residualColumn, 1);
}

// The section for three units: u = 1, 2, 4 on slot k holding 0, k, 2k, so the slope
// is 1.5/k, the standard error sqrt(1/12)/k and t 5.196 for every candidate.
std::string printed(ExploratoryLayout layout, const std::vector<ExploratoryCoefficient>& coefs) {
    static const double u[] = {1, 2, 4};
    std::vector<double> l2(3 * 9, 1.0);
    ExploratoryData d{3, u, 1, l2.data(), 9, 9, {"INTRCPT2"}};
    for (int k = 1; k <= 8; ++k) {
        for (int j = 0; j < 3; ++j) l2[j * 9 + k] = j * k;
        d.l2Names.push_back("      W" + std::to_string(k));
    }
    FILE* f = std::tmpfile();
    print_exploratory_analysis(f, layout, d, coefs);
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    if (std::fread(s.data(), 1, s.size(), f) != s.size()) s.clear();
    std::fclose(f);
    return s;
}

// Eight candidates in blocks of six and two (slopes 1.5/k, standard errors sqrt(1/12)/k,
// t 5.196), labels and categories, and nothing without candidates: one golden copy.
TEST(ExploratoryLayoutText, MatchesTheGoldenCopy) {
    using L = ExploratoryLayout;
    const struct { L layout; std::vector<ExploratoryCoefficient> coefs; } cases[] = {
        {L::Linear, {{"       A", 1, true, "", 0, {1, 2, 3, 4, 5, 6, 7, 8}}}},
        {L::VKnown, {{"       A", 1, true, "", 0, {1, 2, 3, 4, 5, 6, 7, 8}}}},
        {L::Linear, {{"INTRCPT1", 0, false, "", 0, {1}}}},
        {L::VKnown, {{"      B0", 1, false, "", 0, {1}}}},
        {L::Linear, {{"INTRCPT1", 0, false, "2", 0, {1}}}},
        {L::Linear, {{"       A", 1, true, "", 0, {}}}},
        {L::VKnown, {}},
    };
    std::string all;
    for (const auto& c : cases) all += "====\n" + printed(c.layout, c.coefs);
    testsupport::expect_golden("exploratory_layouts.txt", all);
    EXPECT_NE(all.find("    5.196    5.196"), std::string::npos);
}

}  // namespace
