// Dispatch of the residual-file writers by file type, the helpers they share,
// the free-format writer and the closing note.
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "model/model.h"
#include "resfiles/resfiles_internal.h"

namespace resfiles_detail {

void appendf(std::string& s, const char* format, ...) {
    char small[256];
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        s.append(small, static_cast<std::size_t>(n));
        return;
    }
    // A very large number printed with "%lf" runs to some 310 characters.
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    va_start(ap, format);
    std::vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    s.append(big.data(), static_cast<std::size_t>(n));
}

void put_text(FILE* f, const std::string& s) {
    if (!s.empty()) std::fwrite(s.data(), 1, s.size(), f);
}

void put_bytes(FILE* f, const void* data, std::size_t n) {
    if (n != 0 && std::fwrite(data, 1, n, f) != n) fatal_exit(5);
}

std::string trimmed_name(const NameSlot& s, int width) {
    const std::size_t len = strnlen(s.text, static_cast<std::size_t>(width));
    std::size_t a = 0, b = len;
    while (a < b && s.text[a] == ' ') ++a;
    while (b > a && s.text[b - 1] == ' ') --b;
    return std::string(s.text + a, b - a);
}

std::string padded_name(const NameSlot& s) {
    std::string t;
    appendf(t, "%8.8s", std::string(s.text, strnlen(s.text, 12)).c_str());
    return t;
}

std::string fixed_id_text(const ResidualLayout& L, const ResidualRow& row) {
    std::string s;
    if (L.charIds) appendf(s, "%12.12s", std::string(row.charId.text, strnlen(row.charId.text, 12)).c_str());
    else appendf(s, "%12.0lf", row.numId);
    return s;
}

long count_value(double v) {
    return std::isfinite(v) && std::fabs(v) < 2e9 ? static_cast<long>(v) : 0L;
}

std::vector<int> chosen_l1_slots(const ModelSpec& model, int p1) {
    std::vector<int> slots;
    for (int s = 0; s <= p1 && s < model.numL1Slots; ++s) {
        bool chosen = false;
        for (int set = 0; set < model.numSets && !chosen; ++set) {
            const std::size_t at = static_cast<std::size_t>(model.at(set, s));
            chosen = at < model.l1ResidualVars.size() && model.l1ResidualVars[at] != 0;
        }
        if (chosen) slots.push_back(s);
    }
    return slots;
}

std::vector<int> chosen_l2_slots(const std::vector<int>& flags, int p2) {
    std::vector<int> slots;
    for (int s = 0; s <= p2 && s < static_cast<int>(flags.size()); ++s)
        if (flags[s] != 0) slots.push_back(s);
    return slots;
}

std::vector<ColumnGroup> column_groups(const ResidualLayout& L) {
    std::vector<ColumnGroup> groups;
    for (std::size_t i = 0; i < L.columns.size(); ++i) {
        if (groups.empty() || groups.back().group != L.columns[i].group) {
            ColumnGroup g;
            g.group = L.columns[i].group;
            g.first = i;
            groups.push_back(g);
        }
        ++groups.back().count;
    }
    return groups;
}

// ---- Free format -----------------------------------------------------------------

void free_header(FILE* f, const ResidualLayout& L) {
    std::string line = residual_id_name(L.type, L.level) + ",";
    for (const ResidualColumn& c : L.columns) line += c.name + ",";
    // The line end takes the place of the last comma.
    line.back() = '\n';
    put_text(f, line);
}

void free_row(FILE* f, const ResidualLayout& L, const ResidualRow& row) {
    std::string line;
    if (L.charIds) appendf(line, "%s,", std::string(row.charId.text, strnlen(row.charId.text, 12)).c_str());
    else appendf(line, "%lf,", row.numId);
    for (std::size_t i = 0; i < L.columns.size(); ++i) {
        const double v = i < row.values.size() ? row.values[i] : RESID_MISSING;
        if (L.columns[i].kind == ResidualColumnKind::Count) appendf(line, "%ld,", count_value(v));
        else if (residual_cell_missing(v)) line += ".,";
        else appendf(line, "%lf,", v);
    }
    line.back() = '\n';
    put_text(f, line);
}

// ---- SYSTAT and SAS data lines ------------------------------------------------------

std::string fixed_data_lines(const ResidualLayout& L, const ResidualRow& row) {
    std::string s = fixed_id_text(L, row);
    auto value = [&](std::size_t i) {
        const double v = i < row.values.size() ? row.values[i] : RESID_MISSING;
        return residual_cell_missing(v) ? RESID_MISSING : v;
    };
    for (const ColumnGroup& g : column_groups(L)) {
        if (g.group == 0) {
            for (std::size_t i = g.first; i < g.first + g.count; ++i) {
                if (L.columns[i].kind == ResidualColumnKind::Count) appendf(s, "%5ld", count_value(value(i)));
                else appendf(s, "%11.5lf", value(i));
            }
            s += '\n';
            continue;
        }
        if (s.empty() || s.back() != '\n') s += '\n';
        for (std::size_t k = 0; k < g.count; ++k) {
            const std::size_t i = g.first + k;
            appendf(s, L.columns[i].kind == ResidualColumnKind::Covariance ? "%11.6lf" : "%11.5lf", value(i));
            if (k % 7 == 6 || k + 1 == g.count) s += '\n';
        }
    }
    if (s.empty() || s.back() != '\n') s += '\n';
    return s;
}

}  // namespace resfiles_detail

using namespace resfiles_detail;

bool residual_cell_missing(double v) {
    return v == RESID_MISSING || v == MISSING_VALUE || !std::isfinite(v);
}

bool residual_row_has_missing_statistic(const ResidualLayout& L, const ResidualRow& row) {
    for (std::size_t i = 0; i < L.columns.size(); ++i) {
        if (L.columns[i].chosen) continue;
        if (i >= row.values.size() || residual_cell_missing(row.values[i])) return true;
    }
    return false;
}

std::string residual_id_name(int type, int level) {
    if (level == 1 || type == RAW_SPSS || type == RAW_STATA) return "L2ID";
    return "ID";
}

std::string residual_column_name(int type, const ResidualColumn& c) {
    if (type == RAW_STATA) return c.stataName;
    if (type == RAW_SPSS) return c.name.substr(0, 8);
    return c.name;
}

void write_residual_header(FILE* f, const ResidualLayout& L) {
    switch (L.type) {
    case RAW_SYSTAT: systat_header(f, L); break;
    case RAW_SAS: sas_header(f, L); break;
    case RAW_SPSS: spss_header(f, L); break;
    case RAW_STATA: stata_header(f, L); break;
    default: free_header(f, L); break;
    }
}

void write_residual_row(FILE* f, const ResidualLayout& L, const ResidualRow& row) {
    switch (L.type) {
    case RAW_SYSTAT:
    case RAW_SAS: put_text(f, fixed_data_lines(L, row)); break;
    case RAW_SPSS: spss_row(f, L, row); break;
    case RAW_STATA: stata_row(f, L, row); break;
    default: free_row(f, L, row); break;
    }
}

void finish_residual_file(FILE* f, const ResidualLayout& L, long rowsWritten) {
    if (rowsWritten != L.numRows) {
        if (L.type == RAW_SPSS) spss_patch_cases(f, rowsWritten);
        else if (L.type == RAW_STATA) stata_patch_observations(f, rowsWritten);
    }
    if (std::fflush(f) != 0 || std::ferror(f)) fatal_exit(5);
}

void print_residual_note(FILE* out, const char* fileName, int type) {
    std::fprintf(out, "\n\nA residual file, called %s, has been created.  Note, some statistics\n", fileName);
    std::fprintf(out, "could not be computed and ");
    if (type == RAW_SPSS || type == RAW_STATA) {
        std::fprintf(out, "have been set to missing.\n");
    } else {
        std::fprintf(out, "a value of -99 has been entered. These should be\n");
        std::fprintf(out, "recoded to 'missing values' before any analyses are performed.\n");
    }
}

bool write_residual_table(FILE* f, const ResidualLayout& L, const std::vector<ResidualRow>& rows) {
    bool missing = false;
    write_residual_header(f, L);
    for (const ResidualRow& row : rows) {
        write_residual_row(f, L, row);
        missing = missing || residual_row_has_missing_statistic(L, row);
    }
    finish_residual_file(f, L, static_cast<long>(rows.size()));
    return missing;
}
