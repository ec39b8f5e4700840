// SPSS and Stata residual files must open in an independent reader and hold
// the same columns and values as the free-format file of the same table.
#include "resfiles/readstat_compare.h"

using namespace restest;

TEST(ReadstatCompare, SpssAndStataMatchFreeFormat) {
    if (!have_readstat()) GTEST_SKIP() << "readstat is not installed";
    const std::string dir = testsupport::make_temp_dir("resrs");
    const struct {
        int type, level;
        bool charIds;
    } cases[] = {
        {RAW_SPSS, 2, true}, {RAW_SPSS, 2, false}, {RAW_SPSS, 1, true}, {RAW_SPSS, 1, false},
        {RAW_STATA, 2, true}, {RAW_STATA, 2, false}, {RAW_STATA, 1, true}, {RAW_STATA, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " level " << c.level << " char " << c.charIds);
        auto layout = [&](int type) {
            return c.level == 2 ? level2_layout(type, c.charIds) : level1_layout(type, c.charIds);
        };
        const auto rows = c.level == 2 ? level2_sample_rows(c.charIds) : level1_sample_rows(c.charIds);
        write_table_file(dir + "/t.dat", layout(RAW_ASCII), rows);
        const std::string bin = dir + (c.type == RAW_SPSS ? "/t.sav" : "/t.dta");
        write_table_file(bin, layout(c.type), rows);
        int status = 0;
        const std::string csv = readstat_csv(bin, &status);
        ASSERT_EQ(status, 0) << csv;
        expect_same_table(read_csv_table(testsupport::read_file(dir + "/t.dat")), read_csv_table(csv),
                          package_names(layout(c.type)), 1e-9);
    }
}
