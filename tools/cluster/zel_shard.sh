#!/bin/sh
# Runs one shard of one stage of zel_recover: the task that slurm_submit.sh, parallel_run.sh and a
# Kubernetes Indexed Job each start once per shard.
#
#   zel_shard.sh STAGE INDEX SHARD_SIZE SPAN DONE_DIR ZEL_RECOVER PROJECT [zel_recover options]
#
# STAGE: init or bo. INDEX: the shard's number from 0, or "slurm" (SLURM_ARRAY_TASK_ID) or
# "k8s" (JOB_COMPLETION_INDEX). Shard k covers frames FIRST + k * SHARD_SIZE ... (the last one
# ends at LAST) of SPAN = FIRST:LAST. The shard always runs with --resume, so a task that is
# started again (requeued, resubmitted) goes on where it stopped. On success it leaves the empty
# file DONE_DIR/<stage>_<a>_<b>, by which the submit scripts tell the shards that are done.
# Exit status: zel_recover's (2 for a usage error here).
set -eu
if [ $# -lt 7 ]; then
    echo "usage: zel_shard.sh STAGE INDEX SHARD_SIZE FIRST:LAST DONE_DIR ZEL_RECOVER PROJECT" \
        "[options]" >&2
    exit 2
fi
stage=$1
index=$2
size=$3
span=$4
done_dir=$5
exe=$6
project=$7
shift 7
case $index in
slurm) index=${SLURM_ARRAY_TASK_ID:?not in a Slurm array task} ;;
k8s) index=${JOB_COMPLETION_INDEX:?not in an Indexed Job} ;;
esac
first=${span%:*}
last=${span#*:}
case $stage in init | bo) ;; *) echo "zel_shard.sh: ERROR: the stage is init or bo" >&2; exit 2 ;; esac
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
echo "zel_shard.sh: $stage frames $a:$b of $span on $(hostname)" >&2
"$exe" --stage "$stage" --span "$span" --frames "$a:$b" --resume "$@" "$project"
mkdir -p "$done_dir"
: > "$done_dir/${stage}_${a}_${b}"
