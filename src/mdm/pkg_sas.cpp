// SAS version 5 transport files: 80-byte card images, big-endian variable
// descriptors and IBM hexadecimal floating-point values.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "mdm/packages.h"

double ibm_to_double(const unsigned char* b, int len) {
    unsigned char full[8] = {0};
    if (len < 1) return 0.0;
    std::memcpy(full, b, static_cast<std::size_t>(len > 8 ? 8 : len));
    std::uint64_t fraction = 0;
    for (int i = 1; i < 8; ++i) fraction = (fraction << 8) | full[i];
    if (fraction == 0) return 0.0;
    int exponent = (full[0] & 0x7f) - 64;
    // 56 fraction bits, base-16 exponent: value = fraction * 2^-56 * 16^exponent.
    double v = std::ldexp(static_cast<double>(fraction), 4 * exponent - 56);
    return (full[0] & 0x80) ? -v : v;
}

bool sas_is_missing(const unsigned char* b, int len) {
    if (len < 1 || b[0] == 0) return false;
    for (int i = 1; i < len; ++i) {
        if (b[i] != 0) return false;
    }
    return true;
}

namespace {

// True when the card starts with `text` followed only by blanks up to `text`'s card field.
bool card_starts(const unsigned char* card, const char* text) {
    return std::memcmp(card, text, std::strlen(text)) == 0;
}

// Digits of card characters [from, from + n) (0-based); -1 when not all digits/blanks.
long card_number(const unsigned char* card, int from, int n) {
    long v = 0;
    bool any = false;
    for (int i = from; i < from + n; ++i) {
        if (card[i] == ' ') continue;
        if (card[i] < '0' || card[i] > '9') return -1;
        v = v * 10 + (card[i] - '0');
        any = true;
    }
    return any ? v : -1;
}

}  // namespace

void sas_read_header(PackageFile& pf) {
    unsigned char card[80];
    if (!pkg_read(pf.f, card, 80)) pkg_header_failure(pf);
    if (!card_starts(card, "HEADER RECORD*******LIBRARY HEADER RECORD")) pkg_not_this_kind(pf, "SAS transport");
    for (int i = 0; i < 3; ++i) {
        if (!pkg_read(pf.f, card, 80)) pkg_header_failure(pf);
    }
    // Characters 76 to 78 of the member header give the descriptor length.
    long descLen = card_number(card, 75, 3);
    if (descLen != 136 && descLen != 140) pkg_not_this_kind(pf, "SAS transport");
    for (int i = 0; i < 4; ++i) {
        if (!pkg_read(pf.f, card, 80)) pkg_header_failure(pf);
    }
    long nv = card_number(card, 54, 4);
    if (nv <= 0) pkg_header_failure(pf);

    std::vector<unsigned char> d(static_cast<std::size_t>(descLen));
    long recordBytes = 0;
    for (long i = 0; i < nv; ++i) {
        if (!pkg_read(pf.f, d.data(), d.size())) pkg_header_failure(pf);
        PackageVar v;
        int type = pkg_be16(&d[0]);
        int length = pkg_be16(&d[4]);
        if ((type != 1 && type != 2) || length < 1 || (type == 1 && (length < 2 || length > 8))) {
            pkg_not_this_kind(pf, "SAS transport");
        }
        v.isChar = (type == 2);
        v.length = length;
        v.width = length;
        v.position = pkg_be32(&d[84]);
        char name[9] = {0};
        std::memcpy(name, &d[8], 8);
        v.fileName = name;
        while (!v.fileName.empty() && v.fileName.back() == ' ') v.fileName.pop_back();
        normalise_name_slot(name, 8, v.name);
        recordBytes += length;
        pf.vars.push_back(v);
    }
    // The descriptors must tile the record: a value read from another's bytes
    // (or from beyond the record) would be silently wrong.
    std::vector<const PackageVar*> byPosition;
    for (const PackageVar& v : pf.vars) byPosition.push_back(&v);
    std::stable_sort(byPosition.begin(), byPosition.end(),
                     [](const PackageVar* a, const PackageVar* b) { return a->position < b->position; });
    long end = 0;
    const PackageVar* previous = nullptr;
    for (const PackageVar* v : byPosition) {
        const bool outside = v->position < 0 || v->position + v->length > recordBytes;
        if (outside || (previous != nullptr && v->position < end)) {
            if (outside)
                std::printf("The level-%d file %s is damaged: %s lies outside the record.\n", pf.level,
                            pf.path.c_str(), v->fileName.c_str());
            else
                std::printf("The level-%d file %s is damaged: the positions of %s and %s overlap.\n", pf.level,
                            pf.path.c_str(), previous->fileName.c_str(), v->fileName.c_str());
            std::fflush(stdout);
            fatal_exit(0);
        }
        end = v->position + v->length;
        previous = v;
    }
    pf.recordBytes = static_cast<int>(recordBytes);

    // The observation header stands at the next 80-byte boundary.
    long here = std::ftell(pf.f);
    long next = (here + 79) / 80 * 80;
    if (!pkg_skip(pf, next - here) || !pkg_read(pf.f, card, 80)) pkg_header_failure(pf);
    if (!card_starts(card, "HEADER RECORD*******OBS")) pkg_not_this_kind(pf, "SAS transport");
    pf.dataStart = std::ftell(pf.f);
}

int sas_read_record(PackageFile& pf, PackageRecord& rec) {
    const long start = std::ftell(pf.f);
    const long left = pf.fileSize - start;
    if (pf.recordBytes <= 0) return PKG_END;
    // A transport file is whole cards; a file of any other length was cut.
    const bool wholeCards = pf.fileSize % 80 == 0;
    if (left <= 0) return wholeCards ? PKG_END : PKG_READ_ERROR;
    std::vector<unsigned char> buf(static_cast<std::size_t>(pf.recordBytes));
    if (left < pf.recordBytes) {
        // Only the blank padding of the last card may follow the last record.
        bool blank = pkg_read(pf.f, buf.data(), static_cast<std::size_t>(left));
        for (long i = 0; i < left; ++i) blank = blank && buf[static_cast<std::size_t>(i)] == ' ';
        return blank && wholeCards ? PKG_END : PKG_READ_ERROR;
    }
    if (!pkg_read(pf.f, buf.data(), buf.size())) return PKG_READ_ERROR;
    // The last card is padded with blanks; a blank "record" inside it is padding.
    if (left < 80 && wholeCards) {
        bool blank = true;
        for (unsigned char c : buf) blank = blank && c == ' ';
        if (blank) return PKG_END;
    }
    auto numeric = [&](const PackageVar& v) {
        const unsigned char* p = buf.data() + v.position;
        return sas_is_missing(p, v.length) ? MISSING_VALUE : ibm_to_double(p, v.length);
    };
    const PackageVar& id = pf.vars[static_cast<std::size_t>(pf.idVar)];
    rec.numericId = !id.isChar;
    if (id.isChar) {
        rec.charId = pkg_char_id(reinterpret_cast<const char*>(buf.data() + id.position), id.length);
    } else {
        rec.numId = pkg_numeric_id(numeric(id));
    }
    for (std::size_t k = 0; k < pf.selected.size(); ++k) {
        rec.values[k] = numeric(pf.vars[static_cast<std::size_t>(pf.selected[k])]);
    }
    return PKG_RECORD;
}

bool sas_offer_conversion(const std::string& transportName) {
    std::size_t at = transportName.rfind(".ssp");
    if (at == std::string::npos) return false;
    std::string dataSet = transportName;
    dataSet.replace(at, 4, ".ssd");
    if (!file_exists(dataSet.c_str())) return false;
    std::printf("I don't see %s, but I do see %s.\n", transportName.c_str(), dataSet.c_str());
    if (!ask_yes_no("Would you like me to convert it to a transport file?")) return false;
    std::printf("Give me a moment to run the SAS job...\n");

    // The member name is the data set's file name without directory and extension.
    std::string member = dataSet;
    std::size_t slash = member.find_last_of("/\\");
    if (slash != std::string::npos) member.erase(0, slash + 1);
    std::size_t dot = member.find('.');
    if (dot != std::string::npos) member.erase(dot);

    FILE* job = open_or_die("xyzzy.sas", "w");
    std::fprintf(job, "libname tranfile sasv5xpt './%s';\nlibname fileout \".\";\n", transportName.c_str());
    std::fprintf(job, "proc copy in=fileout out=tranfile;\nselect %s;\nrun;\n", member.c_str());
    std::fclose(job);
    std::fflush(stdout);
    // Whether the outside SAS system ran is judged only by the transport file.
    int status = std::system("sas xyzzy.sas");
    (void)status;
    std::remove("xyzzy.sas");
    if (!file_exists(transportName.c_str())) return false;
    std::printf("Please keep %s around if you want to do a non-linear run.\n", transportName.c_str());
    std::remove("xyzzy.log");
    return true;
}
