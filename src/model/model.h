// Model specification: the run settings and the model, the command-file
// reader and writer, and the interactive model dialogue.
#pragma once

#include <string>
#include <vector>

#include "app/app.h"

struct MdmHeader;

/// Run-wide settings: command line, command-file keywords and given-flags.
struct RunSettings {
    // Set by the run driver from the command line.
    std::string mdmFileName;
    std::string commandFileName;
    std::string dataSourceName;
    bool inMemory = false;
    bool miActive = false;
    int miPass = 0;
    bool miFirst = false;
    int miLast = 0;
    int miCount = 0;
    bool withinPersons = false;
    bool isVKnown = false;

    // Command-file settings (defaults are re-set by each read of the file).
    int accel = 0;
    int taylorOrder = 0;
    int taylorSecond = 6;
    int maxIterations = 0;          ///< 0: ask
    int atIterationLimit = 2;       ///< 0 stop, 1 go on, 2 ask
    bool fullOutput = true;
    int printVarCov = 0;
    std::string graphGammas;
    int maxMacroIterations = 0;
    int distribution = 0;           ///< 0 normal, 1 Bernoulli/binomial, 2 Poisson, 3 multinomial/ordinal
    bool ordinal = false;
    int numCategories = 0;
    int popAvgIterations = 0;
    int olsUnitsShown = 0;          ///< 0: ask
    bool laplace6 = false, laplace8 = false;
    int laplace6Iterations = 50, laplace8Iterations = 50;
    int emLaplaceType = 0;
    int laplaceIterations = 0;
    int agqPoints = 0, agqIterations = 0;
    bool fullML = false;
    bool testHomogeneity = false;
    double fixedSigma2 = 0.0;
    double microCriterion = 1e-6;
    double macroCriterion = 1e-4;
    double altDeviance = MISSING_VALUE;
    int altDf = 0;
    std::string problemTitle;       ///< at most 63 characters
    std::string outputFileName;
    int level1Weight = 0, level2Weight = 0;
    int precisionVar = 0;
    int fixTau = 3;
    int resfilType = 6;
    std::string resfil1Name, resfil2Name;
    bool wantResfil1 = false, wantResfil2 = false;
    int debugLevel = 0;
    bool lvrOn = false;             ///< latent variable regression requested

    // Given-flags: the command file settled these questions.
    int level1Given = 0, level2Given = 0, randomGiven = 0, interceptGiven = 0;
    int candidatesGiven = 0, iterationsGiven = 0;
    int outputGiven = 0, titleGiven = 0, olsGiven = 0;
    int hypothesisGiven = 0, gammaGiven = 0, constrainGiven = 0;
    int resfil1Given = 0, resfil2Given = 0;
    int nonlinGiven = 0, plausGiven = 0, lvrGiven = 0, heteroGiven = 0;
    int deletionGiven = 0, homvarGiven = 0;
    int macroitGiven = 0, stopmicroGiven = 0, accelGiven = 0;
    int devianceGiven = 0, dfGiven = 0, numitGiven = 0, stopvalGiven = 0;
};

/// The model: outcome, level-1 terms, level-2 equations, constraints,
/// hypotheses and residual-file lists. Tables are indexed [set][slot]...
struct ModelSpec {
    int numSets = 1;
    int numL1Slots = 0;             ///< p1 + 1 (+ thresholds for ordinal)
    int numL2Slots = 0;             ///< p2 + 1
    std::vector<NameSlot> l1Names;  ///< level-1 name table, extended by THOLD names
    int outcome = 0;
    bool noIntercept = false;
    std::vector<int> l1Role;            ///< [numSets][numL1Slots]: -1 outcome, 0 out, 1 term
    int numTerms = 0;
    std::vector<int> l1Centering;       ///< [numL1Slots]: 0 none, 1 group mean, 2 grand mean
    std::vector<int> fixedEffectOnly;   ///< [numSets][numL1Slots]
    std::vector<int> l2Predictors;      ///< [numSets][numL1Slots][numL2Slots], NO_ENTRY-filled
    std::vector<int> l2Candidates;      ///< [numSets][numL1Slots][12], NO_ENTRY-filled
    std::vector<int> l2Centering;       ///< [numL2Slots]: 0 none, 2 grand mean
    int numFixed = 0;
    std::vector<int> constraintGroup;   ///< [numFixed]
    short hypothesisRows[24] = {};
    std::vector<double> contrasts;      ///< [total rows][numFixed]
    std::vector<int> deletionBasis;     ///< [p1 + 1] by slot; 2 marks a deletion variable
    int trialsVar = 0;
    std::vector<int> heteroVars;
    std::vector<int> plausibleValues;
    int plausiblePass = 0;
    std::vector<int> lvrRole;
    std::vector<int> l1ResidualVars;    ///< [numSets][numL1Slots]
    std::vector<int> l1ResidualL2Vars;  ///< [numL2Slots]
    std::vector<int> l2ResidualVars;    ///< [numL2Slots]

    /// Flat index of [set][slot] tables.
    int at(int set, int slot) const { return set * numL1Slots + slot; }
    /// Flat index of l2Predictors[set][slot][k].
    int pred(int set, int slot, int k) const { return (set * numL1Slots + slot) * numL2Slots + k; }
    /// Flat index of l2Candidates[set][slot][k].
    int cand(int set, int slot, int k) const { return (set * numL1Slots + slot) * 12 + k; }
};

/// Sizes and clears the model tables for the variable counts of the MDM header.
void size_model_tables(const MdmHeader& mdm, ModelSpec& model);

/// Reads the command file named in `rs.commandFileName` into `rs` and `model`
/// (only the defaults when the name is empty). Ends the run on errors.
void read_command_file(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm);
/// Refuses level-1 names beginning with THOLD before an ordinal model adds thresholds.
void check_reserved_names(const MdmHeader& mdm);
/// Asks on the console whatever the command file left open and settles the kind of analysis.
void specify_model_interactively(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm);
/// Forms of the command-file writer.
enum class CommandFileForm { PreRun, PostRun };
/// Writes the current settings and model as a command file.
void write_command_file(const char* path, CommandFileForm form, const RunSettings& rs,
                        const ModelSpec& model, const MdmHeader& mdm);
/// Writes the banner, the specification block and the model equations to `out`.
void write_run_header(FILE* out, const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm);
