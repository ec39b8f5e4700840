// Data preparation: the MDM file format, its header reader and writers,
// the creation dialogue and template, the builder and the raw-data readers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app.h"

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

/// Reads and checks the header of the MDM file open in `f`, filling `h`.
/// Ends the run with the format messages on a wrong or truncated file.
void read_mdm_header(FILE* f, MdmHeader& h);

/// What the creation dialogue or the template settled for building an MDM file.
/// (Filled in by the creation code; the run driver reads only the names and flags below.)
struct MdmCreation {
    std::string mdmFileName;     ///< the MDM file to write
    bool isVKnown = false;       ///< V-known build
    bool withinPersons = false;  ///< repeated measures within persons
};

/// Counts the builder leaves for the driver's closing lines.
struct BuildCounts {
    long l1Records = 0;
    long l2Records = 0;
    int deletedGroups = 0;
};

/// Reads an MDM creation template file into `c` (ends the run on errors).
void read_mdm_template(const char* path, MdmCreation& c);
/// Asks the ordinary raw-data creation questions on the console.
void creation_dialogue(MdmCreation& c);
/// Asks the V-known creation questions on the console.
void vknown_creation_dialogue(MdmCreation& c);
/// Builds an ordinary MDM file into `out` (open "wb") from the settled creation.
BuildCounts build_mdm(const MdmCreation& c, FILE* out);
/// Builds a V-known MDM file into `out` (open "wb").
BuildCounts build_vknown_mdm(const MdmCreation& c, FILE* out);
