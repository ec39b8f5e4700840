// Opening raw-data files by type and the record-reader adapter that gives the
// builder one view of ASCII and package records.
#include "mdm/mdm_internal.h"
#include "mdm/packages.h"

const char* raw_type_label(int type) {
    switch (type) {
        case RAW_ASCII: return "ASCII";
        case RAW_SYSTAT: return "SYSTAT";
        case RAW_SAS: return "SAS transport";
        case RAW_SPSS: return "SPSS";
        case RAW_STATA: return "Stata";
        case RAW_CSV: return "CSV";
        default: return "OTHER";
    }
}

void open_raw_source(RawSource& s, int type, int level, const std::string& path) {
    close_raw_source(s);
    s = RawSource{};
    s.type = type;
    s.level = level;
    s.path = path;
    if (type == RAW_ASCII || type == RAW_VKNOWN) {
        FILE* f = std::fopen(path.c_str(), "r");
        if (f == nullptr) fatal_exit(1, path.c_str());
        s.file = std::shared_ptr<FILE>(f, [](FILE* g) { std::fclose(g); });
        return;
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) fatal_exit(1, path.c_str());
    s.pkg = std::make_shared<PackageFile>();
    s.pkgRecord = std::make_shared<PackageRecord>();
    pkg_read_header(*s.pkg, f, type, level, path.c_str());
}

bool raw_source_open(const RawSource& s) { return s.pkg ? s.pkg->f != nullptr : s.file != nullptr; }

int read_raw_record(RawSource& s, RecordId& id, double* values) {
    if (!s.pkg) return ascii_next_record(s, id, values);
    PackageRecord& rec = *s.pkgRecord;
    int r = pkg_read_record(*s.pkg, rec);
    if (r == PKG_END) return RECORD_END;
    if (r != PKG_RECORD) return RECORD_ERROR;
    if (rec.numericId) {
        id.number = rec.numId;
    } else {
        id.text = rec.charId;
        id.number = 0.0;
    }
    for (std::size_t i = 0; i < rec.values.size(); ++i) values[i] = rec.values[i];
    return RECORD_READ;
}

void close_raw_source(RawSource& s) {
    if (s.pkg) pkg_close(*s.pkg);
    s.file.reset();
}
