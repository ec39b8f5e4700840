// Non-linear runs end to end through the executable: the MDM file is built from
// the ASCII data, each command file is fitted, and the compared block of the
// report must match the independent references (one Bernoulli report is also
// pinned as a golden file, date and time masked); the data faults stop with
// their own text and status and leave nothing in TMP.

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/reference_check.h"
#include "resfiles/resfiles_test_util.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

// Text between the first line containing `from` and the next one containing `to`.
std::string block(const std::string& text, const std::string& from, const std::string& to) {
    std::size_t a = text.find(from);
    if (a == std::string::npos) return "";
    std::size_t b = text.find(to, a + from.size());
    return text.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

// gamma and se of the model-based (or Laplace) table, tau by rows of its lower triangle, the deviance.
std::map<std::string, std::vector<double>> parse_block(const std::string& text, int r) {
    std::map<std::string, std::vector<double>> p;
    std::smatch dev;
    if (std::regex_search(text, dev, std::regex(R"( Deviance +=\s+(\d+\.\d+))"))) p["deviance"] = {std::stod(dev[1])};
    std::istringstream in(block(text, " Final estimation of fixed effects", "robust standard errors"));
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
    const char* golden = nullptr;  // golden file of the whole report
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
    // Printed values carry 6 decimals: the tolerance is at least the rounding of the print.
    const int compared = refcheck::compare(std::string("nonlinear/") + c.set + "/" + c.refs, c.model, mine, 6e-6, 1.0, c.sign);
    EXPECT_GE(compared, 13);
    if (c.golden != nullptr) expect_golden(c.golden, report);
    // The command file is written before the analysis, in the pre-run form.
    EXPECT_NE(read_file(dir + "/newcmd.arb").find("NONLIN:"), std::string::npos);
}

const char* US = "Unit-Specific Model";
const char* PA = "Population Average Model";
const char* ORD = "RESULTS FOR ORDINAL";
const char* MULT = "RESULTS FOR MULTINOMIAL";
const char* AGQ = "Adaptive Gauss-Hermite";
const char* LAP6 = "Laplace-6 Model";
const char* LAP8 = "Laplace-8 Model";
const char* EML = "RESULTS FOR EM LAPLACE";
const char* END = "(end of file)";

INSTANTIATE_TEST_SUITE_P(
    Data, PqlReferences,
    ::testing::Values(Case{"contra", "contra_ri_reml", 1, "ref.tsv", "contra_ri_reml_pql_us", US, PA},
                      Case{"contra", "contra_ri_ml", 1, "ref.tsv", "contra_ri_ml_pql_us", US, PA, 1.0,
                           "report_pql_bernoulli.txt"},
                      Case{"contra", "contra_rs_reml", 2, "ref.tsv", "contra_rs_reml_pql_us", US, PA},
                      Case{"contra", "contra_rs_ml", 2, "ref.tsv", "contra_rs_ml_pql_us", US, PA},
                      Case{"contra", "contra_fix_bern", 0, "glm_ref.tsv", "contra_fix_bern_pql_us", US, PA},
                      Case{"contra", "contra_fix_pois", 0, "glm_ref.tsv", "contra_fix_pois_pql_us", US, PA},
                      Case{"contra", "contra_rs_ord2", 2, "ref.tsv", "contra_rs_reml_pql_us", ORD, "(end of file)", -1.0},
                      Case{"contra", "contra_rs_mult2", 2, "ref.tsv", "contra_rs_reml_pql_us", MULT, "(end of file)", -1.0},
                      Case{"contra", "contra_ri_q25", 1, "ref.tsv", "contra_ri_q25_agq", AGQ, END},
                      Case{"contra", "contra_rs_q10", 2, "ref.tsv", "contra_rs_q10_agq", AGQ, END},
                      // One point is the first-order Laplace approximation: held to the Laplace tolerances.
                      Case{"contra", "contra_ri_q1", 1, "ref.tsv", "contra_ri_lap6_laplace6", AGQ, END},
                      Case{"contra", "contra_ri_lap6", 1, "ref.tsv", "contra_ri_lap6_laplace6", LAP6, END},
                      Case{"contra", "contra_rs_lap6", 2, "ref.tsv", "contra_rs_lap6_laplace6", LAP6, END},
                      Case{"contra", "contra_ri_lap8", 1, "ref.tsv", "contra_ri_lap8_laplace8", LAP8, END},
                      Case{"contra", "contra_ri_eml", 1, "ref.tsv", "contra_ri_eml_emlaplace", EML, END},
                      Case{"contra", "contra_ri_eml4", 1, "ref.tsv", "contra_ri_eml_emlaplace", EML, END},
                      Case{"contra", "contra_rs_eml", 2, "ref.tsv", "contra_rs_eml_emlaplace", EML, END},
                      Case{"ordinal_fixed", "housing_ord", 0, "ref.tsv", "housing_ord_multi", ORD, "(end of file)"},
                      Case{"ordinal_fixed", "housing_mult", 0, "multinom_ref.tsv", "housing_mult_multi", MULT,
                           "(end of file)"}),
    [](const auto& info) { return std::string(info.param.run); });

// Columns of contra1.dat after the ID: USE AGE URBAN LC1 LC2 LC3.
enum Column { USE, AGE, URBAN, LC1, LC2, LC3 };

// The level-1 file with column values replaced: edit(record, column, value) returns the new value.
std::string edited_level1(const std::function<double(int, int, double)>& edit) {
    std::istringstream in(read_file(data_path("nonlinear/contra/contra1.dat")));
    std::string line, out;
    for (int i = 0; std::getline(in, line); ++i) {
        out += line.substr(0, 12);
        for (int c = 0; c < 6; ++c) {
            char cell[32];
            std::snprintf(cell, sizeof cell, "%14.6f", edit(i, c, std::stod(line.substr(12 + 14 * c, 14))));
            out += cell;
        }
        out += "\n";
    }
    return out;
}

// A command file: the distribution line, the level-1 equation and its level-2 lines.
std::string command(const std::string& nonlin, const std::string& level1, const std::string& level2,
                    const std::string& extra) {
    return "NONLIN:" + nonlin + "\nMICROIT:200\nSTOPMACRO:0.000001\nLEVEL1:" + level1 + "\n" + level2 +
           "FIXTAU:3\nLEV1OLS:10\nHYPOTH:n\nRESFIL1:N\nRESFIL2:N\nHETEROL1VAR:n\n" +
           "LVR:N\nLEVEL1WEIGHT:NONE\nLEVEL2WEIGHT:NONE\nVARIANCEKNOWN:NONE\nMLF:n\nCONSTRAIN:N\n" +
           "OUTPUT:fault.out\nFULLOUTPUT:N\nTITLE:fault\n" + extra;
}

const char* RI = "LEVEL2:INTRCPT1=INTRCPT2+RANDOM/\nLEVEL2:AGE=INTRCPT2/\n";
const char* RS = "LEVEL2:INTRCPT1=INTRCPT2+RANDOM/\nLEVEL2:AGE=INTRCPT2+RANDOM/\n";

struct Fault {
    const char* name;
    std::string nonlin, level1, level2;
    std::function<double(int, int, double)> edit;
    const char* text;     // expected text
    bool inReport;        // in the report, else on the console
    int status;
    std::string extra = "MACROIT:60,N\nFIXSIGMA2:1.0\n";  // further command lines
    std::string answers = "";                              // console answers
    std::function<void(const std::string&, const std::string&)> files = nullptr;  // checks (dir, report)
};

double keep(int, int, double v) { return v; }
double unclustered(int i, int c, double v) { return c == 0 ? ((i * 7919) % 13 < 5 ? 1.0 : 0.0) : v; }

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

const std::string AU = "USE=INTRCPT1+AGE";

class PqlFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(PqlFaults, StopWithTheirTextAndStatus) {
    const Fault& f = GetParam();
    const std::string dir = make_temp_dir("pql-fault");
    const std::string tmp = make_temp_dir("pql-fault-tmp");
    for (const char* name : {"contra.mdmt", "contra2.dat"}) copy_data(std::string("nonlinear/contra/") + name, dir);
    write_file(dir + "/contra1.dat", edited_level1(f.edit));
    ASSERT_EQ(run_arb2("-r contra.mdmt", dir).status, 0);
    write_file(dir + "/fault.cmd", command(f.nonlin, f.level1, f.level2, f.extra));
    RunResult run = run_arb2("contra.mdm fault.cmd", dir, f.answers, tmp);
    EXPECT_EQ(run.status, f.status) << run.out;
    const std::string where = f.inReport ? read_file(dir + "/fault.out") : run.out;
    EXPECT_NE(where.find(f.text), std::string::npos) << run.out;
    EXPECT_TRUE(list_dir(tmp).empty()) << "scratch files left behind";
    if (f.files) f.files(dir, read_file(dir + "/fault.out"));
}

// The first row of a matrix file (the gammas, or Tau's first row).
std::vector<double> first_row(const std::string& path) {
    std::istringstream in(read_file(path));
    std::string line;
    std::getline(in, line);
    std::istringstream row(line);
    std::vector<double> v;
    for (double x; row >> x;) v.push_back(x);
    return v;
}

// The matrix file's gammas are the report's unit-specific ones.
void expect_report_gammas(const std::string& dir, const std::string& report, const char* from, const char* to) {
    const std::vector<double> mine = parse_block(block(report, from, to), 0)["gamma"], file = first_row(dir + "/gamvcus.dat");
    ASSERT_EQ(mine.size(), file.size());
    for (std::size_t g = 0; g < mine.size(); ++g) EXPECT_NEAR(file[g], mine[g], 1e-6) << g;
}

// No random effects: the final fit solves the likelihood equations, so the level-1 residuals
// of every record (y - mu) sum to zero with the intercept; sigma is that of the Bernoulli outcome.
void bernoulli_files(const std::string& dir, const std::string& report) {
    const restest::TextTable t = restest::read_csv(read_file(dir + "/resfil1.dat"));
    ASSERT_EQ(t.rows.size(), 1934u);
    const std::size_t res = t.col("L1RESID"), fit = t.col("FITVAL"), sd = t.col("SIGMA");
    double sum = 0.0;
    for (const auto& row : t.rows) {
        const double mu = std::stod(row[fit]);
        sum += std::stod(row[res]);
        EXPECT_NEAR(std::stod(row[sd]), std::sqrt(mu * (1.0 - mu)), 2e-6);
    }
    EXPECT_NEAR(sum, 0.0, 1e-3);
    expect_report_gammas(dir, report, US, PA);
}

// Multinomial names carry the logit's category label (EB) or equation number (FV), Stata form.
void multinomial_files(const std::string& dir, const std::string& report) {
    expect_report_gammas(dir, report, MULT, "(end of file)");
    EXPECT_NE(report.find("gamvcus.dat, containing the unit-specific"), std::string::npos);
    EXPECT_EQ(report.find("gamvcpa.dat"), std::string::npos);
    if (std::system("command -v readstat >/dev/null 2>&1") != 0) return;
    const restest::TextTable t = restest::readstat_table(dir + "/resfil2.dta");
    for (const char* name : {"EB0INTRCPT1", "EB1INTRCPT1", "FV2AGE", "EC1INTRCPT1", "PV000"}) t.col(name);
}

const std::string FILES = "RESFIL1:Y\nRESFIL2:Y\nRESFILTYPE:FREEFORMAT\nPRINTVARIANCE-COVARIANCE:Y\n";

// After a converged EM-Laplace run both residual files describe its fit: every record's
// logit(FITVAL) is the reported gamma0 + gamma1 AGE plus its district's mode from the
// level-2 file, and gamvceml.dat holds the reported gammas.
void refined_files(const std::string& dir, const std::string& report) {
    const std::vector<double> g = parse_block(block(report, "RESULTS FOR EM LAPLACE", "(end of file)"), 0)["gamma"];
    ASSERT_EQ(g.size(), 2u);
    const std::vector<double> file = first_row(dir + "/gamvceml.dat");
    for (std::size_t k = 0; k < 2; ++k) EXPECT_NEAR(file[k], g[k], 1e-6);
    const restest::TextTable t1 = restest::read_csv(read_file(dir + "/resfil1.dat"));
    const restest::TextTable t2 = restest::read_csv(read_file(dir + "/resfil2.dat"));
    ASSERT_EQ(t1.rows.size(), 1934u);
    std::size_t eb = 0;
    while (eb < t2.names.size() && t2.names[eb].rfind("EB", 0) != 0) ++eb;
    ASSERT_LT(eb, t2.names.size());
    std::map<std::string, double> mode;
    for (const auto& row : t2.rows) mode[row[t2.col("ID")]] = std::stod(row[eb]);
    std::istringstream l1(read_file(data_path("nonlinear/contra/contra1.dat")));
    std::string id;
    double c[6];
    double worst = 0.0;
    for (const auto& row : t1.rows) {
        ASSERT_TRUE(l1 >> id >> c[0] >> c[1] >> c[2] >> c[3] >> c[4] >> c[5]);
        const double mu = std::stod(row[t1.col("FITVAL")]);
        worst = std::max(worst, std::fabs(std::log(mu / (1 - mu)) - mode[row[t1.col("L2ID")]] - g[0] - g[1] * c[AGE]));
    }
    EXPECT_LT(worst, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(
    Contra, PqlFaults,
    ::testing::Values(
        Fault{"BernoulliAboveOne", "BERNOULLI", AU, RI, [](int i, int c, double v) { return i == 3 && c == USE ? 2.0 : v; },
              "\nPlease check your data.  The outcome variable      USE must be between 0 and 1.\n\n", true, 0},
        Fault{"BernoulliAllZero", "BERNOULLI", AU, RI, [](int, int c, double v) { return c == USE ? 0.0 : v; },
              "\nThe outcome variable must have values between 0 and 1.\n", true, 0},
        Fault{"PoissonNegative", "POISSON", AU, RI, [](int i, int c, double v) { return i == 3 && c == USE ? -1.0 : v; },
              "The outcome variable      USE must be non-negative.\n\n", true, 0},
        Fault{"AboveTrials", "BINOMIAL,LC3", AU, RI,
              [](int i, int c, double v) { return c == LC3 ? 1.0 : i == 5 && c == USE ? 2.0 : v; },
              "\nError: the outcome must be less than or equal to the number of trials.\n", false, 0},
        Fault{"TrialsZero", "BINOMIAL,LC3", AU, RI, keep,
              "\nError: the outcome must be greater than or equal to 0.0, and the\nnumber of trials must be greater "
              "than 0.0\n", false, 0},
        Fault{"ExposureZero", "POISSON,LC3", AU, RI, keep,
              "\nError: the outcome must be greater than or equal to 0.0, and the\nexposure must be greater than 0.0\n",
              false, 0},
        Fault{"TrialsInModel", "BINOMIAL,LC3", "USE=INTRCPT1+LC3", "LEVEL2:INTRCPT1=INTRCPT2+RANDOM/\nLEVEL2:LC3=INTRCPT2/\n",
              keep, " The binomial count variable is also used in the model!\n", false, 0},
        Fault{"MacroLimitStops", "BERNOULLI", AU, RI, keep,
              "\nWARNING: the macro iterations were stopped prior to convergence.\nYou may want to re-run the "
              "analysis with a higher number of macro iterations.\n", true, 0, "MACROIT:3,N\nFIXSIGMA2:1.0\n"},
        Fault{"MacroLimitGoesOn", "BERNOULLI", AU, RI, keep, "Setting number of macro iterations to 10000.\n\n", false, 0,
              "MACROIT:3,Y\nFIXSIGMA2:1.0\n"},
        Fault{"MacroLimitAsks", "BERNOULLI", AU, RI, keep, "WARNING: the macro iterations were stopped", true, 0,
              "MACROIT:3\nFIXSIGMA2:1.0\n", "n\n"},
        Fault{"OverDispersionTaylor", "BERNOULLI", AU, RI, keep, " Sigma_squared = ", true, 0,
              "MACROIT:60,N\nTAYLOR:4,2\nPOPAVIT:3\n"},
        Fault{"BinomialRuns", "BINOMIAL,LC3", AU, RI, [](int, int c, double v) { return c == LC3 ? 2.0 : v; }, PA, true, 0},
        Fault{"PoissonExposureRuns", "POISSON,LC3", AU, RI, [](int, int c, double v) { return c == LC3 ? 1.0 + v : v; },
              " Event Rate ", true, 0},
        Fault{"MultinomialRandomRuns", "MULTINOMIAL,3", AU, std::string(RI) + "LEVEL1:" + AU + "\n" + RI,
              [](int i, int c, double v) { return c == USE ? i % 3 : v; }, "RESULTS FOR MULTINOMIAL ITERATION", true, 0,
              "MACROIT:60,N\nFIXSIGMA2:1.0\nRESFIL2:Y\nRESFILTYPE:STATA\nPRINTVARIANCE-COVARIANCE:Y\n", "",
              multinomial_files},
        Fault{"BernoulliFixedFiles", "BERNOULLI", AU, "LEVEL2:INTRCPT1=INTRCPT2/\nLEVEL2:AGE=INTRCPT2/\n", keep,
              "The above files have been created", true, 0, "MACROIT:60,N\nFIXSIGMA2:1.0\n" + FILES, "", bernoulli_files},
        // AGE separates the outcome completely and spans +-36, so the logits of its extreme
        // records pass 40 from the early macro iterations on.
        Fault{"RunawayPredictor", "BERNOULLI", AU, RI,
              [](int, int c, double v) {
                  static double use = 0.0;
                  if (c == USE) use = v;
                  return c == AGE ? (use == 1.0 ? 1.0 + std::fabs(v) : -1.0 - std::fabs(v)) : v;
              },
              "ARB2 cannot estimate the model you have specified.\n", false, 0},
        // Without THOLD2 both cumulative logits are the same, so the working values' covariance is singular.
        Fault{"OrdinalSingularW", "ORDINAL,3", AU, RI, [](int i, int c, double v) { return c == USE ? i % 3 : v; },
              "W(0) is singular or not positive-definite. Unable to continue", false, 20},
        Fault{"FewerCategories", "MULTINOMIAL,3", AU, RI, keep, "There are less than the specified 3 categories of      USE!\n",
              false, 0},
        Fault{"MoreCategories", "ORDINAL,3", "AGE=INTRCPT1+URBAN", "LEVEL2:INTRCPT1=INTRCPT2/\nLEVEL2:URBAN=INTRCPT2/\n", keep,
              "There are more than the specified 3 categories of      AGE!\n", false, 0},
        Fault{"AgqTooManyNodes", "BERNOULLI", AU, RS, keep,
              "Adaptive quadrature with 101 points for 2 random effects needs more than 10000 nodes per unit.\n", false,
              0, "MACROIT:60,N\nAGQ=101:Y,5\n"},
        Fault{"Laplace6Binomial", "BINOMIAL,LC3", AU, RI, keep, "LaPlace iterations may only be done on Bernoulli analyses.",
              false, 0, "MACROIT:60,N\nLAPLACE6:Y,5\n"},
        Fault{"EmLaplaceBinomialGoesOn", "BINOMIAL,LC3", AU, RI, [](int, int c, double v) { return c == LC3 ? 2.0 : v; },
              "EM LaPlace iterations cannot be done on Binomial analyses.", false, 0, "MACROIT:60,N\nLAPLACE:Y,5\n"},
        Fault{"AgqBinomialRuns", "BINOMIAL,LC3", AU, RI, [](int, int c, double v) { return c == LC3 ? 2.0 : v; },
              "LOGIT LINK FUNCTION: Adaptive Gauss-Hermite Quadrature (7 points)", true, 0, "MACROIT:60,N\nAGQ=7:Y,20\n"},
        Fault{"AgqPoissonExposureRuns", "POISSON,LC3", AU, RI, [](int, int c, double v) { return c == LC3 ? 1.0 + v : v; },
              "LOG LINK FUNCTION: Adaptive Gauss-Hermite Quadrature (5 points)", true, 0, "MACROIT:60,N\nAGQ=5:Y,20\n"},
        // USE drawn without regard to district: the intercept variance's maximum is at 0, so
        // Laplace-6 steps leave Tau unusable through every halving, and Laplace-8 at once.
        Fault{"Laplace6TauBoundaryFails", "BERNOULLI", AU, RI, unclustered,
              "\nFisher scoring is unable to compute a maximum likehihood estimate within\nthe parameter space.  Unable "
              "to produce Laplace results.\n\n", true, 0, "MACROIT:60,N\nLAPLACE6:Y,20\n"},
        Fault{"Laplace8TauBoundaryStops", "BERNOULLI", AU, RI, unclustered, "Laplace8 produced a bad tau\n", false, 0,
              "MACROIT:60,N\nLAPLACE8:Y,20\n"},
        Fault{"EmLaplaceResidualFiles", "BERNOULLI", AU, RI, keep, "RESULTS FOR EM LAPLACE-2 ITERATION", true, 0,
              "MACROIT:60,N\nLAPLACE:Y,300\nFIXSIGMA2:1.0\n" + FILES, "", refined_files},
        Fault{"EmLaplacePoissonRuns", "POISSON", AU, RI, keep, "RESULTS FOR EM LAPLACE-2 ITERATION", true, 0,
              "MACROIT:60,N\nLAPLACE:Y,50\n"},
        Fault{"EmLaplaceOrder3NeedsIntercept", "BERNOULLI", AU, RS, keep,
              "\nEM Laplace is unable to compute a maximum likehihood estimate within\nthe parameter space.  Unable to "
              "produce EM Laplace results.\n\n", true, 0, "MACROIT:60,N\nEMLAPLACE3:Y,5\n"},
        Fault{"OrdinalWithoutIntercept", "ORDINAL,2", "USE=AGE", "LEVEL2:AGE=INTRCPT2/\n", keep,
              "Level-1 intercept must be specified in ordinal runs!\n", false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// An imputation series of two non-linear passes: the contraception data, then data without
// district clustering on which Laplace-6 fails. The averaged Laplace results come from the
// one pass that produced them; EM-Laplace, which succeeds in both, is the mean of the two.
TEST(PqlSeries, RefinedResultsAverageOverTheirSuccessfulPasses) {
    const std::string dir = make_temp_dir("pql-mi");
    for (const char* name : {"contra.mdmt", "contra1.dat", "contra2.dat"}) copy_data(std::string("nonlinear/contra/") + name, dir);
    ASSERT_EQ(run_arb2("-r contra.mdmt", dir).status, 0);
    ASSERT_EQ(std::rename((dir + "/contra.mdm").c_str(), (dir + "/first.mdm").c_str()), 0);
    write_file(dir + "/contra1.dat", edited_level1(unclustered));
    ASSERT_EQ(run_arb2("-r contra.mdmt", dir).status, 0);
    std::string cmd = command("BERNOULLI", AU, RI, "MACROIT:60,N\nFIXSIGMA2:1.0\nLAPLACE6:Y,20\nLAPLACE:Y,300\n");
    cmd.replace(cmd.find("OUTPUT:fault.out"), 16, "OUTPUT:mi.1.out");
    write_file(dir + "/mi.cmd", cmd);
    ASSERT_EQ(run_arb2("-m i0 first.mdm mi.cmd", dir).status, 0);
    ASSERT_EQ(run_arb2("-m i1 -e contra.mdm mi.cmd", dir).status, 0);
    const std::string first = read_file(dir + "/mi.1"), second = read_file(dir + "/mi.2"), avg = read_file(dir + "/mi.avg");
    EXPECT_EQ(second.find(LAP6), std::string::npos);
    EXPECT_NE(avg.find("\nLaplace Results\n 1 of the 2 analyses produced these results; the averages are over those.\n"),
              std::string::npos);
    auto one = parse_block(block(first, LAP6, EML), 1), got = parse_block(block(avg, "Laplace Results", "EM Laplace"), 1);
    for (const char* q : {"gamma", "se", "tau"}) {
        ASSERT_EQ(got[q].size(), one[q].size()) << q;
        for (std::size_t k = 0; k < one[q].size(); ++k) EXPECT_NEAR(got[q][k], one[q][k], 1e-6) << q << k;
    }
    auto a = parse_block(block(first, EML, END), 1), b = parse_block(block(second, EML, END), 1);
    got = parse_block(block(avg, "EM Laplace Results", END), 1);
    ASSERT_EQ(got["gamma"].size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) EXPECT_NEAR(got["gamma"][k], (a["gamma"][k] + b["gamma"][k]) / 2, 1e-6) << k;
    EXPECT_NEAR(got["tau"][0], (a["tau"][0] + b["tau"][0]) / 2, 1e-5);
}

}  // namespace
