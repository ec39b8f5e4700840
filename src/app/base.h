// The shared base every subsystem stands on: constants, name slots, console
// dialogue primitives, files and blocks, the exit routine and signal handling.
// It includes nothing of the project's own.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>

// ---- Shared constants ------------------------------------------------------

/// The internal missing-data code; every reader delivers missing data as exactly this.
inline constexpr double MISSING_VALUE = -1e36;
/// The negative of MISSING_VALUE: start value of searches, condition figure when none.
inline constexpr double BIG = 1e36;
/// The largest numeric group ID the data readers accept (12 digits).
inline constexpr double MAX_NUMERIC_ID = 999999999999.0;
/// Empty cell of the predictor and candidate tables.
inline constexpr int NO_ENTRY = -99;
/// Program name and version as printed by -v and written into MDM files.
inline constexpr const char* PROGRAM_NAME = "ARB2";
inline constexpr const char* PROGRAM_VERSION = "6.02";

/// A 13-byte name slot: 12 characters and a NUL.
struct NameSlot {
    char text[13];
};

/// Code of a raw-data source, also the type code of residual files.
enum RawDataType : int {
    RAW_VKNOWN = 1,
    RAW_ASCII = 2,
    RAW_SYSTAT = 3,
    RAW_SAS = 5,
    RAW_SPSS = 6,
    RAW_STATA = 8,
    RAW_OTHER = 9,
};

/// A name slot's 12 characters when blank.
inline constexpr char BLANK_NAME[13] = "            ";
/// Twelve three-letter month names, "Jan" to "Dec".
extern const char* const MONTH_NAMES[12];

/// Normalises a field into a name slot: upper-case the first `width` characters,
/// blank the rest, then right-justify within `width` unless all blank.
void normalise_name_slot(const char* field, int width, NameSlot& slot);
/// Returns a name slot holding `name` normalised as a variable name (width 8).
NameSlot make_variable_name(const char* name);

// ---- Console dialogue primitives --------------------------------------------

/// Reads one whole answer line from standard input (line end removed);
/// returns false at end of input, leaving `line` empty.
bool read_answer_line(std::string& line);
/// Asks a yes/no question; 1 for an answer starting y/Y, 0 for n/N.
int ask_yes_no(const char* prompt);
/// Asks for an integer within [minimum, maximum]; ten reads at most.
int ask_int(int minimum, int maximum, const char* prompt);
/// Asks for a real within [minimum, maximum]; ten reads at most.
double ask_real(double minimum, double maximum, const char* prompt);
/// Prints "Hit return to continue " and reads one character.
void pause_for_return();
/// Prints a line end and the text centred on a 75-column line.
void section_heading(const char* text);
/// Lists slots 1..n of a name table in rows of three, leaving out `excluded`.
void show_choices(int n, const NameSlot* names, int excluded, const char* heading);

// ---- Shared services --------------------------------------------------------

/// True when a file of that name exists.
bool file_exists(const char* path);
/// Opens a file or ends the run with the open failure message (status 0).
FILE* open_or_die(const char* path, const char* mode);
/// Zero-filled block; null for 0 bytes; message 3 on exhaustion.
void* alloc_or_die(std::size_t bytes);
/// Resizes a block; message 3 on exhaustion.
void* realloc_or_die(void* block, std::size_t bytes);
/// Frees a block from alloc_or_die; null is ignored.
void release(void* block);
/// First slot 0..last whose 8-character name matches `name`, or -1.
int find_name(const NameSlot* table, int last, const char* name);
/// Writes one line end to the stream.
void report_newline(FILE* stream);
/// Writes a blank, n hyphens and a line end to the stream.
void report_rule(FILE* stream, int n);
/// Busy-waits until more than n whole seconds of process clock have passed.
void wait_seconds(int n);

// ---- Exit routine and interrupts --------------------------------------------

/// Kinds of analysis that change what the exit routine does with the output file.
enum class AnalysisKind { Linear, NonLinear, HeteroVariance, Multinomial };

/// What the exit routine needs to know about the run.
struct ExitState {
    FILE* output = nullptr;            ///< the open report stream, or null
    std::string outputFileName;        ///< its name ("stdout" for the console)
    AnalysisKind kind = AnalysisKind::Linear;
    std::string tempNames[3];          ///< the three temporary file names of the run
    std::string unfinishedFile;        ///< an output being written under a temporary name, removed at any end
    void (*closeScratch)() = nullptr;  ///< closes every scratch file; set by the scratch store
    int waitAtExit = 0;                ///< the -w count
    bool skipExitWait = false;         ///< test hook: no three-second wait (env ARB2_NO_EXIT_WAIT)
};

/// The run's exit state; signal handlers reach it, so it is process-wide.
ExitState& exit_state();
/// The temporary directory: $TMP, or /tmp when it is unset or empty.
std::string temp_directory();
/// Creates an empty file with a fresh unique name in the temporary directory
/// and returns its name; empty when none can be made.
std::string make_temp_name();

/// Prints the catalogue message of `code`, removes scratch and temporary files,
/// waits, and ends the process with `code` as status. Never returns.
[[noreturn]] void fatal_exit(int code, const char* text = "");
/// Installs the floating-point, Ctrl-C, Ctrl-Break and termination handlers.
void install_handlers();
/// From now on Ctrl-C only requests that iterations stop.
void install_soft_interrupt();
/// Polled once per iteration: asks what to do after a Ctrl-C.
/// Returns true when the user chose to stop iterating; the caller then raises
/// its iteration-stopped flags and sets the Laplace iteration limits to 0.
bool check_soft_interrupt();
