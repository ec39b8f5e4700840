// The final report of a linear run: the sections in the order of the run and the
// files asked for. (Its hypothesis tests are checked against the independent
// results in the executable's own HSB tests.)
#include <gtest/gtest.h>

#include "app/app.h"
#include "estimation/fit_fixture.h"
#include "support/test_support.h"

using namespace estimtest;

namespace {

TEST(FinalReport, HsbSectionsInTheOrderOfTheRun) {
    const std::string dir = testsupport::make_temp_dir("final");
    for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb.mdmt", "hsb/hsb_full_tests.cmd"})
        testsupport::copy_data(f, dir);
    ASSERT_EQ(testsupport::run_arb2("-r hsb.mdmt", dir).status, 0);
    ASSERT_EQ(testsupport::run_arb2("hsb.mdm hsb_full_tests.cmd", dir).status, 0);
    const std::string rep = testsupport::read_file(dir + "/hsb_full_tests.out");
    std::size_t at = 0;
    for (const char* s : {" Final estimation of fixed effects:\n", "\nChi-square statistic = ",
                          " (with robust standard errors)\n", "\nChi-square statistic = ",
                          "\n\n Final estimation of variance components:\n",
                          "\n\n Statistics for current covariance components model\n",
                          " Number of estimated parameters = 4\n", "\n Test of homogeneity of level-1 variance\n"}) {
        at = rep.find(s, at + 1);
        ASSERT_NE(at, std::string::npos) << s;
    }
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
