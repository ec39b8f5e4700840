// Console dialogue primitives and the small shared services every part uses.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "app/base.h"

namespace {

// No block of this program comes near this size; a request beyond it comes
// from a corrupt count and is treated as exhaustion rather than attempted.
constexpr std::size_t MAX_BLOCK = std::size_t{1} << 40;

// A question gets ten reads; the tenth ends the run whatever it held.
constexpr int MAX_READS = 9;

// Counts one read and ends the run once the question has used up its reads.
void count_read(int& reads) {
    ++reads;
    if (reads > MAX_READS) {
        std::printf("Unable to get a proper response!\n");
        fatal_exit(0);
    }
}

// Decimal value of an answer the way atoi reads it, clamped to int instead of overflowing.
int parse_int_answer(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = (s[i] == '-');
        ++i;
    }
    long long value = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (s[i] - '0');
        ++i;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

bool read_answer_line(std::string& line) {
    line.clear();
    std::fflush(stdout);
    int c = std::getchar();
    if (c == EOF) return false;
    while (c != EOF && c != '\n') {
        line.push_back(static_cast<char>(c));
        c = std::getchar();
    }
    // Response files written on other systems end their lines with CR LF.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

namespace {

// Asks `prompt` until `take` accepts the answer line into `value`, within the reads allowed.
template <typename T, typename Take>
T ask_until(const char* prompt, Take take) {
    int reads = 0;
    std::string answer;
    T value{};
    for (;;) {
        std::printf("%s ", prompt);
        read_answer_line(answer);
        count_read(reads);
        if (take(answer, value)) return value;
    }
}

}  // namespace

int ask_yes_no(const char* prompt) {
    return ask_until<int>(prompt, [](const std::string& answer, int& value) {
        if (answer.empty()) return false;
        const char c = answer[0];
        value = c == 'y' || c == 'Y' ? 1 : 0;
        return c == 'y' || c == 'Y' || c == 'n' || c == 'N';
    });
}

int ask_int(int minimum, int maximum, const char* prompt) {
    return ask_until<int>(prompt, [&](const std::string& answer, int& value) {
        value = parse_int_answer(answer);
        return value >= minimum && value <= maximum;
    });
}

double ask_real(double minimum, double maximum, const char* prompt) {
    return ask_until<double>(prompt, [&](const std::string& answer, double& value) {
        value = std::strtod(answer.c_str(), nullptr);
        // A NaN is neither below nor above any bound; it is never a usable answer.
        return !std::isnan(value) && !(value < minimum) && !(value > maximum);
    });
}

void pause_for_return() {
    std::printf("Hit return to continue ");
    std::fflush(stdout);
    std::getchar();
}

void section_heading(const char* text) {
    int length = static_cast<int>(std::strlen(text));
    int blanks = (75 - length) / 2;
    if (blanks < 1) blanks = 1;
    std::printf("\n%*s%s\n", blanks, "", text);
}

void show_choices(int n, const NameSlot* names, int excluded, const char* heading) {
    std::printf("\n%s\n The choices are: \n", heading);
    bool stoppedAtExcluded = false;
    for (int i = 1; i <= n; ++i) {
        if (i == excluded) {
            if (i == n) {
                stoppedAtExcluded = true;
                break;
            }
            // Keeps the columns aligned: an entry is 25 characters wide.
            std::printf("%25s", "");
        } else {
            std::printf(" For %8.8s enter %2d   ", names[i].text, i);
        }
        if (i % 3 == 0) std::printf("\n");
    }
    int k = stoppedAtExcluded ? n : n + 1;
    if (k % 3 != 0) std::printf("\n");
    std::printf("\n");
}

bool file_exists(const char* path) {
    struct stat st;
    return path != nullptr && path[0] != '\0' && stat(path, &st) == 0;
}

FILE* open_or_die(const char* path, const char* mode) {
    FILE* f = std::fopen(path, mode);
    if (f != nullptr) return f;
    int err = errno;
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", std::strerror(err));
    std::printf("Unable to open %s for ", path);
    if (mode[0] == 'r') {
        std::printf("reading\n");
    } else if (mode[0] == 'w' || mode[0] == 'a') {
        std::printf("writing\n");
    }
    fatal_exit(0);
}

void* alloc_or_die(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (bytes > MAX_BLOCK) fatal_exit(3);
    void* block = std::calloc(1, bytes);
    if (block == nullptr) fatal_exit(3);
    return block;
}

void* realloc_or_die(void* block, std::size_t bytes) {
    if (bytes == 0) {
        std::free(block);
        return nullptr;
    }
    if (bytes > MAX_BLOCK) fatal_exit(3);
    void* grown = std::realloc(block, bytes);
    if (grown == nullptr) fatal_exit(3);
    return grown;
}

void release(void* block) { std::free(block); }

int find_name(const NameSlot* table, int last, const char* name) {
    NameSlot wanted = make_variable_name(name);
    for (int i = 0; i <= last; ++i) {
        if (std::strncmp(table[i].text, wanted.text, 8) == 0) return i;
    }
    return -1;
}

void report_newline(FILE* stream) { std::fputc('\n', stream); }

void report_rule(FILE* stream, int n) {
    std::fputc(' ', stream);
    for (int i = 0; i < n; ++i) std::fputc('-', stream);
    std::fputc('\n', stream);
}

void wait_seconds(int n) {
    std::clock_t start = std::clock();
    if (start == static_cast<std::clock_t>(-1)) return;  // no process clock: nothing to wait on
    while (static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC <= n) {
    }
}
