// Final estimates tables: every layout, title, the degrees-of-freedom and
// chi-square p-value rules and the deviance comparisons pinned by one golden
// report.
#include <gtest/gtest.h>

#include "model/model.h"
#include "numeric/numeric.h"
#include "report/report_test_util.h"

using namespace reporttest;

namespace {

// gamma, a covariance in units of sigma2 = 4, and df 159 / 2 / 1.
const double kGamma[3] = {12.5, 1.25, 2.0};
const double kCov[9] = {0.0625, 0.01, 0.0, 0.01, 0.25, 0.0, 0.0, 0.0, 0.01};
const long kDf[3] = {159, 2, 1};

std::string fixed_table(const ReportLabels& L, const FixedTableOptions& opt, const char* outcome = " MATHACH") {
    return capture([&](FILE* f) { print_fixed_effects(f, L, 3, kDf, opt, kCov, kGamma, outcome, 3); });
}

}  // namespace

TEST(ReportTables, EveryLayoutMatchesTheGoldenReport) {
    using M = FixedTableMode;
    using P = ModelPhase;
    std::string all;
    auto add = [&](const std::string& what, const std::string& text) { all += "==== " + what + "\n" + text; };

    ReportLabels L = sample_labels();
    L.gammaConstrained = {0, 1, 1};
    FixedTableOptions scaled;
    scaled.covScale = 4.0;
    // SE = sqrt(0.0625 * 4) = 0.5 and T = 25; exactly 2 df get a p-value, 1 df does not.
    add("fixed effects, final, sigma2 4", fixed_table(L, scaled));

    const struct { M mode; P phase; bool nonLinear; } titles[] = {
        {M::StartingValues, P::Linear, false},     {M::Final, P::UnitSpecific, true},
        {M::Final, P::LinearFirstStep, true},      {M::FinalRobust, P::PopulationAverage, true},
        {M::LeastSquaresRobust, P::Linear, false}, {M::Laplace, P::Linear, true},
        {M::LeastSquares, P::Linear, false}};
    for (const auto& t : titles) {
        ReportLabels T = sample_labels();
        T.nonLinear = t.nonLinear;
        add("mode " + std::to_string(int(t.mode)) + " phase " + std::to_string(int(t.phase)),
            fixed_table(T, FixedTableOptions{t.mode, t.phase, false, 1.0, 100}));
    }
    ReportLabels T = sample_labels();
    add("blank linear outcome", fixed_table(T, FixedTableOptions{M::LeastSquares}, "        "));
    T.plausibleValues = true;
    T.outcomeNames = {"     PV1", "     PV2"};
    add("plausible values", fixed_table(T, FixedTableOptions{M::LeastSquares}));
    ReportLabels multi = sample_labels();
    multi.multinomial = true;
    multi.gammaCategories = {"1", "1", "2"};
    add("multinomial categories", fixed_table(multi, FixedTableOptions{}));

    add("odds ratios", capture([&](FILE* f) { print_odds_ratios(f, sample_labels(), 3, kDf, FixedTableOptions{}, kCov, kGamma, 3); }));
    ReportLabels poisson = sample_labels();
    poisson.poisson = true;
    add("event rates", capture([&](FILE* f) { print_odds_ratios(f, poisson, 3, kDf, FixedTableOptions{}, kCov, kGamma, 3); }));

    const double tau[4] = {8.68, 0.05, 0.05, 0.69}, rel[2] = {0.907, 0.264};
    add("tau, correlations, reliabilities", capture([&](FILE* f) {
            ReportLabels R = sample_labels();
            print_matrix(f, R, 2, 2, tau, nullptr, "Tau", 2);
            print_correlations(f, R, 2, tau, "Tau", 2);
            print_reliabilities(f, R, 2, rel);
            print_partial_note(f, "reliability estimates", 150, 160);
            R.multinomial = true;
            R.randomCategories = {"1", "2"};
            print_matrix(f, R, 2, 2, tau, nullptr, "Tau", 2);
            print_reliabilities(f, R, 2, rel);
        }));

    // p-values: at its df, just below (>.500), and negative df become 0.
    const struct { double chisq; long units; int gammas; } chis[] = {{158.0, 160, 2}, {157.99999, 160, 2}, {3.0, 1, 2}};
    for (const auto& c : chis) {
        const double t4 = 4.0;
        add("variance components, chi-square " + fmt("%g", c.chisq), capture([&](FILE* f) {
                print_variance_components(f, sample_labels(), 1, &c.gammas, c.units, 36.0, true, &t4, 1, &c.chisq);
            }));
    }
    const double chisq[2] = {1771.013, 213.457};
    const int counts[2] = {2, 1};
    ReportLabels V = sample_labels();
    add("variance components", capture([&](FILE* f) {
            print_variance_components(f, V, 2, counts, 160, 36.7, true, tau, 2, chisq);
            print_partial_note(f, "chi-square statistics", 150, 160);
        }));
    V.randomLetter = 'R';
    V.residualLetter = 'E';
    add("repeated-measures letters",
        capture([&](FILE* f) { print_variance_components(f, V, 2, counts, 160, 36.7, true, tau, 2, chisq); }));
    add("no level-1 variance",
        capture([&](FILE* f) { print_variance_components(f, V, 2, counts, 160, 36.7, false, tau, 2, chisq); }));

    const struct { bool fullML; double alt; int altDf; } devs[] = {
        {false, MISSING_VALUE, 0}, {false, 46720.0, 4}, {true, 46720.0, 2}};
    for (const auto& d : devs) {
        RunSettings rs;
        rs.fullML = d.fullML;
        rs.altDeviance = d.alt;
        rs.altDf = d.altDf;
        add("deviance", capture([&](FILE* f) { print_deviance(f, -46712.396 / 2.0, 4, rs.altDeviance, rs.altDf, rs.fullML); }));
    }
    // p1 = 3 + 4 + 1 = 8, p2 = 3 + 4 + 1 + 1 = 9, chi-square 31 on 1 df; a fixed sigma2: 2 df on 1 is >.500.
    add("fit summary", capture([&](FILE* f) { print_fit_summary(f, -23356.0, -23340.5, 2, 4, false, 1); }));
    add("fit summary, fixed sigma2", capture([&](FILE* f) { print_fit_summary(f, -100.0, -99.5, 1, 1, true, 1); }));
    ReportLabels H;
    add("results headers", capture([&](FILE* f) {
            print_results_header(f, H, ResultsHeader::NonLinearUnitSpecific, 7);
            print_results_header(f, H, ResultsHeader::HeterogeneousSigma2, 3, {"SES", "FEMALE"});
        }));
    expect_golden("report_tables.txt", all);
}

TEST(Deviance, ParameterCount) {
    EXPECT_EQ(deviance_parameter_count(1, 1, false, true, -1), 2);
    EXPECT_EQ(deviance_parameter_count(2, 2, true, true, -1), 6);
    EXPECT_EQ(deviance_parameter_count(2, 4, true, false, -1), 7);
    EXPECT_EQ(deviance_parameter_count(2, 4, true, true, 2), 10);
}
