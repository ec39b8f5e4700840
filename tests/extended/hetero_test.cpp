// Heterogeneous level-1 variance end to end: the HSB run against independent
// references, its whole report against a golden copy, and the runs that must stop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/reference_check.h"
#include "support/test_support.h"

using namespace testsupport;
using refcheck::numbers;

namespace {

// A working directory with the MDM file built from the copied raw data.
std::string prepared_dir(const std::string& tag, const std::string& tmp) {
    const std::string dir = make_temp_dir(tag);
    for (const char* f : {"hetero1.dat", "hetero2.dat", "hetero.mdmt", "hetero_hsb.cmd", "hetero_const.cmd"})
        copy_data(std::string("hetero/") + f, dir);
    EXPECT_EQ(run_arb2("-r hetero.mdmt", dir, "", tmp).status, 0);
    return dir;
}

// The quantities of ref.tsv read back from the heterogeneous part of a report.
std::map<std::string, std::vector<double>> parse(const std::string& report) {
    std::map<std::string, std::vector<double>> q;
    std::istringstream in(report.substr(report.find("RESULTS FOR HETEROGENEOUS")));
    std::string s, table, matrix;
    int row = 0;
    while (std::getline(in, s)) {
        const std::vector<double> v = numbers(s.size() > 24 ? s.substr(24) : std::string());
        if (s == " Tau" || s == " Standard Errors of Tau") matrix = s == " Tau" ? "tau" : "tau_se", row = 0;
        else if (!matrix.empty() && s.find(",B") != std::string::npos) {
            for (int b = 0; b <= row && b < static_cast<int>(numbers(s).size()); ++b)
                q[matrix].push_back(numbers(s)[b]);
            ++row;
        } else if (s.empty()) matrix.clear();
        if (s.rfind(" Final estimation of fixed effects:", 0) == 0) table = "se";
        if (s.rfind(" (with robust standard errors)", 0) == 0) table = "robust_se";
        if (!table.empty() && s.find(", G") != std::string::npos && v.size() >= 2) {
            if (table == "se") q["gamma"].push_back(v[0]);
            q[table].push_back(v[1]);
        }
        if (s.find(",alpha") != std::string::npos) {
            q["alpha"].push_back(numbers(s.substr(16))[0]);
            q["alpha_se"].push_back(numbers(s.substr(16))[1]);
        }
        if (s.rfind(" Deviance                       = ", 0) == 0) q["deviance"] = numbers(s.substr(33));
        if (s.rfind(" Number of estimated parameters = ", 0) == 0) q["npar"] = numbers(s.substr(33));
        if (s.find("ous sigma_squared ") != std::string::npos) {
            q["fit_npar"].push_back(numbers(s.substr(30))[0]);
            q["fit_deviance"].push_back(numbers(s.substr(30))[1]);
        }
        if (s.rfind(" Model 1 vs Model 2", 0) == 0) {
            q["fit_chisq"] = {numbers(s.substr(19))[0]};
            q["fit_df"] = {numbers(s.substr(19))[1]};
        }
    }
    return q;
}

TEST(HeteroEndToEnd, HsbMatchesReferencesAndGoldenReport) {
    const std::string tmp = make_temp_dir("hetero-tmp");
    const std::string dir = prepared_dir("hetero", tmp);
    const RunResult run = run_arb2("hetero.mdm hetero_hsb.cmd", dir, "", tmp);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(list_dir(tmp).empty()) << "scratch files left behind";
    const std::string report = read_file(dir + "/hetero_hsb.out");
    ASSERT_NE(report.find("RESULTS FOR HETEROGENEOUS"), std::string::npos) << report;

    const auto q = parse(report);
    const int compared = refcheck::compare("hetero/ref.tsv", "hetero_hsb", q);
    EXPECT_EQ(compared, 34);

    expect_golden("report_hetero.txt", report);
}

// Runs that must stop: the message on the console (and, for the singular H, in the
// report), the exit status, and nothing left in TMP.
TEST(HeteroEndToEnd, StopsWithTheirMessages) {
    struct Case {
        const char* edit;     // sed expression applied to hetero_hsb.cmd
        const char* message;  // expected on the console
        bool inReport;
    } cases[] = {
        {"s/HETEROL1VAR:.*/HETEROL1VAR:WAVE/", "Unable to compute inv[H] for hetl1sig2", true},
        {"s/HETEROL1VAR:.*/HETEROL1VAR:INTRCPT1/", "Unable to compute inv[H] for hetl1sig2", true},
        {"/^MACROIT/d", " macroit must be specified if nonlin or heterol1var are specified.", false},
        {"s/^MICROIT:.*/NUMIT:10/", " The numit directive should not be used", false},
        {"/^HETEROL1VAR/d;1i HETEROL1VAR:SES", "heterol1var must be specified after level-1 model", false},
    };
    const std::string tmp = make_temp_dir("hetero-stop-tmp");
    const std::string dir = prepared_dir("hetero-stop", tmp);
    for (const Case& c : cases) {
        const std::string cmd = "sed -e '" + std::string(c.edit) + "' hetero_hsb.cmd > t.cmd; ";
        std::remove((dir + "/hetero_hsb.out").c_str());
        ASSERT_EQ(std::system(("cd '" + dir + "' && " + cmd).c_str()), 0);
        const RunResult run = run_arb2("hetero.mdm t.cmd", dir, "", tmp);
        EXPECT_EQ(run.status, 0) << c.edit;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.edit << "\n" << run.out;
        if (c.inReport) {
            EXPECT_NE(read_file(dir + "/hetero_hsb.out").find(c.message), std::string::npos) << c.edit;
        }
        EXPECT_TRUE(list_dir(tmp).empty()) << c.edit;
    }
}

}  // namespace
