// MDM file header reader and writers: little-endian, no padding, float32 version.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mdm/mdm_internal.h"

namespace {

// ---- Little-endian encoding ------------------------------------------------

void put_u32(std::string& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_i32(std::string& b, int32_t v) { put_u32(b, static_cast<uint32_t>(v)); }
void put_f32(std::string& b, float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    put_u32(b, u);
}
void put_f64(std::string& b, double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
}
void put_slot(std::string& b, const NameSlot& s) {
    NameSlot t = s;
    t.text[12] = '\0';
    b.append(t.text, 13);
}

uint32_t get_u32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
double get_f64(const unsigned char* p) {
    uint64_t u = 0;
    for (int i = 7; i >= 0; --i) u = (u << 8) | p[i];
    double d;
    std::memcpy(&d, &u, 8);
    return d;
}

// ---- Checked reading -------------------------------------------------------

// Reads exactly n bytes; a short read is a truncated file.
void read_exact(FILE* f, void* into, std::size_t n) {
    if (n == 0) return;
    if (std::fread(into, 1, n, f) != n) fatal_exit(4);
}
int32_t read_i32(FILE* f) {
    unsigned char b[4];
    read_exact(f, b, 4);
    return static_cast<int32_t>(get_u32(b));
}
float read_f32(FILE* f) {
    unsigned char b[4];
    read_exact(f, b, 4);
    uint32_t u = get_u32(b);
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}
void read_doubles(FILE* f, double* into, std::size_t n) {
    std::vector<unsigned char> raw(n * 8);
    read_exact(f, raw.data(), raw.size());
    for (std::size_t i = 0; i < n; ++i) into[i] = get_f64(raw.data() + 8 * i);
}
void read_slots(FILE* f, NameSlot* into, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        read_exact(f, into[i].text, 13);
        into[i].text[12] = '\0';  // a corrupt slot must still print safely
    }
}

[[noreturn]] void not_mdm() {
    std::printf("Not a valid ssm file.\n");
    std::fflush(stdout);
    fatal_exit(0);
}

// Bytes left between the current position and the end of the file.
struct Budget {
    uint64_t left = 0;
    // Takes count * size bytes; a file too short for them is truncated.
    void take(uint64_t count, uint64_t size) {
        if (size != 0 && count > left / size) fatal_exit(4);
        left -= count * size;
    }
};

// Walks the group blocks by their counts (seeking past the values) and ends
// the run with message 4 unless they are exactly what the header says: J
// blocks of at least one record, N records in all, the largest group
// maxGroupSize, and nothing after the last block.
void check_group_blocks(FILE* f, const MdmHeader& h, uint64_t left) {
    const uint64_t perRecord = 8 * static_cast<uint64_t>(h.numL1Vars);
    uint64_t total = 0;
    int largest = 0;
    for (int j = 0; j < h.numGroups; ++j) {
        if (left < 4) fatal_exit(4);
        int32_t count = read_i32(f);
        left -= 4;
        if (count < 1 || (perRecord > 0 && static_cast<uint64_t>(count) + 1 > left / perRecord)) fatal_exit(4);
        const uint64_t bytes = perRecord * (static_cast<uint64_t>(count) + 1);
        if (std::fseek(f, static_cast<long>(bytes), SEEK_CUR) != 0) fatal_exit(4);
        left -= bytes;
        total += static_cast<uint64_t>(count);
        largest = std::max(largest, static_cast<int>(count));
    }
    if (left != 0 || total != static_cast<uint64_t>(h.numL1Records) || largest != h.maxGroupSize) fatal_exit(4);
    if (std::fseek(f, h.dataStart, SEEK_SET) != 0) fatal_exit(4);
}

}  // namespace

void read_mdm_header(FILE* f, MdmHeader& h) {
    h = MdmHeader{};
    if (std::fseek(f, 0, SEEK_END) != 0) fatal_exit(4);
    long size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) fatal_exit(4);
    Budget budget{static_cast<uint64_t>(size)};

    char magic[6];
    if (std::fread(magic, 1, 6, f) != 6 || std::memcmp(magic, MDM_MAGIC, 6) != 0) not_mdm();
    budget.take(1, 6);

    h.version = read_f32(f);
    if (!(h.version >= MDM_OLDEST_VERSION)) {
        std::printf("Sorry, you will have to remake this mdm file.\n");
        std::fflush(stdout);
        fatal_exit(0);
    }
    h.numL1Vars = read_i32(f);
    h.numL2Vars = read_i32(f);
    h.numL1Records = read_i32(f);
    h.numGroups = read_i32(f);
    h.hasMissing = read_i32(f);
    h.deleteNow = read_i32(f);
    budget.take(1, 28);
    if (h.version > MDM_GROWTH_FIELD_VERSION) {
        h.growthModel = read_i32(f);
        budget.take(1, 4);
    }
    int source = read_i32(f);
    h.maxGroupSize = read_i32(f);
    budget.take(1, 8);
    if (source == RAW_VKNOWN) h.isVKnown = true;
    if (source < 0) {
        h.numericIds = true;
        source = (source == INT32_MIN) ? INT32_MAX : -source;
    }
    h.sourceType = source;

    // Counts that cannot be right mean the file is not an MDM file at all.
    if (h.numL1Vars < 0 || h.numL2Vars < 0 || h.numL1Records < 0 || h.numGroups < 0) not_mdm();
    const uint64_t p1 = static_cast<uint64_t>(h.numL1Vars);
    const uint64_t p2 = static_cast<uint64_t>(h.numL2Vars);
    const uint64_t J = static_cast<uint64_t>(h.numGroups);
    const uint64_t N = static_cast<uint64_t>(h.numL1Records);

    budget.take(p1 + 1, 13);
    budget.take(p2 + 1, 13);
    h.l1Names.resize(p1 + 1);
    h.l2Names.resize(p2 + 1);
    read_slots(f, h.l1Names.data(), p1 + 1);
    read_slots(f, h.l2Names.data(), p2 + 1);

    if (h.isVKnown) {
        // Every group record must be present: ID, statistics, packed covariances, level-2 values.
        // p1 is bounded by the name table already read, so this cannot overflow.
        unsigned __int128 perGroup = 13 + 8 * (static_cast<unsigned __int128>(p1) * (p1 + 3) / 2 + p2);
        if (perGroup > budget.left) fatal_exit(4);
        budget.take(J, static_cast<uint64_t>(perGroup));
        h.l2Data.assign(J * p2, 0.0);
        h.charIds.assign(J, NameSlot{});
    } else {
        int32_t nameLength = read_i32(f);
        budget.take(1, 4);
        if (nameLength < 0) not_mdm();
        budget.take(2, static_cast<uint64_t>(nameLength));
        std::vector<char> names(2 * static_cast<std::size_t>(nameLength) + 1, '\0');
        read_exact(f, names.data(), 2 * static_cast<std::size_t>(nameLength));
        h.l1FileName.assign(names.data(), strnlen(names.data(), static_cast<std::size_t>(nameLength)));
        const char* second = names.data() + nameLength;
        h.l2FileName.assign(second, strnlen(second, static_cast<std::size_t>(nameLength)));

        budget.take(p1 + p2, 8);
        budget.take(J, h.numericIds ? 8 : 13);
        budget.take(J, p2 * 8);
        // The group blocks must fit as well: a count and p1 means per group, p1 values per record.
        budget.take(J, 4 + 8 * p1);
        budget.take(N, 8 * p1);
        h.l1Means.resize(p1);
        h.l2Means.resize(p2);
        read_doubles(f, h.l1Means.data(), p1);
        read_doubles(f, h.l2Means.data(), p2);
        if (h.numericIds) {
            h.numIds.resize(J);
            read_doubles(f, h.numIds.data(), J);
        } else {
            h.charIds.resize(J);
            read_slots(f, h.charIds.data(), J);
        }
        h.l2Data.resize(J * p2);
        read_doubles(f, h.l2Data.data(), J * p2);
    }
    h.dataStart = std::ftell(f);
    if (h.isVKnown) {
        // The V-known records were counted above; nothing may follow them.
        if (budget.left != 0) fatal_exit(4);
    } else {
        check_group_blocks(f, h, static_cast<uint64_t>(size - h.dataStart));
    }
    if (h.hasMissing == 0) h.deleteNow = 1;
}

void read_group_block(FILE* f, const MdmHeader& h, GroupBlock& b) {
    const std::size_t p1 = static_cast<std::size_t>(h.numL1Vars);
    int32_t count = read_i32(f);
    if (count < 1 || count > h.maxGroupSize) fatal_exit(4);
    b.count = count;
    b.means.resize(p1);
    read_doubles(f, b.means.data(), p1);
    b.records.resize(static_cast<std::size_t>(count) * p1);
    read_doubles(f, b.records.data(), b.records.size());
}

void read_vknown_record(FILE* f, const MdmHeader& h, VKnownRecord& r) {
    const std::size_t p1 = static_cast<std::size_t>(h.numL1Vars);
    const std::size_t p2 = static_cast<std::size_t>(h.numL2Vars);
    read_slots(f, &r.id, 1);
    r.stats.resize(p1);
    r.covariance.resize(p1 * (p1 + 1) / 2);
    r.l2Values.resize(p2);
    read_doubles(f, r.stats.data(), p1);
    read_doubles(f, r.covariance.data(), r.covariance.size());
    read_doubles(f, r.l2Values.data(), p2);
}

void write_or_die(FILE* f, const void* data, std::size_t bytes) {
    if (bytes != 0 && std::fwrite(data, 1, bytes, f) != bytes) fatal_exit(5);
}

void write_mdm_front(FILE* out, const MdmHeader& h) {
    std::string b;
    b.append(MDM_MAGIC, 6);
    put_f32(b, static_cast<float>(std::strtod(PROGRAM_VERSION, nullptr)));
    put_i32(b, h.numL1Vars);
    put_i32(b, h.numL2Vars);
    put_i32(b, h.numL1Records);
    put_i32(b, h.numGroups);
    put_i32(b, h.hasMissing);
    put_i32(b, h.deleteNow);
    put_i32(b, h.growthModel);
    put_i32(b, h.numericIds ? -h.sourceType : h.sourceType);
    put_i32(b, h.maxGroupSize);
    for (int i = 0; i <= h.numL1Vars; ++i) put_slot(b, h.l1Names[i]);
    for (int i = 0; i <= h.numL2Vars; ++i) put_slot(b, h.l2Names[i]);
    if (!h.isVKnown) {
        put_i32(b, MDM_FILE_NAME_FIELD);
        for (const std::string* name : {&h.l1FileName, &h.l2FileName}) {
            std::string field(MDM_FILE_NAME_FIELD, '\0');
            std::memcpy(field.data(), name->data(), std::min<std::size_t>(name->size(), MDM_FILE_NAME_FIELD - 1));
            b += field;
        }
        for (int i = 0; i < h.numL1Vars; ++i) put_f64(b, h.l1Means[i]);
        for (int i = 0; i < h.numL2Vars; ++i) put_f64(b, h.l2Means[i]);
        for (int j = 0; j < h.numGroups; ++j) {
            if (h.numericIds)
                put_f64(b, h.numIds[j]);
            else
                put_slot(b, h.charIds[j]);
        }
        for (double v : h.l2Data) put_f64(b, v);
    }
    write_or_die(out, b.data(), b.size());
}

void write_group_block(FILE* out, int p1, int count, const double* means, const double* records) {
    std::string b;
    b.reserve(4 + 8 * static_cast<std::size_t>(p1) * (1 + static_cast<std::size_t>(count)));
    put_i32(b, count);
    for (int i = 0; i < p1; ++i) put_f64(b, means[i]);
    std::size_t n = static_cast<std::size_t>(count) * static_cast<std::size_t>(p1);
    for (std::size_t i = 0; i < n; ++i) put_f64(b, records[i]);
    write_or_die(out, b.data(), b.size());
}
