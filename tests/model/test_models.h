// Test fixtures: HSB-like MDM headers, builders for model records filled the way
// the command-file reader fills them, and captured or death-test reads.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "model/model.h"
#include "support/test_support.h"

namespace testmodels {

/// Header with the given level-1 names and the six HSB level-2 names.
inline MdmHeader header_with(const std::vector<const char*>& l1) {
    MdmHeader h;
    h.numL1Vars = (int)l1.size();
    h.numL2Vars = 6;
    h.hasMissing = 1;
    h.l1Names.push_back(make_variable_name("INTRCPT1"));
    for (const char* n : l1) h.l1Names.push_back(make_variable_name(n));
    for (const char* n : {"INTRCPT2", "SIZE", "SECTOR", "PRACAD", "DISCLIM", "HIMINTY", "MEANSES"})
        h.l2Names.push_back(make_variable_name(n));
    return h;
}

/// Level-1 slots MINORITY 1, FEMALE 2, SES 3, MATHACH 4; level-2 SIZE 1 .. MEANSES 6.
inline MdmHeader hsb() { return header_with({"MINORITY", "FEMALE", "SES", "MATHACH"}); }

/// The High School and Beyond MDM file as built: 160 schools, deletion done.
inline MdmHeader hsb_header() {
    MdmHeader h = hsb();
    h.version = 6.02f;
    h.numL1Records = 7185;
    h.numGroups = 160;
    h.hasMissing = 0;
    h.deleteNow = 1;
    h.sourceType = RAW_ASCII;
    h.maxGroupSize = 67;
    return h;
}

/// The intercepts- and slopes-as-outcomes model: six fixed effects.
inline const std::string MODEL =
    "LEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\n"
    "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+MEANSES,2+RANDOM/\n"
    "LEVEL2:SES=INTRCPT2+SECTOR+MEANSES,2+RANDOM/\n";

/// Makes `slot` the outcome of every set.
inline void set_outcome(ModelSpec& m, int slot) {
    m.outcome = slot;
    for (int s = 0; s < m.numSets; ++s) m.l1Role[m.at(s, slot)] = -1;
}

/// Adds a level-1 term (slot 0 is the intercept) to set `s`.
inline void add_term(ModelSpec& m, int s, int slot, int centering = 0) {
    m.l1Role[m.at(s, slot)] = 1;
    if (slot > 0) m.l1ResidualVars[m.at(s, slot)] = 1;
    if (centering) m.l1Centering[slot] = centering;
}

/// Scratch directory shared by the tests of one program.
inline std::string dir() {
    static std::string d = testsupport::make_temp_dir("model");
    return d;
}

/// Writes a command file into the scratch directory and returns its path.
inline std::string write_cmd(const std::string& text, const std::string& name = "run.cmd") {
    std::string path = dir() + "/" + name;
    testsupport::write_file(path, text);
    return path;
}

/// Death-test body: reads with the console on the error stream, where the regex looks;
/// status 99 means the read went on to the end.
inline void read_to_stderr(const std::string& path, const MdmHeader& mdm) {
    dup2(2, 1);
    RunSettings rs;
    ModelSpec model;
    rs.commandFileName = path;
    read_command_file(rs, model, mdm);
    std::fflush(stdout);
    std::_Exit(99);
}

/// Settings, model and console output of one read.
struct Parsed {
    RunSettings rs;
    ModelSpec model;
    std::string out;
};

/// Reads a command file with the console captured; pauses are answered from a file.
inline Parsed read_path(const std::string& path, const MdmHeader& mdm = hsb()) {
    Parsed p;
    std::string answers = write_cmd("\n\n\n\n\n\n", "answers.txt");
    EXPECT_NE(std::freopen(answers.c_str(), "r", stdin), nullptr);
    testing::internal::CaptureStdout();
    p.rs.commandFileName = path;
    read_command_file(p.rs, p.model, mdm);
    std::fflush(stdout);
    p.out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    return p;
}

/// Reads a command text the same way.
inline Parsed read_text(const std::string& text, const MdmHeader& mdm = hsb()) {
    return read_path(write_cmd(text), mdm);
}

/// The settings and model fields a command file carries, one "name value" a line;
/// with `all`, also what only the reader sets (the given flags, table sizes, names).
/// A written command file must give back the same text without `all`.
inline std::string describe(const RunSettings& r, const ModelSpec& m, bool all = true) {
    std::ostringstream o;
    o.precision(10);
    auto put = [&](const char* n, auto v) { o << n << ' ' << v << '\n'; };
    auto vec = [&](const char* n, const auto& v) {
        o << n;
        for (auto x : v) o << ' ' << x;
        o << '\n';
    };
#define R(x) put(#x, r.x)
#define M(x) put(#x, m.x)
#define V(x) vec(#x, m.x)
    R(maxIterations), R(atIterationLimit), R(microCriterion), R(macroCriterion), R(maxMacroIterations);
    R(distribution), R(ordinal), R(numCategories), R(laplace6), R(laplace6Iterations), R(laplaceIterations);
    R(taylorOrder), R(taylorSecond), R(fullML), R(testHomogeneity), R(fixedSigma2), R(altDeviance), R(altDf);
    R(problemTitle), R(outputFileName), R(level1Weight), R(level2Weight), R(precisionVar), R(fixTau);
    R(resfilType), R(wantResfil1), R(wantResfil2), R(debugLevel), R(lvrOn), R(accel), R(olsUnitsShown);
    R(printVarCov), R(fullOutput), R(graphGammas);
    put("emLaplace", all ? r.emLaplaceType : r.emLaplaceType != 0);
    if (all || r.wantResfil1) R(resfil1Name);
    if (all || r.wantResfil2) R(resfil2Name);
    M(numSets), M(numL1Slots), M(outcome), M(noIntercept), M(numTerms), M(numFixed), M(trialsVar);
    V(l1Role), V(l1Centering), V(fixedEffectOnly), V(l2Predictors), V(l2Candidates), V(l2Centering);
    V(contrasts), V(deletionBasis), V(heteroVars), V(plausibleValues), V(lvrRole), V(l1ResidualL2Vars);
    V(l2ResidualVars), V(hypothesisRows);
    std::vector<int> groups, l1Columns(m.l1ResidualVars.begin(), m.l1ResidualVars.begin() + std::min<std::size_t>(m.numL1Slots, m.l1ResidualVars.size()));
    for (int g : m.constraintGroup) groups.push_back(g);
    if (std::count(groups.begin(), groups.end(), 0) == (long)groups.size()) groups.clear();  // all zero: none
    vec("constraintGroup", all ? m.constraintGroup : groups);
    vec("l1ResidualVars", all ? m.l1ResidualVars : l1Columns);
    if (!all) return o.str();
    R(popAvgIterations), R(agqPoints), R(agqIterations), R(laplace8), R(analysisKind == AnalysisKind::Linear);
    M(numL2Slots);
    for (const NameSlot& n : m.l1Names) o << '[' << n.text << ']';
    o << '\n';
    R(level1Given), R(level2Given), R(randomGiven), R(interceptGiven), R(candidatesGiven), R(iterationsGiven);
    R(outputGiven), R(titleGiven), R(olsGiven), R(hypothesisGiven), R(gammaGiven), R(constrainGiven);
    R(resfil1Given), R(resfil2Given), R(nonlinGiven), R(plausGiven), R(lvrGiven), R(heteroGiven);
    R(deletionGiven), R(homvarGiven), R(macroitGiven), R(stopmicroGiven), R(accelGiven), R(devianceGiven);
    R(dfGiven), R(numitGiven), R(stopvalGiven);
#undef R
#undef M
#undef V
    return o.str();
}

/// The lines of `text` whose name (first word) has another line in `base`: what a read changed.
inline std::string changed_lines(const std::string& text, const std::string& base) {
    std::istringstream a(text), b(base);
    std::string out, la, lb;
    while (std::getline(a, la)) {
        if (!std::getline(b, lb)) lb.clear();
        if (la != lb) out += la + "\n";
    }
    return out;
}

}  // namespace testmodels
