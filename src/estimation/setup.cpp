// Analysis data set-up: the model layout, the level-2 design, the one pass over
// the level-1 records with deletion, centring and weights, the per-unit
// cross-products and OLS fits, and the per-unit record stores.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/base.h"
#include "estimation/estimation.h"
#include "mdm/mdm.h"
#include "model/model.h"
#include "numeric/numeric.h"

namespace {

// A unit whose level-1 predictor matrix has a larger condition figure has no OLS estimate.
constexpr double MAX_CONDITION = 1000000.0;
// Bytes the per-unit blocks may take in memory (scratch files hold the rest).
constexpr double MAX_UNIT_BYTES = 16.0 * 1024 * 1024 * 1024;

// Stops the run after a weight or known variance at or below zero.
[[noreturn]] void weights_not_positive(FILE* out, const char* who) {
    if (out != nullptr && out != stdout) std::fprintf(out, "%sweights must be positive!\n", who);
    std::printf("%sweights must be positive!\n", who);
    fatal_exit(0);
}


// Writes a message to the output file (when it is not the console) and the console.
void both(FILE* out, const char* text) {
    if (out != nullptr && out != stdout) std::fputs(text, out);
    std::fputs(text, stdout);
}

// Stops the run with the count-data message; `which` names the count.
[[noreturn]] void count_out_of_range(FILE* out, const char* which) {
    both(out, "\nError: the outcome must be greater than or equal to 0.0, and the\n");
    both(out, which);
    both(out, " must be greater than 0.0\n");
    fatal_exit(0);
}

[[noreturn]] void outcome_above_trials(FILE* out) {
    both(out, "\nError: the outcome must be less than or equal to the number of trials.\n");
    fatal_exit(0);
}

// The random-part columns of a Q x Q matrix (row stride Q) as an r x r matrix.
void random_block(const LinearFit& fit, const double* full, double* out) {
    for (int a = 0; a < fit.r; ++a)
        for (int b = 0; b < fit.r; ++b)
            out[a * fit.r + b] = full[fit.randomCoef[a] * fit.Q + fit.randomCoef[b]];
}

// Name text of a slot as printed with "%8.8s".
std::string slot_name(const NameSlot& s) {
    return std::string(s.text, strnlen(s.text, 12));
}

}  // namespace

// ---- Per-unit record stores ----------------------------------------------------

void store_rewind(UnitStore& s) {
    s.pos = 0;
    if (!s.inMemory && s.file != nullptr) std::fseek(s.file, 0L, SEEK_SET);
}

void store_write(UnitStore& s, const double* v, std::size_t n) {
    if (s.inMemory) {
        s.mem.insert(s.mem.end(), v, v + n);
    } else {
        write_vector(v, n * sizeof(double), s.file);
    }
}

bool store_read(UnitStore& s, double* v, std::size_t n) {
    if (s.inMemory) {
        if (s.pos + n > s.mem.size()) return false;
        std::memcpy(v, s.mem.data() + s.pos, n * sizeof(double));
        s.pos += n;
        return true;
    }
    return read_vector(v, n * sizeof(double), s.file) == 1;
}

void store_write_sym(UnitStore& s, int n, const double* m, double* work) {
    if (n <= 0) return;
    if (!s.inMemory) {
        dwritemat(n, m, work, s.file, n);
        return;
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) s.mem.push_back(m[i * n + j]);
}

bool store_read_sym(UnitStore& s, int n, double* m, double* work) {
    if (n <= 0) return true;
    const std::size_t len = static_cast<std::size_t>(n) * (n + 1) / 2;
    if (!store_read(s, work, len)) return false;
    std::size_t k = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            m[i * n + j] = work[k];
            m[j * n + i] = work[k];
            ++k;
        }
    return true;
}

namespace {

void open_store(UnitStore& s, bool inMemory) {
    s = UnitStore{};
    s.inMemory = inMemory;
    s.open = true;
    if (!inMemory) s.file = open_scratch();
}

void close_store(UnitStore& s) {
    if (s.open && !s.inMemory && s.file != nullptr) close_scratch(s.file);
    s = UnitStore{};
}

}  // namespace

void release_linear_fit(LinearFit& fit) {
    for (UnitStore* s : {&fit.storeA, &fit.storeB, &fit.storeC, &fit.storeD, &fit.storeE, &fit.storeG})
        close_store(*s);
}

// ---- Layout and level-2 design -------------------------------------------------

void prepare_linear_fit(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm,
                        FILE* out, LinearFit& fit) {
    release_linear_fit(fit);
    fit = LinearFit{};
    fit.p1 = mdm.numL1Vars;
    fit.p2 = mdm.numL2Vars;
    fit.J = mdm.numGroups;
    fit.Nmdm = mdm.numL1Records;
    fit.outcomeSlot = model.outcome;
    fit.fullML = rs.fullML;
    fit.sigma2Fixed = rs.fixedSigma2 != 0.0;
    fit.inMemory = rs.inMemory;
    fit.weighted = rs.level1Weight > 0 || rs.level2Weight > 0;
    fit.coefLetter = rs.withinPersons ? 'P' : 'B';

    // Coefficients in model order: the slots the model marks as terms, the intercept included.
    // Ordinal thresholds are terms in the slots after the data variables.
    const int slots = rs.ordinal && rs.distribution == 3 ? model.numL1Slots : std::min(model.numL1Slots, fit.p1 + 1);
    // A multinomial model has one equation set per logit, set after set.
    const int sets = rs.distribution == 3 && !rs.ordinal ? std::max(1, model.numSets) : 1;
    for (int set = 0; set < sets; ++set)
        for (int s = 0; s < slots; ++s) {
            const std::size_t cell = static_cast<std::size_t>(model.at(set, s));
            if (cell < model.l1Role.size() && model.l1Role[cell] == 1) {
                fit.coefSlot.push_back(s);
                fit.coefSet.push_back(set);
            }
        }
    fit.Q = static_cast<int>(fit.coefSlot.size());
    const int firstNumber = model.noIntercept ? 1 : 0;
    for (int q = 0; q < fit.Q; ++q) {
        const int slot = fit.coefSlot[q], set = fit.coefSet[q];
        const std::size_t cell = static_cast<std::size_t>(model.at(set, slot));
        const bool random = !(cell < model.fixedEffectOnly.size() && model.fixedEffectOnly[cell] != 0);
        fit.coefRandom.push_back(random ? 1 : 0);
        if (random) {
            fit.randomCoef.push_back(q);
            fit.randomNames.push_back(slot < static_cast<int>(model.l1Names.size())
                                          ? slot_name(model.l1Names[slot])
                                          : std::string());
            fit.randomLabels.push_back(std::to_string(q + firstNumber));
        }
        fit.coefFirstGamma.push_back(static_cast<int>(fit.gammaCoef.size()));
        int count = 0;
        for (int k = 0; k < model.numL2Slots; ++k) {
            const std::size_t at = static_cast<std::size_t>(model.pred(set, slot, k));
            if (at >= model.l2Predictors.size()) break;
            const int l2 = model.l2Predictors[at];
            if (l2 == NO_ENTRY || l2 < 0 || l2 > fit.p2) break;
            fit.gammaCoef.push_back(q);
            fit.gammaL2Slot.push_back(l2);
            ++count;
        }
        fit.coefNumGammas.push_back(count);
    }
    fit.r = static_cast<int>(fit.randomCoef.size());
    fit.F = static_cast<int>(fit.gammaCoef.size());
    if (fit.F == 0) fatal_exit(19);

    // Constraint groups: the first gamma of each group is estimated, the others are tied to it.
    fit.gammaEst.assign(fit.F, -1);
    fit.gammaConstrained.assign(fit.F, 0);
    fit.Fe = 0;
    for (int k = 0; k < fit.F; ++k) {
        const int group = k < static_cast<int>(model.constraintGroup.size()) ? model.constraintGroup[k] : 0;
        if (group > 0) {
            fit.gammaConstrained[k] = 1;
            for (int l = 0; l < k; ++l)
                if (model.constraintGroup[l] == group) {
                    fit.gammaEst[k] = fit.gammaEst[l];
                    break;
                }
        }
        if (fit.gammaEst[k] < 0) fit.gammaEst[k] = fit.Fe++;
    }

    // Level-2 design: intercept column, then the level-2 values, grand-mean centred where asked.
    const long J = fit.J;
    const int w2 = fit.p2 + 1;
    fit.l2Design.assign(static_cast<std::size_t>(J) * w2, 0.0);
    for (long j = 0; j < J; ++j) {
        double* row = &fit.l2Design[static_cast<std::size_t>(j) * w2];
        row[0] = 1.0;
        for (int s = 1; s <= fit.p2; ++s) {
            double v = mdm.l2Data[static_cast<std::size_t>(j) * fit.p2 + (s - 1)];
            if (s < static_cast<int>(model.l2Centering.size()) && model.l2Centering[s] == 2)
                v -= mdm.l2Means[s - 1];
            row[s] = v;
        }
    }

    // Level-2 weights, normalised to mean 1.
    fit.unitWeight.assign(J, 1.0);
    if (rs.level2Weight > 0 && rs.level2Weight <= fit.p2 && J > 0) {
        double sum = 0.0;
        for (long j = 0; j < J; ++j) {
            const double w = mdm.l2Data[static_cast<std::size_t>(j) * fit.p2 + (rs.level2Weight - 1)];
            if (!(w > 0.0)) weights_not_positive(out, "Level-2 ");
            fit.unitWeight[j] = w;
            sum += w;
        }
        const double mean = sum / static_cast<double>(J);
        for (long j = 0; j < J; ++j) fit.unitWeight[j] /= mean;
    }

    const int r = fit.r, Fe = fit.Fe;
    // The per-unit blocks kept in memory; a model too large for them ends as out of memory.
    const double perUnit = static_cast<double>(Fe) * Fe + 2.0 * Fe + 2.0 * r * r + 4.0 * r + 8.0;
    if (perUnit * static_cast<double>(J) * sizeof(double) > MAX_UNIT_BYTES) fatal_exit(3);
    fit.n.assign(J, 0);
    fit.yyUnit.assign(J, 0.0);
    fit.ssyUnit.assign(J, 0.0);
    fit.hasOls.assign(J, 0);
    fit.bOls.assign(static_cast<std::size_t>(J) * r, 0.0);
    fit.xyRandom.assign(static_cast<std::size_t>(J) * r, 0.0);
    fit.wxxw.assign(static_cast<std::size_t>(J) * Fe * Fe, 0.0);
    fit.wxy.assign(static_cast<std::size_t>(J) * Fe, 0.0);
    fit.olsResidualSS.assign(J, 0.0);
    fit.u.assign(static_cast<std::size_t>(J) * r, 0.0);
    fit.postDisp.assign(static_cast<std::size_t>(J) * r * r, 0.0);
    fit.residualSS.assign(J, 0.0);
    fit.unitScore.assign(static_cast<std::size_t>(J) * Fe, 0.0);

    const bool someFixed = fit.r < fit.Q;
    if (r > 0) {
        open_store(fit.storeA, fit.inMemory);
        open_store(fit.storeB, fit.inMemory);
        open_store(fit.storeC, fit.inMemory);
        open_store(fit.storeD, fit.inMemory);
    }
    if (someFixed) {
        open_store(fit.storeE, fit.inMemory);
        open_store(fit.storeG, fit.inMemory);
    }
}

// ---- The set-up pass ---------------------------------------------------------------

void setup_pass(const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                FILE* out, LinearFit& fit, const double* workY, const double* workMultiplier) {
    const int p1 = fit.p1, Q = fit.Q, r = fit.r, Fe = fit.Fe;
    const long J = fit.J;
    const int w2 = fit.p2 + 1;
    const bool someFixed = r < Q;
    const bool rewrite = fit.rewrite.unit != nullptr;
    const bool nonlinearPass = workY != nullptr || workMultiplier != nullptr || rewrite;

    for (UnitStore* s : {&fit.storeA, &fit.storeB, &fit.storeC, &fit.storeD, &fit.storeE, &fit.storeG}) {
        if (!s->open) continue;
        if (s->inMemory) {
            s->mem.clear();
            s->pos = 0;
        } else {
            store_rewind(*s);
        }
    }

    const bool countData = (rs.distribution == 1 || rs.distribution == 2) && model.trialsVar > 0 &&
                           model.trialsVar <= p1;
    const bool l1Weight = rs.level1Weight >= 1 && rs.level1Weight <= p1;
    const bool known = rs.precisionVar >= 1 && rs.precisionVar <= p1;
    const bool unitWeightFromL1 = l1Weight && rs.level2Weight <= 0;
    const double grandWeight = l1Weight ? mdm.l1Means[rs.level1Weight - 1] : 1.0;

    Level1Reader reader = open_level1_reader(rs, model, mdm, fit, mdmFile);
    std::vector<double> means(p1), rec, centre(Q), x(Q), xx(Q * Q), xy(Q), xxw(Q * Fe), W(Q * Fe);
    std::vector<double> unitX, rowsX, rowsY;  // a non-linear run's working unit
    std::vector<double> A(r * r), V(r * r), B(Fe * r), b(r), xyR(r), wxxwJ(Fe * Fe), wxyJ(Fe);
    std::vector<double> work(std::max(3, std::max(Q * (Q + 1) / 2, r * (r + 1) / 2)) + 8);
    // Pooled within-unit sums of the fixed level-1 coefficients, random part partialled out.
    const int nf = Q - r;
    std::vector<double> fixedXX(nf * nf, 0.0), fixedXy(nf, 0.0);
    std::vector<int> fixedCoef;
    for (int q = 0; q < Q; ++q)
        if (!fit.coefRandom[q]) fixedCoef.push_back(q);

    fit.SWXXW.assign(Fe * Fe, 0.0);
    fit.SWXy.assign(Fe, 0.0);
    fit.sumVinv.assign(r * r, 0.0);
    fit.yy = fit.yyOls = fit.sumBXy = fit.fixedShareSS = 0.0;
    fit.N = fit.Jo = fit.No = fit.conditionFailures = 0;
    long recordIndex = 0;

    for (long j = 0; j < J; ++j) {
        // 1-2. The unit's records after run-time deletion.
        const int nj = read_level1_unit(reader, means, rec);
        fit.n[j] = nj;
        fit.N += nj;

        // 3. Centres of the predictors.
        level1_centres(fit, model, mdm, means.data(), centre.data());

        // 4-5. Unit weight and record multipliers from level-1 weights and known variances.
        double unitMeanWeight = 1.0;
        if (l1Weight) {
            for (int i = 0; i < nj; ++i)
                if (!(rec[static_cast<std::size_t>(i) * p1 + rs.level1Weight - 1] > 0.0))
                    weights_not_positive(out, "Level-1 ");
            unitMeanWeight = means[rs.level1Weight - 1];
            if (unitWeightFromL1) fit.unitWeight[j] = grandWeight != 0.0 ? unitMeanWeight / grandWeight : 1.0;
        }
        if (known)
            for (int i = 0; i < nj; ++i)
                if (!(rec[static_cast<std::size_t>(i) * p1 + rs.precisionVar - 1] > 0.0))
                    weights_not_positive(out, "Variance known");

        // A non-linear run takes the unit's working outcome and weights from its records.
        int rows = nj;
        if (rewrite) {
            unitX.resize(static_cast<std::size_t>(nj) * Q);
            for (int i = 0; i < nj; ++i)
                for (int q = 0; q < Q; ++q) {
                    const int s = fit.coefSlot[q];
                    unitX[static_cast<std::size_t>(i) * Q + q] =
                        s == 0 ? 1.0 : s > p1 ? 0.0 : rec[static_cast<std::size_t>(i) * p1 + s - 1] - centre[q];
                }
            rows = fit.rewrite.unit(fit.rewrite.ctx, j, nj, rec.data(), p1, unitX.data(), Q, rowsX, rowsY);
        }

        // 6-7. Design rows, outcome and cross-products.
        std::fill(xx.begin(), xx.end(), 0.0);
        std::fill(xy.begin(), xy.end(), 0.0);
        double yyj = 0.0, sumY = 0.0;
        for (int i = 0; i < rows; ++i, ++recordIndex) {
            if (rewrite) {
                // A user's level-1 weight or known variance scales every row of its record.
                double m = 1.0;
                if (l1Weight || known) {
                    const double* row = &rec[static_cast<std::size_t>(i / std::max(1, rows / std::max(1, nj))) * p1];
                    m = std::sqrt(l1Weight ? row[rs.level1Weight - 1] / unitMeanWeight : 1.0) /
                        std::sqrt(known ? row[rs.precisionVar - 1] : 1.0);
                }
                const double y = m * rowsY[i];
                for (int q = 0; q < Q; ++q) x[q] = m * rowsX[static_cast<std::size_t>(i) * Q + q];
                const double* xr = x.data();
                yyj += y * y;
                sumY += y;
                for (int a = 0; a < Q; ++a) {
                    xy[a] += xr[a] * y;
                    for (int c = 0; c <= a; ++c) xx[a * Q + c] += xr[a] * xr[c];
                }
                continue;
            }
            const double* row = &rec[static_cast<std::size_t>(i) * p1];
            double y = workY != nullptr ? workY[recordIndex] : row[fit.outcomeSlot - 1];
            if (countData) {
                const double trials = row[model.trialsVar - 1];
                const char* which = rs.distribution == 1 ? "number of trials" : "exposure";
                if (y < 0.0 || trials <= 0.0) count_out_of_range(out, which);
                if (rs.distribution == 1 && y > trials) outcome_above_trials(out);
                y /= trials;
            }
            for (int q = 0; q < Q; ++q) {
                const int s = fit.coefSlot[q];
                x[q] = s == 0 ? 1.0 : row[s - 1] - centre[q];
            }
            if (l1Weight || known) {
                const double a = l1Weight ? row[rs.level1Weight - 1] / unitMeanWeight : 1.0;
                const double v = known ? row[rs.precisionVar - 1] : 1.0;
                const double m = std::sqrt(a) / std::sqrt(v);
                y *= m;
                for (int q = 0; q < Q; ++q) x[q] *= m;
            }
            if (workMultiplier != nullptr) {
                const double m = workMultiplier[recordIndex];
                y *= m;
                for (int q = 0; q < Q; ++q) x[q] *= m;
            }
            yyj += y * y;
            sumY += y;
            for (int a = 0; a < Q; ++a) {
                const double xa = x[a];
                xy[a] += xa * y;
                for (int c = 0; c <= a; ++c) xx[a * Q + c] += xa * x[c];
            }
        }
        for (int a = 0; a < Q; ++a)
            for (int c = 0; c < a; ++c) xx[c * Q + a] = xx[a * Q + c];
        fit.yyUnit[j] = yyj;
        fit.ssyUnit[j] = nj > 0 ? yyj - sumY * sumY / nj : 0.0;

        // 8. W_j, then X'XW, W'X'XW and W'X'y.
        std::fill(W.begin(), W.end(), 0.0);
        const double* l2 = &fit.l2Design[static_cast<std::size_t>(j) * w2];
        for (int g = 0; g < fit.F; ++g)
            W[fit.gammaCoef[g] * Fe + fit.gammaEst[g]] += l2[fit.gammaL2Slot[g]];
        unit_mul(Q, Q, Fe, xx.data(), W.data(), xxw.data());
        unit_mul_tn(Fe, Q, Fe, W.data(), xxw.data(), wxxwJ.data());
        unit_mul_tn(Fe, Q, 1, W.data(), xy.data(), wxyJ.data());
        std::copy(wxxwJ.begin(), wxxwJ.end(), fit.wxxw.begin() + static_cast<std::ptrdiff_t>(j) * Fe * Fe);
        std::copy(wxyJ.begin(), wxyJ.end(), fit.wxy.begin() + static_cast<std::ptrdiff_t>(j) * Fe);
        if (!fit.weighted) {
            matadd(Fe, Fe, fit.SWXXW.data(), wxxwJ.data(), fit.SWXXW.data());
            matadd(Fe, 1, fit.SWXy.data(), wxyJ.data(), fit.SWXy.data());
            fit.yy += yyj;
        }
        if (someFixed) {
            store_write(fit.storeE, xy.data(), Q);
            store_write_sym(fit.storeG, Q, xx.data(), work.data());
        }
        if (r == 0) continue;

        // 9. The random part: A (r x r), B (Fe x r), X'y.
        random_block(fit, xx.data(), A.data());
        for (int k = 0; k < Fe; ++k)
            for (int s = 0; s < r; ++s) B[k * r + s] = xxw[fit.randomCoef[s] * Fe + k];
        for (int s = 0; s < r; ++s) xyR[s] = xy[fit.randomCoef[s]];
        std::copy(xyR.begin(), xyR.end(), fit.xyRandom.begin() + static_cast<std::ptrdiff_t>(j) * r);
        store_write_sym(fit.storeA, r, A.data(), work.data());
        store_write(fit.storeB, B.data(), static_cast<std::size_t>(Fe) * r);

        // 10. The unit's OLS regression on its random coefficients.
        double cond = BIG;
        bool ok = nj > 0 && sym_inverse(r, A.data(), V.data(), work.data(), r, r) == 0;
        if (ok) {
            ok = pd_check(1, r, A.data(), &cond, r) == 0;
            if (ok && cond > MAX_CONDITION) {
                ok = false;
                ++fit.conditionFailures;
            }
        }
        double* bj = &fit.bOls[static_cast<std::size_t>(j) * r];
        if (ok) {
            unit_mul(r, r, 1, V.data(), xyR.data(), b.data());
            std::copy(b.begin(), b.end(), bj);
            double bxy = 0.0;
            for (int s = 0; s < r; ++s) bxy += b[s] * xyR[s];
            fit.hasOls[j] = 1;
            ++fit.Jo;
            fit.No += nj;
            fit.yyOls += yyj;
            fit.sumBXy += bxy;
            fit.olsResidualSS[j] = yyj - bxy;
            matadd(r, r, fit.sumVinv.data(), V.data(), fit.sumVinv.data());
            // Fixed coefficients: their columns with the random part partialled out.
            if (nf > 0) {
                for (int a = 0; a < nf; ++a) {
                    const int fa = fixedCoef[a];
                    // X_a'y - X_a'Z V Z'y and X_a'X_c - X_a'Z V Z'X_c.
                    double cy = xy[fa];
                    for (int s = 0; s < r; ++s)
                        for (int t = 0; t < r; ++t)
                            cy -= xx[fa * Q + fit.randomCoef[s]] * V[s * r + t] * xyR[t];
                    fixedXy[a] += cy;
                    for (int c = 0; c < nf; ++c) {
                        const int fc = fixedCoef[c];
                        double cx = xx[fa * Q + fc];
                        for (int s = 0; s < r; ++s)
                            for (int t = 0; t < r; ++t)
                                cx -= xx[fa * Q + fit.randomCoef[s]] * V[s * r + t] * xx[fit.randomCoef[t] * Q + fc];
                        fixedXX[a * nf + c] += cx;
                    }
                }
            }
        } else {
            std::fill(bj, bj + r, 0.0);
            bj[0] = MISSING_VALUE;
            std::fill(V.begin(), V.end(), 0.0);
            V[0] = MISSING_VALUE;
            fit.olsResidualSS[j] = 0.0;
        }
        store_write_sym(fit.storeD, r, V.data(), work.data());
    }

    // 11. Weighted pooled sums from the kept per-unit blocks.
    if (fit.weighted && J > 0) {
        double sum = 0.0;
        for (long j = 0; j < J; ++j) sum += fit.unitWeight[j];
        const double mean = sum / static_cast<double>(J);
        for (long j = 0; j < J; ++j) {
            if (mean > 0.0) fit.unitWeight[j] /= mean;
            const double w = fit.unitWeight[j];
            const double* h = &fit.wxxw[static_cast<std::size_t>(j) * Fe * Fe];
            const double* g = &fit.wxy[static_cast<std::size_t>(j) * Fe];
            for (int k = 0; k < Fe * Fe; ++k) fit.SWXXW[k] += w * h[k];
            for (int k = 0; k < Fe; ++k) fit.SWXy[k] += w * g[k];
            fit.yy += w * fit.yyUnit[j];
        }
    }

    // Share of the residual sum of squares taken by the fixed level-1 coefficients.
    if (nf > 0 && r > 0) {
        std::vector<double> inv(nf * nf), w(std::max(3, nf * (nf + 1) / 2));
        if (sym_inverse(nf, fixedXX.data(), inv.data(), w.data(), nf, nf) == 0) {
            double c = 0.0;
            for (int a = 0; a < nf; ++a)
                for (int d = 0; d < nf; ++d) c += fixedXy[a] * inv[a * nf + d] * fixedXy[d];
            fit.fixedShareSS = c;
        }
    }

    if (r == 0) return;

    // 12. Some unit must have an OLS estimate.
    if (fit.Jo == 0) fatal_exit(16);

    if (nonlinearPass || out == nullptr) return;

    // 13. The OLS report.
    if (rs.fullOutput) {
        std::fprintf(out, "\f Level-1 OLS regressions\n");
        report_rule(out, 23);
        std::fprintf(out, "\n Level-2 Unit ");
        for (int s = 0; s < r; ++s) {
            const char* name = fit.randomNames[s].c_str();
            if (fit.coefSlot[fit.randomCoef[s]] == 0) std::fprintf(out, "    %8.8s    ", name);
            else std::fprintf(out, "%8.8s slope  ", name);
        }
        std::fprintf(out, "\n");
        report_rule(out, 78);
        long shown = 0;
        for (long j = 0; j < J && shown < rs.olsUnitsShown; ++j) {
            if (!fit.hasOls[j]) continue;
            ++shown;
            if (mdm.numericIds) std::fprintf(out, "%12.0lf", j < static_cast<long>(mdm.numIds.size()) ? mdm.numIds[j] : 0.0);
            else std::fprintf(out, "%12.12s ", j < static_cast<long>(mdm.charIds.size()) ? mdm.charIds[j].text : "");
            for (int s = 0; s < r; ++s) std::fprintf(out, "%12.5lf    ", fit.bOls[static_cast<std::size_t>(j) * r + s]);
            std::fprintf(out, "\n");
        }

        // 14. Notes on units without estimates and on conditioning.
        if (fit.Jo < J)
            std::fprintf(out,
                         "\n\nNote: OLS level-1 coefficients were computed for only %ld of %ld units that had\n"
                         "      sufficient data for estimation.\n",
                         fit.Jo, J);
        if (fit.conditionFailures * 2 > J)
            std::fprintf(out,
                         "Note: %ld of %ld units failed the conditioning check for inversion of the\n"
                         "level-1 predictor matrix.  You may wish to modify the metrics of one or more\n"
                         "of the level-1 predictors to reduce collinearity and ill-conditioning.\n",
                         fit.conditionFailures, J);
    }

    // 15. The average OLS coefficients.
    std::fprintf(out, "\n\n");
    for (int s = 0; s < r; ++s) {
        double sum = 0.0;
        for (long j = 0; j < J; ++j)
            if (fit.hasOls[j]) sum += fit.bOls[static_cast<std::size_t>(j) * r + s];
        std::fprintf(out, "The average OLS level-1 coefficient for %8.8s = %12.5lf\n", fit.randomNames[s].c_str(),
                     sum / static_cast<double>(fit.Jo));
    }
}
