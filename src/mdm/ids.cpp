// Group IDs and name slots: comparison, printing and normalisation.
#include <cstring>

#include "mdm/mdm_internal.h"

int compare_ids(const RecordId& a, const RecordId& b, bool numeric) {
    if (numeric) return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    return std::memcmp(a.text.text, b.text.text, 12);
}

std::string id_text(const RecordId& id, bool numeric) {
    if (numeric) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%12.0lf", id.number);
        return buf;
    }
    return std::string(id.text.text, strnlen(id.text.text, 12));
}

NameSlot blank_filled_slot(const char* text) {
    NameSlot s;
    std::memset(s.text, ' ', 12);
    s.text[12] = '\0';
    std::size_t n = strnlen(text, 12);
    std::memcpy(s.text, text, n);
    return s;
}

NameSlot normalised_slot(const char* text, std::size_t length, int width) {
    // The normaliser looks at 12 positions: hand it a full, NUL-padded field.
    char field[13] = {0};
    std::size_t n = length < 12 ? length : 12;
    std::memcpy(field, text, n);
    NameSlot s;
    normalise_name_slot(field, width, s);
    return s;
}
