// Helpers shared by the app tests: standard input from a text, the console on
// the stream death tests watch, and small text builders.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/test_support.h"

namespace apptest {

/// Set before any test runs, so the exit routine never waits.
inline const bool kNoExitWait = (setenv("ARB2_NO_EXIT_WAIT", "1", 1), true);

/// Makes `text` the standard input of this process.
inline void feed_stdin(const std::string& text) {
    static const std::string dir = testsupport::make_temp_dir("app");
    std::string path = dir + "/answers.txt";
    testsupport::write_file(path, text);
    if (std::freopen(path.c_str(), "r", stdin) == nullptr) std::abort();
}

/// Sends what the process prints to the stream a death test watches.
inline void stdout_to_stderr() {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

/// `s` written `n` times.
inline std::string repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

/// A regular expression matching exactly `text`.
inline std::string exactly(const std::string& text) {
    std::string re = "^";
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) re += '\\';
        re += c;
    }
    return re + "$";
}

}  // namespace apptest
