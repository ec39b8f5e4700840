// Linear model estimation: the scratch-file store, the set-up pass with the
// per-unit OLS fits, starting values, EM iterations and the analysis driver.
#pragma once

#include <cstddef>
#include <cstdio>

#include "app/app.h"

// ---- Scratch-file store -------------------------------------------------------

/// Opens a fresh anonymous scratch file ("w+b") in the first free of 50 slots.
FILE* open_scratch();
/// Closes a scratch file, deletes it and frees its slot.
void close_scratch(FILE* f);
/// Closes and deletes every scratch file (used by the exit routine).
void close_all_scratch();
/// Writes `bytes` bytes as one block; message 5 on a short write.
void write_vector(const void* buffer, std::size_t bytes, FILE* f);
/// Reads one block; 1 on success (also for 0 bytes), 0 on a short read.
int read_vector(void* buffer, std::size_t bytes, FILE* f);
/// Writes the packed lower triangle of an n x n matrix (row stride ld).
void dwritemat(int n, const double* matrix, double* work, FILE* f, int ld);
/// Reads a packed lower triangle into both triangles of an n x n matrix; returns n.
int dreadmat(int n, double* work, double* matrix, FILE* f, int ld);
