// Latent variable regression and the graph data file end to end: the HSB LVR
// models against independent references, the refusals, lvralpha.dat and the
// write-back (golden), the graph file read back against the report's own files,
// and the pictures arb2-graph draws from it (golden), including its answers to
// files it cannot use.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "extended/extended.h"
#include "graph/graph_data.h"
#include "app/reference_check.h"
#include "support/test_support.h"

using namespace testsupport;
using refcheck::numbers;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Runs arb2-graph; status and the messages it printed.
RunResult run_graph(const std::string& args) {
    RunResult r;
    FILE* p = popen(("'" + std::string(ARB2_GRAPH_EXE) + "' " + args + " 2>&1").c_str(), "r");
    char buf[512];
    for (std::size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int st = p ? pclose(p) : -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// One directory with hsb.mdm built once for the whole suite.
class LvrGraph : public ::testing::Test {
protected:
    static std::string dir;
    static void SetUpTestSuite() {
        dir = make_temp_dir("lvr-graph");
        for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb.mdmt", "hsb/hsb_full_reml.cmd", "lvr/lvr_hsb.cmd",
                              "lvr/lvr_hsb3.cmd", "lvr/lvr_hsb3i.cmd"})
            copy_data(f, dir);
        ASSERT_EQ(run_arb2("-r hsb.mdmt", dir).status, 0);
    }
    // Fits `cmd` with `extra` keyword lines added; returns the report.
    static std::string fit(const std::string& cmd, const std::string& extra) {
        const std::string name = "run_" + cmd;
        write_file(dir + "/" + name, read_file(dir + "/" + cmd) + extra + "OUTPUT:" + name + ".out\n");
        std::remove((dir + "/lvralpha.dat").c_str());
        const RunResult r = run_arb2("hsb.mdm " + name, dir);
        EXPECT_EQ(r.status, 0) << r.out;
        return read_file(dir + "/" + name + ".out");
    }
};
std::string LvrGraph::dir;

TEST_F(LvrGraph, HsbModelsMatchReferencesAndFile) {
    const struct {
        const char* model;
        int r;
    } cases[] = {{"lvr_hsb", 2}, {"lvr_hsb3", 3}, {"lvr_hsb3i", 3}};
    std::string files;
    for (const auto& c : cases) {
        const auto L = lines_of(fit(std::string(c.model) + ".cmd", ""));
        std::map<std::string, std::vector<double>> got;
        for (std::size_t i = 0, inLvr = 0; i < L.size(); ++i) {
            const std::string& s = L[i];
            inLvr = inLvr || s == " Latent Variable Regression Results";
            if (inLvr && s.find(",B") == 12 && s.rfind("    ", 0) == 0) {
                const auto v = numbers(s.substr(16));  // alpha, SE, T-ratio, d.f., p
                got["lvr_alpha"].push_back(v.at(0));
                got["lvr_se"].push_back(v.at(1));
                got["lvr_df"] = {v.at(3)};
            }
            if (s.rfind(" Residual variance = ", 0) == 0) got["lvr_resvar"] = numbers(s.substr(21));
            if (s.rfind(" Deviance                       = ", 0) == 0) got["deviance"] = numbers(s.substr(34));
            if (s == " Tau") {
                got["tau"].clear();
                for (int a = 0; a < c.r; ++a) {
                    const auto row = numbers(L.at(i + 1 + a).substr(13));
                    for (int b = 0; b <= a; ++b) got["tau"].push_back(row.at(b));
                }
            }
        }
        EXPECT_GT(refcheck::compare("lvr/ref.tsv", c.model, got), 5) << c.model;
        // lvralpha.dat (alphas, their covariance, the residual variance) and the write-back with full ML forced on.
        files += std::string("==== ") + c.model + "\n" + read_file(dir + "/lvralpha.dat") + read_file(dir + "/newcmd.arb");
    }
    expect_golden("lvr_files.txt", files);
}

TEST_F(LvrGraph, UnablePathsWriteOneLineAndNoFile) {
    // End to end: letters without an outcome; "LVR:N" anywhere requests nothing and writes back.
    const struct {
        const char* extra;
        const char* expected;
    } runs[] = {{"LVR:P,P\n", "Unable to compute latent variable regression.\n"}, {"LVR:N\n", nullptr}};
    for (const auto& run : runs) {
        const std::string report = fit("hsb_full_reml.cmd", run.extra);
        EXPECT_EQ(report.find("Latent Variable Regression Results"), std::string::npos);
        EXPECT_EQ(report.find("Unable to compute") != std::string::npos, run.expected != nullptr);
        EXPECT_TRUE(read_file(dir + "/lvralpha.dat").empty());
    }
    EXPECT_NE(read_file(dir + "/newcmd.arb").find("LVR:N\n"), std::string::npos);
    write_file(dir + "/lvr_first.cmd", "LVR:N\n" + read_file(dir + "/newcmd.arb"));
    EXPECT_EQ(run_arb2("hsb.mdm lvr_first.cmd", dir).status, 0);

    // The computation refuses a Tau_PP it cannot use and roles without an outcome or predictor.
    const std::vector<double> cov(9, 0.01);
    const struct {
        std::vector<double> tau;
        int roles[2];
    } cases[] = {{{1, 1, 1, 1}, {LVR_PREDICTOR, LVR_OUTCOME}},    // usable: the only one that succeeds
                 {{0, 0, 0, 1}, {LVR_PREDICTOR, LVR_OUTCOME}},    // Tau_PP = 0
                 {{-1, 0, 0, 1}, {LVR_PREDICTOR, LVR_OUTCOME}},   // Tau_PP negative
                 {{1, 0.5, 0.5, 1}, {LVR_OUTCOME, LVR_IGNORE}},   // no predictor
                 {{1, 0.5, 0.5, 1}, {LVR_PREDICTOR, LVR_PREDICTOR}}};  // no outcome
    std::vector<LvrResult> res;
    for (const auto& c : cases)
        EXPECT_EQ(latent_variable_regression(2, c.tau.data(), cov.data(), 3, c.roles, 160, res), &c == cases ? 0 : 1);
    EXPECT_EQ(latent_variable_regression(2, cases[0].tau.data(), cov.data(), 3, cases[0].roles, 2, res), 1);  // no d.f.
}

TEST_F(LvrGraph, GraphFileMatchesReportFilesAndPicturesMatchGolden) {
    fit("hsb_full_reml.cmd", "GRAPHGAMMAS:hsb.grf\nRESFIL2:Y/\nRESFILTYPE:FREEFORMAT\nPRINTVARIANCE-COVARIANCE:Y\n");
    graph::Data g;
    std::string error;
    ASSERT_TRUE(graph::read_graph_file(dir + "/hsb.grf", g, error)) << error;
    EXPECT_EQ(std::vector<int>({g.F, g.r, g.J, g.growth}), std::vector<int>({6, 2, 160, 0}));
    EXPECT_EQ(g.outcome + " " + g.l1Names.at(0) + " " + g.l2Names.at(0) + " " + g.l2Names.at(1) + " " + g.title,
              "MATHACH SES SECTOR MEANSES HSB intercepts- and slopes-as-outcomes model");
    // Estimates against gamvc.dat and tauvc.dat (7 decimals, E format for the covariance).
    const auto gam = lines_of(read_file(dir + "/gamvc.dat")), tau = lines_of(read_file(dir + "/tauvc.dat"));
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(g.gamma[k], numbers(gam.at(0))[k], 1e-7);
        for (int l = 0; l < 6; ++l)
            EXPECT_NEAR(g.gammaCov[k * 6 + l], numbers(gam.at(1 + k))[l], 1e-7 * std::fabs(g.gammaCov[k * 6 + l]));
    }
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(g.tau[k], numbers(tau.at(k / 2))[k % 2], 1e-7);
    EXPECT_NEAR(g.sigma2, numbers(tau.back())[0], 1e-7);
    // Units against resfil2.dat: NJ, CHIPCT, MDIST, OLS = OL + FV, EC, PV.
    const auto rf = lines_of(read_file(dir + "/resfil2.dat"));
    ASSERT_EQ(rf.size(), 161u);
    for (int j = 0; j < 160; ++j) {
        std::string row = rf[j + 1];
        std::replace(row.begin(), row.end(), ',', ' ');
        const auto v = numbers(row);  // ID NJ CHIPCT MDIST, 3 diagnostics, EB, OL, FV, EC, PV00 PV10 PV11, PVC, SECTOR MEANSES
        const graph::Unit& u = g.units[j];
        ASSERT_EQ(v.size(), 23u);
        EXPECT_EQ(std::stod(u.id), v[0]);
        EXPECT_EQ(u.n, v[1]);
        EXPECT_NEAR(u.chipct, v[2], 1e-6);
        EXPECT_NEAR(u.mdist, v[3], 1e-6);
        for (int s = 0; s < 2; ++s) {
            EXPECT_NEAR(u.ols[s], v[9 + s] + v[11 + s], 1e-5);
            EXPECT_NEAR(u.eb[s], v[13 + s], 1e-6);
            EXPECT_NEAR(u.sd[s], std::sqrt(v[s == 0 ? 15 : 17]), 1e-5);
            EXPECT_NEAR(graph::unit_coefficient(g, u, s), u.eb[s], 1e-12);
        }
        EXPECT_TRUE(u.min[0] <= u.mean[0] && u.mean[0] <= u.max[0]);
    }

    // The pictures, then those without random coefficients: lines from the gammas, the others say why they are empty.
    const std::string pics = make_temp_dir("graph-pics");
    write_file(dir + "/ols.cmd", "LEVEL1:MATHACH=INTRCPT1+SES\nLEVEL2:INTRCPT1=INTRCPT2+SECTOR/\nLEVEL2:SES=INTRCPT2/\n"
                                 "NUMIT:100\nFIXTAU:3\nLEV1OLS:1\nRESFIL1:N\nRESFIL2:N\nHYPOTH:n\nCONSTRAIN:N\nLVR:N\n"
                                 "HETEROL1VAR:n\nMLF:n\nTITLE:t\nOUTPUT:ols.out\nGRAPHGAMMAS:ols.grf\n");
    ASSERT_EQ(run_arb2("hsb.mdm ols.cmd", dir).status, 0);
    std::string svgs;
    for (const char* grf : {"hsb.grf", "ols.grf"}) {
        const RunResult r = run_graph("'" + dir + "/" + grf + "' '" + pics + "'");
        ASSERT_EQ(r.status, 0) << r.out;
        for (const char* file : {"lines.svg", "caterpillar.svg", "qq.svg"})
            svgs += std::string("==== ") + grf + " " + file + "\n" + read_file(pics + "/" + file);
    }
    expect_golden("graph_pictures.txt", svgs);

    // Files it cannot use: a message and a non-zero status, and nothing drawn.
    const std::string good = read_file(dir + "/hsb.grf");
    std::string future = good, badCount = good;
    std::memcpy(&future[6], "\0\0\xe0\x40", 4);  // 7.0f
    std::memset(&badCount[22], 0xff, 4);          // J = -1
    const struct {
        std::string bytes;
        const char* message;
    } bad[] = {{"LEVEL1:MATHACH=INTRCPT1\n", "is not a graph data file"},
               {"GRA", "is not a graph data file"},
               {good.substr(0, 8), "is truncated or damaged"},
               {good.substr(0, 200), "is truncated or damaged"},
               {good.substr(0, good.size() / 2), "is truncated or damaged"},
               {good.substr(0, good.size() - 1), "is truncated or damaged"},
               {badCount, "is truncated or damaged"},
               {future, "version 7.00; this program reads version 6.02"}};
    for (const auto& b : bad) {
        const std::string out = make_temp_dir("graph-bad");
        write_file(out + "/bad.grf", b.bytes);
        const RunResult br = run_graph("'" + out + "/bad.grf' '" + out + "'");
        EXPECT_EQ(br.status, 1) << b.message;
        EXPECT_NE(br.out.find(b.message), std::string::npos) << br.out;
        EXPECT_EQ(list_dir(out).size(), 1u);
    }
    EXPECT_EQ(run_graph("").status, 2);
}

}  // namespace
