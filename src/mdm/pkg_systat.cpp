// SYSTAT .SYS files: records framed by one-byte length markers; long records
// are split into 128-byte segments joined by two-byte headers.
#include <cstring>

#include "mdm/packages.h"

namespace {

// Values of the three-count header record (marker, 3 x int16, marker).
bool read_counts(PackageFile& pf, int& nv, int& second, int& storage) {
    unsigned char b[8];
    if (!pkg_read(pf.f, b, sizeof b)) return false;
    nv = pkg_le16(b + 1);
    second = pkg_le16(b + 3);
    storage = pkg_le16(b + 5);
    return true;
}

// Comment lines (marker, 72 characters, marker) up to the line of 72 "$".
bool skip_comments(PackageFile& pf) {
    for (;;) {
        unsigned char line[74];
        if (!pkg_read(pf.f, line, sizeof line)) return false;
        bool dollars = true;
        for (int i = 1; i <= 72; ++i) dollars = dollars && line[i] == '$';
        if (dollars) return true;
    }
}

}  // namespace

void systat_read_header(PackageFile& pf) {
    int nv = 0, second = 0, storage = 0;
    if (!read_counts(pf, nv, second, storage)) pkg_header_failure(pf);
    if (storage < 1) {
        if (!skip_comments(pf) || !read_counts(pf, nv, second, storage)) pkg_header_failure(pf);
    }
    if (nv <= 0 || (storage != 1 && storage != 2)) pkg_header_failure(pf);
    pf.doubleStorage = (storage == 2);

    for (int i = 0; i < nv; ++i) {
        unsigned char rec[14];
        if (!pkg_read(pf.f, rec, sizeof rec)) pkg_header_failure(pf);
        const char* field = reinterpret_cast<const char*>(rec + 1);
        int b = 0;
        while (b < 12 && field[b] == ' ') ++b;
        int e = b;
        while (e < 12 && field[e] != ' ' && field[e] != '\0') ++e;
        int len = e - b;
        if (len > 8 && field[b + 8] != '$') {
            std::printf("\nVariable names limited to 8 characters.\n");
            pkg_header_failure(pf);
        }
        PackageVar v;
        v.fileName.assign(field + b, static_cast<std::size_t>(len));
        v.isChar = v.fileName.find('$') != std::string::npos;
        char name[13] = {0};
        std::memcpy(name, field + b, static_cast<std::size_t>(len));
        normalise_name_slot(name, v.isChar ? 9 : 8, v.name);
        v.width = v.isChar ? 12 : (pf.doubleStorage ? 8 : 4);
        v.position = v.isChar ? pf.numChar++ : pf.numNumeric++;
        pf.vars.push_back(v);
    }
    pf.recordBytes = pf.numNumeric * (pf.doubleStorage ? 8 : 4) + pf.numChar * 12;
    pf.dataStart = std::ftell(pf.f);
}

namespace {

// The payload of the next record into `buf` (recordBytes long).
int read_payload(PackageFile& pf, std::vector<unsigned char>& buf) {
    const std::size_t need = static_cast<std::size_t>(pf.recordBytes);
    buf.assign(need, 0);
    int lead = std::fgetc(pf.f);
    if (lead == EOF) return PKG_END;
    if (lead == 0x81) {
        std::size_t got = 0;
        std::size_t seg = 128;
        for (;;) {
            std::size_t take = seg < need - got ? seg : need - got;
            if (!pkg_read(pf.f, buf.data() + got, take)) return PKG_READ_ERROR;
            got += take;
            if (got >= need) break;
            unsigned char hdr[2];
            if (!pkg_read(pf.f, hdr, 2)) return PKG_READ_ERROR;
            seg = hdr[1] > 127 ? 128 : hdr[1];
            if (seg == 0) return PKG_READ_ERROR;
        }
    } else if (!pkg_read(pf.f, buf.data(), need)) {
        return PKG_READ_ERROR;
    }
    // The closing marker of the record.
    if (std::fgetc(pf.f) == EOF) return PKG_READ_ERROR;
    return PKG_RECORD;
}

}  // namespace

int systat_read_record(PackageFile& pf, PackageRecord& rec) {
    std::vector<unsigned char> buf;
    int r = read_payload(pf, buf);
    if (r != PKG_RECORD) return r;
    const int size = pf.doubleStorage ? 8 : 4;
    const std::size_t charStart = static_cast<std::size_t>(pf.numNumeric) * static_cast<std::size_t>(size);
    // -1e36 stored in single precision rounds to just above -1e36; compare in the storage precision.
    const double cut = pf.doubleStorage ? MISSING_VALUE : static_cast<double>(static_cast<float>(MISSING_VALUE));
    auto numeric = [&](const PackageVar& v) {
        const unsigned char* p = buf.data() + v.position * size;
        double x = pf.doubleStorage ? pkg_le_double(p) : static_cast<double>(pkg_le_float(p));
        return x <= cut ? MISSING_VALUE : x;
    };
    const PackageVar& id = pf.vars[static_cast<std::size_t>(pf.idVar)];
    rec.numericId = !id.isChar;
    if (id.isChar) {
        rec.charId = pkg_char_id(reinterpret_cast<const char*>(buf.data() + charStart + id.position * 12), 12);
    } else {
        rec.numId = pkg_numeric_id(numeric(id));
    }
    for (std::size_t k = 0; k < pf.selected.size(); ++k) {
        rec.values[k] = numeric(pf.vars[static_cast<std::size_t>(pf.selected[k])]);
    }
    return PKG_RECORD;
}
