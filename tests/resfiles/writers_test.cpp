// The five writers on the sample tables: free-format text, SYSTAT and SAS
// programs (golden files), SPSS and Stata bytes read back by readstat, the note.
#include "resfiles/resfiles_test_util.h"

using namespace restest;

namespace {
std::int32_t i32_at(const std::string& b, std::size_t at) {
    std::int32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}
}  // namespace

// Free-format files (missing cells as "."), the SYSTAT and SAS programs of both
// levels with numeric and character IDs, program blocks wrapping at seven values
// (nine random coefficients), and the notes: one golden copy.
TEST(TextFiles, MatchTheGoldenCopy) {
    std::string all;
    for (int type : {RAW_ASCII, RAW_SYSTAT, RAW_SAS})
        for (int level : {1, 2})
            for (bool charIds : {false, true}) {
                auto [L, rows] = sample_table(type, level, charIds);
                if (level == 1 && type == RAW_ASCII) rows[0].values[1] = std::nan("");
                all += "==== type " + std::to_string(type) + " level " + std::to_string(level) + " char " +
                       std::to_string(charIds) + "\n" + write_table(L, rows);
            }
    ResidualNaming n;
    for (int i = 0; i < 9; ++i) n.randomNames.push_back("X" + std::to_string(i)), n.randomIndex.push_back("0");
    ResidualLayout L;
    L.numRows = 1, L.columns = level2_columns(n, false, false);
    ResidualRow row;
    row.values.assign(L.columns.size(), 1.0);
    for (int type : {RAW_SYSTAT, RAW_SAS}) L.type = type, all += "==== nine random coefficients\n" + write_table(L, {row});
    for (int type : {RAW_SAS, RAW_STATA}) all += testsupport::capture([&](FILE* f) { print_residual_note(f, "r.x", type); });
    testsupport::expect_golden("resfil_texts.txt", all);
}

// The note is due for a missing statistic, not for a missing chosen variable.
TEST(ResidualNote, WhenItIsDue) {
    bool missing = true;
    auto [L, rows] = sample_table(RAW_ASCII, 1, true);
    write_table(L, rows, &missing);
    EXPECT_FALSE(missing);
    rows[2].values[2] = RESID_MISSING;
    write_table(L, rows, &missing);
    EXPECT_TRUE(missing);
}

TEST(BinaryFiles, LayoutDetailsAndReadstatAgreement) {
    const bool readstat = std::system("command -v readstat >/dev/null 2>&1") == 0;
    for (int type : {RAW_SPSS, RAW_STATA})
        for (int level : {1, 2})
            for (bool charIds : {true, false}) {
                SCOPED_TRACE(testing::Message() << type << " level " << level << " char " << charIds);
                auto [L, rows] = sample_table(type, level, charIds);
                L.numRows = 7;  // announced wrongly: the count written follows the rows
                std::string path;
                const std::string b = write_table(L, rows, nullptr, &path);
                const int nvar = static_cast<int>(L.columns.size()) + 1;
                if (type == RAW_SPSS) {
                    EXPECT_EQ(b.substr(0, 48), "$FL2@(#) SPSS DATA FILE from ARB2 version 6.02  ");
                    EXPECT_EQ(i32_at(b, 68), nvar + (charIds ? 1 : 0));  // a character ID takes two segments
                    EXPECT_EQ(i32_at(b, 80), 3);
                    EXPECT_EQ(b.substr(92, 17), " 5 Mar 24 9: 7: 3");
                } else {
                    EXPECT_EQ(b.substr(0, 4), std::string("n\2\1\0", 4));
                    EXPECT_EQ(i32_at(b, 6), 3);
                    const std::size_t types = 109;
                    EXPECT_EQ(static_cast<unsigned char>(b[types]), charIds ? 139 : 100);
                    const std::size_t data = types + 33 * nvar + 47 * nvar + 2 + 81 * nvar + 5 + nvar;
                    const std::size_t record = (charIds ? 12 : 8) + 8 * (nvar - 1) - (level == 2 ? 4 : 0);
                    EXPECT_EQ(b.size(), data + 3 * record);
                    if (level == 2) {
                        EXPECT_EQ(static_cast<unsigned char>(b[types + 1]), 108);  // NJ as long
                        EXPECT_EQ(i32_at(b, data + record + (charIds ? 12 : 8)), 2);
                    }
                }
                if (!readstat) continue;
                auto [F, frows] = sample_table(RAW_ASCII, level, charIds);
                expect_same_table(read_csv(write_table(F, frows)), readstat_table(path), L);
            }
    if (!readstat) GTEST_SKIP() << "readstat is not installed";
}

