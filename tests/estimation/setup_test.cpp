// The set-up pass: run-time deletion, weights, known variances, count data,
// the unit OLS conditioning rule, the OLS report, and corrupt data parts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "app/app.h"
#include "estimation/fit_fixture.h"
#include "support/test_support.h"

using namespace estimtest;

namespace {

class SetupPass : public testing::Test {
protected:
    void SetUp() override { setenv("ARB2_NO_EXIT_WAIT", "1", 1); }
};

RunSettings quick_settings() {
    RunSettings rs = reference_settings(false);
    rs.microCriterion = 1e-6;
    return rs;
}

void expect_same_estimates(const LinearFit& a, const LinearFit& b, double tol) {
    ASSERT_EQ(a.gamma.size(), b.gamma.size());
    for (std::size_t k = 0; k < a.gamma.size(); ++k) EXPECT_NEAR(a.gamma[k], b.gamma[k], tol) << "gamma " << k;
    for (std::size_t k = 0; k < a.tau.size(); ++k) EXPECT_NEAR(a.tau[k], b.tau[k], tol) << "tau " << k;
    EXPECT_NEAR(a.sigma2, b.sigma2, tol);
}

// Where a missing value sits decides whether the record goes.
struct DeletionCase {
    const char* name;
    int column;      // level-1 column that gets the missing value
    bool deleted;    // whether the record is removed
};

class RunTimeDeletion : public SetupPass, public testing::WithParamInterface<DeletionCase> {};

TEST_P(RunTimeDeletion, MatchesTheDataWithoutThoseRecords) {
    const DeletionCase& c = GetParam();
    DataSet withMissing = simple_data(30, 12);
    withMissing.deleteNow = false;
    withMissing.hasMissing = true;
    DataSet removed = withMissing;
    removed.deleteNow = true;
    removed.hasMissing = false;
    // Every third unit loses its first and fifth record.
    long expectedN = 0;
    for (std::size_t j = 0; j < withMissing.units.size(); ++j) {
        auto& rows = withMissing.units[j].rows;
        auto& kept = removed.units[j].rows;
        if (j % 3 == 0) {
            rows[0][c.column] = MISSING_VALUE;
            rows[4][c.column] = MISSING_VALUE;
            if (c.deleted) {
                kept.erase(kept.begin() + 4);
                kept.erase(kept.begin());
            }
        }
        expectedN += static_cast<long>(kept.size());
    }
    std::vector<Coef> model = simple_model();
    model[1].centering = 1;  // group-mean centring must use the means after deletion
    FitRun a, b;
    run_fit(withMissing, "Y", model, quick_settings(), a);
    run_fit(removed, "Y", model, quick_settings(), b);
    EXPECT_EQ(a.fit.N, expectedN);
    EXPECT_EQ(a.fit.J, 30);
    expect_same_estimates(a.fit, b.fit, 1e-9);
    const bool message = a.report.find("Run-time deletion has reduced the number of level-1 records to " +
                                       std::to_string(expectedN)) != std::string::npos;
    EXPECT_EQ(message, c.deleted);
}

INSTANTIATE_TEST_SUITE_P(Columns, RunTimeDeletion,
                         testing::Values(DeletionCase{"outcome", 1, true}, DeletionCase{"predictor", 0, true},
                                         DeletionCase{"unused_variable", 3, false}),
                         [](const testing::TestParamInfo<DeletionCase>& i) { return std::string(i.param.name); });

TEST_F(SetupPass, UnitWithoutUsableRecordsStaysAUnit) {
    DataSet d = simple_data(20, 10);
    d.deleteNow = false;
    d.hasMissing = true;
    for (auto& row : d.units[3].rows) row[1] = MISSING_VALUE;  // all deleted
    d.units[7].rows.resize(1);                                   // fewer records than coefficients
    FitRun run;
    run_fit(d, "Y", simple_model(), quick_settings(), run);
    EXPECT_EQ(run.fit.J, 20);
    EXPECT_EQ(run.fit.n[3], 0);
    EXPECT_EQ(run.fit.hasOls[3], 0);
    EXPECT_EQ(run.fit.hasOls[7], 0);
    EXPECT_EQ(run.fit.bOls[7 * 2], MISSING_VALUE);
    EXPECT_EQ(run.fit.Jo, 18);
    EXPECT_NE(run.report.find("Note: OLS level-1 coefficients were computed for only 18 of 20 units that had\n"
                              "      sufficient data for estimation.\n"),
              std::string::npos);
    EXPECT_NE(run.report.find("Note: The reliability estimates reported above are based on only 18 of 20\n"),
              std::string::npos);
    EXPECT_EQ(run.fit.chiSquareDf[0], 18 - 2);
}

// The condition figure of a 1 x 1 predictor matrix is its element: 1e6 passes, more fails.
TEST_F(SetupPass, ConditionFigureOfAMillionPassesAndMoreFails) {
    DataSet d = simple_data(12, 6);
    d.units[0].rows = {{1000.0, 3.0, 1, 1, 10}, {0.0, 1.0, 1, 1, 10}};
    d.units[1].rows = {{1000.0, 3.0, 1, 1, 10}, {1.0, 1.0, 1, 1, 10}};
    const std::vector<Coef> model = {{"X", 0, true, {"INTRCPT2"}, {}}};
    FitRun run;
    run_fit(d, "Y", model, quick_settings(), run);
    EXPECT_EQ(run.fit.hasOls[0], 1);
    EXPECT_EQ(run.fit.hasOls[1], 0);
    EXPECT_EQ(run.fit.conditionFailures, 1);
}

TEST_F(SetupPass, ConditioningNoteWhenMostUnitsFail) {
    DataSet d = simple_data(6, 6);
    for (int j = 0; j < 4; ++j) d.units[j].rows = {{2000.0, 3.0, 1, 1, 10}, {1.0, 1.0, 1, 1, 10}};
    const std::vector<Coef> model = {{"X", 0, true, {"INTRCPT2"}, {}}};
    FitRun run;
    run_fit(d, "Y", model, quick_settings(), run);
    EXPECT_EQ(run.fit.conditionFailures, 4);
    EXPECT_NE(run.report.find("Note: 4 of 6 units failed the conditioning check for inversion of the\n"
                              "level-1 predictor matrix.  You may wish to modify the metrics of one or more\n"
                              "of the level-1 predictors to reduce collinearity and ill-conditioning.\n"),
              std::string::npos);
}

// The OLS table shows the first LEV1OLS units with estimates, after its header.
struct OlsTableCase {
    int shown;
    int rows;
};

class OlsTable : public SetupPass, public testing::WithParamInterface<OlsTableCase> {};

TEST_P(OlsTable, ShowsTheRequestedUnits) {
    RunSettings rs = quick_settings();
    rs.olsUnitsShown = GetParam().shown;
    FitRun run;
    run_fit(simple_data(8, 10), "Y", simple_model(), rs, run);
    const std::string& t = run.report;
    const std::string head = "\f Level-1 OLS regressions\n -----------------------\n\n Level-2 Unit     INTRCPT1" +
                             std::string(11, ' ') + "X slope  \n " + std::string(78, '-') + "\n";
    const std::size_t at = t.find(head);
    ASSERT_NE(at, std::string::npos) << t.substr(0, 800);
    const std::size_t end = t.find("The average OLS", at);
    int rows = 0;
    for (std::size_t p = at + head.size(); p < end; p = t.find("\n", p) + 1)
        if (t.compare(p, 11, "         10") == 0) ++rows;
    EXPECT_EQ(rows, GetParam().rows);
    EXPECT_NE(t.find("The average OLS level-1 coefficient for INTRCPT1 = "), std::string::npos);
    EXPECT_NE(t.find("The average OLS level-1 coefficient for        X = "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Counts, OlsTable, testing::Values(OlsTableCase{0, 0}, OlsTableCase{3, 3},
                                                           OlsTableCase{50, 8}));

// Constant weights and known variances change nothing but the bookkeeping.
struct WeightCase {
    const char* name;
    int level1Weight, level2Weight, precision;
    double plainSigma2, weightedSigma2;  // fixed sigma2 of each run, 0 when estimated
};

class ConstantWeights : public SetupPass, public testing::WithParamInterface<WeightCase> {};

TEST_P(ConstantWeights, GiveTheUnweightedEstimates) {
    const WeightCase& c = GetParam();
    DataSet d = simple_data(25, 8);
    for (auto& u : d.units) {
        u.l2[1] = 3.0;
        for (auto& row : u.rows) {
            row[2] = 2.5;
            row[3] = 4.0;
        }
    }
    RunSettings plain = reference_settings(false);  // tight: acceleration is off with weights
    plain.fixedSigma2 = c.plainSigma2;
    RunSettings weighted = plain;
    weighted.fixedSigma2 = c.weightedSigma2;
    weighted.level1Weight = c.level1Weight;
    weighted.level2Weight = c.level2Weight;
    weighted.precisionVar = c.precision;
    FitRun a, b;
    run_fit(d, "Y", simple_model(), plain, a);
    run_fit(d, "Y", simple_model(), weighted, b);
    for (std::size_t k = 0; k < a.fit.gamma.size(); ++k) EXPECT_NEAR(a.fit.gamma[k], b.fit.gamma[k], 1e-5);
    for (std::size_t k = 0; k < a.fit.tau.size(); ++k) EXPECT_NEAR(a.fit.tau[k], b.fit.tau[k], 1e-5);
    if (c.plainSigma2 == 0.0) {
        EXPECT_NEAR(a.fit.sigma2, b.fit.sigma2, 1e-5);
    }
    for (double w : b.fit.unitWeight) EXPECT_DOUBLE_EQ(w, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConstantWeights,
                         testing::Values(WeightCase{"level1", 3, 0, 0, 0.0, 0.0},
                                         WeightCase{"level2", 0, 2, 0, 0.0, 0.0},
                                         WeightCase{"both", 3, 2, 0, 0.0, 0.0},
                                         // Known variances of 4 with sigma2 1 are sigma2 held at 4.
                                         WeightCase{"known_variance", 0, 0, 4, 4.0, 1.0}),
                         [](const testing::TestParamInfo<WeightCase>& i) { return std::string(i.param.name); });

// Unequal level-2 weights move the estimates and are normalised to mean 1.
TEST_F(SetupPass, Level2WeightsAreNormalised) {
    DataSet d = simple_data(20, 8);
    for (std::size_t j = 0; j < d.units.size(); ++j) d.units[j].l2[1] = j < 10 ? 1.0 : 3.0;
    RunSettings rs = quick_settings();
    rs.level2Weight = 2;
    FitRun run;
    run_fit(d, "Y", simple_model(), rs, run);
    EXPECT_DOUBLE_EQ(run.fit.unitWeight[0], 0.5);
    EXPECT_DOUBLE_EQ(run.fit.unitWeight[19], 1.5);
}

// Weights, known variances and counts out of range stop the run with their messages.
struct BadValueCase {
    const char* name;
    int column;
    double value;
    int level1Weight, precision, distribution;
    const char* message;
};

class BadValues : public SetupPass, public testing::WithParamInterface<BadValueCase> {};

TEST_P(BadValues, StopWithTheirMessage) {
    const BadValueCase& c = GetParam();
    DataSet d = simple_data(10, 6);
    d.units[4].rows[2][c.column] = c.value;
    if (c.distribution != 0)
        for (auto& u : d.units)
            for (std::size_t i = 0; i < u.rows.size(); ++i)
                if (&u != &d.units[4] || i != 2 || c.column != 1) u.rows[i][1] = static_cast<double>(i % 5);
    RunSettings rs = quick_settings();
    rs.level1Weight = c.level1Weight;
    rs.precisionVar = c.precision;
    rs.distribution = c.distribution;
    EXPECT_EXIT(
        {
            console_to_stderr();
            FitRun run;
            const std::string dir = testsupport::make_temp_dir("bad");
            const MdmHeader mdm = write_mdm(dir + "/d.mdm", d);
            ModelSpec model;
            make_model(mdm, "Y", simple_model(), model);
            model.trialsVar = c.distribution != 0 ? 5 : 0;
            FILE* f = std::fopen((dir + "/d.mdm").c_str(), "rb");
            run_analysis(rs, model, mdm, f, stdout, run.fit);
        },
        testing::ExitedWithCode(0), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadValues,
    testing::Values(BadValueCase{"zero_weight", 2, 0.0, 3, 0, 0, "Level-1 weights must be positive!"},
                    BadValueCase{"negative_known_variance", 3, -1.0, 0, 4, 0, "Variance knownweights must be positive!"},
                    BadValueCase{"outcome_above_trials", 1, 11.0, 0, 0, 1,
                                 "the outcome must be less than or equal to the number of trials"},
                    BadValueCase{"zero_trials", 4, 0.0, 0, 0, 1,
                                 "greater than or equal to 0.0, and the\nnumber of trials must be greater than 0.0"},
                    BadValueCase{"zero_exposure", 4, 0.0, 0, 0, 2, "\nexposure must be greater than 0.0"},
                    BadValueCase{"negative_count", 1, -1.0, 0, 0, 2, "Error: the outcome must be greater than"}),
    [](const testing::TestParamInfo<BadValueCase>& i) { return std::string(i.param.name); });

TEST_F(SetupPass, NonPositiveLevel2WeightStops) {
    DataSet d = simple_data(10, 6);
    d.units[2].l2[1] = -2.0;
    RunSettings rs = quick_settings();
    rs.level2Weight = 2;
    EXPECT_EXIT(
        {
            console_to_stderr();
            FitRun run;
            run_fit(d, "Y", simple_model(), rs, run);
        },
        testing::ExitedWithCode(0), "Level-2 weights must be positive!");
}

// Counts divide the outcome: a binomial proportion model sees y / trials.
TEST_F(SetupPass, CountsDivideTheOutcome) {
    DataSet d = simple_data(10, 6);
    for (auto& u : d.units)
        for (auto& row : u.rows) row[1] = std::fabs(std::round(row[1]));
    DataSet scaled = d;
    for (auto& u : scaled.units)
        for (auto& row : u.rows) row[1] /= row[4];
    RunSettings rs = quick_settings();
    rs.distribution = 2;
    FitRun a, b;
    {
        const std::string dir = testsupport::make_temp_dir("counts");
        const MdmHeader mdm = write_mdm(dir + "/d.mdm", d);
        ModelSpec model;
        make_model(mdm, "Y", simple_model(), model);
        model.trialsVar = 5;
        FILE* f = std::fopen((dir + "/d.mdm").c_str(), "rb");
        prepare_linear_fit(rs, model, mdm, nullptr, a.fit);
        setup_pass(rs, model, mdm, f, nullptr, a.fit);
        std::fclose(f);
    }
    run_fit(scaled, "Y", simple_model(), quick_settings(), b);
    for (std::size_t j = 0; j < a.fit.yyUnit.size(); ++j) EXPECT_NEAR(a.fit.yyUnit[j], b.fit.yyUnit[j], 1e-12);
    release_linear_fit(a.fit);
}

// A corrupt data part ends the run as an unexpected end of file, never with a crash.
struct CorruptCase {
    const char* name;
    long offsetFromEnd;  // where the damage starts, counted back from the end
    bool truncate;       // cut the file there; otherwise overwrite the count there
};

class CorruptDataPart : public SetupPass, public testing::WithParamInterface<CorruptCase> {};

TEST_P(CorruptDataPart, EndsWithTheEndOfFileMessage) {
    const CorruptCase& c = GetParam();
    const DataSet d = simple_data(5, 4);
    const std::string dir = testsupport::make_temp_dir("corrupt");
    const MdmHeader mdm = write_mdm(dir + "/d.mdm", d);
    std::string bytes = testsupport::read_file(dir + "/d.mdm");
    // The last group block: count, 5 means, 4 records of 5 values.
    const long lastBlock = static_cast<long>(bytes.size()) - (4 + 5 * 8 + 4 * 5 * 8);
    if (c.truncate) {
        bytes.resize(bytes.size() - c.offsetFromEnd);
    } else {
        const std::int32_t huge = 0x7fffffff;
        bytes.replace(lastBlock, 4, reinterpret_cast<const char*>(&huge), 4);
    }
    testsupport::write_file(dir + "/d.mdm", bytes);
    EXPECT_EXIT(
        {
            console_to_stderr();
            ModelSpec model;
            make_model(mdm, "Y", simple_model(), model);
            RunSettings rs = quick_settings();
            FitRun run;
            FILE* f = std::fopen((dir + "/d.mdm").c_str(), "rb");
            run_analysis(rs, model, mdm, f, stdout, run.fit);
        },
        testing::ExitedWithCode(4), "Unexpected end of file on read");
}

INSTANTIATE_TEST_SUITE_P(Damage, CorruptDataPart,
                         testing::Values(CorruptCase{"truncated_records", 9, true},
                                         CorruptCase{"truncated_count", 4 + 5 * 8 + 4 * 5 * 8 - 2, true},
                                         CorruptCase{"absurd_count", 0, false}),
                         [](const testing::TestParamInfo<CorruptCase>& i) { return std::string(i.param.name); });

}  // namespace

namespace {

// The non-linear and heterogeneous-variance drivers feed working outcomes and
// record multipliers; the cross-products follow them and the OLS report is left out.
struct WorkingCase {
    const char* name;
    double outcomeScale;  // working outcome = scale * raw outcome
    double multiplier;    // every record's multiplier
    double yyFactor;      // expected y'y relative to the raw one
};

class WorkingData : public SetupPass, public testing::WithParamInterface<WorkingCase> {};

TEST_P(WorkingData, ReplaceTheOutcomeAndWeightTheRecords) {
    const WorkingCase& c = GetParam();
    const DataSet d = simple_data(8, 5);
    const std::string dir = testsupport::make_temp_dir("working");
    const MdmHeader mdm = write_mdm(dir + "/d.mdm", d);
    ModelSpec model;
    make_model(mdm, "Y", simple_model(), model);
    RunSettings rs = quick_settings();
    std::vector<double> y, m;
    for (const Unit& u : d.units)
        for (const auto& row : u.rows) {
            y.push_back(c.outcomeScale * row[1]);
            m.push_back(c.multiplier);
        }
    FILE* f = std::fopen((dir + "/d.mdm").c_str(), "rb");
    FILE* out = std::fopen((dir + "/r.out").c_str(), "w+");
    LinearFit raw, work;
    prepare_linear_fit(rs, model, mdm, out, raw);
    setup_pass(rs, model, mdm, f, out, raw);
    prepare_linear_fit(rs, model, mdm, out, work);
    setup_pass(rs, model, mdm, f, out, work, y.data(), m.data());
    std::fclose(out);
    std::fclose(f);
    for (long j = 0; j < raw.J; ++j) {
        EXPECT_NEAR(work.yyUnit[j], c.yyFactor * raw.yyUnit[j], 1e-9 * raw.yyUnit[j]);
        // OLS coefficients scale with the outcome, not with the multiplier.
        for (int s = 0; s < raw.r; ++s)
            EXPECT_NEAR(work.bOls[j * raw.r + s], c.outcomeScale * raw.bOls[j * raw.r + s], 1e-9);
    }
    const std::string report = testsupport::read_file(dir + "/r.out");
    EXPECT_EQ(report.find("Level-1 OLS regressions"), report.rfind("Level-1 OLS regressions"));
    release_linear_fit(raw);
    release_linear_fit(work);
}

INSTANTIATE_TEST_SUITE_P(Kinds, WorkingData,
                         testing::Values(WorkingCase{"same_outcome", 1.0, 1.0, 1.0},
                                         WorkingCase{"scaled_outcome", 3.0, 1.0, 9.0},
                                         WorkingCase{"multiplied_records", 1.0, 2.0, 4.0}),
                         [](const testing::TestParamInfo<WorkingCase>& i) { return std::string(i.param.name); });

}  // namespace
