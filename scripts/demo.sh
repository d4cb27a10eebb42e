#!/usr/bin/env bash
# demo.sh: builds tolmar and its companions and runs its main job on the bundled Jacksboro DEM
# (Pine Mountain, Tennessee), answering the dialogue from
# examples/jacksboro/answers.txt, in the folder demo/; then draws the traces
# over the terrain with tolmar-preview. It replaces only its own files in
# demo/ (the DEM's folder and the picture): what you wrote there stays.
set -euo pipefail
cd "$(dirname "$0")/.."
step() { printf '\n== %s\n' "$*"; }
step "1/5 the Debian packages the build needs (installed when missing: a few minutes the first time)"
bash scripts/deps.sh
step "2/5 configuring the build in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
step "3/5 building tolmar and tolmar-preview (the compiler's progress; a few minutes the first time)"
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tolmar tolmar-preview
step "4/5 tolmar on the Jacksboro DEM, its answers from examples/jacksboro/answers.txt, in demo/"
rm -rf demo/images/jacksboro demo/jacksboro.png
mkdir -p demo/images/jacksboro
cp examples/jacksboro/jacksboro_m2.raw examples/jacksboro/jacksboro_m2.txt demo/images/jacksboro/

# The answers go in line by line through a terminal, which echoes each one
# after its prompt, so that the dialogue scrolls by as if typed. Without the
# `script` tool they go in on standard input, unechoed.
answers=../examples/jacksboro/answers.txt
if command -v script >/dev/null 2>&1; then
  (cd demo && while IFS= read -r line; do sleep 0.05; printf '%s\n' "$line"; done < "$answers" \
     | script -qfec ../build/tolmar /dev/null)
else
  (cd demo && ../build/tolmar < "$answers")
fi

step "5/5 the traces drawn over the terrain"
build/tolmar-preview --scale 2 demo/images/jacksboro/jacksboro_m2.raw \
  demo/images/jacksboro/jacksboro_tolmar.raw demo/jacksboro.png
echo
echo "Results in demo/images/jacksboro/:"
echo "  jacksboro_tolmar.raw  the traces, an 8-bit raster of 344 x 403 cells"
echo "  jacksboro_tolmar.txt  its descriptor and the log of the treatments"
echo "Picture of the traces over the terrain: demo/jacksboro.png"
