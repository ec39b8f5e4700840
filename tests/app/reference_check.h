// Numbers read back from a report, compared with the rows "model quantity index
// value abs_tol" of an independent reference file.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace refcheck {

/// Quantity name -> the values in reference-file order.
using Quantities = std::map<std::string, std::vector<double>>;

/// The numbers among the blank-separated words of `text`.
inline std::vector<double> numbers(const std::string& text) {
    std::vector<double> v;
    std::istringstream in(text);
    for (std::string tok; in >> tok;) {
        char* end = nullptr;
        const double d = std::strtod(tok.c_str(), &end);
        if (end != tok.c_str() && *end == '\0') v.push_back(d);
    }
    return v;
}

/// Compares `got` with the rows of tests/data/<file> for `model`, each within its abs_tol
/// times `scale` and at least `minTol` (the rounding of the print); the gammas' reference
/// is multiplied by `gammaSign`. Returns the number of rows compared.
inline int compare(const std::string& file, const std::string& model, const Quantities& got, double minTol = 6e-6,
                   double scale = 1.0, double gammaSign = 1.0) {
    std::istringstream in(testsupport::read_file(testsupport::data_path(file)));
    int compared = 0;
    for (std::string line, m, q; std::getline(in, line);) {
        std::istringstream row(line);
        std::size_t i;
        double value, tol;
        if (!(row >> m >> q >> i >> value >> tol) || m != model) continue;  // the header row fails the read
        const auto it = got.find(q);
        const bool printed = it != got.end() && i < it->second.size();
        EXPECT_TRUE(printed) << model << " " << q << "[" << i << "] not read back";
        if (!printed) continue;
        EXPECT_NEAR(it->second[i], (q == "gamma" ? gammaSign : 1.0) * value, std::max(tol * scale, minTol))
            << model << " " << q << "[" << i << "]";
        ++compared;
    }
    return compared;
}

}  // namespace refcheck
