#!/usr/bin/env bash
# inject-faults.sh: proves the suite catches what it should. Each fault below
# is a one-line change of the code that users would notice; the script puts
# each in turn into a copy of the tree, builds it, runs the whole suite and
# says which tests failed. A fault that no test catches fails the script.
# tests/README.md lists the faults and the tests that catch them. About two
# minutes a fault on two cores; not part of the test command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# file | perl substitution (must match exactly once) | what it breaks
faults=(
  'src/files/formats.cpp|s/"\\n code "/"\\n code  "/|a changed spacing in the log record'
  'src/files/formats.cpp|s/\\t\\tline   : /\\t\\tline  : /|a changed "line   :" label in the log record'
  'src/files/formats.cpp|s/\{"dm", "decimetres", 10\.0\}/{"dm", "decimetres", 100.0}/|the decimetre divisor set to 100'
  'src/files/resultset.cpp|s/bool back = write_cells\(changes, false\) && /bool back = /|the cells of a stamp that cannot be written left in the raster'
  'src/files/resultset.cpp|s/fs_->datasync\(journal_fd_\) != 0\) \{(\n\s+err = "Cannot write " \+ paths_\.journal)/false) {$1/|the journal entry of a stamp not flushed before its cells are written'
  'src/files/resultset.cpp|s/bool ok = write_cells\(changes, false\) && fs_->ftruncate\(log_fd_, static_cast<off_t>\(before\)\)/bool ok = fs_->ftruncate(log_fd_, static_cast<off_t>(before))/|an undo that removes the record but leaves the cells'
  'src/session/session.cpp|s/" lies outside 0 to 90: it is traced as "/" is outside 0 to 90: it is traced as "/|the words of the note on a dip outside 0 to 90 changed'
  'src/fit/fit_classic.cpp|s/const double BEYOND = 3;/const double BEYOND = 4;/|the classic fit'"'"'s beyond-the-ends constant changed'
  'src/compute/exact.cpp|s/    for \(; k < n; k\+\+\)\n        if \(x\[k\] != y\[k\]\) at\(k\);/    for (; k + 1 < n; k++)\n        if (x[k] != y[k]) at(k);/|the true trace'"'"'s last remainder cell of a row passed over'
  'src/workbench/workbench.cpp|s/c\.method == x\.method/c.path == x.path/|every workbench route answering any method'
  'src/geo/import_source.cpp|s/s\.gt\[5\] > 0;/false;/|a south-up source imported without being turned'
  'src/files/recovery.cpp|s/            p\.log\.resize\(whole\);\n//|a record torn in the log kept by recovery'
)

git -C "$root" ls-files -z | (cd "$root" && xargs -0 cp --parents -t "$work")
cmake -S "$work" -B "$work/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
[ -d "$root/tests/browser/node_modules" ] && cp -r "$root/tests/browser/node_modules" "$work/tests/browser/"

missed=0
for fault in "${faults[@]}"; do
  IFS='|' read -r file change what <<<"$fault"
  cp "$work/$file" "$work/$file.orig"
  n=$(perl -0pe "\$n += ($change); END { print STDERR \$n }" "$work/$file.orig" 2>&1 >/dev/null)
  if [ "$n" != 1 ]; then
    echo "!! $what: the change matches $n times in $file; update the list"
    missed=1
    continue
  fi
  perl -0pi -e "$change" "$work/$file"
  echo "== $what ($file)"
  if ! cmake --build "$work/build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null 2>&1; then
    echo "   does not build"
  elif ctest --test-dir "$work/build" -j"$(nproc 2>/dev/null || echo 2)" >"$work/ctest.log" 2>&1; then
    echo "   !! no test fails"
    missed=1
  else
    grep -E '^\s+[0-9]+ - .*\(Failed\)' "$work/ctest.log" | sed 's/^\s*[0-9]* - /   caught by /; s/ (Failed)//'
  fi
  mv "$work/$file.orig" "$work/$file"
  touch "$work/$file"
done
cmake --build "$work/build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
exit $missed
