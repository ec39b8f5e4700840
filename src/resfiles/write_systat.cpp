// SYSTAT residual files: a BASIC command file that saves the data set, with
// the data in fixed columns after it.
#include "resfiles/resfiles_internal.h"

namespace resfiles_detail {

namespace {

// Data lines of a block of n values, at most seven to a line.
long lines_of(std::size_t n) {
    return static_cast<long>((n + 6) / 7);
}

}  // namespace

void systat_header(FILE* f, const ResidualLayout& L) {
    const std::vector<ColumnGroup> groups = column_groups(L);
    std::size_t firstLine = 0;
    if (!groups.empty() && groups[0].group == 0) firstLine = groups[0].count;

    std::string s = "BASIC\nSAVE ";
    s += L.level == 1 ? "RESFIL1\nINPUT (" : "RESFIL2\nINPUT (";
    s += residual_id_name(L.type, L.level);
    if (L.charIds) s += "$";
    s += ",";
    for (std::size_t i = 0; i < firstLine; ++i) s += L.columns[i].name + ",";
    s += "\n";

    // Statistics: seven names a line, each block on its own lines. Chosen
    // variables run on across their blocks, seven to a line.
    int chosenOnLine = 0;
    for (const ColumnGroup& g : groups) {
        if (g.group == 0) continue;
        for (std::size_t k = 0; k < g.count; ++k) {
            const ResidualColumn& c = L.columns[g.first + k];
            if (c.chosen) {
                appendf(s, "%8.8s, ", c.padded.c_str());
                if (++chosenOnLine == 7) {
                    s += "\n";
                    chosenOnLine = 0;
                }
            } else {
                s += c.name + ",";
                if (k % 7 == 6 || k + 1 == g.count) s += "\n";
            }
        }
    }

    // The format: the ID line, then one entry per further data line.
    s += "),(";
    s += L.charIds ? "$" : "#";
    if (L.level == 1) appendf(s, "12,%d*#11", static_cast<int>(firstLine));
    else appendf(s, "12,#5,%d*#11/", static_cast<int>(firstLine > 0 ? firstLine - 1 : 0));
    for (const ColumnGroup& g : groups) {
        if (g.group == 0) continue;
        std::size_t left = g.count;
        for (long line = 0; line < lines_of(g.count); ++line) {
            const std::size_t here = left < 7 ? left : 7;
            if (line > 0) s += "/";
            appendf(s, "%2ld*#11", static_cast<long>(here));
            left -= here;
        }
        s += ",\n";
    }
    s += ")\n";

    if (L.level == 2)
        for (const ResidualColumn& c : L.columns)
            if (!c.recodeName.empty())
                appendf(s, "if %s=-99 then let %s=.\n", c.recodeName.c_str(), c.recodeName.c_str());
    s += "RUN\n";
    put_text(f, s);
}

}  // namespace resfiles_detail
