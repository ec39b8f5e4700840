// The command-file writer: turns the run settings and the model back into
// keyword lines that the reader turns into the same settings again.
#include <cstdio>
#include <string>

#include "mdm/mdm.h"
#include "model/model.h"

namespace {

// A name as the command file spells it: the 8-character field without blanks.
std::string trimmed(const NameSlot& slot) {
    std::string s;
    int i = 0;
    while (i < 8 && slot.text[i] == ' ') ++i;
    for (; i < 8 && slot.text[i] != ' ' && slot.text[i] != '\0'; ++i) s.push_back(slot.text[i]);
    return s;
}

// Level-1 name of a slot; the model's table carries the ordinal thresholds.
std::string l1_name(const ModelSpec& model, const MdmHeader& mdm, int slot) {
    if (slot >= 0 && slot < (int)model.l1Names.size()) return trimmed(model.l1Names[slot]);
    if (slot >= 0 && slot < (int)mdm.l1Names.size()) return trimmed(mdm.l1Names[slot]);
    return "";
}

std::string l2_name(const MdmHeader& mdm, int slot) {
    if (slot >= 0 && slot < (int)mdm.l2Names.size()) return trimmed(mdm.l2Names[slot]);
    return "";
}

// Safe read of a flat table cell; missing cells read as `otherwise`.
int cell(const std::vector<int>& v, int index, int otherwise = 0) {
    return index >= 0 && index < (int)v.size() ? v[index] : otherwise;
}

// Suffix of NUMIT and MACROIT that records what to do at the iteration limit.
const char* limit_suffix(int atIterationLimit) {
    if (atIterationLimit == 0) return ",N";
    if (atIterationLimit == 1) return ",Y";
    return "";
}

// Names of the marked slots of a flag table, comma-separated.
template <typename NameOf>
std::string marked_names(const std::vector<int>& flags, int first, int count, NameOf name_of) {
    std::string s;
    for (int i = 0; i < count; ++i) {
        if (cell(flags, first + i) == 0) continue;
        if (!s.empty()) s += ",";
        s += name_of(i);
    }
    return s;
}

void write_equations(FILE* f, bool preRun, const RunSettings& rs, const ModelSpec& model,
                     const MdmHeader& mdm) {
    bool nonLinear = rs.distribution != 0;
    int sets = rs.ordinal ? 1 : model.numSets;
    for (int s = 0; s < sets; ++s) {
        // A V-known file has no outcome: its LEVEL1 line only names the statistics.
        if (mdm.isVKnown)
            std::fputs("LEVEL1:", f);
        else
            std::fprintf(f, "LEVEL1:%s=", l1_name(model, mdm, model.outcome).c_str());
        for (int slot = 0; slot < model.numL1Slots; ++slot) {
            if (cell(model.l1Role, model.at(s, slot)) != 1) continue;
            std::fputs(l1_name(model, mdm, slot).c_str(), f);
            // The non-linear analysis centres its working data itself, so the
            // post-run form leaves the centering out.
            int centering = cell(model.l1Centering, slot);
            if (centering != 0 && slot != 0 && (!nonLinear || preRun)) {
                std::fputs(centering == 1 ? ",1" : ",2", f);
            }
            std::fputs("+", f);
        }
        std::fputs("RANDOM\n", f);

        for (int slot = 0; slot < model.numL1Slots; ++slot) {
            if (cell(model.l1Role, model.at(s, slot)) != 1) continue;
            std::fprintf(f, "LEVEL2:%s=", l1_name(model, mdm, slot).c_str());
            std::string preds;
            for (int k = 0; k < model.numL2Slots; ++k) {
                int p = cell(model.l2Predictors, model.pred(s, slot, k), NO_ENTRY);
                if (p == NO_ENTRY) break;
                if (!preds.empty()) preds += "+";
                preds += l2_name(mdm, p);
                if (p != 0 && cell(model.l2Centering, p) == 2) preds += ",2";
            }
            if (preds.empty()) {
                std::fputs("RANDOM\n", f);
                continue;
            }
            std::fputs(preds.c_str(), f);
            if (cell(model.fixedEffectOnly, model.at(s, slot)) == 0) std::fputs("+RANDOM", f);
            std::fputs("/", f);
            std::string cands;
            for (int k = 0; k < 12; ++k) {
                int c = cell(model.l2Candidates, model.cand(s, slot, k), NO_ENTRY);
                if (c == NO_ENTRY) break;
                if (!cands.empty()) cands += ",";
                cands += l2_name(mdm, c);
            }
            std::fprintf(f, "%s\n", cands.c_str());
        }
    }
}

void write_iterations(FILE* f, bool preRun, const RunSettings& rs, const ModelSpec& model,
                      const MdmHeader& mdm) {
    bool hetero = rs.distribution == 0 && !model.heteroVars.empty();
    if (rs.distribution == 0 && !hetero) {
        std::fprintf(f, "NUMIT:%ld%s\n", (long)rs.maxIterations, limit_suffix(rs.atIterationLimit));
        std::fprintf(f, "STOPVAL:%.10lf\n", rs.microCriterion);
        std::fputs("NONLIN:n\n", f);
        return;
    }
    std::fprintf(f, "STOPMICRO:%.10lf\n", rs.microCriterion);
    std::fprintf(f, "STOPMACRO:%.10lf\n", rs.macroCriterion);
    std::fprintf(f, "MACROIT:%ld%s\n", (long)rs.maxMacroIterations, limit_suffix(rs.atIterationLimit));
    std::fprintf(f, "MICROIT:%ld\n", (long)rs.maxIterations);
    if (hetero) {
        std::fputs("NONLIN:n\n", f);
        return;
    }
    std::fputs("NONLIN:", f);
    if (rs.distribution == 1) {
        std::fputs(model.trialsVar > 0 ? "BINOMIAL" : "BERNOULLI", f);
    } else if (rs.distribution == 2) {
        std::fputs("POISSON", f);
    } else {
        std::fprintf(f, "%s,%ld", rs.ordinal ? "ORDINAL" : "MULTINOMIAL", (long)rs.numCategories);
    }
    if (preRun && rs.distribution != 3 && model.trialsVar > 0) {
        std::fprintf(f, ",%s", l1_name(model, mdm, model.trialsVar).c_str());
    }
    std::fputs("\n", f);
    if (rs.distribution == 1 && model.trialsVar == 0 && rs.laplace6) {
        std::fprintf(f, "LAPLACE6:%s,%d\n", "y", rs.laplace6Iterations);
    }
    // "y" whenever EM-Laplace is on: an "n" would not bring the iterations back.
    if (rs.emLaplaceType != 0) std::fprintf(f, "LAPLACE:%s,%d\n", "y", rs.laplaceIterations);
    if (rs.taylorOrder != 0) {
        std::fprintf(f, "TAYLOR:%d", rs.taylorOrder);
        if (rs.taylorSecond != 6) std::fprintf(f, ",%d", rs.taylorSecond);
        std::fputs("\n", f);
    }
}

void write_weight_line(FILE* f, const char* keyword, const std::string& name) {
    std::fprintf(f, "%s%s\n", keyword, name.empty() ? "NONE" : name.c_str());
}

void write_residual_files(FILE* f, const RunSettings& rs, const ModelSpec& model, const MdmHeader& mdm) {
    auto l1 = [&](int i) { return l1_name(model, mdm, i); };
    auto l2 = [&](int i) { return l2_name(mdm, i); };
    if (rs.wantResfil1 || rs.wantResfil2) {
        const char* type = "SPSS";
        switch (rs.resfilType) {
            case RAW_ASCII: type = "FREEFORMAT"; break;
            case RAW_SYSTAT: type = "SYSTAT"; break;
            case RAW_SAS: type = "SAS"; break;
            case RAW_STATA: type = "STATA"; break;
            default: break;
        }
        std::fprintf(f, "RESFILTYPE:%s\n", type);
    }
    if (rs.wantResfil1) {
        int p1 = mdm.numL1Vars;
        std::fprintf(f, "RESFIL1:Y/%s/%s\n", marked_names(model.l1ResidualVars, 0, p1 + 1, l1).c_str(),
                     marked_names(model.l1ResidualL2Vars, 0, model.numL2Slots, l2).c_str());
        if (!rs.resfil1Name.empty()) std::fprintf(f, "RESFIL1NAME:%s\n", rs.resfil1Name.c_str());
    } else {
        std::fputs("RESFIL1:N\n", f);
    }
    if (rs.wantResfil2) {
        std::fprintf(f, "RESFIL2:Y/%s\n", marked_names(model.l2ResidualVars, 0, model.numL2Slots, l2).c_str());
        if (!rs.resfil2Name.empty()) std::fprintf(f, "RESFIL2NAME:%s\n", rs.resfil2Name.c_str());
    } else {
        std::fputs("RESFIL2:N\n", f);
    }
}

void write_hypotheses(FILE* f, const ModelSpec& model) {
    std::size_t row = 0;
    for (int k = 0; k < 24 && model.hypothesisRows[k] > 0; ++k) {
        for (int r = 0; r < model.hypothesisRows[k]; ++r, ++row) {
            std::fprintf(f, "GAMMA%d:", k + 1);
            for (int g = 0; g < model.numFixed; ++g) {
                std::size_t at = row * model.numFixed + g;
                std::fprintf(f, "%s%.4f", g ? "," : "", at < model.contrasts.size() ? model.contrasts[at] : 0.0);
            }
            std::fputs("\n", f);
        }
    }
}

}  // namespace

void write_command_file(const char* path, CommandFileForm form, const RunSettings& rs,
                        const ModelSpec& model, const MdmHeader& mdm) {
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) return;
    bool preRun = form == CommandFileForm::PreRun;
    bool hetero = rs.distribution == 0 && !model.heteroVars.empty();
    auto l1 = [&](int i) { return l1_name(model, mdm, i); };

    std::fprintf(f, "#This command file was run with %s\n", rs.dataSourceName.c_str());
    write_iterations(f, preRun, rs, model, mdm);
    write_equations(f, preRun, rs, model, mdm);

    write_weight_line(f, "LEVEL1WEIGHT:", rs.level1Weight > 0 ? l1_name(model, mdm, rs.level1Weight) : "");
    write_weight_line(f, "LEVEL2WEIGHT:", rs.level2Weight > 0 ? l2_name(mdm, rs.level2Weight) : "");
    write_weight_line(f, "VARIANCEKNOWN:", rs.precisionVar > 0 ? l1_name(model, mdm, rs.precisionVar) : "");

    if (mdm.deleteNow == 0) {
        std::string names;
        for (int slot = 1; slot <= mdm.numL1Vars; ++slot) {
            if (cell(model.deletionBasis, slot) != 2) continue;
            if (!names.empty()) names += ",";
            names += l1_name(model, mdm, slot);
        }
        std::fprintf(f, "LEVEL1DELETION:%s\n", names.empty() ? "NONE" : names.c_str());
    }

    write_residual_files(f, rs, model, mdm);

    if (hetero && preRun) {
        std::string names;
        for (int v : model.heteroVars) names += (names.empty() ? "" : ",") + l1(v);
        std::fprintf(f, "HETEROL1VAR:%s\n", names.c_str());
    }
    write_hypotheses(f, model);
    if (!hetero) std::fputs("HETEROL1VAR:n\n", f);
    if (rs.printVarCov == 1 || rs.printVarCov == 2) {
        std::fprintf(f, "PRINTVARIANCE-COVARIANCE:%s\n", rs.printVarCov == 1 ? "Y" : "A");
    }
    std::fprintf(f, "ACCEL:%d\n", rs.accel);
    if (!model.plausibleValues.empty()) {
        std::string names;
        for (int v : model.plausibleValues) names += (names.empty() ? "" : ",") + l1(v);
        std::fprintf(f, "PLAUSVALS:%s\n", names.c_str());
    }

    std::fputs("LVR:", f);
    if (!rs.lvrOn || model.lvrRole.empty()) {
        std::fputs("N", f);
    } else {
        for (std::size_t i = 0; i < model.lvrRole.size(); ++i) {
            int role = model.lvrRole[i];
            std::fprintf(f, "%s%s", i ? "," : "", role == 1 ? "O" : role == 2 ? "P" : "I");
        }
    }
    std::fputs("\n", f);

    std::fprintf(f, "LEV1OLS:%ld\n", (long)rs.olsUnitsShown);
    std::fputs(rs.fullML ? "MLF:y\n" : "MLF:n\n", f);
    std::fputs("HYPOTH:n\n", f);
    if (rs.testHomogeneity) std::fputs("HOMVAR:y\n", f);
    if (rs.fixedSigma2 != 0.0) std::fprintf(f, "FIXSIGMA2:%lf\n", rs.fixedSigma2);
    if (rs.altDeviance != MISSING_VALUE) {
        std::fprintf(f, "DEVIANCE:%lf\n", rs.altDeviance);
        std::fprintf(f, "DF:%ld\n", (long)rs.altDf);
    }
    std::fprintf(f, "FIXTAU:%ld\n", (long)rs.fixTau);
    if (rs.debugLevel != 0) std::fprintf(f, "DEBUG:%ld\n", (long)rs.debugLevel);

    std::fputs("CONSTRAIN:", f);
    bool anyGroup = false;
    for (int g : model.constraintGroup) anyGroup = anyGroup || g != 0;
    if (!anyGroup) {
        std::fputs("N", f);
    } else {
        for (int g = 0; g < model.numFixed; ++g) {
            long group = cell(model.constraintGroup, g);
            std::fprintf(f, "%s%ld", g ? "," : "", group < 0 ? -group : group);
        }
    }
    std::fputs("\n", f);

    if (!rs.graphGammas.empty()) std::fprintf(f, "GRAPHGAMMAS:%s\n", rs.graphGammas.c_str());
    std::fprintf(f, "OUTPUT:%s\n", rs.outputFileName.c_str());
    std::fputs(rs.fullOutput ? "FULLOUTPUT:Y\n" : "FULLOUTPUT:N\n", f);
    std::fprintf(f, "TITLE:%s\n", rs.problemTitle.c_str());
    std::fclose(f);
}
