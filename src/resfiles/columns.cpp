// Columns of the residual files and the per-group values of the level-2 file:
// empirical Bayes and OLS residuals, fitted and EB coefficients, posterior
// (co)variances and the group diagnostics.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"
#include "resfiles/resfiles_internal.h"

using namespace resfiles_detail;

namespace {

std::string fmt(const char* format, const std::string& a) {
    std::string s;
    appendf(s, format, a.c_str());
    return s;
}

std::string fmt(const char* format, const std::string& a, const std::string& b) {
    std::string s;
    appendf(s, format, a.c_str(), b.c_str());
    return s;
}

std::string fmt(const char* format, const std::string& a, const std::string& b, const std::string& c) {
    std::string s;
    appendf(s, format, a.c_str(), b.c_str(), c.c_str());
    return s;
}

std::string fmt(const char* format, int a, const std::string& b) {
    std::string s;
    appendf(s, format, a, b.c_str());
    return s;
}

ResidualColumn statistic(const std::string& name, const std::string& stata, const std::string& recode, int group,
                         ResidualColumnKind kind = ResidualColumnKind::Value) {
    ResidualColumn c;
    c.name = name;
    c.stataName = stata;
    c.recodeName = recode;
    c.group = group;
    c.kind = kind;
    c.padded = name;
    return c;
}

ResidualColumn chosen_column(const NameSlot& slot, int group) {
    ResidualColumn c;
    c.name = trimmed_name(slot, 8);
    c.stataName = c.name;
    c.padded = padded_name(slot);
    c.chosen = true;
    c.group = group;
    return c;
}

const std::string& at_or_empty(const std::vector<std::string>& v, std::size_t i) {
    static const std::string empty;
    return i < v.size() ? v[i] : empty;
}

}  // namespace

// ---- Columns -----------------------------------------------------------------------------

std::vector<ResidualColumn> level1_columns(const ResidualNaming& n) {
    std::vector<ResidualColumn> cols;
    for (const char* name : {"L1RESID", "FITVAL", "SIGMA"}) cols.push_back(statistic(name, name, "", 0));
    for (const NameSlot& s : n.l1Chosen) cols.push_back(chosen_column(s, 1));
    for (const NameSlot& s : n.l2Chosen) cols.push_back(chosen_column(s, 2));
    return cols;
}

std::vector<ResidualColumn> level2_columns(const ResidualNaming& n, bool diagnostics, bool secondDispersion) {
    std::vector<ResidualColumn> cols;
    cols.push_back(statistic("NJ", "NJ", "", 0, ResidualColumnKind::Count));
    cols.push_back(statistic("CHIPCT", "CHIPCT", "chipct", 0));
    cols.push_back(statistic("MDIST", "MDIST", "mdist", 0));
    if (diagnostics) {
        cols.push_back(statistic("LNTOTVAR", "LNTOTVAR", "lntotvar", 0));
        cols.push_back(statistic("OLSRSVAR", "OLSRSVAR", "olsrsvar", 0));
        cols.push_back(statistic("MDRSVAR", "MSRSVAR", "mdrsvar", 0));
    }
    const std::size_t r = n.randomNames.size();
    const std::size_t c = n.coefNames.size();
    const bool multi = !n.randomEquation.empty() || !n.coefEquation.empty();

    for (int prefix = 0; prefix < 2; ++prefix) {
        const char* p = prefix == 0 ? "EB" : "OL";
        for (std::size_t i = 0; i < r; ++i) {
            const std::string& name = n.randomNames[i];
            ResidualColumn col;
            if (multi) {
                const std::string& eq = at_or_empty(n.randomEquation, i);
                col = statistic(fmt(prefix == 0 ? "EB%s%5.5s" : "OL%s%5.5s", eq, name),
                                fmt(prefix == 0 ? "EB%s%s" : "OL%s%s", eq, name), "", 1 + prefix);
            } else {
                col = statistic(fmt(prefix == 0 ? "EB%6.6s" : "OL%6.6s", name), std::string(p) + name, "", 1 + prefix);
            }
            // Units without an OLS fit leave -99 in the OLS residuals, which SYSTAT recodes.
            if (prefix == 1) col.recodeName = col.name;
            cols.push_back(col);
        }
    }
    for (int prefix = 0; prefix < 2; ++prefix) {
        const char* p = prefix == 0 ? "FV" : "EC";
        for (std::size_t q = 0; q < c; ++q) {
            const std::string& name = n.coefNames[q];
            if (multi) {
                const int eq = q < n.coefEquation.size() ? n.coefEquation[q] : 0;
                cols.push_back(statistic(fmt(prefix == 0 ? "FV%d%5.5s" : "EC%d%5.5s", eq, name),
                                         fmt(prefix == 0 ? "FV%d%s" : "EC%d%s", eq, name), "", 3 + prefix));
            } else {
                cols.push_back(statistic(fmt(prefix == 0 ? "FV%6.6s" : "EC%6.6s", name), std::string(p) + name, "",
                                         3 + prefix));
            }
        }
    }
    for (int set = 0; set < (secondDispersion ? 2 : 1); ++set) {
        for (std::size_t i = 0; i < r; ++i)
            for (std::size_t j = 0; j <= i; ++j) {
                const std::string& a = at_or_empty(n.randomIndex, i);
                const std::string& b = at_or_empty(n.randomIndex, j);
                std::string name;
                if (multi) name = fmt(set == 0 ? "PV%s%s%s" : "PVC%s%s%s", at_or_empty(n.randomEquation, i), a, b);
                else name = fmt(set == 0 ? "PV%s%s" : "PVC%s%s", a, b);
                cols.push_back(statistic(name, name, "", 5 + set, ResidualColumnKind::Covariance));
            }
    }
    for (const NameSlot& s : n.l2Chosen) cols.push_back(chosen_column(s, 7));
    return cols;
}

// ---- Group diagnostics ---------------------------------------------------------------------

double mahalanobis_distance(int r, const double* tau, double sigma2, const double* D, const double* u, long nj) {
    if (r <= 0 || nj <= r) return RESID_MISSING;
    const std::size_t rr = static_cast<std::size_t>(r) * r;
    std::vector<double> V(rr), Vinv(rr), work(std::max<std::size_t>(3, rr));
    for (std::size_t k = 0; k < rr; ++k) V[k] = tau[k] - sigma2 * D[k];
    if (pd_check(1, r, V.data(), nullptr, r) != 0) return RESID_MISSING;
    if (sym_inverse(r, V.data(), Vinv.data(), work.data(), r, r) != 0) return RESID_MISSING;
    double d = 0.0;
    for (int a = 0; a < r; ++a)
        for (int b = 0; b < r; ++b) d += u[a] * Vinv[a * r + b] * u[b];
    return std::isfinite(d) ? d : RESID_MISSING;
}

std::vector<double> chi_square_percentiles(int r, const std::vector<double>& mdist) {
    const int J = static_cast<int>(mdist.size());
    std::vector<double> out(J, RESID_MISSING);
    if (J == 0 || r <= 0) return out;
    // Groups without a distance take part in the ordering with their -99.
    std::vector<int> order(J);
    for (int j = 0; j < J; ++j) order[j] = j;
    sort_index(J, mdist.data(), order.data());
    const double g = log_gamma(r / 2.0);
    for (int i = 0; i < J; ++i) {
        const int j = order[i];
        if (mdist[j] == RESID_MISSING) continue;
        int fault = 0;
        const double q = chi_square_quantile((i + 1 - 0.5) / J, r, g, &fault);
        out[j] = fault ? RESID_MISSING : q;
    }
    return out;
}

double log_sd_diagnostic(double v, double df) {
    if (!(v > 0.0) || !(df >= 1.0) || !std::isfinite(v)) return RESID_MISSING;
    return 0.5 * std::log(v + 1.0 / df);
}

// ---- Naming and rows of a fitted linear model ----------------------------------------------

ResidualNaming residual_naming(const LinearFit& fit, const ModelSpec& model, const MdmHeader& mdm, int level) {
    ResidualNaming n;
    for (int s = 0; s < fit.r; ++s) {
        NameSlot slot{};
        std::strncpy(slot.text, s < static_cast<int>(fit.randomNames.size()) ? fit.randomNames[s].c_str() : "", 12);
        n.randomNames.push_back(trimmed_name(slot, 8));
        n.randomIndex.push_back(s < static_cast<int>(fit.randomLabels.size()) ? fit.randomLabels[s]
                                                                              : std::to_string(s));
    }
    for (int q = 0; q < fit.Q && q < static_cast<int>(fit.coefSlot.size()); ++q) {
        const int slot = fit.coefSlot[q];
        n.coefNames.push_back(slot >= 0 && slot < static_cast<int>(model.l1Names.size())
                                  ? trimmed_name(model.l1Names[slot], 8)
                                  : std::string());
    }
    if (level == 1) {
        for (int s : chosen_l1_slots(model, mdm.numL1Vars))
            if (s < static_cast<int>(mdm.l1Names.size())) n.l1Chosen.push_back(mdm.l1Names[s]);
        for (int s : chosen_l2_slots(model.l1ResidualL2Vars, mdm.numL2Vars))
            if (s < static_cast<int>(mdm.l2Names.size())) n.l2Chosen.push_back(mdm.l2Names[s]);
    } else {
        for (int s : chosen_l2_slots(model.l2ResidualVars, mdm.numL2Vars))
            if (s < static_cast<int>(mdm.l2Names.size())) n.l2Chosen.push_back(mdm.l2Names[s]);
    }
    return n;
}

namespace resfiles_detail {

void fitted_coefficients(const LinearFit& fit, long j, double* out) {
    const int w2 = fit.p2 + 1;
    for (int q = 0; q < fit.Q; ++q) out[q] = 0.0;
    const std::size_t row = static_cast<std::size_t>(j) * w2;
    const int F = std::min({fit.F, static_cast<int>(fit.gammaCoef.size()), static_cast<int>(fit.gammaL2Slot.size())});
    for (int k = 0; k < F; ++k) {
        const int q = fit.gammaCoef[k], s = fit.gammaL2Slot[k];
        if (q < 0 || q >= fit.Q || s < 0 || s >= w2 || row + s >= fit.l2Design.size()) continue;
        if (k < static_cast<int>(fit.gamma.size())) out[q] += fit.gamma[k] * fit.l2Design[row + s];
    }
}

}  // namespace resfiles_detail

std::vector<ResidualRow> level2_rows(const LinearFit& fit, const MdmHeader& mdm, bool diagnostics,
                                     bool secondDispersion, const std::vector<double>& condDisp,
                                     const std::vector<int>& l2Slots) {
    const long J = fit.J;
    const int r = std::min<int>(fit.r, static_cast<int>(fit.randomCoef.size())), Q = fit.Q, p2 = mdm.numL2Vars;
    const std::size_t rr = static_cast<std::size_t>(r) * r;
    const bool perUnitOk = static_cast<long>(fit.n.size()) >= J && fit.u.size() >= J * static_cast<std::size_t>(r) &&
                           fit.postDisp.size() >= J * rr && fit.bOls.size() >= J * static_cast<std::size_t>(r) &&
                           static_cast<long>(fit.hasOls.size()) >= J && fit.tau.size() >= rr &&
                           static_cast<long>(fit.ssyUnit.size()) >= J &&
                           static_cast<long>(fit.olsResidualSS.size()) >= J &&
                           static_cast<long>(fit.residualSS.size()) >= J;
    std::vector<ResidualRow> rows;
    if (!perUnitOk) return rows;

    std::vector<double> mdist(J);
    for (long j = 0; j < J; ++j)
        mdist[j] = mahalanobis_distance(r, fit.tau.data(), fit.sigma2, &fit.postDisp[j * rr], &fit.u[j * r], fit.n[j]);
    const std::vector<double> chipct = chi_square_percentiles(r, mdist);

    std::vector<double> fv(Q);
    rows.resize(J);
    for (long j = 0; j < J; ++j) {
        ResidualRow& row = rows[j];
        if (mdm.numericIds) {
            if (j < static_cast<long>(mdm.numIds.size())) row.numId = mdm.numIds[j];
        } else if (j < static_cast<long>(mdm.charIds.size())) {
            row.charId = mdm.charIds[j];
        }
        std::vector<double>& v = row.values;
        const long nj = fit.n[j];
        v.push_back(static_cast<double>(nj));
        v.push_back(chipct[j]);
        v.push_back(mdist[j]);
        if (diagnostics) {
            v.push_back(nj > 1 ? log_sd_diagnostic(fit.ssyUnit[j] / (nj - 1.0), nj - 1.0) : RESID_MISSING);
            const double dfOls = static_cast<double>(nj - r);
            v.push_back(fit.hasOls[j] && dfOls >= 1.0 ? log_sd_diagnostic(fit.olsResidualSS[j] / dfOls, dfOls)
                                                      : RESID_MISSING);
            v.push_back(dfOls >= 1.0 ? log_sd_diagnostic(fit.residualSS[j] / dfOls, dfOls) : RESID_MISSING);
        }
        const double* u = &fit.u[j * r];
        for (int s = 0; s < r; ++s) v.push_back(u[s]);
        fitted_coefficients(fit, j, fv.data());
        for (int s = 0; s < r; ++s) {
            const int q = fit.randomCoef[s];
            const double b = fit.bOls[j * r + s];
            v.push_back(fit.hasOls[j] && b != MISSING_VALUE && q >= 0 && q < Q ? b - fv[q] : RESID_MISSING);
        }
        for (int q = 0; q < Q; ++q) v.push_back(fv[q]);
        std::vector<double> ec(fv);
        for (int s = 0; s < r; ++s)
            if (fit.randomCoef[s] >= 0 && fit.randomCoef[s] < Q) ec[fit.randomCoef[s]] += u[s];
        for (int q = 0; q < Q; ++q) v.push_back(ec[q]);
        const double* D = &fit.postDisp[j * rr];
        for (int a = 0; a < r; ++a)
            for (int b = 0; b <= a; ++b) v.push_back(fit.sigma2 * D[a * r + b]);
        if (secondDispersion) {
            const bool have = condDisp.size() >= J * rr;
            for (int a = 0; a < r; ++a)
                for (int b = 0; b <= a; ++b)
                    v.push_back(have ? fit.sigma2 * condDisp[j * rr + a * r + b] : RESID_MISSING);
        }
        for (int s : l2Slots) {
            const std::size_t at = static_cast<std::size_t>(j) * p2 + (s - 1);
            v.push_back(s == 0 ? 1.0 : (at < mdm.l2Data.size() ? mdm.l2Data[at] : MISSING_VALUE));
        }
    }
    return rows;
}
