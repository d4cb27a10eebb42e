#!/usr/bin/env bash
# demo.sh: builds tolmar and runs its main job on the bundled Jacksboro DEM,
# answering the dialogue from examples/jacksboro/answers.txt, in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tolmar >/dev/null
rm -rf demo
mkdir -p demo/images/jacksboro
cp examples/jacksboro/jacksboro_m2.raw examples/jacksboro/jacksboro_m2.txt demo/images/jacksboro/
# The answers are echoed as the run reads them, so the dialogue reads as typed.
(cd demo && ../build/tolmar < ../examples/jacksboro/answers.txt)
echo
echo "Results: demo/images/jacksboro/jacksboro_tolmar.raw (8-bit raster, 344 x 403)"
echo "         demo/images/jacksboro/jacksboro_tolmar.txt (descriptor and run log)"
