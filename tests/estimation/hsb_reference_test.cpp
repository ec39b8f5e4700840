// The HSB models against results of independent software (ref.tsv), at full
// precision; the printed report is checked against the same file end to end.
#include <gtest/gtest.h>

#include <cmath>

#include "estimation/fit_fixture.h"

using namespace estimtest;

namespace {

struct HsbCase {
    const char* name;
    std::vector<Coef> (*coefs)();
    bool fullML;
};

class HsbReference : public testing::TestWithParam<HsbCase> {};

// Every reference quantity of one model within its tolerance.
void expect_reference(const char* name, const LinearFit& f) {
    auto ref = load_reference("hsb/ref.tsv", name);
    ASSERT_FALSE(ref.empty());
    EXPECT_TRUE(f.converged);
    std::vector<double> robust;
    robust_gamma_covariance(f, robust);
    for (const auto& [quantity, values] : ref) {
        for (const auto& [i, v] : values) {
            double got = NAN;
            if (quantity == "gamma") got = f.gamma[i];
            else if (quantity == "se") got = std::sqrt(f.sigma2 * f.gammaCov[i * f.F + i]);
            else if (quantity == "robust_se") got = std::sqrt(robust[i * f.F + i]);
            else if (quantity == "tau" || quantity == "tau_se") {
                int a = 0;  // listed as the packed lower triangle
                while ((a + 1) * (a + 2) / 2 <= i) ++a;
                got = (quantity == "tau" ? f.tau : f.tauSE)[a * f.r + (i - a * (a + 1) / 2)];
            } else if (quantity == "sigma2") got = f.sigma2;
            else if (quantity == "sigma2_se") got = f.sigma2SE;
            else if (quantity == "deviance") got = f.deviance;
            else if (quantity == "npar") got = static_cast<double>(f.numParams);
            else if (quantity == "reliability") got = f.reliability[i];
            else if (quantity == "chisq") got = f.chiSquare[i];
            else if (quantity == "chisq_df") got = static_cast<double>(f.chiSquareDf[i]);
            EXPECT_NEAR(got, v.value, v.tol) << name << " " << quantity << "[" << i << "]";
        }
    }
}

TEST_P(HsbReference, MatchesIndependentResults) {
    const HsbCase& c = GetParam();
    FitRun run;
    run_fit(hsb_data(), "MATHACH", c.coefs(), reference_settings(c.fullML), run);
    expect_reference(c.name, run.fit);
}

INSTANTIATE_TEST_SUITE_P(Hsb, HsbReference,
                         testing::Values(HsbCase{"hsb_null_reml", hsb_null, false},
                                         HsbCase{"hsb_null_ml", hsb_null, true},
                                         HsbCase{"hsb_rc_reml", hsb_rc, false},
                                         HsbCase{"hsb_rc_ml", hsb_rc, true},
                                         HsbCase{"hsb_full_reml", hsb_full, false},
                                         HsbCase{"hsb_full_ml", hsb_full, true}),
                         [](const testing::TestParamInfo<HsbCase>& i) { return std::string(i.param.name); });

}  // namespace
