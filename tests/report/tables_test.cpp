// Final estimates tables: exact layouts (golden files), titles by mode, the
// degrees-of-freedom and chi-square p-value rules, deviance comparisons.
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

std::string fixed_table(const ReportLabels& L, const FixedTableOptions& opt) {
    return capture([&](FILE* f) { print_fixed_effects(f, L, 3, kDf, opt, kCov, kGamma, " MATHACH", 3); });
}

}  // namespace

TEST(FixedEffectsTable, GoldenLayoutAndDfRule) {
    ReportLabels L = sample_labels();
    L.gammaConstrained = {0, 1, 1};
    FixedTableOptions opt;
    opt.covScale = 4.0;
    std::string t = fixed_table(L, opt);
    expect_golden("report_fixed_final.txt", t);
    // SE = sqrt(0.0625 * 4) = 0.5 and T = 25; exactly 2 df get a p-value, 1 df does not.
    EXPECT_NE(t.find("12.500000   0.500000    25.000       159    " + fmt("%5.3lf", t_two_sided_p(25, 159))), npos);
    EXPECT_NE(t.find("       2    " + fmt("%5.3lf", t_two_sided_p(1.25, 2)) + "\n"), npos);
    EXPECT_NE(t.find("    10.000  Unable to compute\n"), npos);
}

struct TitleCase {
    FixedTableMode mode;
    ModelPhase phase;
    bool nonLinear, betweenMacro;
    const char* start;  // text from the first character to the title's end
};

TEST(FixedEffectsTable, TitleAndOutcomeLineByMode) {
    using M = FixedTableMode;
    using P = ModelPhase;
    const TitleCase cases[] = {
        {M::StartingValues, P::Linear, false, false,
         "\f The outcome variable is  MATHACH\n\n Estimation of fixed effects\n(Based on starting values of covariance components)\n"},
        {M::Final, P::UnitSpecific, true, false, "\f The outcome variable is  MATHACH\n\n Final estimation of fixed effects: (Unit-specific model)\n"},
        {M::Final, P::LinearFirstStep, true, false, "\f The outcome variable is  MATHACH\n\n Final estimation of fixed effects: (linear model with identity link function)\n"},
        {M::FinalRobust, P::PopulationAverage, true, false, " The outcome variable is  MATHACH\n\n Final estimation of fixed effects\n (Population-average model with robust standard errors)\n"},
        {M::LeastSquaresRobust, P::Linear, false, false, " The outcome variable is  MATHACH\n\n Least-squares estimates of fixed effects\n (with robust standard errors)\n"},
        {M::Laplace, P::Linear, true, false, " The outcome variable is  MATHACH\n\n Final estimation of fixed effects\n (Laplace)\n"},
    };
    for (const TitleCase& c : cases) {
        SCOPED_TRACE(c.start);
        ReportLabels L = sample_labels();
        L.nonLinear = c.nonLinear;
        FixedTableOptions opt{c.mode, c.phase, c.betweenMacro, 1.0, 100};
        std::string t = fixed_table(L, opt);
        EXPECT_EQ(t.substr(0, std::string(c.start).size()), c.start);
        // Least-squares tables have no "Approx." heading and use N - F for every gamma.
        bool ls = c.mode == M::LeastSquaresRobust;
        EXPECT_EQ(t.find("Approx.") == npos, ls);
        EXPECT_EQ(t.find("Unable to compute") == npos, ls);
    }
    // Plausible values list their variables; a blank linear outcome prints no line.
    ReportLabels L = sample_labels();
    FixedTableOptions opt{FixedTableMode::LeastSquares};
    std::string t = capture([&](FILE* f) { print_fixed_effects(f, L, 3, kDf, opt, kCov, kGamma, "        ", 3); });
    EXPECT_EQ(t.substr(0, 14), " Least-squares");
    L.plausibleValues = true;
    L.outcomeNames = {"     PV1", "     PV2"};
    EXPECT_EQ(fixed_table(L, opt).substr(0, 50), " The plausible variables are:      PV1,     PV2\n\n ");
}

TEST(FixedEffectsTable, MultinomialCategoriesOpenTheirBlocks) {
    ReportLabels L = sample_labels();
    L.multinomial = true;
    L.gammaCategories = {"1", "1", "2"};
    std::string t = fixed_table(L, FixedTableOptions{});
    EXPECT_NE(t.find(std::string(76, '-') + "\nFor Category 1\n For       INTRCPT1, B0\n"), npos);
    EXPECT_NE(t.find("\n\nFor Category 2\n For      SES slope, B1\n"), npos);
}

TEST(OddsRatioTable, GoldenLayoutAndPoissonHeading) {
    ReportLabels L = sample_labels();
    std::string t = capture([&](FILE* f) { print_odds_ratios(f, L, 3, kDf, FixedTableOptions{}, kCov, kGamma, 3); });
    expect_golden("report_odds_ratios.txt", t);
    double tc = t_critical_95(2);  // interval of the 2-df gamma, SE 0.5
    EXPECT_NE(t.find(" (" + fmt("%.3lf", std::exp(1.25 - tc * 0.5)) + "," + fmt("%.3lf", std::exp(1.25 + tc * 0.5))), npos);
    L.poisson = true;
    t = capture([&](FILE* f) { print_odds_ratios(f, L, 3, kDf, FixedTableOptions{}, kCov, kGamma, 3); });
    EXPECT_NE(t.find("                                            Event Rate   Confidence\n"), npos);
}

TEST(MatrixTables, TauCorrelationsReliabilitiesGolden) {
    const double tau[4] = {8.68, 0.05, 0.05, 0.69};
    const double rel[2] = {0.907, 0.264};
    std::string t = capture([&](FILE* f) {
        ReportLabels L = sample_labels();
        print_matrix(f, L, 2, 2, tau, nullptr, "Tau", 2);
        print_correlations(f, L, 2, tau, "Tau", 2);
        print_reliabilities(f, L, 2, rel);
        print_partial_note(f, "reliability estimates", 150, 160);
        L.multinomial = true;
        L.randomCategories = {"1", "2"};
        print_matrix(f, L, 2, 2, tau, nullptr, "Tau", 2);
        print_reliabilities(f, L, 2, rel);
    });
    expect_golden("report_tau_tables.txt", t);
    EXPECT_NE(t.find("  1.000 " + fmt("%6.3lf", 0.05 / std::sqrt(8.68 * 0.69)) + "\n"), npos);
}

TEST(VarianceComponents, ChiSquarePValueRule) {
    struct Case { double chisq; long units; int gammas; std::string end; };
    const Case cases[] = {
        {158.0, 160, 2, "   158     158.00000    " + fmt("%5.3lf", tail_probability(158.0, 158, 1)) + "\n"},
        {157.99999, 160, 2, "   158     157.99999    >.500\n"},  // just below its df
        {3.0, 1, 2, "     0       3.00000    >.500\n"},            // negative df become 0
    };
    for (const Case& c : cases) {
        const double tau = 4.0;
        std::string t = capture(
            [&](FILE* f) { print_variance_components(f, sample_labels(), 1, &c.gammas, c.units, 36.0, true, &tau, 1, &c.chisq); });
        EXPECT_NE(t.find(" INTRCPT1,       U0        2.00000       4.00000" + c.end), npos) << t;
    }
}

TEST(VarianceComponents, GoldenLayoutAndRepeatedMeasuresLetters) {
    ReportLabels L = sample_labels();
    const double tau[4] = {8.68, 0.05, 0.05, 0.69};
    const double chisq[2] = {1771.013, 213.457};
    const int counts[2] = {2, 1};
    std::string t = capture([&](FILE* f) {
        print_variance_components(f, L, 2, counts, 160, 36.7, true, tau, 2, chisq);
        print_partial_note(f, "chi-square statistics", 150, 160);
    });
    expect_golden("report_variance_components.txt", t);
    L.randomLetter = 'R';
    L.residualLetter = 'E';
    t = capture([&](FILE* f) { print_variance_components(f, L, 2, counts, 160, 36.7, true, tau, 2, chisq); });
    EXPECT_NE(t.find("      SES slope, R1   "), npos);
    EXPECT_NE(t.find("  level-1,       E    "), npos);
    t = capture([&](FILE* f) { print_variance_components(f, L, 2, counts, 160, 36.7, false, tau, 2, chisq); });
    EXPECT_EQ(t.find("level-1"), npos);
}

TEST(Deviance, ParameterCountAndComparisonTest) {
    EXPECT_EQ(deviance_parameter_count(1, 1, false, true, -1), 2);
    EXPECT_EQ(deviance_parameter_count(2, 2, true, true, -1), 6);
    EXPECT_EQ(deviance_parameter_count(2, 4, true, false, -1), 7);
    EXPECT_EQ(deviance_parameter_count(2, 4, true, true, 2), 10);

    struct Case { bool fullML; double alt; int altDf; std::string expected; };
    const std::string head = " Deviance                       = 46712.396000\n Number of estimated parameters = 4\n";
    const Case cases[] = {
        {false, MISSING_VALUE, 0, head},
        {false, 46720.0, 4, head + "\n Variance-Covariance components test\n " + std::string(50, '-') +
             "\n Chi-square statistic         =      7.60400\n Number of degrees of freedom =    0\n"
             " P-value                      = >.500\n"},
        {true, 46720.0, 2, head + "\n Model comparison test\n " + std::string(50, '-') +
             "\n Chi-square statistic         =      7.60400\n Number of degrees of freedom =    2\n"
             " P-value                      = " + fmt("%5.3lf", tail_probability(7.604, 2, 1)) + "\n"},
    };
    for (const Case& c : cases) {
        RunSettings rs;
        rs.fullML = c.fullML;
        rs.altDeviance = c.alt;
        rs.altDf = c.altDf;
        std::string t = capture([&](FILE* f) { print_deviance(f, -46712.396 / 2.0, 4, rs.altDeviance, rs.altDf, rs.fullML); });
        EXPECT_EQ(t, "\n\n Statistics for current covariance components model\n " + std::string(50, '-') + "\n" + c.expected);
    }
}

TEST(FitSummary, GoldenLayoutAndZeroDfRule) {
    // p1 = 3 + 4 + 1 = 8, p2 = 3 + 4 + 1 + 1 = 9, chi-square 31 on 1 df.
    expect_golden("report_fit_summary.txt",
                  capture([&](FILE* f) { print_fit_summary(f, -23356.0, -23340.5, 2, 4, false, 1); }));
    // A fixed sigma2: 2 df on a chi-square of 1 is >.500.
    std::string t = capture([&](FILE* f) { print_fit_summary(f, -100.0, -99.5, 1, 1, true, 1); });
    EXPECT_NE(t.find("     1.00000       2     >.500\n"), npos);
}

TEST(ResultsHeaders, IterationAndVarianceModelTerms) {
    ReportLabels L;
    EXPECT_EQ(capture([&](FILE* f) { print_results_header(f, L, ResultsHeader::NonLinearUnitSpecific, 7); }),
              "\fRESULTS FOR NON-LINEAR MODEL WITH THE LOGIT LINK FUNCTION:Unit-Specific Model\n(macro iteration 7)\n");
    EXPECT_EQ(capture([&](FILE* f) { print_results_header(f, L, ResultsHeader::HeterogeneousSigma2, 3, {"SES", "FEMALE"}); }),
              "\fRESULTS FOR HETEROGENEOUS SIGMA-SQUARED\n(macro iteration 3)\n\n Var(R) = Sigma_squared and\n"
              " log(Sigma_squared) = alpha0 + alpha1(SES) + alpha2(FEMALE)\n\n");
}
