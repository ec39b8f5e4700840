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

TEST(FreeFormat, LinesNamesAndMissingCells) {
    auto [L1, rows1] = sample_table(RAW_ASCII, 1, false);
    rows1[0].values[1] = std::nan("");
    EXPECT_EQ(write_table(L1, rows1), "L2ID,L1RESID,FITVAL,SIGMA,SES,SIZE\n"
                                      "1224.000000,-1.142090,.,6.060000,-1.528000,842.000000\n"
                                      "1224.000000,10.350210,9.357780,6.060000,.,842.000000\n"
                                      "1288.000000,0.250000,13.500000,6.060000,0.500000,1855.000000\n");
    auto [L2, rows2] = sample_table(RAW_ASCII, 2, true);
    const std::vector<std::string> lines = split(write_table(L2, rows2), '\n');
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "ID,NJ,CHIPCT,MDIST,LNTOTVAR,OLSRSVAR,MDRSVAR,EBINTRCP,EB   SES,OLINTRCP,OL   SES,FVINTRCP,"
                        "FV   SES,ECINTRCP,EC   SES,PV00,PV10,PV11,PVC00,PVC10,PVC11,SIZE,SECTOR");
    EXPECT_EQ(lines[2], "        1288,2,.,.,-1.500000,.,.,1.500000,0.500000,.,.,11.250000,3.500000,12.750000,"
                        "4.000000,1.250000,-0.125000,0.375000,1.000000,-0.062500,0.250000,1855.000000,1.000000");
    for (const std::string& l : lines) EXPECT_NE(l.back(), ',') << l;
}

TEST(PackagePrograms, GoldenTexts) {
    const struct { const char* golden; int type, level; bool charIds; } cases[] = {
        {"resfil_systat_l2.txt", RAW_SYSTAT, 2, true}, {"resfil_systat_l1.txt", RAW_SYSTAT, 1, false},
        {"resfil_sas_l2.txt", RAW_SAS, 2, true},       {"resfil_sas_l1.txt", RAW_SAS, 1, false}};
    for (const auto& c : cases) {
        auto [L, rows] = sample_table(c.type, c.level, c.charIds);
        const std::string text = write_table(L, rows);
        const std::string path = testsupport::data_path(std::string("golden/") + c.golden);
        if (std::getenv("ARB2_UPDATE_GOLDEN")) testsupport::write_file(path, text);
        EXPECT_EQ(testsupport::read_file(path), text) << c.golden;
    }
}

TEST(PackagePrograms, BlocksWrapAtSevenValues) {
    // Nine random coefficients: blocks of nine values take two lines, 45 (co)variances seven.
    ResidualNaming n;
    for (int i = 0; i < 9; ++i) n.randomNames.push_back("X" + std::to_string(i)), n.randomIndex.push_back("0");
    ResidualLayout L;
    L.type = RAW_SYSTAT, L.numRows = 1, L.columns = level2_columns(n, false, false);
    ResidualRow row;
    row.values.assign(L.columns.size(), 1.0);
    const std::string systat = write_table(L, {row});
    EXPECT_NE(systat.find("),($12,#5,2*#11/ 7*#11/ 2*#11,\n 7*#11/ 2*#11,\n 7*#11/ 7*#11/ 7*#11/ 7*#11/ 7*#11/ "
                          "7*#11/ 3*#11,\n)\n"), std::string::npos) << systat;
    EXPECT_EQ(split(systat.substr(systat.find("\nRUN\n") + 5), '\n').size(), 1u + 2 * 2 + 7);
    L.type = RAW_SAS;
    EXPECT_NE(write_table(L, {row}).find("#2  7*11.5 #3  2*11.5 #4  7*11.5 #5  2*11.5 #6  7*11.6 "), std::string::npos);
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

TEST(ResidualNote, TextByTypeAndWhenItIsDue) {
    const std::string recode = "a value of -99 has been entered. These should be\n"
                               "recoded to 'missing values' before any analyses are performed.\n";
    const struct { int type; std::string tail; } cases[] = {
        {RAW_SAS, recode}, {RAW_STATA, "have been set to missing.\n"}};
    for (const auto& c : cases) {
        char* buf = nullptr;
        std::size_t size = 0;
        FILE* f = open_memstream(&buf, &size);
        print_residual_note(f, "r.x", c.type);
        std::fclose(f);
        EXPECT_EQ(std::string(buf, size), "\n\nA residual file, called r.x, has been created.  Note, some "
                                          "statistics\ncould not be computed and " + c.tail);
        std::free(buf);
    }
    // Due for a missing statistic, not for a missing chosen variable.
    bool missing = true;
    auto [L, rows] = sample_table(RAW_ASCII, 1, true);
    write_table(L, rows, &missing);
    EXPECT_FALSE(missing);
    rows[2].values[2] = RESID_MISSING;
    write_table(L, rows, &missing);
    EXPECT_TRUE(missing);
}
