# The shard plan shared by slurm_submit.sh and parallel_run.sh (bash, sourced): reads the common
# options, asks zel_recover (--plan) for the project's size and the frames one frame's maps
# depend on, and sets
#   exe project here span first last count width height groups shard_size shards halo_sweeps
#   halo_window threads mem_mb minutes logs done_dir resubmit dry_run, and the array zopts
#   (zel_recover's own options).
# The shards run step group by step group (zel_recover --until): sweep, refine, init (the rest of
# the initialisation), bo1 .. boP (the bundle optimisation's passes), bo (the rest of it), each
# group's shards once every shard of the group before has ended, then one task that removes the
# maps they kept for each other (clean). A shard reads its neighbours' maps of the step before
# from the span's shared folder, so no shard computes anything beyond its own frames (no halo).
# Sizing (docs/cluster.md):
#   shard size  S = max(4 x the frames one frame's refinement reaches, ceil(frames / 1000)): the
#                   pictures a shard reads besides its own are at most a quarter of its own,
#                   and no more than 1000 tasks per group;
#   memory      W x H x (T (4 L + 4 R + 150) + (T + 2 D + 1) x 16) + 3 x project file + 64 MB,
#               plus a quarter (T threads, L levels, R refinement neighbours, 2 D the frames
#               one refinement hop reaches: pictures, grey copies and maps in flight; the
#               project's tracks while it is read);
#   time limit  2 x S x megapixels x 13 s x 2 / T per task (what both stages take for S frames,
#               twice over), at least 10 minutes (13 s per megapixel-frame on two threads with
#               the default options).

die() {
    echo "$(basename "$0"): ERROR: $*" >&2
    exit 1
}

# A usage error: exit status 2.
usage_error() {
    echo "$(basename "$0"): $* (--help for the options)" >&2
    exit 2
}

exe=${ZEL_RECOVER:-}
span=""
shard_size=""
threads=2
logs=""
resubmit=0
dry_run=0
levels=96
refine=24
passes=1
zopts=()  # zel_recover's own options, passed to every shard

# Runs zel_recover with the collected options and then the given arguments.
run_zel() {
    "$exe" "${zopts[@]}" "$@"
}

# Handles one common option ($1, value $2); returns the number of words it took (0: not one).
common_option() {
    case $1 in
    --zel-recover) exe=$2; return 2 ;;
    --frames) span=$2; return 2 ;;
    --shard-size) shard_size=$2; return 2 ;;
    --threads) threads=$2; return 2 ;;
    --logs) logs=$2; return 2 ;;
    --resubmit) resubmit=1; return 1 ;;
    --dry-run) dry_run=1; return 1 ;;
    --levels) levels=$2; zopts+=("$1" "$2"); return 2 ;;
    --refine-neighbours) refine=$2; zopts+=("$1" "$2"); return 2 ;;
    --passes) passes=$2; zopts+=("$1" "$2"); return 2 ;;
    --stage | --span | --resume | --plan | --until | --clean)
        usage_error "$1 is chosen per shard by the script" ;;
    esac
    return 0
}

# After the options: checks them and works out the plan.
make_plan() {
    [ -n "$project" ] || usage_error "no project file given"
    [ -f "$project" ] || die "no such project file: $project"
    if [ -z "$exe" ]; then
        exe=$(command -v zel_recover || true)
    fi
    [ -n "$exe" ] && [ -x "$exe" ] || die "zel_recover not found (--zel-recover PATH)"
    project=$(cd "$(dirname "$project")" && pwd)/$(basename "$project")
    exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
    here=$(cd "$(dirname "$0")" && pwd)
    case "$threads$levels$refine$passes${shard_size:-1}" in
    *[!0-9]*) usage_error "--threads, --levels, --refine-neighbours, --passes and --shard-size take numbers" ;;
    esac
    zopts+=(--threads "$threads")

    head=$(run_zel --plan "$project" 2>/dev/null | grep '^project: ') ||
        die "zel_recover cannot read $project (run it on the project for the reason)"
    count=$(echo "$head" | sed 's/^project: \([0-9]*\) frames.*/\1/')
    width=$(echo "$head" | sed 's/.* frames, \([0-9]*\) x.*/\1/')
    height=$(echo "$head" | sed 's/.* x \([0-9]*\) pixels.*/\1/')
    [ "$count" -gt 0 ] || die "the project has no frames"
    if [ -z "$span" ]; then
        span="0:$((count - 1))"
    fi
    first=${span%:*}
    last=${span#*:}
    case "$first$last" in *[!0-9]* | "") usage_error "--frames takes FIRST:LAST" ;; esac
    [ "$first" -le "$last" ] && [ "$last" -lt "$count" ] || die "frames $span lie beyond the $count frames"
    frames=$((last - first + 1))

    # What one frame in the middle depends on, were it run alone with its stage (no --until):
    # the frames its initialisation sweeps besides its own, and those one refinement hop reaches.
    middle=$(((first + last) / 2))
    one=$(run_zel --plan --stage init --span "$span" --frames "$middle:$middle" "$project" 2>/dev/null)
    halo_sweeps=$(echo "$one" | sed -n 's/^  sweep .*(\([0-9]*\) frames)$/\1/p')
    halo_window=$(echo "$one" | sed -n 's/^  refine .*(\([0-9]*\) frames)$/\1/p')
    [ -n "$halo_sweeps" ] && [ -n "$halo_window" ] || die "zel_recover gave no plan"
    groups="sweep refine init"
    p=1
    while [ "$p" -le "$passes" ]; do
        groups="$groups bo$p"
        p=$((p + 1))
    done
    [ "$passes" -eq 0 ] || groups="$groups bo"

    if [ -z "$shard_size" ]; then
        shard_size=$((4 * halo_window))
        [ "$shard_size" -ge 1 ] || shard_size=1
        min=$(((frames + 999) / 1000))
        [ "$shard_size" -ge "$min" ] || shard_size=$min
    fi
    [ "$shard_size" -ge 1 ] || die "--shard-size must be at least 1"
    [ "$shard_size" -le "$frames" ] || shard_size=$frames
    shards=$(((frames + shard_size - 1) / shard_size))

    project_bytes=$(wc -c < "$project")
    pixels=$((width * height))
    volumes=$((threads * (4 * levels + 4 * refine + 150)))
    in_flight=$(((threads + halo_window + 1) * 16))
    bytes=$((pixels * (volumes + in_flight) + 3 * project_bytes + 64 * 1024 * 1024))
    mem_mb=$((bytes * 5 / 4 / 1024 / 1024 + 1))
    # 13 s per megapixel-frame on two threads, twice over for safety, in minutes.
    minutes=$((shard_size * pixels * 13 * 2 * 2 / threads / 1000000 / 60 + 1))
    [ "$minutes" -ge 10 ] || minutes=10

    if [ -z "$logs" ]; then
        logs=$(dirname "$project")/logs
    fi
    mkdir -p "$logs"
    logs=$(cd "$logs" && pwd)
    done_dir=$logs/done
    mkdir -p "$done_dir"
    echo "$(basename "$0"): $frames frames ($span) of $width x $height in $shards shards of" \
        "$shard_size, step groups: $groups, clean; no halo; per task $threads threads," \
        "$mem_mb MB, $minutes min" >&2
    if [ "$dry_run" -eq 1 ]; then
        # What each group's middle shard computes and reads, the groups before taken as done.
        a=$((first + (middle - first) / shard_size * shard_size))
        b=$((a + shard_size - 1))
        [ "$b" -le "$last" ] || b=$last
        for g in $groups; do
            run_zel --plan --stage "$(stage_of "$g")" --until "$g" --span "$span" \
                --frames "$a:$b" --resume "$project" 2>/dev/null | sed -n '/^  /p' |
                sed "s/^  /$g: /" >&2
        done
    fi
}

# The stage of a step group.
stage_of() {
    case $1 in
    bo*) echo bo ;;
    *) echo init ;;
    esac
}

# The shards of a step group that are not done yet (all of them unless resubmitting), as
# indices.
pending_shards() {
    k=0
    list=""
    while [ "$k" -lt "$shards" ]; do
        a=$((first + k * shard_size))
        b=$((a + shard_size - 1))
        [ "$b" -le "$last" ] || b=$last
        if [ "$resubmit" -eq 0 ] || [ ! -e "$done_dir/${1}_${a}_${b}" ]; then
            list="$list $k"
        fi
        k=$((k + 1))
    done
    echo $list
}
