// fit_cases.cpp: known planes' contacts on known grounds.
#include "fit_cases.h"

#include <gdal_priv.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

namespace fitcases {

namespace {

const double PI = 3.14159265358979323846;

std::unique_ptr<Ground> synthetic(const std::string &name, int side, unsigned seed, double (*z)(double, double, std::mt19937 &)) {
    auto g = std::make_unique<Ground>();
    g->name = name;
    g->dem.allocate(side, side, 4);
    std::mt19937 rng(seed);
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) g->dem.set(i, j, static_cast<int32_t>(std::lround(1000 * z(i, j, rng))));
    return g;
}

double normal(std::mt19937 &rng) { return std::normal_distribution<double>(0, 1)(rng); }

std::unique_ptr<Ground> raw(const std::string &path, const std::string &name, int rows, int cols, int width, double divisor, int pix) {
    auto g = std::make_unique<Ground>();
    g->name = name;
    g->divisor = divisor;
    g->pix = pix;
    g->dem.allocate(rows, cols, width);
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) {
            const size_t k = (static_cast<size_t>(i) * cols + j) * width;
            int32_t v = 0;
            for (int b = 0; b < width && k + b < bytes.size(); b++) v |= static_cast<int32_t>(static_cast<uint8_t>(bytes[k + b])) << (8 * b);
            g->dem.set(i, j, width == 2 ? (v & 0xffff) : v);
        }
    return g;
}

}  // namespace

std::vector<std::unique_ptr<Ground>> grounds(const std::string &examples) {
    std::vector<std::unique_ptr<Ground>> out;
    // A planar ramp with a metre of noise.
    out.push_back(synthetic("ramp", 260, 1, [](double i, double j, std::mt19937 &r) { return 500 + 7.5 * j - 3 * i + normal(r); }));
    out.push_back(synthetic("dome", 260, 2, [](double i, double j, std::mt19937 &) {
        return 400 + 350 * std::exp(-((i - 130) * (i - 130) + (j - 130) * (j - 130)) / (2 * 55.0 * 55.0));
    }));
    out.push_back(synthetic("ridge", 260, 3, [](double i, double j, std::mt19937 &) {
        const double across = (i - j) / std::sqrt(2.0);
        return 300 + 250 * std::exp(-across * across / (2 * 35.0 * 35.0)) + 0.8 * (i + j);
    }));
    out.push_back(synthetic("valley", 260, 4, [](double i, double j, std::mt19937 &) {
        const double across = j - 130 - 20 * std::sin(i / 40);
        return 900 - 300 * std::exp(-across * across / (2 * 45.0 * 45.0)) - 1.5 * i;
    }));
    out.push_back(synthetic("plain with a hill", 260, 5, [](double i, double j, std::mt19937 &r) {
        return 100 + 180 * std::exp(-((i - 120) * (i - 120) + (j - 140) * (j - 140)) / (2 * 30.0 * 30.0)) + 0.2 * normal(r);
    }));
    out.push_back(synthetic("cone", 260, 6, [](double i, double j, std::mt19937 &) {
        return 1500 - 9 * std::hypot(i - 130, j - 130);
    }));
    out.push_back(raw(examples + "/jacksboro/jacksboro_m2.raw", "jacksboro", 344, 403, 2, 1, 83));
    out.push_back(raw(examples + "/salish/salish_m4.raw", "salish", 91, 120, 4, 100, 2425));
    // Olinda's GeoTIFF, metres as millimetres, cells of 90 m.
    GDALAllRegister();
    std::unique_ptr<GDALDataset> d(static_cast<GDALDataset *>(GDALOpen((examples + "/olinda/olinda_dem_utm25s.tif").c_str(), GA_ReadOnly)));
    if (d) {
        auto g = std::make_unique<Ground>();
        g->name = "olinda";
        g->pix = 90;
        const int rows = d->GetRasterYSize(), cols = d->GetRasterXSize();
        g->dem.allocate(rows, cols, 4);
        std::vector<float> z(static_cast<size_t>(rows) * cols);
        if (d->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, cols, rows, z.data(), cols, rows, GDT_Float32, 0, 0) == CE_None) {
            for (int i = 0; i < rows; i++)
                for (int j = 0; j < cols; j++) g->dem.set(i, j, static_cast<int32_t>(std::lround(1000 * z[static_cast<size_t>(i) * cols + j])));
            out.push_back(std::move(g));
        }
    }
    return out;
}

std::vector<std::vector<tools::Spot>> zero_lines(const Terrain &t, Cell station, double dip, double dir, int reach) {
    const double az = dir * PI / 180;
    const double z0 = t.elevation(station.i, station.j);
    const int i0 = std::max(0, station.i - reach), i1 = std::min(t.rows - 1, station.i + reach);
    const int j0 = std::max(0, station.j - reach), j1 = std::min(t.cols - 1, station.j + reach);
    // Ground minus plane at each cell centre; a vertical plane as the side
    // of it a centre lies on.
    const bool upright = dip >= 90 - 1e-9;
    const double fall = upright ? 0 : std::tan(dip * PI / 180) * t.pix_size;
    auto f = [&](int i, int j) {
        const double ahead = (j - station.j) * std::sin(az) - (i - station.i) * std::cos(az);
        return upright ? -ahead : t.elevation(i, j) - (z0 - fall * ahead);
    };
    // Edges by key: horizontal (a, b)-(a, b+1) and vertical (a, b)-(a+1, b).
    auto key = [&](int a, int b, bool vert) { return (static_cast<long long>(a) * 100000 + b) * 2 + (vert ? 1 : 0); };
    std::map<long long, tools::Spot> at;
    std::map<long long, std::vector<long long>> next;
    auto crossing = [&](int a, int b, bool vert, tools::Spot &s) {
        const double va = f(a, b), vb = vert ? f(a + 1, b) : f(a, b + 1);
        if ((va >= 0) == (vb >= 0)) return false;
        const double u = va / (va - vb);
        s = vert ? tools::Spot{a + u, double(b)} : tools::Spot{double(a), b + u};
        return true;
    };
    for (int a = i0; a < i1; a++)
        for (int b = j0; b < j1; b++) {
            // Edges of the square in turn: top, right, bottom, left.
            const long long e[4] = {key(a, b, false), key(a, b + 1, true), key(a + 1, b, false), key(a, b, true)};
            const int ea[4] = {a, a, a + 1, a}, eb[4] = {b, b + 1, b, b};
            const bool ev[4] = {false, true, false, true};
            std::vector<int> hit;
            for (int k = 0; k < 4; k++) {
                tools::Spot s;
                if (crossing(ea[k], eb[k], ev[k], s)) {
                    hit.push_back(k);
                    at[e[k]] = s;
                }
            }
            if (hit.size() == 2) {
                next[e[hit[0]]].push_back(e[hit[1]]);
                next[e[hit[1]]].push_back(e[hit[0]]);
            } else if (hit.size() == 4) {
                // A saddle: the centre's sign says which corners join.
                const double centre = (f(a, b) + f(a, b + 1) + f(a + 1, b) + f(a + 1, b + 1)) / 4;
                const bool top_left_high = f(a, b) >= 0;
                const int pair = (centre >= 0) == top_left_high ? 1 : 0;
                const int order[2][4] = {{0, 3, 1, 2}, {0, 1, 2, 3}};
                for (int p = 0; p < 4; p += 2) {
                    next[e[order[pair][p]]].push_back(e[order[pair][p + 1]]);
                    next[e[order[pair][p + 1]]].push_back(e[order[pair][p]]);
                }
            }
        }
    std::vector<std::vector<tools::Spot>> out;
    std::map<long long, bool> seen;
    for (const auto &kv : at) {
        if (seen[kv.first]) continue;
        // Walk to one end of the chain, then along it to the other.
        long long from = kv.first, prev = -1;
        for (int steps = 0; steps < 1000000; steps++) {
            long long go = -1;
            for (long long x : next[from])
                if (x != prev) go = x;
            if (go < 0 || go == kv.first) break;
            prev = from;
            from = go;
        }
        std::vector<tools::Spot> line;
        prev = -1;
        for (long long cur = from; cur >= 0 && !seen[cur];) {
            seen[cur] = true;
            line.push_back(at[cur]);
            long long go = -1;
            for (long long x : next[cur])
                if (x != prev && !seen[x]) go = x;
            prev = cur;
            cur = go;
        }
        out.push_back(line);
    }
    return out;
}

std::string Case::what() const {
    char b[300];
    snprintf(b, sizeof b, "%s, %.1f/%.1f at (%d, %d), %zu %s over %.0f cells, noise %.2f cells%s", ground->name.c_str(), dip, dir,
             station.i, station.j, contact.spots().size(), lines ? "vertices" : "points", length, noise,
             correlated ? " (correlated)" : "");
    return b;
}

std::vector<Case> cases(const std::vector<std::unique_ptr<Ground>> &grounds, unsigned seed, int n) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<Case> out;
    const double noises[] = {0, 0.25, 0.5, 1, 1.5, 2};
    for (int tries = 0; static_cast<int>(out.size()) < n && tries < 200 * n; tries++) {
        Case c;
        c.ground = grounds[std::uniform_int_distribution<size_t>(0, grounds.size() - 1)(rng)].get();
        const Terrain t = c.ground->terrain();
        const int margin = std::min(30, std::min(t.rows, t.cols) / 5);
        c.station = {std::uniform_int_distribution<int>(margin, t.rows - margin - 1)(rng),
                     std::uniform_int_distribution<int>(margin, t.cols - margin - 1)(rng)};
        const double r = u(rng);
        c.dip = r < 0.06 ? 90 : r < 0.1 ? 88 + 2 * u(rng) : r < 0.15 ? 2 * u(rng) : std::round(90 * u(rng) * 10) / 10;
        c.dir = std::round(3600 * u(rng)) / 10;
        c.noise = noises[std::uniform_int_distribution<int>(0, 5)(rng)];
        c.correlated = u(rng) < 0.5;
        c.lines = u(rng) < 0.67;
        const double want = 10 + 190 * std::pow(u(rng), 2);
        const int points = static_cast<int>(std::lround(5 + 195 * std::pow(u(rng), 2)));
        // The piece of the intersection through the cells nearest the
        // station, up to the length wanted.
        const int reach = static_cast<int>(want) + 10;
        const std::vector<std::vector<tools::Spot>> lines = zero_lines(t, c.station, c.dip, c.dir, reach);
        double best = 1e9;
        size_t bl = 0, bk = 0;
        for (size_t l = 0; l < lines.size(); l++)
            for (size_t k = 0; k < lines[l].size(); k++) {
                const double d = std::hypot(lines[l][k].i - c.station.i, lines[l][k].j - c.station.j);
                if (d < best) best = d, bl = l, bk = k;
            }
        if (best > 2) continue;
        const std::vector<tools::Spot> &line = lines[bl];
        std::vector<double> at(line.size(), 0);
        for (size_t k = 1; k < line.size(); k++) at[k] = at[k - 1] + std::hypot(line[k].i - line[k - 1].i, line[k].j - line[k - 1].j);
        double lo = std::max(0.0, at[bk] - want / 2), hi = std::min(at.back(), lo + want);
        lo = std::max(0.0, hi - want);
        c.length = hi - lo;
        if (c.length < 8) continue;
        // Points evenly along it, then moved.
        std::vector<tools::Spot> s;
        for (int p = 0; p < points; p++) {
            const double x = lo + (hi - lo) * (points == 1 ? 0.5 : static_cast<double>(p) / (points - 1));
            size_t k = 1;
            while (k + 1 < at.size() && at[k] < x) k++;
            const double w = at[k] > at[k - 1] ? (x - at[k - 1]) / (at[k] - at[k - 1]) : 0;
            s.push_back({line[k - 1].i + w * (line[k].i - line[k - 1].i), line[k - 1].j + w * (line[k].j - line[k - 1].j)});
        }
        const double sigma = c.noise / std::sqrt(2.0), spacing = points > 1 ? c.length / (points - 1) : 1;
        const double rho = c.correlated ? std::exp(-spacing / 5.0) : 0;
        double di = 0, dj = 0;
        for (size_t p = 0; p < s.size(); p++) {
            const double a = normal(rng) * sigma, b = normal(rng) * sigma;
            di = p == 0 ? a : rho * di + std::sqrt(1 - rho * rho) * a;
            dj = p == 0 ? b : rho * dj + std::sqrt(1 - rho * rho) * b;
            s[p].i += di;
            s[p].j += dj;
            s[p].i = std::min(std::max(s[p].i, 0.0), t.rows - 1.0);
            s[p].j = std::min(std::max(s[p].j, 0.0), t.cols - 1.0);
        }
        if (c.lines) c.contact.lines.push_back(s);
        else
            for (const tools::Spot &x : s) c.contact.lines.push_back({x});
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace fitcases
