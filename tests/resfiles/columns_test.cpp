// Column names of the residual files and the group diagnostics of the level-2 file.
#include <cmath>

#include "numeric/numeric.h"
#include "resfiles/resfiles_test_util.h"

using namespace restest;

namespace {

std::vector<std::string> names_of(const std::vector<ResidualColumn>& cols, int type) {
    std::vector<std::string> out;
    for (const ResidualColumn& c : cols) out.push_back(residual_column_name(type, c));
    return out;
}

ResidualNaming three_random(bool intercept) {
    ResidualNaming n;
    n.randomNames = {intercept ? "INTRCPT1" : "AGE", "SES", "MINORITY"};
    n.randomIndex = intercept ? std::vector<std::string>{"0", "1", "2"} : std::vector<std::string>{"1", "2", "3"};
    n.coefNames = n.randomNames;
    return n;
}

}  // namespace

TEST(ColumnNames, PosteriorVarianceNamesFollowTheIndices) {
    const struct {
        bool intercept, pvc;
        std::vector<std::string> expected;
    } cases[] = {
        {true, false, {"PV00", "PV10", "PV11", "PV20", "PV21", "PV22"}},
        {false, false, {"PV11", "PV21", "PV22", "PV31", "PV32", "PV33"}},
        {true, true, {"PV00", "PV10", "PV11", "PV20", "PV21", "PV22", "PVC00", "PVC10", "PVC11", "PVC20", "PVC21",
                      "PVC22"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> pv;
        for (const ResidualColumn& col : level2_columns(three_random(c.intercept), false, c.pvc))
            if (col.name.rfind("PV", 0) == 0) {
                pv.push_back(col.name);
                EXPECT_EQ(col.kind, ResidualColumnKind::Covariance);
            }
        EXPECT_EQ(pv, c.expected);
    }
}

TEST(ColumnNames, FullListByFileType) {
    ResidualNaming n = two_coefficient_naming();
    const std::vector<ResidualColumn> cols = level2_columns(n, true, false);
    const struct {
        int type;
        std::vector<std::string> expected;
    } cases[] = {
        {RAW_ASCII, {"NJ", "CHIPCT", "MDIST", "LNTOTVAR", "OLSRSVAR", "MDRSVAR", "EBINTRCP", "EB   SES", "OLINTRCP",
                     "OL   SES", "FVINTRCP", "FV   SES", "ECINTRCP", "EC   SES", "PV00", "PV10", "PV11", "SIZE",
                     "SECTOR"}},
        {RAW_SPSS, {"NJ", "CHIPCT", "MDIST", "LNTOTVAR", "OLSRSVAR", "MDRSVAR", "EBINTRCP", "EB   SES", "OLINTRCP",
                    "OL   SES", "FVINTRCP", "FV   SES", "ECINTRCP", "EC   SES", "PV00", "PV10", "PV11", "SIZE",
                    "SECTOR"}},
        {RAW_STATA, {"NJ", "CHIPCT", "MDIST", "LNTOTVAR", "OLSRSVAR", "MSRSVAR", "EBINTRCPT1", "EBSES",
                     "OLINTRCPT1", "OLSES", "FVINTRCPT1", "FVSES", "ECINTRCPT1", "ECSES", "PV00", "PV10", "PV11",
                     "SIZE", "SECTOR"}},
    };
    for (const auto& c : cases) EXPECT_EQ(names_of(cols, c.type), c.expected) << c.type;

    // Without the variance diagnostics the three columns are gone.
    const std::vector<std::string> plain = names_of(level2_columns(n, false, false), RAW_ASCII);
    EXPECT_EQ(plain.size(), cols.size() - 3);
    EXPECT_EQ(plain[3], "EBINTRCP");

    // The ID column and the level-1 columns.
    EXPECT_EQ(residual_id_name(RAW_ASCII, 2), "ID");
    EXPECT_EQ(residual_id_name(RAW_SAS, 2), "ID");
    EXPECT_EQ(residual_id_name(RAW_SPSS, 2), "L2ID");
    EXPECT_EQ(residual_id_name(RAW_STATA, 2), "L2ID");
    EXPECT_EQ(residual_id_name(RAW_ASCII, 1), "L2ID");
    ResidualNaming l1;
    l1.l1Chosen = {make_variable_name("intrcpt1"), make_variable_name("ses")};
    l1.l2Chosen = {make_variable_name("meanses")};
    const std::vector<ResidualColumn> c1 = level1_columns(l1);
    EXPECT_EQ(names_of(c1, RAW_ASCII),
              (std::vector<std::string>{"L1RESID", "FITVAL", "SIGMA", "INTRCPT1", "SES", "MEANSES"}));
    EXPECT_EQ(c1[4].padded, "     SES");
    EXPECT_TRUE(c1[4].chosen);
    EXPECT_EQ(c1[4].group, 1);
    EXPECT_EQ(c1[5].group, 2);
}

TEST(ColumnNames, MultinomialForms) {
    ResidualNaming n;
    n.randomNames = {"INTRCPT1", "SES"};
    n.randomIndex = {"0", "1"};
    n.randomEquation = {"1", "2"};
    n.coefNames = {"INTRCPT1", "SES"};
    n.coefEquation = {1, 2};
    const std::vector<ResidualColumn> cols = level2_columns(n, false, false);
    EXPECT_EQ(names_of(cols, RAW_ASCII),
              (std::vector<std::string>{"NJ", "CHIPCT", "MDIST", "EB1INTRC", "EB2  SES", "OL1INTRC", "OL2  SES",
                                        "FV1INTRC", "FV2  SES", "EC1INTRC", "EC2  SES", "PV100", "PV210", "PV211"}));
    EXPECT_EQ(names_of(cols, RAW_STATA),
              (std::vector<std::string>{"NJ", "CHIPCT", "MDIST", "EB1INTRCPT1", "EB2SES", "OL1INTRCPT1", "OL2SES",
                                        "FV1INTRCPT1", "FV2SES", "EC1INTRCPT1", "EC2SES", "PV100", "PV210", "PV211"}));
    EXPECT_EQ(cols[5].recodeName, "OL1INTRC");
}

// ---- Group diagnostics ---------------------------------------------------------------------

TEST(GroupDiagnostics, MahalanobisDistance) {
    const double tau[] = {4.0, 1.0, 1.0, 2.0};
    const double D[] = {0.5, 0.125, 0.125, 0.25};  // units of sigma2
    const double u[] = {1.0, -0.5};
    // V = Tau - 2 D = [[3, 0.75], [0.75, 1.5]]; u' V^-1 u by hand.
    const double det = 3.0 * 1.5 - 0.75 * 0.75;
    const double expected = (1.5 * 1.0 + 2 * 0.75 * 0.5 + 3.0 * 0.25) / det;
    const struct {
        const char* what;
        const double* tau;
        double sigma2;
        long nj;
        double expected;
    } cases[] = {
        {"ordinary", tau, 2.0, 10, expected},
        {"n_j equal to r", tau, 2.0, 2, RESID_MISSING},
        {"n_j below r", tau, 2.0, 0, RESID_MISSING},
        {"V not positive definite", tau, 8.0, 10, RESID_MISSING},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(mahalanobis_distance(2, c.tau, c.sigma2, D, u, c.nj), c.expected, 1e-12) << c.what;
    const double singular[] = {1.0, 1.0, 1.0, 1.0};
    const double zero[] = {0, 0, 0, 0};
    EXPECT_EQ(mahalanobis_distance(2, singular, 1.0, zero, u, 10), RESID_MISSING);
    EXPECT_EQ(mahalanobis_distance(0, tau, 1.0, D, u, 10), RESID_MISSING);
}

TEST(GroupDiagnostics, ChiSquarePercentilesFollowTheOrder) {
    // Five groups; the one without a distance still takes the lowest position.
    const std::vector<double> mdist = {3.0, RESID_MISSING, 0.5, 7.0, 1.0};
    const std::vector<double> chi = chi_square_percentiles(2, mdist);
    ASSERT_EQ(chi.size(), 5u);
    EXPECT_EQ(chi[1], RESID_MISSING);
    // Order: group 1 (position 0), 2, 4, 0, 3.
    const int position[] = {3, 0, 1, 4, 2};
    for (int j : {0, 2, 3, 4}) {
        int fault = 0;
        const double want = chi_square_quantile((position[j] + 0.5) / 5.0, 2, log_gamma(1.0), &fault);
        EXPECT_EQ(fault, 0);
        EXPECT_DOUBLE_EQ(chi[j], want) << j;
    }
    EXPECT_LT(chi[2], chi[4]);
    EXPECT_LT(chi[0], chi[3]);
    EXPECT_TRUE(chi_square_percentiles(0, mdist) == std::vector<double>(5, RESID_MISSING));
}

TEST(GroupDiagnostics, LogStandardDeviations) {
    const struct {
        double v, df, expected;
    } cases[] = {
        {4.0, 4.0, 0.5 * std::log(4.25)},
        {0.5, 1.0, 0.5 * std::log(1.5)},
        {0.0, 5.0, RESID_MISSING},
        {-1.0, 5.0, RESID_MISSING},
        {2.0, 0.0, RESID_MISSING},
        {2.0, 0.5, RESID_MISSING},
        {NAN, 3.0, RESID_MISSING},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(log_sd_diagnostic(c.v, c.df), c.expected) << c.v << " " << c.df;
}
