// Stata .dta files of formats 108, 110 and 113: descriptors, then fixed-width
// observations whose layout follows from the type list.
#include <cctype>
#include <cstring>

#include "mdm/packages.h"

namespace {

int rd16(const PackageFile& pf, const unsigned char* b) { return pf.bigEndian ? pkg_be16(b) : pkg_le16(b); }
std::int32_t rd32(const PackageFile& pf, const unsigned char* b) {
    return pf.bigEndian ? pkg_be32(b) : pkg_le32(b);
}

// Bytes in little-endian order whatever the file's order.
void to_little(const PackageFile& pf, const unsigned char* b, int n, unsigned char* out) {
    for (int i = 0; i < n; ++i) out[i] = pf.bigEndian ? b[n - 1 - i] : b[i];
}

// Width in bytes of a type code, or 0 for an unknown code; `isChar` set for strings.
int type_width(int format, int code, bool& isChar) {
    isChar = false;
    if (format >= 113) {
        switch (code) {
            case 251: return 1;
            case 252: return 2;
            case 253: return 4;
            case 254: return 4;
            case 255: return 8;
            default: break;
        }
        if (code >= 1 && code <= 244) {
            isChar = true;
            return code;
        }
        return 0;
    }
    switch (code) {
        case 'b': return 1;
        case 'i': return 2;
        case 'l': return 4;
        case 'f': return 4;
        case 'd': return 8;
        default: break;
    }
    if (code > 127) {
        isChar = true;
        return code - 127;
    }
    return 0;
}

}  // namespace

void stata_read_header(PackageFile& pf) {
    unsigned char h[10];
    if (!pkg_read(pf.f, h, 1)) pkg_header_failure(pf);
    int format = h[0];
    if (format < 108) pkg_not_this_kind(pf, "Stata");
    if (format != 108 && format != 110 && format != 113) {
        std::printf("So sorry, but %s cannot read this version of stata", PROGRAM_NAME);
        pkg_header_failure(pf);
    }
    pf.stataFormat = format;
    if (!pkg_read(pf.f, h + 1, 9)) pkg_header_failure(pf);
    if (h[1] == 1) {
        std::printf("This file seems to have been created on a different platform!\n");
        pf.bigEndian = true;
    }
    int nvar = rd16(pf, h + 4);
    std::int32_t nobs = rd32(pf, h + 6);
    if (nvar <= 0 || nobs < 0) pkg_header_failure(pf);
    pf.statedRecords = nobs;
    if (!pkg_skip(pf, 81 + 18)) pkg_header_failure(pf);

    const std::size_t n = static_cast<std::size_t>(nvar);
    std::vector<unsigned char> types(n);
    if (!pkg_read(pf.f, types.data(), n)) pkg_header_failure(pf);
    const int nameLen = format >= 110 ? 33 : 9;
    std::vector<char> names(n * static_cast<std::size_t>(nameLen));
    if (!pkg_read(pf.f, names.data(), names.size())) pkg_header_failure(pf);

    long offset = 0;
    bool warned = false;
    for (std::size_t i = 0; i < n; ++i) {
        PackageVar v;
        bool isChar = false;
        int width = type_width(format, types[i], isChar);
        if (width == 0) pkg_not_this_kind(pf, "Stata");
        v.isChar = isChar;
        v.width = width;
        v.length = types[i];
        v.position = offset;
        offset += width;
        const char* raw = &names[i * static_cast<std::size_t>(nameLen)];
        std::size_t len = strnlen(raw, static_cast<std::size_t>(nameLen));
        v.fileName.assign(raw, len);
        if (len > 8 && !warned) {
            std::printf("Stata may allow for variable name lengths > 8, but not the ARBs!\n");
            warned = true;
        }
        char name[9] = {0};
        std::memcpy(name, raw, len < 8 ? len : 8);
        normalise_name_slot(name, 8, v.name);
        pf.vars.push_back(v);
    }
    pf.recordBytes = static_cast<int>(offset);

    // Sort list, formats, value-label names and variable labels.
    long skip = 2L * (nvar + 1) + 12L * nvar + static_cast<long>(nameLen) * nvar + 81L * nvar;
    if (!pkg_skip(pf, skip)) pkg_header_failure(pf);
    // Expansion fields up to one of type 0 and length 0 (format 108 keeps 16-bit lengths).
    const int lenBytes = format >= 110 ? 4 : 2;
    for (;;) {
        unsigned char e[5];
        if (!pkg_read(pf.f, e, static_cast<std::size_t>(1 + lenBytes))) pkg_header_failure(pf);
        long len = lenBytes == 4 ? rd32(pf, e + 1) : rd16(pf, e + 1);
        if (e[0] == 0 && len == 0) break;
        if (len < 0 || !pkg_skip(pf, len)) pkg_header_failure(pf);
    }
    pf.dataStart = std::ftell(pf.f);
}

namespace {

// The value of a numeric variable at `p`, with Stata's missing codes mapped.
double numeric_value(const PackageFile& pf, const PackageVar& v, const unsigned char* p) {
    unsigned char b[8];
    const bool current = pf.stataFormat >= 113;
    switch (v.width) {
        case 1: {
            int x = static_cast<signed char>(p[0]);
            if (current ? x > 100 : x == 127) return MISSING_VALUE;
            return x;
        }
        case 2: {
            int x = rd16(pf, p);
            if (current ? x >= 32741 : x == 32767) return MISSING_VALUE;
            return x;
        }
        default: break;
    }
    if (v.width == 4 && v.length == (current ? 253 : 'l')) {
        std::int32_t x = rd32(pf, p);
        if (current ? x >= 2147483621 : x == 2147483647) return MISSING_VALUE;
        return x;
    }
    to_little(pf, p, v.width, b);
    if (v.width == 4) {
        double x = pkg_le_float(b);
        if (x != x || x > (current ? 1.701e38 : 1e38)) return MISSING_VALUE;
        return x;
    }
    double x = pkg_le_double(b);
    if (x != x || x > (current ? 8.988e307 : 1e307)) return MISSING_VALUE;
    return x;
}

}  // namespace

namespace {

// True when `n` bytes at `p` are whole value-label tables: a length, a name
// (a letter or "_" first, NUL-terminated), padding, and a table of that length
// holding its entry count and text length (8 + 8 per entry + the text).
bool value_label_tables(const PackageFile& pf, const unsigned char* p, long n) {
    const long nameLen = pf.stataFormat >= 110 ? 33 : 9;
    const long head = 4 + nameLen + 3;
    while (n > 0) {
        if (n < head + 8) return false;
        const long len = rd32(pf, p);
        const unsigned char* name = p + 4;
        if (len < 8 || len > n - head || !(std::isalpha(name[0]) || name[0] == '_') ||
            std::memchr(name, '\0', static_cast<std::size_t>(nameLen)) == nullptr)
            return false;
        const long entries = rd32(pf, p + head), text = rd32(pf, p + head + 4);
        if (entries < 0 || text < 0 || entries > len / 8 || 8 + 8 * entries + text != len) return false;
        p += head + len;
        n -= head + len;
    }
    return true;
}

}  // namespace

long stata_records_beyond(PackageFile& pf) {
    const long here = std::ftell(pf.f);
    const long rb = pf.recordBytes;
    if (here < 0 || rb <= 0 || pf.fileSize <= here) return 0;
    const long trailing = pf.fileSize - here;
    // Value-label tables follow the observations; the first split of the rest
    // into whole observations and whole tables tells how many observations there are.
    constexpr long SEARCH_LIMIT = 64L << 20;
    if (trailing > SEARCH_LIMIT) return trailing / rb;
    std::vector<unsigned char> rest(static_cast<std::size_t>(trailing));
    if (!pkg_read(pf.f, rest.data(), rest.size())) return 0;
    for (long k = 0; k * rb <= trailing; ++k)
        if (value_label_tables(pf, rest.data() + k * rb, trailing - k * rb)) return k;
    return trailing / rb;
}

int stata_read_record(PackageFile& pf, PackageRecord& rec) {
    if (pf.recordsRead >= pf.statedRecords) return PKG_END;
    std::vector<unsigned char> buf(static_cast<std::size_t>(pf.recordBytes));
    std::size_t got = std::fread(buf.data(), 1, buf.size(), pf.f);
    if (got == 0) return PKG_END;
    if (got != buf.size()) return PKG_READ_ERROR;
    const PackageVar& id = pf.vars[static_cast<std::size_t>(pf.idVar)];
    rec.numericId = !id.isChar;
    if (id.isChar) {
        const char* text = reinterpret_cast<const char*>(&buf[static_cast<std::size_t>(id.position)]);
        if (static_cast<int>(strnlen(text, static_cast<std::size_t>(id.width))) > 12) {
            std::printf("Your ID variable is longer than 12 characters.\n");
            fatal_exit(0);
        }
        rec.charId = pkg_char_id(text, id.width);
    } else {
        rec.numId = pkg_numeric_id(numeric_value(pf, id, &buf[static_cast<std::size_t>(id.position)]));
    }
    for (std::size_t k = 0; k < pf.selected.size(); ++k) {
        const PackageVar& v = pf.vars[static_cast<std::size_t>(pf.selected[k])];
        rec.values[k] = numeric_value(pf, v, &buf[static_cast<std::size_t>(v.position)]);
    }
    return PKG_RECORD;
}
