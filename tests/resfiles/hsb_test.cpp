// The HSB intercepts- and slopes-as-outcomes model fitted from its command file:
// the residual files against the reference residuals and against each other.
#include <algorithm>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "resfiles/resfiles_test_util.h"

using namespace restest;

namespace {

// The engine's Tau matches the reference to its own tolerance (the SES slope
// variance within 0.0027), which moves the weakly determined slope residuals by
// up to 1% of their spread; the two files are checked against each other exactly.
constexpr double kInterceptTol = 2e-4, kSlopeTol = 3e-3, kLevel1TolSd = 1e-3;

TextTable read_tsv(const std::string& name) {
    std::string text = testsupport::read_file(testsupport::data_path(name));
    std::replace(text.begin(), text.end(), '\t', ',');
    return read_csv(text);
}

double num(const std::string& s) { return std::atof(s.c_str()); }

}  // namespace

TEST(HsbResidualFiles, ReferenceResidualsAndAgreementBetweenTheFiles) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    const std::string dir = testsupport::make_temp_dir("reshsb");
    for (const char* f : {"hsb/hsb.mdmt", "hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb_full_tests.cmd"})
        testsupport::copy_data(f, dir);
    ASSERT_EQ(testsupport::run_arb2("-r hsb.mdmt", dir).status, 0);
    FILE* mdmFile = std::fopen((dir + "/hsb.mdm").c_str(), "rb");
    FILE* out = std::fopen((dir + "/report.out").c_str(), "w+");
    ASSERT_TRUE(mdmFile != nullptr && out != nullptr);
    MdmHeader mdm;
    RunSettings rs;
    ModelSpec model;
    LinearFit fit;
    read_mdm_header(mdmFile, mdm);
    rs.commandFileName = dir + "/hsb_full_tests.cmd";
    read_command_file(rs, model, mdm);
    run_analysis(rs, model, mdm, mdmFile, out, fit);
    ASSERT_TRUE(rs.wantResfil1 && rs.wantResfil2 && rs.resfilType == RAW_ASCII);
    rs.resfil1Name = dir + "/resfil1.dat", rs.resfil2Name = dir + "/resfil2.dat";
    write_residual_files(fit, rs, model, mdm, mdmFile);
    release_linear_fit(fit);
    std::fclose(out);
    std::fclose(mdmFile);
    const TextTable l1 = read_csv(testsupport::read_file(rs.resfil1Name));
    const TextTable l2 = read_csv(testsupport::read_file(rs.resfil2Name));
    const TextTable eb = read_tsv("hsb/eb_ref.tsv"), fv = read_tsv("hsb/l1resid_ref.tsv");
    EXPECT_EQ(l1.names, (std::vector<std::string>{"L2ID", "L1RESID", "FITVAL", "SIGMA", "MINORITY", "SES", "SIZE",
                                                  "SECTOR", "MEANSES"}));
    EXPECT_EQ(l2.names.size(), 24u);
    ASSERT_EQ(l2.rows.size(), eb.rows.size());
    ASSERT_EQ(l1.rows.size(), fv.rows.size());
    double sum = 0, sum2 = 0;
    for (const auto& r : fv.rows) sum += num(r[1]) + num(r[2]), sum2 += std::pow(num(r[1]) + num(r[2]), 2);
    const double n = static_cast<double>(fv.rows.size()), sd = std::sqrt((sum2 - sum * sum / n) / (n - 1));

    std::size_t at = 0;
    std::vector<std::pair<double, double>> distances;
    for (std::size_t s = 0; s < l2.rows.size(); ++s) {
        const auto& school = l2.rows[s];
        SCOPED_TRACE(school[0]);
        auto v = [&](const char* name) { return num(school[l2.col(name)]); };
        EXPECT_EQ(school[0], eb.rows[s][0]);
        EXPECT_NEAR(v("EBINTRCP"), num(eb.rows[s][1]), kInterceptTol);
        EXPECT_NEAR(v("EB   SES"), num(eb.rows[s][2]), kSlopeTol);
        EXPECT_NEAR(v("ECINTRCP"), v("FVINTRCP") + v("EBINTRCP"), 2e-6);
        EXPECT_NEAR(v("EC   SES"), v("FV   SES") + v("EB   SES"), 2e-6);
        // The conditional posterior variances (PVC) are the smaller.
        EXPECT_TRUE(v("PV11") > 0 && v("PVC00") <= v("PV00") && v("PVC11") <= v("PV11"));
        distances.push_back({v("MDIST"), v("CHIPCT")});

        // The school's pupils: outcome = fitted + residual; SES centred on the school mean.
        const long nj = std::atol(school[l2.col("NJ")].c_str());
        ASSERT_LE(at + nj, l1.rows.size());
        double mx = 0, my = 0, sxx = 0, sxy = 0, syy = 0, rss = 0;
        for (long i = 0; i < nj; ++i) {
            mx += num(l1.rows[at + i][l1.col("SES")]) / nj;
            my += (num(l1.rows[at + i][1]) + num(l1.rows[at + i][2])) / nj;
        }
        for (long i = 0; i < nj; ++i, ++at) {
            const auto& p = l1.rows[at];
            const double dx = num(p[l1.col("SES")]) - mx, dy = num(p[1]) + num(p[2]) - my;
            sxx += dx * dx, sxy += dx * dy, syy += dy * dy, rss += num(p[1]) * num(p[1]);
            EXPECT_EQ(p[0], school[0]);
            EXPECT_NEAR(num(p[2]), v("ECINTRCP") + v("EC   SES") * dx, 1e-5);
            EXPECT_NEAR(num(p[3]), std::sqrt(fit.sigma2), 1e-6);
            if (std::fabs(num(p[2]) - num(fv.rows[at][1])) > kLevel1TolSd * sd ||
                std::fabs(num(p[1]) - num(fv.rows[at][2])) > kLevel1TolSd * sd || p[0] != fv.rows[at][0])
                ADD_FAILURE() << "pupil " << at << ": " << p[1] << " " << p[2] << " against " << fv.rows[at][2];
        }
        // OLS residuals and the three variance diagnostics from the school's own data.
        const double df = nj - 2.0;
        EXPECT_NEAR(v("OLINTRCP"), my - v("FVINTRCP"), 1e-5);
        EXPECT_NEAR(v("OL   SES"), sxy / sxx - v("FV   SES"), 1e-4);
        EXPECT_NEAR(v("LNTOTVAR"), 0.5 * std::log((syy + 1) / (nj - 1.0)), 1e-5);
        EXPECT_NEAR(v("OLSRSVAR"), 0.5 * std::log((syy - sxy * sxy / sxx) / df + 1 / df), 1e-5);
        EXPECT_NEAR(v("MDRSVAR"), 0.5 * std::log(rss / df + 1 / df), 1e-5);
    }
    EXPECT_EQ(at, 7185u);
    std::sort(distances.begin(), distances.end());
    for (std::size_t i = 1; i < distances.size(); ++i) EXPECT_LT(distances[i - 1].second, distances[i].second);
}
