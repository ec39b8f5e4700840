// The five residual-file writers on small tables: free-format text, SYSTAT and
// SAS programs (golden files), SPSS and Stata byte layouts, and the closing note.
#include <cmath>
#include <cstdint>

#include "resfiles/resfiles_test_util.h"

using namespace restest;

namespace {

std::string write_and_read(const std::string& name, const ResidualLayout& L, const std::vector<ResidualRow>& rows,
                           bool* missing = nullptr) {
    const std::string dir = testsupport::make_temp_dir("resw");
    const bool m = write_table_file(dir + "/" + name, L, rows);
    if (missing != nullptr) *missing = m;
    return testsupport::read_file(dir + "/" + name);
}

std::int32_t i32_at(const std::string& b, std::size_t at) {
    std::int32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

double f64_at(const std::string& b, std::size_t at) {
    double v = 0;
    if (at + 8 <= b.size()) std::memcpy(&v, b.data() + at, 8);
    return v;
}

}  // namespace

TEST(FreeFormat, LevelOneFileExactly) {
    const std::string text = write_and_read("r1.dat", level1_layout(RAW_ASCII, false), level1_sample_rows(false));
    EXPECT_EQ(text,
              "L2ID,L1RESID,FITVAL,SIGMA,SES,SIZE\n"
              "1224.000000,-1.142090,7.018090,6.060000,-1.528000,842.000000\n"
              "1224.000000,10.350210,9.357780,6.060000,.,842.000000\n"
              "1288.000000,0.250000,13.500000,6.060000,0.500000,1855.000000\n");
}

TEST(FreeFormat, LevelTwoNamesMissingCellsAndNoTrailingComma) {
    const std::string text = write_and_read("r2.dat", level2_layout(RAW_ASCII, true), level2_sample_rows(true));
    const std::vector<std::string> lines = lines_of(text);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0],
              "ID,NJ,CHIPCT,MDIST,LNTOTVAR,OLSRSVAR,MDRSVAR,EBINTRCP,EB   SES,OLINTRCP,OL   SES,FVINTRCP,FV   SES,"
              "ECINTRCP,EC   SES,PV00,PV10,PV11,PVC00,PVC10,PVC11,SIZE,SECTOR");
    // Character IDs keep their name-slot form; counts are whole numbers; -99 becomes ".".
    EXPECT_EQ(lines[2],
              "        1288,2,.,.,-1.500000,.,.,1.500000,0.500000,.,.,11.250000,3.500000,12.750000,4.000000,"
              "1.250000,-0.125000,0.375000,1.000000,-0.062500,0.250000,1855.000000,1.000000");
    for (const std::string& l : lines) {
        EXPECT_EQ(split_commas(l).size(), split_commas(lines[0]).size()) << l;
        EXPECT_NE(l.back(), ',') << l;
    }
    EXPECT_NE(lines[3].find(",2.750000,"), std::string::npos);
    EXPECT_EQ(lines[3].substr(lines[3].size() - 11), ",.,0.000000");
}

TEST(FreeFormat, NonFiniteValuesAreWrittenAsMissing) {
    ResidualLayout L = level1_layout(RAW_ASCII, false);
    const std::string text = write_and_read(
        "nan.dat", L, {make_num_row(7, {std::nan(""), INFINITY, 1.0, 2.0, 3.0})});
    EXPECT_EQ(lines_of(text)[1], "7.000000,.,.,1.000000,2.000000,3.000000");
}

// ---- SYSTAT and SAS programs ---------------------------------------------------------

TEST(PackagePrograms, GoldenTexts) {
    const struct {
        const char* golden;
        int type, level;
        bool charIds;
    } cases[] = {
        {"resfil_systat_l2.txt", RAW_SYSTAT, 2, true},
        {"resfil_systat_l1.txt", RAW_SYSTAT, 1, false},
        {"resfil_sas_l2.txt", RAW_SAS, 2, true},
        {"resfil_sas_l1.txt", RAW_SAS, 1, false},
    };
    for (const auto& c : cases) {
        const ResidualLayout L = c.level == 2 ? level2_layout(c.type, c.charIds) : level1_layout(c.type, c.charIds);
        const auto rows = c.level == 2 ? level2_sample_rows(c.charIds) : level1_sample_rows(c.charIds);
        expect_golden(c.golden, write_and_read("prog.txt", L, rows));
    }
}

TEST(PackagePrograms, DataLinesAndDeclarations) {
    const struct {
        int type;
        bool charIds;
        const char* expected;  // a piece the text must contain
    } cases[] = {
        // ID in 12 columns, NJ in 5, then CHIPCT and MDIST recoded from -99.
        {RAW_SYSTAT, true, "        1288    2  -99.00000  -99.00000   -1.50000  -99.00000  -99.00000\n"},
        {RAW_SAS, true, "        1288    2  -99.00000  -99.00000   -1.50000  -99.00000  -99.00000\n"},
        {RAW_SYSTAT, false, "1288    2  -99.00000"},
        // Posterior (co)variances carry six decimals.
        {RAW_SYSTAT, true, "   1.250000  -0.125000   0.375000\n"},
        {RAW_SAS, true, "   1.000000  -0.062500   0.250000\n"},
        // A missing chosen variable is -99 in the data too.
        {RAW_SAS, true, "  -99.00000    0.00000\n"},
        {RAW_SYSTAT, true, "if chipct=-99 then let chipct=.\nif mdist=-99 then let mdist=.\n"
                           "if lntotvar=-99 then let lntotvar=.\nif olsrsvar=-99 then let olsrsvar=.\n"
                           "if mdrsvar=-99 then let mdrsvar=.\nif OLINTRCP=-99 then let OLINTRCP=.\n"
                           "if OL   SES=-99 then let OL   SES=.\nRUN\n"},
        {RAW_SYSTAT, true, "INPUT (ID$,NJ,CHIPCT,MDIST,LNTOTVAR,OLSRSVAR,MDRSVAR,\n"},
        {RAW_SYSTAT, false, "INPUT (ID,NJ,"},
        {RAW_SYSTAT, true, "),($12,#5,5*#11/"},
        {RAW_SYSTAT, false, "),(#12,#5,5*#11/"},
        {RAW_SAS, true, "INPUT (ID NJ CHIPCT MDIST LNTOTVAR OLSRSVAR MDRSVAR\n"},
        {RAW_SAS, true, ") ($12. 5. 5*11.5 #2  2*11.5 #3  2*11.5 #4  2*11.5 #5  2*11.5 #6  3*11.6 #7  3*11.6 #8  2*11.5 );\n"},
        {RAW_SAS, false, ") (12. 5. 5*11.5 #2 "},
        {RAW_SAS, true, "array v NJ -- SECTOR;\ndo over v;\nif v=-99 then v=.;\nend;\ncards;\n"},
    };
    for (const auto& c : cases) {
        const std::string text =
            write_and_read("prog.txt", level2_layout(c.type, c.charIds), level2_sample_rows(c.charIds));
        EXPECT_NE(text.find(c.expected), std::string::npos) << c.type << " " << c.charIds << "\n" << c.expected;
    }
}

TEST(PackagePrograms, LongBlocksWrapAtSevenValues) {
    // Nine random coefficients: nine EB values take a line of seven and a line of two;
    // 45 posterior (co)variances take seven lines.
    ResidualNaming n;
    for (int i = 0; i < 9; ++i) {
        n.randomNames.push_back("X" + std::to_string(i));
        n.randomIndex.push_back(std::to_string(i));
        n.coefNames.push_back("X" + std::to_string(i));
    }
    ResidualLayout L;
    L.type = RAW_SYSTAT;
    L.level = 2;
    L.numRows = 1;
    L.columns = level2_columns(n, false, false);
    ResidualRow row = make_row("9", std::vector<double>(L.columns.size(), 1.0));
    const std::string text = write_and_read("wrap.cmd", L, {row});
    EXPECT_NE(text.find("),($12,#5,2*#11/ 7*#11/ 2*#11,\n 7*#11/ 2*#11,\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" 7*#11/ 7*#11/ 7*#11/ 7*#11/ 7*#11/ 7*#11/ 3*#11,\n)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("EB    X0,EB    X1,EB    X2,EB    X3,EB    X4,EB    X5,EB    X6,\nEB    X7,EB    X8,\nOL    X0,"), std::string::npos);
    const std::string data = text.substr(text.find("RUN\n") + 4);
    EXPECT_EQ(lines_of(data).size(), 1u + 2 + 2 + 2 + 2 + 7);
    L.type = RAW_SAS;
    const std::string sas = write_and_read("wrap.sas", L, {row});
    EXPECT_NE(sas.find("#2  7*11.5 #3  2*11.5 #4  7*11.5 "), std::string::npos) << sas;
    EXPECT_NE(sas.find("#16  3*11.6 );\n"), std::string::npos) << sas;
}

// ---- SPSS system files --------------------------------------------------------------------

TEST(SpssFile, HeaderDictionaryAndCases) {
    const struct {
        int level;
        bool charIds;
        int variables;  // columns including the ID
    } cases[] = {{2, true, 23}, {2, false, 23}, {1, true, 6}, {1, false, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << c.level << " char " << c.charIds);
        const ResidualLayout L = c.level == 2 ? level2_layout(RAW_SPSS, c.charIds) : level1_layout(RAW_SPSS, c.charIds);
        const auto rows = c.level == 2 ? level2_sample_rows(c.charIds) : level1_sample_rows(c.charIds);
        const std::string b = write_and_read("r.sav", L, rows);
        ASSERT_GT(b.size(), 176u);
        EXPECT_EQ(b.substr(0, 64), "$FL2@(#) SPSS DATA FILE from ARB2 version 6.02" + std::string(18, ' '));
        const int segments = c.variables + (c.charIds ? 1 : 0);
        EXPECT_EQ(i32_at(b, 64), 2);
        EXPECT_EQ(i32_at(b, 68), segments);
        EXPECT_EQ(i32_at(b, 72), 0);
        EXPECT_EQ(i32_at(b, 80), 3);
        EXPECT_EQ(f64_at(b, 84), 100.0);
        EXPECT_EQ(b.substr(92, 17), " 5 Mar 24 9: 7: 3");
        // Variable records: 32 bytes, plus 8 with the one missing value.
        std::size_t at = 176;
        int records = 0, withMissing = 0;
        while (i32_at(b, at) == 2) {
            ++records;
            const int nmiss = i32_at(b, at + 12);
            if (records == 1) {
                EXPECT_EQ(b.substr(at + 24, 8), "L2ID    ");
                EXPECT_EQ(i32_at(b, at + 4), c.charIds ? 12 : 0);
                EXPECT_EQ(i32_at(b, at + 16), c.charIds ? 0x010C00 : 0x050800);
                EXPECT_EQ(nmiss, 0);
            }
            if (records == 2 && c.charIds) {
                EXPECT_EQ(i32_at(b, at + 4), -1);
                EXPECT_EQ(b.substr(at + 24, 8), "        ");
            }
            if (nmiss == 1) {
                ++withMissing;
                EXPECT_EQ(f64_at(b, at + 32), MISSING_VALUE);
            }
            at += 32 + 8 * nmiss;
        }
        EXPECT_EQ(records, segments);
        EXPECT_EQ(withMissing, c.variables - 1);
        EXPECT_EQ(i32_at(b, at), 999);
        EXPECT_EQ(i32_at(b, at + 4), 0);
        at += 8;
        ASSERT_EQ(b.size() - at, static_cast<std::size_t>(3 * 8 * segments));
        if (c.charIds) EXPECT_EQ(b.substr(at, 16), "1224            ");
        else EXPECT_EQ(f64_at(b, at), 1224.0);
        if (c.level == 2) {
            // Second case: NJ 2, CHIPCT missing.
            const std::size_t second = at + 8 * segments;
            const std::size_t nj = second + (c.charIds ? 16 : 8);
            EXPECT_EQ(f64_at(b, nj), 2.0);
            EXPECT_EQ(f64_at(b, nj + 8), MISSING_VALUE);
        }
    }
}

TEST(SpssFile, NamesAreCutToEightCharacters) {
    ResidualNaming n;
    n.randomNames = {"INTRCPT1"};
    n.randomIndex = {"0"};
    n.coefNames = {"INTRCPT1"};
    n.randomEquation = {"CAT"};
    n.coefEquation = {1};
    for (const ResidualColumn& c : level2_columns(n, false, false))
        EXPECT_LE(residual_column_name(RAW_SPSS, c).size(), 8u) << c.name;
    EXPECT_EQ(residual_column_name(RAW_SPSS, level2_columns(n, false, false)[3]), "EBCATINT");
}

// ---- Stata files ---------------------------------------------------------------------------

TEST(StataFile, Format110Layout) {
    for (bool charIds : {true, false}) {
        SCOPED_TRACE(charIds);
        const ResidualLayout L = level2_layout(RAW_STATA, charIds);
        const std::string b = write_and_read("r.dta", L, level2_sample_rows(charIds));
        const int nvar = 23;
        ASSERT_GT(b.size(), 109u);
        EXPECT_EQ(b.substr(0, 4), std::string("\x6e\x02\x01\x00", 4));
        std::int16_t nv = 0;
        std::memcpy(&nv, b.data() + 4, 2);
        EXPECT_EQ(nv, nvar);
        EXPECT_EQ(i32_at(b, 6), 3);
        const std::size_t types = 10 + 81 + 18;
        EXPECT_EQ(static_cast<unsigned char>(b[types]), charIds ? 139 : 100);
        EXPECT_EQ(static_cast<unsigned char>(b[types + 1]), 108);  // NJ
        for (int k = 2; k < nvar; ++k) EXPECT_EQ(static_cast<unsigned char>(b[types + k]), 100) << k;
        const std::size_t names = types + nvar;
        EXPECT_STREQ(b.c_str() + names, "L2ID");
        EXPECT_STREQ(b.c_str() + names + 33, "NJ");
        EXPECT_STREQ(b.c_str() + names + 33 * 6, "MSRSVAR");
        EXPECT_STREQ(b.c_str() + names + 33 * 7, "EBINTRCPT1");
        const std::size_t data = names + 33 * nvar + 47 * nvar + 2 + 81 * nvar + 5;
        const std::size_t recordSize = (charIds ? 12 : 8) + 4 + 8 * (nvar - 2);
        ASSERT_EQ(b.size(), data + 3 * recordSize);
        // The second group: NJ as a 4-byte integer, then CHIPCT missing as 2^1023.
        const std::size_t second = data + recordSize;
        if (charIds) EXPECT_EQ(b.substr(second, 12), "        1288");
        else EXPECT_EQ(f64_at(b, second), 1288.0);
        const std::size_t nj = second + (charIds ? 12 : 8);
        EXPECT_EQ(i32_at(b, nj), 2);
        EXPECT_EQ(f64_at(b, nj + 4), std::ldexp(1.0, 1023));
        // The missing level-2 variable of the third group is missing too.
        EXPECT_EQ(f64_at(b, data + 3 * recordSize - 16), std::ldexp(1.0, 1023));
    }
}

TEST(BinaryFiles, RecordCountFollowsTheRowsWritten) {
    for (int type : {RAW_SPSS, RAW_STATA}) {
        ResidualLayout L = level1_layout(type, true);
        L.numRows = 10;  // announced, but only three rows follow
        const std::string b = write_and_read("r.bin", L, level1_sample_rows(true));
        EXPECT_EQ(i32_at(b, type == RAW_SPSS ? 80 : 6), 3) << type;
    }
}

// ---- The closing note ---------------------------------------------------------------------

TEST(ResidualNote, TextByFileTypeAndWhenItIsDue) {
    const std::string head = "\n\nA residual file, called r.x, has been created.  Note, some statistics\n"
                             "could not be computed and ";
    const struct {
        int type;
        const char* tail;
    } cases[] = {
        {RAW_ASCII, "a value of -99 has been entered. These should be\nrecoded to 'missing values' before any "
                    "analyses are performed.\n"},
        {RAW_SYSTAT, "a value of -99 has been entered. These should be\nrecoded to 'missing values' before any "
                     "analyses are performed.\n"},
        {RAW_SAS, "a value of -99 has been entered. These should be\nrecoded to 'missing values' before any "
                  "analyses are performed.\n"},
        {RAW_SPSS, "have been set to missing.\n"},
        {RAW_STATA, "have been set to missing.\n"},
    };
    for (const auto& c : cases) {
        char* buf = nullptr;
        std::size_t size = 0;
        FILE* f = open_memstream(&buf, &size);
        print_residual_note(f, "r.x", c.type);
        std::fclose(f);
        EXPECT_EQ(std::string(buf, size), head + c.tail) << c.type;
        std::free(buf);
    }

    // Due for a missing statistic, not for a missing chosen variable.
    bool missing = true;
    auto rows = level1_sample_rows(true);
    write_and_read("a.dat", level1_layout(RAW_ASCII, true), rows, &missing);
    EXPECT_FALSE(missing);
    rows[2].values[0] = RESID_MISSING;
    write_and_read("b.dat", level1_layout(RAW_ASCII, true), rows, &missing);
    EXPECT_TRUE(missing);
    write_and_read("c.dat", level2_layout(RAW_ASCII, true), level2_sample_rows(true), &missing);
    EXPECT_TRUE(missing);
}
