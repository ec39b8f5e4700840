// Helpers shared by the report source files.
#pragma once

#include <cstdio>
#include <string>

#include "report/report.h"

/// The category line, equation heading and label cell that open gamma k's row;
/// *categoryShown tracks whether a category line was printed yet.
void print_gamma_row_start(FILE* out, const ReportLabels& L, int k, bool* categoryShown);
/// The closing rule, the constrained-gammas note and a blank line.
void print_gamma_table_end(FILE* out, const ReportLabels& L, int F);
/// "%5.3lf\n" with the chi-square tail probability when 0 < df <= chi2, else ">.500\n".
void print_chi_square_p(FILE* out, double chi2, long df);
