// Scratch-file store: anonymous binary files of raw doubles that hold the
// per-unit matrices between passes over the level-2 units.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"

namespace {

constexpr int MAX_SCRATCH = 50;

struct ScratchSlot {
    FILE* stream = nullptr;
    std::string name;
    bool inUse = false;
};

ScratchSlot g_slots[MAX_SCRATCH];

}  // namespace

FILE* open_scratch() {
    int free_slot = -1;
    for (int i = 0; i < MAX_SCRATCH; ++i) {
        if (!g_slots[i].inUse) {
            free_slot = i;
            break;
        }
    }
    if (free_slot < 0) {
        std::printf("Cannot open any more scratch files!\n");
        fatal_exit(0);
    }

    std::string pattern = temp_directory() + "/arb2XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    FILE* f = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (f == nullptr) {
        std::perror("tmpfile");
        if (fd >= 0) {
            close(fd);
            unlink(buf.data());
        }
        fatal_exit(6);
    }
    // The name is dropped from the directory at once: the open stream keeps the
    // data, and no scratch file can outlive the process however it ends.
    unlink(buf.data());

    // Every end of the run closes what is still open.
    exit_state().closeScratch = close_all_scratch;
    ScratchSlot& slot = g_slots[free_slot];
    slot.stream = f;
    slot.name = buf.data();
    slot.inUse = true;
    return f;
}

void close_scratch(FILE* f) {
    if (f == nullptr) return;
    std::fclose(f);
    for (ScratchSlot& slot : g_slots) {
        if (slot.inUse && slot.stream == f) {
            slot = ScratchSlot{};
            break;
        }
    }
}

void close_all_scratch() {
    for (ScratchSlot& slot : g_slots) {
        if (slot.stream != nullptr) std::fclose(slot.stream);
        slot = ScratchSlot{};
    }
}

void write_vector(const void* buffer, std::size_t bytes, FILE* f) {
    if (bytes == 0) return;
    if (std::fwrite(buffer, 1, bytes, f) != bytes) fatal_exit(5);
}

int read_vector(void* buffer, std::size_t bytes, FILE* f) {
    if (bytes == 0) return 1;
    return std::fread(buffer, 1, bytes, f) == bytes ? 1 : 0;
}

void dwritemat(int n, const double* matrix, double* work, FILE* f, int ld) {
    if (n <= 0) return;
    std::size_t k = 0;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) work[k++] = matrix[static_cast<std::size_t>(i) * ld + j];
    }
    write_vector(work, k * sizeof(double), f);
}

int dreadmat(int n, double* work, double* matrix, FILE* f, int ld) {
    if (n <= 0) return 0;
    std::size_t count = static_cast<std::size_t>(n) * (n + 1) / 2;
    if (std::fread(work, sizeof(double), count, f) != count) {
        std::printf("bad dreadmat");
    }
    std::size_t k = 0;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            double v = work[k++];
            matrix[static_cast<std::size_t>(i) * ld + j] = v;
            matrix[static_cast<std::size_t>(j) * ld + i] = v;
        }
    }
    return n;
}
