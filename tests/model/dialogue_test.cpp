// The console model dialogue, fed through a temporary standard input in a
// forked child: the HSB models typed from scratch, the menus and their
// reports, the non-linear questions, and the ends of the run it can cause.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "model/dialogue_internal.h"
#include "model/test_models.h"
#include "support/test_support.h"

using namespace testmodels;

namespace {

struct DialogueRun {
    int status = -1;
    std::string transcript;   // everything the dialogue printed
    std::string commandFile;  // the file written afterwards ("" when the run ended early)
    std::string stateText;    // the settings the child wrote, one "name value" a line
    std::string dir;
};

// Status, transcript, written command file and settings in one text for a golden copy.
std::string everything(const DialogueRun& run) {
    std::string all = "status " + std::to_string(run.status) + "\n==== transcript\n" + run.transcript +
                      "\n==== command file\n" + run.commandFile + "==== settings\n" + run.stateText;
    for (std::size_t at; (at = all.find(run.dir)) != std::string::npos;) all.replace(at, run.dir.size(), "<dir>");
    return all;
}

// Settings a test can change before the dialogue runs.
struct RunSetup {
    std::string commandFile;  // under tests/data, read first when given
    CommandFileForm form = CommandFileForm::PostRun;
    std::function<void(MdmHeader&)> header;
};

// The HSB MDM file, built once by the executable from its template.
const std::string& hsb_mdm() {
    static const std::string path = [] {
        const std::string d = testsupport::make_temp_dir("dialogue-mdm");
        for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb.mdmt"}) testsupport::copy_data(f, d);
        testsupport::run_arb2("-r hsb.mdmt", d);
        return d + "/hsb.mdm";
    }();
    return path;
}

// Runs read_command_file + specify_model_interactively in a child whose standard
// input is `answers`, then writes the command file and a few settings.
DialogueRun run_dialogue(const std::string& answers, const RunSetup& setup = {}) {
    DialogueRun run;
    run.dir = testsupport::make_temp_dir("dialogue");
    const std::string in = run.dir + "/answers.txt", cmd = run.dir + "/newcmd.arb", state = run.dir + "/state.txt";
    testsupport::write_file(in, answers);
    testsupport::ChildResult r = testsupport::in_child([&] {
        if (!std::freopen(in.c_str(), "r", stdin)) _exit(99);
        MdmHeader h;
        FILE* f = std::fopen(hsb_mdm().c_str(), "rb");
        read_mdm_header(f, h);
        std::fclose(f);
        RunSettings rs;
        ModelSpec m;
        rs.dataSourceName = "hsb.mdm";
        rs.mdmFileName = hsb_mdm();
        if (setup.header) setup.header(h);
        rs.isVKnown = h.isVKnown;
        if (!setup.commandFile.empty()) {
            testsupport::copy_data(setup.commandFile, run.dir);
            rs.commandFileName = run.dir + "/" + setup.commandFile.substr(setup.commandFile.find('/') + 1);
        }
        size_model_tables(h, m);
        read_command_file(rs, m, h);
        specify_model_interactively(rs, m, h);
        write_command_file(cmd.c_str(), setup.form, rs, m, h);
        FILE* s = std::fopen(state.c_str(), "w");
        std::fprintf(s, "kind %d\nexitKind %d\nnumFixed %d\ntrialsVar %d\npopAvg %d\nfixedSigma2 %g\n",
                     (int)rs.analysisKind, (int)exit_state().kind, m.numFixed, m.trialsVar, rs.popAvgIterations,
                     rs.fixedSigma2);
        std::fprintf(s, "emLaplace %d\nmicro %g\nnumTerms %d\n", rs.emLaplaceType, rs.microCriterion, m.numTerms);
        std::fclose(s);
        std::fflush(nullptr);
        _exit(0);
    });
    run.status = r.status;
    run.transcript = r.out;
    run.commandFile = testsupport::read_file(cmd);
    run.stateText = testsupport::read_file(state);
    return run;
}

TEST(DialogueOrder, ACompleteCommandFileAsksNothing) {
    RunSetup setup;
    setup.commandFile = "hsb/hsb_full_ml.cmd";
    DialogueRun run = run_dialogue("", setup);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.transcript, "");
    EXPECT_NE(run.commandFile.find("LEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\n"), std::string::npos);
    EXPECT_NE(run.commandFile.find("MLF:y\n"), std::string::npos);
}

// ---- Answers and what they leave in the written file -----------------------------

// Every answer list of tests/data/cases/dialogue_answers.txt pins its transcript, the
// command file written and the settings it leaves in dialogue_<name>.txt. (The full
// HSB model also passes every question of a linear run, in its order; it and the
// simpler ones are typed through the executable's response file end to end too.)
TEST(DialogueAnswers, LeadToTheirSettings) {
    for (const auto& [title, answers] : testsupport::read_cases("cases/dialogue_answers.txt")) {
        RunSetup setup;
        if (title.find(" pre-run") != std::string::npos) setup.form = CommandFileForm::PreRun;
        const std::string name = title.substr(0, title.find(' '));
        testsupport::expect_golden("dialogue_" + name + ".txt", everything(run_dialogue(answers, setup)));
    }
}

// ---- The exploratory reports -----------------------------------------------------

TEST(DialogueReports, AnovaTableOfHsbMatchesTheRandomEffectsAnova) {
    DialogueRun run = run_dialogue("n\n4\n1\n\n4\n");
    EXPECT_EQ(run.status, 0);
    testsupport::expect_golden("dialogue_anova.txt", everything(run));
    std::size_t at = run.transcript.find("   MEANS    ");
    ASSERT_NE(at, std::string::npos);
    std::istringstream row(run.transcript.substr(at + 12));
    double mean, variance, reliability, chi;
    int units;
    row >> mean >> variance >> reliability >> chi >> units;
    // One-way random-effects ANOVA of MATHACH over the 160 schools.
    EXPECT_NEAR(mean, 12.62, 0.01);
    EXPECT_NEAR(variance, 8.61, 0.3);
    EXPECT_NEAR(reliability, 0.90, 0.01);
    EXPECT_NEAR(chi, 1660.2, 20.0);
    EXPECT_EQ(units, 160);
}

TEST(DialogueReports, ACorruptGroupBlockEndsTheRun) {
    RunSetup setup;
    setup.header = [](MdmHeader& h) { h.maxGroupSize = 5; };  // every school is larger
    DialogueRun run = run_dialogue("n\n4\n1\n\n", setup);
    EXPECT_EQ(run.status, 4);
    EXPECT_NE(run.transcript.find(" Unexpected end of file on read\n"), std::string::npos);
}

// ---- The arithmetic behind the reports -------------------------------------------

PairSums sums_of(const std::vector<double>& x, const std::vector<double>& y) {
    PairSums s;
    for (std::size_t i = 0; i < x.size(); ++i) {
        s.n += 1;
        s.sx += x[i];
        s.sy += y[i];
        s.sxx += x[i] * x[i];
        s.sxy += x[i] * y[i];
        s.syy += y[i] * y[i];
    }
    return s;
}

TEST(Summaries, GiveMeanVarianceReliabilityAndChiSquare) {
    const struct {
        const char* name;
        std::vector<UnitEstimate> estimates;
        AnovaRow expected;
    } cases[] = {
    // Mean 2, observed variance 2, sampling variances 1: variance 1, reliability 0.5,
    // chi-square 4 + 0 + 4 + 0 + 0 around the precision-weighted mean 2.
    {"equal_sampling_variances", {{true, 0, 1}, {true, 2, 1}, {true, 4, 1}, {true, 2, 1}, {true, 2, 1}},
     {true, 2.0, 2.0 - 1.0, 0.5, 8.0, 5}},
    {"unusable_units_are_skipped", {{true, 1, 2}, {false, 100, 1}, {true, 3, 2}, {true, 5, 0}},
     {true, 2.0, 2.0 - 2.0, 0.0, 1.0, 2}},
    {"too_few_units", {{true, 1, 1}, {false, 3, 1}}, {false, 0, 0, 0, 0, 0}},
    // Sampling variance beyond the observed spread: negative estimate, reliability 0.
    {"negative_variance_estimate", {{true, 1, 10}, {true, 2, 10}, {true, 3, 10}}, {true, 2.0, 1.0 - 10.0, 0.0, 0.2, 3}},
};

    for (const auto& c : cases) {
        AnovaRow row = summarise_estimates(c.estimates);
        const AnovaRow& e = c.expected;
        ASSERT_EQ(row.ok, e.ok) << c.name;
        if (!e.ok) continue;
        EXPECT_EQ(row.units, e.units) << c.name;
        EXPECT_NEAR(row.mean, e.mean, 1e-12) << c.name;
        EXPECT_NEAR(row.variance, e.variance, 1e-12) << c.name;
        EXPECT_NEAR(row.reliability, e.reliability, 1e-12) << c.name;
        EXPECT_NEAR(row.chiSquare, e.chiSquare, 1e-12) << c.name;
    }
}

TEST(UnitEstimates, SlopesUseThePooledResidualVariance) {
    // Unit 1: y = 1 + 2x exactly except one point; unit 2: slope -1 with noise; unit 3: constant x.
    std::vector<PairSums> units{sums_of({0, 1, 2, 3}, {1, 3, 5, 8}), sums_of({0, 1, 2}, {4, 2, 2}),
                                sums_of({1, 1, 1}, {1, 2, 3})};
    std::vector<UnitEstimate> e = unit_slopes(units);
    ASSERT_TRUE(e[0].ok && e[1].ok);
    EXPECT_FALSE(e[2].ok) << "no variance in x";
    // Unit 1: Sxx 5, Sxy 11.5, b 2.3, RSS = Syy - b Sxy = 26.75 - 26.45 = 0.3 (2 df).
    // Unit 2: Sxx 2, Sxy -2, b -1, RSS = 2.6667 - 2 = 0.6667 (1 df).
    double sigma2 = (0.3 + 2.0 / 3.0) / 3.0;
    EXPECT_NEAR(e[0].value, 2.3, 1e-12);
    EXPECT_NEAR(e[1].value, -1.0, 1e-12);
    EXPECT_NEAR(e[0].variance, sigma2 / 5.0, 1e-12);
    EXPECT_NEAR(e[1].variance, sigma2 / 2.0, 1e-12);
}

}  // namespace
