// trace_accuracy.cpp: how far the traces lie from the exact intersection of
// the plane and the ground, on planar ramps where that intersection is a
// known straight line: for each dip and each dip direction (every 15
// degrees), the classic and the true-geometry trace's azimuth error, median
// and largest distance of their cells from the line (in cells), and the
// share of the line (a cell or more inside the square) with a trace cell
// within 1.5 cells. Prints the README's tables.
//   trace_accuracy [ZONE]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "compute/treatment.h"
#include "files/demset.h"

namespace {

const double PI = 3.14159265358979323846;
const int SIDE = 240, PIX = 83;
const double GE = 0.25, GN = 0.10;  // the ramp: z = 1000 + 0.25 east + 0.10 north, metres

struct Measure {
    bool line = false;
    double az_error = 0, median = 0, largest = 0, covered = 0;
};

// The exact intersection of the plane (dip, dip direction) through the
// centre with the ramp: A dj - B di = 0 in cells from the centre.
Measure measure(const std::vector<Cell> &cells, const Square &q, int ip, int jp, int dip, int dir) {
    Measure m;
    const double tn = std::tan(dip * PI / 180), az = dir * PI / 180;
    const double A = GE + tn * std::sin(az), B = GN + tn * std::cos(az);
    const double norm = std::hypot(A, B);
    if (norm < 1e-9 || cells.size() < 3) return m;
    m.line = true;
    std::vector<double> d;
    for (Cell c : cells) d.push_back(std::fabs(A * (c.j - jp) - B * (c.i - ip)) / norm);
    std::sort(d.begin(), d.end());
    m.median = d[d.size() / 2];
    m.largest = d.back();
    // The trace's own direction: the principal axis of its cells.
    double mi = 0, mj = 0;
    for (Cell c : cells) mi += c.i, mj += c.j;
    mi /= cells.size();
    mj /= cells.size();
    double sii = 0, sjj = 0, sij = 0;
    for (Cell c : cells) sii += (c.i - mi) * (c.i - mi), sjj += (c.j - mj) * (c.j - mj), sij += (c.i - mi) * (c.j - mj);
    const double theta = 0.5 * std::atan2(2 * sij, sjj - sii);  // angle from the column axis towards rows
    const double trace_az = std::fmod(std::atan2(std::cos(theta), -std::sin(theta)) * 180 / PI + 360, 180);
    const double line_az = std::fmod(std::atan2(B, -A) * 180 / PI + 360, 180);
    double e = std::fabs(trace_az - line_az);
    m.az_error = std::min(e, 180 - e);
    // Coverage: points of the line a cell or more inside the square.
    const double ui = A / norm, uj = B / norm;  // along the line, in (i, j)
    const Cell corner[4] = {q.lb, q.lt, q.rt, q.rb};
    // How far inside the convex quadrilateral (negative outside), whichever
    // way its corners turn.
    double turn = 0;
    for (int k = 0; k < 4; k++) {
        const Cell a = corner[k], b = corner[(k + 1) % 4];
        turn += static_cast<double>(a.j) * b.i - static_cast<double>(b.j) * a.i;
    }
    const double sign = turn >= 0 ? 1 : -1;
    auto inside_by = [&](double i, double j) {
        double best = 1e300;
        for (int k = 0; k < 4; k++) {
            const Cell a = corner[k], b = corner[(k + 1) % 4];
            const double ei = b.i - a.i, ej = b.j - a.j, len = std::hypot(ei, ej);
            best = std::min(best, sign * (ej * (i - a.i) - ei * (j - a.j)) / len);
        }
        return best;
    };
    int samples = 0, near = 0;
    for (double s = -3 * SIDE; s <= 3 * SIDE; s += 0.25) {
        const double i = ip + s * ui, j = jp + s * uj;
        if (inside_by(i, j) < 1) continue;
        samples++;
        double best = 1e300;
        for (Cell c : cells) best = std::min(best, std::hypot(c.i - i, c.j - j));
        near += best <= 1.5;
    }
    m.covered = samples ? static_cast<double>(near) / samples : 1;
    return m;
}

}  // namespace

int main(int argc, char **argv) {
    const int zone = argc > 1 ? atoi(argv[1]) : 60;
    DemSamples dem;
    dem.allocate(SIDE, SIDE, 4);
    for (int i = 0; i < SIDE; i++)
        for (int j = 0; j < SIDE; j++)
            dem.set(i, j, static_cast<int32_t>(std::lround(1000 * (1000 + GE * j * PIX - GN * i * PIX))));
    const Terrain t = dem.terrain(1000, PIX);
    const int ip = SIDE / 2, jp = SIDE / 2;
    Work w;
    for (Geometry g : {Geometry::classic, Geometry::exact}) {
        printf("\n%s geometry, zone %d, ramp of 0.25 east and 0.10 north, cells of %d m: azimuth error in degrees, "
               "median and largest distance in cells, share of the line within 1.5 cells of a trace cell\n\n",
               g == Geometry::exact ? "True" : "Classic", zone, PIX);
        printf("| direction | dip 15 | dip 40 | dip 65 |\n|---|---|---|---|\n");
        double worst_median = 0, worst = 0, least_covered = 1;
        for (int dir = 0; dir < 360; dir += 15) {
            printf("| %d |", dir);
            for (int dip : {15, 40, 65}) {
                const Trace tr = trace(t, {ip, jp, dip, dir, zone}, w, g);
                const Measure m = measure(tr.cells, tr.square, ip, jp, dip, dir);
                if (!m.line) {
                    printf(" no line |");
                    continue;
                }
                worst_median = std::max(worst_median, m.median);
                worst = std::max(worst, m.largest);
                least_covered = std::min(least_covered, m.covered);
                printf(" %.1f, %.2f, %.2f, %.0f %% |", m.az_error, m.median, m.largest, 100 * m.covered);
            }
            printf("\n");
        }
        printf("\nworst median %.2f cells, largest distance %.2f cells, least share covered %.0f %%\n", worst_median, worst,
               100 * least_covered);
    }
    return 0;
}
