// Timing of a heterogeneous level-1 variance run on a large simulated data set:
// 1,000,000 level-1 records in 10,000 groups, random intercept and slope, and
// ln sigma2_ij = 2.5 + 0.3 X1 - 0.2 X2 (two variance predictors), fitted under
// full ML from scratch files. Usage: bench_hetero [groups] [records per group] [stopping value]
// (the micro and macro stopping values, 1e-5 and 1e-4 unless given)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "app/base.h"
#include "bench_util.h"
#include "estimation/estimation.h"
#include "extended/extended.h"
#include "mdm/mdm.h"
#include "model/model.h"

namespace {

// Level-1 Y, X1, X2; level-2 W1. Y = B0 + B1 X1 + 0.5 X2 + e, B0 = 10 + W1 + u0,
// B1 = 1 + u1, Var(e) = exp(2.5 + 0.3 X1 - 0.2 X2).
void write_data(const std::string& path, int J, int n) {
    std::mt19937_64 rng(20261206);
    std::normal_distribution<double> z(0.0, 1.0);
    std::vector<double> w1(J);
    for (int j = 0; j < J; ++j) w1[j] = z(rng);
    FILE* f = start_mdm_file(path, 3, 1, J, n);
    for (const char* name : {"INTRCPT1", "Y", "X1", "X2"}) put_name(f, name);
    for (const char* name : {"INTRCPT2", "W1"}) put_name(f, name);
    put_i32(f, 260);
    const std::vector<char> fileName(260, 0);
    put(f, fileName.data(), 260);
    put(f, fileName.data(), 260);
    const double l1Means[3] = {0.0, 0.0, 0.0};
    put(f, l1Means, sizeof l1Means);
    double m1 = 0.0;
    for (int j = 0; j < J; ++j) m1 += w1[j];
    const double l2Mean = m1 / J;
    put(f, &l2Mean, sizeof l2Mean);
    for (int j = 0; j < J; ++j) {
        const double id = j + 1;
        put(f, &id, 8);
    }
    for (int j = 0; j < J; ++j) put(f, &w1[j], 8);
    std::vector<double> block(static_cast<std::size_t>(n) * 3);
    for (int j = 0; j < J; ++j) {
        const double b0 = 10.0 + w1[j] + 1.5 * z(rng), b1 = 1.0 + 0.5 * z(rng);
        for (int i = 0; i < n; ++i) {
            const double x1 = z(rng), x2 = (i + j) % 3;
            const double sd = std::exp(0.5 * (2.5 + 0.3 * x1 - 0.2 * x2));
            const double y = b0 + b1 * x1 + 0.5 * x2 + sd * z(rng);
            block[i * 3 + 0] = y;
            block[i * 3 + 1] = x1;
            block[i * 3 + 2] = x2;
        }
        put_unit(f, n, 3, block);
    }
    std::fclose(f);
}

// Y on X1 (random) and X2 (fixed); the intercept on W1; the variance on X1 and X2.
void make_model(const MdmHeader& mdm, ModelSpec& m) {
    size_model_tables(mdm, m);
    m.outcome = 1;
    m.l1Role[m.at(0, 1)] = -1;
    for (int slot : {0, 2, 3}) m.l1Role[m.at(0, slot)] = 1;
    m.fixedEffectOnly[m.at(0, 3)] = 1;
    m.l2Predictors[m.pred(0, 0, 0)] = 0;
    m.l2Predictors[m.pred(0, 0, 1)] = 1;
    m.l2Predictors[m.pred(0, 2, 0)] = 0;
    m.l2Predictors[m.pred(0, 3, 0)] = 0;
    m.numTerms = 3;
    m.numFixed = 4;
    m.constraintGroup.assign(4, 0);
    m.heteroVars = {2, 3};
}

}  // namespace

int main(int argc, char** argv) {
    const int J = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int n = argc > 2 ? std::atoi(argv[2]) : 100;
    const double stop = argc > 3 ? std::atof(argv[3]) : 0.0;
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    exit_state().skipExitWait = true;
    const std::string path = temp_directory() + "/bench_hetero.mdm";
    const std::string outPath = temp_directory() + "/bench_hetero.out";
    std::clock_t t0 = std::clock();
    write_data(path, J, n);
    std::printf("wrote %d records in %d groups in %.3f s\n", J * n, J, seconds_since(t0));

    FILE* mdmFile = std::fopen(path.c_str(), "rb");
    MdmHeader mdm;
    read_mdm_header(mdmFile, mdm);
    ModelSpec model;
    make_model(mdm, model);
    RunSettings rs;
    rs.fullML = true;
    rs.maxIterations = 1000;
    rs.maxMacroIterations = 100;
    rs.atIterationLimit = 0;
    rs.microCriterion = stop > 0.0 ? stop : 1e-5;
    rs.macroCriterion = stop > 0.0 ? stop : 1e-4;
    rs.fixTau = 3;
    rs.fullOutput = true;
    rs.olsUnitsShown = 10;
    rs.outputFileName = outPath;
    FILE* out = std::fopen(outPath.c_str(), "w+");

    // One set-up pass alone, for scale.
    LinearFit fit;
    t0 = std::clock();
    prepare_linear_fit(rs, model, mdm, out, fit);
    setup_pass(rs, model, mdm, mdmFile, out, fit);
    const double setup = seconds_since(t0);
    release_linear_fit(fit);

    HeteroFit het;
    t0 = std::clock();
    run_hetero_analysis(rs, model, mdm, mdmFile, out, fit, het);
    const double total = seconds_since(t0);

    // One pass over the variance-design rows, the cost of one inner iteration: with a
    // criterion met at once hetl1sig2 makes only its closing pass.
    const std::vector<double> alpha = het.alpha;
    const int lastInner = het.innerIterations;
    t0 = std::clock();
    const int passes = 5;
    for (int k = 0; k < passes; ++k) hetl1sig2(het, 1e300);
    const double inner = seconds_since(t0) / passes;

    std::printf("CPU: set-up pass %.3f s; %d macro iterations (converged %s) in %.3f s, %.3f s each;\n", setup,
                het.macroIterations, het.converged ? "yes" : "no", total, total / het.macroIterations);
    std::printf("     one pass over the %ld variance-design rows %.4f s; last update %d inner iterations;"
                " last fit %d micro iterations\n", het.records, inner, lastInner, fit.iterations);
    std::printf("     alpha:");
    for (std::size_t k = 0; k < alpha.size(); ++k) std::printf(" %.4f (%.4f)", alpha[k], het.alphaSE[k]);
    std::printf("  [true 2.5 0.3 -0.2]\n     gamma:");
    for (double g : fit.gamma) std::printf(" %.4f", g);
    std::printf("\n     deviance homogeneous %.3f, heterogeneous %.3f\n", -2.0 * het.logLikHomogeneous,
                -2.0 * het.logLikHeterogeneous);
    release_hetero(het);
    release_linear_fit(fit);
    std::fclose(out);
    std::fclose(mdmFile);
    std::remove(path.c_str());
    std::remove(outPath.c_str());
    return 0;
}
