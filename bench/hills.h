// hills.h: the benchmarks' synthetic terrain: rolling hills, about 300 m
// high over a few hundred cells, plus a little roughness, as 16-bit
// decimetres, so that planes cut them in long winding traces. Built as the
// sum of a row profile and a column profile so that 20,000 x 20,000 cells
// fill fast. One raster at a time is kept.
#ifndef TOLMAR_BENCH_HILLS_H
#define TOLMAR_BENCH_HILLS_H

#include <cmath>
#include <vector>

#include "compute/geometry.h"
#include "files/demset.h"

struct Hills {
    int side = 0;
    DemSamples dem;
    Terrain terrain() const { return dem.terrain(10.0, 30); }
};

inline Hills &hills(int n) {
    static Hills r;
    if (r.side == n) return r;
    r.dem.release();
    r.side = n;
    r.dem.allocate(n, n, 2);
    std::vector<double> row(static_cast<size_t>(n)), col(static_cast<size_t>(n));
    for (int k = 0; k < n; k++) {
        row[static_cast<size_t>(k)] = 150 * sin(k / 97.0) + 40 * sin(k / 23.0);
        col[static_cast<size_t>(k)] = 120 * cos(k / 131.0) + 30 * sin(k / 17.0);
    }
    for (int i = 0; i < n; i++) {
        uint16_t *z = r.dem.s16() + static_cast<size_t>(i) * static_cast<size_t>(n);
        for (int j = 0; j < n; j++)
            z[j] = static_cast<uint16_t>(10 * (500 + row[static_cast<size_t>(i)] + col[static_cast<size_t>(j)]) + (i * 7 + j * 13) % 50);
    }
    return r;
}

// The k-th treatment of a session on a side x side raster at this zone. As
// in a session, where the menu changes the dip, the direction or the zone
// and keeps the point, every point serves `per_point` treatments (five
// directions, two dips); the points are spread over the whole raster.
inline Values session_values(long long k, int side, int zone, int per_point) {
    static const int dirs[] = {90, 135, 180, 225, 300};
    const long long point = k / per_point;
    const int room = side - 2 * (zone * 3 / 2) - 4;
    Values v;
    v.row = zone * 3 / 2 + 2 + static_cast<int>((point * 7919) % room);
    v.column = zone * 3 / 2 + 2 + static_cast<int>((point * 104729) % room);
    v.dip = k % 2 ? 15 : 40;
    v.dip_direction = dirs[k % 5];
    v.zone = zone;
    return v;
}

#endif
