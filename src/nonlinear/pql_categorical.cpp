// Multinomial and ordinal outcomes: the categories of the outcome and the
// working data of the generalised-logit and cumulative-logit models. Each
// record gives M-1 working values with a full weight matrix; its rows are
// transformed by a Cholesky factor so that the linear engine sees the record's
// weight matrix as ordinary rows.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/base.h"
#include "nonlinear/nonlinear.h"

namespace {

// Before this macro iteration a cumulative logit beyond +-30 is pulled back to +-2.
constexpr int CLAMP_BEFORE_MACRO = 8;
constexpr double ETA_CLAMP = 30.0;

[[noreturn]] void weight_matrix_singular() {
    std::printf("W(0) is singular or not positive-definite. Unable to continue\n");
    fatal_exit(20);
}

}  // namespace

void categorise_outcome(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile,
                        std::vector<double>& values, std::vector<long>& counts) {
    LinearFit fit;
    prepare_linear_fit(rs, model, mdm, nullptr, fit);
    Level1Reader rd = open_level1_reader(rs, model, mdm, fit, mdmFile);
    const long M = rs.numCategories;
    const std::string name = model.outcome < static_cast<int>(model.l1Names.size())
                                 ? std::string(model.l1Names[model.outcome].text, 8)
                                 : std::string();
    values.clear();
    counts.clear();
    std::vector<double> means, rec;
    for (long j = 0; j < fit.J; ++j) {
        const int nj = read_level1_unit(rd, means, rec);
        for (int i = 0; i < nj; ++i) {
            const double y = rec[static_cast<std::size_t>(i) * fit.p1 + fit.outcomeSlot - 1];
            auto at = std::lower_bound(values.begin(), values.end(), y);
            const std::size_t k = static_cast<std::size_t>(at - values.begin());
            if (at == values.end() || *at != y) {
                if (static_cast<long>(values.size()) >= M) {
                    std::printf("There are more than the specified %ld categories of %8.8s!\n", M, name.c_str());
                    fatal_exit(0);
                }
                values.insert(at, y);
                counts.insert(counts.begin() + static_cast<std::ptrdiff_t>(k), 0);
            }
            ++counts[k];
        }
    }
    release_linear_fit(fit);
    if (static_cast<long>(values.size()) < M) {
        std::printf("There are less than the specified %ld categories of %8.8s!\n", M, name.c_str());
        fatal_exit(0);
    }
    model.categoryLabels.clear();
    for (double v : values) {
        char label[64];
        std::snprintf(label, sizeof label, "%4.0f", v);
        std::string t(label);
        t.erase(0, t.find_first_not_of(' '));
        model.categoryLabels.push_back(t);
    }
}

int pql_working_ordinal(void* ctx, long j, int nj, const double* rec, int p1, const double* x, int Q,
                        std::vector<double>& rowsX, std::vector<double>& rowsY) {
    PqlState& st = *static_cast<PqlState*>(ctx);
    const int K = static_cast<int>(st.categories.size()) - 1;
    rowsX.assign(static_cast<std::size_t>(nj) * K * Q, 0.0);
    rowsY.assign(static_cast<std::size_t>(nj) * K, 0.0);
    std::vector<double> X(static_cast<std::size_t>(K) * Q), z(K), P(K), C(K * K), R(K * K);
    for (int i = 0; i < nj; ++i) {
        const double y = rec[static_cast<std::size_t>(i) * p1 + st.outcomeSlot - 1];
        const int c = static_cast<int>(std::lower_bound(st.categories.begin(), st.categories.end(), y) -
                                       st.categories.begin());
        ++st.records;
        // The design of logit m: the record's row with the indicator of its threshold.
        for (int m = 0; m < K; ++m) {
            double* xm = &X[static_cast<std::size_t>(m) * Q];
            std::copy(x + static_cast<std::size_t>(i) * Q, x + static_cast<std::size_t>(i + 1) * Q, xm);
            for (std::size_t t = 0; t < st.thresholdCoef.size(); ++t) xm[st.thresholdCoef[t]] = m == static_cast<int>(t) + 1;
            double eta = st.linearisedAt == PqlPhase::FirstLinear ? st.startEta[m] : pql_linear_predictor(st, j, xm);
            if (st.macroIteration < CLAMP_BEFORE_MACRO && std::fabs(eta) > ETA_CLAMP) eta = eta > 0.0 ? 2.0 : -2.0;
            P[m] = 1.0 / (1.0 + std::exp(-eta));
            const double ym = c <= m ? 1.0 : 0.0;
            z[m] = eta + (ym - P[m]) / (P[m] * (1.0 - P[m]));
        }
        // Exact log-likelihood of the record's category.
        const double upper = c < K ? P[c] : 1.0, lower = c > 0 ? P[c - 1] : 0.0;
        st.logLik += std::log(upper - lower);
        // Covariance of the working values, 1/((1 - P_u) P_v) for u <= v, and its Cholesky factor.
        for (int u = 0; u < K; ++u)
            for (int v = u; v < K; ++v) C[u * K + v] = C[v * K + u] = 1.0 / ((1.0 - P[u]) * P[v]);
        for (int a = 0; a < K; ++a)
            for (int b = 0; b <= a; ++b) {
                double sum = C[a * K + b];
                for (int k = 0; k < b; ++k) sum -= R[a * K + k] * R[b * K + k];
                if (a == b) {
                    if (!(sum > 0.0) || !std::isfinite(sum)) weight_matrix_singular();
                    R[a * K + a] = std::sqrt(sum);
                } else {
                    R[a * K + b] = sum / R[b * K + b];
                }
            }
        // Rows R^-1 X and R^-1 z by forward substitution.
        double* outX = &rowsX[static_cast<std::size_t>(i) * K * Q];
        double* outY = &rowsY[static_cast<std::size_t>(i) * K];
        for (int a = 0; a < K; ++a) {
            double sy = z[a];
            for (int k = 0; k < a; ++k) sy -= R[a * K + k] * outY[k];
            outY[a] = sy / R[a * K + a];
            for (int q = 0; q < Q; ++q) {
                double sx = X[static_cast<std::size_t>(a) * Q + q];
                for (int k = 0; k < a; ++k) sx -= R[a * K + k] * outX[static_cast<std::size_t>(k) * Q + q];
                outX[static_cast<std::size_t>(a) * Q + q] = sx / R[a * K + a];
            }
        }
    }
    return nj * K;
}

int pql_working_multinomial(void* ctx, long j, int nj, const double* rec, int p1, const double* x, int Q,
                            std::vector<double>& rowsX, std::vector<double>& rowsY) {
    PqlState& st = *static_cast<PqlState*>(ctx);
    const LinearFit& fit = *st.fit;
    const int K = static_cast<int>(st.categories.size()) - 1;
    rowsX.assign(static_cast<std::size_t>(nj) * K * Q, 0.0);
    rowsY.assign(static_cast<std::size_t>(nj) * K, 0.0);
    std::vector<double> X(static_cast<std::size_t>(K) * Q), eta(K), p(K), L(K * K), t(K);
    for (int i = 0; i < nj; ++i) {
        const double y = rec[static_cast<std::size_t>(i) * p1 + st.outcomeSlot - 1];
        const int c = static_cast<int>(std::lower_bound(st.categories.begin(), st.categories.end(), y) -
                                       st.categories.begin());
        ++st.records;
        // Logit m uses the coefficients of equation set m only.
        double denom = 1.0;
        for (int m = 0; m < K; ++m) {
            double* xm = &X[static_cast<std::size_t>(m) * Q];
            for (int q = 0; q < Q; ++q) xm[q] = fit.coefSet[q] == m ? x[static_cast<std::size_t>(i) * Q + q] : 0.0;
            double e = st.linearisedAt == PqlPhase::FirstLinear ? st.startEta[m] : pql_linear_predictor(st, j, xm);
            if (st.macroIteration < CLAMP_BEFORE_MACRO && std::fabs(e) > ETA_CLAMP) e = e > 0.0 ? 2.0 : -2.0;
            eta[m] = e;
            denom += std::exp(e);
        }
        for (int m = 0; m < K; ++m) p[m] = std::exp(eta[m]) / denom;
        st.logLik += c < K ? std::log(p[c]) : -std::log(denom);
        // W = diag(p) - p p' = L L'.
        for (int a = 0; a < K; ++a)
            for (int b = 0; b <= a; ++b) {
                double sum = (a == b ? p[a] : 0.0) - p[a] * p[b];
                for (int k = 0; k < b; ++k) sum -= L[a * K + k] * L[b * K + k];
                if (a == b) {
                    if (!(sum > 0.0) || !std::isfinite(sum)) weight_matrix_singular();
                    L[a * K + a] = std::sqrt(sum);
                } else {
                    L[a * K + b] = sum / L[b * K + b];
                }
            }
        // z = eta + W^-1 (y - p), so L'z = L'eta + L^-1 (y - p); the rows are L'X.
        for (int a = 0; a < K; ++a) {
            double s = (c == a ? 1.0 : 0.0) - p[a];
            for (int k = 0; k < a; ++k) s -= L[a * K + k] * t[k];
            t[a] = s / L[a * K + a];
        }
        double* outX = &rowsX[static_cast<std::size_t>(i) * K * Q];
        double* outY = &rowsY[static_cast<std::size_t>(i) * K];
        for (int a = 0; a < K; ++a) {
            double sy = t[a];
            for (int m = a; m < K; ++m) {
                const double l = L[m * K + a];
                sy += l * eta[m];
                for (int q = 0; q < Q; ++q)
                    outX[static_cast<std::size_t>(a) * Q + q] += l * X[static_cast<std::size_t>(m) * Q + q];
            }
            outY[a] = sy;
        }
    }
    return nj * K;
}
