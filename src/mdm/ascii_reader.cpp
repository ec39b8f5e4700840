// Fixed-format ASCII reader: format check, item parser and record reader.
//
// Decisions where the format language leaves room:
// - a numeric field of blanks only (or cut short by the line end) is missing,
//   and so is a field that the end of the file cuts short;
// - a last line without a line end is an ordinary record;
// - wholly blank lines between records are skipped;
// - values the format never reaches are missing;
// - fields never cross a line end: a short line reads as blanks past its end.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mdm/mdm_internal.h"

namespace {

// Digits beyond this are absurd in a format and would overflow.
constexpr int FORMAT_NUMBER_CAP = 100000000;
// A line longer than this is cut; no sensible record comes near it.
constexpr std::size_t MAX_LINE = 16u << 20;

int add_digit(int n, char c) {
    long v = static_cast<long>(n) * 10 + (c - '0');
    return v > FORMAT_NUMBER_CAP ? FORMAT_NUMBER_CAP : static_cast<int>(v);
}

// The line the record reader is working on.
struct Cursor {
    const char* text = nullptr;
    std::size_t length = 0;
    std::size_t pos = 0;

    // Up to `width` characters from the current position, never past the line end.
    std::size_t take(std::size_t width, const char*& out) {
        std::size_t avail = length - pos;
        std::size_t n = width < avail ? width : avail;
        out = text + pos;
        pos += n;
        return n;
    }
};

bool is_blank_line(const char* t, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (t[i] != ' ' && t[i] != '\t') return false;
    return true;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Plain decimals ([sign]digits[.digits], blanks around) whose digits fit in 2^53
// and whose scale is at most 10^22 convert exactly as one division of two exact
// doubles, giving the same correctly rounded value strtod gives, much faster.
bool fast_decimal(const char* p, std::size_t n, double& value) {
    static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::size_t i = 0;
    while (i < n && is_space(p[i])) ++i;
    bool negative = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
    std::uint64_t mantissa = 0;
    int digits = 0, scale = 0;
    bool point = false;
    for (; i < n; ++i) {
        char c = p[i];
        if (c >= '0' && c <= '9') {
            if (digits >= 19) return false;
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            if (mantissa != 0) ++digits;
            if (point) ++scale;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    std::size_t end = i;
    while (i < n && is_space(p[i])) ++i;
    if (i != n || scale > 22 || mantissa > (std::uint64_t{1} << 53)) return false;
    // At least one digit must have been seen.
    bool sawDigit = false;
    for (std::size_t k = 0; k < end; ++k)
        if (p[k] >= '0' && p[k] <= '9') sawDigit = true;
    if (!sawDigit) return false;
    double v = static_cast<double>(mantissa) / kPow10[scale];
    value = negative ? -v : v;
    return true;
}

// Converts a numeric field; false when the text does not begin with a number.
// `missing` is set for a field of blanks only.
bool convert_field(const char* field, std::size_t n, double& value, bool& missing) {
    missing = false;
    if (std::memchr(field, '\0', n) == nullptr && fast_decimal(field, n, value)) return true;
    char small[64];
    std::string big;
    char* buf = small;
    if (n + 1 > sizeof small) {
        big.assign(n + 1, '\0');
        buf = big.data();
    }
    std::memcpy(buf, field, n);
    buf[n] = '\0';
    char* end = nullptr;
    value = std::strtod(buf, &end);
    if (end != buf) return true;
    for (const char* c = buf; *c; ++c)
        if (!std::isspace(static_cast<unsigned char>(*c))) return false;
    missing = true;
    value = MISSING_VALUE;
    return true;
}

}  // namespace

int check_format(const char* format) {
    std::size_t n = std::strlen(format);
    if (n == 0 || format[0] != '(') {
        std::printf(" First character of format must be (\n");
        return 0;
    }
    if (n < 2 || format[n - 1] != ')') {
        std::printf(" Last character of format must be )\n");
        return 0;
    }
    for (std::size_t i = 1; i + 1 < n; ++i) {
        char c = format[i];
        if (c == '(' || c == ')') {
            std::printf(" Sorry, no nesting of format allowed. Please expand the format.\n");
            return 0;
        }
        if (c == '/' && !(format[i - 1] == ',' && format[i + 1] == ',')) {
            std::printf(" Slashes must be surrounded by ,");
            return 0;
        }
    }
    return 1;
}

FormatItem parse_format_item(const char* p) {
    FormatItem it;
    it.repeat = 0;
    it.width = 0;
    it.kind = FMT_NONE;
    bool letterSeen = false;
    const char* c = p;
    for (; *c; ++c) {
        char ch = *c;
        if (ch == ',' || ch == ')') {
            ++c;
            break;
        }
        if (ch == '.') {
            if (it.kind == FMT_F || it.kind == FMT_E || it.kind == FMT_G) {
                // Decimal places are ignored: skip to the end of the item.
                while (*c && *c != ',' && *c != ')') ++c;
                if (*c) ++c;
                break;
            }
            continue;
        }
        if (ch == '/') {
            it.kind = FMT_SLASH;
        } else if (ch >= '0' && ch <= '9') {
            if (letterSeen)
                it.width = add_digit(it.width, ch);
            else
                it.repeat = add_digit(it.repeat, ch);
        } else if (std::isalpha(static_cast<unsigned char>(ch))) {
            char up = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            if (letterSeen) std::printf("Something wrong. 2 format codes\n");
            letterSeen = true;
            switch (up) {
                case 'A': it.kind = FMT_A; break;
                case 'F': it.kind = FMT_F; break;
                case 'E': it.kind = FMT_E; break;
                case 'G': it.kind = FMT_G; break;
                case 'X': it.kind = FMT_X; break;
                default: std::printf(" Unusable format type: %c\n", up); break;
            }
        }
    }
    if (it.repeat == 0) it.repeat = 1;
    if (it.width == 0) it.width = 1;
    it.length = static_cast<int>(c - p);
    return it;
}

bool next_text_line(RawSource& s, const char*& text, std::size_t& length) {
    if (s.inBuf.empty()) s.inBuf.resize(1u << 16);
    for (;;) {
        std::size_t scanFrom = s.inPos;
        for (;;) {
            char* base = s.inBuf.data();
            const void* nl = std::memchr(base + scanFrom, '\n', s.inEnd - scanFrom);
            if (nl != nullptr || (s.inEof && s.inPos < s.inEnd) ||
                (s.inEnd - s.inPos >= MAX_LINE)) {
                std::size_t len;
                if (nl != nullptr)
                    len = static_cast<std::size_t>(static_cast<const char*>(nl) - (base + s.inPos));
                else
                    len = s.inEnd - s.inPos;
                const char* start = base + s.inPos;
                s.inPos += len + (nl != nullptr ? 1 : 0);
                bool discarding = s.inDiscard;
                // An overlong line: keep its head, drop the rest up to its line end.
                s.inDiscard = (nl == nullptr && !s.inEof);
                if (discarding) break;  // tail of an overlong line: not a line of its own
                s.lineUnended = nl == nullptr && s.inEof;
                if (len > 0 && start[len - 1] == '\r') --len;
                text = start;
                length = len;
                ++s.lineNumber;
                return true;
            }
            if (s.inEof) return false;
            if (s.inPos > 0) {
                std::memmove(base, base + s.inPos, s.inEnd - s.inPos);
                s.inEnd -= s.inPos;
                s.inPos = 0;
            }
            scanFrom = s.inEnd;
            if (s.inEnd == s.inBuf.size()) s.inBuf.resize(s.inBuf.size() * 2);
            std::size_t got =
                s.file ? std::fread(s.inBuf.data() + s.inEnd, 1, s.inBuf.size() - s.inEnd, s.file.get()) : 0;
            s.inEnd += got;
            if (got == 0) s.inEof = true;
        }
    }
}

int ascii_next_record(RawSource& s, RecordId& id, double* values) {
    Cursor line;
    // Wholly blank lines between records carry nothing: skip them.
    do {
        if (!next_text_line(s, line.text, line.length)) return RECORD_END;
    } while (is_blank_line(line.text, line.length));

    std::memset(id.text.text, ' ', 12);
    id.text.text[12] = '\0';
    id.number = 0.0;
    s.missingLine = 0;
    int fieldsLeft = s.fieldCount + 1;
    int idsLeft = 1;
    int next = 0;
    const char* format = s.format.c_str();
    std::size_t at = 0;
    while (format[at] != '\0' && fieldsLeft > 0) {
        FormatItem it = parse_format_item(format + at);
        switch (it.kind) {
            case FMT_X: {
                // Repeated skips are one skip of their total width.
                const char* ignored;
                line.take(static_cast<std::size_t>(it.repeat) * static_cast<std::size_t>(it.width), ignored);
                break;
            }
            case FMT_NONE:
                std::printf("problem with format\n%s\n", format);
                break;
            case FMT_SLASH:
                for (int r = 0; r < it.repeat && fieldsLeft > 0; ++r) {
                    if (!next_text_line(s, line.text, line.length)) return RECORD_END;
                    line.pos = 0;
                }
                break;
            case FMT_A:
                for (int r = 0; r < it.repeat && fieldsLeft > 0; ++r) {
                    if (it.width > 12) {
                        std::printf("id must be 12 or fewer characters\n");
                        std::fflush(stdout);
                        fatal_exit(0);
                    }
                    if (idsLeft <= 0) {
                        std::printf("\nThere should only be %d ID field specified!\n", 1);
                        std::fflush(stdout);
                        fatal_exit(0);
                    }
                    char buf[13];
                    std::memset(buf, ' ', 12);
                    buf[12] = '\0';
                    const char* field;
                    std::size_t n = line.take(static_cast<std::size_t>(it.width), field);
                    std::memcpy(buf, field, n);
                    id.text = normalised_slot(buf, 12, 12);
                    --fieldsLeft;
                    --idsLeft;
                }
                break;
            default:  // F, E, G
                for (int r = 0; r < it.repeat && fieldsLeft > 0; ++r) {
                    const char* field;
                    std::size_t n = line.take(static_cast<std::size_t>(it.width), field);
                    double v;
                    bool missing;
                    if (!convert_field(field, n, v, missing)) {
                        std::printf("\n\nData do not match format at %s\n", format + at);
                        std::fflush(stdout);
                        fatal_exit(0);
                    }
                    // A field the end of the file cuts short is what is left of a
                    // cut file, not a number: it reads as blank.
                    if (n < static_cast<std::size_t>(it.width) && s.lineUnended) {
                        v = MISSING_VALUE;
                        missing = true;
                    }
                    if (missing && s.missingLine == 0) s.missingLine = s.lineNumber;
                    // A format without an A field reads one number more than there are variables.
                    if (next < s.fieldCount) values[next] = v;
                    ++next;
                    --fieldsLeft;
                }
                break;
        }
        at += static_cast<std::size_t>(it.length);
    }
    if (next < s.fieldCount && s.missingLine == 0) s.missingLine = s.lineNumber;
    for (int i = next; i < s.fieldCount; ++i) values[i] = MISSING_VALUE;
    return RECORD_READ;
}
