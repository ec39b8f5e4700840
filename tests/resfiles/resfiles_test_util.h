// Helpers of the residual-file tests: small hand-made tables, writing them to
// files, golden files and reading files back through readstat.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "resfiles/resfiles.h"
#include "support/test_support.h"

namespace restest {

/// A character or numeric group ID.
inline ResidualRow make_row(const char* id, std::vector<double> values) {
    ResidualRow r;
    normalise_name_slot(id, 12, r.charId);
    r.values = std::move(values);
    return r;
}

inline ResidualRow make_num_row(double id, std::vector<double> values) {
    ResidualRow r;
    r.numId = id;
    r.values = std::move(values);
    return r;
}

/// A fixed creation stamp: 5 Mar 2024, 9:07:03.
inline std::tm fixed_time() {
    std::tm t{};
    t.tm_mday = 5;
    t.tm_mon = 2;
    t.tm_year = 124;
    t.tm_hour = 9;
    t.tm_min = 7;
    t.tm_sec = 3;
    return t;
}

/// Naming of a model with two random coefficients (INTRCPT1, SES) and the
/// level-2 variables SIZE and SECTOR chosen.
inline ResidualNaming two_coefficient_naming() {
    ResidualNaming n;
    n.randomNames = {"INTRCPT1", "SES"};
    n.randomIndex = {"0", "1"};
    n.coefNames = {"INTRCPT1", "SES"};
    n.l2Chosen = {make_variable_name("size"), make_variable_name("sector")};
    return n;
}

/// A level-2 table: two random coefficients, diagnostics, PVC, two chosen
/// variables; the second group has a missing distance, percentile and OLS residual.
inline ResidualLayout level2_layout(int type, bool charIds) {
    ResidualLayout L;
    L.type = type;
    L.level = 2;
    L.charIds = charIds;
    L.numRows = 3;
    L.created = fixed_time();
    L.columns = level2_columns(two_coefficient_naming(), true, true);
    return L;
}

inline std::vector<ResidualRow> level2_sample_rows(bool charIds) {
    // NJ CHIPCT MDIST LNTOT OLSRS MDRS | EB0 EB1 | OL0 OL1 | FV0 FV1 | EC0 EC1 | PV00 PV10 PV11 |
    // PVC00 PVC10 PVC11 | SIZE SECTOR
    std::vector<std::vector<double>> v = {
        {20, 0.10259, 0.5, 1.25, 1.5, -0.75, 0.5, -0.25, 0.75, -0.125, 12.5, 2.25, 13, 2, 0.5, 0.0625, 0.125, 0.25,
         0.03125, 0.0625, 842, 0},
        {2, RESID_MISSING, RESID_MISSING, -1.5, RESID_MISSING, RESID_MISSING, 1.5, 0.5, RESID_MISSING, RESID_MISSING,
         11.25, 3.5, 12.75, 4, 1.25, -0.125, 0.375, 1, -0.0625, 0.25, 1855, 1},
        {35, 1.38629, 2.75, 0.625, 0.875, 1.125, -2, 1, -2.5, 1.25, 14, 1.75, 12, 2.75, 0.25, 0.03125, 0.0625, 0.1875,
         0.015625, 0.03125, MISSING_VALUE, 0},
    };
    const char* ids[] = {"1224", "1288", "A7"};
    const double nums[] = {1224, 1288, 999999999999.0};
    std::vector<ResidualRow> rows;
    for (int i = 0; i < 3; ++i) rows.push_back(charIds ? make_row(ids[i], v[i]) : make_num_row(nums[i], v[i]));
    return rows;
}

/// A level-1 table: one chosen level-1 variable (SES) and one level-2 (SIZE).
inline ResidualLayout level1_layout(int type, bool charIds) {
    ResidualNaming n;
    n.l1Chosen = {make_variable_name("ses")};
    n.l2Chosen = {make_variable_name("size")};
    ResidualLayout L;
    L.type = type;
    L.level = 1;
    L.charIds = charIds;
    L.numRows = 3;
    L.created = fixed_time();
    L.columns = level1_columns(n);
    return L;
}

inline std::vector<ResidualRow> level1_sample_rows(bool charIds) {
    std::vector<std::vector<double>> v = {
        {-1.14209, 7.01809, 6.06, -1.528, 842},
        {10.35021, 9.35778, 6.06, MISSING_VALUE, 842},
        {0.25, 13.5, 6.06, 0.5, 1855},
    };
    std::vector<ResidualRow> rows;
    const char* ids[] = {"1224", "1224", "1288"};
    const double nums[] = {1224, 1224, 1288};
    for (int i = 0; i < 3; ++i) rows.push_back(charIds ? make_row(ids[i], v[i]) : make_num_row(nums[i], v[i]));
    return rows;
}

/// Writes a table to `path` ("w" or "wb" by type) and returns whether some statistic was missing.
inline bool write_table_file(const std::string& path, const ResidualLayout& L, const std::vector<ResidualRow>& rows) {
    const bool binary = L.type == RAW_SPSS || L.type == RAW_STATA;
    FILE* f = std::fopen(path.c_str(), binary ? "wb" : "w");
    EXPECT_NE(f, nullptr) << path;
    if (f == nullptr) return false;
    const bool missing = write_residual_table(f, L, rows);
    std::fclose(f);
    return missing;
}

/// Compares text with tests/data/golden/<name>; ARB2_UPDATE_GOLDEN=1 rewrites the file.
inline void expect_golden(const std::string& name, const std::string& text) {
    const std::string path = testsupport::data_path("golden/" + name);
    if (std::getenv("ARB2_UPDATE_GOLDEN")) testsupport::write_file(path, text);
    EXPECT_EQ(testsupport::read_file(path), text) << "golden file " << name;
}

/// Splits text into lines (without line ends).
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

/// Splits one line at commas.
inline std::vector<std::string> split_commas(const std::string& line) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (true) {
        std::size_t end = line.find(',', at);
        out.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return out;
}

/// True when the readstat program is installed.
inline bool have_readstat() {
    return std::system("readstat --version >/dev/null 2>&1") == 0 ||
           std::system("command -v readstat >/dev/null 2>&1") == 0;
}

/// The CSV that `readstat FILE -` prints, and its exit status.
inline std::string readstat_csv(const std::string& path, int* status) {
    std::string out;
    FILE* p = popen(("readstat '" + path + "' - 2>/dev/null").c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *status = pclose(p);
    return out;
}

}  // namespace restest
