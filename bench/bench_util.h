// Helpers the benchmarks share: process CPU time and the raw writes that lay
// down a synthetic MDM file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

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
