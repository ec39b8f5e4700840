// Matrix files: row splitting after 60 values, file contents and the closing
// list of files in the report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "report/report.h"
#include "report/report_test_util.h"
#include "support/test_support.h"

using reporttest::capture;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    EXPECT_EQ(start, text.size()) << "text must end with a line break";
    return lines;
}

}  // namespace

struct RowCase {
    int n;
    std::vector<int> valuesPerLine;
};

TEST(MatrixRow, SplitsAfterEverySixtyValues) {
    const RowCase cases[] = {
        {1, {1}}, {59, {59}}, {60, {60}}, {61, {60, 1}}, {120, {60, 60}}, {121, {60, 60, 1}}, {0, {0}},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.n);
        std::vector<double> v(c.n);
        for (int i = 0; i < c.n; ++i) v[i] = i;
        std::string t = capture([&](FILE* f) { write_matrix_row(c.n, v.data(), "%4.0lf ", f); });
        std::vector<std::string> lines = lines_of(t);
        ASSERT_EQ(lines.size(), c.valuesPerLine.size());
        int next = 0;
        for (std::size_t l = 0; l < lines.size(); ++l) {
            ASSERT_EQ((int)lines[l].size(), 5 * c.valuesPerLine[l]);
            // Values continue in order across the break.
            if (c.valuesPerLine[l] > 0) EXPECT_EQ(std::atoi(lines[l].c_str()), next);
            next += c.valuesPerLine[l];
        }
    }
}

TEST(MatrixFiles, GammaFileHoldsGammaAndScaledCovariance) {
    std::string dir = testsupport::make_temp_dir("report_gamvc");
    std::string path = dir + "/gamvc.dat";
    const double gamma[2] = {12.636193, 2.1931963};
    const double cov[4] = {0.0015, -0.0001, -0.0001, 0.0004};
    write_gamma_file(path.c_str(), 2, gamma, cov, 2, 40.0);
    EXPECT_EQ(testsupport::read_file(path),
              "     12.6361930       2.1931963 \n"
              "  6.0000000E-02  -4.0000000E-03 \n"
              " -4.0000000E-03   1.6000000E-02 \n");
}

TEST(MatrixFiles, SixtyOneGammasTakeTwoLinesPerRow) {
    std::string dir = testsupport::make_temp_dir("report_gamvc61");
    std::string path = dir + "/gamvcr.dat";
    const int p = 61;
    std::vector<double> gamma(p, 1.0), cov(p * p, 0.5);
    write_gamma_file(path.c_str(), p, gamma.data(), cov.data(), p, 2.0);
    std::vector<std::string> lines = lines_of(testsupport::read_file(path));
    ASSERT_EQ(lines.size(), 2u + 2u * p);
    EXPECT_EQ(lines[2].size(), 60u * 16u);
    EXPECT_EQ(lines[3], "  1.0000000E+00 ");
}

TEST(MatrixFiles, TauFileWithCovarianceAndSigma2) {
    std::string dir = testsupport::make_temp_dir("report_tauvc");
    std::string path = dir + "/tauvc.dat";
    const double tau[4] = {8.6809660, 0.0467929, 0.0467929, 0.6939886};
    const double tauCov[9] = {1, 0, 0, 0, 2, 0, 0, 0, 3};
    const double sigma2 = 36.7002003;
    write_tau_file(path.c_str(), 2, tau, 2, 3, tauCov, &sigma2);
    EXPECT_EQ(testsupport::read_file(path),
              "      8.6809660       0.0467929 \n"
              "      0.0467929       0.6939886 \n"
              "      1.0000000       0.0000000       0.0000000 \n"
              "      0.0000000       2.0000000       0.0000000 \n"
              "      0.0000000       0.0000000       3.0000000 \n"
              "     36.7002003\n");
    write_tau_file(path.c_str(), 2, tau, 2, 0, nullptr, nullptr);
    EXPECT_EQ(lines_of(testsupport::read_file(path)).size(), 2u);
}

// open_or_die reports the system's reason on the error stream and ends with status 0.
TEST(MatrixFilesDeathTest, UnopenableFileEndsTheRun) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    const double gamma[1] = {1.0}, cov[1] = {1.0};
    EXPECT_EXIT(write_gamma_file("/nonexistent-dir/gamvc.dat", 1, gamma, cov, 1, 1.0), testing::ExitedWithCode(0),
                "No such file or directory");
}

struct ListingCase {
    const char* name;
    MatrixFileListing m;
    std::string expected;
};

TEST(MatrixFileListing, ExactText) {
    const std::string gamvc = "gamvc.dat, containing the variance-covariance matrix of gamma has been created.\n"
                              "gamvcr.dat, containing the robust variance-covariance matrix of gamma has\n"
                              "been created.\n";
    const std::string format = "The above files have been created with a (nE15.7,1X) format.\n";
    const std::string nonLinear =
        "gamvcus.dat, containing the unit-specific variance-covariance matrix of gamma\nhas been created.\n"
        "gamvcpa.dat, containing the population average variance-covariance matrix of\ngamma has been created.\n"
        "gamvcpar.dat, containing the robust population average variance-covariance\n"
        "matrix of gamma has been created.\n";
    const ListingCase cases[] = {
        {"linear_reml", {false, true, false, false, false, 4},
         "\ntauvc.dat, containing tau has been created.\n" + gamvc + format},
        {"linear_ml", {false, true, true, false, false, 4},
         "\ntauvc.dat, containing tau and the variance-covariance matrix of tauhas been created.\n" + gamvc + format},
        {"no_random_effects", {false, false, false, false, false, 4}, gamvc + format},
        {"sixty_gammas", {false, false, false, false, false, 60}, gamvc + format},
        {"sixty_one_gammas", {false, false, false, false, false, 61},
         gamvc + format +
             "Due to the high number of gammas, each line of the gamma matrices have been\nsplit across 2 lines.\n"},
        {"hundred_twenty_one", {false, false, false, false, false, 121},
         gamvc + format +
             "Due to the high number of gammas, each line of the gamma matrices have been\nsplit across 3 lines.\n"},
        {"nonlinear", {true, true, false, false, false, 3},
         "\ntauvc.dat, containing tau has been created.\n" + nonLinear + format},
        {"nonlinear_laplace6", {true, true, true, true, true, 3},
         "\ntauvc.dat, containing tau and the variance-covariance matrix of tauhas been created.\n"
         "tauvcl.dat, containing the Laplace tau and its variance-covariance\nmatrix has been created.\n" +
             nonLinear +
             "gamvcl.dat, containing the Laplace variance-covariance matrix of gamma\nhas been created.\n" + format},
    };
    for (const ListingCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(capture([&](FILE* f) { print_matrix_file_listing(f, c.m); }), c.expected);
    }
}
