#include "estimation/fit_fixture.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "app/app.h"
#include "support/test_support.h"

namespace estimtest {

namespace {

void put(std::string& b, const void* p, std::size_t n) {
    b.append(static_cast<const char*>(p), n);
}
void put_i32(std::string& b, std::int32_t v) {
    put(b, &v, 4);
}
void put_f64(std::string& b, double v) {
    put(b, &v, 8);
}
void put_name(std::string& b, const std::string& name) {
    const NameSlot s = make_variable_name(name.c_str());
    put(b, s.text, 13);
}

}  // namespace

MdmHeader write_mdm(const std::string& path, const DataSet& d) {
    const int p1 = static_cast<int>(d.l1Names.size());
    const int p2 = static_cast<int>(d.l2Names.size());
    const int J = static_cast<int>(d.units.size());
    int N = 0, maxGroup = 0;
    for (const Unit& u : d.units) {
        N += static_cast<int>(u.rows.size());
        maxGroup = std::max(maxGroup, static_cast<int>(u.rows.size()));
    }
    std::string b = "SSARB2";
    const float version = 6.02f;
    put(b, &version, 4);
    for (int v : {p1, p2, N, J, d.hasMissing ? 1 : 0, d.deleteNow ? 1 : 0, 0, 2, maxGroup}) put_i32(b, v);
    put_name(b, "INTRCPT1");
    for (const std::string& n : d.l1Names) put_name(b, n);
    put_name(b, "INTRCPT2");
    for (const std::string& n : d.l2Names) put_name(b, n);
    put_i32(b, 260);
    b.append(std::string("l1.dat") + std::string(254, '\0'));
    b.append(std::string("l2.dat") + std::string(254, '\0'));
    for (int s = 0; s < p1; ++s) {
        double sum = 0.0;
        long n = 0;
        for (const Unit& u : d.units)
            for (const auto& row : u.rows)
                if (row[s] != MISSING_VALUE) {
                    sum += row[s];
                    ++n;
                }
        put_f64(b, n > 0 ? sum / n : 0.0);
    }
    for (int s = 0; s < p2; ++s) {
        double sum = 0.0;
        for (const Unit& u : d.units) sum += u.l2[s];
        put_f64(b, J > 0 ? sum / J : 0.0);
    }
    for (const Unit& u : d.units) {
        NameSlot s;
        normalise_name_slot(u.id.c_str(), 12, s);
        put(b, s.text, 13);
    }
    for (const Unit& u : d.units)
        for (double v : u.l2) put_f64(b, v);
    for (const Unit& u : d.units) {
        put_i32(b, static_cast<std::int32_t>(u.rows.size()));
        for (int s = 0; s < p1; ++s) {
            double sum = 0.0;
            for (const auto& row : u.rows)
                if (row[s] != MISSING_VALUE) sum += row[s];
            put_f64(b, u.rows.empty() ? 0.0 : sum / static_cast<double>(u.rows.size()));
        }
        for (const auto& row : u.rows)
            for (double v : row) put_f64(b, v);
    }
    testsupport::write_file(path, b);
    MdmHeader h;
    FILE* f = std::fopen(path.c_str(), "rb");
    read_mdm_header(f, h);
    std::fclose(f);
    return h;
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
    m = ModelSpec{};
    m.numSets = 1;
    m.numL1Slots = mdm.numL1Vars + 1;
    m.numL2Slots = mdm.numL2Vars + 1;
    m.l1Names = mdm.l1Names;
    m.l1Role.assign(m.numL1Slots, 0);
    m.l1Centering.assign(m.numL1Slots, 0);
    m.fixedEffectOnly.assign(m.numL1Slots, 0);
    m.l2Predictors.assign(static_cast<std::size_t>(m.numL1Slots) * m.numL2Slots, NO_ENTRY);
    m.l2Centering.assign(m.numL2Slots, 0);
    m.deletionBasis.assign(m.numL1Slots, 0);
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

void run_fit(const DataSet& d, const std::string& outcome, const std::vector<Coef>& coefs, RunSettings rs,
             FitRun& result, bool keepStores, const std::vector<int>& constraints) {
    run_fit_in(testsupport::make_temp_dir("estim"), d, outcome, coefs, rs, result, keepStores, constraints);
}

void console_to_stderr() {
    std::fflush(stdout);
    dup2(2, 1);
    // Unbuffered, so that console and report lines keep their order.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void set_stdin(const std::string& text) {
    const std::string dir = testsupport::make_temp_dir("stdin");
    testsupport::write_file(dir + "/answers.txt", text);
    if (std::freopen((dir + "/answers.txt").c_str(), "r", stdin) == nullptr) std::abort();
}

void run_fit_in(const std::string& dir, const DataSet& d, const std::string& outcome, const std::vector<Coef>& coefs,
                RunSettings rs, FitRun& result, bool keepStores, const std::vector<int>& constraints) {
    const MdmHeader mdm = write_mdm(dir + "/data.mdm", d);
    ModelSpec model;
    make_model(mdm, outcome, coefs, model);
    for (std::size_t k = 0; k < constraints.size() && k < model.constraintGroup.size(); ++k)
        model.constraintGroup[k] = constraints[k];
    FILE* mdmFile = std::fopen((dir + "/data.mdm").c_str(), "rb");
    FILE* out = std::fopen((dir + "/report.out").c_str(), "w+");
    exit_state().output = out;
    exit_state().outputFileName = dir + "/report.out";
    run_analysis(rs, model, mdm, mdmFile, out, result.fit);
    exit_state().output = nullptr;
    std::fclose(out);
    std::fclose(mdmFile);
    if (!keepStores) release_linear_fit(result.fit);
    result.report = testsupport::read_file(dir + "/report.out");
}

std::map<std::string, std::map<int, RefValue>> load_reference(const std::string& model) {
    std::map<std::string, std::map<int, RefValue>> out;
    std::ifstream in(testsupport::data_path("hsb/ref.tsv"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string name, quantity;
        int index = 0;
        RefValue v;
        s >> name >> quantity >> index >> v.value >> v.tol;
        if (name == model) out[quantity][index] = v;
    }
    return out;
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


namespace estimtest {

void run_hsb_command_file(const std::string& cmdName, FitRun& result, bool finalReports, std::string* dirOut) {
    const std::string dir = testsupport::make_temp_dir("estimcmd");
    if (dirOut != nullptr) *dirOut = dir;
    for (const char* f : {"hsb/hsb1.dat", "hsb/hsb2.dat", "hsb/hsb.mdmt"}) testsupport::copy_data(f, dir);
    testsupport::copy_data("hsb/" + cmdName, dir);
    char old[4096];
    if (getcwd(old, sizeof old) == nullptr) old[0] = '\0';
    if (chdir(dir.c_str()) != 0) return;
    MdmCreation c;
    read_mdm_template("hsb.mdmt", c);
    FILE* mdmOut = std::fopen(c.mdmFileName.c_str(), "wb");
    build_mdm(c, mdmOut);
    std::fclose(mdmOut);
    FILE* mdmFile = std::fopen(c.mdmFileName.c_str(), "rb");
    MdmHeader mdm;
    read_mdm_header(mdmFile, mdm);
    RunSettings rs;
    ModelSpec model;
    size_model_tables(mdm, model);
    rs.commandFileName = cmdName;
    read_command_file(rs, model, mdm);
    FILE* out = std::fopen(rs.outputFileName.c_str(), "w+");
    run_analysis(rs, model, mdm, mdmFile, out, result.fit);
    if (finalReports) linear_final_reports(rs, model, mdm, mdmFile, out, result.fit);
    std::fclose(out);
    std::fclose(mdmFile);
    release_linear_fit(result.fit);
    result.report = testsupport::read_file(rs.outputFileName);
    if (old[0] != '\0' && chdir(old) != 0) return;
}

}  // namespace estimtest
