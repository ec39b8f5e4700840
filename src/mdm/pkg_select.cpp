// Package files: shared byte helpers, dispatch by file kind, the console
// variable selection and the selection calls the template reader makes.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "mdm/packages.h"

bool pkg_read(FILE* f, void* buf, std::size_t n) { return n == 0 || std::fread(buf, 1, n, f) == n; }

bool pkg_skip(const PackageFile& pf, long n) {
    if (n < 0) return false;
    long here = std::ftell(pf.f);
    // Seeking past the end succeeds silently, so the size is checked first.
    if (here < 0 || n > pf.fileSize - here) return false;
    return std::fseek(pf.f, here + n, SEEK_SET) == 0;
}

int pkg_le16(const unsigned char* b) { return static_cast<std::int16_t>(b[0] | (b[1] << 8)); }

std::int32_t pkg_le32(const unsigned char* b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                                     (static_cast<std::uint32_t>(b[2]) << 16) |
                                     (static_cast<std::uint32_t>(b[3]) << 24));
}

int pkg_be16(const unsigned char* b) { return static_cast<std::int16_t>((b[0] << 8) | b[1]); }

std::int32_t pkg_be32(const unsigned char* b) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(b[0]) << 24) |
                                     (static_cast<std::uint32_t>(b[1]) << 16) |
                                     (static_cast<std::uint32_t>(b[2]) << 8) | static_cast<std::uint32_t>(b[3]));
}

double pkg_le_double(const unsigned char* b) {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | b[i];
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

float pkg_le_float(const unsigned char* b) {
    std::uint32_t bits = static_cast<std::uint32_t>(pkg_le32(b));
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

double pkg_numeric_id(double v) {
    if (std::isnan(v) || v <= MISSING_VALUE) return MISSING_VALUE;
    double whole = std::trunc(v);
    if (std::fabs(whole) > MAX_NUMERIC_ID) {
        std::printf("ID must be no more than 12 digits long\n");
        fatal_exit(0);
    }
    return whole;
}

NameSlot pkg_char_id(const char* text, int len) {
    char field[13] = {0};
    std::memcpy(field, text, static_cast<std::size_t>(std::clamp(len, 0, 12)));
    NameSlot slot;
    normalise_name_slot(field, 12, slot);
    return slot;
}

void pkg_not_this_kind(const PackageFile& pf, const char* kind) {
    std::printf("The level-%d file does not seem to be a %s file!\n", pf.level, kind);
    pkg_header_failure(pf);
}

void pkg_header_failure(const PackageFile& pf) { fatal_exit(1, pf.path.c_str()); }

void pkg_check_numeric_selection(PackageFile& pf) {
    if (pf.checkedSelection) return;
    for (int i : pf.selected) {
        if (pf.vars[static_cast<std::size_t>(i)].isChar) {
            std::printf("mdm variables must be numeric!\n");
            fatal_exit(0);
        }
    }
    pf.checkedSelection = true;
}

// ---- Dispatch ------------------------------------------------------------------

void pkg_read_header(PackageFile& pf, FILE* f, int type, int level, const char* path) {
    pkg_close(pf);
    pf = PackageFile{};
    pf.type = type;
    pf.level = level;
    pf.path = path ? path : "";
    pf.f = f;
    if (!f) pkg_header_failure(pf);
    if (std::fseek(f, 0, SEEK_END) != 0) pkg_header_failure(pf);
    pf.fileSize = std::ftell(f);
    if (pf.fileSize <= 0 || std::fseek(f, 0, SEEK_SET) != 0) pkg_header_failure(pf);
    if (type == RAW_CSV) {
        csv_read_header(pf);
    } else if (readstat_claims(pf)) {
        readstat_read_header(pf);
    } else switch (type) {
        case RAW_SYSTAT: systat_read_header(pf); break;
        case RAW_SAS: sas_read_header(pf); break;
        case RAW_SPSS: spss_read_header(pf); break;
        case RAW_STATA: stata_read_header(pf); break;
        default: pkg_header_failure(pf);
    }
    if (pf.varCount == 0) pf.varCount = static_cast<int>(pf.vars.size());
}

int pkg_read_record(PackageFile& pf, PackageRecord& rec) {
    if (!pf.f || pf.idVar < 0) return PKG_READ_ERROR;
    pkg_check_numeric_selection(pf);
    rec.values.assign(pf.selected.size(), 0.0);
    int r = PKG_READ_ERROR;
    if (pf.reader != PKG_NATIVE) {
        r = pkg_loaded_record(pf, rec);
    } else switch (pf.type) {
        case RAW_SYSTAT: r = systat_read_record(pf, rec); break;
        case RAW_SAS: r = sas_read_record(pf, rec); break;
        case RAW_SPSS: r = spss_read_record(pf, rec); break;
        case RAW_STATA: r = stata_read_record(pf, rec); break;
        default: break;
    }
    if (r == PKG_RECORD) ++pf.recordsRead;
    return r;
}

void pkg_close(PackageFile& pf) {
    if (pf.f) std::fclose(pf.f);
    pf.f = nullptr;
}

// ---- Selection by name (template) ----------------------------------------------------

namespace {

// Upper-cased text with surrounding blanks removed.
std::string trimmed_upper(const char* text, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n && text[i] != '\0'; ++i) {
        s.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
    }
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    std::size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

}  // namespace

int pkg_find_variable(const PackageFile& pf, const char* name) {
    if (!name) return -1;
    std::string want = trimmed_upper(name, std::strlen(name));
    // SYSTAT character names carry a ninth significant character, the "$".
    std::size_t keep = (pf.type == RAW_SYSTAT && want.size() == 9 && want[8] == '$') ? 9 : 8;
    // Files read whole know their names in full: an exact match wins over the cut name.
    if (pf.reader != PKG_NATIVE) {
        for (std::size_t i = 0; i < pf.vars.size(); ++i) {
            const std::string& full = pf.vars[i].fileName;
            if (trimmed_upper(full.c_str(), full.size()) == want) return static_cast<int>(i);
        }
        if (pf.reader == PKG_CSV) return -1;  // CSV columns go by their full header names
    }
    if (want.size() > keep) want.resize(keep);
    for (std::size_t i = 0; i < pf.vars.size(); ++i) {
        if (trimmed_upper(pf.vars[i].name.text, 12) == want) return static_cast<int>(i);
    }
    return -1;
}

void pkg_set_id(PackageFile& pf, int index) {
    if (index < 0 || index >= static_cast<int>(pf.vars.size())) return;
    if (pf.idVar >= 0) pf.vars[static_cast<std::size_t>(pf.idVar)].mark = PKG_UNUSED;
    pf.idVar = index;
    pf.vars[static_cast<std::size_t>(index)].mark = PKG_GROUP_ID;
}

void pkg_add_selected(PackageFile& pf, int index) {
    if (index < 0 || index >= static_cast<int>(pf.vars.size())) return;
    pf.vars[static_cast<std::size_t>(index)].mark = PKG_SELECTED;
    pf.selected.push_back(index);
    pf.checkedSelection = false;
}

bool pkg_id_is_numeric(const PackageFile& pf) {
    // CSV IDs are text, as in fixed-format files.
    return pf.idVar >= 0 && pf.reader != PKG_CSV && !pf.vars[static_cast<std::size_t>(pf.idVar)].isChar;
}

bool pkg_id_too_wide(const PackageFile& pf, int index) {
    const PackageVar& v = pf.vars[static_cast<std::size_t>(index)];
    return v.isChar && v.width > 12;
}

std::vector<NameSlot> pkg_selected_names(const PackageFile& pf) {
    std::vector<NameSlot> names;
    for (int i : pf.selected) names.push_back(pf.vars[static_cast<std::size_t>(i)].name);
    return names;
}

// ---- Console selection ----------------------------------------------------------------

namespace {

// The answer's decimal value as the console questions read numbers.
int parse_answer_number(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = (s[i++] == '-');
    long v = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) && v < 100000000) {
        v = v * 10 + (s[i++] - '0');
    }
    return static_cast<int>(neg ? -v : v);
}

// Prints the prompt and a blank, as every console question does, and reads one number.
int read_number(const char* prompt) {
    std::printf("%s ", prompt);
    std::string answer;
    read_answer_line(answer);
    return parse_answer_number(answer);
}

// Three entries to a line, numbered from 1.
void list_variables(const PackageFile& pf) {
    std::printf(" The available level-%1d variables are:\n", pf.level);
    std::size_t n = pf.vars.size();
    for (std::size_t i = 0; i < n; i += 3) {
        std::size_t left = std::min<std::size_t>(3, n - i);
        for (std::size_t k = 0; k < left; ++k) {
            std::printf("%s For %.9s enter %2d", k ? "   " : "", pf.vars[i + k].name.text, static_cast<int>(i + k + 1));
        }
        std::printf("\n");
    }
}

}  // namespace

std::vector<NameSlot> pkg_select_dialogue(PackageFile& pf, int& numericIds) {
    const bool systat = (pf.type == RAW_SYSTAT);
    const int n = static_cast<int>(pf.vars.size());
    list_variables(pf);

    for (int tries = 0;; ++tries) {
        if (tries >= 10) fatal_exit(15);
        int k = read_number(" What variable is the group ID? ");
        if (k < 1 || k > n) {
            if (systat) std::printf(" Not a valid variable. Try again.\n");
            continue;
        }
        const PackageVar& v = pf.vars[static_cast<std::size_t>(k - 1)];
        if (pf.level == 2 && (v.isChar ? 0 : 1) != numericIds) {
            std::printf("IDs must be both be character or both numeric!\n");
            continue;
        }
        if (pkg_id_too_wide(pf, k - 1)) {
            std::printf("Your ID variable is longer than 12 characters.\n");
            continue;
        }
        pkg_set_id(pf, k - 1);
        if (pf.level == 1) numericIds = v.isChar ? 0 : 1;
        break;
    }

    pf.selected.clear();
    int refused = 0;
    const int available = n - 1;
    while (static_cast<int>(pf.selected.size()) < available) {
        char prompt[96];
        int number = static_cast<int>(pf.selected.size()) + 1;
        if (systat) {
            std::snprintf(prompt, sizeof prompt, " Please specify level-%1d variable #%2d (enter 0 to end): ",
                          pf.level, number);
        } else {
            std::snprintf(prompt, sizeof prompt, " Please specify level-%d variable #%2d(enter 0 to end):",
                          pf.level, number);
        }
        int k = read_number(prompt);
        if (k == 0) break;
        bool ok = false;
        if (k < 1 || k > n || (systat && k - 1 == pf.idVar)) {
            if (systat) std::printf(" Not a valid variable. Try again.\n");
        } else if (pf.vars[static_cast<std::size_t>(k - 1)].mark != PKG_UNUSED) {
            std::printf("You have already chosen that variable!\n");
        } else if (pf.vars[static_cast<std::size_t>(k - 1)].isChar) {
            std::printf(" This is a character variable!\n");
        } else {
            ok = true;
        }
        if (!ok) {
            if (++refused > 25) fatal_exit(15);
            continue;
        }
        pkg_add_selected(pf, k - 1);
    }
    // SYSTAT keeps the order of choice; the other kinds deliver in file order.
    if (!systat) std::sort(pf.selected.begin(), pf.selected.end());
    pkg_selection_done(pf);
    return pkg_selected_names(pf);
}
