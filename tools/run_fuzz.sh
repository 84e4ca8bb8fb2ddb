#!/bin/sh
# Builds the fuzz targets (the fuzz preset) and runs each one over its committed corpus
# (fuzz/corpus/<target>/) and then for the given number of seconds more. Any crash, sanitizer
# report, leak, timeout (10 s for one input) or memory blowup (2 GiB) fails the script; the
# input that caused it is left in build/fuzz/findings/. New inputs the fuzzer finds go to a
# scratch corpus in build/fuzz/, never into the committed one.
#
# Usage: tools/run_fuzz.sh [seconds per target, default 60] [target ...]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-"fuzz_text fuzz_image fuzz_project fuzz_colmap"}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

root=$(pwd)
findings=$root/build/fuzz/findings
mkdir -p "$findings"
status=0
for target in $targets; do
  work=$root/build/fuzz/work_corpus/$target
  mkdir -p "$work"
  echo "== $target: corpus, then $seconds s"
  if [ "$seconds" -gt 0 ]; then
    limit="-max_total_time=$seconds"
  else
    limit="-runs=0"
  fi
  log=build/fuzz/$target.log
  if ! "build/fuzz/fuzz/$target" $limit -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$findings/$target-" "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "== $target: FAILED (log: $log)"
    status=1
  else
    grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units' "$log" || true
    echo "== $target: ok"
  fi
done
exit $status
