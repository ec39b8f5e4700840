// Data preparation: the MDM file format, its header reader and writers,
// the creation dialogue and template, the builder and the raw-data readers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/base.h"

/// The header and in-memory tables of an MDM file, as loaded for an analysis.
struct MdmHeader {
    float version = 0.0f;
    int numL1Vars = 0;        ///< p1 (statistics in a V-known file)
    int numL2Vars = 0;        ///< p2
    int numL1Records = 0;     ///< N (0 in a V-known file)
    int numGroups = 0;        ///< J
    int hasMissing = 0;
    int deleteNow = 0;
    int growthModel = 0;
    int sourceType = 0;       ///< RawDataType code, made positive
    bool numericIds = false;  ///< group IDs are doubles, not name slots
    bool isVKnown = false;
    int maxGroupSize = 0;
    std::vector<NameSlot> l1Names;   ///< p1 + 1 slots, slot 0 INTRCPT1
    std::vector<NameSlot> l2Names;   ///< p2 + 1 slots, slot 0 INTRCPT2
    std::string l1FileName, l2FileName;
    std::vector<double> l1Means;     ///< p1
    std::vector<double> l2Means;     ///< p2
    std::vector<NameSlot> charIds;   ///< J, character IDs
    std::vector<double> numIds;      ///< J, numeric IDs
    std::vector<double> l2Data;      ///< J x p2
    long dataStart = 0;              ///< file offset of the first group block
};

/// Magic characters at the start of every MDM file.
inline constexpr const char* MDM_MAGIC = "SSARB2";
/// Oldest file version the header reader accepts.
inline constexpr float MDM_OLDEST_VERSION = 5.3295f;
/// Versions above this one carry the growthModel field.
inline constexpr float MDM_GROWTH_FIELD_VERSION = 5.349f;
/// Length of each raw-file-name field in an ordinary MDM file.
inline constexpr int MDM_FILE_NAME_FIELD = 260;

/// Reads and checks the header of the MDM file open in `f`, filling `h`.
/// Ends the run with the format messages on a wrong or truncated file.
void read_mdm_header(FILE* f, MdmHeader& h);

/// One group's stored level-1 data.
struct GroupBlock {
    int count = 0;                   ///< n_j
    std::vector<double> means;       ///< p1 group means
    std::vector<double> records;     ///< n_j x p1 values, record by record
};

/// One per-group record of a V-known MDM file.
struct VKnownRecord {
    NameSlot id{};                   ///< character group ID
    std::vector<double> stats;       ///< p1 statistics
    std::vector<double> covariance;  ///< p1(p1+1)/2 packed sampling (co)variances
    std::vector<double> l2Values;    ///< p2 level-2 values
};

/// Reads the next group block at the current position of `f`; a short or
/// corrupt block ends the run with message 4.
void read_group_block(FILE* f, const MdmHeader& h, GroupBlock& b);
/// Position in the group blocks of an open ordinary MDM file.
struct GroupBlockCursor {
    FILE* f = nullptr;            ///< the MDM file, at the next group block
    int p1 = 0;                   ///< level-1 variables per record
    long long remaining = 0;      ///< bytes left in the file; bounds every block
};
/// Positions `f` at the first group block of `h`; message 4 when the file is shorter.
GroupBlockCursor open_group_blocks(FILE* f, const MdmHeader& h);
/// Reads the next block into `means` (p1) and `records` (rows of p1) and returns its
/// record count (0 or more); a short block or a count beyond the file ends the run with message 4.
int read_next_group_block(GroupBlockCursor& c, std::vector<double>& means, std::vector<double>& records);
/// Reads the next record of a V-known MDM file; a short one ends the run with message 4.
void read_vknown_record(FILE* f, const MdmHeader& h, VKnownRecord& r);

/// Writes the header, name tables and (for ordinary files) the file names,
/// means, IDs and level-2 data: everything before the data part. The version
/// is always written as 6.02 with the growthModel field; message 5 on failure.
void write_mdm_front(FILE* out, const MdmHeader& h);
/// Writes one group block; message 5 on failure.
void write_group_block(FILE* out, int p1, int count, const double* means, const double* records);

// ---- Raw-data sources and record readers -----------------------------------

/// The group ID of one raw record: a name slot or a whole number.
struct RecordId {
    NameSlot text{};                 ///< character ID, normalised with width 12
    double number = 0.0;             ///< numeric ID
};

struct PackageFile;
struct PackageRecord;

/// One level's open raw-data file and the state of the reader behind it.
struct RawSource {
    int type = 0;                    ///< RawDataType of the file
    int level = 0;                   ///< 1 or 2
    std::string path;                ///< the file name as given
    std::shared_ptr<FILE> file;      ///< text file (ASCII); copies of a source share it
    // Fixed-format ASCII
    std::string format;              ///< read format, e.g. (A12,3F8.2)
    int fieldCount = 0;              ///< values per record, not counting the ID
    // Statistics packages: the file's dictionary, selection and reading state
    std::shared_ptr<PackageFile> pkg;          ///< package dictionary and reader state (null for ASCII)
    std::shared_ptr<PackageRecord> pkgRecord;  ///< the package reader's record buffer
    // Line input shared by the text readers
    std::vector<char> inBuf;         ///< bytes read ahead from the file
    std::size_t inPos = 0, inEnd = 0;  ///< unread part of inBuf
    bool inEof = false;              ///< the file has no more bytes
    bool inDiscard = false;          ///< the rest of an overlong line is being dropped
    long lineNumber = 0;             ///< lines taken so far
    bool lineUnended = false;        ///< the current line ended with the file, without a line end
    long missingLine = 0;            ///< ASCII: line of the last record's first blank or unread value, 0 none
    bool endChecked = false;         ///< packages: the end of the data was checked against the header
};

/// Result of a record reader: a record was read.
inline constexpr int RECORD_READ = 0;
/// Result of a record reader: no more records.
inline constexpr int RECORD_END = -1;
/// Result of a record reader: the file could not be read.
inline constexpr int RECORD_ERROR = 1;

/// Reads the next record of a source of any type: ID and the level's values
/// in name-table order; RECORD_READ, RECORD_END or RECORD_ERROR.
int read_raw_record(RawSource& s, RecordId& id, double* values);
/// Ends the run with message 4 after saying which record of the package source
/// was cut short (the reader returned RECORD_ERROR).
[[noreturn]] void stop_at_damaged_record(const RawSource& s);
/// Closes the file of a source (a text file once no copy of the source holds it).
void close_raw_source(RawSource& s);
/// True when the source has an open file to read.
bool raw_source_open(const RawSource& s);

// ---- Creation settings and entry points ------------------------------------

/// What the creation dialogue or the template settled for building an MDM file.
struct MdmCreation {
    std::string mdmFileName;     ///< the MDM file to write
    bool isVKnown = false;       ///< V-known build (from the V-known dialogue)
    bool withinPersons = false;  ///< repeated measures within persons (growthModel)
    int rawDataType = -1;        ///< RawDataType, -1 until given
    bool vKnownDeclared = false; ///< the template's VKNOWN: flag, kept for rewriting
    int hasMissing = 0;          ///< the level-1 file holds missing data
    int deleteNow = 1;           ///< delete records with missing data now (1) or at analysis (0)
    bool sameMissing = true;     ///< one missing code serves all level-1 variables
    std::vector<double> missingCodes;  ///< ASCII: p1 codes
    bool numericIds = false;     ///< package IDs are numeric (never for ASCII)
    std::string rawFileName[2];  ///< level-1 and level-2 raw file names
    std::string rawFormat[2];    ///< ASCII read formats of the two levels
    int rawVarCount[2] = {0, 0}; ///< variables in each raw file
    std::vector<NameSlot> names[2];  ///< name tables: slot 0 intercept, then variables
    RawSource source[2];         ///< the opened level-1 and level-2 files
    int vkStats = 0;             ///< V-known: p1 statistics
    int vkPredictors = 0;        ///< V-known: p2 level-2 predictors
};

/// Counts the builder leaves for the driver's closing lines.
struct BuildCounts {
    long l1Records = 0;      ///< N, level-1 records stored
    long l2Records = 0;      ///< J, groups stored
    int deletedGroups = 0;   ///< level-2 records dropped for missing data (packages)
};

/// Reads an MDM creation template file into `c` (ends the run on errors).
void read_mdm_template(const char* path, MdmCreation& c);
/// Writes the settings of `c` to "creatmdm.mdmt".
void write_mdm_template(const MdmCreation& c, bool sameMissing);
/// Asks the ordinary raw-data creation questions on the console.
void creation_dialogue(MdmCreation& c);
/// Asks the V-known creation questions on the console.
void vknown_creation_dialogue(MdmCreation& c);
/// Builds an ordinary MDM file into `out` (open "wb") from the settled creation.
BuildCounts build_mdm(const MdmCreation& c, FILE* out);
/// Builds a V-known MDM file into `out` (open "wb").
BuildCounts build_vknown_mdm(const MdmCreation& c, FILE* out);
