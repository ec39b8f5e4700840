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

// The level-1 file keeps the records the fit kept, with fitted values centred on the
// group means after deletion, the grand mean or nothing (no note: nothing is left
// uncomputed); the level-2 rows and the columns by method, fixed sigma2 and plausible
// values (B has no OLS estimate: the note follows). One golden copy.
TEST(ResidualFiles, MatchTheGoldenCopy) {
    std::string all;
    for (int centering : {1, 2, 0}) {
        SmallRun s;
        build_small_run(s, centering);
        FILE* mdmFile = std::fopen((s.dir + "/small.mdm").c_str(), "rb");
        testing::internal::CaptureStdout();
        write_level1_residual_file(s.fit, s.rs, s.model, s.mdm, mdmFile);
        all += "==== level 1, centring " + std::to_string(centering) + "\n" + testing::internal::GetCapturedStdout();
        std::fclose(mdmFile);
        all += testsupport::read_file(s.rs.resfil1Name);
    }
    SmallRun s;
    build_small_run(s, 1);
    for (const ResidualRow& row : level2_rows(s.fit, s.mdm, true, true, {}, {0, 1})) {
        all += "row";
        for (double v : row.values) all += " " + std::to_string(v);
        all += "\n";
    }
    const struct { double fixedSigma2; bool fullML, plausible; } cases[] = {
        {0.0, true, false}, {0.0, false, false}, {1.0, true, false}, {0.0, true, true}};
    for (const auto& c : cases) {
        s.rs.fixedSigma2 = c.fixedSigma2, s.rs.fullML = c.fullML;
        s.model.plausibleValues = c.plausible ? std::vector<int>{2, 3} : std::vector<int>{};
        testing::internal::CaptureStdout();
        write_level2_residual_file(s.fit, s.rs, s.model, s.mdm);
        all += "==== level 2\n" + testing::internal::GetCapturedStdout() + testsupport::read_file(s.rs.resfil2Name);
    }
    for (std::size_t at; (at = all.find(s.dir)) != std::string::npos;) all.replace(at, s.dir.size(), "<dir>");
    testsupport::expect_golden("resfil_small_run.txt", all);
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
