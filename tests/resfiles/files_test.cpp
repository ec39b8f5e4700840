// Residual files of a small hand-made fit: the level-1 records kept after
// run-time deletion with their fitted values, the level-2 values, and the fatal paths.
#include <unistd.h>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "resfiles/resfiles_test_util.h"

using namespace restest;

namespace {

// Level-1 X, Y (outcome), Z; level-2 W; groups A (W 2) and B (W 4). The third record
// of A lacks X and goes at analysis time. Y = B0 + B1 X, B0 = 1 + 0.5 W + u (random), B1 = 2.
struct SmallRun {
    std::string dir;
    MdmHeader mdm;
    ModelSpec model;
    RunSettings rs;
    LinearFit fit;
};

void build_small_run(SmallRun& s, int centering) {
    s.dir = testsupport::make_temp_dir("resfit");
    MdmHeader h;
    h.version = 6.02f, h.numL1Vars = 3, h.numL2Vars = 1, h.numL1Records = 5, h.numGroups = 2;
    h.hasMissing = 1, h.deleteNow = 0, h.sourceType = RAW_ASCII, h.maxGroupSize = 3;
    for (const char* n : {"INTRCPT1", "X", "Y", "Z"}) h.l1Names.push_back(make_variable_name(n));
    h.l2Names = {make_variable_name("INTRCPT2"), make_variable_name("W")};
    h.l1Means = {2.5, 6.0, 2.0}, h.l2Means = {3.0}, h.l2Data = {2.0, 4.0};
    h.charIds.resize(2);
    normalise_name_slot("A", 12, h.charIds[0]);
    normalise_name_slot("B", 12, h.charIds[1]);
    FILE* f = std::fopen((s.dir + "/small.mdm").c_str(), "wb");
    write_mdm_front(f, h);
    const double aMeans[] = {4.0 / 3, 6.0, 8.0 / 3}, a[] = {1, 5, 7, 3, 9, MISSING_VALUE, MISSING_VALUE, 4, 1};
    const double bMeans[] = {3.0, 6.0, 0.5}, b[] = {2, 4, 0, 4, 8, 1};
    write_group_block(f, 3, 3, aMeans, a);
    write_group_block(f, 3, 2, bMeans, b);
    std::fclose(f);
    f = std::fopen((s.dir + "/small.mdm").c_str(), "rb");
    read_mdm_header(f, s.mdm);
    std::fclose(f);

    ModelSpec& m = s.model;
    m.numL1Slots = 4, m.numL2Slots = 2, m.l1Names = s.mdm.l1Names, m.outcome = 2;
    m.l1Role = {1, 1, -1, 0}, m.l1Centering = {0, centering, 0, 0}, m.fixedEffectOnly = {0, 1, 0, 0};
    m.l1ResidualVars = {0, 1, 0, 1}, m.l1ResidualL2Vars = {0, 1}, m.l2ResidualVars = {1, 1};
    LinearFit& t = s.fit;
    t.p1 = 3, t.p2 = 1, t.outcomeSlot = 2, t.Q = 2, t.r = 1, t.F = 3, t.J = 2, t.N = 4;
    t.coefSlot = {0, 1}, t.coefRandom = {1, 0}, t.randomCoef = {0}, t.randomNames = {"INTRCPT1"};
    t.randomLabels = {"0"}, t.gammaCoef = {0, 0, 1}, t.gammaL2Slot = {0, 1, 0}, t.gamma = {1.0, 0.5, 2.0};
    t.l2Design = {1, 2, 1, 4}, t.n = {2, 2}, t.u = {0.25, -0.5}, t.postDisp = {0.125, 0.25}, t.tau = {1.5};
    t.sigma2 = 4.0, t.hasOls = {1, 0}, t.bOls = {3.5, MISSING_VALUE}, t.ssyUnit = {8.0, 8.0};
    t.olsResidualSS = {0.0, 0.0}, t.residualSS = {3.0, 2.0};
    s.rs.resfilType = RAW_ASCII, s.rs.fullML = true;
    s.rs.resfil1Name = s.dir + "/resfil1.dat", s.rs.resfil2Name = s.dir + "/resfil2.dat";
}

}  // namespace

TEST(LevelOneFile, RecordsFittedValuesAndCentring) {
    // Centre of X in A and B: group means after deletion, the grand mean, none.
    const struct { int centering; double centreA, centreB; } cases[] = {{1, 2.0, 3.0}, {2, 2.5, 2.5}, {0, 0, 0}};
    for (const auto& c : cases) {
        SmallRun s;
        build_small_run(s, c.centering);
        FILE* mdmFile = std::fopen((s.dir + "/small.mdm").c_str(), "rb");
        testing::internal::CaptureStdout();
        write_level1_residual_file(s.fit, s.rs, s.model, s.mdm, mdmFile);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // nothing left uncomputed: no note
        std::fclose(mdmFile);
        const std::vector<std::string> lines = split(testsupport::read_file(s.rs.resfil1Name), '\n');
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[0], "L2ID,L1RESID,FITVAL,SIGMA,X,Z,W");
        const struct { char id; double x, y, centre, b0; const char* rest; } recs[] = {
            {'A', 1, 5, c.centreA, 2.25, "1.000000,7.000000,2.000000"}, {'A', 3, 9, c.centreA, 2.25, "3.000000,.,2.000000"},
            {'B', 2, 4, c.centreB, 2.5, "2.000000,0.000000,4.000000"}, {'B', 4, 8, c.centreB, 2.5, "4.000000,1.000000,4.000000"}};
        for (int i = 0; i < 4; ++i) {
            const double fitted = recs[i].b0 + 2.0 * (recs[i].x - recs[i].centre);
            char want[200];
            std::snprintf(want, sizeof want, "           %c,%lf,%lf,2.000000,%s", recs[i].id, recs[i].y - fitted, fitted,
                          recs[i].rest);
            EXPECT_EQ(lines[i + 1], want) << "centring " << c.centering;
        }
    }
}

TEST(LevelTwoFile, ValuesColumnsAndNote) {
    SmallRun s;
    build_small_run(s, 1);
    const std::vector<ResidualRow> rows = level2_rows(s.fit, s.mdm, true, true, {}, {0, 1});
    ASSERT_EQ(rows.size(), 2u);
    // NJ CHIPCT MDIST LNTOTVAR OLSRSVAR MDRSVAR EB OL FV0 FV1 EC0 EC1 PV PVC INTRCPT2 W; V = Tau - sigma2 D = 0.5 in B.
    const double M = RESID_MISSING, chiB = chi_square_percentiles(1, {0.0625, 0.5})[1];
    const std::vector<double> wantB = {2, chiB, 0.5, 0.5 * std::log(9.0), M, 0.5 * std::log(3.0), -0.5, M, 3, 2, 2.5, 2,
                                       1.0, M, 1, 4};
    for (std::size_t k = 0; k < wantB.size(); ++k) EXPECT_DOUBLE_EQ(rows[1].values[k], wantB[k]) << k;
    EXPECT_DOUBLE_EQ(rows[0].values[7], 3.5 - 2.0);  // OLS residual: b less the fitted intercept

    // Variance diagnostics only with an estimated sigma2 outside plausible-value runs; PVC only under REML.
    const struct { double fixedSigma2; bool fullML, plausible; std::size_t columns; } cases[] = {
        {0.0, true, false, 16}, {0.0, false, false, 17}, {1.0, true, false, 13}, {0.0, true, true, 13}};
    for (const auto& c : cases) {
        s.rs.fixedSigma2 = c.fixedSigma2, s.rs.fullML = c.fullML;
        s.model.plausibleValues = c.plausible ? std::vector<int>{2, 3} : std::vector<int>{};
        testing::internal::CaptureStdout();
        write_level2_residual_file(s.fit, s.rs, s.model, s.mdm);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::vector<std::string> lines = split(testsupport::read_file(s.rs.resfil2Name), '\n');
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(split(lines[0], ',').size(), c.columns) << lines[0];
        EXPECT_EQ(split(lines[2], ',').size(), c.columns) << lines[2];
        // B has no OLS estimate: the note follows.
        EXPECT_NE(out.find("A residual file, called " + s.rs.resfil2Name + ", has been created."), std::string::npos);
    }
}

TEST(ResidualFileFailures, UnwritableFileAndDamagedGroupBlocks) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    SmallRun s;
    build_small_run(s, 1);
    RunSettings bad = s.rs;
    bad.resfil2Name = s.dir + "/no/dir/r.dat";
    EXPECT_EXIT((dup2(2, 1), write_level2_residual_file(s.fit, bad, s.model, s.mdm)), testing::ExitedWithCode(0),
                "Unable to open " + bad.resfil2Name + " for writing\n");
    // Cut inside the second block; a block count far beyond the file.
    const std::string whole = testsupport::read_file(s.dir + "/small.mdm");
    std::string big = whole;
    const std::int32_t huge = 0x7fffff00;
    std::memcpy(&big[s.mdm.dataStart], &huge, 4);
    for (const std::string& bytes : {whole.substr(0, whole.size() - 20), big}) {
        testsupport::write_file(s.dir + "/bad.mdm", bytes);
        FILE* f = std::fopen((s.dir + "/bad.mdm").c_str(), "rb");
        EXPECT_EXIT((dup2(2, 1), write_level1_residual_file(s.fit, s.rs, s.model, s.mdm, f)),
                    testing::ExitedWithCode(4), "Unexpected end of file on read");
        std::fclose(f);
    }
}
