#!/usr/bin/env bash
# bench.sh: builds tolmar as released and runs its benchmarks: treatment time
# over raster sizes and directions, loading time beside a plain read of the
# same file with the memory a cell costs, tolmar-import beside gdal_translate
# on a 20,000 x 20,000 GeoTIFF, and the workbench's first picture, view
# pictures and traces on a 20,000 x 20,000 DEM. Needs about 4 GB of memory and
# 5 GB of temporary disk. Extra arguments go to both benchmark programs (e.g.
# --benchmark_filter=Treatment).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tolmar_bench tolmar_bench_import tolmar_bench_serve >/dev/null
build/tolmar_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
build/tolmar_bench_import "$@"
build/tolmar_bench_serve "$@"
