// Walking the group blocks of an ordinary MDM file, each read bounded by the
// bytes the file still holds, so a damaged count never makes a big allocation.
#include <cstdint>
#include <cstring>

#include "mdm/mdm.h"

namespace {

// Reads exactly `bytes` bytes within the rest of the file, or ends the run as a short file.
void read_bounded(GroupBlockCursor& c, void* buffer, std::size_t bytes) {
    if (bytes == 0) return;
    if (static_cast<long long>(bytes) > c.remaining || std::fread(buffer, 1, bytes, c.f) != bytes) fatal_exit(4);
    c.remaining -= static_cast<long long>(bytes);
}

}  // namespace

GroupBlockCursor open_group_blocks(FILE* f, const MdmHeader& h) {
    GroupBlockCursor c;
    c.f = f;
    c.p1 = h.numL1Vars;
    if (std::fseek(f, 0L, SEEK_END) != 0) fatal_exit(4);
    c.remaining = static_cast<long long>(std::ftell(f)) - h.dataStart;
    if (std::fseek(f, h.dataStart, SEEK_SET) != 0 || c.remaining < 0) fatal_exit(4);
    return c;
}

int read_next_group_block(GroupBlockCursor& c, std::vector<double>& means, std::vector<double>& records) {
    unsigned char raw[4];
    read_bounded(c, raw, sizeof raw);
    // Stored little-endian whatever the machine.
    const std::int32_t count = static_cast<std::int32_t>(static_cast<std::uint32_t>(raw[0]) |
                                                         static_cast<std::uint32_t>(raw[1]) << 8 |
                                                         static_cast<std::uint32_t>(raw[2]) << 16 |
                                                         static_cast<std::uint32_t>(raw[3]) << 24);
    // Compared by division so that a damaged count cannot overflow the product.
    const long long perRecord = 8LL * c.p1;
    if (count < 0 || (perRecord > 0 && count + 1LL > c.remaining / perRecord)) fatal_exit(4);
    means.resize(c.p1);
    read_bounded(c, means.data(), sizeof(double) * means.size());
    records.resize(static_cast<std::size_t>(count) * c.p1);
    read_bounded(c, records.data(), sizeof(double) * records.size());
    return count;
}
