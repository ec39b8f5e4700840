// Name slots: the normalised form of variable names and character group IDs.
#include <cctype>
#include <cstring>

#include "app/base.h"

const char* const MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void normalise_name_slot(const char* field, int width, NameSlot& slot) {
    if (width < 1) width = 1;
    if (width > 12) width = 12;
    // Only the first `width` characters are read, and none after a NUL, so a
    // fixed-width field without a terminator is safe to pass.
    bool ended = (field == nullptr);
    for (int i = 0; i < 12; ++i) {
        char c = ' ';
        if (i < width && !ended) {
            if (field[i] == '\0') {
                ended = true;
            } else {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(field[i])));
            }
        }
        slot.text[i] = c;
    }
    slot.text[12] = '\0';

    bool allBlank = true;
    for (int i = 0; i < 12; ++i) {
        if (slot.text[i] != ' ') allBlank = false;
    }
    if (allBlank) return;
    // Right-justify within the width; terminates because some character is not blank.
    while (slot.text[width - 1] == ' ') {
        std::memmove(slot.text + 1, slot.text, static_cast<std::size_t>(width - 1));
        slot.text[0] = ' ';
    }
}

NameSlot make_variable_name(const char* name) {
    NameSlot slot;
    normalise_name_slot(name, 8, slot);
    return slot;
}
