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
