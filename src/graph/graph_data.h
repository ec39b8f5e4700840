// The graph data file as arb2-graph reads it: every field of the file, with
// the bounds of each count checked against the bytes that remain, so a short
// or damaged file gives a message instead of a wild allocation.
#pragma once

#include <string>
#include <vector>

namespace graph {

/// Version of the layout this reader knows.
inline constexpr float KNOWN_VERSION = 6.02f;
/// Value of a number that is not there.
inline constexpr double MISSING = -1e36;
/// Value of a statistic that could not be computed (MDIST, CHIPCT).
inline constexpr double NOT_COMPUTED = -99.0;

/// One level-2 unit.
struct Unit {
    std::string id;                  ///< the 12-character ID, blanks trimmed
    int n = 0;                       ///< level-1 records used
    std::vector<double> level2;      ///< [n2] values of the level-2 predictors as the model used them
    std::vector<double> ols, eb, sd; ///< [r] OLS (MISSING when none), EB coefficients, posterior SDs
    double mdist = NOT_COMPUTED, chipct = NOT_COMPUTED;
    std::vector<double> mean, min, max;  ///< [n1] level-1 predictor summaries (raw values)
};

/// One level-1 coefficient of the model block.
struct Coefficient {
    int predictor = 0;   ///< 0 the intercept, k the k-th level-1 predictor
    int random = -1;     ///< position among the random coefficients, -1 when fixed
    int centring = 0;    ///< 0 none, 1 group mean, 2 grand mean
    double centre = 0;   ///< the grand mean subtracted (centring 2)
    int numGammas = 0;   ///< gammas of its level-2 equation
};

/// The whole file.
struct Data {
    float version = 0;
    int F = 0, growth = 0, r = 0, J = 0, n1 = 0, n2 = 0;
    std::string outcome;
    std::vector<std::string> l1Names, l2Names;
    std::vector<double> gamma, gammaCov, tau;  ///< F, F x F, r x r
    double sigma2 = 0;
    std::vector<Unit> units;
    std::string title;
    std::vector<Coefficient> coefficients;
    std::vector<int> gammaLevel2;  ///< [F] 0 the intercept, k the k-th level-2 predictor
};

/// Reads a graph data file; false with a message in `error` when it cannot be used.
bool read_graph_file(const std::string& path, Data& d, std::string& error);

/// Coefficient q of unit u: its EB value when random, else W_u gamma.
double unit_coefficient(const Data& d, const Unit& u, int q);
/// Coefficient q at the mean of the units' level-2 values (the average unit).
double average_coefficient(const Data& d, int q);
/// Name of coefficient q: "INTRCPT1" or its level-1 predictor's name.
std::string coefficient_name(const Data& d, int q);

}  // namespace graph
