// Reader of the graph data file (little-endian, layout in docs/graph-file.md).
#include "graph/graph_data.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace graph {

namespace {

// Largest counts a sane file holds; anything above is a damaged header.
constexpr long MAX_COUNT = 1000000;

struct Cursor {
    const std::vector<unsigned char>& b;
    std::size_t at = 0;
    bool ok = true;
    bool need(std::size_t n) {
        if (!ok || b.size() - at < n) ok = false;
        return ok;
    }
    std::uint32_t u32() {
        if (!need(4)) return 0;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
        at += 4;
        return v;
    }
    long i32() { return static_cast<std::int32_t>(u32()); }
    float f32() {
        const std::uint32_t u = u32();
        float f;
        std::memcpy(&f, &u, 4);
        return f;
    }
    double f64() {
        const std::uint64_t lo = u32(), hi = u32();
        const std::uint64_t u = lo | (hi << 32);
        double d;
        std::memcpy(&d, &u, 8);
        if (!std::isfinite(d)) ok = false;  // the writer never writes one
        return d;
    }
    std::string text(std::size_t n) {
        if (!need(n)) return {};
        std::string s(reinterpret_cast<const char*>(&b[at]), n);
        at += n;
        return s;
    }
    // A 12-byte name slot: up to its first NUL, blanks trimmed.
    std::string name() {
        std::string s = text(12);
        s = s.substr(0, s.find('\0'));
        const std::size_t first = s.find_first_not_of(' ');
        if (first == std::string::npos) return {};
        return s.substr(first, s.find_last_not_of(' ') - first + 1);
    }
    std::vector<double> doubles(std::size_t n) {
        std::vector<double> v;
        if (!need(8 * n)) return v;
        v.reserve(n);
        for (std::size_t i = 0; i < n; ++i) v.push_back(f64());
        return v;
    }
    // A count in [0, MAX_COUNT]; anything else marks the file damaged.
    int count() {
        const long v = i32();
        if (v < 0 || v > MAX_COUNT) ok = false;
        return ok ? static_cast<int>(v) : 0;
    }
};

}  // namespace

bool read_graph_file(const std::string& path, Data& d, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Cursor c{bytes};
    if (bytes.size() < 6 || std::memcmp(bytes.data(), "GRARB2", 6) != 0) {
        error = path + " is not a graph data file";
        return false;
    }
    c.at = 6;
    d = Data{};
    d.version = c.f32();
    if (c.ok && d.version != KNOWN_VERSION) {
        char v[64];
        std::snprintf(v, sizeof v, "%.2f", static_cast<double>(d.version));
        error = path + " is a graph data file of version " + v + "; this program reads version 6.02";
        return false;
    }
    d.F = c.count();
    d.growth = static_cast<int>(c.i32());
    d.r = c.count();
    d.J = c.count();
    d.n1 = c.count();
    d.n2 = c.count();
    d.outcome = c.name();
    for (int k = 0; k < d.n1 && c.ok; ++k) d.l1Names.push_back(c.name());
    for (int k = 0; k < d.n2 && c.ok; ++k) d.l2Names.push_back(c.name());
    const std::size_t F = d.F, r = d.r;
    if (c.need(8 * (F + F * F + r * r + 1))) {
        d.gamma = c.doubles(F);
        d.gammaCov = c.doubles(F * F);
        d.tau = c.doubles(r * r);
        d.sigma2 = c.f64();
    }
    // Each unit record has a fixed size: check the whole block before reading it.
    const std::size_t unitBytes = 16 + 8 * (d.n2 + 3 * r + 2 + 3 * static_cast<std::size_t>(d.n1));
    if (c.ok && c.need(unitBytes * d.J)) {
        d.units.resize(d.J);
        for (Unit& u : d.units) {
            u.id = c.name();
            u.n = static_cast<int>(c.i32());
            u.level2 = c.doubles(d.n2);
            u.ols = c.doubles(r);
            u.eb = c.doubles(r);
            u.sd = c.doubles(r);
            u.mdist = c.f64();
            u.chipct = c.f64();
            for (int k = 0; k < d.n1; ++k) {
                u.mean.push_back(c.f64());
                u.min.push_back(c.f64());
                u.max.push_back(c.f64());
            }
        }
    }
    if (c.ok && c.text(4) != "MODL") c.ok = false;
    const int titleLength = c.count();
    d.title = c.text(titleLength);
    const int Q = c.count();
    int gammas = 0;
    for (int q = 0; q < Q && c.ok; ++q) {
        Coefficient k;
        k.predictor = static_cast<int>(c.i32());
        k.random = static_cast<int>(c.i32());
        k.centring = static_cast<int>(c.i32());
        k.centre = c.f64();
        k.numGammas = c.count();
        gammas += k.numGammas;
        if (k.predictor < 0 || k.predictor > d.n1 || k.random < -1 || k.random >= d.r || gammas > d.F) c.ok = false;
        d.coefficients.push_back(k);
    }
    if (c.ok && gammas != d.F) c.ok = false;
    for (int k = 0; k < d.F && c.ok; ++k) {
        const long v = c.i32();
        if (v < 0 || v > d.n2) c.ok = false;
        d.gammaLevel2.push_back(static_cast<int>(v));
    }
    if (!c.ok) {
        error = path + " is truncated or damaged";
        return false;
    }
    return true;
}

double unit_coefficient(const Data& d, const Unit& u, int q) {
    const Coefficient& k = d.coefficients[q];
    if (k.random >= 0) return u.eb[k.random];
    int first = 0;
    for (int i = 0; i < q; ++i) first += d.coefficients[i].numGammas;
    double v = 0.0;
    for (int g = first; g < first + k.numGammas; ++g) {
        const int s = d.gammaLevel2[g];
        v += d.gamma[g] * (s == 0 ? 1.0 : u.level2[s - 1]);
    }
    return v;
}

double average_coefficient(const Data& d, int q) {
    int first = 0;
    for (int i = 0; i < q; ++i) first += d.coefficients[i].numGammas;
    double v = 0.0;
    for (int g = first; g < first + d.coefficients[q].numGammas; ++g) {
        const int s = d.gammaLevel2[g];
        double w = 1.0;
        if (s > 0) {
            w = 0.0;
            for (const Unit& u : d.units) w += u.level2[s - 1];
            w = d.units.empty() ? 0.0 : w / static_cast<double>(d.units.size());
        }
        v += d.gamma[g] * w;
    }
    return v;
}

std::string coefficient_name(const Data& d, int q) {
    const int p = d.coefficients[q].predictor;
    return p == 0 ? "INTRCPT1" : d.l1Names[p - 1];
}

}  // namespace graph
