#!/bin/bash
# What sharding costs on one machine: a sample recovered by one zel_recover run (two threads), by
# the same shards through GNU parallel (tools/cluster/parallel_run.sh) and through a one-machine
# Slurm cluster started for the purpose (tools/cluster/slurm_submit.sh,
# tests/cluster/local_slurm.sh), one thread a task and two tasks at once; prints the load, the
# wall time, the frames per minute and the share of the single run's throughput of each, and
# checks that all three give the same depth files. The Slurm time runs from the submission to
# the end of the last job (the removal of the shared maps), the cluster's start left out. On a
# machine shared with other work, REPEATS=N runs the three N times in turn (each round reported).
#
# Every zel_recover process runs under /usr/bin/time, and each run is also given by the CPU
# seconds of its processes and by its critical path in CPU seconds (one run: half its CPU, its
# two threads; sharded: the sum over the step groups of their longest task, plus the plans and
# the removal): what the wall time would be on an idle machine, scheduling latency left out. On
# a busy one the wall times are unfair, as the kernel shares the cores out per session: each
# Slurm task is a session of its own, the single run and GNU parallel's tasks share one.
#
#   bench/cluster_overhead.sh BUILD_DIR [frames] [shard size] [WxH] [zel_recover options]
#   (default: 200 frames of 160 x 120, shards of 100, zel_recover's default options)
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
if [ $# -ge 1 ] && [ "$1" = --help ]; then
    sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
if [ $# -lt 1 ]; then
    echo "usage: bench/cluster_overhead.sh BUILD_DIR [frames] [shard size] [WxH] [options]  (--help)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
frames=${2:-200}
shard=${3:-100}
size=${4:-160x120}
shift $(($# < 4 ? $# : 4))
options=("$@")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
exe=$build/tools/zel_recover
work=$build/bench/tmp/cluster_overhead
rm -rf "$work"
mkdir -p "$work/single"
"$build/tools/zel_make_sample" --size "$size" --frames "$frames" "$work/single" > /dev/null
now() { date +%s.%N; }
timed=$work/zel_recover_timed
# shellcheck disable=SC2016  # expanded by the wrapper, not here
printf '#!/bin/sh\nexec /usr/bin/time -a -o "$ZEL_CPU_LOG" -f "%%e %%U %%S $*" "%s" "$@"\n' "$exe" \
    > "$timed"
chmod +x "$timed"
# CPU seconds of a run's processes (file $1; $2 = 1: the single run), and its critical path.
cpu() {
    awk -v one="$2" '/^[0-9.]+ [0-9.]+ [0-9.]+ / {
        c = $2 + $3; total += c; g = "other"
        for (k = 4; k < NF; k++) if ($k == "--until") g = $(k + 1)
        if (g == "other") rest += c; else if (c > longest[g]) longest[g] = c
    } END {
        path = rest; for (g in longest) path += longest[g]
        if (one) path = total / 2
        printf "%.1f %.1f\n", total, path
    }' "$1"
}
single=1
single_path=1
report() {
    local c
    c=$(cpu "$4" "$5")
    awk -v what="$1" -v s="$(awk "BEGIN {print $3 - $2}")" -v f="$frames" -v one="$single" \
        -v cpu="${c% *}" -v path="${c#* }" -v one_path="$single_path" \
        'BEGIN {printf "%-20s %6.1f s %6.1f frames/min %5.2f x one run | CPU %6.1f s, critical path %6.1f s: %5.2f x\n",
            what, s, 60 * f / s, one / s, cpu, path, one_path / path}'
}

. "$source_dir/tests/cluster/local_slurm.sh"
trap stop_slurm EXIT
trap 'exit 1' INT TERM
start_slurm "$work/slurm-cluster"

for _ in $(seq 1 "${REPEATS:-1}"); do
    rm -rf "$work/single/DATA" "$work/single/TMP"
    for d in parallel slurm; do
        rm -rf "${work:?}/$d"
        mkdir -p "$work/$d"
        cp "$work/single"/img*.bmp "$work/single/project.txt" "$work/$d/"
    done
    echo "load before: $(uptime)"
    t0=$(now)
    rm -f "$work"/cpu_*.txt
    ZEL_CPU_LOG=$work/cpu_single.txt "$timed" "${options[@]}" --threads 2 \
        "$work/single/project.txt" > "$work/single.log" 2>&1
    t1=$(now)
    single=$(awk "BEGIN {print $t1 - $t0}")
    single_path=$(cpu "$work/cpu_single.txt" 1 | cut -d' ' -f2)
    export ZEL_CPU_LOG=$work/cpu_parallel.txt
    "$source_dir/tools/cluster/parallel_run.sh" --zel-recover "$timed" --shard-size "$shard" \
        --threads 1 --jobs 2 "${options[@]}" "$work/parallel/project.txt" 2> "$work/parallel.log"
    t2=$(now)
    export ZEL_CPU_LOG=$work/cpu_slurm.txt
    ids=$("$source_dir/tools/cluster/slurm_submit.sh" --zel-recover "$timed" --shard-size "$shard" \
        --threads 1 --mem 400 "${options[@]}" "$work/slurm/project.txt" 2> "$work/slurm.log" |
        sed -n 's/^[a-z0-9]*: job \([0-9]*\),.*/\1/p' | paste -sd, -)
    while [ -n "$(squeue -h -t PD,R,CF,CG -j "$ids" 2> /dev/null)" ]; do sleep 0.1; done
    t3=$(now)
    echo "load after:  $(uptime)"
    for i in $(seq 0 $((frames - 1))); do
        cmp -s "$work/single/DATA/_depth$i.raw" "$work/slurm/DATA/_depth$i.raw" ||
            echo "frame $i differs through Slurm" >&2
        cmp -s "$work/single/DATA/_depth$i.raw" "$work/parallel/DATA/_depth$i.raw" ||
            echo "frame $i differs through GNU parallel" >&2
    done
    echo "$frames frames of $size, options: ${options[*]:-default}; shards of $shard, one thread a task, two at once"
    report "one run, two threads" "$t0" "$t1" "$work/cpu_single.txt" 1
    report "GNU parallel" "$t1" "$t2" "$work/cpu_parallel.txt" 0
    report "Slurm (one machine)" "$t2" "$t3" "$work/cpu_slurm.txt" 0
done
