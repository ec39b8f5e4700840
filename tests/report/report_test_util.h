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

/// Runs `write` on a memory stream and returns what it wrote.
inline std::string capture(const std::function<void(FILE*)>& write) {
    char* buf = nullptr;
    std::size_t size = 0;
    FILE* f = open_memstream(&buf, &size);
    write(f);
    std::fclose(f);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

/// Compares text with tests/data/golden/<name>; ARB2_UPDATE_GOLDEN=1 rewrites the file.
inline void expect_golden(const std::string& name, const std::string& text) {
    const std::string path = testsupport::data_path("golden/" + name);
    if (std::getenv("ARB2_UPDATE_GOLDEN")) testsupport::write_file(path, text);
    EXPECT_EQ(testsupport::read_file(path), text) << "golden file " << name;
}

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
