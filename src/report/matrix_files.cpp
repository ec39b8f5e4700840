// The matrix files that export gamma, Tau and their covariance matrices, and
// the list of them at the end of the report.
#include <cstdio>
#include <vector>

#include "app/base.h"
#include "report/report.h"

namespace {

// Values per line of a matrix file; longer rows continue on the next line.
constexpr int VALUES_PER_LINE = 60;

}  // namespace

void write_matrix_row(int n, const double* values, const char* format, FILE* file) {
    for (int i = 0; i < n; ++i) {
        std::fprintf(file, format, values[i]);
        if ((i + 1) % VALUES_PER_LINE == 0 && i + 1 < n) std::fputc('\n', file);
    }
    std::fputc('\n', file);
}

void write_gamma_file(const char* name, int p, const double* gamma, const double* cov, int ld, double scale) {
    FILE* f = open_or_die(name, "w");
    write_matrix_row(p, gamma, "%15.7lf ", f);
    std::vector<double> row((std::size_t)(p > 0 ? p : 0));
    for (int i = 0; i < p; ++i) {
        for (int j = 0; j < p; ++j) row[j] = scale * cov[(long)i * ld + j];
        write_matrix_row(p, row.data(), "%15.7lE ", f);
    }
    std::fclose(f);
}

void write_tau_file(const char* name, int r, const double* tau, int ldTau, int m, const double* tauCov,
                    const double* sigma2) {
    FILE* f = open_or_die(name, "w");
    for (int i = 0; i < r; ++i) write_matrix_row(r, tau + (long)i * ldTau, "%15.7lf ", f);
    if (tauCov)
        for (int i = 0; i < m; ++i) write_matrix_row(m, tauCov + (long)i * m, "%15.7lf ", f);
    if (sigma2) std::fprintf(f, "%15.7lf\n", *sigma2);
    std::fclose(f);
}

void print_matrix_file_listing(FILE* out, const MatrixFileListing& m) {
    if (m.randomEffects) {
        std::fprintf(out, "\ntauvc.dat, containing tau ");
        if (m.fullML) std::fprintf(out, "and the variance-covariance matrix of tau");
        std::fprintf(out, "has been created.\n");
    }
    if (!m.nonLinear) {
        std::fprintf(out, "gamvc.dat, containing the variance-covariance matrix of gamma has been created.\n");
        std::fprintf(out, "gamvcr.dat, containing the robust variance-covariance matrix of gamma has\nbeen created.\n");
    } else {
        if (m.laplaceRequested)
            std::fprintf(out, "tauvcl.dat, containing the Laplace tau and its variance-covariance\nmatrix has been created.\n");
        std::fprintf(out, "gamvcus.dat, containing the unit-specific variance-covariance matrix of gamma\nhas been created.\n");
        if (m.populationAverage) {
            std::fprintf(out, "gamvcpa.dat, containing the population average variance-covariance matrix of\ngamma has been created.\n");
            std::fprintf(out, "gamvcpar.dat, containing the robust population average variance-covariance\nmatrix of gamma has been created.\n");
        }
        if (m.laplace6)
            std::fprintf(out, "gamvcl.dat, containing the Laplace variance-covariance matrix of gamma\nhas been created.\n");
    }
    std::fprintf(out, "The above files have been created with a (nE15.7,1X) format.\n");
    if (m.p > VALUES_PER_LINE)
        std::fprintf(out,
                     "Due to the high number of gammas, each line of the gamma matrices have been\n"
                     "split across %ld lines.\n",
                     (long)((m.p + VALUES_PER_LINE - 1) / VALUES_PER_LINE));
}
