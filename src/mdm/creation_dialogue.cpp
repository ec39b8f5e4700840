// Console dialogues that gather the settings for an ordinary or a V-known MDM file.
#include <cctype>
#include <cstring>

#include "mdm/mdm_internal.h"
#include "mdm/packages.h"

namespace {

constexpr int MAX_TRIES = 10;
constexpr int MAX_EMPTY_NAMES = 25;

// Prints a prompt (no line end) and reads one answer line.
bool prompt_line(const char* prompt, std::string& answer) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    return read_answer_line(answer);
}

// Asks for a file name until an existing file is named; ten reads at most.
// A missing SAS transport file may be made from its SAS data set on request.
std::string ask_existing_file(const char* prompt, bool sas) {
    std::string answer;
    for (int tries = 0; tries < MAX_TRIES; ++tries) {
        prompt_line(prompt, answer);
        if (answer.empty()) continue;
        if (file_exists(answer.c_str())) return answer;
        if (sas && answer.find(".ssp") != std::string::npos && sas_offer_conversion(answer)) return answer;
    }
    fatal_exit(15);
}

// Asks for a format until one passes the check; ten reads at most.
std::string ask_format(const char* prompt) {
    std::string answer;
    for (int tries = 0; tries < MAX_TRIES; ++tries) {
        prompt_line(prompt, answer);
        if (check_format(answer.c_str())) return answer.substr(0, 1023);
    }
    fatal_exit(15);
}

// Asks for the MDM file name until it is not empty; ten reads at most.
std::string ask_mdm_name() {
    std::string answer;
    for (int tries = 0; tries < MAX_TRIES; ++tries) {
        prompt_line("\nEnter name of MDM file:", answer);
        if (!answer.empty()) return answer;
    }
    fatal_exit(15);
}

// Asks one variable name; empty answers ask again (`limit` of them at most,
// or without limit when it is negative, though never past the end of the input).
NameSlot ask_variable_name(int level, int number, int limit) {
    char prompt[128];
    std::snprintf(prompt, sizeof prompt, " Enter 8 character name for level-%d variable number %d: ", level, number);
    std::string answer;
    int empties = 0;
    for (;;) {
        bool got = prompt_line(prompt, answer);
        if (!answer.empty()) break;
        std::printf(" Invalid response. Try again.\n");
        ++empties;
        if (!got || (limit >= 0 && empties > limit)) fatal_exit(15);
    }
    std::size_t n = answer.size() < 8 ? answer.size() : 8;
    return normalised_slot(answer.c_str(), n, 8);
}

std::vector<NameSlot> intercept_table(int level, int count) {
    std::vector<NameSlot> t(static_cast<std::size_t>(count) + 1, blank_filled_slot(""));
    t[0] = blank_filled_slot(level == 1 ? "INTRCPT1" : "INTRCPT2");
    return t;
}

}  // namespace

void creation_dialogue(MdmCreation& c) {
    const bool withinPersons = c.withinPersons;
    for (RawSource& s : c.source) close_raw_source(s);
    c = MdmCreation{};
    c.withinPersons = withinPersons;
    c.isVKnown = false;
    c.hasMissing = 0;
    c.deleteNow = 1;

    std::printf("Enter type of raw data:\n   for ASCII input                 enter 1\n");
    std::printf("   for SYSTAT .SYS file             enter 2\n   for SAS V5 transport file        enter 3\n"
                "   for SPSS file (UNIX or windows)  enter 4\n   for STATA .dta file              enter 5\n");
    static const int typeOfAnswer[] = {0, RAW_ASCII, RAW_SYSTAT, RAW_SAS, RAW_SPSS, RAW_STATA};
    c.rawDataType = typeOfAnswer[ask_int(1, 5, "Type?")];
    const bool ascii = c.rawDataType == RAW_ASCII;

    char prompt[200];
    for (int k = 0; k < 2; ++k) {
        if (ascii) {
            std::snprintf(prompt, sizeof prompt,
                          "\nInput number of level-%1d variables (not including the character ID):", k + 1);
            c.rawVarCount[k] = ask_int(1, 1000, prompt);
            std::snprintf(prompt, sizeof prompt,
                          "Input format of level-%1d file (the ID must be read as character data)\n  format: ", k + 1);
            c.rawFormat[k] = ask_format(prompt);
        }
        std::snprintf(prompt, sizeof prompt, "\nInput name of level-%1d file:", k + 1);
        c.rawFileName[k] = ask_existing_file(prompt, c.rawDataType == RAW_SAS);
    }
    for (int k = 0; k < 2; ++k) {
        open_raw_source(c.source[k], c.rawDataType, k + 1, c.rawFileName[k]);
        if (!ascii) c.rawVarCount[k] = c.source[k].pkg->varCount;
    }
    if (ascii) {
        for (int k = 0; k < 2; ++k) {
            c.names[k] = intercept_table(k + 1, c.rawVarCount[k]);
            c.source[k].format = c.rawFormat[k];
            c.source[k].fieldCount = c.rawVarCount[k];
        }
        for (int k = 0; k < 2; ++k)
            for (int i = 1; i <= c.rawVarCount[k]; ++i)
                c.names[k][static_cast<std::size_t>(i)] = ask_variable_name(k + 1, i, MAX_EMPTY_NAMES);
    } else {
        int numericIds = 0;
        for (int k = 0; k < 2; ++k) {
            c.names[k] = intercept_table(k + 1, 0);
            std::vector<NameSlot> chosen = pkg_select_dialogue(*c.source[k].pkg, numericIds);
            c.names[k].insert(c.names[k].end(), chosen.begin(), chosen.end());
        }
        c.numericIds = numericIds != 0;
    }

    bool same = true;
    if (ask_yes_no("Are there missing data in the level-1 file?")) {
        c.hasMissing = 1;
        if (ascii) {
            const std::size_t p1 = c.names[0].size() - 1;
            if (ask_yes_no("Is the missing value the same for all variables?")) {
                double code = ask_real(-1000000000.0, 1000000000.0, "Enter the number that represents missing data");
                c.missingCodes.assign(p1, code);
            } else {
                same = false;
                for (std::size_t i = 1; i <= p1; ++i) {
                    std::snprintf(prompt, sizeof prompt, "Enter the value for missing data for %8.8s",
                                  c.names[0][i].text);
                    c.missingCodes.push_back(ask_real(-1000000000.0, 1000000000.0, prompt));
                }
            }
        }
        std::string answer;
        for (int tries = 0;; ++tries) {
            if (tries >= MAX_TRIES) fatal_exit(15);
            prompt_line("Do you want to delete the missing data now, or at analysis time?\n"
                        " (Enter \"now\" or \"analysis\")\n",
                        answer);
            char first = answer.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(answer[0])));
            if (first == 'N') {
                c.deleteNow = 1;
                break;
            }
            if (first == 'A') {
                c.deleteNow = 0;
                break;
            }
        }
    }
    c.sameMissing = same;
    c.mdmFileName = ask_mdm_name();
    write_mdm_template(c, same);
}

void vknown_creation_dialogue(MdmCreation& c) {
    for (RawSource& s : c.source) close_raw_source(s);
    c = MdmCreation{};
    c.isVKnown = true;
    c.rawDataType = RAW_ASCII;
    c.vkStats = ask_int(0, 1000, "How many level-1 statistics are there?");
    c.vkPredictors = ask_int(0, 1000, "How many level-2 predictors are there?");
    c.names[0] = intercept_table(1, c.vkStats);
    c.names[1] = intercept_table(2, c.vkPredictors);
    for (int i = 1; i <= c.vkStats; ++i) c.names[0][static_cast<std::size_t>(i)] = ask_variable_name(1, i, -1);
    for (int i = 1; i <= c.vkPredictors; ++i) c.names[1][static_cast<std::size_t>(i)] = ask_variable_name(2, i, -1);

    std::string answer;
    for (;;) {
        bool got = prompt_line(" Input format of raw data file (the first field must be the character ID)\n format:",
                               answer);
        if (check_format(answer.c_str())) break;
        if (!got) fatal_exit(15);  // the input has ended: no format will come
    }
    c.rawFormat[0] = answer.substr(0, 1023);
    for (;;) {
        bool got = prompt_line(" What file contains the data?", answer);
        if (!answer.empty() && file_exists(answer.c_str())) break;
        if (!got) fatal_exit(15);
    }
    c.rawFileName[0] = answer;
    open_raw_source(c.source[0], RAW_ASCII, 1, answer);
    c.source[0].type = RAW_VKNOWN;
    c.source[0].format = c.rawFormat[0];
    const long p1 = c.vkStats;
    c.source[0].fieldCount = static_cast<int>(p1 + p1 * (p1 + 1) / 2 + c.vkPredictors);
    c.mdmFileName = ask_mdm_name();
}
