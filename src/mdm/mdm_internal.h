// Internal pieces of MDM creation shared by the files of this folder and its tests.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "mdm/mdm.h"

// ---- Fixed-format ASCII reader ----------------------------------------------

/// Item kinds of a read format.
enum FormatKind : int {
    FMT_NONE = 0,
    FMT_A = 1,
    FMT_F = 2,
    FMT_E = 3,
    FMT_G = 4,
    FMT_SLASH = 5,
    FMT_X = 6,
};

/// One parsed edit descriptor of a read format.
struct FormatItem {
    int repeat = 1;  ///< digits before the letter (1 when none)
    int kind = 0;    ///< FormatKind
    int width = 1;   ///< digits after the letter, before any point (1 when none)
    int length = 0;  ///< format characters used, including the closing comma or parenthesis
};

/// Checks a typed format; returns 1 when acceptable, else prints why and returns 0.
int check_format(const char* format);
/// Parses the descriptor starting at `p`, printing the messages for odd letters.
FormatItem parse_format_item(const char* p);
/// Reads the next record of an ASCII source under its format; RECORD_READ or RECORD_END.
int ascii_next_record(RawSource& s, RecordId& id, double* values);

/// Takes the next line of a text source (line end and a trailing CR removed);
/// false at the end of the file. The text stays valid until the next call.
bool next_text_line(RawSource& s, const char*& text, std::size_t& length);

// ---- Group IDs and names ----------------------------------------------------

/// Orders two IDs: character IDs as 12-character strings, numeric IDs by value.
int compare_ids(const RecordId& a, const RecordId& b, bool numeric);
/// The ID as printed in messages: the 12 characters, or "%12.0lf".
std::string id_text(const RecordId& id, bool numeric);
/// A name slot holding `text` blank-filled to 12 characters (intercept names).
NameSlot blank_filled_slot(const char* text);
/// Normalises any length of text into a name slot with the given width.
NameSlot normalised_slot(const char* text, std::size_t length, int width);

// ---- Raw sources --------------------------------------------------------------

/// Opens a level's raw file for its type (ASCII text, packages binary with
/// their header read); ends the run with message 1 naming an unreadable file.
void open_raw_source(RawSource& s, int type, int level, const std::string& path);
/// Label of a package type for messages ("SYSTAT", "SAS", ...).
const char* raw_type_label(int type);

// ---- Descriptive statistics -------------------------------------------------

/// Running sums of one variable.
struct VarStats {
    double sum = 0.0;
    double sumSquares = 0.0;
    long count = 0;
    double minimum = 1e36;
    double maximum = -1e36;
};

/// Adds one value to the running sums.
inline void add_value(VarStats& v, double x) {
    v.sum += x;
    v.sumSquares += x * x;
    ++v.count;
    if (x < v.minimum) v.minimum = x;
    if (x > v.maximum) v.maximum = x;
}

/// Standard deviation from the sums: 0 unless n >= 2 and the spread is positive.
double stats_sd(const VarStats& v, double mean);
/// The descriptive-statistics table of one level as printed.
std::string stats_table(int level, const NameSlot* names, const VarStats* stats,
                        const double* means, int p);

// ---- Files ------------------------------------------------------------------

/// An anonymous binary scratch file in the TMP directory, gone when closed;
/// message 6 when none can be made.
FILE* open_anonymous_scratch();
/// Writes bytes or ends the run with message 5.
void write_or_die(FILE* f, const void* data, std::size_t bytes);
