#!/bin/bash
# Recovers a project's depth on a Slurm cluster: one job array of shards per step group (sweep,
# refine, the rest of the initialisation, each bundle-optimisation pass, the rest of it), each
# starting when every shard of the one before has succeeded (--dependency=afterok; it is
# cancelled if one fails), then one small job that removes the maps the shards kept for each
# other. Each task runs tools/cluster/zel_shard.sh, so zel_recover with --stage, --until, --span,
# --frames and --resume.
#
#   slurm_submit.sh [script options] [zel_recover options] <project file>
#
# Script options:
#   --zel-recover PATH  the program (default: $ZEL_RECOVER, else zel_recover on the PATH)
#   --frames FIRST:LAST the frames to recover (default: all)
#   --shard-size S      frames per task (default: 4 x the frames one refinement reaches, plan.sh)
#   --threads T         threads per task, = --cpus-per-task (default 2)
#   --mem MB            memory per task (default: computed, see plan.sh)
#   --time MIN          time limit per task (default: computed, see plan.sh)
#   --logs DIR          task logs and done markers (default: logs/ beside the project)
#   --resubmit          submit only the shards without a done marker (after a failure; the
#                       shards resume from their manifests)
#   --wait              return when the last job has ended, with its status
#   --dry-run           print the sbatch commands, submit nothing
#   --help              this text
# Every other option goes to zel_recover (e.g. --levels 64 --neighbours 6). sbatch reads the
# partition, account and so on from its SBATCH_* environment variables. The project's folder
# (pictures, DATA/, TMP/) and the logs must be on a folder every node shares.
# Prints the job ids; exit status 0 when submitted (with --wait: when every task succeeded).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/plan.sh"

mem=""
time_limit=""
wait_flag=()
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
    --mem) mem=$2; shift 2; continue ;;
    --time) time_limit=$2; shift 2; continue ;;
    --wait) wait_flag=(--wait); shift; continue ;;
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
make_plan
mem=${mem:-$mem_mb}
time_limit=${time_limit:-$minutes}

submit() {
    if [ "$dry_run" -eq 1 ]; then
        echo "sbatch $*" >&2
        echo "DRYRUN"
        return 0
    fi
    sbatch "$@"
}

previous=""
status=0
for group in $groups clean; do
    if [ "$group" = clean ]; then
        # One task after the last group: no array.
        pending=""
        # Again after any shard: what it kept stays otherwise.
        [ -e "$done_dir/clean_${first}_${last}" ] && [ -z "$previous" ] || pending=0
        what=(--ntasks=1 --cpus-per-task=1 --mem=100M --time=10 --output="$logs/clean.out"
            --error="$logs/clean.err")
    else
        pending=$(pending_shards "$group")
        what=(--array="$(echo "$pending" | tr ' ' ',')" --cpus-per-task="$threads"
            --mem="${mem}M" --time="$time_limit" --output="$logs/${group}_%a.out"
            --error="$logs/${group}_%a.err")
    fi
    if [ -z "$pending" ]; then
        echo "slurm_submit.sh: every $group shard is done" >&2
        continue
    fi
    args=(--parsable --job-name="zel-$group" "${what[@]}")
    if [ -n "$previous" ]; then
        args+=(--dependency="afterok:$previous" --kill-on-invalid-dep=yes)
    fi
    if [ "$group" = clean ]; then
        args+=("${wait_flag[@]}")
    fi
    id=$(submit "${args[@]}" "$here/zel_shard.sh" "$group" slurm "$shard_size" "$span" \
        "$done_dir" "$exe" "$project" "${zopts[@]}") || { status=$?; break; }
    id=${id%%;*}
    echo "$group: job $id, shards $(echo "$pending" | tr ' ' ',')"
    previous=$id
done
exit "$status"
