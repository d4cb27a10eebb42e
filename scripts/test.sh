#!/usr/bin/env bash
# test.sh: builds tolmar and runs every test twice: as released (build/), and
# under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), where
# the first report stops the program and fails the test. The workbench's
# browser test needs Debian's chromium and puppeteer-core from npm, the QGIS
# plugin's test Debian's QGIS 3.22 and GDAL's command-line tools, the Python
# module pybind11 and numpy, its tests pytest, nbclient and matplotlib, the
# manual pages help2man: all are installed here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh chromium qgis python3-qgis gdal-bin pybind11-dev python3-dev python3-numpy python3-pytest python3-nbclient \
  python3-nbformat python3-ipykernel python3-matplotlib help2man
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  bash scripts/deps.sh nodejs npm
fi
(cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
jobs=$(nproc 2>/dev/null || echo 2)

echo "== tests, as released"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== tests, under the address and undefined-behaviour sanitizers"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLMAR_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure
