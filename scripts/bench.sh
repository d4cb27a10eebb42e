#!/usr/bin/env bash
# bench.sh: builds tolmar as released and runs its benchmarks, side by side
# in one run: the cost of a treatment per cell of its square (every
# direction, both geometries), a treatment in a console session on rasters
# of 1,000 and 20,000 cells a side beside its bare computation and beside a
# plain numpy script doing the same job, the fit, the wait before the first
# treatment question beside a page-cache read of the DEM, tolmar-import
# beside gdal_translate, the workbench's pictures, traces and memory, and
# traces from Python beside the same from C++ (when the module is built),
# and the live traces of the QGIS panel and of the workbench in chromium.
# Needs about 6 GB of memory and 6 GB of temporary disk. Extra arguments go
# to the benchmark programs (e.g. --benchmark_filter=Session).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh python3-numpy pybind11-dev python3-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tolmar_bench tolmar_bench_start tolmar_bench_import tolmar_bench_serve >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build/tolmar_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/tolmar.json" --benchmark_out_format=json "$@"
/usr/bin/python3 bench/numpy_treatment.py 1000 20000 | tee "$out/numpy.jsonl"
# A treatment in a session beside its computation and the numpy script.
python3 - "$out/tolmar.json" "$out/numpy.jsonl" <<'PY'
import json, sys
runs = {b["run_name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"}
numpy = {j["name"]: j for j in map(json.loads, open(sys.argv[2]))}
print("\n%-22s %10s %12s %12s %10s %10s %12s" % ("", "bare us", "session cpu", "session wall", "/ bare", "/ numpy", "20000/1000"))
for zone in (10, 50, 200, 1000):
    for side in (1000, 20000):
        key = "side:%d/infl:%d" % (side, zone)
        bare, sess = runs.get("BM_BareTreatment/" + key), runs.get("BM_SessionTreatment/" + key)
        npy = numpy.get("numpy/" + key)
        if not bare or not sess:
            continue
        small = runs.get("BM_SessionTreatment/side:1000/infl:%d" % zone)
        print("%-22s %10.1f %12.1f %12.1f %10.2f %10s %12s" % (
            key, bare["cpu_time"], sess["cpu_time"], sess["real_time"], sess["cpu_time"] / bare["cpu_time"],
            "%.2f" % (sess["cpu_time"] / npy["cpu_us"]) if npy else "-",
            "%.2f" % (sess["cpu_time"] / small["cpu_time"]) if side == 20000 and small else ""))
PY
build/tolmar_bench_start "$@"
build/tolmar_bench_import "$@"
build/tolmar_bench_serve "$@"
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tolmar_bench_python >/dev/null
build/tolmar_bench_python --benchmark_repetitions=3 --benchmark_report_aggregates_only=true "$@"
# The QGIS panel's key to its redrawn band (QGIS offscreen), and the
# workbench's keystroke to its redrawn trace in chromium, on 10,000² DEMs.
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tolmar_bench_qgis make_dem >/dev/null
build/tolmar_bench_qgis "$@"
if [ -x /usr/bin/chromium ] && [ -d tests/browser/node_modules/puppeteer-core ]; then
  node bench/workbench_keys.mjs "$PWD/build/tolmar-serve" "$PWD/build/make_dem" 40
fi
