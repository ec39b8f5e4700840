// Final estimates tables: exact layout of each table, titles by mode, the
// degrees-of-freedom and chi-square p-value rules, deviance comparisons.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "model/model.h"
#include "numeric/numeric.h"
#include "report/report.h"
#include "report/report_test_util.h"

using reporttest::capture;
using reporttest::expect_golden;
using reporttest::sample_labels;

namespace {

// gamma, a covariance in units of sigma2 = 4, and df 159 / 2 / 1.
const double kGamma[3] = {12.5, 1.25, 2.0};
const double kCov[9] = {0.0625, 0.01, 0.0, 0.01, 0.25, 0.0, 0.0, 0.0, 0.01};
const long kDf[3] = {159, 2, 1};

std::string fixed_table(const ReportLabels& L, const FixedTableOptions& opt, const char* outcome = "MATHACH") {
    return capture([&](FILE* f) { print_fixed_effects(f, L, 3, kDf, opt, kCov, kGamma, outcome, 3); });
}

std::string p_text(double p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%5.3lf", p);
    return buf;
}

}  // namespace

TEST(FixedEffectsTable, FinalLinearTableMatchesGolden) {
    ReportLabels L = sample_labels();
    L.gammaConstrained = {0, 1, 1};
    FixedTableOptions opt;
    opt.covScale = 4.0;
    expect_golden("report_fixed_final.txt", fixed_table(L, opt));
}

TEST(FixedEffectsTable, StandardErrorsUseTheScaleAndDfRules) {
    FixedTableOptions opt;
    opt.covScale = 4.0;
    std::string t = fixed_table(sample_labels(), opt);
    // SE = sqrt(0.0625 * 4) = 0.5, T = 25.
    EXPECT_NE(t.find("    INTRCPT2, G00          12.500000   0.500000    25.000       159    " +
                     p_text(t_two_sided_p(25.0, 159)) + "\n"),
              std::string::npos);
    // Exactly 2 df gets a p-value, 1 df does not.
    EXPECT_NE(t.find("       2    " + p_text(t_two_sided_p(1.25, 2)) + "\n"), std::string::npos);
    EXPECT_NE(t.find("2.000000   0.200000    10.000  Unable to compute\n"), std::string::npos);
    EXPECT_EQ(t.find("constrained"), std::string::npos);
}

TEST(FixedEffectsTable, LeastSquaresModesUseResidualDf) {
    FixedTableOptions opt;
    opt.mode = FixedTableMode::LeastSquares;
    opt.residualDf = 7183;
    std::string t = fixed_table(sample_labels(), opt);
    EXPECT_EQ(t.find("Approx."), std::string::npos);
    EXPECT_EQ(t.find("Unable to compute"), std::string::npos);
    EXPECT_NE(t.find("    7183    "), std::string::npos);
    EXPECT_EQ(t.find('\f'), std::string::npos);
}

struct TitleCase {
    const char* name;
    FixedTableMode mode;
    ModelPhase phase;
    bool nonLinear;
    bool betweenMacro;
    const char* title;
    bool formFeed;
};

const TitleCase kTitles[] = {
    {"starting", FixedTableMode::StartingValues, ModelPhase::Linear, false, false,
     " Estimation of fixed effects\n(Based on starting values of covariance components)\n", true},
    {"final_linear", FixedTableMode::Final, ModelPhase::Linear, false, false, " Final estimation of fixed effects:\n",
     true},
    {"final_unit", FixedTableMode::Final, ModelPhase::UnitSpecific, true, false,
     " Final estimation of fixed effects: (Unit-specific model)\n", true},
    {"between_macro", FixedTableMode::Final, ModelPhase::UnitSpecific, true, true,
     " Estimation of fixed effects: (Unit-specific model)\n", true},
    {"final_popavg", FixedTableMode::Final, ModelPhase::PopulationAverage, true, false,
     " Final estimation of fixed effects: (Population-average model)\n", true},
    {"first_step", FixedTableMode::Final, ModelPhase::LinearFirstStep, true, false,
     " Final estimation of fixed effects: (linear model with identity link function)\n", true},
    {"robust_linear", FixedTableMode::FinalRobust, ModelPhase::Linear, false, false,
     " Final estimation of fixed effects\n (with robust standard errors)\n", false},
    {"robust_unit", FixedTableMode::FinalRobust, ModelPhase::UnitSpecific, true, false,
     " Final estimation of fixed effects\n (Unit-specific model with robust standard errors)\n", false},
    {"robust_popavg", FixedTableMode::FinalRobust, ModelPhase::PopulationAverage, true, false,
     " Final estimation of fixed effects\n (Population-average model with robust standard errors)\n", false},
    {"least_squares", FixedTableMode::LeastSquares, ModelPhase::Linear, false, false,
     " Least-squares estimates of fixed effects\n", false},
    {"least_squares_robust", FixedTableMode::LeastSquaresRobust, ModelPhase::Linear, false, false,
     " Least-squares estimates of fixed effects\n (with robust standard errors)\n", false},
    {"laplace", FixedTableMode::Laplace, ModelPhase::Linear, true, false,
     " Final estimation of fixed effects\n (Laplace)\n", false},
};

TEST(FixedEffectsTable, TitleByMode) {
    for (const TitleCase& c : kTitles) {
        SCOPED_TRACE(c.name);
        ReportLabels L = sample_labels();
        L.nonLinear = c.nonLinear;
        FixedTableOptions opt;
        opt.mode = c.mode;
        opt.phase = c.phase;
        opt.betweenMacro = c.betweenMacro;
        opt.residualDf = 100;
        std::string t = fixed_table(L, opt);
        std::string expected = std::string(c.formFeed ? "\f" : "") + " The outcome variable is  MATHACH\n\n" +
                               c.title + " " + std::string(76, '-') + "\n";
        EXPECT_EQ(t.substr(0, expected.size()), expected);
    }
}

struct OutcomeCase {
    const char* name;
    bool nonLinear;
    bool plausible;
    bool imputation;
    const char* outcome;
    const char* expectedStart;  // text before the title
};

const OutcomeCase kOutcomes[] = {
    {"linear", false, false, false, "MATHACH", " The outcome variable is  MATHACH\n\n"},
    {"linear_blank", false, false, false, "        ", ""},
    {"nonlinear_blank", true, false, false, "        ", " The outcome variable is         \n\n"},
    {"plausible", false, true, false, "PV1", " The plausible variables are:      PV1,     PV2\n\n"},
    {"imputation", false, false, true, "Y", " The outcome variables are:      PV1,     PV2\n\n"},
};

TEST(FixedEffectsTable, OutcomeLine) {
    for (const OutcomeCase& c : kOutcomes) {
        SCOPED_TRACE(c.name);
        ReportLabels L = sample_labels();
        L.nonLinear = c.nonLinear;
        L.plausibleValues = c.plausible;
        L.multipleImputation = c.imputation;
        L.outcomeNames = {"     PV1", "     PV2"};
        FixedTableOptions opt;
        opt.mode = FixedTableMode::LeastSquares;
        std::string t = fixed_table(L, opt, c.outcome);
        std::string expected = std::string(c.expectedStart) + " Least-squares";
        EXPECT_EQ(t.substr(0, expected.size()), expected);
    }
}

TEST(FixedEffectsTable, MultinomialCategoriesOpenTheirBlocks) {
    ReportLabels L = sample_labels();
    L.multinomial = true;
    L.gammaCategories = {"1", "1", "2"};
    L.gammaHeadings = {"      INTRCPT1, B0(1)", "", "      INTRCPT1, B0(2)"};
    FixedTableOptions opt;
    std::string t = fixed_table(L, opt);
    EXPECT_NE(t.find(std::string(76, '-') + "\nFor Category 1\n For       INTRCPT1, B0(1)\n"), std::string::npos);
    EXPECT_NE(t.find("\n\nFor Category 2\n For       INTRCPT1, B0(2)\n"), std::string::npos);
}

TEST(OddsRatioTable, MatchesGoldenAndIntervalRule) {
    ReportLabels L = sample_labels();
    L.nonLinear = true;
    FixedTableOptions opt;
    std::string t =
        capture([&](FILE* f) { print_odds_ratios(f, L, 3, kDf, opt, kCov, kGamma, 3); });
    expect_golden("report_odds_ratios.txt", t);
    // The interval uses the 95% t value of the gamma's df.
    double tc = t_critical_95(2);
    char ci[64];
    std::snprintf(ci, sizeof ci, " (%.3lf,%.3lf)\n", std::exp(1.25 - tc * 0.5), std::exp(1.25 + tc * 0.5));
    EXPECT_NE(t.find(ci), std::string::npos);
    EXPECT_NE(t.find("    Unable to compute\n"), std::string::npos);

    L.poisson = true;
    t = capture([&](FILE* f) { print_odds_ratios(f, L, 3, kDf, opt, kCov, kGamma, 3); });
    EXPECT_NE(t.find("                                            Event Rate   Confidence\n"), std::string::npos);
}

TEST(MatrixTables, TauCorrelationsAndReliabilitiesMatchGolden) {
    ReportLabels L = sample_labels();
    const double tau[4] = {8.68, 0.05, 0.05, 0.69};
    const double rel[2] = {0.907, 0.264};
    std::string t = capture([&](FILE* f) {
        print_matrix(f, L, 2, 2, tau, nullptr, "Tau", 2);
        print_correlations(f, L, 2, tau, "Tau", 2);
        print_reliabilities(f, L, 2, rel);
        print_partial_note(f, "reliability estimates", 150, 160);
    });
    expect_golden("report_tau_tables.txt", t);
    // The correlation is tau(0,1) / sqrt(tau(0,0) tau(1,1)).
    char corr[16];
    std::snprintf(corr, sizeof corr, " %6.3lf", 0.05 / std::sqrt(8.68 * 0.69));
    EXPECT_NE(t.find(std::string("  1.000") + corr + "\n"), std::string::npos);
}

TEST(MatrixTables, CategoricalRowsCarryTheCategory) {
    ReportLabels L = sample_labels();
    L.multinomial = true;
    L.randomCategories = {"1", "2"};
    const double tau[4] = {1, 0, 0, 1};
    const double rel[2] = {0.5, 0.25};
    std::string t = capture([&](FILE* f) {
        print_matrix(f, L, 2, 2, tau, nullptr, "Tau", 2);
        print_reliabilities(f, L, 2, rel);
    });
    EXPECT_NE(t.find(" INTRCPT1(1)      1.00000 "), std::string::npos);
    EXPECT_NE(t.find("\n      SES(2)      0.00000 "), std::string::npos);
    EXPECT_NE(t.find("  INTRCPT1(1), B0(1)                  0.500\n"), std::string::npos);
}

struct ComponentCase {
    const char* name;
    double chisq;
    long unitsUsed;
    int gammas;
    std::string expectedEnd;  // df, chi-square and p-value columns
};

TEST(VarianceComponents, ChiSquarePValueRule) {
    const ComponentCase cases[] = {
        {"equal_to_df", 158.0, 160, 2, "   158     158.00000    " + p_text(tail_probability(158.0, 158, 1)) + "\n"},
        {"just_below_df", 157.99999, 160, 2, "   158     157.99999    >.500\n"},
        {"above_df", 1771.0, 160, 1, "   159    1771.00000    " + p_text(tail_probability(1771.0, 159, 1)) + "\n"},
        {"negative_df_is_zero", 3.0, 1, 2, "     0       3.00000    >.500\n"},
    };
    for (const ComponentCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReportLabels L = sample_labels();
        const double tau[1] = {4.0};
        std::string t = capture(
            [&](FILE* f) { print_variance_components(f, L, 1, &c.gammas, c.unitsUsed, 36.0, true, tau, 1, &c.chisq); });
        std::string row = "4.00000" + c.expectedEnd;
        EXPECT_NE(t.find(row), std::string::npos) << t;
    }
}

TEST(VarianceComponents, TableMatchesGolden) {
    ReportLabels L = sample_labels();
    const double tau[4] = {8.68, 0.05, 0.05, 0.69};
    const double chisq[2] = {1771.013, 213.457};
    const int counts[2] = {2, 1};
    std::string t = capture([&](FILE* f) {
        print_variance_components(f, L, 2, counts, 160, 36.7, true, tau, 2, chisq);
        print_partial_note(f, "chi-square statistics", 150, 160);
    });
    expect_golden("report_variance_components.txt", t);

    // Repeated measures use R for the random effects and E for the residual;
    // without an estimated sigma2 there is no level-1 line.
    L.randomLetter = 'R';
    L.residualLetter = 'E';
    t = capture([&](FILE* f) { print_variance_components(f, L, 2, counts, 160, 36.7, true, tau, 2, chisq); });
    EXPECT_NE(t.find("      SES slope, R1   "), std::string::npos);
    EXPECT_NE(t.find("  level-1,       E    "), std::string::npos);
    t = capture([&](FILE* f) { print_variance_components(f, L, 2, counts, 160, 36.7, false, tau, 2, chisq); });
    EXPECT_EQ(t.find("level-1"), std::string::npos);
}

TEST(VarianceComponents, ChiSquareSumOverUnits) {
    // Two units: d = (1, 2), V = diag(0.5, 2) and d = (3, 0), V = diag(1, 1); sigma2 = 2.
    double chisq[2] = {0, 0};
    const double d1[2] = {1, 2}, v1[4] = {0.5, 0.3, 0.3, 2};
    const double d2[2] = {3, 0}, v2[4] = {1, 0, 0, 1};
    add_variance_component_chi_square(2, d1, v1, 2, 2.0, chisq);
    add_variance_component_chi_square(2, d2, v2, 2, 2.0, chisq);
    EXPECT_DOUBLE_EQ(chisq[0], 1.0 / 1.0 + 9.0 / 2.0);
    EXPECT_DOUBLE_EQ(chisq[1], 4.0 / 4.0);
}

struct DevianceCase {
    const char* name;
    bool fullML;
    double altDeviance;
    int altDf;
    long params;
    const char* expected;
};

TEST(Deviance, ComparisonTestRules) {
    const std::string rule = " " + std::string(50, '-') + "\n";
    const std::string head = "\n\n Statistics for current covariance components model\n" + rule +
                             " Deviance                       = 46712.396000\n";
    const DevianceCase cases[] = {
        {"no_previous", false, MISSING_VALUE, 0, 4, " Number of estimated parameters = 4\n"},
        {"same_count", false, 46720.0, 4, 4,
         " Number of estimated parameters = 4\n\n Variance-Covariance components test\n"},
        {"ml_title", true, 46720.0, 2, 4, " Number of estimated parameters = 4\n\n Model comparison test\n"},
    };
    for (const DevianceCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunSettings rs;
        rs.fullML = c.fullML;
        rs.altDeviance = c.altDeviance;
        rs.altDf = c.altDf;
        std::string t = capture([&](FILE* f) { print_deviance(f, -46712.396 / 2.0, c.params, rs); });
        EXPECT_EQ(t.substr(0, head.size()), head);
        EXPECT_NE(t.find(c.expected), std::string::npos);
    }

    RunSettings rs;
    rs.altDeviance = 46720.0;
    rs.altDf = 4;
    std::string t = capture([&](FILE* f) { print_deviance(f, -46712.396 / 2.0, 4, rs); });
    EXPECT_NE(t.find(" Chi-square statistic         =      7.60400\n"
                     " Number of degrees of freedom =    0\n"
                     " P-value                      = >.500\n"),
              std::string::npos);
    rs.altDf = 2;
    t = capture([&](FILE* f) { print_deviance(f, -46712.396 / 2.0, 4, rs); });
    EXPECT_NE(t.find(" Number of degrees of freedom =    2\n P-value                      = " +
                     p_text(tail_probability(7.604, 2, 1)) + "\n"),
              std::string::npos);
}

struct ParamCase {
    int r, F;
    bool fullML, sigma2Estimated;
    int hetero;
    long expected;
};

TEST(Deviance, ParameterCount) {
    const ParamCase cases[] = {
        {1, 1, false, true, -1, 2},   {1, 1, true, true, -1, 3}, {2, 2, false, true, -1, 4},
        {2, 2, true, true, -1, 6},    {2, 4, true, false, -1, 7}, {2, 4, true, true, 2, 10},
        {0, 3, true, true, -1, 4},
    };
    for (const ParamCase& c : cases)
        EXPECT_EQ(deviance_parameter_count(c.r, c.F, c.fullML, c.sigma2Estimated, c.hetero), c.expected)
            << c.r << " " << c.F << " " << c.fullML << " " << c.hetero;
}

TEST(FitSummary, MatchesGoldenAndCountsParameters) {
    std::string t = capture([&](FILE* f) { print_fit_summary(f, -23356.0, -23340.5, 2, 4, false, 1); });
    expect_golden("report_fit_summary.txt", t);
    // p1 = 3 + 4 + 1 = 8, p2 = 3 + 4 + 1 + 1 = 9, chi-square 31 on 1 df.
    EXPECT_NE(t.find(" 1. Homogeneous sigma_squared              8          46712.00000\n"), std::string::npos);
    EXPECT_NE(t.find(" 2. Heterogeneous sigma_squared            9          46681.00000\n"), std::string::npos);
    EXPECT_NE(t.find(" Model 1 vs Model 2                  31.00000       1     " +
                     p_text(tail_probability(31.0, 1, 1)) + "\n"),
              std::string::npos);
    // A fixed sigma2 leaves one more parameter between the models; 2 df on a chi-square of 1 is >.500.
    t = capture([&](FILE* f) { print_fit_summary(f, -100.0, -99.5, 1, 1, true, 1); });
    EXPECT_NE(t.find("       2     >.500\n"), std::string::npos);
}

struct HeaderCase {
    const char* name;
    ResultsHeader kind;
    bool poisson;
    const char* expected;
};

TEST(ResultsHeaders, ExactText) {
    const HeaderCase cases[] = {
        {"identity", ResultsHeader::LinearIdentity, false,
         "\fRESULTS FOR LINEAR MODEL WITH THE IDENTITY LINK FUNCTION\n\n"},
        {"logit_unit", ResultsHeader::NonLinearUnitSpecific, false,
         "\fRESULTS FOR NON-LINEAR MODEL WITH THE LOGIT LINK FUNCTION:Unit-Specific Model\n(macro iteration 7)\n"},
        {"log_popavg", ResultsHeader::NonLinearPopAverage, true,
         "\fRESULTS FOR NON-LINEAR MODEL WITH THE LOG LINK FUNCTION:\nPopulation Average Model\n"},
        {"multinomial", ResultsHeader::Multinomial, false, "\fRESULTS FOR MULTINOMIAL ITERATION 7\n\n"},
        {"ordinal", ResultsHeader::Ordinal, false, "\fRESULTS FOR ORDINAL ITERATION 7\n\n"},
        {"homogeneous", ResultsHeader::HomogeneousSigma2, false,
         "\fRESULTS FOR HOMOGENEOUS SIGMA-SQUARED\n\n Var(R) = Sigma_squared\n\n"},
        {"heterogeneous", ResultsHeader::HeterogeneousSigma2, false,
         "\fRESULTS FOR HETEROGENEOUS SIGMA-SQUARED\n(macro iteration 7)\n\n Var(R) = Sigma_squared and\n"
         " log(Sigma_squared) = alpha0 + alpha1(SES) + alpha2(FEMALE)\n\n"},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReportLabels L;
        L.poisson = c.poisson;
        std::string t = capture([&](FILE* f) { print_results_header(f, L, c.kind, 7, {"SES", "FEMALE"}); });
        EXPECT_EQ(t, c.expected);
    }
    EXPECT_EQ(capture([](FILE* f) {
                  print_iteration_line(f, 12);
                  print_sigma2_line(f, 36.7002);
              }),
              " ITERATION 12\n\n Sigma_squared =     36.70020\n");
}
