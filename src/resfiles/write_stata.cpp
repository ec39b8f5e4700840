// Stata residual files: format 110, little-endian, doubles throughout except
// a character ID (str12) and the record count NJ (long).
#include <cmath>
#include <cstdint>
#include <cstring>

#include "resfiles/resfiles_internal.h"

namespace resfiles_detail {

namespace {

constexpr unsigned char TYPE_STR12 = 139;
constexpr unsigned char TYPE_DOUBLE = 100;
constexpr unsigned char TYPE_LONG = 108;
constexpr std::size_t NAME_FIELD = 33;
// Offset of the observation count in the file header.
constexpr long OBSERVATIONS_OFFSET = 6;

void put_f64(std::string& b, double v) {
    b.append(reinterpret_cast<const char*>(&v), 8);
}

void put_name(std::string& b, const std::string& name) {
    std::string t = name.substr(0, NAME_FIELD - 1);
    t.resize(NAME_FIELD, '\0');
    b += t;
}

std::int32_t clamp_i32(long v) {
    return v < 0 ? 0 : (v > 0x7fffffffL ? 0x7fffffff : static_cast<std::int32_t>(v));
}

}  // namespace

void stata_header(FILE* f, const ResidualLayout& L) {
    const std::size_t nvar = L.columns.size() + 1;
    std::string b;
    b += static_cast<char>(110);
    b += static_cast<char>(2);
    b += static_cast<char>(1);
    b += static_cast<char>(0);
    const std::int16_t nv = static_cast<std::int16_t>(nvar > 32767 ? 32767 : nvar);
    b.append(reinterpret_cast<const char*>(&nv), 2);
    const std::int32_t nobs = clamp_i32(L.numRows);
    b.append(reinterpret_cast<const char*>(&nobs), 4);
    b.append(81 + 18, '\0');

    b += static_cast<char>(L.charIds ? TYPE_STR12 : TYPE_DOUBLE);
    for (const ResidualColumn& c : L.columns)
        b += static_cast<char>(c.kind == ResidualColumnKind::Count ? TYPE_LONG : TYPE_DOUBLE);
    put_name(b, residual_id_name(L.type, L.level));
    for (const ResidualColumn& c : L.columns) put_name(b, residual_column_name(L.type, c));
    // Empty sort list, display formats and value-label names; empty variable
    // labels; no expansion fields.
    b.append(47 * nvar + 2, '\0');
    b.append(81 * nvar + 5, '\0');
    put_bytes(f, b.data(), b.size());
}

void stata_row(FILE* f, const ResidualLayout& L, const ResidualRow& row) {
    const double missing = std::ldexp(1.0, 1023);
    std::string b;
    if (L.charIds) b.append(row.charId.text, 12);
    else put_f64(b, row.numId);
    for (std::size_t i = 0; i < L.columns.size(); ++i) {
        const double v = i < row.values.size() ? row.values[i] : RESID_MISSING;
        if (L.columns[i].kind == ResidualColumnKind::Count) {
            const std::int32_t n = static_cast<std::int32_t>(count_value(v));
            b.append(reinterpret_cast<const char*>(&n), 4);
        } else {
            put_f64(b, residual_cell_missing(v) ? missing : v);
        }
    }
    put_bytes(f, b.data(), b.size());
}

void stata_patch_observations(FILE* f, long observations) {
    const long here = std::ftell(f);
    const std::int32_t n = clamp_i32(observations);
    if (here < 0 || std::fseek(f, OBSERVATIONS_OFFSET, SEEK_SET) != 0) fatal_exit(5);
    put_bytes(f, &n, 4);
    if (std::fseek(f, here, SEEK_SET) != 0) fatal_exit(5);
}

}  // namespace resfiles_detail
