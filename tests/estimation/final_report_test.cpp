// The final report of a linear run: hypothesis tests against independent
// results, robust errors, variance components, deviance and the files asked for.
#include <gtest/gtest.h>

#include <cstdlib>

#include "estimation/fit_fixture.h"
#include "support/test_support.h"

using namespace estimtest;

namespace {

// The numbers printed after each occurrence of `label`.
std::vector<double> numbers_after(const std::string& text, const std::string& label) {
    std::vector<double> out;
    for (std::size_t p = text.find(label); p != std::string::npos; p = text.find(label, p + 1))
        out.push_back(std::atof(text.c_str() + p + label.size()));
    return out;
}

TEST(FinalReport, HsbTestsMatchIndependentResults) {
    FitRun run;
    std::string dir;
    run_hsb_command_file("hsb_full_tests.cmd", run, true, &dir);
    const std::string& rep = run.report;
    auto ref = load_reference("hsb/tests_ref.tsv", "hsb_full_tests");
    ASSERT_FALSE(ref.empty());
    const std::vector<double> chi = numbers_after(rep, "\nChi-square statistic = ");
    const std::vector<double> df = numbers_after(rep, "Degrees of freedom   = ");
    ASSERT_EQ(chi.size(), 2u) << "model-based and robust tests";
    EXPECT_NEAR(chi[0], ref["glh_chisq"][0].value, ref["glh_chisq"][0].tol);
    EXPECT_NEAR(chi[1], ref["glh_chisq_robust"][0].value, ref["glh_chisq_robust"][0].tol);
    EXPECT_EQ(df[0], ref["glh_df"][0].value);
    // The sections in the order of the run.
    const std::size_t finalTable = rep.find(" Final estimation of fixed effects:\n");
    const std::size_t robust = rep.find(" (with robust standard errors)\n");
    const std::size_t components = rep.find("\n\n Final estimation of variance components:\n");
    const std::size_t deviance = rep.find("\n\n Statistics for current covariance components model\n");
    const std::size_t homogeneity = rep.find("\n Test of homogeneity of level-1 variance\n");
    ASSERT_NE(finalTable, std::string::npos);
    EXPECT_LT(finalTable, robust);
    EXPECT_LT(robust, components);
    EXPECT_LT(components, deviance);
    EXPECT_LT(deviance, homogeneity);
    EXPECT_NE(homogeneity, std::string::npos);
    EXPECT_NE(rep.find(" Number of estimated parameters = 4\n"), std::string::npos);
    // Matrix and residual files asked for by the command file.
    for (const char* f : {"tauvc.dat", "gamvc.dat", "gamvcr.dat", "resfil1.dat", "resfil2.dat"})
        EXPECT_FALSE(testsupport::read_file(dir + "/" + f).empty()) << f;
    EXPECT_NE(rep.find("gamvc.dat, containing the variance-covariance matrix of gamma has been created.\n"),
              std::string::npos);
}

// A model without random coefficients reports its least-squares results as final.
TEST(FinalReport, FixedOnlyModel) {
    Opened o = open_data(simple_data(12, 6),
                         {{"INTRCPT1", 0, false, {"INTRCPT2", "Z"}, {}}, {"X", 0, false, {"INTRCPT2"}, {}}});
    RunSettings rs = reference_settings(false);
    FILE* out = std::fopen((o.dir + "/r.out").c_str(), "w+");
    LinearFit fit;
    run_analysis(rs, o.model, o.mdm, o.file, out, fit);
    linear_final_reports(rs, o.model, o.mdm, o.file, out, fit);
    std::fclose(out);
    std::fclose(o.file);
    release_linear_fit(fit);
    const std::string rep = testsupport::read_file(o.dir + "/r.out");
    // The least-squares table, then its robust form, then sigma2 and the deviance with 1 parameter.
    EXPECT_NE(rep.find(" Least-squares estimates of fixed effects\n (with robust standard errors)\n"), std::string::npos);
    EXPECT_NE(rep.find("  level-1,       R    "), std::string::npos);
    EXPECT_NE(rep.find(" Number of estimated parameters = 1\n"), std::string::npos);
}

}  // namespace
