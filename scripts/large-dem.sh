#!/usr/bin/env bash
# large-dem.sh: a whole tolmar session on a 40,000 x 40,000 16-bit DEM (1.6
# billion cells, 3.2 GB of samples): generates the DEM, answers the dialogue
# (decimetres, white background, a dozen treatments, Exit), and reports the
# time and the peak memory of the run against the DEM's size. Needs about
# 5 GB of memory and 5 GB of disk in the temporary folder (WORK=DIR to put it
# elsewhere; SIDE=N for another size). Not part of the test command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
side=${SIDE:-40000}
bash "$root/scripts/deps.sh" time
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$(nproc 2>/dev/null || echo 2)" --target tolmar make_dem >/dev/null
work=${WORK:-$(mktemp -d)}
trap 'rm -rf "$work/images/big"' EXIT
mkdir -p "$work/images/big"
cd "$work"

echo "== generating a $side x $side 16-bit DEM"
/usr/bin/time -f "   %e s" "$root/build/make_dem" "$side" "$side" 2 images/big/dem
ls -l images/big/dem_m2.raw | awk '{printf "   %.1f GB of samples\n", $5 / 1e9}'

# Treatments spread over the DEM, zones 10 to 200, five directions, a repeat.
answers="big\ndem\n0\n0\n1\n0\n"
first=1
for k in 0 1 2 3 4 5 6 7 8 9; do
  i=$(( 300 + (k * 7919) % (side - 600) )); j=$(( 300 + (k * 104729) % (side - 600) ))
  zone=$(( k % 2 == 0 ? 200 : 10 + 20 * k )); dir=$(( (k * 72 + 45) % 360 ))
  [ $first -eq 1 ] || answers+="0\n"
  first=0
  answers+="$i $j 20 $dir $zone\n"
done
answers+="-1\n5\n"

echo "== the session: load, 11 treatments, Exit"
printf "$answers" | /usr/bin/time -f "%e %M" -o time.txt "$root/build/tolmar" > session.txt
read -r seconds peak_kb < time.txt
stamped=$(grep -c "stamped on" session.txt || true)
cells=$(( side * side ))
echo "   $stamped treatments stamped in $seconds s"
awk -v kb="$peak_kb" -v cells="$cells" 'BEGIN { printf "   peak memory %.2f GB: %.3f bytes a cell\n", kb * 1024 / 1e9, kb * 1024 / cells }'
ls -l images/big/dem_tolmar.raw | awk -v cells="$cells" '{ if ($5 != cells) { print "   result raster of the wrong size"; exit 1 } else print "   result raster of", $5, "bytes" }'
grep -c " code " images/big/dem_tolmar.txt | awk '{ print "   log of", $1, "records" }'
