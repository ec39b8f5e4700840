// Helpers of the report tests: capturing a table's text, golden files and a
// small hand-made label set (two coefficients, three gammas).
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "report/report.h"
#include "support/test_support.h"

namespace reporttest {

inline constexpr std::size_t npos = std::string::npos;

/// One number formatted as the report would print it.
inline std::string fmt(const char* format, double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, x);
    return buf;
}

/// Number of occurrences of `what` in `text`.
inline int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != npos; at = text.find(what, at + 1)) ++n;
    return n;
}

using testsupport::capture;
using testsupport::expect_golden;

/// INTRCPT1 (random, B0) with INTRCPT2 and SECTOR; SES slope (random, B1) with INTRCPT2.
inline ReportLabels sample_labels() {
    ReportLabels L;
    L.numGammas = 3;
    L.gammaLabels = {"INTRCPT2, G00   ", "  SECTOR, G01   ", "INTRCPT2, G10   "};
    L.gammaHeadings = {"      INTRCPT1, B0", "", "     SES slope, B1"};
    L.gammaGroupLabels = {"    INTRCPT1", "", "         SES"};
    L.gammaCategories = {"", "", ""};
    L.gammaConstrained = {0, 0, 0};
    L.gammaCoefficient = {0, 0, 1};
    L.numCoefficients = 2;
    L.coefficientGammaCounts = {2, 1};
    L.numRandom = 2;
    L.randomNames = {"INTRCPT1", "     SES"};
    L.randomIndex = {"0", "1"};
    L.randomIsIntercept = {1, 0};
    L.randomCategories = {"", ""};
    L.randomGammaCounts = {2, 1};
    return L;
}

}  // namespace reporttest
