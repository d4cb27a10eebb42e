#!/usr/bin/env bash
# fuzz.sh: builds the libFuzzer targets with clang (a whole run, the
# descriptor and log readers, the journal's reader and the recovery worked
# out from it, the fit's contact reader, the workbench's requests) and runs each for a bounded time (FUZZ_SECONDS, default 60) from
# the seed corpus in
# fuzz/corpus/. A crash, a hang, a sanitizer report or a broken invariant
# fails the run; the input that caused it is left in build-fuzz/findings/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" clang libclang-rt-14-dev
seconds=${FUZZ_SECONDS:-60}
CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -DTOLMAR_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build-fuzz" -j"$(nproc 2>/dev/null || echo 2)" --target fuzz_run fuzz_descriptor fuzz_journal fuzz_contact fuzz_http
mkdir -p "$root/build-fuzz/findings"
for target in run descriptor journal contact http; do
  work=$(mktemp -d)
  echo "== fuzz_$target for $seconds s"
  # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
  log="$root/build-fuzz/fuzz_$target.log"
  if ! ASAN_OPTIONS=halt_on_error=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$root/build-fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$root/build-fuzz/findings/$target-" \
        "$work" "$root/fuzz/corpus/$target" > "$log" 2>&1; then
    tail -n 60 "$log"
    rm -rf "$work"
    echo "fuzz_$target failed; the input is in build-fuzz/findings/" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^Done" "$log" || true
  rm -rf "$work"
done
