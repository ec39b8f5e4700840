// Shared helpers for the test programs: scratch directories, files and
// end-to-end runs of the built arb2 executable.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// Result of one run of the executable.
struct RunResult {
    int status = -1;      ///< exit status (-1 when killed by a signal)
    std::string out;      ///< standard output and standard error, interleaved
};

/// A fresh empty directory under the system temporary directory.
std::string make_temp_dir(const std::string& tag);
/// Reads a whole file; empty string when it cannot be read.
std::string read_file(const std::string& path);
/// Writes a whole file (binary).
void write_file(const std::string& path, const std::string& text);
/// Names of the entries in a directory (not . or ..).
std::vector<std::string> list_dir(const std::string& dir);
/// Path of a file in tests/data.
std::string data_path(const std::string& name);
/// Copies tests/data/<name> into dir.
void copy_data(const std::string& name, const std::string& dir);

/// Sends what the process prints to standard error (where death tests look), unbuffered
/// so that console and report lines keep their order.
void console_to_stderr();
/// Makes `text` the standard input of this process (for console questions).
void feed_stdin(const std::string& text);

/// Runs build/arb2 with `args` (a shell-quoted string) in `workdir`, feeding
/// `input` on standard input, with TMP pointing at `tmpdir` when given and the
/// exit wait switched off. Output is captured.
RunResult run_arb2(const std::string& args, const std::string& workdir,
                   const std::string& input = "", const std::string& tmpdir = "");

/// The sections of tests/data/<name>: a line "==== title" opens each, lines before
/// the first one (comments) are skipped; bodies keep their line ends.
std::vector<std::pair<std::string, std::string>> read_cases(const std::string& name);

/// Outcome of code run in a forked child.
struct ChildResult {
    int status = -1;   ///< exit status; -1 when the child died of a signal
    std::string out;   ///< its standard output and error
};
/// Set in forked children, so a test program can skip its leak check at their exit.
inline bool inForkedChild = false;
/// Runs `fn` in a forked child with its output captured; returning from `fn` exits with 77.
ChildResult in_child(const std::function<void()>& fn);

/// `text` with the Module, Date and Time lines of a run header masked.
std::string mask_volatile(const std::string& text);
/// Compares `text` (masked) with tests/data/golden/<name>; ARB2_UPDATE_GOLDEN=1 rewrites the file.
void expect_golden(const std::string& name, const std::string& text);
/// What `write` prints to a memory stream.
std::string capture(const std::function<void(FILE*)>& write);

}  // namespace testsupport
