// PQL runs end to end through the executable: the MDM file is built from the
// ASCII data, each command file is fitted, and the unit-specific block of the
// report must match the independent references; the data faults stop with
// their own text and status; one Bernoulli report is pinned as a golden file.

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testsupport;

namespace {

struct Ref {
    double value, tol;
};

// ref.tsv rows of one model: quantity -> index -> reference.
std::map<std::string, std::map<int, Ref>> load_refs(const std::string& file, const std::string& model) {
    std::map<std::string, std::map<int, Ref>> t;
    std::istringstream in(read_file(data_path(file)));
    std::string line, m, q;
    while (std::getline(in, line)) {
        std::istringstream row(line);
        int index;
        double value, tol;
        if (row >> m >> q >> index >> value >> tol && m == model) t[q][index] = {value, tol};
    }
    return t;
}

// Text between the first line containing `from` and the next one containing `to`.
std::string block(const std::string& text, const std::string& from, const std::string& to) {
    std::size_t a = text.find(from);
    if (a == std::string::npos) return "";
    std::size_t b = text.find(to, a + from.size());
    return text.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

void PrintTo(const struct Case& c, std::ostream* os);

// gamma and se of the model-based table, tau by rows of its lower triangle.
std::map<std::string, std::vector<double>> parse_block(const std::string& text, int r) {
    std::map<std::string, std::vector<double>> p;
    std::istringstream in(block(text, " Final estimation of fixed effects:", "robust standard errors"));
    std::string line;
    const std::regex row(R"(^ {4,}\S.*?\s(-?\d+\.\d{6})\s+(\d+\.\d{6})\s+-?\d+\.\d{3}\s)");
    std::smatch mt;
    while (std::getline(in, line))
        if (std::regex_search(line, mt, row)) {
            p["gamma"].push_back(std::stod(mt[1]));
            p["se"].push_back(std::stod(mt[2]));
        }
    std::istringstream tau(block(text, "\n Tau\n", "(as correlations)"));
    std::getline(tau, line);
    std::getline(tau, line);
    for (int a = 0; a < r && std::getline(tau, line); ++a) {
        std::istringstream v(line.substr(13));
        for (int b = 0; b <= a; ++b) {
            double x;
            v >> x;
            p["tau"].push_back(x);
        }
    }
    return p;
}

// The data set's folder with its MDM file built.
std::string data_dir(const std::string& set, const std::string& tag) {
    const std::string dir = make_temp_dir(tag);
    const std::string stem = set == "contra" ? "contra" : "housing";
    for (const std::string& f : {stem + ".mdmt", stem + "1.dat", stem + "2.dat"})
        copy_data("nonlinear/" + set + "/" + f, dir);
    EXPECT_EQ(run_arb2("-r " + stem + ".mdmt", dir).status, 0);
    return dir;
}

struct Case {
    const char* set;    // folder in tests/data/nonlinear
    const char* run;    // command file
    int r;              // random coefficients
    const char* refs;   // reference file of the folder
    const char* model;  // reference rows
    const char* from;   // the block compared runs from this text to the next `to`
    const char* to;
    double sign = 1.0;  // -1: two categories as ordinal or multinomial model the other category
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.run; }

class PqlReferences : public ::testing::TestWithParam<Case> {};

TEST_P(PqlReferences, BlockMatches) {
    const Case c = GetParam();
    const std::string dir = data_dir(c.set, "pql");
    const std::string tmp = make_temp_dir("pql-tmp");
    copy_data(std::string("nonlinear/") + c.set + "/" + c.run + ".cmd", dir);
    RunResult fit = run_arb2(std::string(c.set[0] == 'c' ? "contra.mdm " : "housing.mdm ") + c.run + ".cmd", dir,
                             "", tmp);
    ASSERT_EQ(fit.status, 0) << fit.out;
    EXPECT_TRUE(list_dir(tmp).empty()) << "scratch files left behind";
    const std::string report = read_file(dir + "/" + c.run + ".out");
    auto mine = parse_block(block(report, c.from, c.to), c.r);
    // Without random effects the exact log-likelihood is on the console each macro iteration.
    const std::string lik = "The value of the likelihood function at iteration ";
    const std::size_t at = fit.out.rfind(lik);
    if (at != std::string::npos) mine["loglik"] = {std::stod(fit.out.substr(fit.out.find('=', at) + 1))};
    int compared = 0;
    for (const auto& [quantity, byIndex] : load_refs(std::string("nonlinear/") + c.set + "/" + c.refs, c.model)) {
        auto it = mine.find(quantity);
        ASSERT_NE(it, mine.end()) << quantity;
        const double sign = quantity == "gamma" ? c.sign : 1.0;
        for (const auto& [index, ref] : byIndex) {
            ASSERT_LT(index, static_cast<int>(it->second.size())) << quantity << index;
            EXPECT_NEAR(it->second[index], sign * ref.value, ref.tol + 6e-6) << c.run << " " << quantity << index;
            ++compared;
        }
    }
    EXPECT_GE(compared, 13);
}

const char* US = "Unit-Specific Model";
const char* PA = "Population Average Model";
const char* ORD = "RESULTS FOR ORDINAL";
const char* MULT = "RESULTS FOR MULTINOMIAL";

INSTANTIATE_TEST_SUITE_P(
    Data, PqlReferences,
    ::testing::Values(Case{"contra", "contra_ri_reml", 1, "ref.tsv", "contra_ri_reml_pql_us", US, PA},
                      Case{"contra", "contra_ri_ml", 1, "ref.tsv", "contra_ri_ml_pql_us", US, PA},
                      Case{"contra", "contra_rs_reml", 2, "ref.tsv", "contra_rs_reml_pql_us", US, PA},
                      Case{"contra", "contra_rs_ml", 2, "ref.tsv", "contra_rs_ml_pql_us", US, PA},
                      Case{"contra", "contra_fix_bern", 0, "glm_ref.tsv", "contra_fix_bern_pql_us", US, PA},
                      Case{"contra", "contra_fix_pois", 0, "glm_ref.tsv", "contra_fix_pois_pql_us", US, PA},
                      Case{"contra", "contra_rs_ord2", 2, "ref.tsv", "contra_rs_reml_pql_us", ORD, "(end of file)", -1.0},
                      Case{"contra", "contra_rs_mult2", 2, "ref.tsv", "contra_rs_reml_pql_us", MULT, "(end of file)", -1.0},
                      Case{"ordinal_fixed", "housing_ord", 0, "ref.tsv", "housing_ord_multi", ORD, "(end of file)"},
                      Case{"ordinal_fixed", "housing_mult", 0, "multinom_ref.tsv", "housing_mult_multi", MULT,
                           "(end of file)"}),
    [](const auto& info) { return std::string(info.param.run); });

}  // namespace
