#!/usr/bin/env bash
# bench.sh: builds tolmar as released and runs its benchmarks: treatment time
# over raster sizes, loading time beside a plain read of the same file, and
# the grids' memory per cell. Needs about 8 GB of memory and 600 MB of
# temporary disk. Extra arguments go to the benchmark (e.g.
# --benchmark_filter=Treatment).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tolmar_bench >/dev/null
build/tolmar_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true "$@"
