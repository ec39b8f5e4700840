// The reference runs end to end through the executable: each data set is made
// into an MDM file by its template or response file, each command file fitted,
// the numbers read back from the report compared with the independent
// references (within their abs_tol), and the consoles, the report, the command
// file left behind and the statistics file compared with a golden copy.

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/reference_check.h"
#include "support/test_support.h"

using namespace testsupport;

// Numbers printed after the first `skip` characters of a line.
static std::vector<double> numbers_after(const std::string& line, std::size_t skip) {
    return refcheck::numbers(line.size() > skip ? line.substr(skip) : "");
}

namespace {

// The quantities of the reference files as the report prints them.
std::map<std::string, std::vector<double>> parse_report(const std::string& text, int r) {
    std::map<std::string, std::vector<double>> q;
    std::vector<std::string> L;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) L.push_back(l);
    auto matrix = [&](std::size_t& i) {  // r rows " NAME,Bk  v v ..." under a title
        std::vector<double> m;
        for (int row = 0; row < r && i + 1 < L.size(); ++row)
            for (double x : numbers_after(L[++i], 13)) m.push_back(x);
        return m;
    };
    std::string table;  // "gamma" in the final table, "gamma_robust" in its robust twin, else ""
    bool inTable = false;
    for (std::size_t i = 0; i < L.size(); ++i) {
        const std::string s = L[i].substr(!L[i].empty() && L[i][0] == '\f' ? 1 : 0);  // a page break may lead
        auto starts = [&](const char* p) { return s.rfind(p, 0) == 0; };
        if (starts(" Final estimation of fixed effects")) table = "gamma", inTable = false;
        else if (starts(" (with robust standard errors)")) table = "gamma_robust", inTable = false;
        else if (starts("    Fixed Effect")) inTable = !table.empty();
        else if (inTable && starts("    ") && s.find(", G") != std::string::npos) {
            auto v = numbers_after(s, 24);
            if (v.size() >= 2) {
                q[table].push_back(v[0]);
                q[table == "gamma" ? "se" : "robust_se"].push_back(v[1]);
            }
        } else if (inTable && starts(" ---") && !q[table].empty()) inTable = false, table.clear();
        else if (s == " Tau") q["tau_full"] = matrix(i);
        else if (s == " Standard Errors of Tau") q["tau_se_full"] = matrix(i);
        else if (starts(" Sigma_squared = ")) q["sigma2_iter"] = numbers_after(s, 17);
        else if (starts(" Standard Error of Sigma_squared = ")) q["sigma2_se"] = numbers_after(s, 35);
        else if (s.find(", B") != std::string::npos && s.size() > 40 && starts("  ") &&
                 s.find("U") == std::string::npos && numbers_after(s, 16).size() == 1)
            q["reliability"].push_back(numbers_after(s, 16)[0]);
        else if (s.find(",       U") != std::string::npos || s.find(" slope, U") != std::string::npos) {
            auto v = numbers_after(s, 24);  // sd, variance, df, chi-square, p
            if (v.size() >= 4) q["chisq_df"].push_back(v[2]), q["chisq"].push_back(v[3]);
        } else if (starts("  level-1,")) {
            auto v = numbers_after(s, 12);
            if (v.size() == 2) q["sigma2"] = {v[1]};
        } else if (starts(" Deviance                       = ")) q["deviance"] = numbers_after(s, 34);
        else if (starts(" Number of estimated parameters = ")) q["npar"] = numbers_after(s, 34);
        else if (starts("Chi-square statistic = "))
            q[q.count("glh_chisq") ? "glh_chisq_robust" : "glh_chisq"].push_back(numbers_after(s, 23).at(0));
        else if (starts("Degrees of freedom   = ")) q["glh_df"].push_back(numbers_after(s, 23).at(0));
    }
    for (const char* key : {"tau", "tau_se"}) {  // as the references list them: the lower triangle by rows
        const auto& full = q[std::string(key) + "_full"];
        if (static_cast<int>(full.size()) == r * r)
            for (int a = 0; a < r; ++a)
                for (int b = 0; b <= a; ++b) q[key].push_back(full[a * r + b]);
    }
    return q;
}

struct RefRun {
    const char* name;     // command file <folder>/<name>.cmd, golden run_<name>.txt
    const char* folder;   // under tests/data
    std::vector<const char*> data;
    const char* make;     // template or response file that builds the MDM file
    const char* mdm;
    int r;                // random coefficients
    const char* refFile;  // rows "model quantity index value abs_tol"
};

const std::vector<const char*> HSB = {"hsb1.dat", "hsb2.dat"};

class ReferenceRun : public ::testing::TestWithParam<RefRun> {};

TEST_P(ReferenceRun, NumbersMatchTheReferencesAndTheReportItsGoldenCopy) {
    const RefRun& c = GetParam();
    const std::string dir = make_temp_dir("ref-run"), tmp = make_temp_dir("ref-run-tmp");
    const std::string folder = std::string(c.folder) + "/";
    for (const char* f : c.data) copy_data(folder + f, dir);
    copy_data(folder + c.make, dir);
    copy_data(folder + c.name + ".cmd", dir);
    RunResult build = run_arb2(std::string("-r ") + c.make, dir, "", tmp);
    ASSERT_EQ(build.status, 0) << build.out;
    RunResult fit = run_arb2(std::string(c.mdm) + " " + c.name + ".cmd", dir, "", tmp);
    ASSERT_EQ(fit.status, 0) << fit.out;
    EXPECT_TRUE(list_dir(tmp).empty()) << "scratch files left behind";
    const std::string report = read_file(dir + "/" + c.name + ".out");

    const auto got = parse_report(report, c.r);
    const int compared = refcheck::compare(c.refFile, c.name, got);
    EXPECT_GE(compared, 3);

    // Long iteration histories on the console: its first and last lines suffice.
    std::vector<std::string> console;
    std::istringstream fitOut(fit.out);
    for (std::string l; std::getline(fitOut, l);) console.push_back(l + "\n");
    std::string shortConsole;
    for (std::size_t k = 0; k < console.size(); ++k)
        if (k < 8 || k + 3 >= console.size()) shortConsole += console[k];
    expect_golden(std::string("run_") + c.name + ".txt",
                  "==== console of the MDM build\n" + build.out + "==== console of the fit\n" + shortConsole +
                      "==== report\n" + report + "==== newcmd.arb\n" + read_file(dir + "/newcmd.arb") +
                      "==== ARB2MDM.STS\n" + read_file(dir + "/ARB2MDM.STS") + "==== resfil2.dat\n" +
                      read_file(dir + "/resfil2.dat") + "==== resfil1.dat (first 3000 characters)\n" +
                      read_file(dir + "/resfil1.dat").substr(0, 3000));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ReferenceRun,
    ::testing::Values(RefRun{"hsb_null_reml", "hsb", HSB, "hsb.mdmt", "hsb.mdm", 1, "hsb/ref.tsv"},
                      RefRun{"hsb_null_ml", "hsb", HSB, "hsb.mdmt", "hsb.mdm", 1, "hsb/ref.tsv"},
                      RefRun{"hsb_rc_reml", "hsb", HSB, "hsb.mdmt", "hsb.mdm", 2, "hsb/ref.tsv"},
                      RefRun{"hsb_rc_ml", "hsb", HSB, "hsb.mdmt", "hsb.mdm", 2, "hsb/ref.tsv"},
                      RefRun{"hsb_full_reml", "hsb", HSB, "hsb.mdmt", "hsb.mdm", 2, "hsb/ref.tsv"},
                      RefRun{"hsb_full_ml", "hsb", HSB, "hsb.mdmt", "hsb.mdm", 2, "hsb/ref.tsv"},
                      RefRun{"hsb_full_tests", "hsb", HSB, "hsb.mdmt", "hsb.mdm", 2, "hsb/tests_ref.tsv"},
                      RefRun{"bcg_null", "vknown", {"bcg.dat"}, "bcg.make.txt", "bcg.mdm", 1, "vknown/ref.tsv"},
                      RefRun{"bcg_ablat", "vknown", {"bcg.dat"}, "bcg.make.txt", "bcg.mdm", 1, "vknown/ref.tsv"},
                      RefRun{"hsb2stage", "vknown", {"hsb2stage.dat"}, "hsb2stage.make.txt", "hsb2stage.mdm", 2,
                             "vknown/ref.tsv"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
