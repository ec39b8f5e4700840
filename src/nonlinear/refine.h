// Maximum-likelihood refinements of a finished penalised quasi-likelihood fit:
// adaptive Gauss-Hermite quadrature, the sixth- and eighth-order Laplace
// approximations and EM-Laplace. Everything here is a pure function over a
// RefineData store (the level-1 records of every unit, kept in memory) and a
// RefineState (gamma, Tau, the units' modes); the driver owns the loops,
// console marks, reports and files.
#pragma once

#include <cstdio>
#include <vector>

// ---- Data ----------------------------------------------------------------------

/// Outcome distribution of a refinement.
enum class RefineFamily { Bernoulli, Binomial, Poisson };

/// The level-1 records of all units, unit after unit in contiguous arrays.
struct RefineData {
    RefineFamily family = RefineFamily::Bernoulli;
    int F = 0;                  ///< fixed effects (columns of X)
    int q = 0;                  ///< random effects (columns of Z)
    int J = 0;                  ///< units
    bool hasCount = false;      ///< trials (binomial) or exposure (Poisson) given
    std::vector<long> start;    ///< J+1 record offsets; unit j holds records start[j] .. start[j+1]-1
    std::vector<double> y;      ///< outcome as read (successes for binomial)
    std::vector<double> n;      ///< trials or exposure per record (empty without count)
    std::vector<double> X;      ///< N x F fixed-part design (level-1 x level-2 products)
    std::vector<double> Z;      ///< N x q random-part design
    double constant = 0.0;      ///< sum of ln C(n,y) (binomial) or y ln n - ln y! (Poisson)
};

/// Empties `d` for units of F fixed and q random effects.
void refine_data_begin(RefineData& d, RefineFamily family, int F, int q, bool hasCount);
/// Appends one unit of nj records: y, n (null without count), X (nj x F), Z (nj x q), row order.
void refine_data_add_unit(RefineData& d, int nj, const double* y, const double* n, const double* X,
                          const double* Z);
/// Number of level-1 records stored.
long refine_data_records(const RefineData& d);

// ---- Estimates ------------------------------------------------------------------

/// Estimates and per-unit posterior summaries carried between iterations.
struct RefineState {
    std::vector<double> gamma;  ///< F
    std::vector<double> tau;    ///< q x q
    std::vector<double> modes;  ///< J x q posterior modes (start: empirical Bayes residuals or 0)
    std::vector<double> disp;   ///< J x q x q posterior dispersions at the modes
    std::vector<double> cov;    ///< P x P inverse information of (gamma, distinct Tau), P = F + q(q+1)/2
    double logLik = 0.0;        ///< marginal log-likelihood with the data constants
    int iteration = 0;          ///< accepted iterations so far
    // Work carried between iterations (filled by the steps themselves).
    std::vector<double> score, info;  ///< at the current estimates, in the step's own parameters
    bool haveDerivatives = false;
    std::vector<double> prevTheta, prevScore;  ///< the quadrature's previous point and score (secant pair)
    double lambda = -1.0;       ///< Laplace-6 damping; -1 means none
    double modeCriterion = 1e-10;  ///< relative change of the unit modes that ends their passes
};

/// Starts a state from gamma (F) and Tau (q x q); modes start at 0 when modes is null.
void refine_state_begin(RefineState& s, const RefineData& d, const double* gamma, const double* tau,
                        const double* modes);
/// Number of distinct Tau elements, q(q+1)/2.
int tau_distinct(int q);
/// Standard errors of gamma (F) and of the distinct Tau elements (lower triangle by rows) from s.cov.
void refine_standard_errors(const RefineData& d, const RefineState& s, double* seGamma, double* seTau);

/// 1 when every gamma and every Tau element on or below the diagonal whose old value
/// is not 0 changed by at most `criterion` relative to it (changes below 1e-8 count as 1e-8).
int nonlinear_converged(int F, const double* gammaOld, const double* gammaNew, int q, const double* tauOld,
                        const double* tauNew, double criterion);

// ---- Unit posterior modes -------------------------------------------------------------

/// Posterior mode of every unit from s.modes, with the dispersions (inverse negative
/// Hessians) in s.disp: passes of one Newton step per unit until no effect moves by more
/// than s.modeCriterion relative to its previous value; *repeats (may be null) counts the
/// passes after the first. Returns 0, or 1 + j when unit j's precision cannot be factored.
int refine_unit_modes(const RefineData& d, RefineState& s, int* repeats = nullptr);

// ---- Adaptive Gauss-Hermite quadrature ------------------------------------------------------

/// Tensor-product rule of p points in each of q dimensions for a standard normal kernel.
struct AgqRule {
    int p = 0, q = 0;
    long K = 0;                    ///< p^q nodes
    std::vector<double> nodes;     ///< K x q abscissae u (sqrt 2 times the Hermite roots)
    std::vector<double> logWeight; ///< K: ln of the product of sqrt(2 pi) times the normal-kernel weights
};
/// Largest node count per unit the quadrature accepts.
constexpr long AGQ_MAX_NODES = 10000;
/// p^q, or AGQ_MAX_NODES + 1 when it exceeds AGQ_MAX_NODES.
long agq_node_count(int p, int q);
/// Builds the rule from hermite_rule; returns 1, or 0 when gauher failed (its message
/// goes to report).
int agq_rule(int p, int q, AgqRule& rule, FILE* report);

/// Quadrature log-likelihood, score and negative Hessian at (gamma, Cholesky factor of Tau)
/// with every unit's rule centred at centre (J x q) and scaled by the Cholesky factor of
/// disp (J x q x q); score and info may be null. Parameters: gamma, then the lower
/// triangle of the Cholesky factor by rows. With adaptive, each rule is first moved to the
/// unit's mode (searched from centre) and dispersion at these parameters, and the score is
/// the derivative of that adaptive sum; the information is always the fixed-rule one.
double agq_evaluate(const RefineData& d, const AgqRule& rule, const double* gamma, const double* chol,
                    const double* centre, const double* disp, bool adaptive, double* score, double* info);

/// Outcome of one refinement iteration.
enum AgqStatus { AGQ_GO_ON = 1, AGQ_GAUHER_FAILED = 0, AGQ_SINGULAR_UNIT = -1, AGQ_SINGULAR_INFO = -2 };
/// One adaptive-quadrature iteration: Newton step on (gamma, Cholesky factor of Tau) with
/// step halving while the likelihood falls; leaves gamma, Tau, modes, dispersions,
/// logLik and cov at the accepted point. A step that cannot raise the likelihood is
/// not taken (the estimates stay, so the convergence test passes).
int agq_step(const RefineData& d, int p, RefineState& s, FILE* report);
/// s.info and s.cov from the observed information of the adaptive likelihood (central
/// differences of its exact score) at the current estimates: the standard errors of the
/// final iteration. Returns AGQ_GO_ON, or the failure status.
int agq_observed_covariance(const RefineData& d, int p, RefineState& s, FILE* report);

// ---- Laplace-6 and Laplace-8 (Bernoulli) ------------------------------------------------------

/// Laplace log-likelihood (order 6 or 8; 2 is the first-order approximation) at s.gamma, s.tau and s.modes (which must be the
/// units' exact modes), without the run constant; score (P) and info (P x P, the expected
/// information of the linearised model) in (gamma, distinct Tau) when not null.
/// Returns 0, or 1 + j when unit j's precision cannot be inverted.
int laplace_evaluate(const RefineData& d, int order, const RefineState& s, double* logLik, double* score,
                     double* info);

/// Laplace step outcomes.
enum LaplaceStatus { LAPLACE_OK = 0, LAPLACE_SINGULAR_H = 1, LAPLACE_HALVINGS = 2, LAPLACE_SINGULAR_C = 3,
                     LAPLACE_DAMPING_END = 4, LAPLACE_BAD_TAU = 5 };
/// One Fisher-scoring iteration of Laplace-6 (damping s.lambda, step halving) or, with
/// order 8, of Laplace-8 (no damping, no halving). marks (may be null) gets the console
/// marks in order: "." for each repeated pass of the unit modes at the current estimates,
/// "," for each repeated pass at a trial step, "*" and "/" for the damping. Returns a LaplaceStatus; LAPLACE_DAMPING_END ends the
/// refinement as converged.
int laplace_iteration(const RefineData& d, int order, RefineState& s, std::vector<char>* marks);

// ---- EM-Laplace (Bernoulli and Poisson) ------------------------------------------------------

/// EM-Laplace outcomes.
enum EmLaplaceStatus { EMLAP_GO_ON = 1, EMLAP_FAILED_V0 = 0, EMLAP_FAILED_THETA1 = -1, EMLAP_BAD_ORDER = -2 };
/// One EM-Laplace iteration of the given order (2; 3 and 4 only with one random effect,
/// EMLAP_BAD_ORDER otherwise): E-step modes and dispersions, the corrected Tau M-step, a Newton step for
/// gamma given the modes, and the likelihood; marks (may be null) gets a "." for each
/// repeated pass of the E-step's mode search. Returns an EmLaplaceStatus.
int emlap_iteration(const RefineData& d, int order, RefineState& s, std::vector<char>* marks = nullptr);

// ---- Reports ----------------------------------------------------------------------------------

struct ReportLabels;
/// The adaptive-quadrature results block of one iteration: header, Tau, its standard
/// errors, Tau as correlations, the "(Laplace)" fixed-effects and odds-ratio (event-rate)
/// tables and the likelihood line. df per gamma; logLik without the run constant.
void print_agq_block(FILE* out, const ReportLabels& L, int points, int iteration, int F, int q,
                     const double* gamma, const double* tau, const double* cov, const long* df,
                     const char* outcomeName, double logLik);
/// The Laplace-6 or Laplace-8 results block of one accepted iteration (same tables).
void print_laplace_block(FILE* out, const ReportLabels& L, int order, int iteration, int F, int q,
                         const double* gamma, const double* tau, const double* cov, const long* df,
                         const char* outcomeName, double logLik);
/// The EM-Laplace results block: Tau, its correlations, reliabilities, likelihood line, tables.
void print_emlaplace_block(FILE* out, const ReportLabels& L, int order, int iteration, int F, int q,
                           const double* gamma, const double* tau, const double* cov, const long* df,
                           const char* outcomeName, double logLik, const double* reliability);
/// The matrix files of a refinement: gamma with its covariance, Tau with the covariance
/// of its distinct elements (e.g. "gamvcagq.dat" and "tauvcagq.dat").
void refine_write_matrix_files(const RefineData& d, const RefineState& s, const char* gammaFile,
                               const char* tauFile);
/// EM-Laplace reliabilities: mean over units with data of Tau_kk / (Tau_kk + V_j,kk).
void emlap_reliabilities(const RefineData& d, const RefineState& s, double* reliability, long* unitsUsed);
