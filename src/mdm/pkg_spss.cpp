// SPSS system files: the dictionary records and the cases, uncompressed or
// bytecode-compressed, with system-missing and user-missing values.
#include <cstring>

#include "mdm/packages.h"

bool spss_user_missing(const PackageVar& var, double v) {
    switch (var.numMissing) {
        case 1: case 2: case 3:
            for (int i = 0; i < var.numMissing; ++i) {
                if (v == var.missing[i]) return true;
            }
            return false;
        case -2: return v >= var.missing[0] && v <= var.missing[1];
        case -3: return (v >= var.missing[0] && v <= var.missing[1]) || v == var.missing[2];
        default: return false;
    }
}

namespace {

bool read_i32(PackageFile& pf, std::int32_t& v) {
    unsigned char b[4];
    if (!pkg_read(pf.f, b, 4)) return false;
    v = pkg_le32(b);
    return true;
}

// Reads one int32 or ends the run as a damaged header.
std::int32_t need_i32(PackageFile& pf) {
    std::int32_t v = 0;
    if (!read_i32(pf, v)) pkg_header_failure(pf);
    return v;
}

void strange_header(const PackageFile& pf) {
    std::printf("The level-%d SPSS has a strange header.\n", pf.level);
    pkg_header_failure(pf);
}

// One variable record (type 2) after its record type.
void read_variable_record(PackageFile& pf, int segment) {
    unsigned char b[28];
    if (!pkg_read(pf.f, b, sizeof b)) pkg_header_failure(pf);
    std::int32_t type = pkg_le32(b);
    std::int32_t hasLabel = pkg_le32(b + 4);
    std::int32_t nMissing = pkg_le32(b + 8);
    if (type < -1 || type > 255 || nMissing < -3 || nMissing > 3 || nMissing == -1) {
        pkg_not_this_kind(pf, "SPSS");
    }
    if (hasLabel == 1) {
        std::int32_t len = need_i32(pf);
        if (len < 0 || !pkg_skip(pf, (static_cast<long>(len) + 3) / 4 * 4)) pkg_header_failure(pf);
    }
    double missing[3] = {0.0, 0.0, 0.0};
    int count = nMissing < 0 ? -nMissing : nMissing;
    for (int i = 0; i < count; ++i) {
        unsigned char m[8];
        if (!pkg_read(pf.f, m, 8)) pkg_header_failure(pf);
        missing[i] = pkg_le_double(m);
    }
    if (type == -1) {
        // A continuation segment of the string before it.
        if (pf.vars.empty() || !pf.vars.back().isChar) pkg_not_this_kind(pf, "SPSS");
        pf.vars.back().length += 1;
        return;
    }
    PackageVar v;
    v.isChar = type > 0;
    v.width = v.isChar ? type : 8;
    v.position = segment;
    v.length = 1;
    v.numMissing = v.isChar ? 0 : nMissing;
    std::memcpy(v.missing, missing, sizeof missing);
    char name[9] = {0};
    std::memcpy(name, b + 20, 8);
    v.fileName = name;
    while (!v.fileName.empty() && v.fileName.back() == ' ') v.fileName.pop_back();
    normalise_name_slot(name, 8, v.name);
    pf.vars.push_back(v);
}

// Value labels (type 3) and the index list (type 4) that must follow them.
void skip_value_labels(PackageFile& pf) {
    std::int32_t n = need_i32(pf);
    if (n < 0) strange_header(pf);
    for (std::int32_t i = 0; i < n; ++i) {
        unsigned char b[9];
        if (!pkg_read(pf.f, b, 9)) pkg_header_failure(pf);
        // The length byte and the text together fill a multiple of 8 bytes.
        long used = (static_cast<long>(b[8]) + 1 + 7) / 8 * 8 - 1;
        if (!pkg_skip(pf, used)) pkg_header_failure(pf);
    }
    if (need_i32(pf) != 4) strange_header(pf);
    std::int32_t count = need_i32(pf);
    if (count < 0 || !pkg_skip(pf, 4L * count)) pkg_header_failure(pf);
}

// Extension records (type 7); every subtype is skipped by size and count, except
// that the machine floating-point record gives the system-missing value.
void read_extension(PackageFile& pf) {
    std::int32_t subtype = need_i32(pf);
    std::int32_t size = need_i32(pf);
    std::int32_t count = need_i32(pf);
    long here = std::ftell(pf.f);
    if (size < 0 || count < 0 || static_cast<long long>(size) * count > pf.fileSize - here) {
        std::printf("Invalid dictionary subtype in SPSS level-%d file.\n", pf.level);
        pkg_header_failure(pf);
    }
    long bytes = static_cast<long>(static_cast<long long>(size) * count);
    if (subtype == 4 && size == 8 && count >= 1) {
        unsigned char m[8];
        if (!pkg_read(pf.f, m, 8)) pkg_header_failure(pf);
        pf.sysmis = pkg_le_double(m);
        bytes -= 8;
    }
    if (!pkg_skip(pf, bytes)) pkg_header_failure(pf);
}

}  // namespace

void spss_read_header(PackageFile& pf) {
    unsigned char h[176];
    if (!pkg_read(pf.f, h, sizeof h)) {
        // Too short for the file header: say so only when it does not even start right.
        if (pf.fileSize >= 4) {
            unsigned char m[4];
            std::fseek(pf.f, 0, SEEK_SET);
            if (pkg_read(pf.f, m, 4) && std::memcmp(m, "$FL2", 4) != 0) pkg_not_this_kind(pf, "SPSS");
        }
        pkg_header_failure(pf);
    }
    if (std::memcmp(h, "$FL2", 4) != 0) pkg_not_this_kind(pf, "SPSS");
    std::int32_t layout = pkg_le32(h + 64);
    if (layout < 0 || layout > 3) pkg_not_this_kind(pf, "SPSS");
    std::int32_t caseSize = pkg_le32(h + 68);
    pf.compressed = pkg_le32(h + 72) != 0;
    std::int32_t ncases = pkg_le32(h + 80);
    pf.statedRecords = ncases >= 0 ? ncases : -1;
    pf.bias = pkg_le_double(h + 84);

    // One variable record per 8-byte segment; a case size of -1 means "not stated".
    int segments = 0;
    std::int32_t rec = 0;
    for (;;) {
        if (caseSize >= 0 && segments == caseSize) {
            rec = need_i32(pf);
            break;
        }
        rec = need_i32(pf);
        if (rec != 2) {
            if (caseSize >= 0) pkg_not_this_kind(pf, "SPSS");
            break;
        }
        read_variable_record(pf, segments);
        ++segments;
    }
    if (segments == 0 || pf.vars.empty()) pkg_header_failure(pf);
    pf.recordBytes = segments;
    pf.varCount = segments;

    for (;;) {
        switch (rec) {
            case 3: skip_value_labels(pf); break;
            case 6: {
                std::int32_t lines = need_i32(pf);
                if (lines < 0 || !pkg_skip(pf, 80L * lines)) pkg_header_failure(pf);
                break;
            }
            case 7: read_extension(pf); break;
            case 999:
                need_i32(pf);
                pf.dataStart = std::ftell(pf.f);
                return;
            default: strange_header(pf);
        }
        rec = need_i32(pf);
    }
}

namespace {

// How one segment of a case was stored.
enum SegmentKind { SEG_BYTES, SEG_MISSING };

// The next segment of a compressed case; PKG_END only at the start of a case.
int next_compressed(PackageFile& pf, unsigned char* out, SegmentKind& kind, bool caseStart) {
    for (;;) {
        if (pf.ctrlPos == 8) {
            std::size_t got = std::fread(pf.ctrl, 1, 8, pf.f);
            if (got == 0 && caseStart) return PKG_END;
            if (got != 8) return PKG_READ_ERROR;
            pf.ctrlPos = 0;
        }
        unsigned char c = pf.ctrl[pf.ctrlPos++];
        kind = SEG_BYTES;
        switch (c) {
            case 0: continue;
            case 252: return caseStart ? PKG_END : PKG_READ_ERROR;
            case 253: return pkg_read(pf.f, out, 8) ? PKG_RECORD : PKG_READ_ERROR;
            case 254: std::memset(out, ' ', 8); return PKG_RECORD;
            case 255: kind = SEG_MISSING; return PKG_RECORD;
            default: {
                double v = c - pf.bias;
                std::uint64_t bits;
                std::memcpy(&bits, &v, 8);
                for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(bits >> (8 * i));
                return PKG_RECORD;
            }
        }
    }
}

}  // namespace

long spss_records_beyond(PackageFile& pf) {
    const long nseg = pf.recordBytes;
    if (pf.dataEnded || nseg <= 0) return 0;
    if (!pf.compressed) {
        long here = std::ftell(pf.f);
        return here < 0 ? 0 : (pf.fileSize - here) / (8 * nseg);
    }
    // Walk the control bytes case by case; every case takes at least one byte.
    long extra = 0;
    unsigned char seg[8];
    for (;;) {
        for (long s = 0; s < nseg; ++s) {
            SegmentKind kind;
            if (next_compressed(pf, seg, kind, s == 0) != PKG_RECORD) {
                pf.dataEnded = true;
                return extra;
            }
        }
        ++extra;
    }
}

int spss_read_record(PackageFile& pf, PackageRecord& rec) {
    if (pf.dataEnded) return PKG_END;
    if (pf.statedRecords >= 0 && pf.recordsRead >= pf.statedRecords) return PKG_END;
    const std::size_t nseg = static_cast<std::size_t>(pf.recordBytes);
    std::vector<unsigned char> buf(nseg * 8, ' ');
    std::vector<unsigned char> segMissing(nseg, 0);
    if (pf.compressed) {
        for (std::size_t s = 0; s < nseg; ++s) {
            SegmentKind kind;
            int r = next_compressed(pf, &buf[s * 8], kind, s == 0);
            if (r != PKG_RECORD) {
                pf.dataEnded = true;
                return r;
            }
            segMissing[s] = kind == SEG_MISSING;
        }
    } else {
        std::size_t got = std::fread(buf.data(), 1, buf.size(), pf.f);
        if (got == 0) {
            pf.dataEnded = true;
            return PKG_END;
        }
        if (got != buf.size()) return PKG_READ_ERROR;
    }
    auto numeric = [&](const PackageVar& v) {
        std::size_t s = static_cast<std::size_t>(v.position);
        if (segMissing[s]) return MISSING_VALUE;
        double x = pkg_le_double(&buf[s * 8]);
        if (x <= MISSING_VALUE || x == pf.sysmis || spss_user_missing(v, x)) return MISSING_VALUE;
        return x;
    };
    const PackageVar& id = pf.vars[static_cast<std::size_t>(pf.idVar)];
    rec.numericId = !id.isChar;
    if (id.isChar) {
        // A string of more than 8 characters continues into the next segment.
        int avail = id.length * 8;
        rec.charId = pkg_char_id(reinterpret_cast<const char*>(&buf[static_cast<std::size_t>(id.position) * 8]),
                                 id.width < avail ? id.width : avail);
    } else {
        rec.numId = pkg_numeric_id(numeric(id));
    }
    for (std::size_t k = 0; k < pf.selected.size(); ++k) {
        rec.values[k] = numeric(pf.vars[static_cast<std::size_t>(pf.selected[k])]);
    }
    return PKG_RECORD;
}
