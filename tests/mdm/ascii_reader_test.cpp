// The fixed-format ASCII reader: format check, item parser, record reading
// under a format, and its fatal ends.
#include <cmath>
#include <random>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

// Format checks and item parsing (E, G, X and slash items are pinned by the
// record-reading table below): result and console of each, one golden copy.
TEST(MdmFormat, ChecksAndItemsMatchTheGoldenCopy) {
    std::string all;
    testing::internal::CaptureStdout();
    for (const char* f : {"(A12,3F8.2,2X,F4.0)", "(A5,F3,/,F3)", "A12,F8)", "", "(A12,F8", "(A12,2(F8.2))",
                          "(A8,F5.2/F5.2)", "(A8,F5.2,/F5.2)"})
    {
        std::printf("==== check %s\n", f);
        std::printf("\nresult %d\n", check_format(f));
    }
    // A point before the letter is ignored, the text may simply end, absurd digits are capped.
    for (const char* t : {"3F8.2,", "2X,", "X2,", " 2 F 6 ,", ".5F3,", "F4", "I5)", "AF3,", "99999999999F1,"}) {
        std::printf("==== item %s\n", t);
        FormatItem it = parse_format_item(t);
        std::printf("repeat %d kind %d width %d length %d\n", it.repeat, it.kind, it.width, it.length);
    }
    testsupport::expect_golden("mdm_formats.txt", testing::internal::GetCapturedStdout());
}

struct Rec {
    std::string id;  // as stored: right-justified in 12
    std::vector<double> values;
    bool operator==(const Rec&) const = default;
};

// Reads every record of `text` under `format` with `fields` values per record.
std::vector<Rec> read_ascii(const std::string& format, int fields, const std::string& text, std::string* printed = nullptr) {
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
    const struct { const char* what; const char* format; int fields; std::string text; std::vector<Rec> expect; } cases[] = {
        {"columns; decimals in the format are ignored", "(A12,3F8.2)", 3, "        1224    1234   -1.5    2e3\n",
         {{right12("1224"), {1234, -1.5, 2000}}}},
        {"one record from two lines", "(A5,F3,/,F3)", 2, "ab12 7  \n 9 rest\nx    1  \n2\n",
         {{right12("AB12"), {7, 9}}, {right12("X"), {1, 2}}}},
        {"ID justified either way; leading zeros make another ID", "(A5,F2)", 1, " ab12 1\nAB12  2\n 0012 3\n",
         {{right12("AB12"), {1}}, {right12("AB12"), {2}}, {right12("0012"), {3}}}},
        {"2X and X2 both skip two columns", "(A2,2X,F2,X2,F2)", 2, "IDxx 1yy 2\n", {{right12("ID"), {1, 2}}}},
        {"E and G fields", "(A1,E8.2,G6)", 2, "k1.5E+02 -3e-1\n", {{right12("K"), {150, -0.3}}}},
        {"blank field is missing, short line reads blanks", "(A3,3F4)", 3, "abc   1    \nxyz   2\n",
         {{right12("ABC"), {1, M, M}}, {right12("XYZ"), {2, M, M}}}},
        {"fewer numbers than variables leave the rest missing", "(A3,F4)", 3, "abc   1   2   3\n",
         {{right12("ABC"), {1, M, M}}}},
        {"a prefix that converts is the number", "(A3,F4)", 1, "abc 1-2\n", {{right12("ABC"), {1}}}},
        {"last line without a line end, CRLF, blank lines between", "(A3,F4)", 1, "abc   1\r\n\n   \ndef   2",
         {{right12("ABC"), {1}}, {right12("DEF"), {2}}}},
        {"a slash at the end of the file drops the part record", "(A3,F2,/,F2)", 2, "abc 1\n 2\ndef 3\n",
         {{right12("ABC"), {1, 2}}}},
        {"empty file", "(A3,F2)", 1, "", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(read_ascii(c.format, c.fields, c.text), c.expect) << c.what;
}

TEST(MdmAsciiReader, UnusableLetterReadsNothingAndSaysSoEachRecord) {
    std::string printed;
    std::vector<Rec> got = read_ascii("(A8,I5,F3)", 1, "      ab  1\n      cd  2\n", &printed);
    // The F3 field follows directly after the ID.
    EXPECT_EQ(got, (std::vector<Rec>{{right12("AB"), {1}}, {right12("CD"), {2}}}));
    const std::string once = " Unusable format type: I\nproblem with format\n(A8,I5,F3)\n";
    EXPECT_EQ(printed, once + once);
}

TEST(MdmAsciiReader, FatalEnds) {
    const std::pair<const char*, const char*> cases[] = {
        {"(A13,F2)", "1234567890123 1\n"}, {"(A3,A3,F2)", "abcdef 1\n"}, {"(A3,F8.2,F4)", "abc  12.5  xx\n"},
        {"(A3,F4)", "abc  .\n"}};
    std::string all;
    for (const auto& [format, text] : cases) {
        testsupport::ChildResult r = in_child([&] { read_ascii(format, 2, text); });
        all += std::string("==== ") + format + ", status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("mdm_ascii_fatal.txt", all);
}

TEST(MdmAsciiReader, NumbersConvertExactlyAsTheCLibraryDoes) {
    std::mt19937_64 rng(20240611);
    std::string text;
    std::vector<std::string> fields;
    const char* shapes[] = {"%.0f", "%.6f", "%.12e", "%.17g"};
    for (int i = 0; i < 2000; ++i) {
        double x = (static_cast<double>(rng() % 2000001) / 1e6 - 1.0) * std::pow(10.0, static_cast<int>(rng() % 30) - 12);
        char buf[64];
        std::snprintf(buf, sizeof buf, shapes[rng() % 4], x);
        std::string f(buf);
        if (f.size() > 30) continue;
        fields.push_back(std::string(30 - f.size(), ' ') + f);
        text += "id" + fields.back() + "\n";
    }
    std::vector<Rec> got = read_ascii("(A2,F30)", 1, text);
    ASSERT_EQ(got.size(), fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        double want = std::strtod(fields[i].c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&got[i].values[0], &want, 8), 0) << fields[i];
    }
}

TEST(MdmAsciiReader, VeryLongLinesAndManyFieldsStayInBounds) {
    std::string line = "abc";
    for (int i = 0; i < 20000; ++i) line += "   1";
    std::vector<Rec> got = read_ascii("(A3,20000F4)", 20000, line + "\n" + line + "\n");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].values[19999], 1.0);
    // A huge width or repeat on a short line reads blanks, never past the line.
    EXPECT_EQ(read_ascii("(A3,99999999X,F99999999)", 1, "abc 12\n"), (std::vector<Rec>{{right12("ABC"), {M}}}));
}

}  // namespace
