// Models without reference results (fixed level-1 coefficients, constraints,
// grand-mean centring) on the first 40 HSB schools: the whole report, from the
// starting values to the final tables, against a golden copy. The copies were
// frozen after the engine's likelihood was shown equal, at the estimates, to the
// one computed directly from each unit's dense covariance matrix, with no nearby
// variance components doing better.
#include <gtest/gtest.h>

#include "estimation/fit_fixture.h"
#include "support/test_support.h"

using namespace estimtest;

namespace {

struct LikCase {
    const char* name;
    std::vector<Coef> coefs;
    std::vector<int> constraints;  // per gamma; 0 free
    bool fullML;
};

class GoldenFit : public testing::TestWithParam<LikCase> {};

TEST_P(GoldenFit, ReportMatchesTheGoldenCopy) {
    const LikCase& c = GetParam();
    DataSet d = hsb_data();
    d.units.resize(40);
    RunSettings rs = reference_settings(c.fullML);
    rs.maxIterations = 20000;
    FitRun run;
    run_fit(d, "MATHACH", c.coefs, rs, run, c.constraints, "", true);
    EXPECT_TRUE(run.fit.converged);
    testsupport::expect_golden(std::string("fit_") + c.name + ".txt", run.report);
}

const Coef kInterceptSector{"INTRCPT1", 0, true, {"INTRCPT2", "SECTOR"}, {}};

INSTANTIATE_TEST_SUITE_P(
    Models, GoldenFit,
    testing::Values(
        LikCase{"random_slope_and_fixed_uncentred_reml",
                {kInterceptSector, {"MINORITY", 0, false, {"INTRCPT2"}, {}}, {"SES", 1, true, {"INTRCPT2"}, {}}}, {}, false},
        LikCase{"grand_mean_centred_ml",
                {{"INTRCPT1", 0, true, {"INTRCPT2", "MEANSES"}, {0, 2}}, {"SES", 2, true, {"INTRCPT2"}, {}}}, {}, true},
        LikCase{"constrained_ml", {kInterceptSector, {"SES", 1, true, {"INTRCPT2", "SECTOR"}, {}}}, {0, 1, 0, 1}, true}),
    [](const testing::TestParamInfo<LikCase>& i) { return std::string(i.param.name); });

}  // namespace
