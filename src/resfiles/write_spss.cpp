// SPSS residual files: an uncompressed little-endian system file whose numeric
// variables declare MISSING_VALUE as their one missing value.
#include <cstdint>
#include <cstring>

#include "resfiles/resfiles_internal.h"

namespace resfiles_detail {

namespace {

// Print/write formats packed as type << 16 | width << 8 | decimals.
constexpr std::int32_t FORMAT_A12 = 0x010C00;
constexpr std::int32_t FORMAT_F8_0 = 0x050800;
constexpr std::int32_t FORMAT_F12_3 = 0x050C03;
// Offset of the case count in the file header.
constexpr long CASES_OFFSET = 80;

void put_i32(std::string& b, std::int32_t v) {
    b.append(reinterpret_cast<const char*>(&v), 4);
}

void put_f64(std::string& b, double v) {
    b.append(reinterpret_cast<const char*>(&v), 8);
}

// A text field of exactly n bytes, blank-padded or cut.
void put_padded(std::string& b, const std::string& text, std::size_t n) {
    std::string t = text.substr(0, n);
    t.resize(n, ' ');
    b += t;
}

void variable_record(std::string& b, std::int32_t type, bool missing, std::int32_t format, const std::string& name) {
    put_i32(b, 2);
    put_i32(b, type);
    put_i32(b, 0);
    put_i32(b, missing ? 1 : 0);
    put_i32(b, format);
    put_i32(b, format);
    put_padded(b, name, 8);
    if (missing) put_f64(b, MISSING_VALUE);
}

std::int32_t clamp_i32(long v) {
    return v < 0 ? 0 : (v > 0x7fffffffL ? 0x7fffffff : static_cast<std::int32_t>(v));
}

}  // namespace

void spss_header(FILE* f, const ResidualLayout& L) {
    std::string b;
    std::string product;
    appendf(product, "$FL2@(#) SPSS DATA FILE from %s version %.2lf", PROGRAM_NAME, static_cast<double>(L.mdmVersion));
    put_padded(b, product, 64);
    put_i32(b, 2);
    put_i32(b, clamp_i32(static_cast<long>(L.columns.size()) + 1 + (L.charIds ? 1 : 0)));
    put_i32(b, 0);
    put_i32(b, 0);
    put_i32(b, clamp_i32(L.numRows));
    put_f64(b, 100.0);
    const std::tm& t = L.created;
    const int month = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
    std::string stamp;
    appendf(stamp, "%2d %3s %02d", t.tm_mday % 100, MONTH_NAMES[month], ((t.tm_year % 100) + 100) % 100);
    put_padded(b, stamp, 9);
    stamp.clear();
    appendf(stamp, "%2d:%2d:%2d", t.tm_hour % 100, t.tm_min % 100, t.tm_sec % 100);
    put_padded(b, stamp, 8);
    put_padded(b, "", 64 + 3);

    const std::string idName = residual_id_name(L.type, L.level);
    if (L.charIds) {
        variable_record(b, 12, false, FORMAT_A12, idName);
        variable_record(b, -1, false, 0, "");
    } else {
        variable_record(b, 0, false, FORMAT_F8_0, idName);
    }
    for (const ResidualColumn& c : L.columns)
        variable_record(b, 0, true, c.kind == ResidualColumnKind::Count ? FORMAT_F8_0 : FORMAT_F12_3,
                        residual_column_name(L.type, c));
    put_i32(b, 999);
    put_i32(b, 0);
    put_bytes(f, b.data(), b.size());
}

void spss_row(FILE* f, const ResidualLayout& L, const ResidualRow& row) {
    std::string b;
    if (L.charIds) put_padded(b, trimmed_name(row.charId, 12), 16);
    else put_f64(b, row.numId);
    for (std::size_t i = 0; i < L.columns.size(); ++i) {
        const double v = i < row.values.size() ? row.values[i] : RESID_MISSING;
        put_f64(b, residual_cell_missing(v) ? MISSING_VALUE : v);
    }
    put_bytes(f, b.data(), b.size());
}

void spss_patch_cases(FILE* f, long cases) {
    const long here = std::ftell(f);
    const std::int32_t n = clamp_i32(cases);
    if (here < 0 || std::fseek(f, CASES_OFFSET, SEEK_SET) != 0) fatal_exit(5);
    put_bytes(f, &n, 4);
    if (std::fseek(f, here, SEEK_SET) != 0) fatal_exit(5);
}

}  // namespace resfiles_detail
