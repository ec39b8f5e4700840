// Internal to the model folder: the exploratory reports behind the menus of
// the console dialogue and the arithmetic they rest on.
#pragma once

#include <vector>

#include "model/model.h"

struct MdmHeader;

/// Sums over one unit's usable records of an outcome y and a level-1 variable x.
struct PairSums {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
};

/// One unit's univariate coefficient and its sampling variance (valid when ok).
struct UnitEstimate {
    bool ok = false;
    double value = 0.0;
    double variance = 0.0;
};

/// One row of the exploratory ANOVA table (valid when ok).
struct AnovaRow {
    bool ok = false;
    double mean = 0.0;         ///< mean of the units' coefficients
    double variance = 0.0;     ///< parameter variance: observed minus mean sampling variance
    double reliability = 0.0;  ///< mean over units of variance / (variance + sampling variance)
    double chiSquare = 0.0;    ///< homogeneity chi-square of the coefficients
    int units = 0;             ///< units used
};

/// True when the unit's outcome varies (units without it are left out of every report).
bool outcome_varies(const PairSums& u);
/// Each unit's outcome mean with the pooled within-unit variance over n_j.
std::vector<UnitEstimate> unit_means(const std::vector<PairSums>& units);
/// Each unit's OLS slope of y on x with the pooled residual variance over its x sum of squares.
std::vector<UnitEstimate> unit_slopes(const std::vector<PairSums>& units);
/// Mean, parameter variance, reliability and chi-square of the units' estimates.
AnovaRow summarise_estimates(const std::vector<UnitEstimate>& estimates);
/// Correlations among coefficients, corrected for sampling variance; the diagonal holds
/// standard deviations. `ok` (same shape) is 0 where no value could be computed.
void coefficient_correlations(const std::vector<std::vector<UnitEstimate>>& coefs, std::vector<double>& r,
                              std::vector<int>& ok);

/// The menu's descriptive statistics: the ANOVA table of the outcome over every other
/// level-1 variable, read from the MDM file's group blocks.
void explore_means(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm);
/// The menu's correlation report among chosen univariate coefficients and level-2 variables.
void explore_correlations(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm);
