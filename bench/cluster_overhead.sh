#!/bin/bash
# What Slurm costs on one machine: a sample recovered by one zel_recover run, by the same shards
# through GNU parallel (tools/cluster/parallel_run.sh) and through a one-machine Slurm cluster
# started for the purpose (tools/cluster/slurm_submit.sh, tests/cluster/local_slurm.sh); prints
# the wall time and frames per minute of each. The shards' halo is the same in both sharded
# runs, so their difference is the scheduler's; both against the single run adds the halo.
#
#   bench/cluster_overhead.sh BUILD_DIR [frames] [shard size]    (default 48 frames, shards of 16)
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
if [ $# -ge 1 ] && [ "$1" = --help ]; then
    sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
if [ $# -lt 1 ]; then
    echo "usage: bench/cluster_overhead.sh BUILD_DIR [frames] [shard size]  (--help)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
frames=${2:-48}
shard=${3:-16}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
exe=$build/tools/zel_recover
work=$build/bench/tmp/cluster_overhead
rm -rf "$work"
mkdir -p "$work/single" "$work/parallel" "$work/slurm"
"$build/tools/zel_make_sample" --size 64x48 --frames "$frames" "$work/single" > /dev/null
for d in parallel slurm; do cp "$work/single"/img*.bmp "$work/single/project.txt" "$work/$d/"; done
options=(--levels 32 --neighbours 4 --refine-neighbours 6)
now() { date +%s.%N; }
report() { awk -v what="$1" -v s="$(awk "BEGIN {print $3 - $2}")" -v f="$frames" \
    'BEGIN {printf "%-44s %7.1f s %8.1f frames/min\n", what, s, 60 * f / s}'; }

t0=$(now)
"$exe" "${options[@]}" --threads 2 "$work/single/project.txt" > "$work/single.log" 2>&1
t1=$(now)
"$source_dir/tools/cluster/parallel_run.sh" --zel-recover "$exe" --shard-size "$shard" \
    --threads 1 --jobs 2 "${options[@]}" "$work/parallel/project.txt" 2> "$work/parallel.log"
t2=$(now)
. "$source_dir/tests/cluster/local_slurm.sh"
trap stop_slurm EXIT
trap 'exit 1' INT TERM
start_slurm "$work/slurm-cluster"
t3=$(now)
ids=$("$source_dir/tools/cluster/slurm_submit.sh" --zel-recover "$exe" --shard-size "$shard" \
    --threads 1 "${options[@]}" "$work/slurm/project.txt" 2> "$work/slurm.log" |
    sed -n 's/^[a-z0-9]*: job \([0-9]*\),.*/\1/p' | paste -sd, -)
while [ -n "$(squeue -h -t PD,R,CF,CG -j "$ids" 2> /dev/null)" ]; do sleep 0.1; done
t4=$(now)
for i in $(seq 0 $((frames - 1))); do
    cmp -s "$work/single/DATA/_depth$i.raw" "$work/slurm/DATA/_depth$i.raw" ||
        echo "frame $i differs through Slurm" >&2
    cmp -s "$work/single/DATA/_depth$i.raw" "$work/parallel/DATA/_depth$i.raw" ||
        echo "frame $i differs through GNU parallel" >&2
done
echo "$frames frames of 64 x 48, ${options[*]}; shards of $shard, one thread each, two at once"
report "one run, two threads" "$t0" "$t1"
report "GNU parallel" "$t1" "$t2"
report "Slurm (one machine)" "$t3" "$t4"
