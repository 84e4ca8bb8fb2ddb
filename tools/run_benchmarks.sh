#!/bin/sh
# Runs every benchmark program of the bench build and keeps the results.
#
#   tools/run_benchmarks.sh [build directory]      (default: build/bench)
#
# Each program runs twice: in the default environment, and with glibc's malloc asking for
# transparent huge pages (GLIBC_TUNABLES=glibc.malloc.hugetlb=1), which takes the cost of
# first-touch page faults out of every variant alike. Results go to <build>/results/ as JSON and
# text. The large synthetic project is written once into <build>/bench/tmp/ and reused.
# Benchmarks are never part of the test command or CI.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/bench}
out="$build/results"
mkdir -p "$out"
{
    echo "machine: $(nproc) cores"
    lscpu | head -n 20
    echo
    cat /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || true
} > "$out/machine.txt"
for program in "$build"/bench/bench_*; do
    [ -x "$program" ] || continue
    name=$(basename "$program")
    echo "== $name"
    "$program" --benchmark_out="$out/$name.json" --benchmark_out_format=json \
        | tee "$out/$name.txt"
    echo "== $name (malloc with transparent huge pages)"
    GLIBC_TUNABLES=glibc.malloc.hugetlb=1 "$program" \
        --benchmark_out="$out/$name.thp.json" --benchmark_out_format=json \
        | tee "$out/$name.thp.txt"
done
echo "results in $out"
