#!/usr/bin/env bash
# run.sh: the Debian package as a user gets it. cpack makes it from the
# build; dpkg -x unpacks it into a temporary root, where each program
# answers --version, the manual pages and the QGIS plugin are in place,
# `import tolmar` comes from the package and traces, and the plugin finds
# the programs beside its prefix without TOLMAR_BIN. Usage: run.sh BUILD_DIR
# EXAMPLES VERSION.
set -euo pipefail
build=$1 examples=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$work" && cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" > cpack.log 2>&1) || fail "cpack: $(cat "$work/cpack.log")"
deb=$work/out/tolmar_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb: $(ls "$work/out")"
# Read whole before it is searched: `grep -q` leaves at the first match,
# and under pipefail the writer's broken pipe would fail the check.
control=$(dpkg-deb -f "$deb" Package Version Architecture Depends)
grep -q "^Version: $version" <<<"$control" || fail "the package's control: $(dpkg-deb -f "$deb")"
root=$work/root
dpkg -x "$deb" "$root"

# Every library the programs and the module load directly comes from a
# package the control file depends on.
depends=$(dpkg-deb -f "$deb" Depends)
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for f in "$root"/usr/bin/* "$root"/usr/lib/python3/dist-packages/tolmar/*.so; do
  for lib in $(objdump -p "$f" | awk '/NEEDED/ {print $2}'); do
    [[ "$lib" == ld-linux* ]] && continue
    # The file the loader takes, as dpkg knows it (with or without /usr).
    path=$(ldd "$f" | awk -v l="$lib" '$1 == l {print $3}')
    package=$( (dpkg -S "$path" || dpkg -S "/usr$path" || dpkg -S "${path#/usr}") 2>/dev/null | head -1 | cut -d: -f1)
    [ -n "$package" ] || fail "no package holds $lib, which ${f##*/} loads"
    grep -qFx "$package" <<<"$names" || fail "${f##*/} loads $lib of $package, which the package does not depend on ($depends)"
  done
done

for p in tolmar tolmar-import tolmar-export tolmar-preview tolmar-fit tolmar-stations tolmar-replay tolmar-serve; do
  out=$("$root/usr/bin/$p" --version) || fail "$p --version ended with $?"
  [ "$out" = "$p $version (December 2026)" ] || [[ "$out" == "$p $version ("* ]] || fail "$p --version says: $out"
  page=$root/usr/share/man/man1/$p.1
  [ -s "$page" ] || fail "no manual page $p.1"
  grep -q "^\.TH ${p^^} " "$page" || fail "$p.1 is not a manual page of $p"
done
for f in __init__.py algorithms.py provider.py plugin.py metadata.txt panel.py library.py dems.py styles.py; do
  [ -f "$root/usr/share/qgis/python/plugins/tolmar/$f" ] || fail "the QGIS plugin lacks $f"
done

# The module from the package alone: a trace on the bundled DEM.
PYTHONPATH=$root/usr/lib/python3/dist-packages /usr/bin/python3 - "$root" "$examples" <<'PY' || fail "import tolmar from the package"
import sys
root, examples = sys.argv[1], sys.argv[2]
import tolmar
assert tolmar.__file__.startswith(root + "/usr/lib/python3/dist-packages/tolmar/"), tolmar.__file__
dem = tolmar.open_dem(examples + "/jacksboro/jacksboro_m2.raw", unit="m")
t = dem.trace(110, 300, 5, 150, 40)
assert len(t) == 259, len(t)
PY

# Installed, the plugin finds the programs and the Python library beside
# its prefix, with neither TOLMAR_BIN nor the programs on the PATH (where
# QGIS's Python is there).
if /usr/bin/python3 -c "import qgis.core" 2>/dev/null; then
  found=$(env -u TOLMAR_BIN PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen /usr/bin/python3 - "$root" <<'PY'
import sys
sys.path.insert(0, sys.argv[1] + "/usr/share/qgis/python/plugins")
from tolmar.algorithms import executable, choices
from tolmar import library
# The panel's library: the package's own, under the name that the plugin's
# `tolmar` leaves free.
t = library.load()
assert t.__file__.startswith(sys.argv[1] + "/usr/lib/python3/dist-packages/tolmar/"), t.__file__
assert t.open_dem is not None and t.export is not None
print(executable("tolmar-fit"))
print(" ".join(choices("tolmar-export", "--format")[0]))
PY
) || fail "the installed plugin: $found"
  [ "$(head -1 <<<"$found")" = "$root/usr/bin/tolmar-fit" ] || fail "the installed plugin runs $found"
  [ "$(tail -1 <<<"$found")" = "geojson csv gpkg vrt" ] || fail "the installed plugin's formats: $found"
fi
echo "tolmar_${version}_amd64.deb: $(dpkg-deb -c "$deb" | wc -l) entries, programs, manual pages, module and plugin in place"
