// Timing of the linear engine on a large simulated data set: 1,000,000 level-1
// records in 10,000 groups, three random level-1 coefficients, two level-2
// predictors in every equation, fitted under REML from scratch files and
// from memory. Usage: bench_fit [groups] [records per group]
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/app.h"
#include "bench_util.h"
#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"

namespace {

// Process CPU time: the machine may be shared, and the target is one core's work.
struct Clock {
    static std::clock_t now() { return std::clock(); }
};

// Level-1 variables Y, X1, X2; level-2 W1, W2. Y = B0 + B1 X1 + B2 X2 + e with
// Bq = g_q0 + g_q1 W1 + g_q2 W2 + u_q.
void write_data(const std::string& path, int J, int n) {
    std::mt19937_64 rng(20240611);
    std::normal_distribution<double> z(0.0, 1.0);
    std::vector<double> w1(J), w2(J);
    for (int j = 0; j < J; ++j) {
        w1[j] = z(rng);
        w2[j] = j % 2;
    }
    FILE* f = start_mdm_file(path, 3, 2, J, n);
    for (const char* name : {"INTRCPT1", "Y", "X1", "X2"}) put_name(f, name);
    for (const char* name : {"INTRCPT2", "W1", "W2"}) put_name(f, name);
    put_i32(f, 260);
    const std::vector<char> fileName(260, 0);
    put(f, fileName.data(), 260);
    put(f, fileName.data(), 260);
    // The level-1 means are not used by this model (no grand-mean centring).
    const double l1Means[3] = {0.0, 0.0, 0.0};
    put(f, l1Means, sizeof l1Means);
    double m1 = 0.0, m2 = 0.0;
    for (int j = 0; j < J; ++j) {
        m1 += w1[j];
        m2 += w2[j];
    }
    const double l2Means[2] = {m1 / J, m2 / J};
    put(f, l2Means, sizeof l2Means);
    for (int j = 0; j < J; ++j) {
        const double id = j + 1;
        put(f, &id, 8);
    }
    for (int j = 0; j < J; ++j) {
        const double row[2] = {w1[j], w2[j]};
        put(f, row, sizeof row);
    }
    const double g[3][3] = {{50.0, 2.0, -1.5}, {1.0, 0.5, 0.3}, {-0.7, 0.2, 0.4}};
    const double sd[3] = {3.0, 0.6, 0.4};
    std::vector<double> block(static_cast<std::size_t>(n) * 3);
    for (int j = 0; j < J; ++j) {
        double beta[3];
        for (int q = 0; q < 3; ++q) beta[q] = g[q][0] + g[q][1] * w1[j] + g[q][2] * w2[j] + sd[q] * z(rng);
        for (int i = 0; i < n; ++i) {
            const double x1 = z(rng), x2 = 2.0 * z(rng) + 1.0;
            const double y = beta[0] + beta[1] * x1 + beta[2] * x2 + 5.0 * z(rng);
            block[i * 3 + 0] = y;
            block[i * 3 + 1] = x1;
            block[i * 3 + 2] = x2;
        }
        put_unit(f, n, 3, block);
    }
    std::fclose(f);
}

void make_model(const MdmHeader& mdm, ModelSpec& m) {
    m = ModelSpec{};
    m.numL1Slots = mdm.numL1Vars + 1;
    m.numL2Slots = mdm.numL2Vars + 1;
    m.l1Names = mdm.l1Names;
    m.l1Role.assign(m.numL1Slots, 0);
    m.l1Centering.assign(m.numL1Slots, 0);
    m.fixedEffectOnly.assign(m.numL1Slots, 0);
    m.l2Predictors.assign(static_cast<std::size_t>(m.numL1Slots) * m.numL2Slots, NO_ENTRY);
    m.l2Centering.assign(m.numL2Slots, 0);
    m.deletionBasis.assign(m.numL1Slots, 0);
    m.outcome = 1;
    m.l1Role[1] = -1;
    m.l1Role[0] = m.l1Role[2] = m.l1Role[3] = 1;
    for (int slot : {0, 2, 3})
        for (int k = 0; k < 3; ++k) m.l2Predictors[m.pred(0, slot, k)] = k;
    m.numTerms = 3;
    m.numFixed = 9;
    m.constraintGroup.assign(9, 0);
}

void fit_once(const char* label, const std::string& mdmPath, bool inMemory) {
    FILE* mdmFile = std::fopen(mdmPath.c_str(), "rb");
    MdmHeader mdm;
    read_mdm_header(mdmFile, mdm);
    ModelSpec model;
    make_model(mdm, model);
    RunSettings rs;
    rs.maxIterations = 1000;
    rs.atIterationLimit = 0;
    rs.accel = 5;
    // A tight criterion, so that the iterations and not the set-up dominate.
    rs.microCriterion = 1e-10;
    rs.fullOutput = true;
    rs.olsUnitsShown = 10;
    rs.inMemory = inMemory;
    rs.outputFileName = "bench_fit.out";
    FILE* out = std::fopen("/dev/null", "w");

    // The set-up pass alone, then the whole analysis (which repeats it).
    LinearFit fit;
    auto t0 = Clock::now();
    prepare_linear_fit(rs, model, mdm, out, fit);
    setup_pass(rs, model, mdm, mdmFile, out, fit);
    const double setup = seconds_since(t0);
    release_linear_fit(fit);

    t0 = Clock::now();
    run_analysis(rs, model, mdm, mdmFile, out, fit);
    const double total = seconds_since(t0);
    std::fclose(out);
    std::fclose(mdmFile);
    const double perIteration = fit.iterations > 0 ? (total - setup) / fit.iterations : 0.0;
    std::printf("%-12s CPU: set-up %.3f s, %d iterations at %.4f s, total %.3f s (converged %s, deviance %.4f)\n", label,
                setup, fit.iterations, perIteration, total, fit.converged ? "yes" : "no", fit.deviance);
    std::printf("             gamma:");
    for (double g : fit.gamma) std::printf(" %.4f", g);
    std::printf("\n             sigma2 %.4f, tau diagonal %.4f %.4f %.4f\n", fit.sigma2, fit.tau[0], fit.tau[4],
                fit.tau[8]);
    release_linear_fit(fit);
}

}  // namespace

int main(int argc, char** argv) {
    const int J = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int n = argc > 2 ? std::atoi(argv[2]) : 100;
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    exit_state().skipExitWait = true;
    const std::string path = temp_directory() + "/bench_fit.mdm";
    auto t0 = Clock::now();
    write_data(path, J, n);
    std::printf("wrote %d records in %d groups in %.3f s\n", J * n, J, seconds_since(t0));
    fit_once("scratch", path, false);
    fit_once("in memory", path, true);
    std::remove(path.c_str());
    return 0;
}
