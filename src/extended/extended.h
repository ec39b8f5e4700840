// Extended analyses: the exploratory regressions of empirical Bayes residuals
// on candidate level-2 predictors, written at the end of a linear or V-known run.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct ModelSpec;
struct MdmHeader;

// ---- Exploratory analysis of potential level-2 predictors ---------------------

/// Which analysis writes the section; the heading and the coefficient labels differ.
enum class ExploratoryLayout { Linear, VKnown };

/// Most candidates one coefficient can have.
inline constexpr int MAX_EXPLORATORY_CANDIDATES = 12;
/// Candidates printed side by side in one block.
inline constexpr int EXPLORATORY_BLOCK = 6;

/// One random coefficient examined by the exploratory section.
struct ExploratoryCoefficient {
    std::string name;             ///< 8-character name as "%8.8s" prints it
    long number = 0;              ///< number printed after B
    bool slope = false;           ///< linear layout: labelled "NAME slope" (not an intercept)
    std::string category;         ///< label of its equation set (multinomial), else empty
    int residualColumn = 0;       ///< column of the residual array holding its EB residuals
    std::vector<int> candidates;  ///< level-2 slots (0 = INTRCPT2), at most 12
};

/// The per-unit data of the units the analysis used.
struct ExploratoryData {
    long J = 0;                          ///< units used
    const double* residuals = nullptr;   ///< J rows of EB residuals, row stride ldResiduals
    int ldResiduals = 0;
    const double* level2 = nullptr;      ///< J rows of level-2 values by slot (column 0 the intercept)
    int ldLevel2 = 0;
    int numL2Slots = 0;                  ///< p2 + 1: valid slots of a row of `level2`
    std::vector<std::string> l2Names;    ///< 8-character names by slot
};

/// Slope, standard error and t value of one candidate.
struct CandidateFit {
    double slope = 0.0;
    double se = 0.0;
    double t = 0.0;
};

/// Regresses the J residuals u (stride ldU) on the J values w (stride ldW) with an
/// intercept. The residual variance is SSE/(J-2), or 1e-7 when J < 3; a w without
/// variance gives the infinite or undefined values the division produces.
CandidateFit regress_on_candidate(long J, const double* u, int ldU, const double* w, int ldW);

/// The random coefficients with candidates, in model order (set by set), from the
/// model's candidate lists. Residual columns count every random coefficient, with or
/// without candidates. `categories` label the equation sets of a multinomial model.
std::vector<ExploratoryCoefficient> exploratory_coefficients(const ModelSpec& model, const MdmHeader& mdm,
                                                             ExploratoryLayout layout,
                                                             const std::vector<std::string>& categories = {});

/// Writes the "Exploratory Analysis" section; nothing when no coefficient has candidates.
void print_exploratory_analysis(FILE* out, ExploratoryLayout layout, const ExploratoryData& data,
                                const std::vector<ExploratoryCoefficient>& coefficients);

// ---- Latent variable regression ---------------------------------------------------
//
// A regression among the true level-2 coefficients: each outcome coefficient o
// on the predictor coefficients P, alpha = Tau_PP^-1 Tau_Po, with the residual
// variance Tau_oo - Tau_oP alpha and Cov(alpha) from the covariance of the Tau
// elements by the delta method.

struct LinearFit;

/// Role letters of the "LVR:" value, one per random coefficient.
inline constexpr int LVR_IGNORE = 0, LVR_OUTCOME = 1, LVR_PREDICTOR = 2;

/// The regression of one outcome coefficient.
struct LvrResult {
    int outcome = 0;                 ///< random coefficient regressed
    std::vector<int> predictors;     ///< predictor coefficients, model order
    std::vector<double> alpha;       ///< [P] regression coefficients
    std::vector<double> cov;         ///< [P x P] their covariance
    std::vector<double> se;          ///< [P] standard errors
    double residualVariance = 0.0;
    long df = 0;                     ///< J - P - 1
};

/// The regressions of every outcome coefficient in model order. `tauCov` is the m x m
/// covariance of the distinct Tau elements ((0,0),(1,0),(1,1),...; row stride ldCov).
/// Returns 0, or 1 when the roles give no outcome or no predictor, Tau_PP fails
/// pd_check or inversion, or J - P - 1 < 1.
int latent_variable_regression(int r, const double* tau, const double* tauCov, int ldCov, const int* roles,
                               long J, std::vector<LvrResult>& results);
/// The "Latent Variable Regression Results" section; names "%8.8s" and index labels per coefficient.
void print_lvr_section(FILE* out, const std::vector<LvrResult>& results, const std::vector<std::string>& names,
                       char letter, const std::vector<std::string>& labels);
/// Writes the alphas, their covariance and the residual variance of each outcome to the named file.
void write_lvr_file(const char* name, const std::vector<LvrResult>& results);
/// The whole step of a linear run: the section and "lvralpha.dat", or the "Unable" line.
void report_latent_variable_regression(FILE* out, const LinearFit& fit, const std::vector<int>& roles);
