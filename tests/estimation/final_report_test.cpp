// The final report of a linear run without random coefficients. (The HSB
// reports are pinned whole by the executable's reference runs.)
#include <gtest/gtest.h>

#include "estimation/fit_fixture.h"
#include "support/test_support.h"

using namespace estimtest;

namespace {

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
