// V-known analysis: the bundled data sets against independent results, units
// left out, degrees of freedom, the convergence floor, the Tau(0) repair, fatal
// ends, and whole runs whose newcmd.arb reproduces the model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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
    h.deleteNow = 1;
    h.sourceType = RAW_VKNOWN;
    h.isVKnown = true;
    h.maxGroupSize = 1;
    h.l1Names.push_back(make_variable_name("INTRCPT1"));
    h.l2Names.push_back(make_variable_name("INTRCPT2"));
    for (const auto& n : d.l1) h.l1Names.push_back(make_variable_name(n.c_str()));
    for (const auto& n : d.l2) h.l2Names.push_back(make_variable_name(n.c_str()));
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    write_mdm_front(f, h);
    for (const VkUnit& u : d.units) {
        NameSlot id;
        normalise_name_slot(u.id.c_str(), 12, id);
        std::fwrite(id.text, 1, 13, f);
        for (const auto* v : {&u.stats, &u.cov, &u.l2}) std::fwrite(v->data(), sizeof(double), v->size(), f);
    }
    std::fclose(f);
}

// One statistic, level-2 predictor X; six units.
VkData six_units() {
    VkData d{{"EFFECT"}, {"X"}, {}};
    const double b[] = {0.5, 1.2, -0.3, 0.8, 2.0, 0.1}, v[] = {0.1, 0.2, 0.15, 0.1, 0.3, 0.2};
    for (int j = 0; j < 6; ++j) d.units.push_back({"U" + std::to_string(j + 1), {b[j]}, {v[j]}, {double(j + 1)}});
    return d;
}

struct VkRun {
    VKnownFit fit;
    std::string report;
};

// Reads the command file into the model and fits it in this process.
void fit_in_process(const std::string& dir, const std::string& mdmName, const std::string& cmd, VkRun& run) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    const std::string cmdPath = dir + "/model.cmd";
    write_file(cmdPath, cmd);
    RunSettings rs;
    rs.commandFileName = cmdPath;
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
    std::rewind(out);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) run.report.append(buf, n);
    std::fclose(out);
    std::fclose(f);
}

// The bundled MDM files, built once by arb2 from their console answers.
const std::string& bundled_dir() {
    static const std::string dir = [] {
        std::string d = make_temp_dir("vknown");
        for (const char* name : {"bcg", "hsb2stage"}) {
            copy_data(std::string("vknown/") + name + ".dat", d);
            copy_data(std::string("vknown/") + name + ".make.txt", d);
            run_arb2(std::string("-r ") + name + ".make.txt", d);
        }
        return d;
    }();
    return dir;
}

// ---- Independent results -------------------------------------------------------

struct RefCase {
    const char* model;
    const char* mdm;
    const char* cmd;
};

class VkReference : public testing::TestWithParam<RefCase> {};

TEST_P(VkReference, GammasStandardErrorsAndTauAgree) {
    const RefCase& c = GetParam();
    VkRun run;
    fit_in_process(bundled_dir(), c.mdm, std::string("NUMIT:20000\n") + c.cmd, run);
    const VKnownFit& f = run.fit;
    EXPECT_TRUE(f.converged);
    std::ifstream ref(data_path("vknown/ref.tsv"));
    std::string model, quantity;
    int index = 0, seen = 0;
    double value = 0, tol = 0;
    std::getline(ref, model);  // column names
    while (ref >> model >> quantity >> index >> value >> tol) {
        if (model != c.model) continue;
        double got = NAN;
        if (quantity == "gamma") got = f.gamma[index];
        if (quantity == "se") got = std::sqrt(f.gammaCov[index * f.F + index]);
        if (quantity == "tau") {
            int a = 0;
            while ((a + 1) * (a + 2) / 2 <= index) ++a;
            got = f.tau[a * f.p + index - a * (a + 1) / 2];
        }
        EXPECT_NEAR(got, value, tol) << model << " " << quantity << "[" << index << "]";
        ++seen;
    }
    EXPECT_GT(seen, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Bundled, VkReference,
    testing::Values(RefCase{"bcg_null", "bcg.mdm", "LEVEL1:LOGRR+RANDOM\nLEVEL2:LOGRR=INTRCPT2+RANDOM/\n"},
                    RefCase{"bcg_ablat", "bcg.mdm", "LEVEL1:LOGRR+RANDOM\nLEVEL2:LOGRR=INTRCPT2+ABLAT+RANDOM/\n"},
                    RefCase{"hsb2stage", "hsb2stage.mdm",
                            "LEVEL1:B0+B1+RANDOM\nLEVEL2:B0=INTRCPT2+SECTOR+MEANSES+RANDOM/\n"
                            "LEVEL2:B1=INTRCPT2+SECTOR+MEANSES+RANDOM/\n"}),
    [](const testing::TestParamInfo<RefCase>& i) { return std::string(i.param.model); });

// ---- Units left out --------------------------------------------------------------

struct LeftOutCase {
    const char* name;
    double stat, var, x;  // replacements for the third unit
};

class VkLeftOut : public testing::TestWithParam<LeftOutCase> {};

// The third unit drops out and the others give exactly the fit without it.
TEST_P(VkLeftOut, UnitIsListedAndTheOthersAnalysed) {
    const LeftOutCase& c = GetParam();
    const std::string dir = make_temp_dir("vkleft");
    VkData full = six_units(), without = six_units();
    full.units[2].stats = {c.stat};
    full.units[2].cov = {c.var};
    full.units[2].l2 = {c.x};
    without.units.erase(without.units.begin() + 2);
    write_vk_mdm(dir + "/full.mdm", full);
    write_vk_mdm(dir + "/without.mdm", without);
    const std::string cmd = "NUMIT:500\nLEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+X+RANDOM/\n";
    VkRun a, b;
    fit_in_process(dir, "full.mdm", cmd, a);
    fit_in_process(dir, "without.mdm", cmd, b);
    EXPECT_EQ(a.fit.Ju, 5);
    EXPECT_NE(a.report.find("The following groups have been deleted from the analysis:\n3, \n"), std::string::npos);
    EXPECT_EQ(b.report.find("deleted from the analysis"), std::string::npos);
    for (int g = 0; g < 2; ++g) EXPECT_NEAR(a.fit.gamma[g], b.fit.gamma[g], 1e-12);
    EXPECT_NEAR(a.fit.tau[0], b.fit.tau[0], 1e-12);
    EXPECT_NEAR(a.fit.chiSquare[0], b.fit.chiSquare[0], 1e-9);
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, VkLeftOut,
                         testing::Values(LeftOutCase{"SingularV", 0.4, 0.0, 3}, LeftOutCase{"NegativeV", 0.4, -0.2, 3},
                                         LeftOutCase{"MissingStatistic", MISSING_VALUE, 0.1, 3},
                                         LeftOutCase{"MissingPredictor", 0.4, 0.1, MISSING_VALUE}),
                         [](const testing::TestParamInfo<LeftOutCase>& i) { return std::string(i.param.name); });

// ---- Degrees of freedom ------------------------------------------------------------

TEST(VkDegreesOfFreedom, FirstStatisticGetsJMinusSOthersAreDividedByMMinusOne) {
    struct Case {
        long J;
        std::vector<int> S;
        std::vector<long> df;  // per statistic
    } cases[] = {
        {13, {2}, {11}},                // one coefficient
        {160, {3, 3}, {157, 157}},      // m = 2: divided by 1
        {20, {1, 2, 2}, {19, 9, 9}},    // m = 3: (20 - 2) / 2
        {10, {1, 1, 2, 1}, {9, 3, 2, 3}},  // m = 4: integer division by 3
    };
    for (const Case& c : cases) {
        VKnownFit f;
        f.J = c.J;
        f.p = (int)c.S.size();
        for (int s : c.S) {
            f.coefFirstGamma.push_back(f.F);
            f.coefNumGammas.push_back(s);
            f.F += s;
        }
        vknown_degrees_of_freedom(f);
        for (int q = 0; q < f.p; ++q)
            for (int g = f.coefFirstGamma[q]; g < f.coefFirstGamma[q] + c.S[q]; ++g)
                EXPECT_EQ(f.dfGamma[g], c.df[q]) << "J " << c.J << " statistic " << q;
    }
}

// ---- Convergence ---------------------------------------------------------------------

// The likelihood change is raised to 1e-8 percent when smaller, so a criterion
// below that can never be met and the run goes to the iteration limit.
TEST(VkConvergence, ChangeBelowTheFloorCountsAsConvergedOnlyWhenTheCriterionAllows) {
    struct Case {
        const char* settings;
        bool converged;
        int iterations;  // 0: fewer than the limit
    } cases[] = {
        {"NUMIT:3000\nSTOPVAL:0.00000001\n", true, 0},
        {"NUMIT:300\nSTOPVAL:0.000000005\n", false, 300},
        {"NUMIT:1\n", false, 1},
    };
    for (const Case& c : cases) {
        VkRun run;
        fit_in_process(bundled_dir(), "bcg.mdm",
                       std::string(c.settings) + "LEVEL1:LOGRR+RANDOM\nLEVEL2:LOGRR=INTRCPT2+ABLAT+RANDOM/\n", run);
        EXPECT_EQ(run.fit.converged, c.converged) << c.settings;
        if (c.iterations) EXPECT_EQ(run.fit.iterations, c.iterations) << c.settings;
        else EXPECT_LT(run.fit.iterations, 3000);
        const bool warned = run.report.find("WARNING: the iterations were stopped prior to convergence.") !=
                            std::string::npos;
        EXPECT_EQ(warned, !c.converged) << c.settings;
    }
}

// ---- Tau(0) repair and fatal ends -----------------------------------------------------

// Statistics that agree far better than their sampling variances: Tau(0) < 0.
VkData tight_units() {
    VkData d{{"EFFECT"}, {"X", "X2"}, {}};
    // X2 repeats X; with these values the singularity is exact in floating point.
    const double b[] = {1.0, 1.1, 0.9, 1.0, 1.05}, x[] = {-1, 1, -1, 1, 0};
    for (int j = 0; j < 5; ++j) d.units.push_back({"T" + std::to_string(j), {b[j]}, {1.0}, {x[j], x[j]}});
    return d;
}

TEST(VkTauRepair, AutomaticRepairUsesAFifthOfTheDispersion) {
    const std::string dir = make_temp_dir("vkrepair");
    write_vk_mdm(dir + "/tight.mdm", tight_units());
    VkRun run;
    fit_in_process(dir, "tight.mdm", "NUMIT:3\nFIXTAU:3\nLEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+RANDOM/\n", run);
    double mean = 0, ss = 0;
    for (double b : {1.0, 1.1, 0.9, 1.0, 1.05}) mean += b / 5;
    for (double b : {1.0, 1.1, 0.9, 1.0, 1.05}) ss += (b - mean) * (b - mean);
    const double repaired = 0.2 * ss / 4;
    EXPECT_NEAR(run.fit.tauStart[0], repaired, 1e-15);
    char line[64];
    std::snprintf(line, sizeof line, "%12.5lf", repaired);
    const std::size_t at = run.report.find("\n New Tau(0)\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(run.report.find(line, at), std::string::npos);
    std::filesystem::remove_all(dir);
}

// Whole runs that must stop: status and the message the user sees.
TEST(VkFatal, RunsStopWithTheirMessage) {
    struct Case {
        const char* what;
        std::string cmd;
        int status;
        const char* text;
    } cases[] = {
        {"no usable unit", "LEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+RANDOM/\n", 16,
         "unable to compute starting values"},
        {"collinear predictors", "LEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+X+X2+RANDOM/\n", 11,
         "problem in the fixed portion"},
        {"fixtau 4", "FIXTAU:4\nLEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+RANDOM/\n", 0,
         "fixtau set to 4, so no correction to tau made. Unable to continue.\n"},
        {"outcome on a V-known file", "LEVEL1:EFFECT=EFFECT+RANDOM\n", 8, "Error in command file at line"},
        {"intercept named", "LEVEL1:INTRCPT1+EFFECT+RANDOM\n", 9, "INTRCPT1 does not exist"},
    };
    const std::string dir = make_temp_dir("vkfatal");
    VkData singular = tight_units();
    for (VkUnit& u : singular.units) u.cov = {0.0};
    write_vk_mdm(dir + "/singular.mdm", singular);
    write_vk_mdm(dir + "/tight.mdm", tight_units());
    for (const Case& c : cases) {
        const std::string mdm = c.status == 16 ? "singular.mdm" : "tight.mdm";
        write_file(dir + "/m.cmd", "NUMIT:50\nOUTPUT:fatal.out\nTITLE:x\nRESFIL2:N\nLEV1OLS:0\nHYPOTH:n\n" + c.cmd);
        std::filesystem::remove(dir + "/fatal.out");
        RunResult r = run_arb2(mdm + " m.cmd", dir);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out;
        const std::string seen = r.out + read_file(dir + "/fatal.out");
        EXPECT_NE(seen.find(c.text), std::string::npos) << c.what << "\n" << seen;
        EXPECT_EQ(seen.find("Final estimation of fixed effects:"), std::string::npos) << c.what;
    }
    std::filesystem::remove_all(dir);
}

// ---- Whole runs ------------------------------------------------------------------------

// The report from the first page of estimates on; the header carries the time and file names.
std::string estimates_part(const std::string& report) {
    const std::size_t at = report.find("STARTING VALUES");
    return at == std::string::npos ? std::string() : report.substr(at);
}

TEST(VkWholeRun, ReportSectionsAndNewcmdReproducesTheRun) {
    const std::string dir = make_temp_dir("vkrun");
    for (const char* f : {"bcg.dat", "bcg.make.txt"}) copy_data(std::string("vknown/") + f, dir);
    run_arb2("-r bcg.make.txt", dir);
    write_file(dir + "/ablat.cmd",
               "NUMIT:5000\nLEVEL1:LOGRR+RANDOM\nLEVEL2:LOGRR=INTRCPT2+ABLAT+RANDOM/YEAR60\n"
               "OUTPUT:first.out\nTITLE:bcg\nRESFIL2:N\nLEV1OLS:0\nHYPOTH:n\n");
    ASSERT_EQ(run_arb2("bcg.mdm ablat.cmd", dir).status, 0);
    const std::string first = read_file(dir + "/first.out");
    const char* sections[] = {"\f STARTING VALUES\n", "\f******* ITERATION ", " Final estimation of fixed effects:\n",
                              " Final estimation of variance components:\n",
                              " Statistics for current covariance components model\n",
                              "\f Exploratory Analysis", " Level-1 Coefficient      Potential Level-2 Predictors\n",
                              "                            YEAR60\n    LOGRR, B1\n"};
    std::size_t pos = 0;
    for (const char* s : sections) {
        std::size_t at = first.find(s, pos);
        ASSERT_NE(at, std::string::npos) << s;
        pos = at;
    }
    EXPECT_EQ(first.find("level-1,"), std::string::npos);  // no level-1 variance line
    EXPECT_NE(first.find("   LOGRR slope, U1        0.27631       0.07635    11"), std::string::npos);

    // newcmd.arb, read back, fits the same model; so does the model given at the console.
    const std::string written = read_file(dir + "/newcmd.arb");
    EXPECT_NE(written.find("\nLEVEL1:LOGRR+RANDOM\nLEVEL2:LOGRR=INTRCPT2+ABLAT+RANDOM/YEAR60\n"), std::string::npos);
    std::string again = written;
    again.replace(again.find("OUTPUT:first.out"), 16, "OUTPUT:again.out");
    write_file(dir + "/again.arb", again);
    ASSERT_EQ(run_arb2("bcg.mdm again.arb", dir).status, 0);
    EXPECT_EQ(estimates_part(read_file(dir + "/again.out")), estimates_part(first));

    // Statistic 1, predictor ABLAT, candidate YEAR60, no hypotheses, no residual file.
    RunResult console = run_arb2("bcg.mdm", dir, "1\n1\n0\n2\n0\nn\nn\n5000\nn\nbcg\nconsole.out\n");
    ASSERT_EQ(console.status, 0) << console.out;
    EXPECT_EQ(estimates_part(read_file(dir + "/console.out")), estimates_part(first));
    EXPECT_NE(read_file(dir + "/newcmd.arb").find("\nLEVEL1:LOGRR+RANDOM\nLEVEL2:LOGRR=INTRCPT2+ABLAT+RANDOM/YEAR60\n"),
              std::string::npos);
    std::filesystem::remove_all(dir);
}

// The level-2 file holds one record per unit taken into the analysis.
TEST(VkWholeRun, LevelTwoResidualFileHasOneRecordPerUsedUnit) {
    const std::string dir = make_temp_dir("vkres");
    VkData d = six_units();
    d.units[3].cov = {0.0};  // left out
    write_vk_mdm(dir + "/six.mdm", d);
    write_file(dir + "/m.cmd",
               "NUMIT:500\nLEVEL1:EFFECT+RANDOM\nLEVEL2:EFFECT=INTRCPT2+RANDOM/\nOUTPUT:r.out\nTITLE:x\n"
               "RESFIL2:Y/X\nRESFILTYPE:FREEFORMAT\nLEV1OLS:0\nHYPOTH:n\n");
    ASSERT_EQ(run_arb2("six.mdm m.cmd", dir).status, 0);
    std::istringstream file(read_file(dir + "/resfil2.dat"));
    std::string line;
    std::getline(file, line);
    EXPECT_EQ(line, "ID,NJ,CHIPCT,MDIST,EBEFFECT,OLEFFECT,FVEFFECT,ECEFFECT,PV11,PVC11,X");
    std::vector<std::string> ids;
    while (std::getline(file, line)) {
        std::vector<double> v;
        std::istringstream cells(line.substr(line.find(',') + 1));
        std::string c;
        while (std::getline(cells, c, ',')) v.push_back(std::atof(c.c_str()));
        ASSERT_EQ(v.size(), 10u) << line;
        ids.push_back(line.substr(0, line.find(',')));
        const VkUnit& u = d.units[ids.size() <= 3 ? ids.size() - 1 : ids.size()];
        EXPECT_EQ(v[0], 1);                              // one record of estimates
        EXPECT_NEAR(v[4], u.stats[0] - v[5], 1e-6);      // OL = b - FV
        EXPECT_NEAR(v[6], v[5] + v[3], 1e-6);            // EC = FV + EB
        EXPECT_LT(v[8], v[7]);                           // PVC leaves out the uncertainty of gamma
        EXPECT_EQ(v[9], u.l2[0]);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"          U1", "          U2", "          U3", "          U5",
                                             "          U6"}));
    std::filesystem::remove_all(dir);
}

}  // namespace
