// Test helpers for the linear engine: small data sets written as MDM files,
// the HSB data read from its fixed-format files, and hand-made models.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "support/test_support.h"

namespace estimtest {

/// One level-2 unit: its ID, level-2 values and level-1 records.
struct Unit {
    std::string id;
    std::vector<double> l2;
    std::vector<std::vector<double>> rows;
};

/// A two-level data set in memory.
struct DataSet {
    std::vector<std::string> l1Names, l2Names;
    std::vector<Unit> units;
    bool deleteNow = true;   ///< false: deletion left to analysis time
    bool hasMissing = false;
};

/// Writes `d` as an MDM file and returns its header as the reader loads it.
MdmHeader write_mdm(const std::string& path, const DataSet& d);
/// The HSB data from tests/data/hsb (160 schools, 7185 pupils).
const DataSet& hsb_data();

/// A level-1 coefficient of a hand-made model.
struct Coef {
    std::string name;                 ///< level-1 variable, or INTRCPT1
    int centering = 0;                ///< 0 none, 1 group mean, 2 grand mean
    bool random = true;
    std::vector<std::string> l2;      ///< level-2 predictors (INTRCPT2 allowed)
    std::vector<int> l2Centering;     ///< 2 for grand-mean centring, per predictor
};

/// Fills `model` for outcome and coefficients (the intercept, when wanted, first).
void make_model(const MdmHeader& mdm, const std::string& outcome, const std::vector<Coef>& coefs, ModelSpec& model);
/// Settings of the reference runs: tight criterion, no questions.
RunSettings reference_settings(bool fullML);

/// A data set written to a fresh directory, its model, and the MDM file open for reading.
struct Opened {
    std::string dir;
    MdmHeader mdm;
    ModelSpec model;
    FILE* file = nullptr;
};
/// Writes `d` as dir/d.mdm (a fresh dir when empty), builds the model for `outcome` and opens the file.
Opened open_data(const DataSet& d, const std::vector<Coef>& coefs, const std::string& outcome = "Y",
                 std::string dir = "");

/// A fitted model with its report text.
struct FitRun {
    LinearFit fit;
    std::string report;
};
/// Writes the data set to `dir` (a fresh one when empty), runs the analysis and
/// collects the report, which is the exit routine's output file so fatal messages
/// land in it too. `constraints` gives the constraint group of each gamma.
void run_fit(const DataSet& d, const std::string& outcome, const std::vector<Coef>& coefs, RunSettings rs,
             FitRun& result, const std::vector<int>& constraints = {}, const std::string& dir = "",
             bool finalReports = false);
using testsupport::console_to_stderr;
inline void set_stdin(const std::string& text) { testsupport::feed_stdin(text); }

/// A simulated data set: level-1 X, Y, WT (1), KV (1), TR (trials, 10); level-2 Z, W2 (1).
/// Y = 10 + 2 X + 0.5 Z + u0 + u1 X + e.
DataSet simple_data(int J, int n, unsigned seed = 7);
/// Random intercept and random X slope, Z on the intercept.
std::vector<Coef> simple_model();

/// The three HSB models as coefficient lists.
std::vector<Coef> hsb_null();
std::vector<Coef> hsb_rc();
std::vector<Coef> hsb_full();

}  // namespace estimtest
