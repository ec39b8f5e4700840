// Plausible-value runs and imputation series end to end: the averaged report
// against the pooled references, the results file's life, the names of the
// averaged report, a damaged results file and one golden averaged report.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/base.h"
#include "extended/extended.h"
#include "app/reference_check.h"
#include "support/test_support.h"

namespace {

using Values = std::map<std::string, std::vector<double>>;

// Every reference quantity as the averaged report prints it.
Values read_averaged(const std::string& report) {
    static const std::regex gammaRow(R"(^ +\S+, G\d+ +(\S+) +(\S+) +\S+ +(\d+) +\S+$)");
    static const std::regex matrixRow(R"(^ +\S+,B\d+((?: +\S+)+) *$)");
    static const std::regex reliabilityRow(R"(^ +\S+, B\d+ +(\S+)$)");
    static const std::regex componentRow(R"(^ +\S+(?:,| slope,) +U\d+ +\S+ +\S+ +\d+ +(\S+) +\S+$)");
    Values v;
    std::istringstream in(report.substr(report.find("THE AVERAGED RESULTS")));
    std::string line, table, matrix;
    bool leastSquares = false;
    std::smatch m;
    while (std::getline(in, line)) {
        if (line.find("Least Squares Estimates") != std::string::npos) leastSquares = true;
        if (line.find("estimates of fixed effects") != std::string::npos) table = "ls";
        if (line.find("Final estimation of fixed effects") != std::string::npos) table = "final";
        if (line.find("with robust standard errors") != std::string::npos) table += "_robust";
        if (line == " Tau") matrix = "tau";
        if (line == " Standard Errors of Tau") matrix = "tau_se";
        if (line.empty()) matrix.clear();
        if (line.rfind(" Sigma_squared =", 0) == 0) {
            v[leastSquares ? "ls_sigma2" : "sigma2"].push_back(std::stod(line.substr(16)));
            leastSquares = false;
        }
        if (line.rfind(" Standard Error of Sigma_squared =", 0) == 0)
            v["sigma2_se"].push_back(std::stod(line.substr(34)));
        if (std::regex_match(line, m, gammaRow)) {
            const std::string prefix = table.rfind("ls", 0) == 0 ? "ls_" : "";
            const bool robust = table.find("robust") != std::string::npos;
            if (!robust) v[prefix + "gamma"].push_back(std::stod(m[1]));
            v[prefix + (robust ? "robust_se" : "se")].push_back(std::stod(m[2]));
            if (prefix.empty()) v[robust ? "robust_df" : "gamma_df"].push_back(std::stod(m[3]));
        } else if (!matrix.empty() && std::regex_match(line, m, matrixRow)) {
            // Distinct elements, lower triangle by rows.
            std::istringstream row(m[1].str());
            std::vector<double>& out = v[matrix];
            const std::size_t i = out.size() == 0 ? 0 : (out.size() == 1 ? 1 : 2);
            double x;
            for (std::size_t j = 0; j <= i && row >> x; ++j) out.push_back(x);
        } else if (std::regex_match(line, m, reliabilityRow)) {
            v["reliability"].push_back(std::stod(m[1]));
        } else if (std::regex_match(line, m, componentRow)) {
            v["chisq"].push_back(std::stod(m[1]));
        }
    }
    return v;
}

TEST(AveragedOutput, NameCutAtTheFirstPoint) {
    const char* cases[][2] = {{"run1.out", "run1.avg"}, {"run.1.out", "run.avg"}, {"results", "results.avg"}};
    for (auto& c : cases) EXPECT_EQ(averaged_output_name(c[0]), c[1]);
}

TEST(AveragedOutput, BetweenFactorAndIdenticalPasses) {
    PassLayout layout;  // one gamma with complete-data df 50, kept in units of sigma2 = 2
    layout.f = 1;
    layout.blocks = {PassBlock::Linear};
    layout.completeDf = {50};
    const struct { std::vector<double> gammas; double total; long df; } cases[] = {
        {{1, 3}, 1.0 + 2 * 1.5, 1},  // M = 2: B = 2 (1/2 + 1)/1; df = trunc((1 + 1/3)^2)
        {{2, 2, 2}, 1.0, 50},        // no between part: the averaged variance and complete df
    };
    for (const auto& c : cases) {
        std::vector<std::vector<PassEstimates>> passes;
        for (double g : c.gammas) passes.push_back({PassEstimates{1, 0, 2.0, 0.0, {}, {}, {}, {g}, {0.5}, {0.5}, {}}});
        const CombinedBlock b = combine_block(passes, 0, PassBlock::Linear, layout);
        EXPECT_DOUBLE_EQ(b.total[0], c.total);
        EXPECT_DOUBLE_EQ(b.totalRobust[0], c.total);
        EXPECT_EQ(b.df[0], c.df);
    }
}

TEST(AveragedOutput, SeriesAgainstPooledReferences) {
    const std::string work = testsupport::make_temp_dir("pv-series");
    const std::string tmp = testsupport::make_temp_dir("pv-series-tmp");
    for (const char* f : {"pv/pv.mdmt", "pv/pv1.dat", "pv/pv_reml.cmd", "pv/pv_ml.cmd", "pv/mi.cmd", "pv/mi1.dat",
                          "pv/mi_1.mdmt", "pv/mi_2.mdmt", "pv/mi_3.mdmt", "hsb/hsb2.dat"})
        testsupport::copy_data(f, work);
    for (const char* t : {"pv.mdmt", "mi_1.mdmt", "mi_2.mdmt", "mi_3.mdmt"})
        ASSERT_EQ(testsupport::run_arb2(std::string("-r ") + t, work, "", tmp).status, 0) << t;
    // The imputation series writes mi.1.out's reports: mi.1 ... mi.3 and mi.avg.
    std::string cmd = testsupport::read_file(work + "/mi.cmd");
    cmd.replace(cmd.find("OUTPUT:mi.out"), 13, "OUTPUT:mi.1.out");
    testsupport::write_file(work + "/mi.cmd", cmd);
    // The full-ML run also writes the averaged matrix files.
    testsupport::write_file(work + "/pv_ml.cmd",
                            testsupport::read_file(work + "/pv_ml.cmd") + "PRINTVARIANCE-COVARIANCE:Y\n");

    // A results file left by an unfinished imputation series; plausible values leave it alone.
    const std::string mixyzzy = work + "/" + MI_RESULTS_FILE, leftOver("\x02\0\0\0left over", 13);
    testsupport::write_file(mixyzzy, leftOver);

    // Each run, the averaged report it completes (with its references), and "mixyzzy.dat" after
    // it: its size (each pass adds 636 bytes, a middle pass counts 1), -1 removed, 0 left alone.
    const struct Run { const char* args; const char* model; const char* averaged; long mixyzzy; } runs[] = {
        {"pv.mdm pv_reml.cmd", "pv_reml", "pv_reml.avg", 0},
        {"pv.mdm pv_ml.cmd", "pv_ml", "pv_ml.avg", 0},
        {"-m i0 mi_1.mdm mi.cmd", "", "", 640},
        {"-m i1 mi_2.mdm mi.cmd", "", "", 1276},
        {"-m i2 -e mi_3.mdm mi.cmd", "mi", "mi.avg", -1},
    };
    for (const Run& run : runs) {
        const testsupport::RunResult r = testsupport::run_arb2(run.args, work, "", tmp);
        ASSERT_EQ(r.status, 0) << run.args << "\n" << r.out;
        const std::string results = testsupport::read_file(mixyzzy);
        EXPECT_TRUE(run.mixyzzy != 0 || results == leftOver) << run.args;
        EXPECT_EQ(file_exists(mixyzzy.c_str()), run.mixyzzy >= 0) << run.args;
        EXPECT_TRUE(run.mixyzzy <= 0 || (static_cast<long>(results.size()) == run.mixyzzy &&
                                         results.compare(0, 4, std::string("\x01\0\0\0", 4)) == 0))
            << run.args;
        if (*run.model == '\0') continue;
        const std::string report = testsupport::read_file(work + "/" + run.averaged);
        EXPECT_NE(report.find("Output file name              = " + std::string(run.averaged) + "\n"),
                  std::string::npos);
        const Values printed = read_averaged(report);
        EXPECT_GT(refcheck::compare("pv/ref.tsv", run.model, printed, 0.0), 40) << run.model;
    }
    for (const char* pass : {"/mi.1", "/mi.2", "/mi.3"}) EXPECT_TRUE(file_exists((work + pass).c_str())) << pass;
    // The matrix files of the full-ML run hold the combined matrices whose diagonals the tables print.
    const std::string mlReport = testsupport::read_file(work + "/pv_ml.avg");
    const Values printed = read_averaged(mlReport);
    const struct { const char* file; const char* quantity; int n; bool root; } files[] = {
        {"gamvcpv.dat", "se", 5, true}, {"gamvcpvr.dat", "robust_se", 5, true}, {"tauvcpv.dat", "tau", 2, false}};
    for (const auto& f : files) {
        std::istringstream in(testsupport::read_file(work + "/" + f.file));
        std::vector<double> a;
        for (double x; in >> x;) a.push_back(x);
        ASSERT_EQ(a.size(), static_cast<std::size_t>(f.n * f.n)) << f.file;
        for (int k = 0; k < f.n; ++k) {
            const double d = a[k * (f.n + 1)];
            EXPECT_NEAR(f.root ? std::sqrt(d) : d, printed.at(f.quantity)[f.root ? k : 2 * k], 1e-5) << f.file << k;
        }
    }
    EXPECT_NE(mlReport.find("\ngamvcpv.dat, containing the variance"), std::string::npos);
    EXPECT_NE(mlReport.find("\ntauvcpv.dat, containing the PV average tau"), std::string::npos);
    testsupport::expect_golden("pv_mi_averaged.txt", testsupport::read_file(work + "/mi.avg"));
    EXPECT_TRUE(testsupport::list_dir(tmp).empty());

    // A count beyond the passes written ends the combining with the end-of-file message; with -e
    // before -m the count is 1 and the one pass combines without a between part.
    const struct Damaged { std::string bytes; const char* args; int status; } damaged[] = {
        {std::string("\x05\0\0\0", 4), "-m i4 -e mi_3.mdm mi.cmd", 4},
        {std::string("\x07\0\0\0", 4), "-e -m i4 mi_3.mdm mi.cmd", 0},
    };
    for (const Damaged& d : damaged) {
        testsupport::write_file(mixyzzy, d.bytes);
        const testsupport::RunResult r = testsupport::run_arb2(d.args, work, "", tmp);
        EXPECT_EQ(r.status, d.status) << d.args << "\n" << r.out;
        EXPECT_EQ(r.out.find(" Unexpected end of file on read\n") != std::string::npos, d.status == 4) << r.out;
    }
}

}  // namespace
