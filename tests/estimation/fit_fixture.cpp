#include "estimation/fit_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "app/app.h"
#include "support/test_support.h"

namespace estimtest {


MdmHeader write_mdm(const std::string& path, const DataSet& d) {
    MdmHeader h;
    h.numL1Vars = static_cast<int>(d.l1Names.size());
    h.numL2Vars = static_cast<int>(d.l2Names.size());
    h.numGroups = static_cast<int>(d.units.size());
    h.hasMissing = d.hasMissing ? 1 : 0;
    h.deleteNow = d.deleteNow ? 1 : 0;
    h.sourceType = 2;
    h.l1Names = {make_variable_name("INTRCPT1")};
    h.l2Names = {make_variable_name("INTRCPT2")};
    for (const std::string& n : d.l1Names) h.l1Names.push_back(make_variable_name(n.c_str()));
    for (const std::string& n : d.l2Names) h.l2Names.push_back(make_variable_name(n.c_str()));
    h.l1FileName = "l1.dat";
    h.l2FileName = "l2.dat";
    std::vector<double> sum(h.numL1Vars, 0.0), l2sum(h.numL2Vars, 0.0);
    std::vector<long> count(h.numL1Vars, 0);
    for (const Unit& u : d.units) {
        h.numL1Records += static_cast<int>(u.rows.size());
        h.maxGroupSize = std::max(h.maxGroupSize, static_cast<int>(u.rows.size()));
        NameSlot id;
        normalise_name_slot(u.id.c_str(), 12, id);
        h.charIds.push_back(id);
        for (int s = 0; s < h.numL2Vars; ++s) l2sum[s] += u.l2[s], h.l2Data.push_back(u.l2[s]);
        for (const auto& row : u.rows)
            for (int s = 0; s < h.numL1Vars; ++s)
                if (row[s] != MISSING_VALUE) sum[s] += row[s], ++count[s];
    }
    for (int s = 0; s < h.numL1Vars; ++s) h.l1Means.push_back(count[s] > 0 ? sum[s] / count[s] : 0.0);
    for (int s = 0; s < h.numL2Vars; ++s) h.l2Means.push_back(h.numGroups > 0 ? l2sum[s] / h.numGroups : 0.0);
    FILE* f = std::fopen(path.c_str(), "wb");
    write_mdm_front(f, h);
    for (const Unit& u : d.units) {  // group means over all records, missing counted as 0
        const int n = static_cast<int>(u.rows.size());
        std::vector<double> means(h.numL1Vars, 0.0), records;
        for (const auto& row : u.rows)
            for (int s = 0; s < h.numL1Vars; ++s) {
                if (row[s] != MISSING_VALUE) means[s] += row[s] / n;
                records.push_back(row[s]);
            }
        write_group_block(f, h.numL1Vars, n, means.data(), records.data());
    }
    std::fclose(f);
    MdmHeader loaded;
    f = std::fopen(path.c_str(), "rb");
    read_mdm_header(f, loaded);
    std::fclose(f);
    return loaded;
}

namespace {

DataSet read_hsb() {
    DataSet d;
    d.l1Names = {"MINORITY", "FEMALE", "SES", "MATHACH"};
    d.l2Names = {"SIZE", "SECTOR", "PRACAD", "DISCLIM", "HIMINTY", "MEANSES"};
    std::map<std::string, std::size_t> index;
    std::ifstream l2(testsupport::data_path("hsb/hsb2.dat"));
    std::string line;
    while (std::getline(l2, line)) {
        if (line.size() < 12) continue;
        Unit u;
        u.id = line.substr(0, 12);
        for (int k = 0; k < 6; ++k) u.l2.push_back(std::stod(line.substr(12 + 12 * k, 12)));
        index[u.id] = d.units.size();
        d.units.push_back(u);
    }
    std::ifstream l1(testsupport::data_path("hsb/hsb1.dat"));
    while (std::getline(l1, line)) {
        if (line.size() < 12) continue;
        std::vector<double> row;
        for (int k = 0; k < 4; ++k) row.push_back(std::stod(line.substr(12 + 12 * k, 12)));
        d.units[index.at(line.substr(0, 12))].rows.push_back(row);
    }
    return d;
}

int find_slot(const std::vector<NameSlot>& table, const std::string& name) {
    const NameSlot want = make_variable_name(name.c_str());
    for (std::size_t i = 0; i < table.size(); ++i)
        if (std::memcmp(table[i].text, want.text, 8) == 0) return static_cast<int>(i);
    return -1;
}

}  // namespace

const DataSet& hsb_data() {
    static const DataSet d = read_hsb();
    return d;
}

void make_model(const MdmHeader& mdm, const std::string& outcome, const std::vector<Coef>& coefs, ModelSpec& m) {
    size_model_tables(mdm, m);
    m.outcome = find_slot(mdm.l1Names, outcome);
    m.l1Role[m.outcome] = -1;
    m.noIntercept = coefs.empty() || coefs[0].name != "INTRCPT1";
    for (const Coef& c : coefs) {
        const int slot = find_slot(mdm.l1Names, c.name);
        m.l1Role[slot] = 1;
        m.l1Centering[slot] = c.centering;
        m.fixedEffectOnly[slot] = c.random ? 0 : 1;
        for (std::size_t k = 0; k < c.l2.size(); ++k) {
            const int l2 = find_slot(mdm.l2Names, c.l2[k]);
            m.l2Predictors[m.pred(0, slot, static_cast<int>(k))] = l2;
            if (k < c.l2Centering.size() && c.l2Centering[k] == 2) m.l2Centering[l2] = 2;
            ++m.numFixed;
        }
        ++m.numTerms;
    }
    m.constraintGroup.assign(m.numFixed, 0);
}

RunSettings reference_settings(bool fullML) {
    RunSettings rs;
    rs.maxIterations = 5000;
    rs.atIterationLimit = 0;
    rs.microCriterion = 1e-10;
    rs.accel = 5;
    rs.fullML = fullML;
    rs.fullOutput = true;
    rs.olsUnitsShown = 10;
    rs.fixTau = 3;
    rs.outputFileName = "report.out";
    return rs;
}

Opened open_data(const DataSet& d, const std::vector<Coef>& coefs, const std::string& outcome, std::string dir) {
    Opened o;
    o.dir = dir.empty() ? testsupport::make_temp_dir("estim") : dir;
    o.mdm = write_mdm(o.dir + "/d.mdm", d);
    make_model(o.mdm, outcome, coefs, o.model);
    o.file = std::fopen((o.dir + "/d.mdm").c_str(), "rb");
    return o;
}

void run_fit(const DataSet& d, const std::string& outcome, const std::vector<Coef>& coefs, RunSettings rs,
             FitRun& result, const std::vector<int>& constraints, const std::string& dir, bool finalReports) {
    Opened o = open_data(d, coefs, outcome, dir);
    for (std::size_t k = 0; k < constraints.size() && k < o.model.constraintGroup.size(); ++k)
        o.model.constraintGroup[k] = constraints[k];
    FILE* out = std::fopen((o.dir + "/report.out").c_str(), "w+");
    exit_state().output = out;
    exit_state().outputFileName = o.dir + "/report.out";
    run_analysis(rs, o.model, o.mdm, o.file, out, result.fit);
    if (finalReports) linear_final_reports(rs, o.model, o.mdm, o.file, out, result.fit);
    exit_state().output = nullptr;
    std::fclose(out);
    std::fclose(o.file);
    release_linear_fit(result.fit);
    result.report = testsupport::read_file(o.dir + "/report.out");
}

DataSet simple_data(int J, int n, unsigned seed) {
    DataSet d;
    d.l1Names = {"X", "Y", "WT", "KV", "TR"};
    d.l2Names = {"Z", "W2"};
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    for (int j = 0; j < J; ++j) {
        Unit u;
        u.id = std::to_string(100 + j);
        const double z = g(rng);
        u.l2 = {z, 1.0};
        const double u0 = 1.5 * g(rng), u1 = 0.5 * g(rng);
        for (int i = 0; i < n; ++i) {
            const double x = g(rng) + 0.1 * j;
            const double y = 10.0 + 2.0 * x + 0.5 * z + u0 + u1 * x + g(rng);
            u.rows.push_back({x, y, 1.0, 1.0, 10.0});
        }
        d.units.push_back(u);
    }
    return d;
}

std::vector<Coef> simple_model() {
    return {{"INTRCPT1", 0, true, {"INTRCPT2", "Z"}, {}}, {"X", 0, true, {"INTRCPT2"}, {}}};
}

std::vector<Coef> hsb_null() {
    return {{"INTRCPT1", 0, true, {"INTRCPT2"}, {}}};
}

std::vector<Coef> hsb_rc() {
    return {{"INTRCPT1", 0, true, {"INTRCPT2"}, {}}, {"SES", 1, true, {"INTRCPT2"}, {}}};
}

std::vector<Coef> hsb_full() {
    return {{"INTRCPT1", 0, true, {"INTRCPT2", "SECTOR", "MEANSES"}, {0, 0, 2}},
            {"SES", 1, true, {"INTRCPT2", "SECTOR", "MEANSES"}, {0, 0, 2}}};
}

}  // namespace estimtest
