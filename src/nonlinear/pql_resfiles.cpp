// Residual and matrix files of the PQL runs. The level-1 file of a Bernoulli,
// binomial or Poisson run holds each record's fitted mean on the outcome's
// scale (n mu with a trials or exposure variable) from the unit-specific
// estimates, the raw residual y - n mu and the standard deviation of the
// outcome under the working model, sqrt(sigma2 n v(mu)) (divided by the square
// root of a level-1 weight, times that of a known variance). Multinomial and
// ordinal runs end after their unit-specific phase, so their level-2 file and
// matrix files come from its last macro iteration.
#include <cmath>
#include <vector>

#include "nonlinear/nonlinear.h"
#include "report/report.h"
#include "resfiles/resfiles.h"

namespace {

// What the record hook needs: the estimates and the level-1 variance of the working model.
struct CellContext {
    const PqlState* st;
    double sigma2;
};

// The record's three statistics at the state's estimates.
void pql_record_cells(void* ctx, long j, const double* raw, const double* x, double* cells) {
    const CellContext& cc = *static_cast<const CellContext*>(ctx);
    const PqlState& st = *cc.st;
    const double eta = pql_linear_predictor(st, j, x);
    const double n = st.countSlot > 0 ? raw[st.countSlot - 1] : 1.0;
    const bool logit = st.distribution == 1;
    const double mu = logit ? 1.0 / (1.0 + std::exp(-eta)) : std::exp(eta);
    const double v = n * (logit ? mu * (1.0 - mu) : mu);
    const double y = raw[st.outcomeSlot - 1];
    const bool ok = std::isfinite(mu) && y != MISSING_VALUE;
    cells[0] = ok ? y - n * mu : RESID_MISSING;
    cells[1] = std::isfinite(mu) ? n * mu : RESID_MISSING;
    cells[2] = v > 0.0 && std::isfinite(v) && cc.sigma2 > 0.0 ? std::sqrt(cc.sigma2 * v) : RESID_MISSING;
}

}  // namespace

void write_pql_level1_residual_file(const PqlState& st, const LinearFit& fit, const RunSettings& rs,
                                    const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile) {
    // Without random effects the engine's sigma2 is the least-squares one; the model's is the fixed scale.
    CellContext cc{&st, st.sigma2};
    if (fit.r == 0 && fit.sigma2Fixed) cc.sigma2 = rs.fixedSigma2 != 0.0 ? rs.fixedSigma2 : 1.0;
    Level1RecordHook hook;
    hook.record = pql_record_cells;
    hook.ctx = &cc;
    write_level1_residual_file(fit, rs, model, mdm, mdmFile, &hook);
}

void write_pql_unit_specific_matrices(const LinearFit& fit, const std::vector<double>& gamma,
                                      const std::vector<double>& gammaCov) {
    const int r = fit.r, m = r * (r + 1) / 2;
    if (r > 0) {
        std::vector<double> tauCov;
        if (fit.fullML && fit.haveVarianceSE) {
            tauCov.assign(static_cast<std::size_t>(m) * m, 0.0);
            for (int a = 0; a < m; ++a)
                for (int b = 0; b < m; ++b) tauCov[a * m + b] = fit.varianceCov[a * (m + 1) + b];
        }
        write_tau_file("tauvc.dat", r, fit.tau.data(), r, m, tauCov.empty() ? nullptr : tauCov.data(), nullptr);
    }
    write_gamma_file("gamvcus.dat", fit.F, gamma.data(), gammaCov.data(), fit.F, 1.0);
}

void write_categorical_files(const LinearFit& fit, const RunSettings& rs, const ModelSpec& model,
                             const MdmHeader& mdm, FILE* out, double covScale) {
    LinearFit& f = const_cast<LinearFit&>(fit);
    if (rs.wantResfil2) write_level2_residual_file(f, rs, model, mdm);
    if (rs.printVarCov == 0) return;
    std::vector<double> cov(fit.gammaCov);
    for (double& v : cov) v *= covScale;
    write_pql_unit_specific_matrices(fit, fit.gamma, cov);
    if (out == nullptr) return;
    MatrixFileListing listing;
    listing.nonLinear = true;
    listing.populationAverage = false;
    listing.randomEffects = fit.r > 0;
    listing.fullML = fit.fullML;
    listing.p = fit.F;
    print_matrix_file_listing(out, listing);
}
