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

using testsupport::feed_stdin;
inline void stdout_to_stderr() { testsupport::console_to_stderr(); }

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
