#!/bin/sh
# Runs one shard of one step group of zel_recover: the task that slurm_submit.sh, parallel_run.sh
# and a Kubernetes Indexed Job each start once per shard.
#
#   zel_shard.sh GROUP INDEX SHARD_SIZE SPAN DONE_DIR ZEL_RECOVER PROJECT [zel_recover options]
#
# GROUP: sweep, refine, init (the rest of the initialisation), bo1, bo2, bo3 (the bundle
# optimisation's passes), bo (the rest of it): zel_recover --stage init|bo --until GROUP, which
# reads the maps the shards of the group before kept in the span's shared folder; or clean, the
# one task after the last group, which removes that folder (INDEX and SHARD_SIZE are not used).
# INDEX: the shard's number from 0, or "slurm" (SLURM_ARRAY_TASK_ID) or "k8s"
# (JOB_COMPLETION_INDEX). Shard k covers frames FIRST + k * SHARD_SIZE ... (the last one ends at
# LAST) of SPAN = FIRST:LAST. The shard always runs with --resume, so a task that is started
# again (requeued, resubmitted) goes on where it stopped. On success it leaves the empty file
# DONE_DIR/<group>_<a>_<b>, by which the submit scripts tell the shards that are done.
# Exit status: zel_recover's (2 for a usage error here).
set -eu
if [ $# -lt 7 ]; then
    echo "usage: zel_shard.sh GROUP INDEX SHARD_SIZE FIRST:LAST DONE_DIR ZEL_RECOVER PROJECT" \
        "[options]" >&2
    exit 2
fi
group=$1
index=$2
size=$3
span=$4
done_dir=$5
exe=$6
project=$7
shift 7
first=${span%:*}
last=${span#*:}
case $group in
sweep | refine | init) stage=init ;;
bo | bo[123]) stage=bo ;;
clean)
    "$exe" --span "$span" --clean "$@" "$project"
    mkdir -p "$done_dir"
    : > "$done_dir/clean_${first}_${last}"
    exit 0
    ;;
*)
    echo "zel_shard.sh: ERROR: the group is sweep, refine, init, bo1, bo2, bo3, bo or clean" >&2
    exit 2
    ;;
esac
case $index in
slurm) index=${SLURM_ARRAY_TASK_ID:?not in a Slurm array task} ;;
k8s) index=${JOB_COMPLETION_INDEX:?not in an Indexed Job} ;;
esac
case "$index:$size:$first:$last" in
*[!0-9:]* | *::* | :* | *:)
    echo "zel_shard.sh: ERROR: the index, shard size and span must be numbers" >&2
    exit 2
    ;;
esac
a=$((first + index * size))
b=$((a + size - 1))
[ "$b" -le "$last" ] || b=$last
if [ "$size" -lt 1 ] || [ "$a" -gt "$last" ]; then
    echo "zel_shard.sh: ERROR: shard $index of size $size lies beyond the span $span" >&2
    exit 2
fi
echo "zel_shard.sh: $group frames $a:$b of $span on $(hostname)" >&2
"$exe" --stage "$stage" --until "$group" --span "$span" --frames "$a:$b" --resume "$@" "$project"
mkdir -p "$done_dir"
: > "$done_dir/${group}_${a}_${b}"
