#!/usr/bin/env bash
# gis-check.sh: tries, for real, the GDAL commands the README gives for
# bringing a DEM from a GIS into tolmar and its results back. Installs
# gdal-bin when it is missing (as root). Not part of the test command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" gdal-bin
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target tolmar tolmar-export >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Stand-ins for a user's GIS files: the bundled Jacksboro DEM as a Float32
# GeoTIFF in metres and as an ASCII grid, placed (for illustration only) in
# UTM zone 16N.
cp "$root/examples/jacksboro/jacksboro_m2.raw" src.raw
printf 'ENVI\nsamples = 403\nlines = 344\nbands = 1\nheader offset = 0\ndata type = 12\ninterleave = bsq\nbyte order = 0\n' > src.hdr
gdal_translate -q -ot Float32 -a_srs EPSG:32616 -a_ullr 760000 4035000 793449 4006448 src.raw dem.tif
gdal_translate -q -of AAIGrid dem.tif dem.asc
mkdir -p images/site

echo "== GeoTIFF in metres to a 16-bit file set"
gdal_translate -of ENVI -ot UInt16 dem.tif images/site/dem_m2.raw
gdalinfo -mm images/site/dem_m2.raw | awk -F'[ ,()=]+' '/^Size is/{c=$3;r=$4} /^Pixel Size/{p=$3} /Computed Min\/Max/{mn=$4;mx=$5} END{printf "%d %d 2 %d %d %d\n", r, c, mn, mx, p}' > images/site/dem_m2.txt
cmp images/site/dem_m2.raw src.raw
[ "$(cat images/site/dem_m2.txt)" = "344 403 2 236 1076 83" ]

echo "== ASCII grid in metres to a 32-bit file set in centimetres"
gdal_translate -of ENVI -ot Int32 -scale 0 1 0 100 dem.asc images/site/demcm_m4.raw
gdalinfo -mm images/site/demcm_m4.raw | awk -F'[ ,()=]+' '/^Size is/{c=$3;r=$4} /^Pixel Size/{p=$3} /Computed Min\/Max/{mn=$4;mx=$5} END{printf "%d %d 4 %d %d %d\n", r, c, mn, mx, p}' > images/site/demcm_m4.txt
[ "$(cat images/site/demcm_m4.txt)" = "344 403 4 23600 107600 83" ]

echo "== tolmar on both, the same treatment"
printf 'site\ndem\n0\n0\n0\n0\n110 300 20 150 40\n5\n' | "$root/build/tolmar" >/dev/null
printf 'site\ndemcm\n1\n1\nsitecm\n2\n0\n110 300 20 150 40\n5\n' | "$root/build/tolmar" >/dev/null
cmp images/site/dem_tolmar.raw images/site/sitecm_tolmar.raw

echo "== the result raster back into the GIS"
sed 's/^data type = .*/data type = 1/' images/site/dem_m2.hdr > images/site/dem_tolmar.hdr
gdal_translate -a_nodata 255 images/site/dem_tolmar.raw dem_tolmar.tif
info=$(gdalinfo -stats dem_tolmar.tif)
grep -q "Size is 403, 344" <<<"$info"
grep -q "Origin = (760000.000000000000000,4035000.000000000000000)" <<<"$info"
grep -q "NoData Value=255" <<<"$info"
grep -q "STATISTICS_MAXIMUM=1" <<<"$info"

echo "== the traces as GeoJSON, read back by OGR"
"$root/build/tolmar-export" images/site/dem_tolmar.raw --origin 760000 4035000 --crs EPSG:32616 -o traces.geojson
ogr=$(ogrinfo -so -al traces.geojson)
grep -q "Geometry: Multi Line String" <<<"$ogr"
grep -q "Feature Count: 1" <<<"$ogr"
grep -q 'ID\["EPSG",32616\]' <<<"$ogr"
features=$(ogrinfo -al traces.geojson)
grep -q "dip_direction (Integer) = 150" <<<"$features"
"$root/build/tolmar-export" images/site/dem_tolmar.raw --origin 760000 4035000 --format csv -o traces.csv
[ "$(head -1 traces.csv)" = "code,row,column,x,y" ]
echo "gis-check: every command worked"
