#!/usr/bin/python3
"""numpy_treatment.py: the reference a tolmar treatment is measured against,
a plain numpy script doing what a geologist would write: the window of the
influence zone around the point, the plane through the point minus the
terrain, and the cells where the sign changes between side neighbours. It
works on the same hills as the benchmarks (16-bit decimetres, cells of 30 m)
and the same treatments a session benchmark stamps, and prints the time of
one treatment (process time, and wall-clock time) for each raster side and
zone, as JSON lines.

Usage: numpy_treatment.py [SIDE...]   (default 1000 20000)
Needs python3-numpy (Debian)."""
import json
import math
import sys
import time

import numpy as np


def hills(n):
    # The benchmarks' terrain, the same expression per cell.
    k = np.arange(n, dtype=np.float64)
    row = 150 * np.sin(k / 97.0) + 40 * np.sin(k / 23.0)
    col = 120 * np.cos(k / 131.0) + 30 * np.sin(k / 17.0)
    dem = np.empty((n, n), dtype=np.uint16)
    jj = np.arange(n, dtype=np.int64)
    for i in range(n):  # a row at a time: a 20,000 x 20,000 float grid would need 3 GB
        z = 10 * (500 + row[i] + col) + (i * 7 + jj * 13) % 50
        dem[i] = z.astype(np.uint16)
    return dem


DIRS = (90, 135, 180, 225, 300)


def values(k, side, zone, per_point=5):
    point = k // per_point
    room = side - 2 * (zone * 3 // 2) - 4
    return (zone * 3 // 2 + 2 + (point * 7919) % room, zone * 3 // 2 + 2 + (point * 104729) % room,
            15 if k % 2 else 40, DIRS[k % 5], zone)


def treatment(dem, row, col, dip, direction, zone, divisor=10.0, pix=30.0):
    win = dem[row - zone:row + zone + 1, col - zone:col + zone + 1].astype(np.float64) / divisor
    di = np.arange(-zone, zone + 1, dtype=np.float64)
    fall = math.tan(math.radians(dip)) * pix
    az = math.radians(direction)
    plane = dem[row, col] / divisor - fall * (np.sin(az) * di[None, :] - np.cos(az) * di[:, None])
    up = (win - plane) >= 0
    trace = np.zeros(up.shape, dtype=bool)
    across = up[:, 1:] != up[:, :-1]
    down = up[1:, :] != up[:-1, :]
    trace[:, 1:] |= across
    trace[1:, :] |= down
    return np.count_nonzero(trace)


def main():
    sides = [int(a) for a in sys.argv[1:]] or [1000, 20000]
    for side in sides:
        dem = hills(side)
        for zone in (10, 50, 200, 1000):
            if side <= 4 * zone:
                continue
            n = {10: 4000, 50: 2000, 200: 300, 1000: 20}[zone]
            for k in range(min(n, 50)):  # warm up
                treatment(dem, *values(k, side, zone))
            c0, w0 = time.process_time(), time.perf_counter()
            for k in range(n):
                treatment(dem, *values(k, side, zone))
            c1, w1 = time.process_time(), time.perf_counter()
            print(json.dumps({"name": "numpy/side:%d/infl:%d" % (side, zone), "cpu_us": (c1 - c0) / n * 1e6,
                              "wall_us": (w1 - w0) / n * 1e6}), flush=True)


if __name__ == "__main__":
    main()
