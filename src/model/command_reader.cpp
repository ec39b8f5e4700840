// The command-file reader: keyword lines into RunSettings and ModelSpec,
// the level-1 and level-2 equations, and the consistency checks that follow.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "mdm/mdm.h"
#include "model/model.h"

namespace {

constexpr int LINE_BUFFER = 2048;
constexpr int MAX_CANDIDATES = 12;
constexpr int NUM_HYPOTHESES = 24;
constexpr int MAX_CONTRAST_ROWS = 32767;  // the row counts are 16-bit
constexpr std::size_t FILE_NAME_MAX = 259;
constexpr std::size_t TITLE_MAX = 63;

// ---- Text helpers -------------------------------------------------------------

bool is_blank(char c) { return c == ' ' || c == '\t'; }

char upper(char c) { return (char)std::toupper((unsigned char)c); }

// First character of a value, upper-cased ('\0' when empty).
char first_upper(const std::string& s) { return s.empty() ? '\0' : upper(s[0]); }

bool starts_with_ci(const std::string& s, const char* prefix) {
    std::size_t n = std::strlen(prefix);
    if (s.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (upper(s[i]) != upper(prefix[i])) return false;
    return true;
}

bool equals_ci(const std::string& s, const char* word) {
    return s.size() == std::strlen(word) && starts_with_ci(s, word);
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string after(const std::string& s, std::size_t pos) { return pos < s.size() ? s.substr(pos) : std::string(); }

// Text after the first colon (the whole rest of the line).
std::string after_colon(const std::string& line) {
    std::size_t c = line.find(':');
    return c == std::string::npos ? std::string() : line.substr(c + 1);
}

std::string clip(const std::string& s, std::size_t n) { return s.size() > n ? s.substr(0, n) : s; }

// The first `most` fields of `s` between separators, as they stand; empty ones keep their place.
std::vector<std::string> split_fields(const std::string& s, char sep,
                                      std::size_t most = std::numeric_limits<std::size_t>::max()) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= s.size() && fields.size() < most) {
        std::size_t end = s.find(sep, start);
        if (end == std::string::npos) end = s.size();
        fields.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

// Comma-separated items; empty items are dropped, the others trimmed.
std::vector<std::string> split_list(const std::string& s, char sep) {
    std::vector<std::string> items;
    for (const std::string& field : split_fields(s, sep)) {
        std::string item = trim(field);
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// Leading decimal integer (blanks and a sign allowed), 0 without digits, clamped to int.
int leading_int(const std::string& s) {
    errno = 0;
    long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (v > 2147483647LL) return 2147483647;
    if (v < -2147483647LL) return -2147483647;
    return (int)v;
}

// Leading real number, 0.0 without one; infinities and NaN read as 0.0.
double leading_double(const std::string& s) {
    double v = std::strtod(s.c_str(), nullptr);
    return std::isfinite(v) ? v : 0.0;
}

// Number after the first comma, or `fallback` without a comma.
int int_after_comma(const std::string& s, int fallback) {
    std::size_t c = s.find(',');
    return c == std::string::npos ? fallback : leading_int(s.substr(c + 1));
}

// ---- Run endings ----------------------------------------------------------------

[[noreturn]] void end_run(const char* text) {
    std::fputs(text, stdout);
    fatal_exit(0);
}

// Message 8 with the line number right-aligned in three places.
[[noreturn]] void syntax_error_at(int lineNo) {
    char num[16];
    std::snprintf(num, sizeof num, "%3d", lineNo);
    fatal_exit(8, num);
}

// ---- Reading state -----------------------------------------------------------------

// The open command file with a one-line push-back for the level-2 lookahead.
struct LineSource {
    FILE* f = nullptr;
    int lineNo = 0;
    bool pushed = false;
    std::string pushedLine;
};

// Everything the reader keeps between lines.
struct ReadState {
    RunSettings& rs;
    ModelSpec& model;
    const MdmHeader& mdm;
    LineSource src;
    int setsRead = 0;  // LEVEL1 lines so far
    bool sawLevel1 = false, sawLevel2 = false, sawResfil1 = false, sawResfil2 = false;
    std::vector<std::pair<int, std::string>> gammaRows;  // hypothesis number, values
    std::string constraintList;                          // empty: no constraints
};

// Next line without its line end and trailing blanks; false at the end of the file.
bool next_line(LineSource& src, std::string& line) {
    if (src.pushed) {
        src.pushed = false;
        line = std::move(src.pushedLine);
        ++src.lineNo;
        return true;
    }
    char buf[LINE_BUFFER];
    if (!std::fgets(buf, sizeof buf, src.f)) return false;
    std::size_t n = std::strlen(buf);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || is_blank(buf[n - 1]))) --n;
    line.assign(buf, n);
    ++src.lineNo;
    return true;
}

// Gives a line back so that the next read returns it again, counted once.
void push_back_line(LineSource& src, std::string line) {
    src.pushed = true;
    src.pushedLine = std::move(line);
    --src.lineNo;
}

bool is_comment(const std::string& line) { return line.empty() || is_blank(line[0]) || line[0] == '#'; }

// A keyword line needs a colon followed directly by a value.
void check_colon(const std::string& line, int lineNo) {
    std::size_t c = line.find(':');
    if (c == std::string::npos || c + 1 >= line.size() || is_blank(line[c + 1])) syntax_error_at(lineNo);
}

// ---- Name look-up -------------------------------------------------------------------

// Slot of `name` among slots first..last of a name table, or -1.
int lookup(const std::vector<NameSlot>& table, int first, int last, const std::string& name) {
    if (name.empty() || first < 0) return -1;
    if (last >= (int)table.size()) last = (int)table.size() - 1;
    if (last < first) return -1;
    int at = find_name(table.data() + first, last - first, name.c_str());
    return at < 0 ? -1 : at + first;
}

// As lookup, but an unknown name ends the run with message 9.
int require_name(const std::vector<NameSlot>& table, int first, int last, const std::string& name,
                 const char* item, const std::string& line) {
    int slot = lookup(table, first, last, name);
    if (slot < 0) {
        std::printf("Batch file %s specification invalid\n", item);
        fatal_exit(9, name.empty() ? line.c_str() : name.c_str());
    }
    return slot;
}

int last_l1_data_slot(const ReadState& st) {
    int p1 = st.mdm.numL1Vars;
    return p1 < st.model.numL1Slots - 1 ? p1 : st.model.numL1Slots - 1;
}

int last_l2_slot(const ReadState& st) { return st.model.numL2Slots - 1; }

// ---- Equations ------------------------------------------------------------------------

// One '+'-separated term "NAME[,o]" of an equation's right-hand side.
struct EquationTerm {
    std::string name;
    bool hasOption = false;
    char option = ' ';   // ' ' when the option is empty
    std::string rest;    // the right-hand side from this term on, for the messages
};

// The terms of `rhs` from `start` on, empty ones included.
std::vector<EquationTerm> equation_terms(const std::string& rhs, std::size_t start) {
    std::vector<EquationTerm> terms;
    while (start <= rhs.size()) {
        std::size_t end = rhs.find('+', start);
        if (end == std::string::npos) end = rhs.size();
        const std::string term = rhs.substr(start, end - start);
        EquationTerm t;
        const std::size_t c = term.find(',');
        t.name = trim(term.substr(0, c));
        t.hasOption = c != std::string::npos;
        const std::string opt = t.hasOption ? trim(term.substr(c + 1)) : std::string();
        t.option = opt.empty() ? ' ' : opt[0];
        t.rest = rhs.substr(start);
        terms.push_back(std::move(t));
        start = end + 1;
    }
    return terms;
}

// Parses a LEVEL2 line for coefficient `coef` of equation set `set`.
void parse_level2(ReadState& st, int set, int coef, const std::string& line) {
    ModelSpec& m = st.model;
    int lineNo = st.src.lineNo;
    std::string value = after(line, 7);
    std::size_t eq = value.find('=');
    if (eq == std::string::npos) syntax_error_at(lineNo);

    std::string coefName = trim(value.substr(0, eq));
    NameSlot given = make_variable_name(clip(coefName, 12).c_str());
    if (coefName.empty() || std::memcmp(given.text, m.l1Names[coef].text, 8) != 0) syntax_error_at(lineNo);

    std::string rhs = value.substr(eq + 1);
    std::size_t slash = rhs.find('/');
    if (slash != std::string::npos) {
        std::string list = rhs.substr(slash + 1);
        rhs = rhs.substr(0, slash);
        ++st.rs.candidatesGiven;
        std::vector<std::string> names = split_list(list, ',');
        // Up to twelve level-2 names, INTRCPT2 included; later ones are ignored.
        for (int k = 0; k < (int)names.size() && k < MAX_CANDIDATES; ++k) {
            int slot = lookup(st.mdm.l2Names, 0, last_l2_slot(st), names[k]);
            if (slot < 0) {
                std::printf("bad extra variable: %s\n", names[k].c_str());
                fatal_exit(8, list.c_str());
            }
            m.l2Candidates[m.cand(set, coef, k)] = slot;
        }
    }

    bool random = false;
    int count = 0;
    for (const EquationTerm& t : equation_terms(rhs, 0)) {
        const std::string& name = t.name;
        if (name.empty()) continue;
        if (equals_ci(name, "RANDOM")) {
            random = true;
            continue;
        }
        int slot = require_name(st.mdm.l2Names, 0, last_l2_slot(st), name, "level2", line);
        for (int k = 0; k < count; ++k)
            if (m.l2Predictors[m.pred(set, coef, k)] == slot) syntax_error_at(lineNo);
        m.l2Predictors[m.pred(set, coef, count++)] = slot;
        ++m.numFixed;
        if (slot > 0) {
            m.l1ResidualL2Vars[slot] = 1;
            m.l2ResidualVars[slot] = 1;
        }
        if (!t.hasOption) continue;
        if (t.option == '2') {
            m.l2Centering[slot] = 2;
        } else {
            std::printf("Problem at this point: %s\n", t.rest.c_str());
            std::printf("invalid option on level-2 variable, %c\n", t.option);
        }
    }
    if (!random) m.fixedEffectOnly[m.at(set, coef)] = 1;
    ++st.rs.level2Given;
    ++st.rs.randomGiven;
    st.sawLevel2 = true;
}

// Reads the level-2 equation of a coefficient when the next line holds one.
void level2_lookahead(ReadState& st, int set, int coef) {
    std::string line;
    for (;;) {
        if (!next_line(st.src, line)) return;
        if (line.empty() || line[0] != '#') break;
    }
    if (!starts_with_ci(line, "LEVEL2:")) {
        push_back_line(st.src, std::move(line));
        return;
    }
    check_colon(line, st.src.lineNo);
    parse_level2(st, set, coef, line);
}

// Parses a LEVEL1 line: the next equation set, then each coefficient's LEVEL2 line.
void parse_level1(ReadState& st, const std::string& line) {
    RunSettings& rs = st.rs;
    ModelSpec& m = st.model;
    if (st.setsRead >= m.numSets) end_run("You have too many sets of equations!\n");
    int set = st.setsRead++;
    st.sawLevel1 = true;

    std::string value = after(line, 7);
    std::size_t eq = value.find('=');
    int last = m.numL1Slots - 1;
    std::string rhs;
    if (st.mdm.isVKnown) {
        // A V-known file has no outcome: the line only names the statistics
        // ("LEVEL1:B0+B1+RANDOM"), and none of them is an intercept.
        if (eq != std::string::npos) fatal_exit(8, line.c_str());
        rhs = value;
    } else {
        if (eq == std::string::npos) fatal_exit(8, line.c_str());
        int outcome = require_name(m.l1Names, 1, last, trim(value.substr(0, eq)), "outvar", line);
        m.outcome = outcome;
        m.l1Role[m.at(set, outcome)] = -1;
        rhs = value.substr(eq + 1);
    }
    std::size_t start = 0;
    int previous = 0;
    if (!st.mdm.isVKnown && starts_with_ci(trim(rhs), "INTRCPT")) {
        m.l1Role[m.at(set, 0)] = 1;
        level2_lookahead(st, set, 0);
        std::size_t plus = rhs.find('+');
        start = plus == std::string::npos ? rhs.size() + 1 : plus + 1;
    } else {
        m.noIntercept = true;
        if (rs.ordinal) end_run("Level-1 intercept must be specified in ordinal runs!\n");
    }

    int thresholds = 0;
    for (const EquationTerm& t : equation_terms(rhs, start)) {
        const std::string& name = t.name;
        if (name.empty() || equals_ci(name, "RANDOM")) continue;
        if (rs.ordinal && starts_with_ci(name, "THOLD") && ++thresholds > rs.numCategories - 2) {
            std::printf("You have specified more than %d thresholds in the command file!\n", rs.numCategories - 2);
            fatal_exit(0);
        }
        int slot = require_name(m.l1Names, 1, last, name, "level1", line);
        // A repeated term is out of order as well: each coefficient appears once.
        if (slot <= previous) fatal_exit(10);
        previous = slot;
        m.l1Role[m.at(set, slot)] = 1;
        m.l1ResidualVars[m.at(set, slot)] = 1;
        m.l1Centering[slot] = 0;
        if (t.hasOption) {
            if (t.option == '1' || t.option == '2') {
                m.l1Centering[slot] = t.option - '0';
            } else {
                std::printf("Problem at this point: %s\n", t.rest.c_str());
                std::printf("invalid option on level-1 variable, %c\n", t.option);
            }
        }
        level2_lookahead(st, set, slot);
    }

    m.numTerms = 0;
    for (int s = 0; s < m.numL1Slots; ++s)
        if (m.l1Role[m.at(set, s)] == 1) ++m.numTerms;
    ++rs.level1Given;
    ++rs.interceptGiven;
}

// ---- Keywords with their own rules ----------------------------------------------------

void parse_nonlin(ReadState& st, const std::string& line, const std::string& value) {
    RunSettings& rs = st.rs;
    ++rs.nonlinGiven;
    if (first_upper(value) == 'N') return;
    std::size_t comma = value.find(',');
    std::string type = trim(value.substr(0, comma));
    std::string rest = comma == std::string::npos ? std::string() : value.substr(comma + 1);
    if (equals_ci(type, "BINOMIAL") || equals_ci(type, "BERNOULLI") || equals_ci(type, "POISSON")) {
        rs.distribution = equals_ci(type, "POISSON") ? 2 : 1;
        if (comma != std::string::npos)
            st.model.trialsVar = require_name(st.model.l1Names, 1, last_l1_data_slot(st), trim(rest), "nlcntvar", line);
        return;
    }
    bool ordinal = equals_ci(type, "ORDINAL");
    if (!ordinal && !equals_ci(type, "MULTINOMIAL")) {
        std::printf("Incorrect non-linear type: %s\n", value.c_str());
        fatal_exit(0);
    }
    if (st.sawLevel1 || st.sawLevel2 || st.sawResfil1 || st.sawResfil2)
        end_run("Nonlin:ordinal/multinomial must be specified before model or residual file\n");
    if (comma == std::string::npos)
        end_run("For multinomial/ordinal, you must specify the number of categories\n");
    int categories = leading_int(rest);
    if (categories < 2 || categories > MAX_CATEGORIES) syntax_error_at(st.src.lineNo);
    rs.distribution = 3;
    rs.ordinal = ordinal;
    rs.numCategories = categories;
    if (ordinal) {
        check_reserved_names(st.mdm);
        remake_model_tables(st.mdm, st.model, 1, categories - 2);
    } else {
        remake_model_tables(st.mdm, st.model, categories - 1, 0);
    }
}

void parse_lvr(ReadState& st, const std::string& value) {
    RunSettings& rs = st.rs;
    ModelSpec& m = st.model;
    ++rs.lvrGiven;
    if (first_upper(value) == 'N') return;
    if (!st.sawLevel1 || !st.sawLevel2) end_run("lvr must be specified after complete model\n");
    int set = st.setsRead - 1;
    int random = 0;
    for (int s = 0; s < m.numL1Slots; ++s)
        if (m.l1Role[m.at(set, s)] == 1 && !m.fixedEffectOnly[m.at(set, s)]) ++random;
    if (random == 0) end_run("There is no tau, so lvr cannot be used!\n");
    if (rs.distribution == 3 && !rs.ordinal)
        end_run(" The program cannot do latent variable regressions in a multinomial run.\n");
    m.lvrRole.assign(random, 0);
    bool any = false;
    for (int i = 0; i < random; ++i) {
        std::size_t at = 2 * (std::size_t)i;
        char letter = at < value.size() ? upper(value[at]) : '\0';
        if (letter == 'O' || letter == 'P') {
            m.lvrRole[i] = letter == 'O' ? 1 : 2;
            any = true;
        } else if (letter != 'I') {
            std::fputs("lvr must be specifed as o, p or i", stdout);
            fatal_exit(8, after(value, at).c_str());
        }
    }
    if (any) {
        rs.lvrOn = true;
        rs.fullML = true;
    }
}

void parse_resfil1(ReadState& st, const std::string& line, const std::string& value) {
    RunSettings& rs = st.rs;
    ModelSpec& m = st.model;
    ++rs.resfil1Given;
    st.sawResfil1 = true;
    if (first_upper(value) == 'N') {
        rs.wantResfil1 = false;
        return;
    }
    if (st.mdm.isVKnown) {
        std::printf("\n%s cannot make vknown level-1 residual files.\n", PROGRAM_NAME);
        fatal_exit(0);
    }
    rs.wantResfil1 = true;
    std::size_t s1 = value.find('/');
    if (s1 == std::string::npos) return;
    std::string rest = value.substr(s1 + 1);
    std::size_t s2 = rest.find('/');
    std::string l1list = rest.substr(0, s2);
    std::string l2list = s2 == std::string::npos ? std::string() : rest.substr(s2 + 1);
    for (const std::string& name : split_list(l1list, ',')) {
        int slot = require_name(m.l1Names, 0, last_l1_data_slot(st), name, "resfil1", line);
        for (int set = 0; set < m.numSets; ++set) m.l1ResidualVars[m.at(set, slot)] = 1;
    }
    for (const std::string& name : split_list(l2list, ','))
        m.l1ResidualL2Vars[require_name(st.mdm.l2Names, 0, last_l2_slot(st), name, "resfil1", line)] = 1;
}

void parse_resfil2(ReadState& st, const std::string& line, const std::string& value) {
    RunSettings& rs = st.rs;
    ++rs.resfil2Given;
    st.sawResfil2 = true;
    if (first_upper(value) == 'N') {
        rs.wantResfil2 = false;
        return;
    }
    rs.wantResfil2 = true;
    std::size_t s1 = value.find('/');
    if (s1 == std::string::npos) return;
    for (const std::string& name : split_list(value.substr(s1 + 1), ','))
        st.model.l2ResidualVars[require_name(st.mdm.l2Names, 0, last_l2_slot(st), name, "resfil2", line)] = 1;
}

// Names of a HETEROL1VAR or PLAUSVALS line (INTRCPT1 allowed).
void parse_l1_name_list(ReadState& st, const std::string& line, const std::string& value, const char* item,
                        const char* needsModel, std::vector<int>& out) {
    if (first_upper(value) == 'N') return;
    if (!st.sawLevel1) end_run(needsModel);
    out.clear();
    for (const std::string& name : split_list(value, ','))
        out.push_back(require_name(st.model.l1Names, 0, last_l1_data_slot(st), name, item, line));
}

// A weight or precision variable: "NONE" or one name.
int parse_optional_name(const std::vector<NameSlot>& table, int last, const std::string& line,
                        const std::string& value, const char* item) {
    std::string name = trim(value);
    if (equals_ci(name, "NONE")) return 0;
    return require_name(table, 1, last, name, item, line);
}

void parse_emlaplace(RunSettings& rs, const std::string& line, const std::string& value) {
    char v = first_upper(value);
    if (v == 'N') return;
    std::size_t colon = line.find(':');
    std::string between = trim(line.substr(9, colon - 9));
    if (!between.empty()) {
        if (v == 'Y') rs.emLaplaceType = leading_int(between);
    } else {
        rs.emLaplaceType = 2;
    }
    if (v == 'Y' && value.find(',') != std::string::npos) rs.laplaceIterations = int_after_comma(value, 0);
}

void parse_agq(RunSettings& rs, const std::string& line, const std::string& value) {
    char v = first_upper(value);
    if (v == 'N') return;
    rs.emLaplaceType = 5;
    if (v != 'Y') return;
    std::size_t colon = line.find(':');
    std::string points = trim(line.substr(4, colon - 4));
    if (!points.empty()) rs.agqPoints = leading_int(points);
    if (value.find(',') != std::string::npos) rs.agqIterations = int_after_comma(value, 0);
}

void parse_gamma(ReadState& st, const std::string& line) {
    if (!st.sawLevel1 || !st.sawLevel2) end_run("Gammas must be specified after complete model\n");
    ++st.rs.gammaGiven;
    int k = leading_int(after(line, 5));
    if (k < 1 || k > NUM_HYPOTHESES) return;
    if (st.model.hypothesisRows[k - 1] >= MAX_CONTRAST_ROWS) syntax_error_at(st.src.lineNo);
    ++st.model.hypothesisRows[k - 1];
    st.gammaRows.emplace_back(k, after_colon(line));
}

void parse_constrain(ReadState& st, const std::string& value) {
    char v = first_upper(value);
    if (v == 'Y') return;
    ++st.rs.constrainGiven;
    if (v == 'N') {
        st.constraintList.clear();
        return;
    }
    if (!st.sawLevel1 || !st.sawLevel2) end_run("Constraints must be specified after complete model\n");
    st.constraintList = value;
}

int resfil_type_code(const std::string& value) {
    std::string v = trim(value);
    if (equals_ci(v, "FREEFORMAT")) return RAW_ASCII;
    if (equals_ci(v, "SYSTAT")) return RAW_SYSTAT;
    if (equals_ci(v, "SAS")) return RAW_SAS;
    if (equals_ci(v, "SPSS")) return RAW_SPSS;
    if (equals_ci(v, "STATA")) return RAW_STATA;
    return 0;
}

// Sets a yes/no field from the first letter; other values leave it alone.
void set_yes_no(bool& field, const std::string& value) {
    char v = first_upper(value);
    if (v == 'Y') field = true;
    if (v == 'N') field = false;
}

// ---- Keyword table ------------------------------------------------------------------

enum Keyword {
    K_ACCEL, K_TAYLOR, K_NUMIT, K_FULLOUTPUT, K_PRINTVC, K_GRAPHGAMMAS, K_MACROIT, K_MICROIT, K_NONLIN,
    K_DELETION, K_POPAVIT, K_HETERO, K_PLAUSVALS, K_LVR, K_LEV1OLS, K_NOBASE, K_LAPLACE6, K_LAPLACE8,
    K_LAPLACE, K_EMLAPLACE, K_AGQ, K_MLF, K_HOMVAR, K_FIXSIGMA2, K_STOPVAL, K_STOPMICRO, K_STOPMACRO,
    K_GAMMA, K_CONSTRAIN, K_DEVIANCE, K_DF, K_HYPOTH, K_TITLE, K_OUTPUT, K_L1WEIGHT, K_L2WEIGHT,
    K_VKNOWN, K_FIXTAU, K_LEVEL1, K_RESFIL1NAME, K_RESFIL2NAME, K_RESFILNAME, K_RESFILTYPE, K_RESFIL1,
    K_RESFIL2, K_RESFIL, K_DEBUG, K_NONE
};

struct KeywordEntry {
    const char* prefix;
    Keyword id;
};

// Recognition order: the first prefix that matches wins.
const KeywordEntry KEYWORDS[] = {
    {"ACCEL:", K_ACCEL}, {"TAYLOR:", K_TAYLOR}, {"NUMIT:", K_NUMIT}, {"FULLOUTPUT:", K_FULLOUTPUT},
    {"PRINTVARIANCE-COVARIANCE:", K_PRINTVC}, {"GRAPHGAMMAS:", K_GRAPHGAMMAS}, {"MACROIT:", K_MACROIT},
    {"MICROIT:", K_MICROIT}, {"NONLIN:", K_NONLIN}, {"LEVEL1DELETION:", K_DELETION}, {"POPAVIT:", K_POPAVIT},
    {"HETEROL1VAR:", K_HETERO}, {"PLAUSVALS:", K_PLAUSVALS}, {"LVR:", K_LVR}, {"LEV1OLS:", K_LEV1OLS},
    {"NOBASE:", K_NOBASE}, {"LAPLACE6:", K_LAPLACE6}, {"LAPLACE8:", K_LAPLACE8}, {"LAPLACE:", K_LAPLACE},
    {"EMLAPLACE", K_EMLAPLACE}, {"AGQ=", K_AGQ}, {"MLF:", K_MLF}, {"HOMVAR:", K_HOMVAR},
    {"FIXSIGMA2:", K_FIXSIGMA2}, {"STOPVAL:", K_STOPVAL}, {"STOPMICR", K_STOPMICRO}, {"STOPMACR", K_STOPMACRO},
    {"GAMMA", K_GAMMA}, {"CONSTRAIN", K_CONSTRAIN}, {"DEVIANCE:", K_DEVIANCE}, {"DF:", K_DF},
    {"HYPOTH:", K_HYPOTH}, {"TITLE:", K_TITLE}, {"OUTPUT:", K_OUTPUT}, {"LEVEL1WEIGHT:", K_L1WEIGHT},
    {"LEVEL2WEIGHT:", K_L2WEIGHT}, {"VARIANCEKNOWN:", K_VKNOWN}, {"FIXTAU:", K_FIXTAU}, {"LEVEL1:", K_LEVEL1},
    {"RESFIL1NAME:", K_RESFIL1NAME}, {"RESFIL2NAME:", K_RESFIL2NAME}, {"RESFILNAME:", K_RESFILNAME},
    {"RESFILTYPE:", K_RESFILTYPE}, {"RESFIL1:", K_RESFIL1}, {"RESFIL2:", K_RESFIL2}, {"RESFIL:", K_RESFIL},
    {"DEBUG:", K_DEBUG},
};

Keyword recognise(const std::string& line, std::size_t& prefixLength) {
    for (const KeywordEntry& k : KEYWORDS) {
        if (starts_with_ci(line, k.prefix)) {
            prefixLength = std::strlen(k.prefix);
            return k.id;
        }
    }
    return K_NONE;
}

// Applies one keyword line.
void parse_line(ReadState& st, const std::string& line) {
    RunSettings& rs = st.rs;
    ModelSpec& m = st.model;
    std::size_t len = 0;
    Keyword key = recognise(line, len);
    std::string value = after(line, len);
    switch (key) {
        case K_ACCEL:
            rs.accel = leading_int(value);
            ++rs.accelGiven;
            break;
        case K_TAYLOR:
            rs.taylorOrder = leading_int(value);
            rs.taylorSecond = int_after_comma(value, rs.taylorSecond);
            if (rs.taylorOrder != 2 && rs.taylorOrder != 4) end_run("taylor must be set to 2 or 4!\n");
            break;
        case K_NUMIT:
        case K_MACROIT: {
            int n = leading_int(value);
            std::size_t comma = value.find(',');
            if (comma != std::string::npos) {
                char v = first_upper(trim(value.substr(comma + 1)));
                if (v == 'Y') rs.atIterationLimit = 1;
                if (v == 'N') rs.atIterationLimit = 0;
            }
            if (key == K_MACROIT) {
                rs.maxMacroIterations = n;
                ++rs.macroitGiven;
                break;
            }
            if (n < 1) end_run("numit must be greater than 0!\n");
            rs.maxIterations = n;
            ++rs.numitGiven;
            ++rs.iterationsGiven;
            break;
        }
        case K_FULLOUTPUT: set_yes_no(rs.fullOutput, value); break;
        case K_PRINTVC:
            if (first_upper(value) == 'Y') rs.printVarCov = 1;
            if (first_upper(value) == 'A') rs.printVarCov = 2;
            break;
        case K_GRAPHGAMMAS: rs.graphGammas = clip(value, FILE_NAME_MAX); break;
        case K_MICROIT:
            rs.maxIterations = leading_int(value);
            if (rs.maxIterations < 1) end_run("microit must be greater than 0!\n");
            ++rs.iterationsGiven;
            break;
        case K_NONLIN: parse_nonlin(st, line, value); break;
        case K_DELETION:
            ++rs.deletionGiven;
            if (equals_ci(trim(value), "NONE")) break;
            for (const std::string& name : split_list(value, ','))
                m.deletionBasis[require_name(m.l1Names, 1, last_l1_data_slot(st), name, "level1deletion", line)] = 2;
            break;
        case K_POPAVIT:
            if (first_upper(value) == 'N') break;
            rs.popAvgIterations = first_upper(value) == 'Y' ? 1 : leading_int(value);
            break;
        case K_HETERO:
            ++rs.heteroGiven;
            parse_l1_name_list(st, line, value, "heterol1var", "heterol1var must be specified after level-1 model\n",
                               m.heteroVars);
            break;
        case K_PLAUSVALS:
            ++rs.plausGiven;
            parse_l1_name_list(st, line, value, "plausvals", "plausvals must be specified after level-1 model\n",
                               m.plausibleValues);
            break;
        case K_LVR: parse_lvr(st, value); break;
        case K_LEV1OLS:
            rs.olsUnitsShown = leading_int(value);
            ++rs.olsGiven;
            break;
        case K_NOBASE: ++rs.interceptGiven; break;
        case K_LAPLACE6:
        case K_LAPLACE8:
        case K_LAPLACE:
            if (first_upper(value) != 'Y') break;
            if (key == K_LAPLACE6) {
                rs.laplace6 = true;
                rs.laplace6Iterations = int_after_comma(value, rs.laplace6Iterations);
            } else if (key == K_LAPLACE8) {
                rs.laplace8 = true;
                rs.laplace8Iterations = int_after_comma(value, rs.laplace8Iterations);
            } else {
                rs.emLaplaceType = 2;
                rs.laplaceIterations = int_after_comma(value, rs.laplaceIterations);
            }
            break;
        case K_EMLAPLACE: parse_emlaplace(rs, line, after_colon(line)); break;
        case K_AGQ: parse_agq(rs, line, after_colon(line)); break;
        case K_MLF: set_yes_no(rs.fullML, value); break;
        case K_HOMVAR:
            ++rs.homvarGiven;
            if (first_upper(value) == 'Y') rs.testHomogeneity = true;
            break;
        case K_FIXSIGMA2:
            if (first_upper(value) != 'N') rs.fixedSigma2 = leading_double(value);
            break;
        case K_STOPVAL:
            rs.microCriterion = leading_double(value);
            ++rs.stopvalGiven;
            break;
        case K_STOPMICRO:
        case K_STOPMACRO: {
            // Recognised by eight characters; the number starts after the tenth.
            double v = leading_double(after(line, 10));
            if (key == K_STOPMICRO) {
                rs.microCriterion = v;
                ++rs.stopmicroGiven;
            } else {
                rs.macroCriterion = v;
            }
            break;
        }
        case K_GAMMA: parse_gamma(st, line); break;
        case K_CONSTRAIN: parse_constrain(st, after_colon(line)); break;
        case K_DEVIANCE:
            rs.altDeviance = leading_double(value);
            ++rs.devianceGiven;
            break;
        case K_DF:
            rs.altDf = leading_int(value);
            ++rs.dfGiven;
            break;
        case K_HYPOTH:
            if (first_upper(value) == 'N') ++rs.hypothesisGiven;
            break;
        case K_TITLE:
            rs.problemTitle = clip(value, TITLE_MAX);
            ++rs.titleGiven;
            break;
        case K_OUTPUT:
            rs.outputFileName = clip(trim(value), FILE_NAME_MAX);
            ++rs.outputGiven;
            break;
        case K_L1WEIGHT:
            // Text after a comma is ignored.
            rs.level1Weight = parse_optional_name(m.l1Names, last_l1_data_slot(st), line,
                                                  value.substr(0, value.find(',')), "wgtvar1");
            break;
        case K_L2WEIGHT:
            rs.level2Weight = parse_optional_name(st.mdm.l2Names, last_l2_slot(st), line, value, "wgtvar2");
            break;
        case K_VKNOWN:
            rs.precisionVar = parse_optional_name(m.l1Names, last_l1_data_slot(st), line, value, "autovknown");
            break;
        case K_FIXTAU: rs.fixTau = leading_int(value); break;
        case K_LEVEL1: parse_level1(st, line); break;
        case K_RESFIL1NAME: rs.resfil1Name = clip(value, FILE_NAME_MAX); break;
        case K_RESFIL2NAME:
        case K_RESFILNAME: rs.resfil2Name = clip(value, FILE_NAME_MAX); break;
        case K_RESFILTYPE:
            rs.resfilType = resfil_type_code(value);
            if (rs.resfilType == 0) end_run("Invalid resfiltype.\n");
            break;
        case K_RESFIL1: parse_resfil1(st, line, value); break;
        case K_RESFIL2:
        case K_RESFIL: parse_resfil2(st, line, value); break;
        case K_DEBUG: rs.debugLevel = leading_int(value); break;
        case K_NONE:
            std::printf("Unrecognized control word, ignored: %s\n", line.c_str());
            pause_for_return();
            break;
    }
}

// ---- Before the first and after the last line -----------------------------------------

// Command-file settings back to their defaults; the driver's fields survive.
void reset_settings(RunSettings& rs, const MdmHeader& mdm) {
    RunSettings fresh;
    fresh.mdmFileName = std::move(rs.mdmFileName);
    fresh.commandFileName = std::move(rs.commandFileName);
    fresh.dataSourceName = std::move(rs.dataSourceName);
    fresh.inMemory = rs.inMemory;
    fresh.miActive = rs.miActive;
    fresh.miPass = rs.miPass;
    fresh.miFirst = rs.miFirst;
    fresh.miLast = rs.miLast;
    fresh.miCount = rs.miCount;
    fresh.withinPersons = rs.withinPersons;
    fresh.isVKnown = rs.isVKnown;
    fresh.analysisKind = rs.analysisKind;
    rs = std::move(fresh);

    // A V-known file has no choice in these questions.
    if (mdm.isVKnown) {
        rs.randomGiven = rs.constrainGiven = rs.nonlinGiven = rs.plausGiven = rs.lvrGiven = 1;
        rs.heteroGiven = rs.resfil1Given = rs.interceptGiven = rs.homvarGiven = 1;
    }
    if (rs.analysisKind == AnalysisKind::HeteroVariance) rs.heteroGiven = 1;
    if (mdm.deleteNow) rs.deletionGiven = 1;
}

// Contrast rows and constraint groups take their width from the final fixed effects.
void build_contrasts_and_constraints(ReadState& st) {
    ModelSpec& m = st.model;
    m.contrasts.clear();
    for (int k = 1; k <= NUM_HYPOTHESES; ++k) {
        for (const auto& row : st.gammaRows) {
            if (row.first != k) continue;
            std::vector<double> values(m.numFixed, 0.0);
            const std::vector<std::string> fields = split_fields(row.second, ',', values.size());
            for (std::size_t i = 0; i < fields.size(); ++i) values[i] = leading_double(fields[i]);
            m.contrasts.insert(m.contrasts.end(), values.begin(), values.end());
        }
    }
    m.constraintGroup.clear();
    if (st.constraintList.empty()) return;
    m.constraintGroup.assign(m.numFixed, 0);
    const std::vector<std::string> fields = split_fields(st.constraintList, ',', m.constraintGroup.size());
    for (std::size_t i = 0; i < fields.size(); ++i) m.constraintGroup[i] = leading_int(fields[i]);
}

void check_after_last_line(RunSettings& rs, ModelSpec& m, const MdmHeader& mdm) {
    bool hetero = !m.heteroVars.empty();
    bool special = rs.distribution != 0 || hetero;
    const char* kind = hetero ? "heterogeneous variance" : "non-linear";

    apply_default_resfil_names(rs);
    if (rs.distribution == 3) rs.wantResfil1 = false;
    if (rs.macroitGiven) {
        if (!m.plausibleValues.empty()) {
            std::printf("You can not do a combination of %s and plausible values\nat this time.\n", kind);
            fatal_exit(0);
        }
        if (rs.distribution != 0 && hetero)
            end_run("You can not do a combination of non-linear and heterogeneous l1 variances\nat this time.\n");
    }
    if (mdm.deleteNow) rs.deletionGiven = 1;
    if (rs.lvrOn || rs.laplace6 || rs.laplace8 || hetero) rs.fullML = true;
    if (rs.macroitGiven && !special) end_run("If non-linear iterations desired, the type must be specified\n");
    if (special && !rs.macroitGiven) end_run(" macroit must be specified if nonlin or heterol1var are specified.\n");
    if (special && rs.numitGiven) {
        std::fputs(" The numit directive should not be used when specifying a non-linear or\n", stdout);
        end_run(" heterogeneous L1 variance model. Use the microit and macroit keywords.\n");
    }
    if (special && rs.stopvalGiven) {
        std::printf(" The stopval directive should not be used when specifying a\n %s model.", kind);
        end_run(" Use the stopmicro and stopmacro keywords.\n");
    }
    if (rs.distribution != 0 || rs.fixedSigma2 != 0.0) rs.testHomogeneity = false;
    if (special && !rs.stopmicroGiven) rs.microCriterion = 1e-5;
    if (rs.laplace6 || rs.laplace8) {
        if (rs.distribution != 1 || m.trialsVar != 0) end_run("LaPlace iterations may only be done on Bernoulli analyses.");
        rs.fixedSigma2 = 1.0;
    }
    if (rs.emLaplaceType != 0) {
        rs.fixedSigma2 = 1.0;
        rs.fullML = true;
        if (rs.emLaplaceType != 5 && rs.distribution == 1 && m.trialsVar != 0) {
            std::fputs("EM LaPlace iterations cannot be done on Binomial analyses.", stdout);
            rs.emLaplaceType = 0;
        }
    }
    if (m.trialsVar > 0 && m.trialsVar < m.numL1Slots) {
        for (int set = 0; set < m.numSets; ++set) {
            if (m.l1Role[m.at(set, m.trialsVar)] != 1) continue;
            if (rs.distribution == 1) std::fputs(" The binomial count ", stdout);
            if (rs.distribution == 2) std::fputs(" The poisson variable exposure ", stdout);
            end_run("variable is also used in the model!\n");
        }
    }
    if (rs.precisionVar != 0) rs.fixedSigma2 = 1.0;
    if (!rs.accelGiven) rs.accel = rs.fullML ? 3 : 5;
    if (!rs.fullML) {
        if (rs.accel < 3) rs.accel = 3;
    } else if (rs.accel < 1) {
        rs.accel = 5;
    }
    if ((rs.devianceGiven != 0) != (rs.dfGiven != 0)) std::fputs(" Deviance and df must be specified together\n", stdout);
    for (std::size_t i = 1; i < m.plausibleValues.size(); ++i)
        if (m.plausibleValues[i] != m.plausibleValues[i - 1] + 1)
            end_run("Plausible value variables must be specified in the same order as they\nappear in the mdm file.\n");
}

}  // namespace

void check_reserved_names(const MdmHeader& mdm) {
    for (int i = 1; i <= mdm.numL1Vars && i < (int)mdm.l1Names.size(); ++i) {
        std::string name = trim(std::string(mdm.l1Names[i].text, strnlen(mdm.l1Names[i].text, 12)));
        if (starts_with_ci(name, "THOLD")) end_run("Variable names starting with THOLD are reserved for ordinal runs\n");
    }
}

void read_command_file(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm) {
    reset_settings(rs, mdm);
    size_model_tables(mdm, model);
    if (rs.commandFileName.empty()) {
        // Without a file only the defaults hold: restricted likelihood's acceleration.
        rs.accel = 5;
        return;
    }

    ReadState st{rs, model, mdm, LineSource{}, 0, false, false, false, false, {}, {}};
    st.src.f = open_or_die(rs.commandFileName.c_str(), "r");
    std::string line;
    while (next_line(st.src, line)) {
        if (is_comment(line)) continue;
        // An empty title is allowed.
        if (!starts_with_ci(line, "TITLE")) check_colon(line, st.src.lineNo);
        parse_line(st, line);
    }
    std::fclose(st.src.f);

    build_contrasts_and_constraints(st);
    check_after_last_line(rs, model, mdm);
}
