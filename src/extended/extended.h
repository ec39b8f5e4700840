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

// ---- Plausible values and multiple imputation -----------------------------------
//
// Each pass of a series appends its estimates to a results file ("mixyzzy.dat"
// across the invocations of a multiple-imputation series, a scratch file within
// a plausible-value run). The file begins with an int32 count M; every pass then
// writes the blocks its layout lists, in that order, each block its fields in
// one fixed order (int32 flag, int32 count, sigma2, its SE, packed Tau, packed
// covariance of the Tau elements, reliabilities, gammas, packed model-based and
// robust gamma covariances, chi-squares), leaving out the fields the block does
// not carry. Writer and reader take the fields from the same shape, so a new
// kind of block (the non-linear unit-specific, population-average, Laplace and
// EM-Laplace results with their success flags) only adds an entry to
// `PassBlock` and its shape and heading.

struct LinearFit;
struct RunSettings;
struct ReportLabels;

/// Name of the results file of a multiple-imputation series.
inline constexpr const char* MI_RESULTS_FILE = "mixyzzy.dat";

/// The blocks one pass writes, in the order they are written and read back: least
/// squares, the final linear (or PQL) estimates, and the refinements of a non-linear run.
enum class PassBlock { LeastSquares, Linear, NonLinear, Laplace, EmLaplace, Agq };

/// Which values a block carries: element counts of its fields, 0 for a field left out.
struct BlockShape {
    bool flag = false;        ///< int32 success flag first (refined non-linear results)
    bool count = false;       ///< int32 count of units with OLS estimates
    bool sigma2 = false;
    bool sigma2SE = false;
    int tau = 0;              ///< r: packed r x r Tau
    int tauCov = 0;           ///< m = r(r+1)/2: packed covariance of the Tau elements
    int reliability = 0;      ///< r
    int gamma = 0;            ///< f: gammas and the packed f x f covariance(s)
    bool robust = true;       ///< a robust covariance follows the model-based one
    int chiSquare = 0;        ///< r
    bool covInSigma2 = false; ///< the covariances are kept in units of sigma2
};

/// Sizes and switches that fix every pass's blocks, and what the averaged
/// tables need besides the averages.
struct PassLayout {
    int f = 0;                          ///< fixed effects
    int r = 0;                          ///< random coefficients
    bool fullML = false;
    bool sigma2Fixed = false;
    std::vector<PassBlock> blocks;      ///< written in this order by every pass
    std::vector<long> completeDf;       ///< [f] complete-data df of each gamma
    long leastSquaresDf = 0;            ///< N - F
    long J = 0;                         ///< level-2 units
    std::vector<int> gammaCounts;       ///< [r] gammas in each random coefficient's equation
    bool matrixFiles = false;           ///< gamvcpv.dat, gamvcpvr.dat and tauvcpv.dat are wanted
};

/// One block of one pass; vectors the block does not carry stay empty, matrices are full.
struct PassEstimates {
    int flag = 1;
    int count = 0;
    double sigma2 = 0.0;
    double sigma2SE = 0.0;
    std::vector<double> tau;          ///< r x r
    std::vector<double> tauCov;       ///< m x m
    std::vector<double> reliability;  ///< r
    std::vector<double> gamma;        ///< f
    std::vector<double> cov;          ///< f x f model-based
    std::vector<double> robust;       ///< f x f robust
    std::vector<double> chiSquare;    ///< r
};

/// The combined results of one block over the M passes.
struct CombinedBlock {
    PassEstimates mean;               ///< means; covariances times the mean sigma2 when kept in its units
    double sigma2SE = 0.0;            ///< sqrt((1 + 1/M) B_s + mean SE^2)
    std::vector<double> tauSE;        ///< [m] sqrt of the diagonal of mean tauCov + B_tau
    std::vector<double> total;        ///< [f x f] mean model-based covariance + B
    std::vector<double> totalRobust;  ///< [f x f] mean robust covariance + B
    std::vector<long> df;             ///< [f] degrees of freedom for the model-based table
    std::vector<long> dfRobust;       ///< [f] for the robust table
};

/// Whether the averaged results close a plausible-value run or an imputation series.
enum class AveragedRun { PlausibleValues, MultipleImputation };

/// The shape of a block under a layout.
BlockShape block_shape(PassBlock block, const PassLayout& layout);
/// The layout of a linear run's passes (a least-squares block with the long report).
PassLayout linear_pass_layout(const LinearFit& fit, const RunSettings& rs);
/// Bytes one pass writes under the layout.
long pass_results_bytes(const PassLayout& layout);
/// Writes one pass's blocks (one PassEstimates per layout block) at the current position.
void append_pass_results(FILE* f, const PassLayout& layout, const std::vector<PassEstimates>& blocks);
/// Appends a linear pass: the least-squares block (with its cluster-robust sandwich) and
/// the final estimates; `robust` is the final robust covariance in units of sigma2 (or null).
void append_linear_pass(FILE* f, const LinearFit& fit, const RunSettings& rs, const double* robust);
struct RefinedSet;
/// The layout of a non-linear run's passes: the final PQL estimates, then one block
/// (with its success flag) per refinement the run asks for.
PassLayout nonlinear_pass_layout(const LinearFit& fit, const RunSettings& rs, const RefinedSet& refined);
/// Appends a non-linear pass under its layout.
void append_nonlinear_pass(FILE* f, const PassLayout& layout, const LinearFit& fit, const RefinedSet& refined);
/// Cluster-robust (by level-2 unit) covariance of the least-squares gammas, in units of
/// the least-squares sigma2, over all F gammas.
std::vector<double> least_squares_robust(const LinearFit& fit);
/// Opens the scratch results file of a plausible-value run and writes its count.
FILE* start_plausible_results(int numValues);
/// Name of the averaged report: `outputName` cut at its first '.' with ".avg" appended.
std::string averaged_output_name(const std::string& outputName);
/// Starts the averaged report: copies what the pass report holds so far (the run header)
/// into it, the "  Output file name" line naming the averaged report; the pass report is
/// left positioned at its end.
void start_averaged_output(FILE* passOutput, const std::string& outputName);
/// Reads the results file from its start: the count, then each pass's blocks. Message 4
/// when the count is not positive or the file is shorter than the count says.
std::vector<std::vector<PassEstimates>> read_pass_results(FILE* f, const PassLayout& layout);
/// Combines one block over the passes (passes[m][blockIndex]); M < 2 has no between part.
CombinedBlock combine_block(const std::vector<std::vector<PassEstimates>>& passes, std::size_t blockIndex,
                            PassBlock block, const PassLayout& layout);
/// Degrees of freedom of a combined gamma: (M - 1)(1 + W/B)^2 truncated, at most `complete`;
/// `complete` when B is zero.
long combined_df(int M, double within, double between, long complete);
/// Prints the averaged results of every block and writes the averaged matrix files.
void print_averaged_results(FILE* out, const ReportLabels& L, const PassLayout& layout, AveragedRun run,
                            const std::vector<std::vector<PassEstimates>>& passes);
/// The combiner: reads `results`, closes it (deleting "mixyzzy.dat" for an imputation
/// series, the scratch file for plausible values) and appends the averaged results to
/// the averaged report named after `outputName` (to the console when that is "stdout").
void combine_series(FILE* results, AveragedRun run, const PassLayout& layout, const ReportLabels& L,
                    const std::string& outputName);

// ---- Heterogeneous level-1 variance ---------------------------------------------
//
// ln sigma2_ij = c_ij' alpha with c_ij = (1, C_1ij, ..., C_Kij), the C_k level-1
// variables as recorded (uncentred). Macro iteration 1 fits the homogeneous model;
// every later one fits the linear model with each record weighted by
// 1/sigma2_ij and the working level-1 variance held at 1, and between two of them
// the alphas are updated from the records' expected squared residuals.

struct RunSettings;
struct LinearFit;
struct ReportLabels;

/// State of a heterogeneous level-1 variance run.
struct HeteroFit {
    int K = 0;                           ///< variance predictors C_1..C_K
    std::vector<int> slots;              ///< [K] level-1 slots of the C_k
    std::vector<std::string> names;      ///< [K] names of the C_k, leading blanks removed
    std::vector<std::string> paramNames; ///< [K+1] "%8.8s" names: the level-1 intercept's, then the C_k
    std::vector<double> alpha;           ///< [K+1] alpha_0 first
    std::vector<double> alphaSE;         ///< [K+1] standard errors (MISSING_VALUE when not computable)
    std::vector<double> sigma2;          ///< [N] current variance of each kept record, record order
    double logSigma2Sum = 0.0;           ///< sum of ln sigma2_ij over the records
    std::vector<double> H;               ///< [(K+1)^2] sum of c_ij c_ij'
    std::vector<double> Hinv;            ///< [(K+1)^2] its inverse
    FILE* rowsC = nullptr;               ///< scratch file of the variance-design rows (record order)
    FILE* rowsR = nullptr;               ///< scratch file of the adjusted squared residuals r_ij
    long records = 0;                    ///< records on the scratch files
    int innerIterations = 0;             ///< inner iterations of the last update
    int macroIterations = 0;             ///< macro iterations made, the homogeneous one included
    bool converged = false;              ///< the macro iterations met the stopping value
    double logLikHomogeneous = 0.0;      ///< final log-likelihood of macro iteration 1
    double logLikHeterogeneous = 0.0;    ///< final log-likelihood of the last macro iteration
};

/// True when no alpha changed by more than `criterion` relative to its old value
/// (components whose old value is 0 are not tested; changes at or below 1e-8 count
/// as converged).
bool alpha_converged(int n, const double* alpha, const double* alphaOld, double criterion);
/// The alpha update between two macro iterations: expected squared residuals of every
/// record from the fit's final estimates, the score, one step with inv(H) (H built and
/// inverted on the first call, when the variance-design rows are written), then
/// hetl1sig2. Stops the run on a record count mismatch or a singular H.
void hetl1c(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
            const LinearFit& fit, HeteroFit& het);
/// Inner iterations with the squared residuals held fixed, one pass over the
/// variance-design rows each, then the record variances at the final alphas.
void hetl1sig2(HeteroFit& het, double criterion);
/// Joint information of the distinct Tau elements and the alphas at the final
/// estimates (one pass over the level-1 records), inverted: the alphas' standard
/// errors, and the Tau standard errors and covariance put into the fit.
void level1_var_information(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                            LinearFit& fit, HeteroFit& het);
/// The "Model for level-1 variance" table.
void level1_var_table(FILE* out, const HeteroFit& het);
/// The macro iterations of a heterogeneous run up to its final iteration block; the
/// final tables follow at the call site with the fit of the last macro iteration.
void run_hetero_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                         LinearFit& fit, HeteroFit& het);
/// Closes the scratch files of the run.
void release_hetero(HeteroFit& het);

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
