// The MDM header: exact byte layout of the writer, the reader's version and
// compatibility rules, and refusal of foreign, corrupt or truncated files.
#include <climits>
#include <cmath>

#include "mdm/mdm_test_util.h"

using namespace mdmtest;

namespace {

struct FileSpec {
    float version = 6.02f;
    bool growthField = true;
    int growth = 1;
    int source = RAW_ASCII;  // as stored, sign included
    int hasMissing = 1;
    int deleteNow = 0;
    int nameField = 260;  // the writer always uses 260; the reader takes what the file says
};

// A small ordinary MDM file built byte by byte: p1 = 2, p2 = 1, J = 2, N = 3.
std::string hand_made(const FileSpec& f) {
    Bytes b;
    b.raw("SSARB2").f32(f.version).i32(2).i32(1).i32(3).i32(2).i32(f.hasMissing).i32(f.deleteNow);
    if (f.growthField) b.i32(f.growth);
    b.i32(f.source).i32(2);
    b.slot("INTRCPT1").slot("     SES    ").slot(" MATHACH    ").slot("INTRCPT2").slot("  SECTOR    ");
    b.i32(f.nameField);
    std::string name1("l1.dat"), name2("l2.dat");
    name1.resize(static_cast<std::size_t>(f.nameField), '\0');
    name2.resize(static_cast<std::size_t>(f.nameField), '\0');
    b.raw(name1).raw(name2);
    b.f64(0.5).f64(12.0).f64(0.25);
    if (f.source < 0)
        b.f64(1224).f64(1288);
    else
        b.slot("        1224").slot("        1288");
    b.f64(0.0).f64(1.0);
    b.i32(2).f64(0.1).f64(10.0).f64(0.2).f64(11.0).f64(0.0).f64(9.0);
    b.i32(1).f64(1.5).f64(16.0).f64(1.5).f64(16.0);
    return b.s;
}

void read_header_of_file(const std::string& path) {
    console_to_stderr();
    FILE* f = std::fopen(path.c_str(), "rb");
    MdmHeader h;
    read_mdm_header(f, h);
    std::exit(99);  // accepted
}

TEST(MdmHeaderWriter, WritesTheExactByteLayout) {
    InTempDir d("mdmhdr");
    MdmHeader h;
    h.numL1Vars = h.numGroups = h.maxGroupSize = 2;
    h.numL2Vars = h.hasMissing = h.growthModel = 1;
    h.numL1Records = 3;
    h.deleteNow = 0;
    h.sourceType = RAW_ASCII;
    h.l1Names = {blank_filled_slot("INTRCPT1"), make_variable_name("ses"), make_variable_name("MathAch")};
    h.l2Names = {blank_filled_slot("INTRCPT2"), make_variable_name("sector")};
    h.l1FileName = "l1.dat";
    h.l2FileName = "l2.dat";
    h.l1Means = {0.5, 12.0};
    h.l2Means = {0.25};
    h.charIds = {normalised_slot("1224", 4, 12), normalised_slot("1288", 4, 12)};
    h.l2Data = {0.0, 1.0};
    auto written = [&h] {
        FILE* f = std::fopen("w.mdm", "wb");
        write_mdm_front(f, h);
        const double b1[] = {0.2, 11.0, 0.0, 9.0}, m1[] = {0.1, 10.0}, r2[] = {1.5, 16.0};
        write_group_block(f, 2, 2, m1, b1);
        write_group_block(f, 2, 1, r2, r2);
        std::fclose(f);
        return testsupport::read_file("w.mdm");
    };
    FileSpec spec;
    EXPECT_EQ(written(), hand_made(spec));
    // Numeric IDs: the stored source type is negated and the IDs are doubles.
    h.numericIds = true;
    h.sourceType = RAW_SPSS;
    h.numIds = {1224, 1288};
    spec.source = -RAW_SPSS;
    EXPECT_EQ(written(), hand_made(spec));
}

// Versions, flags and ID kinds as read: one golden copy of every file.
TEST(MdmHeaderReader, VersionsFlagsAndIdKinds) {
    const struct { const char* what; FileSpec spec; } cases[] = {
        {"current", {6.02f, true, 1, RAW_ASCII, 1, 0}},
        {"just above 5.349 has the field", {5.35f, true, 1, RAW_ASCII, 1, 0}},
        {"5.349 has no growth field", {5.349f, false, 0, RAW_SAS, 1, 0}},
        {"oldest accepted", {5.3295f, false, 0, RAW_ASCII, 1, 0}},
        {"no missing data forces deletion now", {6.02f, true, 0, RAW_ASCII, 0, 0}},
        {"SPSS with numeric IDs", {6.02f, true, 0, -RAW_SPSS, 1, 0}},
    };
    InTempDir d("mdmver");
    std::string all;
    for (const auto& c : cases) {
        testsupport::write_file("v.mdm", hand_made(c.spec));
        all += std::string("==== ") + c.what + "\n" + describe_mdm(read_whole_mdm(d.path("v.mdm")));
    }
    testsupport::expect_golden("mdm_header_versions.txt", all);
}

TEST(MdmHeaderReader, RefusesForeignOldAndCorruptFiles) {
    FileSpec old;
    old.version = 5.3294f;
    old.growthField = false;
    FileSpec nan;
    nan.version = std::nanf("");
    std::string good = hand_made(FileSpec{});
    auto patched = [&](std::size_t at, int32_t v) {
        return std::string(good).replace(at, 4, Bytes().i32(v).s);
    };
    const struct { const char* what; std::string bytes; } cases[] = {
        {"wrong magic", "SSARB3" + good.substr(6)},
        {"too old", hand_made(old)},
        {"version not a number", hand_made(nan)},
        {"negative level-1 count", patched(10, -1)},
        {"negative group count", patched(22, -5)},
        {"absurd level-1 count", patched(10, INT_MAX)},
        {"absurd level-2 count", patched(14, INT_MAX)},
        {"absurd group count", patched(22, INT_MAX)},
        {"absurd record count", patched(18, INT_MAX)},
        {"absurd file-name length", patched(111, INT_MAX)},
        {"negative file-name length", patched(111, -260)},
        {"V-known with absurd statistics", patched(38, 1).replace(10, 4, Bytes().i32(200000).s)},
    };
    InTempDir d("mdmbad");
    std::string all;
    for (const auto& c : cases) {
        testsupport::write_file("bad.mdm", c.bytes);
        testsupport::ChildResult r = in_child([&] { read_header_of_file(d.path("bad.mdm")); });
        all += std::string("==== ") + c.what + ", status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("mdm_header_refusals.txt", all);
}

// A V-known file: p1 = 2 statistics, p2 = 1 predictor, two groups.
std::string hand_made_vknown() {
    Bytes b;
    b.raw("SSARB2").f32(6.02f).i32(2).i32(1).i32(0).i32(2).i32(0).i32(1).i32(0).i32(RAW_VKNOWN).i32(1);
    b.slot("INTRCPT1").slot("   B0       ").slot("   B1       ").slot("INTRCPT2").slot("  SECTOR    ");
    for (int g = 0; g < 2; ++g) {
        b.slot(g == 0 ? "         T01" : "         T02");
        for (int v = 0; v < 2 + 3 + 1; ++v) b.f64(g * 10 + v);
    }
    return b.s;
}

TEST(MdmHeaderReader, EveryTruncationEndsWithAMessage) {
    InTempDir d("mdmcut");
    FileSpec shortNames;  // short name fields keep the number of cuts small
    shortNames.nameField = 12;
    for (const std::string& good : {hand_made(shortNames), hand_made_vknown()}) {
        testsupport::write_file("full.mdm", good);
        EXPECT_EXIT(read_header_of_file(d.path("full.mdm")), testing::ExitedWithCode(99), "");
        for (std::size_t n = 0; n < good.size(); ++n) {
            SCOPED_TRACE(n);
            testsupport::write_file("cut.mdm", good.substr(0, n));
            if (n < 6)
                EXPECT_EXIT(read_header_of_file(d.path("cut.mdm")), testing::ExitedWithCode(0),
                            "Not a valid ssm file");
            else
                EXPECT_EXIT(read_header_of_file(d.path("cut.mdm")), testing::ExitedWithCode(4),
                            "Unexpected end of file on read");
        }
    }
}

TEST(MdmGroupBlocks, CorruptCountEndsTheRun) {
    InTempDir d("mdmblk");
    std::string bytes = hand_made(FileSpec{});
    testsupport::write_file("b.mdm", bytes);
    FILE* f = std::fopen("b.mdm", "rb");
    MdmHeader h;
    read_mdm_header(f, h);
    std::fclose(f);
    for (int32_t count : {0, -1, 3}) {  // the largest group holds 2
        std::string s = bytes;
        s.replace(static_cast<std::size_t>(h.dataStart), 4, Bytes().i32(count).s);
        testsupport::write_file("c.mdm", s);
        ChildResult r = in_child([&] {
            FILE* g = std::fopen("c.mdm", "rb");
            std::fseek(g, h.dataStart, SEEK_SET);
            GroupBlock b;
            read_group_block(g, h, b);
        });
        EXPECT_EQ(r.status, 4) << count;
        EXPECT_NE(r.out.find("Unexpected end of file on read"), std::string::npos) << count;
    }
}

}  // namespace
