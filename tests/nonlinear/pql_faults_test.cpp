// Data faults of the PQL runs end to end: each stops with its own text (on the
// console or in the report) and exit status and leaves nothing in TMP; and one
// Bernoulli report, date and time masked, pinned as a golden file.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testsupport;

namespace {

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
    return "NONLIN:" + nonlin + "\nMICROIT:200\nSTOPMACRO:0.000001\nLEVEL1:" + level1 + "\n" + level2 + extra +
           "FIXTAU:3\nLEV1OLS:10\nHYPOTH:n\nRESFIL1:N\nRESFIL2:N\nHETEROL1VAR:n\n" +
           "LVR:N\nLEVEL1WEIGHT:NONE\nLEVEL2WEIGHT:NONE\nVARIANCEKNOWN:NONE\nMLF:n\nCONSTRAIN:N\n" +
           "OUTPUT:fault.out\nFULLOUTPUT:N\nTITLE:fault\n";
}

const char* RI = "LEVEL2:INTRCPT1=INTRCPT2+RANDOM/\nLEVEL2:AGE=INTRCPT2/\n";

struct Fault {
    const char* name;
    std::string nonlin, level1, level2;
    std::function<double(int, int, double)> edit;
    const char* text;     // expected text
    bool inReport;        // in the report, else on the console
    int status;
    std::string extra = "MACROIT:60,N\nFIXSIGMA2:1.0\n";  // further command lines
    std::string answers = "";                              // console answers
};

double keep(int, int, double v) { return v; }

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

// Runs that end normally, for the row table below.
const char* PA = "\nPopulation Average Model\n";
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
        Fault{"FewerCategories", "MULTINOMIAL,3", AU, RI, keep, "There are less than the specified 3 categories of      USE!\n",
              false, 0},
        Fault{"MoreCategories", "ORDINAL,3", "AGE=INTRCPT1+URBAN", "LEVEL2:INTRCPT1=INTRCPT2/\nLEVEL2:URBAN=INTRCPT2/\n", keep,
              "There are more than the specified 3 categories of      AGE!\n", false, 0},
        Fault{"OrdinalWithoutIntercept", "ORDINAL,2", "USE=AGE", "LEVEL2:AGE=INTRCPT2/\n", keep,
              "Level-1 intercept must be specified in ordinal runs!\n", false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Date, time and module lines change from run to run.
std::string masked(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        for (const char* head : {" Module:", " Date:", " Time:"})
            if (line.rfind(head, 0) == 0) line = head;
        out += line + "\n";
    }
    return out;
}

TEST(PqlGolden, BernoulliReport) {
    const std::string dir = make_temp_dir("pql-golden");
    for (const char* name : {"contra.mdmt", "contra1.dat", "contra2.dat", "contra_ri_ml.cmd"})
        copy_data(std::string("nonlinear/contra/") + name, dir);
    ASSERT_EQ(run_arb2("-r contra.mdmt", dir).status, 0);
    RunResult run = run_arb2("contra.mdm contra_ri_ml.cmd", dir);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string report = masked(read_file(dir + "/contra_ri_ml.out"));
    const std::string golden = read_file(data_path("golden/report_pql_bernoulli.txt"));
    if (golden.empty()) write_file(dir + "/report_pql_bernoulli.txt", report);
    ASSERT_FALSE(golden.empty()) << "new golden left in " << dir;
    EXPECT_EQ(golden, report);
    // The command file is written before the analysis, in the pre-run form.
    EXPECT_NE(read_file(dir + "/newcmd.arb").find("NONLIN:BERNOULLI\n"), std::string::npos);
}

}  // namespace
