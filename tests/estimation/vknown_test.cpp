// V-known analysis (the bundled data sets are compared with independent results
// by the executable's reference runs, newcmd.arb included): units left out, degrees
// of freedom, the convergence floor, the Tau(0) repair, fatal ends, the level-2 residual file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app.h"
#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

struct VkUnit {
    std::string id;
    std::vector<double> stats, cov, l2;  // cov: packed lower triangle
};
struct VkData {
    std::vector<std::string> l1, l2;
    std::vector<VkUnit> units;
};

// Writes a V-known MDM file as the V-known builder lays it out.
void write_vk_mdm(const std::string& path, const VkData& d) {
    MdmHeader h;
    h.numL1Vars = (int)d.l1.size();
    h.numL2Vars = (int)d.l2.size();
    h.numGroups = (int)d.units.size();
    h.deleteNow = h.maxGroupSize = 1;
    h.sourceType = RAW_VKNOWN;
    h.isVKnown = true;
    h.l1Names = {make_variable_name("INTRCPT1")};
    h.l2Names = {make_variable_name("INTRCPT2")};
    for (const auto& n : d.l1) h.l1Names.push_back(make_variable_name(n.c_str()));
    for (const auto& n : d.l2) h.l2Names.push_back(make_variable_name(n.c_str()));
    FILE* f = std::fopen(path.c_str(), "wb");
    write_mdm_front(f, h);
    for (const VkUnit& u : d.units) {
        NameSlot id;
        normalise_name_slot(u.id.c_str(), 12, id);
        std::fwrite(id.text, 1, 13, f);
        for (const auto* v : {&u.stats, &u.cov, &u.l2}) std::fwrite(v->data(), sizeof(double), v->size(), f);
    }
    std::fclose(f);
}

// One statistic EFFECT, level-2 predictor X; six units.
VkData six_units() {
    VkData d{{"EFFECT"}, {"X"}, {}};
    const double b[] = {0.5, 1.2, -0.3, 0.8, 2.0, 0.1}, v[] = {0.1, 0.2, 0.15, 0.1, 0.3, 0.2};
    for (int j = 0; j < 6; ++j) d.units.push_back({"U" + std::to_string(j + 1), {b[j]}, {v[j]}, {j + 1.0}});
    return d;
}

// Statistics that agree far better than their sampling variances (Tau(0) < 0);
// X2 repeats X, and with these values the singularity is exact in floating point.
VkData tight_units() {
    VkData d{{"EFFECT"}, {"X", "X2"}, {}};
    const double b[] = {1.0, 1.1, 0.9, 1.0, 1.05}, x[] = {-1, 1, -1, 1, 0};
    for (int j = 0; j < 5; ++j) d.units.push_back({"T" + std::to_string(j), {b[j]}, {1.0}, {x[j], x[j]}});
    return d;
}

struct VkRun {
    VKnownFit fit;
    std::string report;
};

// Reads the command file into the model and fits it in this process.
void fit_in_process(const std::string& dir, const std::string& mdmName, const std::string& cmd, VkRun& run) {
    write_file(dir + "/model.cmd", cmd);
    RunSettings rs;
    rs.commandFileName = dir + "/model.cmd";
    FILE* f = std::fopen((dir + "/" + mdmName).c_str(), "rb");
    ASSERT_NE(f, nullptr);
    MdmHeader mdm;
    read_mdm_header(f, mdm);
    rs.isVKnown = mdm.isVKnown;
    ModelSpec model;
    size_model_tables(mdm, model);
    read_command_file(rs, model, mdm);
    FILE* out = std::tmpfile();
    fit_vknown(rs, model, mdm, f, out, run.fit);
    report_vknown(rs, model, mdm, out, run.fit);
    run.report.assign(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    if (std::fread(run.report.data(), 1, run.report.size(), out) != run.report.size()) run.report.clear();
    std::fclose(out);
    std::fclose(f);
}

// The bundled BCG MDM file, built once by arb2 from its console answers.
const std::string& bundled_dir() {
    static const std::string dir = [] {
        std::string d = make_temp_dir("vknown");
        for (const char* f : {"bcg.dat", "bcg.make.txt"}) copy_data(std::string("vknown/") + f, d);
        run_arb2("-r bcg.make.txt", d);
        return d;
    }();
    return dir;
}

const char* const BCG_ABLAT = "LEVEL1:LOGRR+RANDOM\nLEVEL2:LOGRR=INTRCPT2+ABLAT+RANDOM/YEAR60\n";

// The third unit drops out, is listed, and the others give exactly the fit without it.
TEST(VkLeftOut, UnitIsListedAndTheOthersAnalysed) {
    const struct {
        double stat, var, x;
    } cases[] = {{0.4, 0.0, 3}, {MISSING_VALUE, 0.1, 3}, {0.4, 0.1, MISSING_VALUE}};
    const std::string dir = make_temp_dir("vkleft");
    VkData without = six_units();
    without.units.erase(without.units.begin() + 2);
    write_vk_mdm(dir + "/without.mdm", without);
    const std::string cmd = "NUMIT:500\nLEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+X+RANDOM/\n";
    VkRun b;
    fit_in_process(dir, "without.mdm", cmd, b);
    EXPECT_EQ(b.report.find("deleted from the analysis"), std::string::npos);
    for (const auto& c : cases) {
        VkData full = six_units();
        full.units[2] = {"U3", {c.stat}, {c.var}, {c.x}};
        write_vk_mdm(dir + "/full.mdm", full);
        VkRun a;
        fit_in_process(dir, "full.mdm", cmd, a);
        EXPECT_EQ(a.fit.Ju, 5);
        EXPECT_NE(a.report.find("The following groups have been deleted from the analysis:\n3, \n"), std::string::npos);
        for (int g = 0; g < 2; ++g) EXPECT_NEAR(a.fit.gamma[g], b.fit.gamma[g], 1e-12);
        EXPECT_NEAR(a.fit.tau[0], b.fit.tau[0], 1e-12);
        EXPECT_NEAR(a.fit.chiSquare[0], b.fit.chiSquare[0], 1e-9);
    }
    std::filesystem::remove_all(dir);
}

// The first statistic gets J - S; the others J - S divided by M - 1 (the bundled runs have M = 2).
TEST(VkDegreesOfFreedom, LaterStatisticsAreDividedByMMinusOne) {
    VKnownFit f;
    f.J = 10;
    f.p = 4;
    for (int s : {1, 1, 2, 1}) f.coefFirstGamma.push_back(f.F), f.coefNumGammas.push_back(s), f.F += s;
    vknown_degrees_of_freedom(f);
    EXPECT_EQ(f.dfGamma, (std::vector<long>{9, 3, 2, 2, 3}));
}

// Changes below 1e-8 percent are raised to 1e-8: a smaller criterion can never be met.
TEST(VkConvergence, ChangeBelowTheFloorCountsAsConvergedOnlyWhenTheCriterionAllows) {
    const struct {
        const char* settings;
        bool converged;
        int iterations;  // 0: fewer than the limit
    } cases[] = {{"NUMIT:3000\nSTOPVAL:0.00000001\n", true, 0},
                 {"NUMIT:300\nSTOPVAL:0.000000005\n", false, 300},
                 {"NUMIT:1\n", false, 1}};
    for (const auto& c : cases) {
        VkRun run;
        fit_in_process(bundled_dir(), "bcg.mdm", std::string(c.settings) + BCG_ABLAT, run);
        EXPECT_EQ(run.fit.converged, c.converged) << c.settings;
        if (c.iterations) EXPECT_EQ(run.fit.iterations, c.iterations) << c.settings;
        else EXPECT_LT(run.fit.iterations, 3000);
        EXPECT_EQ(run.report.find("WARNING: the iterations were stopped prior") != std::string::npos, !c.converged);
    }
}

TEST(VkTauRepair, AutomaticRepairUsesAFifthOfTheDispersion) {
    const std::string dir = make_temp_dir("vkrepair");
    write_vk_mdm(dir + "/tight.mdm", tight_units());
    VkRun run;
    fit_in_process(dir, "tight.mdm", "NUMIT:3\nFIXTAU:3\nLEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+RANDOM/\n", run);
    const double repaired = 0.2 * 0.022 / 4;  // squared deviations from the mean 1.01 sum to 0.022
    EXPECT_NEAR(run.fit.tauStart[0], repaired, 1e-12);
    char line[64];
    std::snprintf(line, sizeof line, "\n New Tau(0)\n   EFFECT,B1 %12.5lf", repaired);
    EXPECT_NE(run.report.find(line), std::string::npos) << run.report;
    std::filesystem::remove_all(dir);
}

// Whole runs that must stop (singular starting values, collinear predictors, FIXTAU:4
// with a bad Tau(0), an outcome named in a V-known file): status, console and report.
TEST(VkFatal, RunsStopWithTheirMessage) {
    const std::string cases[] = {
        "LEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+RANDOM/\n",
        "LEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+X+X2+RANDOM/\n",
        "FIXTAU:4\nLEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+RANDOM/\n",
        "LEVEL1:EFFECT=EFFECT+RANDOM\n",
    };
    const std::string dir = make_temp_dir("vkfatal");
    VkData singular = tight_units();
    for (VkUnit& u : singular.units) u.cov = {0.0};
    write_vk_mdm(dir + "/singular.mdm", singular);
    write_vk_mdm(dir + "/tight.mdm", tight_units());
    std::string all;
    for (const std::string& cmd : cases) {
        write_file(dir + "/m.cmd", "NUMIT:50\nOUTPUT:fatal.out\nTITLE:x\nRESFIL2:N\nLEV1OLS:0\nHYPOTH:n\n" + cmd);
        std::filesystem::remove(dir + "/fatal.out");
        RunResult r = run_arb2((&cmd == &cases[0] ? "singular.mdm" : "tight.mdm") + std::string(" m.cmd"), dir);
        all += "==== status " + std::to_string(r.status) + "\n" + r.out + "==== report\n" +
               mask_volatile(read_file(dir + "/fatal.out"));
    }
    for (std::size_t at; (at = all.find(dir)) != std::string::npos;) all.replace(at, dir.size(), "<dir>");
    expect_golden("vknown_stops.txt", all);
    std::filesystem::remove_all(dir);
}

// The level-2 file holds one record per unit taken into the analysis (the fourth,
// with a zero variance, is left out): one golden copy.
TEST(VkWholeRun, LevelTwoResidualFileHasOneRecordPerUsedUnit) {
    const std::string dir = make_temp_dir("vkres");
    VkData d = six_units();
    d.units[3].cov = {0.0};
    write_vk_mdm(dir + "/six.mdm", d);
    write_file(dir + "/m.cmd", "NUMIT:500\nLEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+RANDOM/\nOUTPUT:r.out\n"
                               "TITLE:x\nRESFIL2:Y/X\nRESFILTYPE:FREEFORMAT\nLEV1OLS:0\nHYPOTH:n\n");
    ASSERT_EQ(run_arb2("six.mdm m.cmd", dir).status, 0);
    expect_golden("vknown_resfil2.txt", read_file(dir + "/resfil2.dat"));
    std::filesystem::remove_all(dir);
}

}  // namespace
