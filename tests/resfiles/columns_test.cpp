// Column names by file type and model, and the group diagnostics of the level-2 file.
#include "numeric/numeric.h"
#include "resfiles/resfiles_test_util.h"

using namespace restest;

namespace {
std::string joined(const std::vector<ResidualColumn>& cols, int type) {
    std::string s;
    for (const ResidualColumn& c : cols) s += residual_column_name(type, c) + " ";
    return s;
}
}  // namespace

TEST(ColumnNames, ByModelAndFileType) {
    ResidualNaming three, multi;
    three.randomNames = three.coefNames = {"INTRCPT1", "SES", "MINORITY"};
    three.randomIndex = {"0", "1", "2"};
    multi.randomNames = multi.coefNames = {"INTRCPT1", "SES"};
    multi.randomIndex = {"0", "1"};
    multi.randomEquation = {"1", "2"};
    multi.coefEquation = {1, 2};
    const struct { const ResidualNaming* n; bool diag, pvc; int type; } cases[] = {
        {&three, false, false, RAW_ASCII}, {&three, true, false, RAW_STATA}, {&multi, true, false, RAW_ASCII},
        {&multi, false, true, RAW_STATA}};
    std::string all;
    for (const auto& c : cases) all += joined(level2_columns(*c.n, c.diag, c.pvc), c.type) + "\n";
    ResidualNaming l1;
    l1.l1Chosen = {make_variable_name("intrcpt1"), make_variable_name("ses")};
    l1.l2Chosen = {make_variable_name("meanses")};
    const std::vector<ResidualColumn> c1 = level1_columns(l1);
    all += joined(c1, RAW_ASCII) + "\n[" + c1[4].padded + "] " + residual_id_name(RAW_SAS, 2) + " " +
           residual_id_name(RAW_SPSS, 2) + " " + residual_id_name(RAW_ASCII, 1) + "\n";
    testsupport::expect_golden("resfil_columns.txt", all);
}

TEST(GroupDiagnostics, MahalanobisDistance) {
    const double tau[] = {4.0, 1.0, 1.0, 2.0}, D[] = {0.5, 0.125, 0.125, 0.25}, u[] = {1.0, -0.5};
    // V = Tau - 2 D = [[3, 0.75], [0.75, 1.5]]: u'V^-1 u by hand.
    const double expected = (1.5 + 0.75 + 0.75) / (4.5 - 0.5625);
    const struct { const char* what; int r; double sigma2; long nj; double want; } cases[] = {
        {"ordinary", 2, 2.0, 10, expected},
        {"n_j equal to r", 2, 2.0, 2, RESID_MISSING},
        {"V not positive definite", 2, 8.0, 10, RESID_MISSING},
        {"no random coefficient", 0, 1.0, 10, RESID_MISSING},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(mahalanobis_distance(c.r, tau, c.sigma2, D, u, c.nj), c.want, 1e-12) << c.what;
}

TEST(GroupDiagnostics, PercentilesAndLogStandardDeviations) {
    // The group without a distance still takes the lowest position: order 1, 2, 4, 0, 3.
    const std::vector<double> chi = chi_square_percentiles(2, {3.0, RESID_MISSING, 0.5, 7.0, 1.0});
    const int position[] = {3, -1, 1, 4, 2};
    for (int j = 0; j < 5; ++j) {
        int fault = 0;
        const double want = j == 1 ? RESID_MISSING : chi_square_quantile((position[j] + 0.5) / 5, 2, log_gamma(1), &fault);
        EXPECT_DOUBLE_EQ(chi[j], want) << j;
    }
    const struct { double v, df, want; } cases[] = {
        {4.0, 4.0, 0.5 * std::log(4.25)}, {0.5, 1.0, 0.5 * std::log(1.5)}, {0.0, 5.0, RESID_MISSING},
        {2.0, 0.5, RESID_MISSING}, {INFINITY, 3.0, RESID_MISSING}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(log_sd_diagnostic(c.v, c.df), c.want) << c.v << " " << c.df;
}
