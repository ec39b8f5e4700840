// CSV files with a header row: the columns become the variable table, and once
// the template has named the ID and the variables the whole file is read and
// checked, so that every fault stops the run before the MDM file is opened.
//
// Decisions where the template rules leave room:
// - fields are split at commas; a field in double quotes may hold commas, line
//   ends and doubled quotes; blanks around an unquoted field are dropped;
// - empty lines are passed over; a line end is LF or CR LF;
// - IDs are text, normalised as fixed-format IDs are; an empty ID is a fault;
// - only the named columns are converted; the others are only counted.
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "mdm/mdm_internal.h"
#include "mdm/packages.h"

namespace {

// One field of the current row: its text in the file buffer.
struct Field {
    const char* text = nullptr;
    std::size_t length = 0;
};

// Walks the file buffer row by row.
struct CsvScanner {
    char* p = nullptr;      // next unread byte
    char* end = nullptr;    // one past the last byte
    long line = 1;          // line of the next unread byte
    long rowLine = 1;       // line on which the current row began
    std::vector<Field> fields;
};

[[noreturn]] void csv_stop(const std::string& message) {
    std::fputs(message.c_str(), stdout);
    std::fflush(stdout);
    fatal_exit(0);
}

// Text of a field as shown in a message: at most 40 characters.
std::string shown(const Field& f) {
    std::string s(f.text, f.length);
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

std::string where(const PackageFile& pf, long line, int column) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ", line %ld, column %d (", line, column + 1);
    return pf.path + buf + pf.vars[static_cast<std::size_t>(column)].fileName + "): ";
}

// Splits the next non-empty row into fields; false at the end of the file.
// Quoted fields are unquoted in place, which only ever shortens them.
bool next_row(CsvScanner& s, const PackageFile& pf) {
    s.fields.clear();
    // Empty lines are passed over.
    while (s.p < s.end && (*s.p == '\n' || *s.p == '\r')) {
        s.p += (*s.p == '\r' && s.p + 1 < s.end && s.p[1] == '\n') ? 2 : 1;
        ++s.line;
    }
    if (s.p >= s.end) return false;
    s.rowLine = s.line;
    for (;;) {
        while (s.p < s.end && (*s.p == ' ' || *s.p == '\t')) ++s.p;
        Field f;
        if (s.p < s.end && *s.p == '"') {
            char* out = ++s.p;
            f.text = out;
            for (;;) {
                if (s.p >= s.end) {
                    char buf[96];
                    std::snprintf(buf, sizeof buf, ", line %ld: a quoted field is not closed!\n", s.rowLine);
                    csv_stop(pf.path + buf);
                }
                char ch = *s.p++;
                if (ch == '"') {
                    if (s.p < s.end && *s.p == '"') {
                        *out++ = '"';
                        ++s.p;
                        continue;
                    }
                    break;
                }
                if (ch == '\n') ++s.line;
                *out++ = ch;
            }
            f.length = static_cast<std::size_t>(out - f.text);
            while (s.p < s.end && (*s.p == ' ' || *s.p == '\t')) ++s.p;
        } else {
            f.text = s.p;
            while (s.p < s.end && *s.p != ',' && *s.p != '\n' && *s.p != '\r') ++s.p;
            const char* e = s.p;
            while (e > f.text && (e[-1] == ' ' || e[-1] == '\t')) --e;
            f.length = static_cast<std::size_t>(e - f.text);
        }
        s.fields.push_back(f);
        if (s.p < s.end && *s.p == ',') {
            ++s.p;
            continue;
        }
        // End of the row: a line end, the end of the file, or text after a closing quote.
        if (s.p < s.end && (*s.p == '\n' || *s.p == '\r')) {
            s.p += (*s.p == '\r' && s.p + 1 < s.end && s.p[1] == '\n') ? 2 : 1;
            ++s.line;
            return true;
        }
        if (s.p >= s.end) return true;
        char buf[128];
        std::snprintf(buf, sizeof buf, ", line %ld, column %zu: text after the closing quote!\n", s.line,
                      s.fields.size());
        csv_stop(pf.path + buf);
    }
}

bool is_missing_text(const Field& f) {
    return f.length == 0 || (f.length == 1 && f.text[0] == '.') ||
           (f.length == 2 && f.text[0] == 'N' && f.text[1] == 'A');
}

// The number in a field; false when the whole field is not one finite number.
bool parse_number(const Field& f, double& v) {
    const char* b = f.text;
    const char* e = f.text + f.length;
    if (b < e && *b == '+') ++b;
    if (b == e) return false;
    auto r = std::from_chars(b, e, v);
    return r.ec == std::errc() && r.ptr == e && std::isfinite(v);
}

// The whole file in memory, with the UTF-8 byte-order mark skipped.
std::string whole_file(const PackageFile& pf) {
    std::string text(static_cast<std::size_t>(pf.fileSize), '\0');
    if (std::fseek(pf.f, 0, SEEK_SET) != 0 || !pkg_read(pf.f, text.data(), text.size())) pkg_header_failure(pf);
    return text;
}

std::size_t bom_length(const std::string& text) { return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; }

}  // namespace

void csv_read_header(PackageFile& pf) {
    pf.reader = PKG_CSV;
    // The header alone: up to the first line end outside quotes, read in pieces.
    std::string text;
    char buf[4096];
    bool quoted = false, done = false;
    std::size_t got;
    while (!done && (got = std::fread(buf, 1, sizeof buf, pf.f)) > 0) {
        for (std::size_t i = 0; i < got && !done; ++i) {
            if (buf[i] == '"') quoted = !quoted;
            done = !quoted && buf[i] == '\n';
            text.push_back(buf[i]);
        }
    }
    CsvScanner s;
    std::size_t skip = bom_length(text);
    s.p = text.data() + skip;
    s.end = text.data() + text.size();
    if (!next_row(s, pf) || s.rowLine != 1) csv_stop(pf.path + ", line 1: no header row!\n");
    for (const Field& f : s.fields) {
        PackageVar v;
        v.fileName.assign(f.text, f.length);
        v.name = normalised_slot(f.text, f.length < 8 ? f.length : 8, 8);
        pf.vars.push_back(v);
    }
    pf.varCount = static_cast<int>(pf.vars.size());
}

void csv_load_rows(PackageFile& pf) {
    std::string text = whole_file(pf);
    CsvScanner s;
    s.p = text.data() + bom_length(text);
    s.end = text.data() + text.size();
    next_row(s, pf);  // the header, read before
    const std::size_t nsel = pf.selected.size();
    const std::size_t ncol = pf.vars.size();
    const int id = pf.idVar;
    pf.rowCharIds.clear();
    pf.rowValues.clear();
    pf.rowLines.clear();
    pf.rowCount = 0;
    while (next_row(s, pf)) {
        if (s.fields.size() != ncol) {
            char buf[128];
            std::snprintf(buf, sizeof buf, ", line %ld: %zu fields, but the header has %zu!\n", s.rowLine,
                          s.fields.size(), ncol);
            csv_stop(pf.path + buf);
        }
        const Field& idf = s.fields[static_cast<std::size_t>(id)];
        if (idf.length == 0) csv_stop(where(pf, s.rowLine, id) + "the group ID is empty!\n");
        if (idf.length > 12)
            csv_stop(where(pf, s.rowLine, id) + "the group ID \"" + shown(idf) + "\" is longer than 12 characters!\n");
        pf.rowCharIds.push_back(pkg_char_id(idf.text, static_cast<int>(idf.length)));
        for (std::size_t k = 0; k < nsel; ++k) {
            const int col = pf.selected[k];
            const Field& f = s.fields[static_cast<std::size_t>(col)];
            double v = MISSING_VALUE;
            if (!is_missing_text(f) && !parse_number(f, v))
                csv_stop(where(pf, s.rowLine, col) + "\"" + shown(f) + "\" is not a number!\n");
            pf.rowValues.push_back(v);
        }
        pf.rowLines.push_back(s.rowLine);
        ++pf.rowCount;
    }
    pf.statedRecords = pf.rowCount;
    pf.rowsLoaded = true;
}

void csv_check_level1_ids(const PackageFile& l1, const PackageFile& l2) {
    std::unordered_set<std::string> known;
    for (const NameSlot& id : l2.rowCharIds) known.insert(std::string(id.text, 12));
    for (long r = 0; r < l1.rowCount; ++r) {
        const NameSlot& id = l1.rowCharIds[static_cast<std::size_t>(r)];
        if (known.count(std::string(id.text, 12)) != 0) continue;
        std::string text(id.text, 12);
        text.erase(0, text.find_first_not_of(' '));
        csv_stop(where(l1, l1.rowLines[static_cast<std::size_t>(r)], l1.idVar) + "group " + text +
                 " is not in the level-2 file " + l2.path + "!\n");
    }
}
