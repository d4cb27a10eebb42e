#!/usr/bin/env bash
# run.sh: the QGIS plugin in real QGIS, headless: each of its algorithms run
# by qgis_process on the bundled DEMs, its outputs compared with those of
# the command-line tools for the same input. Usage: run.sh BIN_DIR EXAMPLES
# PLUGIN_DIR. Status 77 (skipped) where Debian's qgis_process.bin is missing
# (scripts/test.sh installs it).
set -euo pipefail
bin=$1 examples=$2 plugin=$3
command -v qgis_process.bin >/dev/null 2>&1 || { echo "qgis_process.bin not found: skipped"; exit 77; }
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
# A QGIS profile of its own with the plugin enabled, as a user installs it.
profile=$work/home/.local/share/QGIS/QGIS3/profiles/default
mkdir -p "$profile/python/plugins" "$profile/QGIS"
cp -r "$plugin" "$profile/python/plugins/tolmar"
printf '[PythonPlugins]\ntolmar=true\n' > "$profile/QGIS/QGIS3.ini"
# Debian's wrapper passes an option 3.22 does not know; QGIS's Python is
# Debian's; no display.
qp() { HOME=$work/home QT_QPA_PLATFORM=offscreen QGIS_OPTS= PATH=/usr/bin:$PATH TOLMAR_BIN=$bin qgis_process.bin "$@" 2>&1; }
fail() { echo "FAIL: $*"; exit 1; }
same() { cmp -s "$1" "$2" || fail "$1 and $2 differ"; }
# An export's features as text, without its name (and without the style
# the plugin keeps beside them).
features() { ogrinfo -q "$1" traces reference_points | grep -v "^Layer name\|^INFO\|DATA_SOURCE"; }
# The features of a file's first layer (a GeoPackage may also hold its style).
layer1() { ogrinfo -q "$1" "$(ogrinfo -q "$1" | sed -n '1s/^1: \([^ ]*\) .*/\1/p')"; }
cd "$work"

list=$(qp list)
for a in importdem tracestations fitattitude exporttraces; do
  grep -q "tolmar:$a" <<<"$list" || fail "tolmar:$a is not listed: $list"
done
# The choices and ranges are the programs' own (--describe), not the plugin's.
help=$(qp help tolmar:exporttraces)
for f in $("$bin/tolmar-export" --describe | python3 -c 'import json,sys; print(*[o for o in json.load(sys.stdin)["options"] if o["name"] == "--format"][0]["choices"])'); do
  grep -q -- "- [0-9]*: $f" <<<"$help" || fail "exporttraces does not offer --format $f: $help"
done
grep -q "Incorrect parameter value for LEVEL" <<<"$(qp run tolmar:fitattitude -- DEM="$examples/olinda/olinda_dem_utm25s.tif" CONTACT="$examples/jacksboro/contact.geojson" LEVEL=100 OUTPUT=x.json)" ||
  fail "fitattitude's LEVEL is not bounded by tolmar-fit's --level"

# Import DEM: the same file set as tolmar-import's.
# The working folder is made when it is not there yet.
mkdir -p cli
(cd cli && "$bin/tolmar-import" "$examples/olinda/olinda_dem_utm25s.tif" o olinda > /dev/null)
qp run tolmar:importdem -- INPUT="$examples/olinda/olinda_dem_utm25s.tif" WORK="$work/qgis" FOLDER=o NAME=olinda BAND=1 > import.log ||
  fail "importdem: $(cat import.log)"
for f in olinda_m4.raw olinda_m4.txt olinda_m4.vrt; do same cli/images/o/$f qgis/images/o/$f; done
dem=$work/qgis/images/o/olinda_m4.raw
# The algorithms take the DEM as a raster layer: the file set by its VRT.
vrt=${dem%.raw}.vrt
# Left to its defaults, Import DEM brings the layer into the user's cache
# (no project here) under the layer's name.
qp run tolmar:importdem -- INPUT="$examples/olinda/olinda_dem_utm25s.tif" > import2.log || fail "importdem, defaults: $(cat import2.log)"
[ -n "$(find "$work/home/.cache" -path '*/tolmar/images/qgis/olinda_dem_utm25s_m4.raw')" ] || fail "importdem's defaults: $(cat import2.log)"

# Trace stations: a table in longitude and latitude with both attitude
# conventions and bad rows, and 300 stations (two result sets).
python3 - "$dem" <<'PY'
import sys
with open("stations.csv", "w") as f:
    f.write("lon,lat,dip,dipdir,zone,name\n")
    for k in range(300):
        lon, lat = -34.87 + (k % 17) * 0.002, -7.99 - (k % 13) * 0.002
        dip = "" if k == 5 else ("95" if k == 7 else str(5 + k % 40))
        f.write("%.6f,%.6f,%s,%d,%d,s%d\n" % (lon, lat, dip, (k * 37) % 360, 6 + k % 5, k))
with open("strike.csv", "w") as f:
    f.write("x,y,dip,strike,zone\n")
    for k in range(20):
        f.write("%d,%d,%d,%d,8\n" % (288776 + 2000 + 150 * k, 9120760 - 2500 - 100 * k, 10 + k, (k * 50) % 360))
PY
"$bin/tolmar-stations" "$dem" stations.csv --table-crs EPSG:4326 --sets --result cli -o cli.gpkg > cli.log || fail "tolmar-stations: $(cat cli.log)"
# QGIS reads the CSV as a table without a system: it is given one.
printf '<OGRVRTDataSource><OGRVRTLayer name="stations"><SrcDataSource>%s</SrcDataSource><GeometryType>wkbPoint</GeometryType><LayerSRS>EPSG:4326</LayerSRS><GeometryField encoding="PointFromColumns" x="lon" y="lat"/></OGRVRTLayer></OGRVRTDataSource>\n' "$work/stations.csv" > stations.vrt
qp run tolmar:tracestations -- DEM="$vrt" STATIONS="$work/stations.vrt" ZONE=0 GEOMETRY=0 SETS=true RESULT=qgis OUTPUT="$work/qgis.gpkg" > stations.log ||
  fail "tracestations: $(cat stations.log)"
grep -q "progress\|100" stations.log || true
for set in "" _2; do
  for ext in raw txt; do same qgis/images/o/cli${set}_tolmar.$ext qgis/images/o/qgis${set}_tolmar.$ext 2>/dev/null || same "$work/qgis/images/o/cli${set}_tolmar.$ext" "$work/qgis/images/o/qgis${set}_tolmar.$ext"; done
done
[ "$(layer1 qgis.gpkg | grep -c '^OGRFeature')" = 300 ] || fail "300 stations, 300 features"
[ "$(layer1 qgis.gpkg | grep -c 'status (String) = refused')" = 2 ] || fail "the two bad rows are refused and kept"
paste -d' ' <(ogrinfo -al -q cli.gpkg | grep "code (Integer)\|cells (Integer)") \
            <(layer1 qgis.gpkg | grep "code (Integer)\|cells (Integer)") | awk '$4 != $8 { bad = 1 } END { exit bad }' ||
  fail "the QGIS run's codes and cells are the command line's"
# Strike and dip by the right-hand rule, map coordinates in the DEM's system.
"$bin/tolmar-stations" "$dem" strike.csv --sets --result strike_cli -o strike_cli.gpkg > /dev/null
qp run tolmar:tracestations -- DEM="$vrt" STATIONS="$work/strike.csv" ZONE=0 GEOMETRY=0 SETS=true RESULT=strike_q OUTPUT="$work/strike_q.gpkg" > strike.log ||
  fail "tracestations, strike: $(cat strike.log)"
# The output keeps its style (layer_styles), and a missing zone is told in
# the dialog's words, not the program's options.
[ "$(python3 -c 'import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute("select count(*) from layer_styles").fetchone()[0])' strike_q.gpkg)" = 1 ] ||
  fail "the trace layer keeps its style in layer_styles"
printf 'x,y,dip,dipdir\n290000,9115000,10,30\n' > nozone.csv
said=$(qp run tolmar:tracestations -- DEM="$vrt" STATIONS="$work/nozone.csv" OUTPUT=TEMPORARY_OUTPUT || true)
grep -q "^ERROR:.*give “Influence zone” or “Zone field”" <<<"$said" || fail "a missing zone in the dialog's words: $said"
# The stations' fields picked by name, a temporary output.
printf 'x,y,fall,toward,reach,label\n290621,9117385,10,30,8,a\n' > picked.csv
said=$(qp run tolmar:tracestations -- DEM="$vrt" STATIONS="$work/picked.csv" DIP=fall DIP_DIRECTION=toward ZONE_FIELD=reach ID=label \
  OUTPUT=TEMPORARY_OUTPUT) || fail "tracestations with picked fields: $said"
grep -q "^OUTPUT:.*\.gpkg" <<<"$said" && grep -q "no result set is written" <<<"$said" && [ ! -e qgis/images/o/picked_tolmar.raw ] ||
  fail "a temporary trace layer alone: $said"
# Carried on, a finished table has nothing left to trace: the layer is kept.
pick() { qp run tolmar:tracestations -- DEM="$vrt" STATIONS="$work/picked.csv" DIP=fall DIP_DIRECTION=toward ZONE_FIELD=reach \
  ID=label OUTPUT="$work/picked.gpkg" "$@"; }
pick > /dev/null || fail "tracestations to a GeoPackage: $(pick)"
said=$(pick RESUME=true) || fail "tracestations carried on: $said"
grep -q "it holds stations 1 to 1; the table goes on from station 2" <<<"$said" || fail "tracestations carried on: $said"
grep -q "right-hand rule" strike.log || fail "the strike convention is said: $(cat strike.log)"
grep -q "^geometry true" qgis/images/o/strike_q_tolmar.txt || fail "true geometry, the default"

# Fit attitude: the same numbers as tolmar-fit on the same contact (the true
# trace of a plane dipping 5 towards 200 over a zone of 40 cells, in the
# DEM's system: a GeoPackage for QGIS, GeoJSON for the command line).
printf 'row,column,dip,dipdir,zone\n55,55,5,200,40\n' > plane.csv
"$bin/tolmar-stations" "$dem" plane.csv --geometry true --sets --result plane -o plane.gpkg > /dev/null
"$bin/tolmar-export" qgis/images/o/plane_tolmar.raw --format gpkg -o all.gpkg
ogr2ogr -f GPKG contact.gpkg all.gpkg traces -nln contact
ogr2ogr -f GeoJSON -lco RFC7946=NO contact.geojson contact.gpkg
"$bin/tolmar-fit" --json "$dem" contact.geojson > fit_cli.json 2> fit_cli.err || fail "tolmar-fit: $(cat fit_cli.err; head -c 600 fit_cli.json)"
mkdir -p "$work/tmp"
TMPDIR=$work/tmp qp run tolmar:fitattitude -- DEM="$vrt" CONTACT="$work/contact.gpkg" UNIT=0 ZONE=0 LEVEL=99 OUTPUT="$work/fit_q.json" \
  TRACE="$work/fit_trace.gpkg" BAND="$work/fit_band.gpkg" > fit.log || fail "fitattitude: $(cat fit.log)"
python3 - <<'PY' || fail "the fit's attitude is tolmar-fit's"
import json, sys
a, b = json.load(open("fit_cli.json"))["attitude"], json.load(open("fit_q.json"))["attitude"]
sys.exit(0 if abs(a["dip"] - b["dip"]) < 1e-6 and abs(a["dip_direction"] - b["dip_direction"]) < 1e-6 else 1)
PY
grep -q "^DIP_DIRECTION:\s*[0-9]*\.[0-9]\{1,2\}$" fit.log && grep -q "^WHOLE_DIP:\s*[0-9]*$" fit.log ||
  fail "the fit returns its numbers, to two decimals and in whole degrees: $(cat fit.log)"
[ "$(layer1 fit_band.gpkg | grep -c 'MULTIPOLYGON')" = 1 ] || fail "the band is a layer of polygons"
[ "$(layer1 fit_trace.gpkg | grep -c 'MULTILINESTRING')" = 1 ] || fail "the trace is a layer of lines"
# A contact that decides nothing (a straight line of three points), in
# WGS 84: no answer, a sentence in the log, no failure, nothing left in
# the temporary folder.
printf '{"type":"LineString","coordinates":[[-34.868,-7.995],[-34.862,-7.995],[-34.856,-7.995]]}\n' > straight.geojson
TMPDIR=$work/tmp qp run tolmar:fitattitude -- DEM="$vrt" CONTACT="$work/straight.geojson" UNIT=0 ZONE=0 LEVEL=90 OUTPUT="$work/fit_s.json" > straight.log ||
  fail "fitattitude on a contact that decides nothing: $(cat straight.log)"
grep -q "does not decide the attitude" straight.log || fail "the undetermined contact is said: $(cat straight.log)"
[ -z "$(ls -A "$work/tmp" | grep tolmar-fit)" ] || fail "temporary files left: $(ls "$work/tmp")"

# Export traces: the same GeoPackage as tolmar-export's.
"$bin/tolmar-export" qgis/images/o/qgis_tolmar.raw --format gpkg -o export_cli.gpkg
qp run tolmar:exporttraces -- RESULT="$work/qgis/images/o/qgis_tolmar.raw" FORMAT=2 OUTPUT="$work/export_q.gpkg" > export.log ||
  fail "exporttraces: $(cat export.log)"
diff <(features export_cli.gpkg) <(features export_q.gpkg) > /dev/null || fail "the exported layers are tolmar-export's"
# A temporary output takes the format's ending; a name that asks for
# another format is refused before anything is written.
said=$(qp run tolmar:exporttraces -- RESULT="$work/qgis/images/o/qgis_tolmar.raw" FORMAT=2 OUTPUT=TEMPORARY_OUTPUT) || fail "exporttraces, temporary: $said"
grep -q "^OUTPUT:.*\.gpkg$" <<<"$said" || fail "a temporary GeoPackage: $said"
said=$(qp run tolmar:exporttraces -- RESULT="$work/qgis/images/o/qgis_tolmar.raw" FORMAT=2 OUTPUT="$work/wrong.geojson" || true)
grep -q "^ERROR:.*Output: the format gpkg is written to a .gpkg file, not wrong.geojson" <<<"$said" && [ ! -e wrong.geojson ] ||
  fail "a GeoPackage named .geojson is refused and nothing written: $said"
# A failure is told in the program's own sentence.
said=$(qp run tolmar:exporttraces -- RESULT="$work/none_tolmar.raw" FORMAT=2 OUTPUT="$work/none.gpkg" || true)
grep -q "^ERROR:.*tolmar-export: cannot read $work/none_tolmar.txt: No such file or directory" <<<"$said" ||
  fail "a failed export is not told in tolmar-export's words: $said"
echo "QGIS plugin: 4 algorithms listed and run, outputs as the command line's"
