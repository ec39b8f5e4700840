// Helpers the benchmarks share: process CPU time and the raw writes that lay
// down a synthetic MDM file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/base.h"

// Process CPU time: the machine may be shared, and the targets are one core's work.
inline double seconds_since(std::clock_t t0) {
    return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
}

// Writes n bytes or ends the benchmark.
inline void put(FILE* f, const void* p, std::size_t n) {
    if (std::fwrite(p, 1, n, f) != n) {
        std::fprintf(stderr, "write failed\n");
        std::exit(1);
    }
}

// Writes one 32-bit integer.
inline void put_i32(FILE* f, std::int32_t v) { put(f, &v, 4); }

// Writes a variable name as a 13-byte name slot.
inline void put_name(FILE* f, const char* name) {
    const NameSlot s = make_variable_name(name);
    put(f, s.text, 13);
}

// Opens a synthetic MDM file and writes its opening: magic, version and the
// counts (p1 level-1 and p2 level-2 variables, J units of n records each).
inline FILE* start_mdm_file(const std::string& path, int p1, int p2, int J, int n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    put(f, "SSARB2", 6);
    const float version = 6.02f;
    put(f, &version, 4);
    for (int v : {p1, p2, J * n, J, 0, 1, 0, -2, n}) put_i32(f, v);
    return f;
}

// Writes one unit's group block: its record count, the variables' means and
// the n x nv records (row order).
inline void put_unit(FILE* f, int n, int nv, const std::vector<double>& block) {
    std::vector<double> means(nv, 0.0);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < nv; ++k) means[k] += block[static_cast<std::size_t>(i) * nv + k];
    for (double& m : means) m /= n;
    put_i32(f, n);
    put(f, means.data(), sizeof(double) * nv);
    put(f, block.data(), sizeof(double) * static_cast<std::size_t>(n) * nv);
}
