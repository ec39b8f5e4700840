// Test fixtures for the package readers: a little byte builder and a writer of
// SYSTAT .SYS files (comment lines, single or double storage, segmented records).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "mdm/packages.h"

namespace pkgfix {

/// Appends little- or big-endian numbers and text to a byte string.
struct Bytes {
    std::string s;
    /// One byte.
    Bytes& u8(int v) { s.push_back(static_cast<char>(v & 0xff)); return *this; }
    /// Little-endian 16-bit value.
    Bytes& le16(int v) { return u8(v).u8(v >> 8); }
    /// Little-endian 32-bit value.
    Bytes& le32(std::int64_t v) { return u8(int(v)).u8(int(v >> 8)).u8(int(v >> 16)).u8(int(v >> 24)); }
    /// Big-endian 16-bit value.
    Bytes& be16(int v) { return u8(v >> 8).u8(v); }
    /// Big-endian 32-bit value.
    Bytes& be32(std::int64_t v) { return u8(int(v >> 24)).u8(int(v >> 16)).u8(int(v >> 8)).u8(int(v)); }
    /// Little-endian IEEE double.
    Bytes& f64(double d) {
        std::uint64_t b;
        std::memcpy(&b, &d, 8);
        for (int i = 0; i < 8; ++i) u8(int(b >> (8 * i)));
        return *this;
    }
    /// Little-endian IEEE single.
    Bytes& f32(float f) {
        std::uint32_t b;
        std::memcpy(&b, &f, 4);
        for (int i = 0; i < 4; ++i) u8(int(b >> (8 * i)));
        return *this;
    }
    /// Text padded with `pad` (or cut) to exactly n bytes.
    Bytes& text(const std::string& t, std::size_t n, char pad = ' ') {
        std::string x = t.substr(0, n);
        x.resize(n, pad);
        s += x;
        return *this;
    }
    /// n copies of a byte.
    Bytes& fill(std::size_t n, int v) { s.append(n, static_cast<char>(v)); return *this; }
};

/// One SYSTAT record value: numeric or 12-character text.
struct SysValue {
    bool isChar = false;
    double num = 0.0;
    std::string text;
};

/// A SYSTAT file to write.
struct SystatSpec {
    std::vector<std::string> names;            ///< file order; names with "$" are character
    std::vector<std::vector<SysValue>> rows;   ///< values in file order
    bool doubleStorage = true;                 ///< 8-byte values (else 4-byte)
    std::vector<std::string> comments;         ///< comment lines written before the header
    bool segmentAll = false;                   ///< force segmented framing on every record
};

/// Payload of one record: all numeric values, then the character values.
inline std::string systat_payload(const SystatSpec& sp, const std::vector<SysValue>& row) {
    Bytes b;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i].isChar) continue;
        if (sp.doubleStorage) b.f64(row[i].num); else b.f32(static_cast<float>(row[i].num));
    }
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i].isChar) b.text(row[i].text, 12);
    }
    return b.s;
}

/// Frames a payload: short records between length markers, long ones in 128-byte
/// segments, each followed by a two-byte header giving the next segment's length.
inline std::string systat_frame(const std::string& payload, bool forceSegments) {
    Bytes b;
    if (payload.size() < 128 && !forceSegments) {
        b.u8(int(payload.size()));
        b.s += payload;
        b.u8(int(payload.size()));
        return b.s;
    }
    b.u8(0x81);
    std::size_t at = 0;
    for (;;) {
        std::size_t n = std::min<std::size_t>(128, payload.size() - at);
        b.s += payload.substr(at, n);
        at += n;
        if (at >= payload.size()) break;
        std::size_t next = std::min<std::size_t>(128, payload.size() - at);
        b.u8(0x81).u8(next == 128 ? 0x81 : int(next));
    }
    b.u8(0x81);
    return b.s;
}

/// The whole file.
inline std::string systat_file(const SystatSpec& sp) {
    Bytes b;
    int nv = static_cast<int>(sp.names.size());
    int storage = sp.doubleStorage ? 2 : 1;
    if (!sp.comments.empty()) {
        b.u8(6).le16(nv).le16(0).le16(0).u8(6);
        for (const std::string& c : sp.comments) b.u8(72).text(c, 72).u8(72);
        b.u8(72).fill(72, '$').u8(72);
    }
    b.u8(6).le16(nv).le16(0).le16(storage).u8(6);
    for (const std::string& n : sp.names) b.u8(12).text(n, 12).u8(12);
    for (const auto& row : sp.rows) b.s += systat_frame(systat_payload(sp, row), sp.segmentAll);
    return b.s;
}

/// Outcome of running a piece of code in a forked child.
struct ChildResult {
    int status = -1;   ///< exit status; -1 when the child died of a signal
    std::string out;   ///< what it printed on stdout and stderr
};

/// Runs `fn` in a forked child with its output captured; a child that returns
/// normally exits with status 77.
inline ChildResult in_child(const std::function<void()>& fn) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    std::fflush(nullptr);
    int fds[2];
    ChildResult r;
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        fn();
        std::fflush(nullptr);
        _exit(77);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    return r;
}

/// One record as the tests compare it.
struct ReadRow {
    std::string id;              ///< character ID slot, or the numeric ID printed "%.0f"
    std::vector<double> values;
};

/// All records of a package file with the named ID and variables selected.
struct ReadAll {
    std::vector<ReadRow> rows;
    int last = PKG_END;          ///< result of the read that ended the loop
    bool numericId = false;
};

/// Opens, selects by name, and reads every record (in this process).
inline ReadAll read_all(int type, const std::string& path, int level, const std::string& idName,
                        const std::vector<std::string>& vars) {
    ReadAll out;
    PackageFile pf;
    pkg_read_header(pf, std::fopen(path.c_str(), "rb"), type, level, path.c_str());
    pkg_set_id(pf, pkg_find_variable(pf, idName.c_str()));
    for (const std::string& v : vars) pkg_add_selected(pf, pkg_find_variable(pf, v.c_str()));
    PackageRecord rec;
    for (;;) {
        out.last = pkg_read_record(pf, rec);
        if (out.last != PKG_RECORD) break;
        ReadRow row;
        out.numericId = rec.numericId;
        if (rec.numericId) {
            char t[64];
            std::snprintf(t, sizeof t, "%.0f", rec.numId);
            row.id = rec.numId == MISSING_VALUE ? "missing" : t;
        } else {
            row.id = rec.charId.text;
        }
        row.values = rec.values;
        out.rows.push_back(row);
        if (out.rows.size() > 1000000) break;
    }
    pkg_close(pf);
    return out;
}

}  // namespace pkgfix
