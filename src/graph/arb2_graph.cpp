// arb2-graph FILE [OUTDIR]: draws three pictures of a fit from its graph data
// file as self-contained SVG: the units' fitted level-1 regression lines, the
// caterpillar plot of the EB coefficients, and MDIST against CHIPCT.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "graph/graph_data.h"

namespace {

constexpr double WIDTH = 720, LEFT = 80, RIGHT = 24, TOP = 56, PANEL = 420, BOTTOM = 64;

std::string escape(const std::string& s) {
    std::string r;
    for (char c : s) {
        switch (c) {
            case '&': r += "&amp;"; break;
            case '<': r += "&lt;"; break;
            case '>': r += "&gt;"; break;
            case '"': r += "&quot;"; break;
            default: r += (static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
        }
    }
    return r;
}

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", v);
    return b;
}

// An axis over [lo, hi] widened to whole steps of 1, 2 or 5 times a power of ten.
struct Axis {
    double lo = 0, hi = 1, step = 1;
    int decimals = 0;
};

Axis make_axis(double lo, double hi) {
    if (!(hi > lo)) {
        lo -= 1.0;
        hi += 1.0;
    }
    const double raw = (hi - lo) / 6.0, mag = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / mag;
    Axis a;
    a.step = (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10) * mag;
    a.lo = std::floor(lo / a.step) * a.step;
    a.hi = std::ceil(hi / a.step) * a.step;
    a.decimals = std::max(0, -static_cast<int>(std::floor(std::log10(a.step) + 1e-9)));
    return a;
}

// One plot area of a picture with its two axes.
struct Frame {
    double x0, y0, w, h;  // plot area in picture coordinates
    Axis ax, ay;
    double X(double v) const { return x0 + (v - ax.lo) / (ax.hi - ax.lo) * w; }
    double Y(double v) const { return y0 + h - (v - ay.lo) / (ay.hi - ay.lo) * h; }
};

std::string svg_begin(double height, const std::string& title) {
    std::ostringstream s;
    s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << WIDTH << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << WIDTH << " " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text class=\"title\" x=\"" << WIDTH / 2 << "\" y=\"24\" text-anchor=\"middle\" font-size=\"15\">"
      << escape(title) << "</text>\n";
    return s.str();
}

// Plot area, ticks, tick labels, axis labels and the panel heading.
std::string frame_svg(const Frame& f, const std::string& xLabel, const std::string& yLabel, const std::string& heading) {
    std::ostringstream s;
    s << "<rect class=\"plot\" x=\"" << num(f.x0) << "\" y=\"" << num(f.y0) << "\" width=\"" << num(f.w)
      << "\" height=\"" << num(f.h) << "\" fill=\"none\" stroke=\"black\"/>\n";
    if (!heading.empty())
        s << "<text x=\"" << num(f.x0 + f.w / 2) << "\" y=\"" << num(f.y0 - 8) << "\" text-anchor=\"middle\">"
          << escape(heading) << "</text>\n";
    char label[64];
    for (double v = f.ax.lo; v <= f.ax.hi + f.ax.step * 1e-6; v += f.ax.step) {
        std::snprintf(label, sizeof label, "%.*f", f.ax.decimals, std::fabs(v) < f.ax.step * 1e-9 ? 0.0 : v);
        s << "<line x1=\"" << num(f.X(v)) << "\" y1=\"" << num(f.y0 + f.h) << "\" x2=\"" << num(f.X(v))
          << "\" y2=\"" << num(f.y0 + f.h + 5) << "\" stroke=\"black\"/>"
          << "<text x=\"" << num(f.X(v)) << "\" y=\"" << num(f.y0 + f.h + 18) << "\" text-anchor=\"middle\">" << label
          << "</text>\n";
    }
    for (double v = f.ay.lo; v <= f.ay.hi + f.ay.step * 1e-6; v += f.ay.step) {
        std::snprintf(label, sizeof label, "%.*f", f.ay.decimals, std::fabs(v) < f.ay.step * 1e-9 ? 0.0 : v);
        s << "<line x1=\"" << num(f.x0 - 5) << "\" y1=\"" << num(f.Y(v)) << "\" x2=\"" << num(f.x0) << "\" y2=\""
          << num(f.Y(v)) << "\" stroke=\"black\"/>"
          << "<text x=\"" << num(f.x0 - 8) << "\" y=\"" << num(f.Y(v) + 4) << "\" text-anchor=\"end\">" << label
          << "</text>\n";
    }
    s << "<text x=\"" << num(f.x0 + f.w / 2) << "\" y=\"" << num(f.y0 + f.h + 40) << "\" text-anchor=\"middle\">"
      << escape(xLabel) << "</text>\n"
      << "<text transform=\"translate(" << num(f.x0 - 56) << " " << num(f.y0 + f.h / 2)
      << ") rotate(-90)\" text-anchor=\"middle\">" << escape(yLabel) << "</text>\n";
    return s.str();
}

std::string message_svg(const std::string& title, const std::string& text) {
    return svg_begin(200, title) + "<text x=\"" + num(WIDTH / 2) + "\" y=\"110\" text-anchor=\"middle\">" +
           escape(text) + "</text>\n</svg>\n";
}

Frame single_frame(double xlo, double xhi, double ylo, double yhi) {
    return Frame{LEFT, TOP, WIDTH - LEFT - RIGHT, PANEL, make_axis(xlo, xhi), make_axis(ylo, yhi)};
}

// The coefficient of the intercept and of the first level-1 predictor, -1 when absent.
int coefficient_of(const graph::Data& d, int predictor) {
    for (std::size_t q = 0; q < d.coefficients.size(); ++q)
        if (d.coefficients[q].predictor == predictor) return static_cast<int>(q);
    return -1;
}

// Centre subtracted from the first predictor for a unit with mean m.
double centre_of(const graph::Coefficient& k, double m) {
    return k.centring == 1 ? m : k.centring == 2 ? k.centre : 0.0;
}

std::string lines_svg(const graph::Data& d) {
    const int q0 = coefficient_of(d, 0), q1 = coefficient_of(d, 1);
    if (d.n1 < 1 || q1 < 0) return message_svg(d.title, "The model has no level-1 predictor to draw lines over.");
    const graph::Coefficient& k1 = d.coefficients[q1];
    struct Segment {
        double x1, y1, x2, y2;
    };
    std::vector<Segment> seg;
    double xlo = 1e300, xhi = -1e300, ylo = 1e300, yhi = -1e300, meanSum = 0;
    auto add = [&](double b0, double b1, double c, double a, double b) {
        seg.push_back({a, b0 + b1 * (a - c), b, b0 + b1 * (b - c)});
        xlo = std::min(xlo, a), xhi = std::max(xhi, b);
        ylo = std::min({ylo, seg.back().y1, seg.back().y2}), yhi = std::max({yhi, seg.back().y1, seg.back().y2});
    };
    int drawn = 0;
    for (const graph::Unit& u : d.units) {
        if (u.n < 1 || u.min[0] == graph::MISSING) continue;
        const double b0 = q0 >= 0 ? graph::unit_coefficient(d, u, q0) : 0.0;
        add(b0, graph::unit_coefficient(d, u, q1), centre_of(k1, u.mean[0]), u.min[0], u.max[0]);
        meanSum += u.mean[0];
        ++drawn;
    }
    if (drawn == 0) return message_svg(d.title, "No unit has level-1 data to draw.");
    // The average unit: gammas at the mean level-2 values, centred at the mean of the unit means.
    add(q0 >= 0 ? graph::average_coefficient(d, q0) : 0.0, graph::average_coefficient(d, q1),
        centre_of(k1, meanSum / drawn), xlo, xhi);
    const Frame f = single_frame(xlo, xhi, ylo, yhi);
    std::ostringstream s;
    s << svg_begin(TOP + PANEL + BOTTOM, d.title)
      << frame_svg(f, d.l1Names[0], d.outcome, "Fitted level-1 regression lines of the units (bold: average)");
    for (std::size_t i = 0; i < seg.size(); ++i) {
        const bool average = i + 1 == seg.size();
        s << "<path class=\"" << (average ? "average" : "unit") << "\" d=\"M " << num(f.X(seg[i].x1)) << " "
          << num(f.Y(seg[i].y1)) << " L " << num(f.X(seg[i].x2)) << " " << num(f.Y(seg[i].y2)) << "\" stroke=\""
          << (average ? "black\" stroke-width=\"3" : "steelblue\" stroke-width=\"1\" stroke-opacity=\"0.6")
          << "\" fill=\"none\"/>\n";
    }
    s << "</svg>\n";
    return s.str();
}

std::string caterpillar_svg(const graph::Data& d) {
    if (d.r < 1 || d.units.empty()) return message_svg(d.title, "The model has no random coefficient.");
    const double panelGap = 70, panel = 240;
    std::ostringstream s;
    s << svg_begin(TOP + d.r * (panel + panelGap) + 10, d.title);
    for (int c = 0; c < d.r; ++c) {
        std::vector<int> order(d.units.size());
        for (std::size_t j = 0; j < order.size(); ++j) order[j] = static_cast<int>(j);
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return d.units[a].eb[c] < d.units[b].eb[c]; });
        double lo = 1e300, hi = -1e300;
        for (const graph::Unit& u : d.units) {
            lo = std::min(lo, u.eb[c] - 1.96 * u.sd[c]);
            hi = std::max(hi, u.eb[c] + 1.96 * u.sd[c]);
        }
        std::string name = "random coefficient " + std::to_string(c);
        for (std::size_t q = 0; q < d.coefficients.size(); ++q)
            if (d.coefficients[q].random == c) name = graph::coefficient_name(d, static_cast<int>(q));
        Frame f{LEFT, TOP + c * (panel + panelGap), WIDTH - LEFT - RIGHT, panel,
                make_axis(0.0, static_cast<double>(order.size()) + 1.0), make_axis(lo, hi)};
        s << frame_svg(f, "units in order of their EB estimate", name,
                       name + ": EB estimates with 95% intervals (+-1.96 posterior SD)");
        for (std::size_t i = 0; i < order.size(); ++i) {
            const graph::Unit& u = d.units[order[i]];
            const double x = f.X(static_cast<double>(i + 1));
            s << "<line class=\"bar\" x1=\"" << num(x) << "\" y1=\"" << num(f.Y(u.eb[c] - 1.96 * u.sd[c]))
              << "\" x2=\"" << num(x) << "\" y2=\"" << num(f.Y(u.eb[c] + 1.96 * u.sd[c]))
              << "\" stroke=\"gray\"/><circle class=\"unit\" cx=\"" << num(x) << "\" cy=\"" << num(f.Y(u.eb[c]))
              << "\" r=\"1.8\" fill=\"steelblue\"/>\n";
        }
    }
    s << "</svg>\n";
    return s.str();
}

std::string qq_svg(const graph::Data& d) {
    double hi = 0;
    int drawn = 0;
    for (const graph::Unit& u : d.units)
        if (u.mdist != graph::NOT_COMPUTED && u.chipct != graph::NOT_COMPUTED)
            hi = std::max({hi, u.mdist, u.chipct}), ++drawn;
    if (drawn == 0) return message_svg(d.title, "No unit has a Mahalanobis distance.");
    const Frame f = single_frame(0.0, hi, 0.0, hi);
    std::ostringstream s;
    s << svg_begin(TOP + PANEL + BOTTOM, d.title)
      << frame_svg(f, "expected chi-square quantile (CHIPCT)", "Mahalanobis distance (MDIST)",
                   "Multivariate normality of the level-2 residuals");
    s << "<path class=\"identity\" d=\"M " << num(f.X(0)) << " " << num(f.Y(0)) << " L " << num(f.X(f.ax.hi)) << " "
      << num(f.Y(std::min(f.ax.hi, f.ay.hi))) << "\" stroke=\"gray\" fill=\"none\"/>\n";
    for (const graph::Unit& u : d.units)
        if (u.mdist != graph::NOT_COMPUTED && u.chipct != graph::NOT_COMPUTED)
            s << "<circle class=\"unit\" cx=\"" << num(f.X(u.chipct)) << "\" cy=\"" << num(f.Y(u.mdist))
              << "\" r=\"2.5\" fill=\"steelblue\"/>\n";
    s << "</svg>\n";
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: arb2-graph FILE [OUTDIR]\n");
        return 2;
    }
    graph::Data d;
    std::string error;
    if (!graph::read_graph_file(argv[1], d, error)) {
        std::fprintf(stderr, "arb2-graph: %s\n", error.c_str());
        return 1;
    }
    const std::string dir = argc == 3 ? argv[2] : ".";
    const std::pair<const char*, std::string> pictures[] = {
        {"lines.svg", lines_svg(d)}, {"caterpillar.svg", caterpillar_svg(d)}, {"qq.svg", qq_svg(d)}};
    for (const auto& [name, text] : pictures) {
        const std::string path = dir + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out << text;
        if (!out.flush()) {
            std::fprintf(stderr, "arb2-graph: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    std::printf("lines.svg, caterpillar.svg and qq.svg written to %s\n", dir.c_str());
    return 0;
}
