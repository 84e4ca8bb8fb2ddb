#!/bin/bash
# Recovers a project's depth on a workstation or an ssh farm with GNU parallel: the same shards
# and step groups as slurm_submit.sh (sweep, refine, the rest of the initialisation, each
# bundle-optimisation pass, the rest of it), every shard of a group before any of the next, then
# the removal of the maps the shards kept for each other.
#
#   parallel_run.sh [script options] [zel_recover options] <project file>
#
# Script options:
#   --zel-recover PATH  the program (default: $ZEL_RECOVER, else zel_recover on the PATH)
#   --frames FIRST:LAST the frames to recover (default: all)
#   --shard-size S      frames per task (default: 4 x the frames one refinement reaches, plan.sh)
#   --threads T         threads per task (default 2)
#   --jobs J            tasks at once per machine (default: its cores / T, at least 1)
#   --hosts H1,H2,...   run the tasks over ssh on these machines (GNU parallel -S; ":" is this
#                       one); the project, the logs, zel_recover and this folder must be at the
#                       same paths on every machine (a shared folder)
#   --logs DIR          task logs and done markers (default: logs/ beside the project)
#   --resubmit          run only the shards without a done marker
#   --dry-run           print the shard commands, run nothing
#   --help              this text
# Every other option goes to zel_recover. Exit status 0 when every shard succeeded, 1 otherwise
# (run again with --resubmit; the shards resume from their manifests).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/plan.sh"

jobs=""
hosts=""
project=""
while [ $# -gt 0 ]; do
    case $1 in
    --*) [ "${1#--}" != "$1" ] && [ $# -ge 2 ] || [ "$1" = --help ] || [ "$1" = --resubmit ] ||
        [ "$1" = --dry-run ] || [ "$1" = --wait ] || usage_error "$1 needs a value" ;;
    esac
    case $1 in
    --help | -h)
        sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    --jobs) jobs=$2; shift 2; continue ;;
    --hosts) hosts=$2; shift 2; continue ;;
    esac
    took=0
    common_option "$1" "${2:-}" || took=$?
    if [ "$took" -gt 0 ]; then
        shift "$took"
    elif [ $# -eq 1 ] && [ "${1#-}" = "$1" ]; then
        project=$1
        shift
    else
        case $1 in
        --neighbours | --plane-scale | --min-parallax)
            zopts+=("$1" "$2")
            shift 2
            ;;
        *) usage_error "unknown option $1" ;;
        esac
    fi
done
command -v parallel > /dev/null || die "GNU parallel is not installed (Debian: parallel)"
make_plan
if [ -z "$jobs" ]; then
    jobs=$(($(nproc) / threads))
    [ "$jobs" -ge 1 ] || jobs=1
fi
remote=()
if [ -n "$hosts" ]; then
    remote=(-S "$(echo "$hosts" | sed "s/\(^\|,\)\([^,]*\)/\1$jobs\/\2/g")")
fi

status=0
previous=""
for group in $groups clean; do
    if [ "$group" = clean ]; then
        pending=""
        # Again after any shard: what it kept stays otherwise.
        [ -e "$done_dir/clean_${first}_${last}" ] && [ -z "$previous" ] || pending=0
    else
        pending=$(pending_shards "$group")
    fi
    if [ -z "$pending" ]; then
        echo "parallel_run.sh: every $group shard is done" >&2
        continue
    fi
    [ "$group" = clean ] || previous=$group
    if [ "$dry_run" -eq 1 ]; then
        for k in $pending; do
            echo "$here/zel_shard.sh $group $k $shard_size $span $done_dir $exe $project ${zopts[*]}"
        done
        continue
    fi
    echo "parallel_run.sh: $group shards $pending" >&2
    # One log per shard; --halt now,fail=1 would stop the others, so every shard runs and the
    # failed ones are listed in the job log. The removal runs here, on this machine.
    # shellcheck disable=SC2086
    if [ "$group" = clean ]; then
        "$here/zel_shard.sh" clean 0 "$shard_size" "$span" "$done_dir" "$exe" "$project" \
            "${zopts[@]}" > "$logs/clean.out" 2> "$logs/clean.err" || status=1
    else
        parallel --jobs "$jobs" "${remote[@]}" --joblog "$logs/$group.joblog" \
            "$here/zel_shard.sh" "$group" "{}" "$shard_size" "$span" "$done_dir" "$exe" \
            "$project" "${zopts[@]}" ">" "$logs/${group}_{}.out" "2>" "$logs/${group}_{}.err" \
            ::: $pending || status=1
    fi
    if [ "$status" -ne 0 ]; then
        echo "parallel_run.sh: ERROR: some $group shards failed (see $logs/$group.joblog);" \
            "run again with --resubmit" >&2
        break
    fi
done
exit "$status"
