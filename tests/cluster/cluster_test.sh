#!/bin/bash
# The cluster scripts end to end: a small sample recovered through tools/cluster/slurm_submit.sh
# on a one-machine Slurm cluster started for the test (mode slurm), or through
# tools/cluster/parallel_run.sh (mode parallel), must give the depth files of one zel_recover
# run byte for byte. Prints the times of both, for the scheduler's overhead.
#
#   cluster_test.sh slurm|parallel ZEL_RECOVER ZEL_MAKE_SAMPLE WORK_DIR
#
# Exit status 77 (skipped) when Slurm, munge or GNU parallel are missing, unless CI is set.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin  # the daemons, for users without them on the PATH
mode=$1
exe=$2
make_sample=$3
work=$4
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
cluster=$source_dir/tools/cluster

case $mode in
slurm) needed="slurmctld slurmd sbatch sinfo munged" ;;
parallel) needed="parallel" ;;
*) echo "usage: cluster_test.sh slurm|parallel ZEL_RECOVER ZEL_MAKE_SAMPLE WORK_DIR" >&2; exit 2 ;;
esac
for tool in $needed; do
    if ! command -v "$tool" > /dev/null; then
        if [ -n "${CI:-}" ]; then
            echo "FAIL: $tool is not installed (CI installs it: .ci/run)" >&2
            exit 1
        fi
        echo "skipped: $tool is not installed" >&2
        exit 77
    fi
done

rm -rf "$work"
mkdir -p "$work/single" "$work/sharded"
"$make_sample" --size 48x36 --frames 12 "$work/single" > /dev/null
cp "$work/single"/img*.bmp "$work/single/project.txt" "$work/sharded/"
options=(--levels 12 --neighbours 2 --refine-neighbours 4)

now() { date +%s.%N; }
t0=$(now)
"$exe" "${options[@]}" --threads 2 "$work/single/project.txt" > "$work/single.log" 2>&1
t1=$(now)

if [ "$mode" = slurm ]; then
    . "$source_dir/tests/cluster/local_slurm.sh"
    trap stop_slurm EXIT
    trap 'exit 1' INT TERM
    start_slurm "$work/slurm"
    t2=$(now)
    jobs=$("$cluster/slurm_submit.sh" --zel-recover "$exe" --shard-size 4 --threads 1 \
        --mem 300 --time 20 "${options[@]}" "$work/sharded/project.txt")
    echo "$jobs"
    ids=$(echo "$jobs" | sed -n 's/^[a-z0-9]*: job \([0-9]*\),.*/\1/p' | paste -sd, -)
    # Polled here rather than with sbatch --wait, whose own polling slows down to half a
    # minute and would hide the scheduler's time; a minute at most.
    for _ in $(seq 1 600); do
        [ -n "$(squeue -h -t PD,R,CF,CG -j "$ids" 2> /dev/null)" ] || break
        sleep 0.1
    done
    t3=$(now)
    # A shard that failed is submitted again alone, and only the groups it belongs to, then the
    # removal of the maps the shards kept for each other.
    rm "$work/sharded/logs/done/bo_4_7"
    resubmit=$("$cluster/slurm_submit.sh" --zel-recover "$exe" --shard-size 4 --threads 1 \
        --resubmit --dry-run "${options[@]}" "$work/sharded/project.txt" 2>&1)
    echo "$resubmit"
    echo "$resubmit" | grep -q "every bo1 shard is done"
    echo "$resubmit" | grep -q -- "--job-name=zel-bo --array=1 "
    echo "$resubmit" | grep -q -- "--job-name=zel-clean .*--dependency=afterok:DRYRUN "
    : > "$work/sharded/logs/done/bo_4_7"
else
    t2=$(now)
    "$cluster/parallel_run.sh" --zel-recover "$exe" --shard-size 4 --threads 1 --jobs 2 \
        "${options[@]}" "$work/sharded/project.txt"
    t3=$(now)
fi

status=0
# Every shard of every step group, and the removal of the maps they kept for each other.
for shard in sweep refine init bo1 bo; do
    for range in 0_3 4_7 8_11; do
        [ -e "$work/sharded/logs/done/${shard}_$range" ] || { echo "FAIL: $shard $range not done" >&2; status=1; }
    done
done
[ -e "$work/sharded/logs/done/clean_0_11" ] || { echo "FAIL: the shared maps were not removed" >&2; status=1; }
if ls -d "$work/sharded/DATA"/work_* 2> /dev/null; then
    echo "FAIL: shared maps left behind" >&2
    status=1
fi
for i in $(seq 0 11); do
    if ! cmp "$work/single/DATA/_depth$i.raw" "$work/sharded/DATA/_depth$i.raw"; then
        status=1
    fi
done
echo "one run: $(awk "BEGIN {print $t1 - $t0}") s; $mode, 3 shards of 4 frames a step group, one" \
    "thread each: $(awk "BEGIN {print $t3 - $t2}") s"
[ "$status" -eq 0 ] && echo "depth files identical"
exit "$status"
