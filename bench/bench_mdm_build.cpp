// Times an MDM build from a generated fixed-format ASCII data set of one
// million level-1 records (5 variables) in 10,000 groups.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mdm/mdm.h"
#include "mdm/mdm_internal.h"

namespace fs = std::filesystem;

namespace {

constexpr long kGroups = 10000;
constexpr long kPerGroup = 100;
constexpr int kL1Vars = 5;
constexpr int kL2Vars = 2;

void write_data(const std::string& l1, const std::string& l2) {
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
    for (long j = 0; j < kGroups; ++j) {
        std::fprintf(g, "%12ld%12.4f%12.4f\n", 100000 + j, next(), next());
        for (long i = 0; i < kPerGroup; ++i) {
            std::fprintf(f, "%12ld", 100000 + j);
            for (int v = 0; v < kL1Vars; ++v) std::fprintf(f, "%12.4f", next());
            std::fputc('\n', f);
        }
    }
    std::fclose(f);
    std::fclose(g);
}

}  // namespace

int main() {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    std::string dir = (fs::temp_directory_path() / "arb2-bench-mdm-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "cannot make a working directory\n");
        return 1;
    }
    write_data("bench1.dat", "bench2.dat");

    MdmCreation c;
    c.rawDataType = RAW_ASCII;
    c.mdmFileName = "bench.mdm";
    const int counts[2] = {kL1Vars, kL2Vars};
    const char* formats[2] = {"(A12,5F12.4)", "(A12,2F12.4)"};
    const char* files[2] = {"bench1.dat", "bench2.dat"};
    for (int k = 0; k < 2; ++k) {
        c.rawVarCount[k] = counts[k];
        c.rawFormat[k] = formats[k];
        c.rawFileName[k] = files[k];
        c.names[k].push_back(blank_filled_slot(k == 0 ? "INTRCPT1" : "INTRCPT2"));
        for (int i = 1; i <= counts[k]; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "V%d_%d", k + 1, i);
            c.names[k].push_back(make_variable_name(name));
        }
        open_raw_source(c.source[k], RAW_ASCII, k + 1, files[k]);
        c.source[k].format = formats[k];
        c.source[k].fieldCount = counts[k];
    }

    FILE* out = std::fopen("bench.mdm", "wb");
    if (!out) return 1;
    // The builder prints its statistics tables; keep them off the timing report.
    std::fflush(stdout);
    FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    auto t0 = std::chrono::steady_clock::now();
    BuildCounts n = build_mdm(c, out);
    auto t1 = std::chrono::steady_clock::now();
    std::fclose(out);
    double seconds = std::chrono::duration<double>(t1 - t0).count();
    std::fprintf(stderr, "%ld level-1 records, %ld groups in %.3f s: %.0f records per second\n", n.l1Records,
                 n.l2Records, seconds, static_cast<double>(n.l1Records) / seconds);
    for (const char* f : {"bench1.dat", "bench2.dat", "bench.mdm", "ARB2MDM.STS"}) std::remove(f);
    if (chdir("/") == 0) rmdir(dir.c_str());
    return 0;
}
