// Console questions, layouts and name slots as the user sees them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "app_test_support.h"

namespace {

using namespace apptest;

// Each question asks again until an answer fits, printing its prompt each time.
TEST(Questions, AcceptWithinBoundsAndAskAgain) {
    const struct {
        const char* input;
        double (*ask)();
        double expected;
        std::string prompts;
    } cases[] = {
        {"7\n3x\n", [] { return (double)ask_int(1, 6, "Pick"); }, 3, "Pick Pick "},  // trailing junk ignored
        {"x\n4\n", [] { return (double)ask_int(1, 6, "Pick"); }, 4, "Pick Pick "},    // no digits reads as 0
        {"\n", [] { return (double)ask_int(0, 5, "Pick"); }, 0, "Pick "},
        {"   -2\n", [] { return (double)ask_int(-5, 5, "Pick"); }, -2, "Pick "},
        {"99999999999999\n2\n", [] { return (double)ask_int(1, 6, "Pick"); }, 2, "Pick Pick "},  // no wrap
        {"1\r\n", [] { return (double)ask_int(1, 6, "Pick"); }, 1, "Pick "},  // CR LF response files
        {"Yes please\n", [] { return (double)ask_yes_no("Go?"); }, 1, "Go? "},
        {"nope\n", [] { return (double)ask_yes_no("Go?"); }, 0, "Go? "},
        {" yes\nmaybe\n\ny\n", [] { return (double)ask_yes_no("Go?"); }, 1, "Go? Go? Go? Go? "},  // blank first
        {"1e-3\n", [] { return ask_real(0.0, 1.0, "Crit"); }, 1e-3, "Crit "},
        {"abc\n", [] { return ask_real(0.0, 1.0, "Crit"); }, 0.0, "Crit "},  // no number reads as 0.0
        {"abc\n0.5\n", [] { return ask_real(0.1, 1.0, "Crit"); }, 0.5, "Crit Crit "},
        {"1.0\n", [] { return ask_real(0.0, 1.0, "Crit"); }, 1.0, "Crit "},  // bounds are inclusive
        {"nan\n0.2\n", [] { return ask_real(0.0, 1.0, "Crit"); }, 0.2, "Crit Crit "},  // NaN never accepted
    };
    for (const auto& c : cases) {
        feed_stdin(c.input);
        testing::internal::CaptureStdout();
        double v = c.ask();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.prompts) << c.input;
        EXPECT_DOUBLE_EQ(v, c.expected) << c.input;
    }
}

TEST(ReadAnswerLine, WholeLinesOfAnyLength) {
    std::string longLine(10000, 'a');
    feed_stdin(longLine + "\nshort");
    std::string line;
    EXPECT_TRUE(read_answer_line(line));
    EXPECT_EQ(line, longLine);
    EXPECT_TRUE(read_answer_line(line));  // last line without a line end
    EXPECT_EQ(line, "short");
    EXPECT_FALSE(read_answer_line(line));
    EXPECT_EQ(line, "");
}

// The tenth read ends the question, whatever it held.
TEST(AttemptCounterDeathTest, TenthReadEndsTheRun) {
    const struct {
        const char* name;
        std::string input;
        void (*ask)();
    } cases[] = {
        {"yes/no at end of input", "", [] { ask_yes_no("Q?"); }},
        {"int, tenth answer acceptable", repeat("9\n", 9) + "3\n", [] { ask_int(1, 6, "Q"); }},
        {"real out of range", repeat("5\n", 12), [] { ask_real(0.0, 1.0, "Q"); }},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                feed_stdin(c.input);
                c.ask();
                std::exit(99);
            },
            testing::ExitedWithCode(0), "^(Q\\?? ){10}Unable to get a proper response!\n$")
            << c.name;
    }
}

// Headings centred on 75 columns; choice lists in rows of three with an excluded slot.
TEST(ConsoleLayouts, MatchTheGoldenCopy) {
    std::string all;
    testing::internal::CaptureStdout();
    for (int n : {75, 10, 90, 72, 71}) section_heading(std::string(n, 'T').c_str());
    const int choices[][2] = {{4, 2}, {4, 0}, {3, 0}, {3, 3}, {2, 0}, {4, 4}, {1, 1}, {12, 12}};
    for (const auto& [n, excluded] : choices) {
        std::vector<NameSlot> t(n + 1);
        t[0] = make_variable_name("INTRCPT1");
        for (int i = 1; i <= n; ++i) t[i] = make_variable_name(("V" + std::to_string(i)).c_str());
        std::printf("==== %d, excluded %d", n, excluded);
        show_choices(n, t.data(), excluded, "HEAD");
    }
    testsupport::expect_golden("console_layouts.txt", testing::internal::GetCapturedStdout());
}

TEST(NameSlots, NormaliseUpperCasesAndRightJustifies) {
    const struct {
        const char* field;
        int width;
        const char* expected;
    } cases[] = {
        {"random", 8, "  RANDOM    "},
        {"random", 12, "      RANDOM"},
        {"averylongname", 8, "AVERYLON    "},
        {"", 8, "            "},
        {"a b", 8, "     A B    "},
        {"id\0junk", 12, "          ID"},
        {"AbCdEfGhIjKlMnOp", 12, "ABCDEFGHIJKL"},
    };
    for (const auto& c : cases) {
        NameSlot slot;
        std::memset(slot.text, 'Z', sizeof slot.text);
        normalise_name_slot(c.field, c.width, slot);
        EXPECT_STREQ(slot.text, c.expected) << c.field << " width " << c.width;
    }
}

TEST(FindName, MatchesOnEightCharactersWithoutCase) {
    std::vector<NameSlot> t = {make_variable_name("INTRCPT1"), make_variable_name("SES"),
                               make_variable_name("MATHACH"), make_variable_name("SES")};
    const struct {
        const char* name;
        int last, expected;
    } cases[] = {
        {"ses", 3, 1},           {"mathach", 3, 2}, {"mathachievement", 3, -1},
        {"intrcpt1", 3, 0},      {"mathach", 1, -1},    {"", 3, -1},
    };
    for (const auto& c : cases) EXPECT_EQ(find_name(t.data(), c.last, c.name), c.expected) << c.name;
}

TEST(AllocDeathTest, ExhaustionIsMessageThree) {
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            alloc_or_die(static_cast<std::size_t>(-1) / 2);
        },
        testing::ExitedWithCode(3), "^ Out of memory. Please run a smaller problem\n$");
}

}  // namespace
