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

namespace {

// A package file that states its record count must hold exactly that many:
// fewer means a partly copied file, which must never pass for a smaller data
// set; more is told, and the stated records are the ones used.
void check_package_end(RawSource& s) {
    if (s.endChecked) return;
    s.endChecked = true;
    PackageFile& pf = *s.pkg;
    if (pf.statedRecords < 0) return;
    if (pf.recordsRead < pf.statedRecords) {
        std::printf("The level-%d file %s ends after %ld of the %ld records its header declares.\n", s.level,
                    s.path.c_str(), pf.recordsRead, pf.statedRecords);
        std::fflush(stdout);
        fatal_exit(4);
    }
    long beyond = 0;
    if (pf.type == RAW_SPSS) beyond = spss_records_beyond(pf);
    if (pf.type == RAW_STATA) beyond = stata_records_beyond(pf);
    if (beyond > 0) {
        std::printf("Warning: the level-%d file %s holds %ld records, but its header declares %ld; only those %ld are used.\n",
                    s.level, s.path.c_str(), pf.statedRecords + beyond, pf.statedRecords, pf.statedRecords);
        std::fflush(stdout);
    }
}

}  // namespace

void stop_at_damaged_record(const RawSource& s) {
    if (s.pkg) {
        const PackageFile& pf = *s.pkg;
        if (pf.statedRecords >= 0)
            std::printf("The level-%d file %s is cut short inside record %ld; %ld of the %ld records its header declares were read.\n",
                        s.level, s.path.c_str(), pf.recordsRead + 1, pf.recordsRead, pf.statedRecords);
        else
            std::printf("The level-%d file %s is cut short inside record %ld; %ld records were read.\n", s.level,
                        s.path.c_str(), pf.recordsRead + 1, pf.recordsRead);
    }
    std::fflush(stdout);
    fatal_exit(4);
}

int read_raw_record(RawSource& s, RecordId& id, double* values) {
    if (!s.pkg) return ascii_next_record(s, id, values);
    PackageRecord& rec = *s.pkgRecord;
    int r = pkg_read_record(*s.pkg, rec);
    if (r == PKG_END) {
        check_package_end(s);
        return RECORD_END;
    }
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
