// Non-linear two-level models by penalised quasi-likelihood (PQL): Bernoulli,
// binomial and Poisson outcomes. Each macro iteration linearises the model at
// the current estimates and fits the linearised model with the linear engine;
// the working outcome z and the working weight w of every record are made while
// the engine's set-up pass streams the level-1 records, so no level-1 data are
// kept between macro iterations. The weight enters as a precision: each record's
// outcome and design row are multiplied by sqrt(w).
#pragma once

#include <cstdio>
#include <functional>
#include <vector>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "report/report.h"

/// Which linearisation a macro iteration uses.
enum class PqlPhase {
    FirstLinear,        ///< the raw outcome fitted as if continuous
    UnitSpecific,       ///< eta from the fixed part plus each unit's empirical Bayes effects
    PopulationAverage,  ///< eta from the fixed part alone, marginalised over the random effects
};

/// The fit state a macro iteration linearises around, and the loop's run state.
/// Later refinements start from the unit-specific part of it; they reach each
/// unit's records with open_level1_reader / read_level1_unit and level1_centres,
/// or through a WorkingRewrite hook of the linear engine's set-up pass.
struct PqlState {
    // -- The model, fixed for the run.
    int distribution = 1;         ///< 1 Bernoulli/binomial, 2 Poisson
    int outcomeSlot = 0;          ///< level-1 slot of the outcome
    int countSlot = 0;            ///< level-1 slot of the trials or exposure variable, 0 none
    int taylorOrder = 0;          ///< 0 none, 2 or 4
    int taylorStart = 6;          ///< correction only in macro iterations after this one
    const LinearFit* fit = nullptr;  ///< layout: coefficients, gammas, level-2 design
    bool categorical = false;     ///< multinomial or ordinal outcome
    bool ordinal = false;         ///< cumulative logits of an ordered outcome
    std::vector<double> categories;  ///< [M] outcome values, ascending (ordinal)
    std::vector<int> thresholdCoef;  ///< [M-2] coefficient of THOLD2, THOLD3, ... (ordinal)
    std::vector<double> startEta;    ///< [M-1] cumulative logits of the first macro iteration (ordinal)

    // -- Loop state.
    int macroIteration = 0;       ///< the macro iteration being fitted (from 1)
    PqlPhase phase = PqlPhase::FirstLinear;
    PqlPhase linearisedAt = PqlPhase::FirstLinear;  ///< kind of estimates the working data come from
    bool converged = false;

    // -- The estimates the next working data are computed from.
    std::vector<double> gamma;    ///< [F] fixed effects
    std::vector<double> tau;      ///< [r x r] Tau
    std::vector<double> u;        ///< [J x r] empirical Bayes residuals
    std::vector<double> disp;     ///< [J x r x r] posterior dispersion of each unit's effects, scale of Tau
    double sigma2 = 1.0;          ///< level-1 variance of the working model

    // -- Values at the start of the macro iteration, for the convergence test.
    std::vector<double> gammaStart, tauStart;

    // -- Kept at the end of the unit-specific phase.
    std::vector<double> gammaUS, gammaCovUS, tauUS;  ///< gammaCovUS is the covariance itself
    std::vector<double> uUS;                         ///< [J x r] empirical Bayes residuals

    // -- Sums of the last working-data pass.
    double sumY = 0.0;            ///< outcome (as fitted) over the records of the first pass
    long records = 0;             ///< records seen by the pass
    double logLik = 0.0;          ///< exact log-likelihood at the estimates (no random effects)
    bool outOfRange = false;      ///< a Bernoulli outcome outside [0, 1] or a negative Poisson one
    bool runaway = false;         ///< some |eta| passed 40
};

/// Working outcome and weights of unit j for the linear engine's set-up pass
/// (the WorkingRewrite callback; `ctx` is the PqlState).
int pql_working_unit(void* ctx, long j, int nj, const double* rec, int p1, const double* x, int Q,
                     std::vector<double>& rowsX, std::vector<double>& rowsY);
/// Working rows of unit j of an ordinal model: M-1 rows per record, its cumulative
/// logits' working values and design rows premultiplied by the inverse Cholesky factor
/// of their covariance (so that the rows carry the record's weight matrix).
int pql_working_ordinal(void* ctx, long j, int nj, const double* rec, int p1, const double* x, int Q,
                        std::vector<double>& rowsX, std::vector<double>& rowsY);
/// Working rows of unit j of a multinomial model: M-1 rows per record (logit m against
/// the last category uses equation set m), multiplied by the Cholesky factor of the
/// record's weight matrix diag(p) - p p'.
int pql_working_multinomial(void* ctx, long j, int nj, const double* rec, int p1, const double* x, int Q,
                            std::vector<double>& rowsX, std::vector<double>& rowsY);
/// Reads the outcome once: its distinct values (ascending) with their counts. Ends the
/// run when there are more or fewer than M. Labels the categories in `model`.
void categorise_outcome(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                        std::vector<double>& values, std::vector<long>& counts);
/// The multinomial or ordinal analysis: macro iterations from the category proportions
/// until the estimates settle. Returns the number of macro iterations made.
int run_categorical_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out);

/// Linear predictor of a record with centred design row x (Q values) in unit j, for the
/// state's phase (population-average adjustment included).
double pql_linear_predictor(const PqlState& st, long j, const double* x);
/// Takes the estimates of a finished linear fit into the state.
void pql_take_estimates(PqlState& st, const LinearFit& fit);
/// True when no fixed effect and no Tau element on or below the diagonal changed by more
/// than `criterion` relative to the start of the macro iteration (zero starts are skipped).
bool nonlinear_converged(const PqlState& st, const LinearFit& fit, double criterion);

/// True when a Laplace, EM-Laplace or quadrature refinement is asked for.
bool refinement_requested(const RunSettings& rs);
/// Ends the run before any iteration when the quadrature rule would exceed its node limit per unit.
void check_agq_nodes(const RunSettings& rs, int r, FILE* out);
/// The requested refinements of a finished PQL run, each from the unit-specific estimates
/// in `st`, with their reports, deviance, hypothesis tests and matrix files.
RefinedSet run_refinements(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                           FILE* out, const ReportLabels& L, const char* outcome, LinearFit& fit, const PqlState& st);

/// Called at the end of a PQL analysis with its final fit and refinements (series results).
using PqlFinish = std::function<void(const LinearFit& fit, const RefinedSet& refined)>;

/// The whole PQL analysis of a Bernoulli, binomial or Poisson model: the first linear
/// fit, the unit-specific and population-average macro iterations and their reports.
/// Returns the number of macro iterations made.
int run_pql_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                     const PqlFinish& finish = {});

/// The level-1 residual file of a Bernoulli, binomial or Poisson run from the state's
/// estimates: y - n mu, the fitted mean n mu and sqrt(sigma2 n v(mu)) of every record.
void write_pql_level1_residual_file(const PqlState& st, const LinearFit& fit, const RunSettings& rs,
                                    const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile);
/// tauvc.dat (with random effects) and gamvcus.dat from the unit-specific estimates;
/// `gammaCov` is the covariance itself.
void write_pql_unit_specific_matrices(const LinearFit& fit, const std::vector<double>& gamma,
                                      const std::vector<double>& gammaCov);
/// The level-2 residual file and the matrix files of a multinomial or ordinal run, with
/// the list of matrix files in the report; `covScale` turns the engine's gamma matrix
/// into the covariance.
void write_categorical_files(const LinearFit& fit, const RunSettings& rs, const ModelSpec& model,
                             const MdmHeader& mdm, FILE* out, double covScale);
