// Inference and reporting: the final estimates tables, general linear
// hypothesis tests, robust (sandwich) standard errors, the homogeneity test of
// the level-1 variance and the matrix files. Every print routine takes its
// numbers as explicit arrays with counts and strides plus one ReportLabels
// record, and writes to the FILE* it is given.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// ---- Names and labels ----------------------------------------------------------

/// Names, labels and model-kind flags printed by the tables; built once per run.
struct ReportLabels {
    // Notation letters (data measured within persons use P, B, R, E).
    char coefLetter = 'B';       ///< level-1 coefficient
    char fixedLetter = 'G';      ///< fixed effect
    char randomLetter = 'U';     ///< level-2 random effect
    char residualLetter = 'R';   ///< level-1 residual

    // Model kind.
    bool nonLinear = false;      ///< Bernoulli, binomial or Poisson
    bool poisson = false;        ///< event-rate instead of odds-ratio table
    bool multinomial = false;
    bool ordinal = false;
    bool vKnown = false;
    bool plausibleValues = false;     ///< outcome line lists the plausible values
    bool multipleImputation = false;  ///< outcome line lists the imputed outcomes
    std::vector<std::string> outcomeNames;  ///< 8-character names for those lines

    // Fixed effects, one entry per gamma in model order.
    int numGammas = 0;
    std::vector<std::string> gammaLabels;       ///< predictor cell, at most 29 characters
    std::vector<std::string> gammaHeadings;     ///< coefficient cell at an equation's first gamma, else empty
    std::vector<std::string> gammaGroupLabels;  ///< 12-character coefficient name at an equation's first gamma, else empty
    std::vector<std::string> gammaCategories;   ///< category of the gamma's equation set (multinomial), else empty
    std::vector<int> gammaConstrained;          ///< 1 when tied to at least one other gamma
    std::vector<int> gammaCoefficient;          ///< index into the coefficient list below

    // All level-1 coefficients over all equation sets, in model order.
    int numCoefficients = 0;
    std::vector<int> coefficientGammaCounts;    ///< gammas in each coefficient's level-2 equation

    // Random coefficients: the rows of Tau.
    int numRandom = 0;
    std::vector<std::string> randomNames;       ///< 8-character right-justified names
    std::vector<std::string> randomIndex;       ///< coefficient number as text ("0", "1", ...)
    std::vector<int> randomIsIntercept;         ///< 1 for a name beginning with INTRCPT
    std::vector<std::string> randomCategories;  ///< category label (multinomial, ordinal), else empty
    std::vector<int> randomGammaCounts;         ///< gammas in each random coefficient's equation
};

// ---- Fixed-effects tables ------------------------------------------------------

/// Which fixed-effects table is printed.
enum class FixedTableMode { StartingValues, Final, FinalRobust, LeastSquares, LeastSquaresRobust, Laplace };
/// Phase of a non-linear run, for the table titles.
enum class ModelPhase { Linear, UnitSpecific, PopulationAverage, LinearFirstStep };

/// How one fixed-effects or odds-ratio table is printed.
struct FixedTableOptions {
    FixedTableMode mode = FixedTableMode::Final;
    ModelPhase phase = ModelPhase::Linear;
    bool betweenMacro = false;   ///< non-linear run between macro iterations: shorter title
    double covScale = 1.0;       ///< turns the passed matrix into the covariance (sigma2 for the linear engine's)
    long residualDf = 0;         ///< N - F, every gamma's df in the least-squares modes
    bool perGammaDf = false;     ///< least-squares modes take df per gamma too (averaged results)
};

/// The fixed-effects table: F gammas, df per gamma, covariance (row stride ld).
void print_fixed_effects(FILE* out, const ReportLabels& L, int F, const long* df,
                         const FixedTableOptions& opt, const double* cov, const double* gamma,
                         const char* outcomeName, int ld);
/// The odds-ratio (or, for Poisson, event-rate) table with 95% intervals.
void print_odds_ratios(FILE* out, const ReportLabels& L, int F, const long* df,
                       const FixedTableOptions& opt, const double* cov, const double* gamma, int ld);

// ---- Matrices, reliabilities, variance components --------------------------------

/// A titled matrix; rows are named by rowNames (null: the random coefficients).
void print_matrix(FILE* out, const ReportLabels& L, int rows, int cols, const double* A,
                  const std::string* rowNames, const char* title, int ld);
/// An n x n matrix printed as correlations.
void print_correlations(FILE* out, const ReportLabels& L, int n, const double* A, const char* title, int ld);
/// The reliability table of the r random coefficients.
void print_reliabilities(FILE* out, const ReportLabels& L, int r, const double* reliability);
/// Adds one unit's terms d_q^2 / (sigma2 V(q,q)) to the r chi-square sums (V row stride ldV).
void add_variance_component_chi_square(int r, const double* d, const double* V, int ldV, double sigma2,
                                       double* chisq);
/// The final variance components with their chi-square tests; gammaCounts per
/// random coefficient; the level-1 line only when printSigma2.
void print_variance_components(FILE* out, const ReportLabels& L, int r, const int* gammaCounts,
                               long unitsUsed, double sigma2, bool printSigma2, const double* tau,
                               int ldTau, const double* chisq);
/// The note on reliabilities or chi-squares based on unitsUsed of J units.
void print_partial_note(FILE* out, const char* what, long unitsUsed, long J);

// ---- Deviance and model fit -------------------------------------------------------

/// Estimated parameters: r(r+1)/2, + 1 for an estimated sigma2 (or 1 + the number of
/// level-1 variance predictors when heteroPredictors >= 0), + F under full ML.
long deviance_parameter_count(int r, int F, bool fullML, bool sigma2Estimated, int heteroPredictors);
/// Deviance, parameter count and, with "DEVIANCE:"/"DF:" given, the comparison test.
void print_deviance(FILE* out, double logLikelihood, long numParams, double altDeviance, long altParams, bool fullML);
/// Homogeneous against heterogeneous level-1 variance.
void print_fit_summary(FILE* out, double logLikHomogeneous, double logLikHeterogeneous, int r, int F,
                       bool sigma2Fixed, int heteroPredictors);

// ---- Results headers ---------------------------------------------------------------

/// The kinds of results header written before a block of results.
enum class ResultsHeader {
    LinearIdentity,        ///< first linear fit of a non-linear run
    NonLinearUnitSpecific, ///< Bernoulli/binomial/Poisson, unit-specific phase
    NonLinearPopAverage,   ///< Bernoulli/binomial/Poisson, population-average phase
    Multinomial,
    Ordinal,
    HomogeneousSigma2,
    HeterogeneousSigma2,
};
/// Writes the header; `iteration` is the macro iteration where the header shows
/// one; `heteroNames` are the level-1 variance predictors (trimmed names).
void print_results_header(FILE* out, const ReportLabels& L, ResultsHeader kind, int iteration,
                          const std::vector<std::string>& heteroNames = {});
/// " ITERATION %d" line of the heterogeneous-variance results.
void print_iteration_line(FILE* out, int iteration);
/// " Sigma_squared = ..." line.
void print_sigma2_line(FILE* out, double sigma2);

// ---- General linear hypotheses --------------------------------------------------------

/// chi2 = (C g)' (C V C')^-1 (C g) for the q x p contrasts C (row stride p);
/// returns 0, or 1 when C V C' cannot be inverted.
int wald_chi_square(int q, int p, const double* C, const double* gamma, const double* V, int ldV,
                    double* chi2);
/// Tests every hypothesis (rows per hypothesis in hypothesisRows[24], contrast rows of
/// p values stacked in `contrasts`) against the covariance V (already in final units).
void general_linear_hypothesis(FILE* out, const ReportLabels& L, int p, const double* gamma,
                               const double* V, int ldV, const short* hypothesisRows,
                               const double* contrasts);

// ---- Robust covariance -------------------------------------------------------------------

/// Running sum B of the units' outer score products, fed in one pass over the units.
struct RobustAccumulator {
    int p = 0;
    std::vector<double> B;      ///< p x p
    std::vector<double> score;  ///< work vector of p
};
/// Starts an empty sum for p gammas.
void robust_begin(RobustAccumulator& acc, int p);
/// Adds one unit: s = g - H gamma + randomFactor Z u (H null: g is already g - H gamma;
/// Z p x q, row stride ldZ, left out when null), s = s / divisor, B += s s'. The ordinary
/// form uses randomFactor -1 and divisor sigma2 with random effects, divisor 1 without.
void robust_add_unit(RobustAccumulator& acc, const double* g, const double* H, int ldH, const double* gamma,
                     int q, const double* Z, int ldZ, const double* u, double randomFactor, double divisor);
/// R = M B M / sigma2 with M the model-based covariance (kept matrix, times sigma2 when
/// the model has random effects); R p x p dense. Returns 0, or 1 when R fails pd_check.
int robust_finish(const RobustAccumulator& acc, const double* kept, int ld, double sigma2,
                  bool randomEffects, double* R);

/// Everything the robust report needs besides the accumulated sum.
struct RobustInput {
    int p = 0;
    const double* gamma = nullptr;
    const double* kept = nullptr;     ///< covariance as the engine keeps it (units of sigma2)
    int ld = 0;
    double sigma2 = 1.0;
    bool randomEffects = true;
    const long* df = nullptr;         ///< df per gamma for the table
    FixedTableOptions table;          ///< mode FinalRobust or LeastSquaresRobust, phase
    const char* outcomeName = "";
    long numUnits = 0;                ///< J, for the small-sample warning
    const short* hypothesisRows = nullptr;  ///< null or all zero: no tests
    const double* contrasts = nullptr;
};
/// Robust covariance, its table (and odds ratios with random effects), the
/// small-sample warning and the robust hypothesis tests. R (p x p) receives the
/// robust covariance in units of sigma2; returns 0, or 1 when it cannot be computed.
int robust_covariance(FILE* out, const ReportLabels& L, const RobustInput& in, const RobustAccumulator& acc,
                      double* R);

// ---- Homogeneity of level-1 variance -------------------------------------------------------

/// H and its df from per-unit df_j and residual dispersions v_j; units with
/// df_j < 1 or v_j <= 0 are skipped. Returns 0, or 1 when H or df is not positive.
int homogeneity_statistic(int J, const long* df, const double* v, double* H, long* dfOut);
/// Prints the homogeneity test or the cannot-compute line.
void print_homogeneity_test(FILE* out, int J, const long* df, const double* v);

// ---- Matrix files ----------------------------------------------------------------------------

/// Writes n values in `format`, a line break after every 60 except the last, then a line break.
void write_matrix_row(int n, const double* values, const char* format, FILE* file);
/// Writes gamma (one row, "%15.7lf ") and scale * cov (p rows, "%15.7lE ") to the named file.
void write_gamma_file(const char* name, int p, const double* gamma, const double* cov, int ld, double scale);
/// Writes Tau (r rows, "%15.7lf "), then the m x m covariance of the distinct Tau
/// elements when tauCov is not null, then sigma2 when it is not null, to the named file.
void write_tau_file(const char* name, int r, const double* tau, int ldTau, int m, const double* tauCov,
                    const double* sigma2);

/// What the closing list of matrix files mentions.
struct MatrixFileListing {
    bool nonLinear = false;       ///< non-linear run (final population-average pass)
    bool randomEffects = true;    ///< a tau file was written
    bool fullML = false;
    bool laplaceRequested = false;  ///< a Laplace or EM-Laplace refinement
    bool laplace6 = false;
    int p = 0;                    ///< number of gammas
    bool populationAverage = true;  ///< gamvcpa.dat and gamvcpar.dat were written (not multinomial or ordinal)
};
/// The list of matrix files at the end of the report.
void print_matrix_file_listing(FILE* out, const MatrixFileListing& m);
