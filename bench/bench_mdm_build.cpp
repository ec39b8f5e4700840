// Times an MDM build of one million level-1 records (5 variables) in 10,000
// groups from generated fixed-format ASCII files and from the same data as CSV
// files, and checks that both give the same MDM data.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mdm/mdm.h"
#include "mdm/mdm_internal.h"
#include "mdm/packages.h"

namespace fs = std::filesystem;

namespace {

constexpr long kGroups = 10000;
constexpr long kPerGroup = 100;
constexpr int kL1Vars = 5;
constexpr int kL2Vars = 2;

// Fixed-format files, or CSV files with a header row and quoted IDs.
void write_data(const std::string& l1, const std::string& l2, bool csv) {
    FILE* f = std::fopen(l1.c_str(), "w");
    FILE* g = std::fopen(l2.c_str(), "w");
    if (!f || !g) {
        std::fprintf(stderr, "cannot write the data files\n");
        std::exit(1);
    }
    unsigned seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return static_cast<double>((seed >> 8) % 100000) / 1000.0 - 50.0;
    };
    if (csv) {
        std::fprintf(g, "id,v2_1,v2_2\n");
        std::fprintf(f, "id,v1_1,v1_2,v1_3,v1_4,v1_5\n");
    }
    for (long j = 0; j < kGroups; ++j) {
        double a = next(), b = next();
        std::fprintf(g, csv ? "\"%ld\",%.4f,%.4f\n" : "%12ld%12.4f%12.4f\n", 100000 + j, a, b);
        for (long i = 0; i < kPerGroup; ++i) {
            std::fprintf(f, csv ? "\"%ld\"" : "%12ld", 100000 + j);
            for (int v = 0; v < kL1Vars; ++v) std::fprintf(f, csv ? ",%.4f" : "%12.4f", next());
            std::fputc('\n', f);
        }
    }
    std::fclose(f);
    std::fclose(g);
}


// Opens the sources, reads a CSV file's selected columns and builds the MDM
// file: everything the run does between the template and the end. Returns seconds.
double timed_build(bool csv, const std::string& mdm) {
    MdmCreation c;
    c.rawDataType = csv ? RAW_CSV : RAW_ASCII;
    c.mdmFileName = mdm;
    const int counts[2] = {kL1Vars, kL2Vars};
    const char* formats[2] = {"(A12,5F12.4)", "(A12,2F12.4)"};
    const char* files[2][2] = {{"bench1.dat", "bench2.dat"}, {"bench1.csv", "bench2.csv"}};
    auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 2; ++k) {
        c.rawFileName[k] = files[csv][k];
        c.names[k].push_back(blank_filled_slot(k == 0 ? "INTRCPT1" : "INTRCPT2"));
        open_raw_source(c.source[k], c.rawDataType, k + 1, files[csv][k]);
        if (csv) {
            PackageFile& pf = *c.source[k].pkg;
            pkg_set_id(pf, 0);
            for (int i = 1; i <= counts[k]; ++i) pkg_add_selected(pf, i);
            pkg_selection_done(pf);
        } else {
            c.rawVarCount[k] = counts[k];
            c.rawFormat[k] = formats[k];
            c.source[k].format = formats[k];
            c.source[k].fieldCount = counts[k];
        }
        for (int i = 1; i <= counts[k]; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "V%d_%d", k + 1, i);
            c.names[k].push_back(make_variable_name(name));
        }
    }
    if (csv) csv_check_level1_ids(*c.source[0].pkg, *c.source[1].pkg);
    FILE* out = std::fopen(mdm.c_str(), "wb");
    if (!out) std::exit(1);
    BuildCounts n = build_mdm(c, out);
    std::fclose(out);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(stderr, "%s: %ld level-1 records, %ld groups in %.3f s: %.0f records per second\n",
                 csv ? "CSV      " : "ASCII    ", n.l1Records, n.l2Records, seconds,
                 static_cast<double>(n.l1Records) / seconds);
    return seconds;
}

// The MDM file without its raw-file-name block, which names different files.
std::string mdm_data(const std::string& path) {
    std::string s;
    FILE* f = std::fopen(path.c_str(), "rb");
    char buf[1 << 16];
    std::size_t got;
    while (f && (got = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, got);
    if (f) std::fclose(f);
    const std::size_t names = 46 + (kL1Vars + 1 + kL2Vars + 1) * 13;
    return s.size() > names + 4 + 520 ? s.substr(0, names) + s.substr(names + 4 + 520) : s;
}

}  // namespace

int main() {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    std::string dir = (fs::temp_directory_path() / "arb2-bench-mdm-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "cannot make a working directory\n");
        return 1;
    }
    write_data("bench1.dat", "bench2.dat", false);
    write_data("bench1.csv", "bench2.csv", true);
    // The builder prints its statistics tables; keep them off the timing report.
    std::fflush(stdout);
    FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    double ascii = timed_build(false, "ascii.mdm");
    double csv = timed_build(true, "csv.mdm");
    bool same = mdm_data("ascii.mdm") == mdm_data("csv.mdm");
    std::fprintf(stderr, "CSV / ASCII time: %.2f; MDM data %s\n", csv / ascii, same ? "identical" : "DIFFERENT");
    for (const char* f : {"bench1.dat", "bench2.dat", "bench1.csv", "bench2.csv", "ascii.mdm", "csv.mdm", "ARB2MDM.STS"})
        std::remove(f);
    if (chdir("/") == 0) rmdir(dir.c_str());
    return same ? 0 : 1;
}
