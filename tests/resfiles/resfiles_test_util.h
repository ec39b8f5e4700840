// Helpers of the residual-file tests: a small sample table, files, golden
// texts, and reading a CSV (free format or readstat's output) back.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "resfiles/resfiles.h"
#include "support/test_support.h"

namespace restest {

/// The sample table of a level-2 file (two random coefficients, diagnostics, PVC,
/// SIZE and SECTOR chosen; group 1288 lacks its distance and OLS residuals, A7
/// its SIZE) or of a level-1 file (SES and SIZE chosen).
inline std::pair<ResidualLayout, std::vector<ResidualRow>> sample_table(int type, int level, bool charIds) {
    ResidualNaming n;
    n.randomNames = n.coefNames = {"INTRCPT1", "SES"};
    n.randomIndex = {"0", "1"};
    n.l2Chosen = {make_variable_name("size"), make_variable_name("sector")};
    if (level == 1) n.l1Chosen = {make_variable_name("ses")}, n.l2Chosen.pop_back();
    ResidualLayout L;
    L.type = type, L.level = level, L.charIds = charIds, L.numRows = 3;
    L.created.tm_mday = 5, L.created.tm_mon = 2, L.created.tm_year = 124;
    L.created.tm_hour = 9, L.created.tm_min = 7, L.created.tm_sec = 3;
    L.columns = level == 1 ? level1_columns(n) : level2_columns(n, true, true);
    const double M = RESID_MISSING;
    const std::vector<std::vector<double>> v2 = {
        {20, 0.10259, 0.5, 1.25, 1.5, -0.75, 0.5, -0.25, 0.75, -0.125, 12.5, 2.25, 13, 2, 0.5, 0.0625, 0.125, 0.25,
         0.03125, 0.0625, 842, 0},
        {2, M, M, -1.5, M, M, 1.5, 0.5, M, M, 11.25, 3.5, 12.75, 4, 1.25, -0.125, 0.375, 1, -0.0625, 0.25, 1855, 1},
        {35, 1.38629, 2.75, 0.625, 0.875, 1.125, -2, 1, -2.5, 1.25, 14, 1.75, 12, 2.75, 0.25, 0.03125, 0.0625,
         0.1875, 0.015625, 0.03125, MISSING_VALUE, 0}};
    const std::vector<std::vector<double>> v1 = {{-1.14209, 7.01809, 6.06, -1.528, 842},
                                                 {10.35021, 9.35778, 6.06, MISSING_VALUE, 842},
                                                 {0.25, 13.5, 6.06, 0.5, 1855}};
    const char* ids[] = {"1224", level == 1 ? "1224" : "1288", level == 1 ? "1288" : "A7"};
    std::vector<ResidualRow> rows(3);
    for (int i = 0; i < 3; ++i) {
        normalise_name_slot(ids[i], 12, rows[i].charId);
        rows[i].numId = i == 2 && level == 2 ? 999999999999.0 : std::atof(ids[i]);
        rows[i].values = level == 1 ? v1[i] : v2[i];
    }
    return {L, rows};
}

/// Writes a table to a fresh file and returns its bytes; *missing tells whether the note is due.
inline std::string write_table(const ResidualLayout& L, const std::vector<ResidualRow>& rows,
                               bool* missing = nullptr, std::string* path = nullptr) {
    const std::string p = testsupport::make_temp_dir("resw") + (L.type == RAW_SPSS ? "/t.sav" : L.type == RAW_STATA ? "/t.dta" : "/t.txt");
    FILE* f = std::fopen(p.c_str(), L.type == RAW_SPSS || L.type == RAW_STATA ? "wb" : "w");
    const bool m = write_residual_table(f, L, rows);
    std::fclose(f);
    if (missing) *missing = m;
    if (path) *path = p;
    return testsupport::read_file(p);
}

inline std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out(1);
    for (char c : s) c == sep ? out.push_back("") : void(out.back() += c);
    if (sep == '\n' && out.back().empty()) out.pop_back();
    return out;
}

/// A comma-separated table: names, then rows of cells ("" for "." or an empty cell).
struct TextTable {
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> rows;
    std::size_t col(const std::string& name) const {
        for (std::size_t k = 0; k < names.size(); ++k)
            if (names[k] == name) return k;
        ADD_FAILURE() << "no column " << name;
        return 0;
    }
};

inline TextTable read_csv(const std::string& text) {
    TextTable t;
    for (const std::string& line : split(text, '\n')) {
        std::vector<std::string> cells;
        for (const std::string& c : split(line, ',')) {
            const std::size_t a = c.find_first_not_of(" \""), b = c.find_last_not_of(" \"");
            cells.push_back(a == std::string::npos || c.substr(a, b - a + 1) == "." ? "" : c.substr(a, b - a + 1));
        }
        if (t.names.empty()) t.names = cells;
        else t.rows.push_back(cells);
    }
    return t;
}

/// readstat's CSV of a package file, or an empty table when readstat fails.
inline TextTable readstat_table(const std::string& path) {
    std::string out;
    FILE* p = popen(("readstat '" + path + "' - 2>/dev/null").c_str(), "r");
    char buf[4096];
    for (std::size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    return p && pclose(p) == 0 ? read_csv(out) : TextTable{};
}

/// A package file read back by readstat lists the layout's names and the free-format values
/// (the SPSS missing value counting as missing).
inline void expect_same_table(const TextTable& free, const TextTable& pkg, const ResidualLayout& L) {
    std::vector<std::string> names = {residual_id_name(L.type, L.level)};
    for (const ResidualColumn& c : L.columns) names.push_back(residual_column_name(L.type, c));
    EXPECT_EQ(pkg.names, names);
    ASSERT_EQ(pkg.rows.size(), free.rows.size());
    for (std::size_t i = 0; i < free.rows.size(); ++i) {
        ASSERT_EQ(pkg.rows[i].size(), free.rows[i].size());
        EXPECT_EQ(pkg.rows[i][0], free.rows[i][0]);
        for (std::size_t k = 1; k < free.rows[i].size(); ++k) {
            const std::string &a = free.rows[i][k], &b = pkg.rows[i][k];
            const bool missB = b.empty() || std::atof(b.c_str()) == MISSING_VALUE;
            ASSERT_EQ(a.empty(), missB) << "row " << i << " " << names[k] << ": " << a << " / " << b;
            if (!a.empty()) {
                EXPECT_NEAR(std::atof(a.c_str()), std::atof(b.c_str()), 1e-6) << i << " " << names[k];
            }
        }
    }
}

}  // namespace restest
