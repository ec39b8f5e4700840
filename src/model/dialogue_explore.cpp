// The exploratory reports behind the outcome menus: an ANOVA table of the
// univariate coefficients, and correlations among them and the level-2 variables.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "model/dialogue_internal.h"

namespace {

// Per-unit sums are kept for this many (unit, variable) pairs at a time; wider
// requests take several passes over the file.
constexpr std::size_t MAX_PAIRS_PER_PASS = 1u << 21;

double centred_ss(double n, double s, double ss) { return n > 0 ? ss - s * s / n : 0.0; }

std::string field8(const std::vector<NameSlot>& table, int slot) {
    if (slot < 0 || slot >= (int)table.size()) return "        ";
    return std::string(table[slot].text, strnlen(table[slot].text, 8));
}

// Reads the group blocks once; for every unit j, add(j, record) is called per level-1 record.
template <typename Add>
void read_units(const RunSettings& rs, const MdmHeader& mdm, Add add) {
    FILE* f = open_or_die(rs.mdmFileName.c_str(), "rb");
    const int p1 = mdm.numL1Vars;
    if (p1 < 1) fatal_exit(4);
    GroupBlockCursor blocks = open_group_blocks(f, mdm);
    std::vector<double> means, records;
    for (int j = 0; j < mdm.numGroups; ++j) {
        const int n = read_next_group_block(blocks, means, records);
        // An empty unit, or one beyond the largest group, is a corrupt block.
        if (n < 1 || (mdm.maxGroupSize > 0 && n > mdm.maxGroupSize)) fatal_exit(4);
        for (int i = 0; i < n; ++i) add(j, &records[static_cast<std::size_t>(i) * p1]);
    }
    std::fclose(f);
}

// Sums of the outcome with each listed variable (slot 0: the outcome alone), per unit.
std::vector<std::vector<PairSums>> pair_sums(const RunSettings& rs, const MdmHeader& mdm, int outcome,
                                             const std::vector<int>& slots) {
    std::vector<std::vector<PairSums>> sums(slots.size(), std::vector<PairSums>(mdm.numGroups));
    read_units(rs, mdm, [&](int j, const double* rec) {
        double y = rec[outcome - 1];
        if (y == MISSING_VALUE) return;
        for (std::size_t v = 0; v < slots.size(); ++v) {
            double x = slots[v] == 0 ? 0.0 : rec[slots[v] - 1];
            if (x == MISSING_VALUE) continue;
            PairSums& s = sums[v][j];
            s.n += 1;
            s.sx += x;
            s.sy += y;
            s.sxx += x * x;
            s.sxy += x * y;
            s.syy += y * y;
        }
    });
    return sums;
}

// The same sums, in as many passes as the table size allows.
std::vector<std::vector<PairSums>> pair_sums_chunked(const RunSettings& rs, const MdmHeader& mdm, int outcome,
                                                     const std::vector<int>& slots) {
    std::size_t perPass = mdm.numGroups > 0 ? MAX_PAIRS_PER_PASS / (std::size_t)mdm.numGroups : slots.size();
    if (perPass < 1) perPass = 1;
    std::vector<std::vector<PairSums>> all;
    for (std::size_t first = 0; first < slots.size(); first += perPass) {
        std::vector<int> chunk(slots.begin() + first, slots.begin() + std::min(slots.size(), first + perPass));
        auto part = pair_sums(rs, mdm, outcome, chunk);
        for (auto& p : part) all.push_back(std::move(p));
    }
    return all;
}

int units_without_variance(const std::vector<PairSums>& units) {
    int count = 0;
    for (const PairSums& u : units)
        if (!outcome_varies(u)) ++count;
    return count;
}

void print_anova_row(const char* label, const AnovaRow& row) {
    if (!row.ok) {
        std::printf("%s   (too few units to compute)\n", label);
        return;
    }
    std::printf("%s%12.5f %12.5f %10.3f %12.2f %6d\n", label, row.mean, row.variance, row.reliability, row.chiSquare,
                row.units);
}

// Prints rows x columns of a correlation matrix held for all variables.
void print_block(const std::vector<std::string>& names, const std::vector<double>& r, const std::vector<int>& ok,
                 int total, int rowFirst, int rowCount, int colFirst, int colCount) {
    std::printf("        ");
    for (int c = 0; c < colCount; ++c) std::printf(" %8s", names[colFirst + c].c_str());
    std::printf("\n");
    for (int i = 0; i < rowCount; ++i) {
        std::printf("%8s", names[rowFirst + i].c_str());
        for (int c = 0; c < colCount; ++c) {
            int at = (rowFirst + i) * total + colFirst + c;
            if (ok[at]) std::printf(" %8.3f", r[at]);
            else std::printf("     ----");
        }
        std::printf("\n");
    }
}

}  // namespace

bool outcome_varies(const PairSums& u) {
    if (u.n < 2) return false;
    double ss = centred_ss(u.n, u.sy, u.syy);
    return ss > 1e-10 * u.syy && ss > 0.0;
}

std::vector<UnitEstimate> unit_means(const std::vector<PairSums>& units) {
    std::vector<UnitEstimate> est(units.size());
    double within = 0.0, df = 0.0;
    for (const PairSums& u : units) {
        if (!outcome_varies(u)) continue;
        within += centred_ss(u.n, u.sy, u.syy);
        df += u.n - 1;
    }
    if (df <= 0 || within <= 0) return est;
    double sigma2 = within / df;
    for (std::size_t j = 0; j < units.size(); ++j) {
        const PairSums& u = units[j];
        if (!outcome_varies(u)) continue;
        est[j] = {true, u.sy / u.n, sigma2 / u.n};
    }
    return est;
}

std::vector<UnitEstimate> unit_slopes(const std::vector<PairSums>& units) {
    std::vector<UnitEstimate> est(units.size());
    std::vector<double> sxxc(units.size(), 0.0);
    double rss = 0.0, df = 0.0;
    for (std::size_t j = 0; j < units.size(); ++j) {
        const PairSums& u = units[j];
        if (!outcome_varies(u) || u.n < 3) continue;
        double sxx = centred_ss(u.n, u.sx, u.sxx);
        if (!(sxx > 1e-10 * u.sxx) || sxx <= 0.0) continue;
        double sxy = u.sxy - u.sx * u.sy / u.n;
        double b = sxy / sxx;
        double r = centred_ss(u.n, u.sy, u.syy) - b * sxy;
        rss += r > 0 ? r : 0.0;
        df += u.n - 2;
        sxxc[j] = sxx;
        est[j] = {true, b, 0.0};
    }
    if (df <= 0 || rss <= 0) return std::vector<UnitEstimate>(units.size());
    double sigma2 = rss / df;
    for (std::size_t j = 0; j < units.size(); ++j)
        if (est[j].ok) est[j].variance = sigma2 / sxxc[j];
    return est;
}

AnovaRow summarise_estimates(const std::vector<UnitEstimate>& estimates) {
    AnovaRow row;
    double sum = 0.0, sumv = 0.0, sumw = 0.0, sumwb = 0.0;
    int J = 0;
    for (const UnitEstimate& e : estimates) {
        if (!e.ok || !(e.variance > 0.0)) continue;
        ++J;
        sum += e.value;
        sumv += e.variance;
        sumw += 1.0 / e.variance;
        sumwb += e.value / e.variance;
    }
    if (J < 2) return row;
    row.ok = true;
    row.units = J;
    row.mean = sum / J;
    double weighted = sumwb / sumw;
    double obs = 0.0;
    for (const UnitEstimate& e : estimates) {
        if (!e.ok || !(e.variance > 0.0)) continue;
        obs += (e.value - row.mean) * (e.value - row.mean);
        row.chiSquare += (e.value - weighted) * (e.value - weighted) / e.variance;
    }
    row.variance = obs / (J - 1) - sumv / J;
    double tau = row.variance > 0.0 ? row.variance : 0.0;
    for (const UnitEstimate& e : estimates) {
        if (!e.ok || !(e.variance > 0.0)) continue;
        row.reliability += tau / (tau + e.variance);
    }
    row.reliability /= J;
    return row;
}

void coefficient_correlations(const std::vector<std::vector<UnitEstimate>>& coefs, std::vector<double>& r,
                              std::vector<int>& ok) {
    int Q = (int)coefs.size();
    r.assign((std::size_t)Q * Q, 0.0);
    ok.assign((std::size_t)Q * Q, 0);
    // Parameter variance of each coefficient: observed variance less mean sampling variance.
    std::vector<double> tau(Q, 0.0);
    for (int q = 0; q < Q; ++q) {
        double s = 0, ss = 0, sv = 0;
        int n = 0;
        for (const UnitEstimate& e : coefs[q]) {
            if (!e.ok) continue;
            ++n;
            s += e.value;
            ss += e.value * e.value;
            sv += e.variance;
        }
        if (n < 3) continue;
        tau[q] = (ss - s * s / n) / (n - 1) - sv / n;
        if (tau[q] > 0.0) {
            r[q * Q + q] = std::sqrt(tau[q]);
            ok[q * Q + q] = 1;
        }
    }
    for (int q = 0; q < Q; ++q) {
        for (int p = 0; p < q; ++p) {
            if (!(tau[q] > 0.0) || !(tau[p] > 0.0)) continue;
            std::size_t J = std::min(coefs[q].size(), coefs[p].size());
            double sq = 0, sp = 0, sqp = 0;
            int n = 0;
            for (std::size_t j = 0; j < J; ++j) {
                if (!coefs[q][j].ok || !coefs[p][j].ok) continue;
                ++n;
                sq += coefs[q][j].value;
                sp += coefs[p][j].value;
                sqp += coefs[q][j].value * coefs[p][j].value;
            }
            if (n < 3) continue;
            double c = (sqp - sq * sp / n) / (n - 1) / std::sqrt(tau[q] * tau[p]);
            if (!(std::fabs(c) <= 1.0)) continue;
            r[q * Q + p] = r[p * Q + q] = c;
            ok[q * Q + p] = ok[p * Q + q] = 1;
        }
    }
}

void explore_means(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm) {
    int outcome = model.outcome;
    std::vector<int> slots{0};
    for (int v = 1; v <= mdm.numL1Vars; ++v)
        if (v != outcome) slots.push_back(v);
    auto sums = pair_sums_chunked(rs, mdm, outcome, slots);

    std::printf("\n                           ANOVA\n\n");
    std::printf("                 Mean    Parameter\n");
    std::printf("             coefficient  variance  Reliability  Chi-squared  Units\n");
    print_anova_row("   MEANS    ", summarise_estimates(unit_means(sums[0])));
    for (std::size_t v = 1; v < slots.size(); ++v) {
        std::string label = "   " + field8(mdm.l1Names, slots[v]) + " ";
        print_anova_row(label.c_str(), summarise_estimates(unit_slopes(sums[v])));
    }
    int deleted = units_without_variance(sums[0]);
    if (deleted > 0) {
        std::printf("\n  %d level-2 units were deleted because of no variance in %s\n", deleted,
                    field8(mdm.l1Names, outcome).c_str());
    }
    pause_for_return();
}

void explore_correlations(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm) {
    int p1 = mdm.numL1Vars, p2 = mdm.numL2Vars;
    int outcome = model.outcome;
    std::vector<int> slopes;
    show_choices(p1, mdm.l1Names.data(), outcome, "Please enter the level-1 univariate slopes you wish to estimate");
    while ((int)slopes.size() < p1 - 1) {
        int v = ask_int(0, p1, " level-1 predictor? (Enter 0 to end) ");
        if (v == 0) break;
        if (v == outcome) std::printf(" That is the outcome variable!\n");
        else if (std::find(slopes.begin(), slopes.end(), v) != slopes.end()) std::printf("You have already chosen that variable!\n");
        else slopes.push_back(v);
    }
    std::vector<int> level2;
    show_choices(p2, mdm.l2Names.data(), 0, "Please enter the level-2 predictors you wish to estimate");
    while ((int)level2.size() < p2) {
        int v = ask_int(0, p2, "  Level-2 predictor? (Enter 0 to end) ");
        if (v == 0) break;
        if (std::find(level2.begin(), level2.end(), v) != level2.end()) std::printf("You have already chosen that variable!\n");
        else level2.push_back(v);
    }

    std::vector<int> slots{0};
    slots.insert(slots.end(), slopes.begin(), slopes.end());
    auto sums = pair_sums_chunked(rs, mdm, outcome, slots);

    // Coefficients first, then the level-2 variables as estimates without sampling error.
    std::vector<std::vector<UnitEstimate>> all;
    std::vector<std::string> names{field8(mdm.l1Names, 0)};
    all.push_back(unit_means(sums[0]));
    for (std::size_t v = 1; v < slots.size(); ++v) {
        all.push_back(unit_slopes(sums[v]));
        names.push_back(field8(mdm.l1Names, slots[v]));
    }
    int Q = (int)all.size();
    for (int w : level2) {
        std::vector<UnitEstimate> values(mdm.numGroups);
        for (int j = 0; j < mdm.numGroups; ++j) {
            std::size_t at = (std::size_t)j * p2 + (w - 1);
            if (at >= mdm.l2Data.size() || !outcome_varies(sums[0][j])) continue;
            double x = mdm.l2Data[at];
            if (x != MISSING_VALUE) values[j] = {true, x, 0.0};
        }
        all.push_back(values);
        names.push_back(field8(mdm.l2Names, w));
    }
    std::vector<double> r;
    std::vector<int> ok;
    coefficient_correlations(all, r, ok);
    int total = (int)all.size();
    int W = total - Q;

    std::printf("\nThe correlation matrix among level-1 univariate coefficients\n");
    print_block(names, r, ok, total, 0, Q, 0, Q);
    if (W > 0) {
        std::printf("\nThe correlation matrix among level-2 predictors\n");
        print_block(names, r, ok, total, Q, W, Q, W);
        std::printf("\nCorrelations between level-2 predictors and level-1 univariate coefficients\n\n");
        print_block(names, r, ok, total, Q, W, 0, Q);
    }
    bool missing = false;
    for (int i = 0; i < total * total; ++i) missing = missing || !ok[i];
    if (missing) std::printf("\nSome correlations not computible\n");
    pause_for_return();
}
