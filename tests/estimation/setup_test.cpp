// The set-up pass: run-time deletion, weights, known variances, count data,
// the unit OLS conditioning rule, the OLS report, and corrupt data parts. (Working
// outcomes, multipliers and counts as proportions are passed through by the
// non-linear and heterogeneous-variance runs.)
#include <gtest/gtest.h>

#include <cstdint>

#include "app/app.h"
#include "estimation/fit_fixture.h"
#include "support/test_support.h"

using namespace estimtest;

namespace {

RunSettings quick_settings() {
    RunSettings rs = reference_settings(false);
    rs.microCriterion = 1e-6;
    return rs;
}

// Where a missing value sits decides whether the record goes; the fit then
// equals the one on the data without those records.
TEST(SetupPass, RunTimeDeletionMatchesTheDataWithoutThoseRecords) {
    const struct {
        int column;    // level-1 column that gets the missing value
        bool deleted;  // whether the record is removed
    } cases[] = {{1, true}, {0, true}, {3, false}};  // outcome, predictor, unused variable
    for (const auto& c : cases) {
        SCOPED_TRACE(c.column);
        DataSet withMissing = simple_data(30, 12);
        withMissing.deleteNow = false;
        withMissing.hasMissing = true;
        DataSet removed = simple_data(30, 12);
        long expectedN = 0;
        for (std::size_t j = 0; j < withMissing.units.size(); ++j) {  // every third unit loses records 1 and 5
            auto& kept = removed.units[j].rows;
            if (j % 3 == 0) {
                withMissing.units[j].rows[0][c.column] = withMissing.units[j].rows[4][c.column] = MISSING_VALUE;
                if (c.deleted) kept.erase(kept.begin() + 4), kept.erase(kept.begin());
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
        for (std::size_t k = 0; k < a.fit.gamma.size(); ++k) EXPECT_NEAR(a.fit.gamma[k], b.fit.gamma[k], 1e-9);
        for (std::size_t k = 0; k < a.fit.tau.size(); ++k) EXPECT_NEAR(a.fit.tau[k], b.fit.tau[k], 1e-9);
        EXPECT_NEAR(a.fit.sigma2, b.fit.sigma2, 1e-9);
        EXPECT_EQ(a.report.find("Run-time deletion has reduced the number of level-1 records to " +
                                std::to_string(expectedN)) != std::string::npos,
                  c.deleted);
    }
}

// Reports of set-up passes, one golden copy: a unit without usable records stays a
// unit and one with fewer records than coefficients has no OLS estimate (18 of 20
// notes); a 1 x 1 predictor matrix of 1e6 passes the condition check and more fails
// (with the note when most units fail); the OLS table shows the first LEV1OLS units.
TEST(SetupPass, ReportsMatchTheGoldenCopy) {
    std::string all;
    DataSet d = simple_data(20, 10);
    d.deleteNow = false;
    d.hasMissing = true;
    for (auto& row : d.units[3].rows) row[1] = MISSING_VALUE;
    d.units[7].rows.resize(1);
    FitRun run;
    run_fit(d, "Y", simple_model(), quick_settings(), run);
    EXPECT_EQ(run.fit.J, 20);
    EXPECT_EQ(run.fit.chiSquareDf[0], 18 - 2);
    all += "==== units without estimates\n" + run.report;
    DataSet c = simple_data(6, 6);
    c.units[0].rows = {{1000.0, 3.0, 1, 1, 10}, {0.0, 1.0, 1, 1, 10}};
    c.units[1].rows = {{1000.0, 3.0, 1, 1, 10}, {1.0, 1.0, 1, 1, 10}};
    for (int j = 2; j < 5; ++j) c.units[j].rows = {{2000.0, 3.0, 1, 1, 10}, {1.0, 1.0, 1, 1, 10}};
    run_fit(c, "Y", {{"X", 0, true, {"INTRCPT2"}, {}}}, quick_settings(), run);
    EXPECT_EQ(run.fit.hasOls[0] * 10 + run.fit.hasOls[1], 10);
    all += "==== condition figures\n" + run.report;
    for (int shown : {3, 50}) {
        RunSettings rs = quick_settings();
        rs.olsUnitsShown = shown;
        run_fit(simple_data(8, 10), "Y", simple_model(), rs, run);
        all += "==== OLS table of " + std::to_string(shown) + " units\n" + run.report;
    }
    testsupport::expect_golden("setup_reports.txt", all);
}

// Constant weights and known variances change nothing but the bookkeeping.
TEST(SetupPass, ConstantWeightsGiveTheUnweightedEstimates) {
    const struct {
        int level1Weight, level2Weight, precision;
        double plainSigma2, weightedSigma2;  // fixed sigma2 of each run, 0 when estimated
    } cases[] = {{3, 0, 0, 0.0, 0.0}, {0, 2, 0, 0.0, 0.0},
                 {0, 0, 4, 4.0, 1.0}};  // known variances of 4 with sigma2 1 are sigma2 held at 4
    DataSet d = simple_data(25, 8);
    for (auto& u : d.units) {
        u.l2[1] = 3.0;
        for (auto& row : u.rows) row[2] = 2.5, row[3] = 4.0;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level1Weight * 100 + c.level2Weight * 10 + c.precision);
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
}

// Unequal level-2 weights are normalised to mean 1.
TEST(SetupPass, Level2WeightsAreNormalised) {
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
// Weights, known variances and counts out of range stop the run: status and console
// of each in one golden copy.
TEST(SetupPass, BadValuesStopWithTheirMessage) {
    const struct {
        int column;  // level-1 column of the bad value; -1 the level-2 weight
        double value;
        int level1Weight, precision, distribution;
    } cases[] = {{2, 0.0, 3, 0, 0}, {-1, -2.0, 0, 0, 0}, {3, -1.0, 0, 4, 0}, {1, 11.0, 0, 0, 1},
                 {4, 0.0, 0, 0, 1}, {4, 0.0, 0, 0, 2},  {1, -1.0, 0, 0, 2}};
    std::string all;
    for (const auto& c : cases) {
        DataSet d = simple_data(10, 6);
        if (c.distribution != 0)  // counts everywhere else
            for (auto& u : d.units)
                for (std::size_t i = 0; i < u.rows.size(); ++i) u.rows[i][1] = static_cast<double>(i % 5);
        if (c.column >= 0) d.units[4].rows[2][c.column] = c.value;
        else d.units[2].l2[1] = c.value;
        RunSettings rs = quick_settings();
        rs.level1Weight = c.level1Weight;
        rs.level2Weight = c.column < 0 ? 2 : 0;
        rs.precisionVar = c.precision;
        rs.distribution = c.distribution;
        testsupport::ChildResult r = testsupport::in_child([&] {
            Opened o = open_data(d, simple_model());
            o.model.trialsVar = c.distribution != 0 ? 5 : 0;
            LinearFit fit;
            run_analysis(rs, o.model, o.mdm, o.file, stdout, fit);
        });
        all += "==== status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("setup_bad_values.txt", all);
}

// A corrupt data part ends the run as an unexpected end of file, never with a crash.
TEST(SetupPass, CorruptDataPartEndsWithTheEndOfFileMessage) {
    const long lastBlock = 4 + 5 * 8 + 4 * 5 * 8;  // count, 5 means, 4 records of 5 values
    // Cut inside the records, cut inside the count, or an absurd count (0).
    for (long cut : {9L, lastBlock - 2, 0L}) {
        Opened o = open_data(simple_data(5, 4), simple_model());
        std::fclose(o.file);
        std::string bytes = testsupport::read_file(o.dir + "/d.mdm");
        if (cut > 0) {
            bytes.resize(bytes.size() - cut);
        } else {
            const std::int32_t huge = 0x7fffffff;
            bytes.replace(bytes.size() - lastBlock, 4, reinterpret_cast<const char*>(&huge), 4);
        }
        testsupport::write_file(o.dir + "/d.mdm", bytes);
        EXPECT_EXIT(
            {
                console_to_stderr();
                RunSettings rs = quick_settings();
                LinearFit fit;
                run_analysis(rs, o.model, o.mdm, std::fopen((o.dir + "/d.mdm").c_str(), "rb"), stdout, fit);
            },
            testing::ExitedWithCode(4), "Unexpected end of file on read")
            << cut;
    }
}

}  // namespace
