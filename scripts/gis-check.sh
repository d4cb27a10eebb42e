#!/usr/bin/env bash
# gis-check.sh: tries, for real, the commands the README gives for bringing
# a DEM from a GIS into tolmar and its results back: tolmar-import of a
# GeoTIFF, gdalinfo on its georeference, a session, tolmar-export of the
# traces and of the coded raster, read back by gdalinfo and ogrinfo.
# Installs gdal-bin when it is missing (as root). Not part of the test command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" gdal-bin
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target tolmar tolmar-import tolmar-export >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A stand-in for a user's GeoTIFF: the bundled Jacksboro DEM as Float32
# metres, placed (for illustration only) in UTM zone 16N.
cp "$root/examples/jacksboro/jacksboro_m2.raw" src.raw
printf 'ENVI\nsamples = 403\nlines = 344\nbands = 1\nheader offset = 0\ndata type = 12\ninterleave = bsq\nbyte order = 0\n' > src.hdr
gdal_translate -q -ot Float32 -a_srs EPSG:32616 -a_ullr 760000 4035000 793449 4006448 src.raw dem.tif

echo "== tolmar-import of a GeoTIFF"
"$root/build/tolmar-import" dem.tif site dem
cmp images/site/dem_m2.raw src.raw
[ "$(cat images/site/dem_m2.txt)" = "344 403 2 236 1076 83" ]
info=$(gdalinfo images/site/dem_m2.vrt)
grep -q "Origin = (760000.000000000000000,4035000.000000000000000)" <<<"$info"
grep -q 'ID\["EPSG",32616\]' <<<"$info"

echo "== a session on it"
printf 'site\ndem\n0\n0\n0\n0\n110 300 20 150 40\n5\n' | "$root/build/tolmar" >/dev/null

echo "== the coded raster back into the GIS"
"$root/build/tolmar-export" images/site/dem_tolmar.raw --format vrt
info=$(gdalinfo -stats images/site/dem_tolmar.vrt)
grep -q "Origin = (760000.000000000000000,4035000.000000000000000)" <<<"$info"
grep -q "NoData Value=255" <<<"$info"
grep -q "Color Table" <<<"$info"
grep -q "STATISTICS_MAXIMUM=1" <<<"$info"

echo "== the traces as GeoJSON, read back by OGR"
"$root/build/tolmar-export" images/site/dem_tolmar.raw -o traces.geojson
ogr=$(ogrinfo -so -al traces.geojson)
grep -q "Geometry: Multi Line String" <<<"$ogr"
grep -q "Feature Count: 1" <<<"$ogr"
grep -q 'ID\["EPSG",32616\]' <<<"$ogr"
grep -q "dip_direction (Integer) = 150" <<<"$(ogrinfo -al traces.geojson)"
"$root/build/tolmar-export" images/site/dem_tolmar.raw --format csv -o traces.csv
[ "$(head -1 traces.csv)" = "code,row,column,x,y" ]

echo "== the real olinda GeoTIFF"
"$root/build/tolmar-import" "$root/examples/olinda/olinda_dem_utm25s.tif" olinda olinda
# Read whole first: under pipefail, `grep -q` leaving early would break the pipe.
info=$(gdalinfo images/olinda/olinda_m4.vrt)
grep -q "Pixel Size = (89.994067349451157,-89.994067349451157)" <<<"$info"
echo "gis-check: every command worked"
