// Readers of statistics-package system files (SYSTAT .SYS, SAS V5 transport
// and SAS7BDAT, SPSS system files, Stata .dta) and of CSV files: header
// readers, variable selection and record readers. Internal to the MDM folder; the builder reaches them
// through the record-reader adapter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/base.h"

/// Selection mark of a package variable.
enum PkgMark : int { PKG_UNUSED = 0, PKG_SELECTED = 1, PKG_GROUP_ID = -1 };

/// Internal RawDataType of CSV files with a header row; an MDM file made from
/// them records the ASCII code, as the data are text with character IDs.
inline constexpr int RAW_CSV = 10;

/// Which reader stands behind a package file.
enum PkgReader : int { PKG_NATIVE = 0, PKG_READSTAT = 1, PKG_CSV = 2 };

/// Result of a package record read.
enum PkgReadResult : int { PKG_RECORD = 0, PKG_END = 1, PKG_READ_ERROR = -1 };

/// One variable of a package file, in file order.
struct PackageVar {
    NameSlot name{};           ///< normalised with width 8 (SYSTAT character names: width 9, "$" kept)
    std::string fileName;      ///< the name as it stands in the file, blanks trimmed
    bool isChar = false;       ///< character (string) variable
    int width = 8;             ///< character width in bytes; numeric storage length
    long position = 0;         ///< SAS/Stata: byte offset in a record; SPSS: first segment; SYSTAT: index in its block
    int length = 0;            ///< SAS: bytes; SPSS: segments; Stata: type code
    int mark = PKG_UNUSED;     ///< selection mark
    int numMissing = 0;        ///< SPSS user-missing count as stored (-2 range, -3 range plus one value)
    double missing[3] = {0.0, 0.0, 0.0};  ///< SPSS user-missing values
};

/// An open package file: its variable table, selection and reading state.
struct PackageFile {
    int type = 0;                   ///< RawDataType code
    int level = 1;                  ///< 1 or 2
    std::string path;               ///< file name as given
    FILE* f = nullptr;              ///< open for binary reading; owned here once read_header took it
    long fileSize = 0;              ///< bytes in the file
    std::vector<PackageVar> vars;   ///< variable table in file order
    int varCount = 0;               ///< the level's variable count (SPSS: 8-byte segments per case)
    int idVar = -1;                 ///< index of the group-ID variable, -1 none
    std::vector<int> selected;      ///< selected variables in delivery order
    long statedRecords = -1;        ///< records the file says it holds, -1 unknown
    long recordsRead = 0;           ///< records delivered so far
    long dataStart = 0;             ///< offset of the first data record
    int recordBytes = 0;            ///< bytes per record (SPSS: segments per case)
    bool checkedSelection = false;  ///< selected variables checked for being numeric
    // SYSTAT
    bool doubleStorage = false;     ///< 8-byte values (else 4-byte)
    int numNumeric = 0;             ///< numeric variables
    int numChar = 0;                ///< character variables
    // SPSS
    bool compressed = false;        ///< bytecode-compressed cases
    double bias = 100.0;            ///< compression bias
    double sysmis = -1.7976931348623157e308;  ///< the file's system-missing value
    unsigned char ctrl[8] = {0};    ///< current compression control block
    int ctrlPos = 8;                ///< next control byte (8: read a new block)
    bool dataEnded = false;         ///< end-of-data code or end of file met
    // Stata
    int stataFormat = 0;            ///< 108, 110 or 113
    bool bigEndian = false;         ///< numbers stored high byte first
    // Files read whole before the build (ReadStat library, CSV): the ID and the
    // selected columns of every record, delivered from memory
    int reader = PKG_NATIVE;        ///< PkgReader
    bool rowsLoaded = false;        ///< the rows below are filled
    std::vector<NameSlot> rowCharIds;  ///< character IDs, one per row
    std::vector<double> rowNumIds;  ///< numeric IDs, one per row
    std::vector<double> rowValues;  ///< rows of selected.size() values
    std::vector<long> rowLines;     ///< CSV: the line each row came from
    long rowCount = 0;              ///< rows loaded
    bool longNameWarned = false;    ///< the names-longer-than-8 warning was printed
};

/// One record as delivered to the builder.
struct PackageRecord {
    bool numericId = false;         ///< which of the two ID fields holds the ID
    double numId = 0.0;             ///< numeric ID (whole number or MISSING_VALUE)
    NameSlot charId{};              ///< character ID normalised with width 12
    std::vector<double> values;     ///< selected variables in delivery order
};

// ---- Entry points used by creation code ---------------------------------------

/// Reads the header and variable table of the package file `f` (open "rb") of
/// RawDataType `type` for `level`; takes ownership of `f`. Ends the run on failure.
void pkg_read_header(PackageFile& pf, FILE* f, int type, int level, const char* path);
/// Reads the next record into `rec`: PKG_RECORD, PKG_END or PKG_READ_ERROR.
int pkg_read_record(PackageFile& pf, PackageRecord& rec);
/// Closes the file and forgets its state.
void pkg_close(PackageFile& pf);

/// Console selection of the ID and the variables; `numericIds` is set at level 1
/// and must match at level 2. Returns the selected names for slots 1, 2, ...
std::vector<NameSlot> pkg_select_dialogue(PackageFile& pf, int& numericIds);
/// Index of the variable named `name` (case-insensitive, 8 significant characters), or -1.
int pkg_find_variable(const PackageFile& pf, const char* name);
/// Marks variable `index` as the group ID.
void pkg_set_id(PackageFile& pf, int index);
/// Appends variable `index` to the selection (delivery order = call order).
void pkg_add_selected(PackageFile& pf, int index);
/// True when the chosen ID variable is numeric.
bool pkg_id_is_numeric(const PackageFile& pf);
/// Name slots of the selected variables in delivery order.
std::vector<NameSlot> pkg_selected_names(const PackageFile& pf);
/// The ID's character width limit check: true when a character variable is wider than 12.
bool pkg_id_too_wide(const PackageFile& pf, int index);

/// Ends the selection of a file read whole: stops when two chosen names clash
/// after cutting to 8 characters, then loads the rows (nothing for the native readers).
void pkg_selection_done(PackageFile& pf);

/// Offers to convert the SAS data set "<name with .ssd>" when the transport file
/// `transportName` (containing ".ssp") is missing; true when it exists afterwards.
bool sas_offer_conversion(const std::string& transportName);

// ---- Per-format readers (pkg_<format>.cpp) ------------------------------------

/// SYSTAT .SYS header and variable names.
void systat_read_header(PackageFile& pf);
/// Next SYSTAT record.
int systat_read_record(PackageFile& pf, PackageRecord& rec);
/// SAS V5 transport header and variable descriptors.
void sas_read_header(PackageFile& pf);
/// Next SAS transport record.
int sas_read_record(PackageFile& pf, PackageRecord& rec);
/// SPSS system-file header and dictionary.
void spss_read_header(PackageFile& pf);
/// Next SPSS case.
int spss_read_record(PackageFile& pf, PackageRecord& rec);
/// Complete SPSS cases after those read so far, counted without delivering them.
long spss_records_beyond(PackageFile& pf);
/// Stata .dta header and descriptors.
void stata_read_header(PackageFile& pf);
/// Next Stata observation.
int stata_read_record(PackageFile& pf, PackageRecord& rec);
/// Stata observations after those read so far (value-label tables are not observations).
long stata_records_beyond(PackageFile& pf);

/// True when the file (at its start) is a kind the native reader of its type
/// cannot read but the ReadStat library can: Stata 114 to 119, SAS7BDAT data
/// sets, zlib-compressed SPSS files and SPSS files with long names or very long strings.
bool readstat_claims(PackageFile& pf);
/// Header and variable table through the ReadStat library.
void readstat_read_header(PackageFile& pf);
/// Reads the ID and selected columns of every record through the ReadStat library.
void readstat_load_rows(PackageFile& pf);
/// CSV header row: the variable table, one entry per column.
void csv_read_header(PackageFile& pf);
/// Reads and checks every CSV row, keeping the ID and selected columns.
void csv_load_rows(PackageFile& pf);
/// Stops at the first level-1 row whose ID is not in the level-2 file.
void csv_check_level1_ids(const PackageFile& l1, const PackageFile& l2);
/// Next record of a file read whole.
int pkg_loaded_record(PackageFile& pf, PackageRecord& rec);
/// Prints the warning for names longer than 8 characters once per file.
void pkg_warn_long_name(PackageFile& pf, const char* kind);

// ---- Shared helpers (pure unless stated) ---------------------------------------

/// Reads n bytes; false on a short read.
bool pkg_read(FILE* f, void* buf, std::size_t n);
/// Skips n bytes forward; false when that runs past the end of the file.
bool pkg_skip(const PackageFile& pf, long n);
/// Little-endian 16-bit signed value.
int pkg_le16(const unsigned char* b);
/// Little-endian 32-bit signed value.
std::int32_t pkg_le32(const unsigned char* b);
/// Big-endian 16-bit signed value.
int pkg_be16(const unsigned char* b);
/// Big-endian 32-bit signed value.
std::int32_t pkg_be32(const unsigned char* b);
/// Little-endian IEEE double.
double pkg_le_double(const unsigned char* b);
/// Little-endian IEEE single.
float pkg_le_float(const unsigned char* b);
/// IBM System/360 hexadecimal float of `len` (1..8) bytes, zero-extended, as an IEEE double.
double ibm_to_double(const unsigned char* b, int len);
/// True for the SAS missing values: first byte non-zero, the rest zero.
bool sas_is_missing(const unsigned char* b, int len);
/// True when `v` matches the SPSS user-missing declaration of `var`.
bool spss_user_missing(const PackageVar& var, double v);
/// Numeric group ID from a value: MISSING_VALUE for missing, else the integer part;
/// ends the run when it has more than 12 digits.
double pkg_numeric_id(double v);
/// Character group ID from `len` bytes of text, normalised with width 12.
NameSlot pkg_char_id(const char* text, int len);
/// Prints the not-this-kind message for the level and ends the run (message 1).
[[noreturn]] void pkg_not_this_kind(const PackageFile& pf, const char* kind);
/// Ends the run with message 1 naming the file.
[[noreturn]] void pkg_header_failure(const PackageFile& pf);
/// Ends the run when a selected variable is a character variable.
void pkg_check_numeric_selection(PackageFile& pf);
