// Helpers shared by the residual-file sources: text formatting, checked
// binary output and the chosen-variable lists of the model.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "resfiles/resfiles.h"

struct ModelSpec;
struct LinearFit;

namespace resfiles_detail {

/// Appends printf-formatted text to `s`.
void appendf(std::string& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
/// Writes the text to the file (its error flag is checked when the file is finished).
void put_text(FILE* f, const std::string& s);
/// Writes bytes; message 5 on a short write.
void put_bytes(FILE* f, const void* data, std::size_t n);
/// The first `width` characters of a name slot without surrounding blanks.
std::string trimmed_name(const NameSlot& s, int width);
/// The first 8 characters of a name slot as "%8.8s" prints them.
std::string padded_name(const NameSlot& s);
/// The ID as SYSTAT and SAS data lines print it ("%12.12s" or "%12.0lf").
std::string fixed_id_text(const ResidualLayout& L, const ResidualRow& row);

/// A Count cell as a whole number (0 when it is not a usable number).
long count_value(double v);
/// Level-1 slots chosen for the level-1 file (any equation set), variables only.
std::vector<int> chosen_l1_slots(const ModelSpec& model, int p1);
/// Level-2 slots marked in a [numL2Slots] flag table.
std::vector<int> chosen_l2_slots(const std::vector<int>& flags, int p2);

/// W_j gamma: the Q fitted level-1 coefficients of unit j.
void fitted_coefficients(const LinearFit& fit, long j, double* out);

/// Ranges of consecutive columns with the same group number.
struct ColumnGroup {
    int group = 0;
    std::size_t first = 0, count = 0;
};
/// The column groups of a layout, in order (group 0 first when present).
std::vector<ColumnGroup> column_groups(const ResidualLayout& L);

/// SYSTAT and SAS data lines of one record (they are the same in both programs).
std::string fixed_data_lines(const ResidualLayout& L, const ResidualRow& row);

// Per-type writers behind the dispatch of write_residual_header/row.
void free_header(FILE* f, const ResidualLayout& L);
void free_row(FILE* f, const ResidualLayout& L, const ResidualRow& row);
void systat_header(FILE* f, const ResidualLayout& L);
void sas_header(FILE* f, const ResidualLayout& L);
void spss_header(FILE* f, const ResidualLayout& L);
void spss_row(FILE* f, const ResidualLayout& L, const ResidualRow& row);
void spss_patch_cases(FILE* f, long cases);
void stata_header(FILE* f, const ResidualLayout& L);
void stata_row(FILE* f, const ResidualLayout& L, const ResidualRow& row);
void stata_patch_observations(FILE* f, long observations);

}  // namespace resfiles_detail
