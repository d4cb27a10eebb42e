#!/usr/bin/env bash
# large-dem.sh: tolmar's scaling on this machine: for DEMs of 1,000,
# 10,000, 40,000 and 80,000 cells a side (16-bit; the last a 12.8 GB file),
# each generated, run through a whole session (decimetres, white
# background, a dozen treatments at zones 10 to 200, Exit) and removed: the
# wait before the first treatment question, the time of a treatment, and
# the run's memory. A size is skipped when the disk has not room for its DEM
# and results. Then the largest DEM the console's memory check admits here,
# next to the largest that ran. WORK=DIR puts the files elsewhere than the
# temporary folder; SIDES="..." other sizes. Not part of the test command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sides=${SIDES:-1000 10000 40000 80000}
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc 2>/dev/null || echo 2)" --target tolmar make_dem >/dev/null
work=${WORK:-$(mktemp -d)}
trap 'rm -rf "$work/images/big"' EXIT
mkdir -p "$work/images/big"

printf "%8s %10s %12s %12s %22s %22s %22s %10s %10s %10s\n" side DEM "1st question" "1st stamp" "zone 10 ms (wall/cpu)" "zone 50 ms" "zone 200 ms" "peak RSS" "own" "mapped"
largest=0
for side in $sides; do
  need=$(( side * side * 3 + 1000000000 ))
  free=$(df -B1 --output=avail "$work" | tail -1)
  if [ "$free" -lt "$need" ]; then
    echo "   $side x $side: skipped, $(( need / 1000000000 )) GB of disk needed, $(( free / 1000000000 )) GB free"
    continue
  fi
  "$root/build/make_dem" "$side" "$side" 2 "$work/images/big/dem"
  cat "$work/images/big/dem_m2.raw" > /dev/null  # the page cache warm, as after a first run
  line=$(python3 "$root/scripts/scaling.py" "$root/build/tolmar" "$work" big dem "$side")
  python3 - "$line" <<'PY'
import json, sys
r = json.loads(sys.argv[1])
t = r["treatment_ms"]
z = lambda k: "%9.2f / %-9.2f" % (t[k]["wall"], t[k]["cpu"])
gb = lambda b: "%.2f GB" % (b / 1e9) if b >= 1e9 else "%.0f MB" % (b / 1e6)
print("%8d %10s %10.3f s %10.3f s %22s %22s %22s %10s %10s %10s" % (
    r["side"], gb(2 * r["side"] ** 2), r["first_question_s"], r["first_stamp_s"], z("10"), z("50"), z("200"),
    gb(r["peak_rss_bytes"]), "%.0f MB" % (r["anon_bytes"] / 1e6), gb(r["file_bytes"])))
if r["status"] != 0:
    sys.exit("the session ended with status %d" % r["status"])
PY
  [ "$(stat -c %s "$work/images/big/dem_tolmar.raw")" -eq $(( side * side )) ] || { echo "result raster of the wrong size"; exit 1; }
  largest=$side
  rm -f "$work/images/big/"dem*
done
mem=$(awk '/MemTotal/ { printf "%.0f", $2 * 1024 }' /proc/meminfo)
admitted=$(python3 -c "import math; print(math.isqrt(int($mem) // 3))")
echo "the memory check admits 16-bit DEMs up to $admitted x $admitted cells here ($(( mem / 1000000000 )) GB of memory, 3 bytes a cell);"
echo "the largest that ran: $largest x $largest"
