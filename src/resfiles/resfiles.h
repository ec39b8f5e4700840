// Residual files: the level-1 file (one record per level-1 record used) and
// the level-2 file (one record per group) in free format, SYSTAT and SAS
// program form, and as SPSS and Stata system files. The columns are built
// once as a layout; the format writers take the layout and rows of doubles.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "app/base.h"

struct RunSettings;
struct ModelSpec;
struct MdmHeader;
struct LinearFit;
struct VKnownFit;

// ---- Table of a residual file ------------------------------------------------------

/// A statistic that could not be computed holds this value in a row.
inline constexpr double RESID_MISSING = -99.0;

/// How a column's values are stored and printed.
enum class ResidualColumnKind {
    Count,       ///< NJ: a whole number ("%ld", "%5ld", int32 in Stata)
    Value,       ///< an ordinary double
    Covariance,  ///< a posterior (co)variance: six decimals in SYSTAT and SAS data lines
};

/// One column after the group ID.
struct ResidualColumn {
    std::string name;        ///< name in free-format, SYSTAT and SAS files (SPSS cuts it to 8)
    std::string stataName;   ///< untruncated name for Stata files
    std::string recodeName;  ///< SYSTAT level-2 recode name, empty when not recoded
    ResidualColumnKind kind = ResidualColumnKind::Value;
    int group = 0;           ///< 0: values on the ID's data line; k > 0: the k-th further block of lines
    bool chosen = false;     ///< a chosen data variable (not a statistic); `padded` holds "%8.8s" of it
    std::string padded;      ///< the name slot's first 8 characters, for SYSTAT and SAS name lists
};

/// Everything a format writer needs besides the rows.
struct ResidualLayout {
    int type = RAW_ASCII;    ///< RawDataType code of the file: 2, 3, 5, 6 or 8
    int level = 2;           ///< 1 or 2
    bool charIds = true;     ///< group IDs are name slots (else doubles)
    long numRows = 0;        ///< records announced in SPSS and Stata headers
    float mdmVersion = 6.02f;  ///< version quoted in the SPSS product line
    std::tm created{};       ///< creation stamp of SPSS files
    std::vector<ResidualColumn> columns;  ///< the columns after the ID, in file order
};

/// One record: the group ID and one double per column (Count columns hold whole numbers).
struct ResidualRow {
    NameSlot charId{};       ///< character ID (right-justified name slot)
    double numId = 0.0;      ///< numeric ID
    std::vector<double> values;
};

/// True for a cell that is written as missing: -99, MISSING_VALUE or not finite.
bool residual_cell_missing(double v);
/// True when some statistic (a column that is not a chosen variable) of the row is missing.
bool residual_row_has_missing_statistic(const ResidualLayout& L, const ResidualRow& row);

// ---- Format writers ------------------------------------------------------------------

/// Name of the ID column in a file of this type and level ("ID" or "L2ID").
std::string residual_id_name(int type, int level);
/// Name of a column as written in a file of this type.
std::string residual_column_name(int type, const ResidualColumn& c);
/// Writes the name line, program text or dictionary that precedes the records.
void write_residual_header(FILE* f, const ResidualLayout& L);
/// Writes one record; message 5 when a binary write fails.
void write_residual_row(FILE* f, const ResidualLayout& L, const ResidualRow& row);
/// Ends the file: SPSS and Stata headers get the number of records written.
/// Message 5 when the stream reports a write error.
void finish_residual_file(FILE* f, const ResidualLayout& L, long rowsWritten);
/// Prints the note on statistics set to -99 or to missing for the named file.
void print_residual_note(FILE* out, const char* fileName, int type);
/// Writes a whole small table: header, rows, finish. Returns true when some
/// statistic was missing.
bool write_residual_table(FILE* f, const ResidualLayout& L, const std::vector<ResidualRow>& rows);

// ---- Columns -------------------------------------------------------------------------

/// Names the level-2 columns are built from.
struct ResidualNaming {
    std::vector<std::string> randomNames;     ///< random coefficients, leading blanks removed
    std::vector<std::string> randomIndex;     ///< their indices as text ("0", "1", ...)
    std::vector<std::string> randomEquation;  ///< multinomial: equation label of each; else empty
    std::vector<std::string> coefNames;       ///< all level-1 coefficients, leading blanks removed
    std::vector<int> coefEquation;            ///< multinomial: equation number of each; else empty
    std::vector<NameSlot> l1Chosen;           ///< chosen level-1 variables (level-1 file)
    std::vector<NameSlot> l2Chosen;           ///< chosen level-2 variables
};

/// Columns of the level-1 file: L1RESID, FITVAL, SIGMA, then the chosen variables.
std::vector<ResidualColumn> level1_columns(const ResidualNaming& n);
/// Columns of the level-2 file; `diagnostics` adds LNTOTVAR, OLSRSVAR, MDRSVAR,
/// `secondDispersion` the PVC block.
std::vector<ResidualColumn> level2_columns(const ResidualNaming& n, bool diagnostics, bool secondDispersion);

// ---- Group diagnostics ---------------------------------------------------------------

/// u' V^-1 u with V = Tau - sigma2 D (D in units of sigma2), or -99 when V fails
/// pd_check or inversion, or when nj <= r.
double mahalanobis_distance(int r, const double* tau, double sigma2, const double* D, const double* u, long nj);
/// CHIPCT of every group: chi-square quantiles on r df of the plotting positions
/// of the groups ordered by mdist; -99 where mdist is -99 or the quantile fails.
std::vector<double> chi_square_percentiles(int r, const std::vector<double>& mdist);
/// 0.5 ln(v + 1/df) for a variance v on df degrees of freedom, or -99 unless v > 0 and df >= 1.
double log_sd_diagnostic(double v, double df);

// ---- Entry points of the analysis driver -----------------------------------------------

/// Writes the requested residual files after the final report: the level-2 file,
/// then the level-1 file from a second walk over the MDM group blocks. Ends the
/// run when a file cannot be opened or written.
void write_residual_files(LinearFit& fit, const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                          FILE* mdmFile);
/// The level-2 file; reads the conditional posterior dispersions back from the
/// fit's store C when it is still open (else PVC values are missing).
void write_level2_residual_file(LinearFit& fit, const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm);
/// Residual, fitted value and sigma of one record when the model is not the linear one:
/// `record(ctx, j, raw, x, cells)` gets unit j's record (p1 values as read) and its centred
/// design row (Q values) and fills cells[0..2].
struct Level1RecordHook {
    void (*record)(void* ctx, long j, const double* raw, const double* x, double* cells) = nullptr;
    void* ctx = nullptr;
};
/// The level-1 file: residual, fitted value and sigma of every level-1 record used
/// (from `hook` when given, else from the linear fit).
void write_level1_residual_file(const LinearFit& fit, const RunSettings& rs, const ModelSpec& model,
                                const MdmHeader& mdm, FILE* mdmFile, const Level1RecordHook* hook = nullptr);

/// The naming inputs of a fitted linear model and the chosen variables of one file.
ResidualNaming residual_naming(const LinearFit& fit, const ModelSpec& model, const MdmHeader& mdm, int level);
/// The level-2 rows of a fitted linear model. `condDisp` (J x r x r, may be empty)
/// gives the PVC values; `l2Slots` the chosen level-2 slots.
std::vector<ResidualRow> level2_rows(const LinearFit& fit, const MdmHeader& mdm, bool diagnostics,
                                     bool secondDispersion, const std::vector<double>& condDisp,
                                     const std::vector<int>& l2Slots);
/// Writes the requested level-2 residual file: one record per unit that took part.
void write_vknown_residual_file(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                                const VKnownFit& fit);

// ---- Graph data file ---------------------------------------------------------------------
//
// A binary summary for drawing pictures of the fit: magic "GRARB2", version, F and the
// growth-model flag, then the estimates, the names of the variables used and one record
// per unit (IDs, level-2 values, OLS and EB coefficients with their posterior standard
// deviations, MDIST and CHIPCT, level-1 predictor summaries), closed by the model block
// that maps gammas and random coefficients to the variables. docs/graph-file.md holds the layout.

/// Version written after the magic text.
inline constexpr float GRAPH_FILE_VERSION = 6.02f;

/// Writes the graph data file of a linear fit; walks the level-1 group blocks once for
/// the predictor summaries and leaves `mdmFile` where it was. Message 5 on a failed write.
void write_graph_file(const char* path, const LinearFit& fit, const RunSettings& rs, const ModelSpec& model,
                      const MdmHeader& mdm, FILE* mdmFile);
