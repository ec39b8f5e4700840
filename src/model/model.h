// Model specification: the run settings and the model, the command-file
// reader and writer, and the interactive model dialogue.
#pragma once

#include <string>
#include <vector>

#include "app/base.h"

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
    /// Kind of analysis settled by the console specification; kept across passes
    /// (a heterogeneous-variance pass starts with `heteroGiven` set).
    AnalysisKind analysisKind = AnalysisKind::Linear;

    // Command-file settings: every field from here on is re-set to its default by
    // each read of the command file; the fields above survive it.
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
    // Keywords seen, for the checks after the last line.
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
    std::vector<int> l1Role;            ///< [numSets][numL1Slots]: -1 outcome, 0 out, 1 term (slot 0: the intercept)
    int numTerms = 0;
    std::vector<int> l1Centering;       ///< [numL1Slots]: 0 none, 1 group mean, 2 grand mean
    std::vector<int> fixedEffectOnly;   ///< [numSets][numL1Slots]
    std::vector<int> l2Predictors;      ///< [numSets][numL1Slots][numL2Slots], NO_ENTRY-filled
    std::vector<int> l2Candidates;      ///< [numSets][numL1Slots][12], NO_ENTRY-filled
    std::vector<int> l2Centering;       ///< [numL2Slots]: 0 none, 2 grand mean
    int numFixed = 0;
    std::vector<int> constraintGroup;   ///< [numFixed]; empty when no constraints were given
    short hypothesisRows[24] = {};      ///< contrast rows of hypotheses 1..24
    std::vector<double> contrasts;      ///< [total rows][numFixed], hypothesis by hypothesis
    std::vector<int> deletionBasis;     ///< [p1 + 1] by slot; 2 marks a deletion variable
    int trialsVar = 0;
    std::vector<int> heteroVars;        ///< level-1 slots of the level-1 variance model
    std::vector<int> plausibleValues;   ///< level-1 slots of the plausible-value variables
    int plausiblePass = 0;              ///< owned by the driver: table sizing and the reader keep it
    std::vector<int> lvrRole;           ///< per random coefficient: 0 ignore, 1 outcome, 2 predictor
    std::vector<int> l1ResidualVars;    ///< [numSets][numL1Slots]: 1 marks a column of the level-1 file
    std::vector<int> l1ResidualL2Vars;  ///< [numL2Slots]: 1 marks a level-2 column of the level-1 file
    std::vector<int> l2ResidualVars;    ///< [numL2Slots]: 1 marks a column of the level-2 file

    /// Flat index of [set][slot] tables.
    int at(int set, int slot) const { return set * numL1Slots + slot; }
    /// Flat index of l2Predictors[set][slot][k].
    int pred(int set, int slot, int k) const { return (set * numL1Slots + slot) * numL2Slots + k; }
    /// Flat index of l2Candidates[set][slot][k].
    int cand(int set, int slot, int k) const { return (set * numL1Slots + slot) * 12 + k; }

    // Set by the model dialogue
    std::vector<std::string> categoryLabels;  ///< labels of the outcome's categories, lowest first, once they are found in the data
};

/// Largest number of categories of a multinomial or ordinal outcome.
inline constexpr int MAX_CATEGORIES = 1000;

/// Resets the model and sizes its tables for the variable counts of the MDM header
/// (one equation set, the MDM level-1 names). Keeps `plausiblePass`.
void size_model_tables(const MdmHeader& mdm, ModelSpec& model);
/// Re-makes the tables indexed by set or slot, cleared, for `numSets` equation sets and
/// the MDM level-1 names followed by `numThresholds` names THOLD2, THOLD3, ...;
/// scalars, lists and `deletionBasis` are kept.
void remake_model_tables(const MdmHeader& mdm, ModelSpec& model, int numSets, int numThresholds);
/// Gives `resfil1Name` and `resfil2Name` the default names of `resfilType` where still empty.
void apply_default_resfil_names(RunSettings& rs);

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
