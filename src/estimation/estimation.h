// Linear model estimation: the scratch-file store, the set-up pass with the
// per-unit OLS fits, starting values, EM iterations and the analysis driver.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "app/base.h"
#include "mdm/mdm.h"

// ---- Scratch-file store -------------------------------------------------------

/// Opens a fresh anonymous scratch file ("w+b") in the first free of 50 slots.
FILE* open_scratch();
/// Closes a scratch file, deletes it and frees its slot.
void close_scratch(FILE* f);
/// Closes and deletes every scratch file (used by the exit routine).
void close_all_scratch();
/// Writes `bytes` bytes as one block; message 5 on a short write.
void write_vector(const void* buffer, std::size_t bytes, FILE* f);
/// Reads one block; 1 on success (also for 0 bytes), 0 on a short read.
int read_vector(void* buffer, std::size_t bytes, FILE* f);
/// Writes the packed lower triangle of an n x n matrix (row stride ld).
void dwritemat(int n, const double* matrix, double* work, FILE* f, int ld);
/// Reads a packed lower triangle into both triangles of an n x n matrix; returns n.
int dreadmat(int n, double* work, double* matrix, FILE* f, int ld);

// ---- Linear two-level estimation ----------------------------------------------
//
// One analysis of an ordinary MDM file: the set-up pass over the level-1
// records (deletion, centring, weights, per-unit cross-products and OLS), the
// starting values with the Tau(0) repair, and the EM iterations under REML or
// full ML. Everything the final report needs is left in a LinearFit record.
// Matrices are row order; symmetric ones are held in full. Covariance matrices
// of gamma are kept in units of sigma-squared: multiply by sigma2 for the
// model-based covariance.

struct RunSettings;
struct ModelSpec;
struct ReportLabels;
struct RobustAccumulator;

/// One store of per-unit records: an anonymous scratch file, or memory.
struct UnitStore {
    FILE* file = nullptr;        ///< scratch file when not in memory
    std::vector<double> mem;     ///< records in unit order when in memory
    std::size_t pos = 0;         ///< read position in `mem`
    bool inMemory = false;
    bool open = false;
};

/// Why the iterations ended.
enum class StopReason { None, Converged, IterationLimit, Keyboard };

/// Rewrites one unit's data for a macro iteration of a non-linear model: from the
/// unit's kept records (nj rows of p1 raw values) and their centred design rows
/// (nj x Q; columns of coefficients that are no data variable are 0) it fills the
/// rows the pass accumulates, design rowsX (rows x Q) and outcome rowsY, already
/// multiplied by their working weights, and returns how many rows there are.
struct WorkingRewrite {
    int (*unit)(void* ctx, long j, int nj, const double* rec, int p1, const double* x, int Q,
                std::vector<double>& rowsX, std::vector<double>& rowsY) = nullptr;
    void* ctx = nullptr;
};

/// The linear engine's state and results for one analysis.
struct LinearFit {
    // -- Layout of the model, fixed for the run.
    int p1 = 0;                          ///< level-1 variables in the MDM file
    int p2 = 0;                          ///< level-2 variables in the MDM file
    int outcomeSlot = 0;                 ///< level-1 slot of the outcome
    int Q = 0;                           ///< level-1 coefficients, intercept included
    int r = 0;                           ///< random level-1 coefficients
    int F = 0;                           ///< fixed effects (gammas) as specified
    int Fe = 0;                          ///< gammas actually estimated (constrained ones tied)
    std::vector<int> coefSlot;           ///< [Q] level-1 slot of each coefficient (0 intercept)
    std::vector<int> coefSet;            ///< [Q] equation set of each coefficient (multinomial logit)
    std::vector<int> coefRandom;         ///< [Q] 1 when the coefficient has a random effect
    std::vector<int> randomCoef;         ///< [r] coefficient index of each random coefficient
    std::vector<int> coefFirstGamma;     ///< [Q] index of the coefficient's first gamma
    std::vector<int> coefNumGammas;      ///< [Q] S(q): gammas in the coefficient's equation
    std::vector<int> gammaCoef;          ///< [F] coefficient of each gamma
    std::vector<int> gammaL2Slot;        ///< [F] level-2 slot of each gamma (0 intercept)
    std::vector<int> gammaEst;           ///< [F] index of each gamma among the Fe estimated ones
    std::vector<int> gammaConstrained;   ///< [F] 1 when the gamma is in a constraint group
    std::vector<std::string> randomNames;  ///< [r] names of the random coefficients ("%8.8s")
    std::vector<std::string> randomLabels; ///< [r] index label of each random coefficient ("0", "1", ...)
    char coefLetter = 'B';               ///< B, or P for measures within persons
    bool fullML = false;                 ///< full maximum likelihood (else REML)
    bool sigma2Fixed = false;            ///< sigma2 held at a given value
    bool tauFixed = false;               ///< Tau held at its starting value
    bool weighted = false;               ///< level-1 or level-2 weights in use
    bool inMemory = false;               ///< per-unit records in memory, not on scratch files
    WorkingRewrite rewrite;              ///< non-linear runs: the working outcome and weights of each unit

    // -- Level-2 design after grand-mean centring.
    std::vector<double> l2Design;        ///< [J x (p2+1)] column 0 is 1, then the level-2 values

    // -- Counts.
    long J = 0;                          ///< level-2 units
    long N = 0;                          ///< level-1 records after run-time deletion
    long Nmdm = 0;                       ///< level-1 records stored in the MDM file
    long Jo = 0;                         ///< units with an OLS estimate
    long No = 0;                         ///< level-1 records in those units
    long conditionFailures = 0;          ///< units whose condition figure exceeded 1e6

    // -- Pooled sums from the set-up pass (estimated-gamma space, Fe).
    std::vector<double> SWXXW;           ///< [Fe x Fe] sum of w_j W_j'X_j'X_j W_j
    std::vector<double> SWXy;            ///< [Fe] sum of w_j W_j'X_j'y_j
    double yy = 0.0;                     ///< sum of w_j y_j'y_j
    double yyOls = 0.0;                  ///< y'y over the units with OLS estimates
    double sumBXy = 0.0;                 ///< sum over units with OLS of b_j'X_j'y_j
    double fixedShareSS = 0.0;           ///< part of the residual SS taken by fixed coefficients
    std::vector<double> sumVinv;         ///< [r x r] sum of (X_j'X_j)^-1 over units with OLS

    // -- Per unit (J of each).
    std::vector<int> n;                  ///< records kept
    std::vector<double> unitWeight;      ///< w_j (1 without weights; mean 1 with them)
    std::vector<double> yyUnit;          ///< y_j'y_j
    std::vector<double> ssyUnit;         ///< sum of (y - unit mean of y)^2
    std::vector<char> hasOls;            ///< 1 when the unit has an OLS estimate
    std::vector<double> bOls;            ///< [J x r] OLS coefficients; first MISSING_VALUE when none
    std::vector<double> xyRandom;        ///< [J x r] X_j'y_j of the random coefficients
    std::vector<double> wxxw;            ///< [J x Fe x Fe] W_j'X_j'X_j W_j (unweighted)
    std::vector<double> wxy;             ///< [J x Fe] W_j'X_j'y_j (unweighted)
    std::vector<double> olsResidualSS;   ///< within-unit OLS residual SS of the random part
    std::vector<double> u;               ///< [J x r] posterior means of the random effects
    std::vector<double> postDisp;        ///< [J x r x r] posterior dispersion D_j (units of sigma2)
    std::vector<double> residualSS;      ///< final (y - XW gamma - X u_j)'(...) per unit
    std::vector<double> unitScore;       ///< [J x Fe] g_j - H_j gamma - B_j u_j (robust errors)

    // -- Per-unit records (scratch files or memory), in unit order.
    UnitStore storeA;                    ///< X_j'X_j of the random coefficients, r x r packed
    UnitStore storeB;                    ///< W_j'X_j'X_j random columns, Fe x r
    UnitStore storeC;                    ///< M_j = (X_j'X_j + sigma2 Tau^-1)^-1, r x r packed
    UnitStore storeD;                    ///< (X_j'X_j)^-1, r x r packed (first MISSING_VALUE: none)
    UnitStore storeE;                    ///< X_j'y_j over all coefficients (Q), with fixed ones
    UnitStore storeG;                    ///< X_j'X_j over all coefficients, Q x Q packed

    // -- Least squares.
    std::vector<double> gammaOls;        ///< [F] pooled OLS gammas
    std::vector<double> olsCov;          ///< [F x F] SWXXW^-1 (times sigma2Ols: covariance)
    double sigma2Ols = 0.0;              ///< least-squares residual variance
    double olsLogLik = 0.0;              ///< least-squares log-likelihood
    std::vector<long> dfGamma;           ///< [F] degrees of freedom of each gamma
    double likConst = 0.0;               ///< K, subtracted from every iteration likelihood

    // -- Starting values.
    double sigma2Start = 0.0;            ///< sigma2(0)
    std::vector<double> tauStart;        ///< [r x r] Tau(0) after any repair
    std::vector<double> vbar0;           ///< [r x r] V_bar(0)
    std::vector<double> dbar0;           ///< [r x r] D_bar(0)

    // -- Current (after the run: final) estimates.
    std::vector<double> gamma;           ///< [F] fixed effects
    std::vector<double> gammaCov;        ///< [F x F] A^-1, in units of sigma2
    std::vector<double> gammaE;          ///< [Fe] the estimated gammas (constrained ones once)
    std::vector<double> gammaCovEst;     ///< [Fe x Fe] A^-1 of the estimated gammas
    std::vector<double> tau;             ///< [r x r] Tau
    std::vector<double> tauInv;          ///< [r x r] Tau^-1
    double sigma2 = 0.0;                 ///< level-1 variance
    std::vector<double> tauPrev1, tauPrev2;  ///< the two Tau values before the current one
    double sigma2Prev1 = 0.0, sigma2Prev2 = 0.0;

    // -- Standard errors of the variance components (full ML, from the
    //    Fisher information at the final estimates).
    bool haveVarianceSE = false;
    std::vector<double> tauSE;           ///< [r x r] standard errors of the Tau elements
    double sigma2SE = 0.0;               ///< standard error of sigma2
    std::vector<double> varianceCov;     ///< [(m+1) x (m+1)], m = r(r+1)/2: inverse information of
                                         ///< the Tau elements (lower triangle by rows) and sigma2

    // -- Summary of the final iteration.
    std::vector<double> reliability;     ///< [r]
    std::vector<double> chiSquare;       ///< [r] per-coefficient chi-square statistics
    std::vector<long> chiSquareDf;       ///< [r] Jo - S(q), 0 when negative
    double logLik = 0.0;                 ///< final log-likelihood (K subtracted)
    double deviance = 0.0;               ///< -2 logLik
    long numParams = 0;                  ///< estimated parameters counted by the deviance
    int iterations = 0;                  ///< iterations made
    bool converged = false;              ///< stopped on a small change of the likelihood
    StopReason stopReason = StopReason::None;
    double likHistory[5] = {0, 0, 0, 0, 0};  ///< last five likelihoods, ring by iteration % 5

    // -- Macro-iteration runs (non-linear and heterogeneous level-1 variance).
    int macroIteration = 0;              ///< macro iteration of this fit (0: a plain linear run)
    bool holdFinalBlock = false;         ///< em_iterations leaves the final iteration block to the caller
    std::vector<double> recordSigma2;    ///< [N] level-1 variance of each kept record, in units of
                                         ///< sigma2 (empty: every record has sigma2)
};

/// Settles the layout, the level-2 design (weights and centring), opens the
/// per-unit stores and sizes every array. Step 1 of the analysis.
void prepare_linear_fit(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                        FILE* out, LinearFit& fit);
/// The one pass over the level-1 records: deletion, centring, weights, cross-products,
/// the per-unit OLS fits, the stores A, B, D, E, G, the OLS report and notes.
/// `workY`, when not null, replaces the outcome record by record (kept records, in
/// order), and `workMultiplier` multiplies each record's outcome and design row
/// (the square root of a working weight); the OLS report is then left out.
void setup_pass(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                FILE* mdmFile, FILE* out, LinearFit& fit, const double* workY = nullptr,
                const double* workMultiplier = nullptr);
/// Walk over the level-1 group blocks of one analysis, with run-time deletion.
struct Level1Reader {
    GroupBlockCursor blocks;      ///< the group blocks, bounded by the file's size
    int p1 = 0;                   ///< level-1 variables per record
    long long stored = 0;         ///< records read so far, before deletion
    long long storedLimit = 0;    ///< N of the header; more stored records is a damaged file (0: no limit)
    bool deleteHere = false;      ///< records with missing values are deleted at analysis time
    std::vector<char> usedVar;    ///< [p1 + 1] 1 for a variable whose missing value deletes a record
};
/// Marks the variables the analysis uses and positions `mdmFile` at the first group block.
Level1Reader open_level1_reader(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                                const LinearFit& fit, FILE* mdmFile);
/// Reads the next unit: `rec` gets its kept records (rows of p1), `means` the unit means
/// over them; returns the records kept. Message 4 on a short or damaged block.
int read_level1_unit(Level1Reader& rd, std::vector<double>& means, std::vector<double>& rec);
/// Centre of each coefficient's predictor ([coefSlot.size()]): 0, the unit mean or the grand mean.
void level1_centres(const LinearFit& fit, const ModelSpec& model, const MdmHeader& mdm, const double* means,
                    double* centre);
/// sigma2(0), V_bar(0), D_bar(0) and Tau(0), with its checks and repair.
void compute_starting_values(RunSettings& rs, FILE* out, const ReportLabels& labels, LinearFit& fit);
/// Makes Tau(0) usable according to the FIXTAU mode, or through the console menu.
/// `sigma2` is null for V-known analyses (no sigma2 question); `makeDiagonal` asks
/// for the non-linear first step of the automatic repair. Returns the action taken.
int repair_tau0(int r, double* tau, double* tauInv, const double* dbar0, int mode,
                const ReportLabels& labels, FILE* out, bool fullOutput, double* sigma2, bool makeDiagonal);
/// Checks Tau(0) (tauInv sized and filled) and repairs it when it is no covariance
/// matrix, or shows the menu when FIXTAU 5 asks for it (FIXTAU is then cleared).
void settle_tau0(RunSettings& rs, int r, std::vector<double>& tauStart, std::vector<double>& tauInv,
                 const double* dbar0, const ReportLabels& labels, FILE* out, double* sigma2, bool makeDiagonal);
/// The iteration's likelihood on the console when the report goes to a file, and in the
/// report for the first five iterations with full output.
void report_iteration_likelihood(FILE* out, bool fullOutput, int t, double lik);
/// True when the percentage change of the likelihood, raised to `floor` when smaller in
/// size, is non-negative and within `criterion`; never at t = 1 or at the limit maxIt.
bool likelihood_converged(int t, int maxIt, double lik, double likPrev, double criterion, double floor);
/// Why the iterations end after iteration t: Converged (likelihood_converged), Keyboard
/// when a stop was typed, else None. `likPrev` takes `lik` for the next iteration.
StopReason iteration_stop(int t, int maxIt, double lik, double& likPrev, double criterion, double floor);
/// The last likelihood lines (full output) and the reason the iterations stopped.
void print_iterations_stop(FILE* out, bool fullOutput, int t, const double* likHistory, StopReason reason);
/// Steps 5-9 after the set-up pass: the zero-outcome check, pooled OLS gammas (stop 11),
/// degrees of freedom, the least-squares block and K; final results when r = 0.
void least_squares(const RunSettings& rs, FILE* out, const ReportLabels& labels, const std::string& outcome,
                   LinearFit& fit);
/// Starting values, the EM iterations and the final iteration block (r > 0), from the
/// least-squares state; `outcome` is the outcome's 8-character name for the tables.
void em_iterations(RunSettings& rs, FILE* out, const ReportLabels& labels, const std::string& outcome,
                   LinearFit& fit);
/// The final iteration's block: sigma2, Tau with its standard errors and correlations,
/// the reliabilities and the likelihood line of the last iteration.
void print_final_iteration_block(FILE* out, const RunSettings& rs, const ReportLabels& labels, const LinearFit& fit);
/// One analysis: layout, set-up pass, least squares, then the iterations up to the final
/// iteration block. The final tables of the report follow at the call site.
void run_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                  FILE* out, LinearFit& fit);
/// True when Tau inverts (tauInv filled) and passes the positive-definiteness test.
bool tau_usable(int r, const double* tau, double* tauInv);
/// Starts `acc` and adds every unit's score over all F gammas (a tied gamma's score
/// stands at the first of its group); `scale` is the level-1 variance of the scores.
void robust_add_unit_scores(const LinearFit& fit, double scale, RobustAccumulator& acc);
/// Closes the per-unit stores of the fit.
void release_linear_fit(LinearFit& fit);

/// What one maximum-likelihood refinement of a non-linear fit leaves for the combiner
/// of a plausible-value or imputation series.
struct RefinedEstimates {
    bool requested = false;     ///< the run asked for it
    bool succeeded = false;     ///< it produced results
    std::vector<double> tau;    ///< r x r
    std::vector<double> gamma;  ///< F
    std::vector<double> cov;    ///< F x F covariance of gamma
};
/// The refinements of one non-linear pass (Laplace: Laplace-8 when asked, else Laplace-6).
struct RefinedSet {
    RefinedEstimates laplace, emLaplace, agq;
};

// Per-unit record stores.
/// Positions a store at its first record.
void store_rewind(UnitStore& s);
/// Appends n doubles.
void store_write(UnitStore& s, const double* v, std::size_t n);
/// Reads the next n doubles; false on a short read.
bool store_read(UnitStore& s, double* v, std::size_t n);
/// Appends the packed lower triangle of a symmetric n x n matrix.
void store_write_sym(UnitStore& s, int n, const double* m, double* work);
/// Reads a packed triangle into both triangles of an n x n matrix.
bool store_read_sym(UnitStore& s, int n, double* m, double* work);

/// One Fisher-scoring evaluation for Tau and sigma2 under full ML (linear mode):
/// fills the information matrix (m+1 square, m = r(r+1)/2, Tau elements lower
/// triangle by rows then sigma2) and the score vector, from the stores A and B and
/// the in-memory unit sums, at the fit's current gamma, Tau and sigma2.
void fisher_information(LinearFit& fit, std::vector<double>& info, std::vector<double>& score);
/// Adds one unit's terms to the information and score: A_j = Z'Z (r x r), M_j its
/// posterior matrix, Tinv_u = Tau^-1 u_j, n_j records, rss the unit's residual SS.
void fisher_unit_terms(int r, const double* A, const double* M, const double* tinvU, double nj,
                       double rss, double sigma2, double w, double* info, double* score,
                       double* work);
/// Inverts the information; fills tauSE, sigma2SE and varianceCov. False when singular.
bool variance_standard_errors(LinearFit& fit, const std::vector<double>& info);
/// C = A B for the small dense per-unit products (A m x k, B k x n, C m x n; C
/// must not overlap A or B), kept inline because each pass makes millions of them.
inline void unit_mul(int m, int k, int n, const double* __restrict A, const double* __restrict B,
                     double* __restrict C) {
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < n; ++j) C[i * n + j] = 0.0;
        for (int l = 0; l < k; ++l) {
            const double a = A[i * k + l];
            for (int j = 0; j < n; ++j) C[i * n + j] += a * B[l * n + j];
        }
    }
}
/// C = A' B with A k x m (per-unit products, as unit_mul).
inline void unit_mul_tn(int m, int k, int n, const double* __restrict A, const double* __restrict B,
                        double* __restrict C) {
    for (int i = 0; i < m * n; ++i) C[i] = 0.0;
    for (int l = 0; l < k; ++l)
        for (int i = 0; i < m; ++i) {
            const double a = A[l * m + i];
            for (int j = 0; j < n; ++j) C[i * n + j] += a * B[l * n + j];
        }
}
/// Sandwich covariance of gamma (F x F, expanded over constraints) from the
/// per-unit scores: A^-1 (sum s_j s_j') A^-1. False when it fails pd_check.
bool robust_gamma_covariance(const LinearFit& fit, std::vector<double>& cov);
/// Spreads an Fe x Fe matrix of the estimated gammas over all F gammas.
void expand_gamma_matrix(const LinearFit& fit, const double* est, double* full);

// ---- V-known analysis -----------------------------------------------------------
//
// A V-known MDM file holds, per unit, a vector of estimates b_j with its known
// sampling covariance V_j instead of level-1 records. The level-2 model
// b_j = W_j gamma + u_j + e_j, u_j ~ (0, Tau), e_j ~ (0, V_j), is fitted by EM on
// the restricted likelihood. Every statistic the model keeps is random. Units
// whose V_j cannot be inverted are left out and listed at the end.

/// Data, state and results of one V-known analysis.
struct VKnownFit {
    // -- Layout of the model.
    int p1 = 0;                          ///< statistics in the MDM file
    int p2 = 0;                          ///< level-2 variables in the MDM file
    int p = 0;                           ///< statistics kept by the model
    int F = 0;                           ///< fixed effects
    std::vector<int> statSlot;           ///< [p] level-1 slot (1..p1) of each kept statistic
    std::vector<int> coefFirstGamma;     ///< [p] index of the statistic's first gamma
    std::vector<int> coefNumGammas;      ///< [p] S(q): gammas in the statistic's equation
    std::vector<int> gammaL2Slot;        ///< [F] level-2 slot of each gamma (0 intercept)

    // -- Units, in file order.
    long J = 0;                          ///< units in the file
    long Ju = 0;                         ///< usable units
    std::vector<NameSlot> ids;           ///< [J] group IDs
    std::vector<char> usable;            ///< [J] 1 when the unit takes part
    std::vector<double> b;               ///< [J x p] kept statistics
    std::vector<double> V;               ///< [J x p x p] their sampling covariance
    std::vector<double> Vinv;            ///< [J x p x p] its inverse (usable units)
    std::vector<double> l2Raw;           ///< [J x p2] level-2 values as stored
    std::vector<double> l2Design;        ///< [J x (p2+1)] column 0 is 1, then values after centring

    // -- Starting values.
    std::vector<double> bMean;           ///< [p] mean of b_j over usable units
    std::vector<double> vbar0;           ///< [p x p] mean of V_j
    std::vector<double> dmat0;           ///< [p x p] D, dispersion about the OLS prediction
    std::vector<double> gammaOls;        ///< [F] (sum W'W)^-1 sum W'b
    std::vector<double> tauStart;        ///< [p x p] Tau(0) after any repair

    // -- Current (after the run: final) estimates.
    std::vector<double> gamma;           ///< [F]
    std::vector<double> gammaCov;        ///< [F x F] A^-1, the covariance of gamma
    std::vector<long> dfGamma;           ///< [F]
    std::vector<double> tau;             ///< [p x p]
    std::vector<double> tauInv;          ///< [p x p]
    std::vector<double> tauPrev1, tauPrev2;  ///< the two Tau values before the current one
    std::vector<double> u;               ///< [J x p] EB residuals beta*_j - W_j gamma
    std::vector<double> betaStar;        ///< [J x p] EB estimates
    std::vector<double> postDisp;        ///< [J x p x p] posterior dispersion D_j
    std::vector<double> meanDisp;        ///< [p x p] sum D_j / Ju of the last iteration
    std::vector<double> meanOuter;       ///< [p x p] sum u_j u_j' / Ju of the last iteration

    // -- Summary.
    std::vector<double> reliability;     ///< [p]
    std::vector<double> chiSquare;       ///< [p]
    double logLik = 0.0;
    long numParams = 0;
    int iterations = 0;
    bool converged = false;
    StopReason stopReason = StopReason::None;
    double likHistory[5] = {0, 0, 0, 0, 0};  ///< last five likelihoods, ring by iteration % 5
};

/// Kept statistics (the model's level-1 terms) and the gammas of each.
void vknown_layout(const ModelSpec& model, const MdmHeader& mdm, VKnownFit& fit);
/// Reads every unit record, drops the unused statistics, inverts V_j, sets the
/// usable flags and centres the level-2 predictors marked for it.
void vknown_read_units(const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, VKnownFit& fit);
/// J - S(0) for the first statistic's gammas, (J - S(q)) / (m - 1) for the others.
void vknown_degrees_of_freedom(VKnownFit& fit);
/// Starting values and Tau(0), with the Tau(0) repair; the report lines when `out`.
void vknown_starting_values(RunSettings& rs, FILE* out, const ReportLabels& labels, VKnownFit& fit);
/// One EM iteration at the current Tau (tauInv must hold its inverse): gamma, its
/// covariance, EB residuals, dispersions and the new Tau. `loglik` gets the
/// likelihood at the Tau the iteration started from. Returns 0, or 11 when
/// V_j + Tau or the gamma information matrix is singular (nothing usable then).
int vknown_em_step(VKnownFit& fit, double& loglik);
/// Reliabilities and chi-square statistics at the final estimates.
void vknown_final_pass(VKnownFit& fit);
/// Starting values, the EM iterations and the final iteration block.
void fit_vknown(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                VKnownFit& fit);
/// Row j of a V-known unit's level-2 design: W_j (p x F), block-diagonal by statistic.
void vknown_unit_design(const VKnownFit& fit, long j, double* W);

// ---- Labels of the report -------------------------------------------------------

/// Fills the labels from the model; `categories` are the outcome's category
/// labels of a multinomial or ordinal run ("1", "2", ... when none are given).
ReportLabels make_report_labels(const ModelSpec& model, const RunSettings& rs, const MdmHeader& mdm,
                                const std::vector<std::string>& categories = {});

