// Reads a free-format residual file and the CSV that readstat makes of an SPSS
// or Stata residual file, and compares the two cell by cell.
#pragma once

#include <cmath>
#include <cstdlib>

#include "resfiles/resfiles_test_util.h"

namespace restest {

/// A table read back: names and cells as text ("" for missing).
struct TextTable {
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> rows;
};

inline std::string unquote(std::string s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

inline std::string trim(const std::string& s) {
    const std::size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

/// A comma-separated file whose first line holds the names; "." cells are missing.
inline TextTable read_csv_table(const std::string& text) {
    TextTable t;
    const std::vector<std::string> lines = lines_of(text);
    if (lines.empty()) return t;
    for (const std::string& n : split_commas(lines[0])) t.names.push_back(unquote(n));
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> cells;
        for (const std::string& c : split_commas(lines[i])) {
            std::string v = trim(unquote(c));
            cells.push_back(v == "." ? "" : v);
        }
        t.rows.push_back(cells);
    }
    return t;
}

/// Compares readstat's CSV of a binary residual file with the free-format file
/// of the same table: same number of columns and rows, the expected names, the
/// same values (the SPSS missing value counts as missing).
inline void expect_same_table(const TextTable& fromFree, const TextTable& fromPackage,
                              const std::vector<std::string>& packageNames, double relTol) {
    ASSERT_EQ(fromPackage.names.size(), fromFree.names.size());
    EXPECT_EQ(fromPackage.names, packageNames);
    ASSERT_EQ(fromPackage.rows.size(), fromFree.rows.size());
    for (std::size_t i = 0; i < fromFree.rows.size(); ++i) {
        const auto& a = fromFree.rows[i];
        const auto& b = fromPackage.rows[i];
        ASSERT_EQ(a.size(), b.size()) << "row " << i;
        EXPECT_EQ(trim(a[0]), trim(b[0])) << "ID of row " << i;
        for (std::size_t k = 1; k < a.size(); ++k) {
            const bool missA = a[k].empty();
            const bool missB = b[k].empty() || std::atof(b[k].c_str()) == MISSING_VALUE;
            ASSERT_EQ(missA, missB) << "row " << i << " column " << fromFree.names[k] << ": " << a[k] << " / " << b[k];
            if (missA) continue;
            const double x = std::atof(a[k].c_str()), y = std::atof(b[k].c_str());
            EXPECT_NEAR(x, y, relTol * std::max(1.0, std::fabs(x)))
                << "row " << i << " column " << fromFree.names[k];
        }
    }
}

/// The names a package file should list for a layout.
inline std::vector<std::string> package_names(const ResidualLayout& L) {
    std::vector<std::string> names = {residual_id_name(L.type, L.level)};
    for (const ResidualColumn& c : L.columns) names.push_back(residual_column_name(L.type, c));
    return names;
}

}  // namespace restest
