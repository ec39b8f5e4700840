// MDM template file: reader (keyword lines) and writer ("creatmdm.mdmt").
//
// Decisions where the template rules leave room:
// - an ASCII variable block must name exactly NUMLxVAR: variables;
// - NUMLxVAR: takes 1 to 1000, the range the dialogue allows;
// - the raw data type OTHER is refused: no reader stands behind it;
// - a template must name the MDM file and, per level, the file, (ASCII) its
//   format and its variables before anything is built;
// - VKNOWN: is kept and written back but does not turn the build into a
//   V-known one (only the V-known dialogue gathers what that needs);
// - package IDs at the two levels must be of one kind, as in the dialogue.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "mdm/mdm_internal.h"
#include "mdm/packages.h"

namespace {

constexpr const char* TEMPLATE_HEADER = "#ARB2 MDM CREATION TEMPLATE";
constexpr std::size_t TEMPLATE_LINE_MAX = 2047;
constexpr std::size_t FORMAT_MAX = 1023;
constexpr int MAX_DECLARED_VARS = 1000;

[[noreturn]] void stop(const std::string& message) {
    std::fputs(message.c_str(), stdout);
    std::fflush(stdout);
    fatal_exit(0);
}

// One template line, line end and trailing blanks removed, cut at 2047 characters.
bool read_line(FILE* f, std::string& line) {
    line.clear();
    int ch;
    bool any = false;
    while ((ch = std::fgetc(f)) != EOF) {
        any = true;
        if (ch == '\n') break;
        if (line.size() < TEMPLATE_LINE_MAX) line.push_back(static_cast<char>(ch));
    }
    if (!any) return false;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.pop_back();
    return true;
}

bool starts_with_ci(const std::string& s, const char* prefix) {
    std::size_t n = std::strlen(prefix);
    if (s.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

std::string skip_blanks(const std::string& s) {
    std::size_t i = s.find_first_not_of(" \t");
    return i == std::string::npos ? std::string() : s.substr(i);
}

std::string trimmed(const std::string& s) {
    std::string t = skip_blanks(s);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.pop_back();
    return t;
}

char first_upper(const std::string& v) {
    return v.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(v[0])));
}

// Name table of `count` variables: intercept in slot 0, blanks after it.
std::vector<NameSlot> fresh_names(int level, std::size_t count) {
    std::vector<NameSlot> t(count + 1, blank_filled_slot(""));
    t[0] = blank_filled_slot(level == 1 ? "INTRCPT1" : "INTRCPT2");
    return t;
}

const char* type_word(int type) {
    switch (type) {
        case RAW_ASCII: return "ascii";
        case RAW_SYSTAT: return "systat";
        case RAW_SAS: return "sas";
        case RAW_SPSS: return "spss";
        case RAW_STATA: return "stata";
        case RAW_CSV: return "csv";
        default: return "other";
    }
}

struct TemplateReader {
    FILE* f = nullptr;
    std::string path;
    MdmCreation& c;
    bool blockSeen[2] = {false, false};
    bool idKindSet = false;

    bool is_ascii_like() const { return c.rawDataType == RAW_ASCII || c.rawDataType == -1; }

    void missing_line(const std::string& v) {
        char flag = first_upper(v);
        if (flag == 'N') {
            c.hasMissing = 0;
            return;
        }
        if (flag != 'Y') return;
        c.hasMissing = 1;
        if (!is_ascii_like()) return;
        if (c.names[0].empty())
            stop("Must specify raw data type and input file name before variable names!\n");
        if (v.size() < 2 || v[1] != '/') stop("Incorrect specification of ASCII missing information!\n");
        std::string kind = v.substr(2);
        std::size_t p1 = c.names[0].size() - 1;
        std::size_t codes;
        if (starts_with_ci(kind, "SAME")) {
            c.sameMissing = true;
            codes = 1;
        } else if (starts_with_ci(kind, "DIFFERENT")) {
            c.sameMissing = false;
            codes = p1;
        } else {
            stop("Incorrect specification of ASCII missing information!\n");
        }
        std::vector<double> read;
        std::string line;
        for (std::size_t i = 0; i < codes; ++i) {
            if (!read_line(f, line)) stop("Incorrect specification of ASCII missing information!\n");
            read.push_back(std::strtod(line.c_str(), nullptr));
        }
        c.missingCodes.assign(p1, read.empty() ? 0.0 : read[0]);
        if (!c.sameMissing) c.missingCodes = read;
    }

    void type_line(const std::string& v) {
        if (starts_with_ci(v, "ASCII")) c.rawDataType = RAW_ASCII;
        else if (starts_with_ci(v, "SYSTAT")) c.rawDataType = RAW_SYSTAT;
        else if (starts_with_ci(v, "SAS")) c.rawDataType = RAW_SAS;
        else if (starts_with_ci(v, "SPSS")) c.rawDataType = RAW_SPSS;
        else if (starts_with_ci(v, "STAT")) c.rawDataType = RAW_STATA;
        else if (starts_with_ci(v, "OTHER")) c.rawDataType = RAW_OTHER;
        else if (starts_with_ci(v, "CSV")) c.rawDataType = RAW_CSV;
        else stop("Invalid raw data type.\n");
    }

    void count_line(int k, const std::string& v) {
        if (!is_ascii_like()) return;  // package files state their own variables
        char* end = nullptr;
        long n = std::strtol(v.c_str(), &end, 10);
        if (end == v.c_str() || n < 1 || n > MAX_DECLARED_VARS) {
            char msg[160];
            std::snprintf(msg, sizeof msg, "The number of level-%d variables must be 1 to %d!\n", k + 1,
                          MAX_DECLARED_VARS);
            stop(msg);
        }
        c.rawVarCount[k] = static_cast<int>(n);
        c.names[k] = fresh_names(k + 1, static_cast<std::size_t>(n));
    }

    void file_line(int k, const std::string& v) {
        if (c.rawDataType == -1) stop("Must specify raw data type before input file name!\n");
        c.rawFileName[k] = skip_blanks(v);
        if (c.rawDataType == RAW_OTHER) return;  // nothing can read it
        open_raw_source(c.source[k], c.rawDataType, k + 1, c.rawFileName[k]);
        if (c.rawDataType != RAW_ASCII) {
            c.rawVarCount[k] = c.source[k].pkg->varCount;
            c.names[k] = fresh_names(k + 1, 0);
        }
    }

    void block(int k) {
        if (c.rawDataType == -1 || c.rawFileName[k].empty())
            stop("Must specify raw data type and input file name before variable names!\n");
        char endMarker[32];
        std::snprintf(endMarker, sizeof endMarker, "*END L%dVARS", k + 1);
        const bool ascii = c.rawDataType == RAW_ASCII;
        const bool csv = c.rawDataType == RAW_CSV;
        PackageFile* pf = ascii ? nullptr : c.source[k].pkg.get();
        if (!ascii && pf == nullptr)
            stop("The raw data type OTHER has no reader; no MDM file can be made from it.\n");
        if (pf != nullptr) {
            pf->selected.clear();
            pf->idVar = -1;
            for (PackageVar& pv : pf->vars) pv.mark = PKG_UNUSED;
            c.names[k] = fresh_names(k + 1, 0);
        }
        std::size_t filled = 0;
        bool first = true;
        std::string line;
        for (;;) {
            if (!read_line(f, line)) {
                char msg[64];
                std::snprintf(msg, sizeof msg, "Did not find %s!\n", endMarker);
                stop(msg);
            }
            if (starts_with_ci(line, endMarker)) break;
            if (trimmed(line).empty() || line[0] == '#') continue;
            if (!ascii && first) {
                first = false;
                if (!starts_with_ci(line, "LEVEL2ID:")) stop("ID specification must immediately follow *begin line!\n");
                int id = pkg_find_variable(*pf, skip_blanks(line.substr(9)).c_str());
                if (id < 0 && csv)
                    stop(c.rawFileName[k] + ", line 1: no column " + skip_blanks(line.substr(9)) + " for the group ID!\n");
                if (id < 0) stop("id variable not found!\n");
                if (pkg_id_too_wide(*pf, id)) stop("Your ID variable is longer than 12 characters.\n");
                pkg_set_id(*pf, id);
                bool numeric = pkg_id_is_numeric(*pf);
                if (idKindSet && numeric != c.numericIds) stop("IDs must be both be character or both numeric!\n");
                idKindSet = true;
                c.numericIds = numeric;
                continue;
            }
            first = false;
            // Files read whole match long names in full.
            if (line.size() > 12 && (pf == nullptr || pf->reader == PKG_NATIVE))
                stop("Variable name " + line + " is too long!\n");
            if (ascii) {
                if (filled + 1 >= c.names[k].size()) {
                    char msg[160];
                    std::snprintf(msg, sizeof msg, "More level-%d variable names than NUML%dVAR: declares!\n",
                                  k + 1, k + 1);
                    stop(msg);
                }
                NameSlot name = normalised_slot(line.c_str(), line.size(), 8);
                for (std::size_t i = 1; i <= filled; ++i)
                    if (std::memcmp(c.names[k][i].text, name.text, 8) == 0) stop("Variable " + line + " is named twice!\n");
                c.names[k][++filled] = name;
            } else {
                int j = pkg_find_variable(*pf, line.c_str());
                if (j < 0 && csv) stop(c.rawFileName[k] + ", line 1: no column " + trimmed(line) + "!\n");
                if (j < 0) stop("Variable " + line + " not found!\n");
                // As in the selection dialogue, a variable (or the ID) cannot be chosen twice.
                if (pf->vars[static_cast<std::size_t>(j)].mark != PKG_UNUSED) stop("Variable " + line + " is named twice!\n");
                pkg_add_selected(*pf, j);
                c.names[k].push_back(pf->vars[static_cast<std::size_t>(j)].name);
                ++filled;
            }
        }
        if (!ascii && first) stop("ID specification must immediately follow *begin line!\n");
        if (pf != nullptr) pkg_selection_done(*pf);  // files read whole are read and checked here
        if (ascii && filled + 1 != c.names[k].size()) {
            char msg[200];
            std::snprintf(msg, sizeof msg, "The level-%d variable list names %zu variables, but NUML%dVAR: declares %zu!\n",
                          k + 1, filled, k + 1, c.names[k].size() - 1);
            stop(msg);
        }
        blockSeen[k] = true;
    }

    void final_checks() {
        if (c.rawDataType == -1) stop("Invalid raw data type.\n");
        if (c.rawDataType == RAW_OTHER)
            stop("The raw data type OTHER has no reader; no MDM file can be made from it.\n");
        for (int k = 0; k < 2; ++k) {
            char msg[300];
            if (c.rawFileName[k].empty()) {
                std::snprintf(msg, sizeof msg, "No level-%d file name (L%dFNAME:) in %s!\n", k + 1, k + 1, path.c_str());
                stop(msg);
            }
            if (c.rawDataType == RAW_ASCII && c.rawFormat[k].empty()) {
                std::snprintf(msg, sizeof msg, "No level-%d format (L%dFORMAT:) in %s!\n", k + 1, k + 1, path.c_str());
                stop(msg);
            }
            if (!blockSeen[k]) {
                std::snprintf(msg, sizeof msg, "No level-%d variable list (*BEGIN L%dVARS) in %s!\n", k + 1, k + 1,
                              path.c_str());
                stop(msg);
            }
        }
        if (trimmed(c.mdmFileName).empty()) stop("No MDM file name (MDMNAME:) in " + path + "!\n");
        if (c.rawDataType == RAW_CSV) csv_check_level1_ids(*c.source[0].pkg, *c.source[1].pkg);
        if (c.rawDataType == RAW_ASCII) {
            for (int k = 0; k < 2; ++k) {
                c.source[k].format = c.rawFormat[k];
                c.source[k].fieldCount = c.rawVarCount[k];
            }
            if (c.hasMissing && c.missingCodes.size() != c.names[0].size() - 1)
                stop("Incorrect specification of ASCII missing information!\n");
        }
    }

    void run() {
        std::string line;
        if (!read_line(f, line) || !starts_with_ci(line, TEMPLATE_HEADER)) {
            char msg[600];
            std::snprintf(msg, sizeof msg, "%s does not seem to be a %s mdm template file!\n", path.c_str(),
                          PROGRAM_NAME);
            stop(msg);
        }
        while (read_line(f, line)) {
            if (line.empty() || line[0] == ' ' || line[0] == '\t' || line[0] == '#') continue;
            auto value = [&](const char* kw) { return line.substr(std::strlen(kw)); };
            if (starts_with_ci(line, "VKNOWN:")) {
                char v = first_upper(value("VKNOWN:"));
                if (v == 'Y') c.vKnownDeclared = true;
                if (v == 'N') c.vKnownDeclared = false;
            } else if (starts_with_ci(line, "GROWTHMODEL:")) {
                char v = first_upper(value("GROWTHMODEL:"));
                if (v == 'Y') c.withinPersons = true;
                if (v == 'N') c.withinPersons = false;
            } else if (starts_with_ci(line, "L1MISSING:")) {
                missing_line(value("L1MISSING:"));
            } else if (starts_with_ci(line, "TIMEOFDELETION:")) {
                char v = first_upper(value("TIMEOFDELETION:"));
                if (v == 'N') c.deleteNow = 1;
                if (v == 'A') c.deleteNow = 0;
            } else if (starts_with_ci(line, "RAWDATTYPE:")) {
                type_line(value("RAWDATTYPE:"));
            } else if (starts_with_ci(line, "MDMNAME:")) {
                c.mdmFileName = skip_blanks(value("MDMNAME:"));
            } else if (starts_with_ci(line, "NUML1VAR:")) {
                count_line(0, value("NUML1VAR:"));
            } else if (starts_with_ci(line, "NUML2VAR:")) {
                count_line(1, value("NUML2VAR:"));
            } else if (starts_with_ci(line, "L1FORMAT:") || starts_with_ci(line, "L2FORMAT:")) {
                if (c.rawDataType == -1) stop("Must specify raw data type before input file name!\n");
                int k = line[1] == '1' ? 0 : 1;
                c.rawFormat[k] = skip_blanks(value("L1FORMAT:")).substr(0, FORMAT_MAX);
            } else if (starts_with_ci(line, "L1FNAME:")) {
                file_line(0, value("L1FNAME:"));
            } else if (starts_with_ci(line, "L2FNAME:")) {
                file_line(1, value("L2FNAME:"));
            } else if (starts_with_ci(line, "*BEGIN L1VARS")) {
                block(0);
            } else if (starts_with_ci(line, "*BEGIN L2VARS")) {
                block(1);
            }
            // Any other line is not a keyword of this file and is passed over.
        }
        final_checks();
    }
};

}  // namespace

void read_mdm_template(const char* path, MdmCreation& c) {
    for (RawSource& s : c.source) close_raw_source(s);
    c = MdmCreation{};
    FILE* f = open_or_die(path, "r");
    TemplateReader r{f, path, c};
    r.run();
    std::fclose(f);
    write_mdm_template(c, c.sameMissing);
}

void write_mdm_template(const MdmCreation& c, bool sameMissing) {
    std::string t;
    char buf[2048];
    auto yn = [](bool b) { return b ? "y" : "n"; };
    t += TEMPLATE_HEADER;
    t += "\n";
    t += std::string("vknown:") + yn(c.vKnownDeclared || c.isVKnown) + "\n";
    t += std::string("growthmodel:") + yn(c.withinPersons) + "\n";
    t += std::string("rawdattype:") + type_word(c.rawDataType) + "\n";
    t += "l1fname:" + c.rawFileName[0] + "\n";
    t += "l2fname:" + c.rawFileName[1] + "\n";
    const bool ascii = c.rawDataType == RAW_ASCII;
    if (ascii) {
        std::snprintf(buf, sizeof buf, "numl1var:%ld\nnuml2var:%ld\n", static_cast<long>(c.rawVarCount[0]),
                      static_cast<long>(c.rawVarCount[1]));
        t += buf;
        t += "l1format:" + c.rawFormat[0] + "\n";
        t += "l2format:" + c.rawFormat[1] + "\n";
    }
    t += std::string("l1missing:") + yn(c.hasMissing != 0);
    if (ascii && c.hasMissing) {
        std::size_t n = sameMissing ? (c.missingCodes.empty() ? 0 : 1) : c.missingCodes.size();
        t += sameMissing ? "/SAME\n" : "/DIFFERENT\n";
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%lf\n", c.missingCodes[i]);
            t += buf;
        }
    } else {
        t += "\n";
    }
    t += std::string("timeofdeletion:") + (c.deleteNow ? "now" : "analysis") + "\n";
    t += "mdmname:" + c.mdmFileName + "\n";
    for (int k = 0; k < 2; ++k) {
        std::snprintf(buf, sizeof buf, "*begin l%dvars\n", k + 1);
        t += buf;
        if (ascii) {
            for (std::size_t i = 1; i < c.names[k].size(); ++i)
                t += std::string(c.names[k][i].text, strnlen(c.names[k][i].text, 12)) + "\n";
        } else {
            const PackageFile* pf = c.source[k].pkg.get();
            if (pf != nullptr) {
                if (pf->idVar >= 0 && static_cast<std::size_t>(pf->idVar) < pf->vars.size())
                    t += "level2id:" + skip_blanks(pf->vars[static_cast<std::size_t>(pf->idVar)].fileName) + "\n";
                for (int j : pf->selected)
                    if (j >= 0 && static_cast<std::size_t>(j) < pf->vars.size())
                        t += pf->vars[static_cast<std::size_t>(j)].fileName + "\n";
            }
        }
        std::snprintf(buf, sizeof buf, "*end l%dvars\n", k + 1);
        t += buf;
    }
    FILE* out = open_or_die("creatmdm.mdmt", "w");
    write_or_die(out, t.data(), t.size());
    if (std::fclose(out) != 0) fatal_exit(5);
}
