// SAS residual files: a program that reads the data lines after "cards;" into
// a data set in the working directory.
#include "resfiles/resfiles_internal.h"

namespace resfiles_detail {

void sas_header(FILE* f, const ResidualLayout& L) {
    const std::vector<ColumnGroup> groups = column_groups(L);
    std::size_t firstLine = 0;
    if (!groups.empty() && groups[0].group == 0) firstLine = groups[0].count;

    std::string s = "libname dir \".\";\ndata dir.resfil";
    s += L.level == 1 ? "1;\n" : "2;\n";
    s += "infile cards;\nINPUT (";
    s += residual_id_name(L.type, L.level);
    for (std::size_t i = 0; i < firstLine; ++i) s += " " + L.columns[i].name;
    s += "\n";
    int onLine = 0;
    for (std::size_t i = firstLine; i < L.columns.size(); ++i) {
        const ResidualColumn& c = L.columns[i];
        if (c.chosen) appendf(s, "%8.8s ", c.padded.c_str());
        else s += c.name + " ";
        if (++onLine == 7) {
            s += "\n";
            onLine = 0;
        }
    }

    // Informats: the ID line, then one entry per further data line.
    s += ") (";
    if (L.charIds) s += "$";
    if (L.level == 1) appendf(s, "12. %d*11.5 ", static_cast<int>(firstLine));
    else appendf(s, "12. 5. %d*11.5 ", static_cast<int>(firstLine > 0 ? firstLine - 1 : 0));
    int line = 1;
    for (const ColumnGroup& g : groups) {
        if (g.group == 0) continue;
        const bool cov = L.columns[g.first].kind == ResidualColumnKind::Covariance;
        for (std::size_t done = 0; done < g.count; done += 7) {
            const std::size_t here = g.count - done < 7 ? g.count - done : 7;
            appendf(s, cov ? "#%d %2ld*11.6 " : "#%d %2ld*11.5 ", ++line, static_cast<long>(here));
        }
    }
    s += ");\n";

    if (L.level == 2 && !L.columns.empty())
        appendf(s, "array v NJ -- %s;\ndo over v;\nif v=-99 then v=.;\nend;\n", L.columns.back().name.c_str());
    s += "cards;\n";
    put_text(f, s);
}

}  // namespace resfiles_detail
