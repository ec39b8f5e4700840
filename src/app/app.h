// The run driver: the command line, the order of one run and the pass
// names. It sits on top of every subsystem; nothing below includes it.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

#include "app/base.h"

struct RunSettings;
struct ModelSpec;
struct MdmHeader;
struct LinearFit;
struct VKnownFit;
struct HeteroFit;

// ---- Run driver -------------------------------------------------------------

/// The command-line entry: runs one MDM build or one analysis, never returns normally.
int run_driver(int argc, char** argv);
/// Broken-down local time at which the run started (fixed at start-up).
const std::tm& run_start_time();
/// Output name of a numbered pass: `name` cut at its first '.' with ".N" appended.
std::string pass_output_name(const std::string& name, int passNumber);

// ---- Analysis reports and run header -----------------------------------------

/// The final report after the iterations: fixed effects with their hypothesis tests,
/// robust errors, matrix files, variance components, deviance, homogeneity test,
/// exploratory regressions and residual files (the stores must still be open). A pass of
/// a plausible-value or imputation series appends its estimates to `passResults`. After a
/// heterogeneous level-1 variance run (`hetero`) the level-1 variance table follows the
/// fixed-effects tables and the model-fit summary the deviance.
void linear_final_reports(RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out,
                          LinearFit& fit, FILE* passResults = nullptr, const HeteroFit* hetero = nullptr);
/// V-known: the final tables, the exploratory section, the residual file and the list of left-out units.
void report_vknown(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* out,
                   const VKnownFit& fit);
/// The whole V-known analysis of one pass: fit_vknown then report_vknown.
void run_vknown_analysis(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out);
/// A heterogeneous level-1 variance analysis of one pass: the macro iterations, then the final report.
void run_hetero_pass(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out);
/// Writes the banner, the specifications and the model's equations.
void write_run_header(FILE* out, const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm);
