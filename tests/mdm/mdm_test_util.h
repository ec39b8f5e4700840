// Helpers for the MDM creation tests: working directories, byte building,
// reading a whole MDM file back, and parsing the shipped ASCII data.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "mdm/mdm_internal.h"
#include "support/test_support.h"

namespace mdmtest {

inline const bool kNoExitWait = (setenv("ARB2_NO_EXIT_WAIT", "1", 1), true);

/// Inside a death test: console messages go where the death-test matcher looks.
inline void console_to_stderr() {
    std::fflush(stdout);
    dup2(2, 1);
}

/// Runs the test inside a fresh directory and returns to the old one after it.
struct InTempDir {
    std::string dir;
    std::string old;
    explicit InTempDir(const char* tag) : dir(testsupport::make_temp_dir(tag)) {
        char buf[4096];
        old = getcwd(buf, sizeof buf) ? buf : "/";
        if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "cannot enter " << dir;
    }
    ~InTempDir() {
        if (chdir(old.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old;
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
};

/// Little-endian bytes for hand-made MDM files.
struct Bytes {
    std::string s;
    Bytes& raw(const std::string& t) { s += t; return *this; }
    Bytes& i32(int32_t v) {
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xff));
        return *this;
    }
    Bytes& f32(float f) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        return i32(static_cast<int32_t>(u));
    }
    Bytes& f64(double d) {
        uint64_t u;
        std::memcpy(&u, &d, 8);
        for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((u >> (8 * i)) & 0xff));
        return *this;
    }
    Bytes& slot(const char* text12) {
        std::string t(text12);
        t.resize(12, ' ');
        s += t;
        s.push_back('\0');
        return *this;
    }
};

/// A whole MDM file as the header reader and the group-block reader see it.
struct MdmContents {
    MdmHeader h;
    std::vector<GroupBlock> blocks;
    std::vector<VKnownRecord> vknown;
    bool atEnd = false;  ///< nothing follows the last block
};

inline MdmContents read_whole_mdm(const std::string& path) {
    MdmContents m;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return m;
    }
    read_mdm_header(f, m.h);
    std::fseek(f, m.h.dataStart, SEEK_SET);
    for (int j = 0; j < m.h.numGroups; ++j) {
        if (m.h.isVKnown) {
            VKnownRecord r;
            read_vknown_record(f, m.h, r);
            m.vknown.push_back(r);
        } else {
            GroupBlock b;
            read_group_block(f, m.h, b);
            m.blocks.push_back(b);
        }
    }
    m.atEnd = std::fgetc(f) == EOF;
    std::fclose(f);
    return m;
}

/// One record of a whitespace-separated ASCII data file: ID and values.
struct TextRecord {
    std::string id;
    std::vector<double> values;
};

inline std::vector<TextRecord> read_text_records(const std::string& path) {
    std::vector<TextRecord> out;
    std::istringstream in(testsupport::read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        TextRecord r;
        if (!(ls >> r.id)) continue;
        double v;
        while (ls >> v) r.values.push_back(v);
        out.push_back(r);
    }
    return out;
}

/// The 12 characters of a slot as a string.
inline std::string slot_text(const NameSlot& s) { return std::string(s.text, 12); }

/// A character ID right-justified in 12 characters, as the readers store it.
inline std::string right12(const std::string& id) { return std::string(12 - id.size(), ' ') + id; }

}  // namespace mdmtest
