// Package files of the kinds the native readers were not written for, read
// through the ReadStat library: Stata 114 to 119, SAS7BDAT data sets (plain
// or compressed), zlib-compressed SPSS files and SPSS files with long names or
// very long strings. The kind is told from the file's own header, so whatever
// the native readers handle still goes to them. Such files, and CSV files, are
// read whole once the ID and the variables are chosen and are then delivered
// from memory.
//
// Decisions where the package rules leave room:
// - names longer than 8 characters are cut to 8 with the Stata reader's
//   warning (naming the package); two chosen variables whose cut names agree stop the run;
// - a file that ends early or is damaged inside its data stops the run with
//   message 4 after saying which file and what ReadStat found.
#include <readstat.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "mdm/mdm_internal.h"
#include "mdm/packages.h"

namespace {

const unsigned char SAS7BDAT_MAGIC[32] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0xc2, 0xea, 0x81, 0x60, 0xb3, 0x14, 0x11, 0xcf, 0xbd, 0x92,
                                          0x08, 0x00, 0x09, 0xc7, 0x31, 0x8c, 0x18, 0x1f, 0x10, 0x11};

const char* kind_word(int type) {
    switch (type) {
        case RAW_SAS: return "SAS";
        case RAW_SPSS: return "SPSS";
        case RAW_CSV: return "CSV";
        default: return "Stata";
    }
}

// Reads n bytes at `at`; false when the file is shorter.
bool bytes_at(const PackageFile& pf, long at, void* out, std::size_t n) {
    if (at < 0 || at > pf.fileSize || static_cast<long>(n) > pf.fileSize - at) return false;
    return std::fseek(pf.f, at, SEEK_SET) == 0 && pkg_read(pf.f, out, n);
}

// True when a long name of the subtype-13 text ("SHORT=Long Name<tab>...") is
// longer than 8 characters: the native reader would show the short names instead.
bool long_names_differ(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t tab = text.find('\t', at);
        if (tab == std::string::npos) tab = text.size();
        std::size_t eq = text.find('=', at);
        if (eq != std::string::npos && eq < tab && tab - eq - 1 > 8) return true;
        at = tab + 1;
    }
    return false;
}

// Walks the dictionary of a little-endian "$FL2" file: true when it holds very
// long strings or long names. Anything odd leaves the file to the native reader,
// which has the messages for damaged dictionaries.
bool spss_wants_readstat(const PackageFile& pf) {
    unsigned char h[176];
    if (!bytes_at(pf, 0, h, sizeof h)) return false;
    std::int32_t layout = pkg_le32(h + 64);
    if (layout < 0 || layout > 3) return false;
    long at = 176;
    auto i32 = [&](std::int32_t& v) {
        unsigned char b[4];
        if (!bytes_at(pf, at, b, 4)) return false;
        at += 4;
        v = pkg_le32(b);
        return true;
    };
    for (int records = 0; records < 1000000; ++records) {
        std::int32_t rec;
        if (!i32(rec)) return false;
        switch (rec) {
            case 2: {
                unsigned char b[28];
                if (!bytes_at(pf, at, b, 28)) return false;
                at += 28;
                std::int32_t hasLabel = pkg_le32(b + 4), nMissing = pkg_le32(b + 8), len = 0;
                if (hasLabel == 1 && (!i32(len) || len < 0)) return false;
                at += (static_cast<long>(len) + 3) / 4 * 4 + 8L * std::labs(static_cast<long>(nMissing));
                break;
            }
            case 3: {
                std::int32_t n;
                if (!i32(n) || n < 0) return false;
                for (std::int32_t i = 0; i < n; ++i) {
                    unsigned char b[9];
                    if (!bytes_at(pf, at, b, 9)) return false;
                    at += 8 + (static_cast<long>(b[8]) + 1 + 7) / 8 * 8;
                }
                std::int32_t four, count;
                if (!i32(four) || four != 4 || !i32(count) || count < 0) return false;
                at += 4L * count;
                break;
            }
            case 6: {
                std::int32_t n;
                if (!i32(n) || n < 0) return false;
                at += 80L * n;
                break;
            }
            case 7: {
                std::int32_t subtype, size, count;
                if (!i32(subtype) || !i32(size) || !i32(count) || size < 0 || count < 0) return false;
                long long bytes = static_cast<long long>(size) * count;
                if (bytes > pf.fileSize - at) return false;
                if (subtype == 14) return true;
                if (subtype == 13 && size == 1) {
                    std::string text(static_cast<std::size_t>(bytes), '\0');
                    if (!bytes_at(pf, at, text.data(), text.size())) return false;
                    if (long_names_differ(text)) return true;
                }
                at += static_cast<long>(bytes);
                break;
            }
            default: return false;  // 999 ends the dictionary; anything else is the native reader's to report
        }
        if (at > pf.fileSize) return false;
    }
    return false;
}

// What one parse collects.
struct ParseState {
    PackageFile* pf = nullptr;
    bool loading = false;            // reading values (else only the variable table)
    std::vector<int> role;           // per variable: -2 the ID, k >= 0 selected slot k, -1 unused
    std::size_t nsel = 0;
    bool idNumeric = false;
};

int on_metadata(readstat_metadata_t* m, void* ctx) {
    ParseState& st = *static_cast<ParseState*>(ctx);
    if (!st.loading) st.pf->statedRecords = readstat_get_row_count(m);
    return READSTAT_HANDLER_OK;
}

int on_variable(int index, readstat_variable_t* v, const char*, void* ctx) {
    ParseState& st = *static_cast<ParseState*>(ctx);
    PackageFile& pf = *st.pf;
    if (st.loading) {
        bool used = index >= 0 && static_cast<std::size_t>(index) < st.role.size() && st.role[static_cast<std::size_t>(index)] != -1;
        return used ? READSTAT_HANDLER_OK : READSTAT_HANDLER_SKIP_VARIABLE;
    }
    if (index != static_cast<int>(pf.vars.size()) || pf.vars.size() >= 100000) return READSTAT_HANDLER_ABORT;
    PackageVar pv;
    const char* name = readstat_variable_get_name(v);
    pv.fileName = name ? name : "";
    pv.isChar = readstat_variable_get_type_class(v) == READSTAT_TYPE_CLASS_STRING;
    std::size_t width = readstat_variable_get_storage_width(v);
    pv.width = pv.isChar ? static_cast<int>(width > 100000 ? 100000 : width) : 8;
    pv.position = index;
    pv.length = readstat_variable_get_type(v);
    if (pv.fileName.size() > 8) pkg_warn_long_name(pf, kind_word(pf.type));
    pv.name = normalised_slot(pv.fileName.c_str(), pv.fileName.size() < 8 ? pv.fileName.size() : 8, 8);
    pf.vars.push_back(pv);
    return READSTAT_HANDLER_OK;
}

int on_value(int obs, readstat_variable_t* v, readstat_value_t value, void* ctx) {
    ParseState& st = *static_cast<ParseState*>(ctx);
    if (!st.loading) return READSTAT_HANDLER_OK;
    PackageFile& pf = *st.pf;
    int index = readstat_variable_get_index(v);
    if (obs < 0 || index < 0 || static_cast<std::size_t>(index) >= st.role.size()) return READSTAT_HANDLER_ABORT;
    int role = st.role[static_cast<std::size_t>(index)];
    if (role == -1) return READSTAT_HANDLER_OK;
    // Rows come in order; room grows with the rows actually read.
    if (obs >= pf.rowCount) {
        if (obs != pf.rowCount) return READSTAT_HANDLER_ABORT;
        pf.rowCount = obs + 1;
        pf.rowValues.resize(static_cast<std::size_t>(pf.rowCount) * st.nsel, MISSING_VALUE);
        if (st.idNumeric)
            pf.rowNumIds.push_back(MISSING_VALUE);
        else
            pf.rowCharIds.push_back(pkg_char_id("", 0));
    }
    const bool isString = readstat_value_type(value) == READSTAT_TYPE_STRING ||
                          readstat_value_type(value) == READSTAT_TYPE_STRING_REF;
    if (role == -2) {
        if (!st.idNumeric) {
            const char* s = isString ? readstat_string_value(value) : nullptr;
            std::size_t len = s ? std::strlen(s) : 0;
            while (len > 0 && s[len - 1] == ' ') --len;
            if (len > 12) {
                std::printf("Your ID variable is longer than 12 characters.\n");
                fatal_exit(0);
            }
            pf.rowCharIds.back() = pkg_char_id(s ? s : "", static_cast<int>(len));
        } else if (!isString && !readstat_value_is_missing(value, v)) {
            double x = readstat_double_value(value);
            pf.rowNumIds.back() = std::isnan(x) ? MISSING_VALUE : pkg_numeric_id(x);
        }
        return READSTAT_HANDLER_OK;
    }
    double x = isString || readstat_value_is_missing(value, v) ? MISSING_VALUE : readstat_double_value(value);
    if (std::isnan(x) || x <= MISSING_VALUE) x = MISSING_VALUE;
    pf.rowValues[static_cast<std::size_t>(obs) * st.nsel + static_cast<std::size_t>(role)] = x;
    return READSTAT_HANDLER_OK;
}

void on_error(const char*, void*) {}

readstat_error_t parse(PackageFile& pf, ParseState& st, bool headerOnly) {
    readstat_parser_t* p = readstat_parser_init();
    if (p == nullptr) fatal_exit(3);
    readstat_set_metadata_handler(p, on_metadata);
    readstat_set_variable_handler(p, on_variable);
    readstat_set_value_handler(p, on_value);
    readstat_set_error_handler(p, on_error);
    if (headerOnly) readstat_set_row_limit(p, 1);
    readstat_error_t e = READSTAT_ERROR_PARSE;
    switch (pf.type) {
        case RAW_STATA: e = readstat_parse_dta(p, pf.path.c_str(), &st); break;
        case RAW_SAS: e = readstat_parse_sas7bdat(p, pf.path.c_str(), &st); break;
        case RAW_SPSS: e = readstat_parse_sav(p, pf.path.c_str(), &st); break;
        default: break;
    }
    readstat_parser_free(p);
    return e;
}

}  // namespace

bool readstat_claims(PackageFile& pf) {
    unsigned char b[32] = {0};
    bool claimed = false;
    if (pf.type == RAW_STATA && bytes_at(pf, 0, b, 11)) {
        claimed = b[0] == 114 || b[0] == 115 || std::memcmp(b, "<stata_dta>", 11) == 0;
    } else if (pf.type == RAW_STATA && bytes_at(pf, 0, b, 1)) {
        claimed = b[0] == 114 || b[0] == 115;
    } else if (pf.type == RAW_SAS && bytes_at(pf, 0, b, 32)) {
        claimed = std::memcmp(b + 12, SAS7BDAT_MAGIC + 12, 20) == 0;
    } else if (pf.type == RAW_SPSS && bytes_at(pf, 0, b, 4)) {
        claimed = std::memcmp(b, "$FL3", 4) == 0 || (std::memcmp(b, "$FL2", 4) == 0 && spss_wants_readstat(pf));
    }
    std::fseek(pf.f, 0, SEEK_SET);
    return claimed;
}

void readstat_read_header(PackageFile& pf) {
    pf.reader = PKG_READSTAT;
    ParseState st;
    st.pf = &pf;
    readstat_error_t e = parse(pf, st, true);
    if (e != READSTAT_OK || pf.vars.empty()) pkg_header_failure(pf);
    pf.varCount = static_cast<int>(pf.vars.size());
}

void readstat_load_rows(PackageFile& pf) {
    ParseState st;
    st.pf = &pf;
    st.loading = true;
    st.nsel = pf.selected.size();
    st.role.assign(pf.vars.size(), -1);
    for (std::size_t k = 0; k < pf.selected.size(); ++k) st.role[static_cast<std::size_t>(pf.selected[k])] = static_cast<int>(k);
    st.role[static_cast<std::size_t>(pf.idVar)] = -2;
    st.idNumeric = pkg_id_is_numeric(pf);
    pf.rowCharIds.clear();
    pf.rowNumIds.clear();
    pf.rowValues.clear();
    pf.rowCount = 0;
    readstat_error_t e = parse(pf, st, false);
    if (e != READSTAT_OK) {
        std::printf("The level-%d file %s is damaged: %s.\n", pf.level, pf.path.c_str(), readstat_error_message(e));
        std::fflush(stdout);
        fatal_exit(4);
    }
    pf.rowsLoaded = true;
}

// ---- Files read whole ------------------------------------------------------------

void pkg_warn_long_name(PackageFile& pf, const char* kind) {
    if (pf.longNameWarned) return;
    std::printf("%s may allow for variable name lengths > 8, but not the ARBs!\n", kind);
    pf.longNameWarned = true;
}

void pkg_selection_done(PackageFile& pf) {
    if (pf.reader == PKG_NATIVE || pf.idVar < 0) return;
    pkg_check_numeric_selection(pf);
    for (std::size_t a = 0; a < pf.selected.size(); ++a) {
        const PackageVar& va = pf.vars[static_cast<std::size_t>(pf.selected[a])];
        if (pf.reader == PKG_CSV && va.fileName.size() > 8) pkg_warn_long_name(pf, kind_word(pf.type));
        for (std::size_t b = 0; b < a; ++b) {
            const PackageVar& vb = pf.vars[static_cast<std::size_t>(pf.selected[b])];
            if (pf.selected[a] == pf.selected[b] || std::memcmp(va.name.text, vb.name.text, 8) != 0) continue;
            std::printf("The level-%d variables %s and %s both become %.8s when cut to 8 characters!\n", pf.level,
                        vb.fileName.c_str(), va.fileName.c_str(), va.name.text);
            std::fflush(stdout);
            fatal_exit(0);
        }
    }
    if (pf.reader == PKG_CSV)
        csv_load_rows(pf);
    else
        readstat_load_rows(pf);
}

int pkg_loaded_record(PackageFile& pf, PackageRecord& rec) {
    if (!pf.rowsLoaded) pkg_selection_done(pf);
    if (pf.recordsRead >= pf.rowCount) return PKG_END;
    const std::size_t r = static_cast<std::size_t>(pf.recordsRead);
    const std::size_t nsel = pf.selected.size();
    rec.numericId = pkg_id_is_numeric(pf);
    if (rec.numericId)
        rec.numId = pf.rowNumIds[r];
    else
        rec.charId = pf.rowCharIds[r];
    for (std::size_t k = 0; k < nsel; ++k) rec.values[k] = pf.rowValues[r * nsel + k];
    return PKG_RECORD;
}
