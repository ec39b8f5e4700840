// The HSB models run end to end through the executable: the MDM file is built
// from the ASCII data by its template, each command file is fitted, and the
// numbers read back from the report must match the independent references.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testsupport;

namespace {

// One reference row: model, quantity, index -> value and tolerance.
struct Ref {
    double value;
    double tol;
};
using RefTable = std::map<std::string, std::map<std::string, std::map<int, Ref>>>;

RefTable load_refs(const std::vector<std::string>& files) {
    RefTable t;
    for (const auto& f : files) {
        std::istringstream in(read_file(data_path(f)));
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream row(line);
            std::string model, quantity;
            int index;
            double value, tol;
            if (row >> model >> quantity >> index >> value >> tol) t[model][quantity][index] = {value, tol};
        }
    }
    return t;
}

// Numbers read back from one report.
struct Parsed {
    std::map<std::string, std::vector<double>> q;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

// Numbers at the end of a line, after its first `skip` characters.
std::vector<double> numbers_after(const std::string& line, std::size_t skip) {
    std::vector<double> v;
    if (line.size() <= skip) return v;
    std::istringstream in(line.substr(skip));
    std::string tok;
    while (in >> tok) {
        char* end = nullptr;
        double d = std::strtod(tok.c_str(), &end);
        if (end != tok.c_str() && *end == '\0') v.push_back(d);
    }
    return v;
}

// Reads a square matrix printed under `title` (rows " NAME,Bk  v v ...").
std::vector<double> matrix_after(const std::vector<std::string>& L, std::size_t& i, int r) {
    std::vector<double> m;
    for (int row = 0; row < r && i + 1 < L.size(); ++row) {
        ++i;
        auto v = numbers_after(L[i], 13);
        for (double x : v) m.push_back(x);
    }
    return m;
}

Parsed parse_report(const std::string& text, int r) {
    Parsed p;
    const auto L = lines_of(text);
    enum { None, Final, Robust } table = None;
    bool inTable = false;
    for (std::size_t i = 0; i < L.size(); ++i) {
        const std::string& s = L[i];
        if (s.rfind(" Final estimation of fixed effects:", 0) == 0) table = Final, inTable = false;
        else if (s.rfind(" (with robust standard errors)", 0) == 0) table = Robust, inTable = false;
        else if (s.rfind("    Fixed Effect", 0) == 0) inTable = table != None;
        else if (inTable && s.rfind("    ", 0) == 0 && s.find(", G") != std::string::npos) {
            auto v = numbers_after(s, 24);
            if (v.size() >= 2) {
                p.q[table == Final ? "gamma" : "gamma_robust"].push_back(v[0]);
                p.q[table == Final ? "se" : "robust_se"].push_back(v[1]);
            }
        } else if (inTable && s.rfind(" ---", 0) == 0 && !p.q[table == Final ? "gamma" : "gamma_robust"].empty()) {
            inTable = false, table = None;
        } else if (s == " Tau") {
            p.q["tau_full"] = matrix_after(L, i, r);
        } else if (s == " Standard Errors of Tau") {
            p.q["tau_se_full"] = matrix_after(L, i, r);
        } else if (s.rfind(" Sigma_squared = ", 0) == 0) {
            p.q["sigma2_iter"] = numbers_after(s, 17);
        } else if (s.rfind(" Standard Error of Sigma_squared = ", 0) == 0) {
            p.q["sigma2_se"] = numbers_after(s, 35);
        } else if (s.find(", B") != std::string::npos && s.size() > 40 && s.rfind("  ", 0) == 0 &&
                   s.find("U") == std::string::npos && numbers_after(s, 16).size() == 1) {
            p.q["reliability"].push_back(numbers_after(s, 16)[0]);
        } else if ((s.find(",       U") != std::string::npos || s.find(" slope, U") != std::string::npos)) {
            auto v = numbers_after(s, 24);  // sd, variance, df, chi-square, p
            if (v.size() >= 4) {
                p.q["chisq_df"].push_back(v[2]);
                p.q["chisq"].push_back(v[3]);
            }
        } else if (s.rfind("  level-1,", 0) == 0) {
            auto v = numbers_after(s, 12);
            if (v.size() == 2) p.q["sigma2"] = {v[1]};
        } else if (s.rfind(" Deviance                       = ", 0) == 0) {
            p.q["deviance"] = numbers_after(s, 34);
        } else if (s.rfind(" Number of estimated parameters = ", 0) == 0) {
            p.q["npar"] = numbers_after(s, 34);
        }
    }
    // Tau as the references list it: the lower triangle by rows.
    for (const char* key : {"tau", "tau_se"}) {
        const auto& full = p.q[std::string(key) + "_full"];
        if (static_cast<int>(full.size()) != r * r) continue;
        for (int a = 0; a < r; ++a)
            for (int b = 0; b <= a; ++b) p.q[key].push_back(full[a * r + b]);
    }
    return p;
}

struct Case {
    const char* model;
    int r;  // random coefficients
};

class HsbEndToEnd : public ::testing::TestWithParam<Case> {};

TEST_P(HsbEndToEnd, ReportMatchesIndependentReferences) {
    const Case c = GetParam();
    const std::string dir = make_temp_dir("hsb-e2e");
    const std::string tmp = make_temp_dir("hsb-e2e-tmp");
    for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb.mdmt"}) copy_data(f, dir);
    copy_data(std::string("hsb/") + c.model + ".cmd", dir);

    RunResult build = run_arb2("-r hsb.mdmt", dir, "", tmp);
    ASSERT_EQ(build.status, 0) << build.out;
    ASSERT_NE(build.out.find("   7185 level-1 records have been processed"), std::string::npos) << build.out;

    RunResult fit = run_arb2(std::string("hsb.mdm ") + c.model + ".cmd", dir, "", tmp);
    ASSERT_EQ(fit.status, 0) << fit.out;
    EXPECT_TRUE(list_dir(tmp).empty()) << "scratch files left behind";

    const std::string report = read_file(dir + "/" + c.model + ".out");
    ASSERT_FALSE(report.empty());
    const Parsed p = parse_report(report, c.r);
    const RefTable refs = load_refs({"hsb/ref.tsv"});
    const auto& mine = refs.at(c.model);
    int compared = 0;
    for (const auto& [quantity, byIndex] : mine) {
        auto it = p.q.find(quantity);
        ASSERT_NE(it, p.q.end()) << c.model << ": no " << quantity << " in the report";
        for (const auto& [index, ref] : byIndex) {
            ASSERT_LT(index, static_cast<int>(it->second.size())) << c.model << " " << quantity << "[" << index << "]";
            // Printed values carry 5 or 6 decimals: allow for the rounding of the print.
            const double tol = std::max(ref.tol, 6e-6);
            EXPECT_NEAR(it->second[index], ref.value, tol) << c.model << " " << quantity << "[" << index << "]";
            ++compared;
        }
    }
    EXPECT_GE(compared, 10);

    // Every linear run leaves the command file that reproduces it.
    EXPECT_NE(read_file(dir + "/newcmd.arb").find("LEVEL1:MATHACH="), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Models, HsbEndToEnd,
                         ::testing::Values(Case{"hsb_null_reml", 1}, Case{"hsb_null_ml", 1}, Case{"hsb_rc_reml", 2},
                                           Case{"hsb_rc_ml", 2}, Case{"hsb_full_reml", 2}, Case{"hsb_full_ml", 2}),
                         [](const auto& info) { return std::string(info.param.model); });

// The tests command file adds a two-row hypothesis; its Wald statistic, model-based
// and robust, must match the references.
TEST(HsbEndToEndTests, HypothesisTestMatchesReferences) {
    const std::string dir = make_temp_dir("hsb-e2e-glh");
    for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb.mdmt", "hsb/hsb_full_tests.cmd"}) copy_data(f, dir);
    ASSERT_EQ(run_arb2("-r hsb.mdmt", dir).status, 0);
    RunResult fit = run_arb2("hsb.mdm hsb_full_tests.cmd", dir);
    ASSERT_EQ(fit.status, 0) << fit.out;
    const auto L = lines_of(read_file(dir + "/hsb_full_tests.out"));
    std::vector<double> chi, df;
    for (const auto& s : L) {
        if (s.rfind("Chi-square statistic = ", 0) == 0) chi.push_back(numbers_after(s, 23).at(0));
        if (s.rfind("Degrees of freedom   = ", 0) == 0) df.push_back(numbers_after(s, 23).at(0));
    }
    ASSERT_EQ(chi.size(), 2u) << "one model-based and one robust test";
    const RefTable refs = load_refs({"hsb/tests_ref.tsv"});
    const auto& t = refs.at("hsb_full_tests");
    EXPECT_NEAR(chi[0], t.at("glh_chisq").at(0).value, t.at("glh_chisq").at(0).tol);
    EXPECT_NEAR(chi[1], t.at("glh_chisq_robust").at(0).value, t.at("glh_chisq_robust").at(0).tol);
    EXPECT_EQ(df[0], t.at("glh_df").at(0).value);
    // The residual and matrix files it asks for are there.
    for (const char* f : {"resfil1.dat", "resfil2.dat", "gamvc.dat", "gamvcr.dat", "tauvc.dat"})
        EXPECT_FALSE(read_file(dir + "/" + f).empty()) << f;
}

}  // namespace
