// MDM builders: match level-1 records to level-2 groups, apply the missing-data
// policy and write the MDM file and "ARB2MDM.STS". The level-1 file streams
// through one group at a time; only the level-2 table is held whole.
//
// Decisions where the rules leave room:
// - an unsorted ASCII level-2 file stops the run as for packages: the group
//   blocks follow the level-1 order and the IDs the level-2 order, so they must agree;
// - a level-1 group that comes again after a later group (even with unknown
//   groups between them) is an unsorted level-1 file;
// - at least one level-1 variable is needed, as at level 2.
#include <algorithm>
#include <climits>
#include <cstring>
#include <strings.h>

#include "mdm/mdm_internal.h"
#include "mdm/packages.h"

namespace {

constexpr std::size_t COPY_CHUNK = 1u << 20;

[[noreturn]] void stop(const char* message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
    fatal_exit(0);
}

// Text that goes both to the console and to the statistics file.
void to_both(FILE* sts, const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputs(text.c_str(), sts);
}

const char* const L1_UNSORTED =
    " It looks like your level-1 file is not sorted. Please sort this file\n and re-run.\n";
const char* const L2_UNSORTED =
    " It looks like your level-2 file is not sorted. Please sort this file\n and re-run.\n";

[[noreturn]] void unsorted(FILE* sts, const char* message) {
    to_both(sts, message);
    std::fflush(sts);
    std::fflush(stdout);
    fatal_exit(0);
}

// The level-2 records kept for matching, in file order.
struct Level2Table {
    std::vector<RecordId> ids;
    std::vector<double> values;  // one row of p2 per record
    std::vector<int> counts;     // matched level-1 groups per record
};

// Index of the first level-2 record with this ID, or -1; the table is sorted.
long find_group(const Level2Table& t, const RecordId& id, bool numeric) {
    auto it = std::lower_bound(t.ids.begin(), t.ids.end(), id, [numeric](const RecordId& a, const RecordId& b) {
        return compare_ids(a, b, numeric) < 0;
    });
    if (it == t.ids.end() || compare_ids(*it, id, numeric) != 0) return -1;
    return static_cast<long>(it - t.ids.begin());
}

void copy_scratch(FILE* scratch, FILE* out) {
    if (std::fflush(scratch) != 0) fatal_exit(5);
    std::rewind(scratch);
    std::vector<char> buf(COPY_CHUNK);
    std::size_t got;
    while ((got = std::fread(buf.data(), 1, buf.size(), scratch)) > 0) write_or_die(out, buf.data(), got);
    if (std::ferror(scratch)) fatal_exit(4);
}

std::size_t table_size(const std::vector<NameSlot>& names) { return names.empty() ? 0 : names.size() - 1; }

// A variable name as typed: the 8 significant characters without blanks.
std::string name_text(const NameSlot& n) {
    std::string t(n.text, strnlen(n.text, 8));
    t.erase(0, t.find_first_not_of(' '));
    t.erase(t.find_last_not_of(' ') + 1);
    return t;
}

// Level-2 values and V-known records have no missing-data policy: nothing
// downstream can use a group without them, so a blank or unread field stops
// the build where level-1 data without declared missing values would.
[[noreturn]] void missing_at_level2(const RawSource& s, const std::string& variable) {
    long line = s.missingLine > 0 ? s.missingLine : s.lineNumber;
    std::printf("\nMissing data found at level-2 (file %s, line %ld, variable %s)! Unable to continue.\n",
                s.path.c_str(), line, variable.c_str());
    std::fflush(stdout);
    fatal_exit(0);
}

// The name of field `i` of a V-known record: a statistic, one of the packed
// sampling (co)variances of the statistics, or a level-2 predictor.
std::string vknown_field_name(const MdmCreation& c, std::size_t i) {
    const std::size_t p1 = table_size(c.names[0]);
    const std::size_t q = p1 * (p1 + 1) / 2;
    if (i < p1) return name_text(c.names[0][i + 1]);
    if (i >= p1 + q) return name_text(c.names[1][i - p1 - q + 1]);
    std::size_t k = i - p1, row = 0;
    while (k > row) k -= ++row;
    const std::string a = name_text(c.names[0][row + 1]), b = name_text(c.names[0][k + 1]);
    return row == k ? "VAR(" + a + ")" : "COV(" + a + "," + b + ")";
}

}  // namespace

BuildCounts build_mdm(const MdmCreation& c, FILE* out) {
    BuildCounts result;
    const bool ascii = c.rawDataType == RAW_ASCII;
    const bool numeric = c.numericIds && !ascii;
    const std::size_t p1 = table_size(c.names[0]);
    const std::size_t p2 = table_size(c.names[1]);

    if (p2 < 1) stop("You must choose at least 1 level-2 variable!\n");
    if (p1 < 1) stop("You must choose at least 1 level-1 variable!\n");
    for (std::size_t i = 1; i <= p2; ++i)
        if (strncasecmp(c.names[1][i].text, "  RANDOM", 8) == 0)
            stop("RANDOM is a reserved name for level-2 variables; unable to continue\n");
    for (int k = 0; k < 2; ++k)
        if (!raw_source_open(c.source[k])) fatal_exit(1, c.rawFileName[k].c_str());
    if (ascii && c.hasMissing && c.missingCodes.size() < p1)
        stop("Incorrect specification of ASCII missing information!\n");

    RawSource l1 = c.source[0];
    RawSource l2 = c.source[1];
    FILE* sts = open_or_die("ARB2MDM.STS", "w");

    // ---- Level-2 file, whole ----
    Level2Table t;
    t.ids.reserve(500);
    // Room for whatever a reader delivers, even if its count disagrees with the name table.
    auto room = [](const RawSource& s, std::size_t p) {
        std::size_t n = std::max(p, static_cast<std::size_t>(std::max(s.fieldCount, 0)));
        return s.pkg ? std::max(n, s.pkg->selected.size()) : n;
    };
    std::vector<double> values(room(l2, p2));
    RecordId id;
    for (;;) {
        int r = read_raw_record(l2, id, values.data());
        if (r == RECORD_END) break;
        if (r != RECORD_READ) {
            std::printf("Error at line %ld\n", static_cast<long>(t.ids.size()) + 1);
            stop_at_damaged_record(l2);
        }
        if (ascii) {
            const auto first = std::find(values.begin(), values.begin() + static_cast<long>(p2), MISSING_VALUE);
            if (first != values.begin() + static_cast<long>(p2))
                missing_at_level2(l2, name_text(c.names[1][static_cast<std::size_t>(first - values.begin()) + 1]));
        }
        if (numeric && id.number == MISSING_VALUE) continue;
        if (!ascii && std::find(values.begin(), values.begin() + static_cast<long>(p2), MISSING_VALUE) !=
                          values.begin() + static_cast<long>(p2)) {
            ++result.deletedGroups;
            continue;
        }
        t.ids.push_back(id);
        t.values.insert(t.values.end(), values.begin(), values.begin() + static_cast<long>(p2));
    }
    close_raw_source(l2);
    if (t.ids.empty()) stop("Something the matter in reading your level-2 data file\n");
    if (t.ids.size() > static_cast<std::size_t>(INT_MAX)) stop("Too many level-2 records for one MDM file.\n");
    for (std::size_t i = 0; i + 1 < t.ids.size(); ++i)
        if (compare_ids(t.ids[i], t.ids[i + 1], numeric) > 0) unsorted(sts, L2_UNSORTED);
    t.counts.assign(t.ids.size(), 0);

    // ---- Level-1 file, group by group ----
    std::vector<double> record(room(l1, p1));
    // A record cut short ends the build: a partly copied file is not a smaller data set.
    auto next_l1 = [&]() {
        int r = read_raw_record(l1, id, record.data());
        if (r == RECORD_ERROR) stop_at_damaged_record(l1);
        return r == RECORD_READ;
    };
    if (!next_l1()) fatal_exit(1, c.rawFileName[0].c_str());
    FILE* scratch = open_anonymous_scratch();
    std::setvbuf(scratch, nullptr, _IOFBF, COPY_CHUNK);

    std::vector<double> group;
    group.reserve(50 * p1);
    std::vector<double> groupMeans(p1);
    std::vector<VarStats> l1Stats(p1);
    long total = 0;
    int maxGroupSize = 0;
    int extraMessages = 0;
    bool reported = false, anyGroup = false;
    RecordId lastReported, lastGroup;
    bool more = true;
    while (more) {
        long at = find_group(t, id, numeric);
        if (at < 0) {
            if (!reported || compare_ids(id, lastReported, numeric) != 0) {
                std::fprintf(sts, " Group %s not in level-2 file.\n", id_text(id, numeric).c_str());
                ++extraMessages;
                lastReported = id;
                reported = true;
            }
            more = next_l1();
            continue;
        }
        // Groups must come in ascending order, each as one run of records.
        if (anyGroup && compare_ids(id, lastGroup, numeric) <= 0) unsorted(sts, L1_UNSORTED);
        anyGroup = true;
        lastGroup = id;
        ++t.counts[static_cast<std::size_t>(at)];

        const RecordId groupId = id;
        group.clear();
        do {
            group.insert(group.end(), record.begin(), record.begin() + static_cast<long>(p1));
            more = next_l1();
        } while (more && compare_ids(id, groupId, numeric) == 0);
        if (more && compare_ids(id, groupId, numeric) < 0) unsorted(sts, L1_UNSORTED);

        std::size_t n = group.size() / p1;
        if (ascii && c.hasMissing) {
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t v = 0; v < p1; ++v)
                    if (group[j * p1 + v] == c.missingCodes[v]) group[j * p1 + v] = MISSING_VALUE;
        }
        // Drop records by the missing-data policy, keeping the order of the rest.
        std::size_t kept = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const double* rec = &group[j * p1];
            std::size_t missing = static_cast<std::size_t>(std::count(rec, rec + p1, MISSING_VALUE));
            if (missing > 0 && !c.hasMissing) stop("\nMissing data found at level-1! Unable to continue.\n");
            if (missing == p1 || (missing > 0 && c.deleteNow)) continue;
            if (kept != j) std::copy(rec, rec + p1, &group[kept * p1]);
            ++kept;
        }
        if (kept == 0) {
            std::fprintf(sts, "Level-2 group %s has inadequate data\n", id_text(groupId, numeric).c_str());
            --t.counts[static_cast<std::size_t>(at)];
            ++extraMessages;
            continue;
        }
        if (kept > static_cast<std::size_t>(INT_MAX) || total > static_cast<long>(INT_MAX - kept))
            stop("Too many level-1 records for one MDM file.\n");
        std::fill(groupMeans.begin(), groupMeans.end(), 0.0);
        for (std::size_t j = 0; j < kept; ++j)
            for (std::size_t v = 0; v < p1; ++v) {
                double x = group[j * p1 + v];
                if (x == MISSING_VALUE) continue;
                groupMeans[v] += x;
                add_value(l1Stats[v], x);
            }
        for (double& m : groupMeans) m /= static_cast<double>(kept);
        maxGroupSize = std::max(maxGroupSize, static_cast<int>(kept));
        write_group_block(scratch, static_cast<int>(p1), static_cast<int>(kept), groupMeans.data(), group.data());
        total += static_cast<long>(kept);
    }
    close_raw_source(l1);

    // ---- Level-2 records without level-1 data go ----
    MdmHeader h;
    std::size_t J = 0;
    for (std::size_t i = 0; i < t.ids.size(); ++i) {
        if (t.counts[i] < 1) continue;
        if (numeric)
            h.numIds.push_back(t.ids[i].number);
        else
            h.charIds.push_back(t.ids[i].text);
        h.l2Data.insert(h.l2Data.end(), t.values.begin() + static_cast<long>(i * p2),
                        t.values.begin() + static_cast<long>((i + 1) * p2));
        ++J;
    }
    if (J == 0) fatal_exit(2, "2");

    std::vector<double> l1Means(p1, 0.0);
    for (std::size_t v = 0; v < p1; ++v)
        if (l1Stats[v].count > 0) l1Means[v] = l1Stats[v].sum / static_cast<double>(l1Stats[v].count);
    to_both(sts, stats_table(1, c.names[0].data() + 1, l1Stats.data(), l1Means.data(), static_cast<int>(p1)));

    std::vector<VarStats> l2Stats(p2);
    for (std::size_t j = 0; j < J; ++j)
        for (std::size_t v = 0; v < p2; ++v) add_value(l2Stats[v], h.l2Data[j * p2 + v]);
    std::vector<double> l2Means(p2);
    for (std::size_t v = 0; v < p2; ++v) l2Means[v] = l2Stats[v].sum / static_cast<double>(J);
    to_both(sts, stats_table(2, c.names[1].data() + 1, l2Stats.data(), l2Means.data(), static_cast<int>(p2)));

    // ---- The MDM file ----
    h.numL1Vars = static_cast<int>(p1);
    h.numL2Vars = static_cast<int>(p2);
    h.numL1Records = static_cast<int>(total);
    h.numGroups = static_cast<int>(J);
    h.hasMissing = c.hasMissing;
    h.deleteNow = c.deleteNow;
    h.growthModel = c.withinPersons ? 1 : 0;
    h.sourceType = c.rawDataType == RAW_CSV ? RAW_ASCII : c.rawDataType;  // CSV is text with character IDs
    h.numericIds = numeric;
    h.maxGroupSize = maxGroupSize;
    h.l1Names = c.names[0];
    h.l2Names = c.names[1];
    h.l1FileName = c.rawFileName[0];
    h.l2FileName = c.rawFileName[1];
    h.l1Means = l1Means;
    h.l2Means = l2Means;
    write_mdm_front(out, h);
    copy_scratch(scratch, out);
    std::fclose(scratch);
    if (std::fflush(out) != 0 || std::ferror(out)) fatal_exit(5);
    if (std::fclose(sts) != 0) fatal_exit(5);
    if (extraMessages > 0) std::printf("\nThere are extra messages in ARB2MDM.STS.  Please examine this file.\n\n");
    std::fflush(stdout);

    result.l1Records = total;
    result.l2Records = static_cast<long>(J);
    return result;
}

BuildCounts build_vknown_mdm(const MdmCreation& c, FILE* out) {
    BuildCounts result;
    RawSource src = c.source[0];
    if (!raw_source_open(src)) fatal_exit(1, c.rawFileName[0].c_str());
    const std::size_t fields = static_cast<std::size_t>(src.fieldCount);
    FILE* scratch = open_anonymous_scratch();
    std::setvbuf(scratch, nullptr, _IOFBF, COPY_CHUNK);
    std::vector<double> values(fields);
    std::string bytes;
    RecordId id;
    long J = 0;
    while (read_raw_record(src, id, values.data()) == RECORD_READ) {
        const auto first = std::find(values.begin(), values.end(), MISSING_VALUE);
        if (first != values.end())
            missing_at_level2(src, vknown_field_name(c, static_cast<std::size_t>(first - values.begin())));
        bytes.assign(id.text.text, 13);
        bytes[12] = '\0';
        for (double v : values) {
            unsigned char b[8];
            std::uint64_t u;
            std::memcpy(&u, &v, 8);
            for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(u >> (8 * i));
            bytes.append(reinterpret_cast<const char*>(b), 8);
        }
        write_or_die(scratch, bytes.data(), bytes.size());
        if (++J > INT_MAX) stop("Too many groups for one MDM file.\n");
    }
    close_raw_source(src);
    if (J == 0) fatal_exit(1, c.rawFileName[0].c_str());

    MdmHeader h;
    h.numL1Vars = c.vkStats;
    h.numL2Vars = c.vkPredictors;
    h.numL1Records = 0;
    h.numGroups = static_cast<int>(J);
    h.hasMissing = 0;
    h.deleteNow = 1;
    h.growthModel = c.withinPersons ? 1 : 0;
    h.sourceType = RAW_VKNOWN;
    h.isVKnown = true;
    h.maxGroupSize = 1;
    h.l1Names = c.names[0];
    h.l2Names = c.names[1];
    write_mdm_front(out, h);
    copy_scratch(scratch, out);
    std::fclose(scratch);
    if (std::fflush(out) != 0 || std::ferror(out)) fatal_exit(5);
    result.l2Records = J;
    return result;
}
