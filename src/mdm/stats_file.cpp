// Descriptive-statistics tables of "ARB2MDM.STS" and the builder's scratch file.
#include <cmath>
#include <cstdlib>
#include <unistd.h>

#include "mdm/mdm_internal.h"

double stats_sd(const VarStats& v, double mean) {
    double s = v.sumSquares - static_cast<double>(v.count) * mean * mean;
    if (s > 0.0 && v.count >= 2) return std::sqrt(s / static_cast<double>(v.count - 1));
    return 0.0;
}

std::string stats_table(int level, const NameSlot* names, const VarStats* stats,
                        const double* means, int p) {
    std::string t;
    char line[2048];  // "%f" of a huge value runs to hundreds of digits
    std::snprintf(line, sizeof line, "\n                      LEVEL-%1d DESCRIPTIVE STATISTICS", level);
    t += line;
    t += "\n\n VARIABLE NAME       N       MEAN         ";
    t += "SD         MINIMUM      MAXIMUM\n";
    for (int i = 0; i < p; ++i) {
        const VarStats& v = stats[i];
        std::snprintf(line, sizeof line, "  %12s    %6ld    %7.2f    %7.2lf    %9.2f    %9.2f\n",
                      names[i].text, v.count, means[i], stats_sd(v, means[i]), v.minimum, v.maximum);
        t += line;
    }
    t += "\n";
    return t;
}

FILE* open_anonymous_scratch() {
    const char* dir = std::getenv("TMP");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/arb2mdmXXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) fatal_exit(6);
    // Unlinked at once: the file vanishes however the run ends.
    unlink(name.data());
    FILE* f = fdopen(fd, "w+b");
    if (f == nullptr) {
        close(fd);
        fatal_exit(6);
    }
    return f;
}
