// Helpers for the MDM creation tests: working directories, byte building,
// forked runs, reading a whole MDM file or package file back.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "mdm/mdm_internal.h"
#include "mdm/packages.h"
#include "support/test_support.h"

namespace mdmtest {

using testsupport::console_to_stderr;

/// Runs the test inside a fresh directory and returns to the old one after it.
struct InTempDir {
    std::string dir, old;
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

/// Appends numbers (little-endian unless `big`) and text to a byte string.
struct Bytes {
    std::string s;
    bool big = false;
    Bytes& u8(std::int64_t v) { s.push_back(static_cast<char>(v & 0xff)); return *this; }
    Bytes& num(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) u8(static_cast<std::int64_t>(v >> (8 * (big ? n - 1 - i : i))));
        return *this;
    }
    Bytes& i16(std::int64_t v) { return num(static_cast<std::uint64_t>(v), 2); }
    Bytes& i32(std::int64_t v) { return num(static_cast<std::uint64_t>(v), 4); }
    Bytes& f64(double d) { std::uint64_t b; std::memcpy(&b, &d, 8); return num(b, 8); }
    Bytes& f32(float f) { std::uint32_t b; std::memcpy(&b, &f, 4); return num(b, 4); }
    Bytes& raw(const std::string& t) { s += t; return *this; }
    /// Text padded with `pad` (or cut) to exactly n bytes.
    Bytes& text(const std::string& t, std::size_t n, char pad = ' ') {
        std::string x = t.substr(0, n);
        x.resize(n, pad);
        s += x;
        return *this;
    }
    /// A 12-character name slot as the MDM file stores it, with its terminator.
    Bytes& slot(const char* t) { return text(t, 12).u8(0); }
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
            m.vknown.emplace_back();
            read_vknown_record(f, m.h, m.vknown.back());
        } else {
            m.blocks.emplace_back();
            read_group_block(f, m.h, m.blocks.back());
        }
    }
    m.atEnd = std::fgetc(f) == EOF;
    std::fclose(f);
    return m;
}

/// Everything read from an MDM file as text, one field a line, for golden copies.
inline std::string describe_mdm(const MdmContents& m) {
    const MdmHeader& h = m.h;
    std::ostringstream o;
    o.precision(10);
    auto vec = [&](const char* name, const std::vector<double>& v) {
        o << name;
        for (double x : v) o << ' ' << x;
        o << '\n';
    };
    o << "version " << h.version << "\nvars " << h.numL1Vars << ' ' << h.numL2Vars << "\nrecords " << h.numL1Records
      << "\ngroups " << h.numGroups << "\nmissing " << h.hasMissing << " deleteNow " << h.deleteNow << " growth "
      << h.growthModel << " source " << h.sourceType << " numericIds " << h.numericIds << " vknown " << h.isVKnown
      << " largest " << h.maxGroupSize << "\nfiles [" << h.l1FileName << "] [" << h.l2FileName << "]\nnames";
    for (const auto* names : {&h.l1Names, &h.l2Names, &h.charIds})
        for (const NameSlot& s : *names) o << " [" << std::string(s.text, 12) << ']';
    o << '\n';
    vec("l1Means", h.l1Means), vec("l2Means", h.l2Means), vec("numIds", h.numIds), vec("l2Data", h.l2Data);
    for (const GroupBlock& b : m.blocks) vec(("block " + std::to_string(b.count) + " means").c_str(), b.means), vec("  records", b.records);
    for (const VKnownRecord& r : m.vknown) {
        o << "[" << std::string(r.id.text, 12) << "]";
        vec("", r.stats), vec("  covariance", r.covariance), vec("  level-2", r.l2Values);
    }
    o << "at end " << m.atEnd << '\n';
    return o.str();
}

/// The 12 characters of a slot as a string.
inline std::string slot_text(const NameSlot& s) { return std::string(s.text, 12); }

/// A character ID right-justified in 12 characters, as the readers store it.
inline std::string right12(const std::string& id) { return std::string(12 - id.size(), ' ') + id; }

using testsupport::ChildResult;
using testsupport::in_child;
using testsupport::inForkedChild;

/// Every record of a package file: IDs as text ("%.0f" or the 12-character
/// slot, "missing" for a missing numeric ID) and the selected values.
struct ReadAll {
    std::vector<std::string> ids;
    std::vector<std::vector<double>> values;
    int last = PKG_END;          ///< result of the read that ended the loop
};

/// Opens the file, selects the ID and variables by name, reads every record.
inline ReadAll read_all(int type, const std::string& path, int level, const std::string& idName,
                        const std::vector<std::string>& vars) {
    ReadAll out;
    PackageFile pf;
    pkg_read_header(pf, std::fopen(path.c_str(), "rb"), type, level, path.c_str());
    pkg_set_id(pf, pkg_find_variable(pf, idName.c_str()));
    for (const std::string& v : vars) pkg_add_selected(pf, pkg_find_variable(pf, v.c_str()));
    PackageRecord rec;
    while ((out.last = pkg_read_record(pf, rec)) == PKG_RECORD && out.ids.size() < 100000) {
        char t[64];
        std::snprintf(t, sizeof t, "%.0f", rec.numId);
        out.ids.push_back(!rec.numericId ? rec.charId.text : rec.numId == MISSING_VALUE ? "missing" : t);
        out.values.push_back(rec.values);
    }
    pkg_close(pf);
    return out;
}

}  // namespace mdmtest
