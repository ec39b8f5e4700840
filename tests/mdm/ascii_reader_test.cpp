// The fixed-format ASCII reader: format check, item parser, record reading
// under a format, and its fatal ends.
#include <random>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

TEST(MdmFormatCheck, AcceptsOrExplains) {
    struct Case {
        const char* format;
        int ok;
        const char* printed;
    };
    const Case cases[] = {
        {"(A12,3F8.2,2X,F4.0)", 1, ""},
        {"(A5,F3,/,F3)", 1, ""},
        {"(A8,I5)", 1, ""},  // letters are not the check's business
        {"A12,F8)", 0, " First character of format must be (\n"},
        {"", 0, " First character of format must be (\n"},
        {"(A12,F8", 0, " Last character of format must be )\n"},
        {"(A12,2(F8.2))", 0, " Sorry, no nesting of format allowed. Please expand the format.\n"},
        {"(A12,F8))", 0, " Sorry, no nesting of format allowed. Please expand the format.\n"},
        {"(A8,F5.2/F5.2)", 0, " Slashes must be surrounded by ,"},
        {"(A8,F5.2,/F5.2)", 0, " Slashes must be surrounded by ,"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        int ok = check_format(c.format);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.format;
        EXPECT_EQ(ok, c.ok) << c.format;
    }
}

TEST(MdmFormatItem, ParsesEachDescriptor) {
    struct Case {
        const char* text;
        int repeat, kind, width, length;
        const char* printed;
    };
    const Case cases[] = {
        {"(A12,", 1, FMT_A, 12, 5, ""},
        {"3F8.2,", 3, FMT_F, 8, 6, ""},
        {"F8.2)", 1, FMT_F, 8, 5, ""},
        {"e12.4,", 1, FMT_E, 12, 6, ""},
        {"G10)", 1, FMT_G, 10, 4, ""},
        {"2X,", 2, FMT_X, 1, 3, ""},
        {"X2,", 1, FMT_X, 2, 3, ""},
        {"/,", 1, FMT_SLASH, 1, 2, ""},
        {" 2 F 6 ,", 2, FMT_F, 6, 8, ""},
        {".5F3,", 5, FMT_F, 3, 5, ""},  // a point before the letter is ignored
        {"F4", 1, FMT_F, 4, 2, ""},     // the text may simply end
        {"I5)", 1, FMT_NONE, 5, 3, " Unusable format type: I\n"},
        {"AF3,", 1, FMT_F, 3, 4, "Something wrong. 2 format codes\n"},
        {"99999999999F1,", 100000000, FMT_F, 1, 14, ""},  // absurd digits are capped
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        FormatItem it = parse_format_item(c.text);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.text;
        EXPECT_EQ(it.repeat, c.repeat) << c.text;
        EXPECT_EQ(it.kind, c.kind) << c.text;
        EXPECT_EQ(it.width, c.width) << c.text;
        EXPECT_EQ(it.length, c.length) << c.text;
    }
}

struct Rec {
    std::string id;  // as stored: right-justified in 12
    std::vector<double> values;
};

// Reads every record of `text` under `format` with `fields` values per record.
std::vector<Rec> read_all(const std::string& format, int fields, const std::string& text, std::string* printed = nullptr) {
    InTempDir d("mdmascii");
    testsupport::write_file("data.txt", text);
    RawSource s;
    open_raw_source(s, RAW_ASCII, 1, "data.txt");
    s.format = format;
    s.fieldCount = fields;
    std::vector<Rec> out;
    RecordId id;
    std::vector<double> v(static_cast<std::size_t>(fields));
    if (printed) testing::internal::CaptureStdout();
    while (read_raw_record(s, id, v.data()) == RECORD_READ) out.push_back({slot_text(id.text), v});
    if (printed) *printed = testing::internal::GetCapturedStdout();
    close_raw_source(s);
    return out;
}

constexpr double M = MISSING_VALUE;

TEST(MdmAsciiReader, ReadsRecordsUnderTheFormat) {
    struct Case {
        const char* what;
        const char* format;
        int fields;
        std::string text;
        std::vector<Rec> expect;
    };
    const Case cases[] = {
        {"columns; decimals in the format are ignored", "(A12,3F8.2)", 3,
         "        1224    1234   -1.5    2e3\n",
         {{right12("1224"), {1234, -1.5, 2000}}}},
        {"one record from two lines", "(A5,F3,/,F3)", 2, "ab12 7  \n 9 rest\nx    1  \n2\n",
         {{right12("AB12"), {7, 9}}, {right12("X"), {1, 2}}}},
        {"ID justified either way", "(A5,F2)", 1, " ab12 1\nAB12  2\n",
         {{right12("AB12"), {1}}, {right12("AB12"), {2}}}},
        {"leading zeros make another ID", "(A4,F2)", 1, "  12 1\n0012 2\n",
         {{right12("12"), {1}}, {right12("0012"), {2}}}},
        {"2X and X2 both skip two columns", "(A2,2X,F2,X2,F2)", 2, "IDxx 1yy 2\n",
         {{right12("ID"), {1, 2}}}},
        {"E and G fields", "(A1,E8.2,G6)", 2, "k1.5E+02 -3e-1\n", {{right12("K"), {150, -0.3}}}},
        {"blank field is missing, short line reads blanks", "(A3,3F4)", 3, "abc   1    \nxyz   2\n",
         {{right12("ABC"), {1, M, M}}, {right12("XYZ"), {2, M, M}}}},
        {"fewer numbers than variables leave the rest missing", "(A3,F4)", 3, "abc   1   2   3\n",
         {{right12("ABC"), {1, M, M}}}},
        {"last line without a line end, CRLF, blank lines between", "(A3,F4)", 1, "abc   1\r\n\n   \ndef   2",
         {{right12("ABC"), {1}}, {right12("DEF"), {2}}}},
        {"a slash at the end of the file drops the part record", "(A3,F2,/,F2)", 2, "abc 1\n 2\ndef 3\n",
         {{right12("ABC"), {1, 2}}}},
        {"empty file", "(A3,F2)", 1, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Rec> got = read_all(c.format, c.fields, c.text);
        ASSERT_EQ(got.size(), c.expect.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, c.expect[i].id);
            EXPECT_EQ(got[i].values, c.expect[i].values);
        }
    }
}

TEST(MdmAsciiReader, UnusableLetterReadsNothingAndSaysSoEachRecord) {
    std::string printed;
    std::vector<Rec> got = read_all("(A8,I5,F3)", 1, "      ab  1\n      cd  2\n", &printed);
    // A prefix that still converts is taken as the number, as a scan would.
    EXPECT_EQ(read_all("(A3,F4)", 1, "abc 1-2\n")[0].values, std::vector<double>{1});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].values, std::vector<double>{1});  // the F3 field follows directly after the ID
    EXPECT_EQ(got[1].id, right12("CD"));
    const std::string once = " Unusable format type: I\nproblem with format\n(A8,I5,F3)\n";
    EXPECT_EQ(printed, once + once);
}

TEST(MdmAsciiReader, FatalEnds) {
    struct Case {
        const char* format;
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"(A13,F2)", "1234567890123 1\n", "id must be 12 or fewer characters\n"},
        {"(A3,A3,F2)", "abcdef 1\n", "\nThere should only be 1 ID field specified!\n"},
        {"(A3,F8.2,F4)", "abc  12.5  xx\n", "\n\nData do not match format at F4\\)\n"},
        {"(A3,2F4)", "abc   1 x-2\n", "Data do not match format at 2F4\\)"},
        {"(A3,F4)", "abc  .\n", "Data do not match format at F4\\)"},
    };
    for (const Case& c : cases) {
        EXPECT_EXIT(
            {
                console_to_stderr();
                read_all(c.format, 2, c.text);
                std::exit(99);
            },
            testing::ExitedWithCode(0), c.message)
            << c.format;
    }
}

TEST(MdmAsciiReader, NumbersConvertExactlyAsTheCLibraryDoes) {
    std::mt19937_64 rng(20240611);
    std::string text;
    std::vector<std::string> fields;
    const char* shapes[] = {"%.0f", "%.3f", "%.6f", "%.9f", "%.12e", "%.17g", "%.2f"};
    for (int i = 0; i < 3000; ++i) {
        double mag = std::pow(10.0, static_cast<int>(rng() % 30) - 12);
        double x = (static_cast<double>(rng() % 2000001) / 1000000.0 - 1.0) * mag;
        char buf[64];
        std::snprintf(buf, sizeof buf, shapes[rng() % 7], x);
        std::string f(buf);
        if (f.size() > 30) continue;
        f = std::string(30 - f.size(), ' ') + f;
        fields.push_back(f);
        text += "id" + f + "\n";
    }
    std::vector<Rec> got = read_all("(A2,F30)", 1, text);
    ASSERT_EQ(got.size(), fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        double want = std::strtod(fields[i].c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&got[i].values[0], &want, 8), 0) << fields[i];
    }
}

TEST(MdmAsciiReader, VeryLongLinesAndManyFieldsStayInBounds) {
    std::string line = "abc";
    for (int i = 0; i < 20000; ++i) line += "   1";
    std::vector<Rec> got = read_all("(A3,20000F4)", 20000, line + "\n" + line + "\n");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].values[19999], 1.0);
    // A huge width or repeat on a short line reads blanks, never past the line.
    got = read_all("(A3,99999999X,F99999999)", 1, "abc 12\n");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].values[0], M);
}

}  // namespace
