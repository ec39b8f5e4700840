// Timing of the PQL estimator on a large simulated Bernoulli data set:
// 1,000,000 level-1 records in 10,000 units, a random intercept and one random
// slope, one level-2 predictor of the intercept; the unit-specific macro
// iterations to convergence and one population-average macro iteration, from
// an MDM file that is already built. With a number of quadrature points the slope is
// fixed and the run goes on to adaptive quadrature with a random intercept, timed as a
// whole run; a fifth argument "lap6" or "eml" takes Laplace-6 or EM-Laplace instead.
// Usage: bench_pql [units] [records per unit] [report file] [AGQ points] [lap6|eml]
#include <sys/resource.h>

#include <chrono>
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
#include "mdm/mdm.h"
#include "model/model.h"
#include "nonlinear/nonlinear.h"

namespace {

// Level-1 Y (0/1) and X; level-2 W. logit P(Y=1) = B0 + B1 X, B0 = -0.5 + 0.8 W + u0, B1 = 0.6 + u1.
void write_data(const std::string& path, int J, int n) {
    std::mt19937_64 rng(20261206);
    std::normal_distribution<double> z(0.0, 1.0);
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    std::vector<double> w(J);
    double wm = 0.0;
    for (int j = 0; j < J; ++j) wm += (w[j] = z(rng));
    FILE* f = start_mdm_file(path, 2, 1, J, n);
    for (const char* name : {"INTRCPT1", "Y", "X"}) put_name(f, name);
    for (const char* name : {"INTRCPT2", "W"}) put_name(f, name);
    put_i32(f, 260);
    const std::vector<char> fileName(260, 0);
    put(f, fileName.data(), 260);
    put(f, fileName.data(), 260);
    const double l1Means[2] = {0.5, 0.0};
    put(f, l1Means, sizeof l1Means);
    const double l2Mean = wm / J;
    put(f, &l2Mean, 8);
    for (int j = 0; j < J; ++j) {
        const double id = j + 1;
        put(f, &id, 8);
    }
    for (int j = 0; j < J; ++j) put(f, &w[j], 8);
    std::vector<double> block(static_cast<std::size_t>(n) * 2);
    for (int j = 0; j < J; ++j) {
        const double b0 = -0.5 + 0.8 * w[j] + 0.7 * z(rng), b1 = 0.6 + 0.3 * z(rng);
        for (int i = 0; i < n; ++i) {
            const double x = z(rng);
            const double y = unif(rng) < 1.0 / (1.0 + std::exp(-(b0 + b1 * x))) ? 1.0 : 0.0;
            block[i * 2] = y;
            block[i * 2 + 1] = x;
        }
        put_unit(f, n, 2, block);
    }
    std::fclose(f);
}

// Y on an intercept and X, both random (X fixed when `slopeFixed`); W predicts the intercept.
void make_model(const MdmHeader& mdm, ModelSpec& m, bool slopeFixed) {
    size_model_tables(mdm, m);
    m.outcome = 1;
    m.l1Role[1] = -1;
    m.l1Role[0] = m.l1Role[2] = 1;
    m.l2Predictors[m.pred(0, 0, 0)] = 0;
    m.l2Predictors[m.pred(0, 0, 1)] = 1;
    m.l2Predictors[m.pred(0, 2, 0)] = 0;
    m.numTerms = 2;
    m.numFixed = 3;
    m.constraintGroup.assign(3, 0);
    if (slopeFixed) m.fixedEffectOnly[m.at(0, 2)] = 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int J = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int n = argc > 2 ? std::atoi(argv[2]) : 100;
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    exit_state().skipExitWait = true;
    const std::string path = temp_directory() + "/bench_pql.mdm";
    std::clock_t t0 = std::clock();
    write_data(path, J, n);
    std::fprintf(stderr, "wrote %d records in %d units in %.3f s\n", J * n, J, seconds_since(t0));

    FILE* mdmFile = std::fopen(path.c_str(), "rb");
    MdmHeader mdm;
    read_mdm_header(mdmFile, mdm);
    ModelSpec model;
    const int agqPoints = argc > 4 ? std::atoi(argv[4]) : 0;
    make_model(mdm, model, agqPoints > 0);
    RunSettings rs;
    rs.distribution = 1;
    rs.maxMacroIterations = 100;
    rs.atIterationLimit = 0;
    rs.maxIterations = 1000;
    rs.microCriterion = 1e-5;
    rs.macroCriterion = 1e-4;
    rs.popAvgIterations = 1;
    rs.fixedSigma2 = 1.0;
    rs.fullOutput = false;
    rs.olsUnitsShown = 0;
    rs.outputFileName = "bench_pql.out";
    const std::string method = argc > 5 ? argv[5] : "agq";
    if (agqPoints > 0 && method == "lap6") {
        rs.laplace6 = true;
        rs.laplace6Iterations = 100;
    } else if (agqPoints > 0 && method == "eml") {
        rs.emLaplaceType = 2;
        rs.laplaceIterations = 1000;
    } else if (agqPoints > 0) {
        rs.emLaplaceType = 5;
        rs.agqPoints = agqPoints;
        rs.agqIterations = 100;
    }
    FILE* out = std::fopen(argc > 3 ? argv[3] : "/dev/null", "w");
    // The console lines of every micro iteration are not part of the work measured.
    std::fflush(stdout);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;

    t0 = std::clock();
    const auto w0 = std::chrono::steady_clock::now();
    const int macro = run_pql_analysis(rs, model, mdm, mdmFile, out);
    const double total = seconds_since(t0);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    std::fclose(out);
    std::fclose(mdmFile);
    std::remove(path.c_str());
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::fprintf(stderr, "PQL CPU: %d macro iterations (unit-specific, then 1 population-average), %.3f s per macro "
                         "iteration, total %.3f s (wall %.3f s)%s; peak resident %ld MB\n",
                 macro, total / macro, total, wall, agqPoints > 0 ? (" with " + method).c_str() : "", ru.ru_maxrss / 1024);
    return 0;
}
