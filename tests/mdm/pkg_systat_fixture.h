// Test fixtures for the package readers: a byte builder, a SYSTAT .SYS writer
// (comment lines, single or double storage, segmented records), a forked-child
// runner and a read-everything helper.
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
    /// Text padded with `pad` (or cut) to exactly n bytes.
    Bytes& text(const std::string& t, std::size_t n, char pad = ' ') {
        std::string x = t.substr(0, n);
        x.resize(n, pad);
        s += x;
        return *this;
    }
};

/// A SYSTAT file: names (with "$" for character variables) and rows whose
/// character cells are given in `text` and numeric cells in `num`.
struct SystatSpec {
    std::vector<std::string> names;
    std::vector<std::vector<double>> num;       ///< per row, the numeric values in file order
    std::vector<std::vector<std::string>> text; ///< per row, the character values in file order
    bool doubleStorage = true;
    std::vector<std::string> comments;          ///< comment lines before the header
    bool segmentAll = false;                    ///< segmented framing even for short records
};

/// The whole file: header, names, then each record between length markers or,
/// when long, in 128-byte segments joined by two-byte headers.
inline std::string systat_file(const SystatSpec& sp) {
    Bytes b;
    int nv = static_cast<int>(sp.names.size());
    if (!sp.comments.empty()) {
        b.u8(6).i16(nv).i16(0).i16(0).u8(6);
        for (const std::string& c : sp.comments) b.u8(72).text(c, 72).u8(72);
        b.u8(72).text("", 72, '$').u8(72);
    }
    b.u8(6).i16(nv).i16(0).i16(sp.doubleStorage ? 2 : 1).u8(6);
    for (const std::string& n : sp.names) b.u8(12).text(n, 12).u8(12);
    for (std::size_t r = 0; r < sp.num.size(); ++r) {
        Bytes p;
        for (double v : sp.num[r]) sp.doubleStorage ? p.f64(v) : p.f32(static_cast<float>(v));
        for (const std::string& t : sp.text[r]) p.text(t, 12);
        if (p.s.size() < 128 && !sp.segmentAll) {
            b.u8(static_cast<std::int64_t>(p.s.size())).text(p.s, p.s.size()).u8(static_cast<std::int64_t>(p.s.size()));
            continue;
        }
        b.u8(0x81);
        for (std::size_t at = 0; at < p.s.size(); at += 128) {
            if (at) b.u8(0x81).u8(p.s.size() - at >= 128 ? 0x81 : static_cast<std::int64_t>(p.s.size() - at));
            b.s += p.s.substr(at, 128);
        }
        b.u8(0x81);
    }
    return b.s;
}

/// Set in forked children: the leak checker is skipped at their exit.
inline bool inForkedChild = false;

/// Outcome of code run in a forked child.
struct ChildResult {
    int status = -1;   ///< exit status; -1 when the child died of a signal
    std::string out;   ///< its standard output and error
};

/// Runs `fn` in a forked child with output captured; returning from `fn` exits with 77.
inline ChildResult in_child(const std::function<void()>& fn) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    std::fflush(nullptr);
    int fds[2];
    ChildResult r;
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        inForkedChild = true;
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

/// Every record of a package file: IDs as text ("%.0f" or the 12-character
/// slot, "missing" for a missing numeric ID) and the selected values.
struct ReadAll {
    std::vector<std::string> ids;
    std::vector<std::vector<double>> values;
    int last = PKG_END;          ///< result of the read that ended the loop
    bool numericId = false;
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
        out.numericId = rec.numericId;
        out.ids.push_back(!rec.numericId ? rec.charId.text : rec.numId == MISSING_VALUE ? "missing" : t);
        out.values.push_back(rec.values);
    }
    pkg_close(pf);
    return out;
}

}  // namespace pkgfix
