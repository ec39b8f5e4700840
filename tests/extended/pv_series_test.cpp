// Plausible-value runs and imputation series end to end: the averaged report
// against the pooled references, the results file's life, the names of the
// averaged report, a damaged results file and one golden averaged report.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/base.h"
#include "extended/extended.h"
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
        if (line.rfind(" Standard Error of Sigma_squared =", 0) == 0) v["sigma2_se"].push_back(std::stod(line.substr(34)));
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

// Compares every row of ref.tsv for `model`; returns the number compared.
int compare_with_references(const std::string& model, const Values& got) {
    std::ifstream ref(testsupport::data_path("pv/ref.tsv"));
    std::string name, quantity, header;
    std::size_t index;
    double value, tol;
    int compared = 0;
    std::getline(ref, header);
    while (ref >> name >> quantity >> index >> value >> tol) {
        if (name != model) continue;
        auto it = got.find(quantity);
        if (it == got.end() || index >= it->second.size()) {
            ADD_FAILURE() << model << ": " << quantity << " " << index << " not printed";
            continue;
        }
        EXPECT_NEAR(it->second[index], value, tol) << model << ": " << quantity << " " << index;
        ++compared;
    }
    return compared;
}

std::string masked(const std::string& text) {
    return std::regex_replace(text, std::regex(R"(( (?:Module|Date|Time): *)[^\n]*)"), "$1<masked>");
}

long file_size(const std::string& path) { return static_cast<long>(testsupport::read_file(path).size()); }

std::int32_t leading_int(const std::string& path) {
    const std::string bytes = testsupport::read_file(path);
    std::int32_t v = -1;
    if (bytes.size() >= 4) std::memcpy(&v, bytes.data(), 4);
    return v;
}

TEST(AveragedOutput, NameCutAtTheFirstPoint) {
    const char* cases[][2] = {{"run1.out", "run1.avg"}, {"run.1.out", "run.avg"}, {"results", "results.avg"}};
    for (auto& c : cases) EXPECT_EQ(averaged_output_name(c[0]), c[1]);
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

    const struct Series {
        const char* model;
        std::vector<const char*> runs;
        const char* averaged;
        long resultsCount;  // leading count of mixyzzy.dat after each run, -1: no file
    } series[] = {
        {"pv_reml", {"pv.mdm pv_reml.cmd"}, "pv_reml.avg", 2},
        {"pv_ml", {"pv.mdm pv_ml.cmd"}, "pv_ml.avg", 2},
        {"mi", {"-m i0 mi_1.mdm mi.cmd", "-m i1 mi_2.mdm mi.cmd", "-m i2 -e mi_3.mdm mi.cmd"}, "mi.avg", 1},
    };
    for (const Series& s : series) {
        long previousSize = 0;
        for (std::size_t k = 0; k < s.runs.size(); ++k) {
            const testsupport::RunResult r = testsupport::run_arb2(s.runs[k], work, "", tmp);
            ASSERT_EQ(r.status, 0) << s.runs[k] << "\n" << r.out;
            const bool last = k + 1 == s.runs.size();
            if (std::string(s.model) != "mi") {
                EXPECT_EQ(testsupport::read_file(mixyzzy), leftOver) << s.model;
            } else if (!last) {
                // Created by the first pass, grown by the next; the middle passes count 1 (no -e yet).
                EXPECT_EQ(leading_int(mixyzzy), s.resultsCount) << s.runs[k];
                EXPECT_GT(file_size(mixyzzy), previousSize) << s.runs[k];
                previousSize = file_size(mixyzzy);
            } else {
                EXPECT_FALSE(file_exists(mixyzzy.c_str())) << "the last pass removes the results file";
            }
        }
        const std::string report = testsupport::read_file(work + "/" + s.averaged);
        ASSERT_NE(report.find("THE AVERAGED RESULTS"), std::string::npos) << s.averaged;
        EXPECT_NE(report.find("  Output file name              = " + std::string(s.averaged) + "\n"), std::string::npos);
        EXPECT_GT(compare_with_references(s.model, read_averaged(report)), 40) << s.model;
        if (std::string(s.model) == "pv_ml") {
            // The matrix files hold the combined matrices: their diagonals are what the tables print.
            const Values printed = read_averaged(report);
            const struct { const char* file; const char* quantity; std::vector<std::size_t> at; bool root; } files[] = {
                {"gamvcpv.dat", "se", {0, 1, 2, 3, 4}, true},
                {"gamvcpvr.dat", "robust_se", {0, 1, 2, 3, 4}, true},
                {"tauvcpv.dat", "tau", {0, 2}, false},
            };
            for (const auto& f : files) {
                std::istringstream in(testsupport::read_file(work + "/" + f.file));
                std::vector<double> a;
                for (double x; in >> x;) a.push_back(x);
                ASSERT_EQ(a.size(), f.at.size() * f.at.size()) << f.file;
                for (std::size_t k = 0; k < f.at.size(); ++k) {
                    const double d = a[k * (f.at.size() + 1)];
                    EXPECT_NEAR(f.root ? std::sqrt(d) : d, printed.at(f.quantity)[f.at[k]], 1e-5) << f.file << k;
                }
            }
            for (const char* line : {"\ngamvcpv.dat, containing the variance", "\ntauvcpv.dat, containing the PV average tau"})
                EXPECT_NE(report.find(line), std::string::npos) << line;
        }
    }
    const std::string golden = testsupport::read_file(testsupport::data_path("golden/pv_mi_averaged.txt"));
    EXPECT_EQ(masked(testsupport::read_file(work + "/mi.avg")), golden);
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
        if (d.status == 4) {
            EXPECT_NE(r.out.find(" Unexpected end of file on read\n"), std::string::npos) << r.out;
        }
    }
}

}  // namespace
