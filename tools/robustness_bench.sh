#!/bin/sh
# How the reference stages hold up on harder material: writes variants of the synthetic scenes
# (noise, pose noise, gain, JPEG, the weakly textured room, forward and orbiting cameras) with
# zel_make_sample into <build dir>/variants/<name>/ and runs zel_stages_bench on each, printing
# one row per condition: the shares of pixels within 1, 2 and 5 % of the true disparity and the
# share missing after the bundle optimisation, and the seconds both stages took.
#
#   tools/robustness_bench.sh <build dir> [--quick] [-- zel_stages_bench options ...]
#
# The build needs zel_make_sample and zel_stages_bench (configure with -DZEL_BUILD_BENCH=ON, e.g.
# `cmake --preset release -DZEL_BUILD_BENCH=ON`, then build both targets). --quick scores frames
# 10 to 19 only (a minute or so per condition on two cores instead of several); options after
# `--` go to zel_stages_bench as they are (e.g. -- --threads 2 --plane-scale 0). Each condition's
# full bench output stays in its folder as bench.log. Exit status: 0 when every condition ran,
# 1 when one failed (its row says so), 2 for bad arguments.
set -eu

usage() {
    echo "Usage: tools/robustness_bench.sh <build dir> [--quick] [-- zel_stages_bench options]" >&2
    exit 2
}

[ $# -ge 1 ] || usage
case "$1" in
    -h | --help)
        sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    -*) usage ;;
esac
build=$1
shift
frames=""
range="all"
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) frames="--frames 10:19" range="10 to 19" ;;
        --) shift; break ;;
        *) echo "ERROR: unknown argument $1" >&2; usage ;;
    esac
    shift
done

make_sample=$build/tools/zel_make_sample
bench=$build/bench/zel_stages_bench
for program in "$make_sample" "$bench"; do
    if [ ! -x "$program" ]; then
        echo "ERROR: $program not found: configure $build with -DZEL_BUILD_BENCH=ON and build" \
            "zel_make_sample and zel_stages_bench" >&2
        exit 2
    fi
done

# One condition a line: its name, then the generator's options.
conditions='sample_clean
sample_noise2 --noise 2
sample_noise4 --noise 4
sample_pose0.05 --pose-noise 0.05
sample_pose0.1_noise4 --pose-noise 0.1 --noise 4
sample_gain0.1 --gain 0.1
sample_jpeg85 --jpeg 85
plain_clean --scene plain
plain_noise2 --scene plain --noise 2
plain_noise4 --scene plain --noise 4
forward_clean --seed 7 --motion forward
forward_noise4 --seed 7 --motion forward --noise 4
orbit_clean --motion orbit
orbit_pose0.05 --motion orbit --pose-noise 0.05'

echo "frames: $range; bench options: ${*:-none}"
printf '%-24s %8s %8s %8s %8s %8s\n' condition "1 %" "2 %" "5 %" missing seconds
mkdir -p "$build/variants"
failed=$build/variants/failed
rm -f "$failed"
# The loop reads the conditions on its standard input, so the programs get none.
echo "$conditions" | while read -r name options; do
    dir=$build/variants/$name
    # shellcheck disable=SC2086 # the options are words
    if ! "$make_sample" $options "$dir" < /dev/null > "$dir.log" 2>&1; then
        printf '%-24s failed: zel_make_sample %s (see %s.log)\n' "$name" "$options" "$dir"
        touch "$failed"
        continue
    fi
    rm -f "$dir.log"
    # shellcheck disable=SC2086
    if "$bench" "$dir/project.txt" "$dir/groundtruth" --summary $frames "$@" < /dev/null \
        > "$dir/bench.log" 2>&1 && grep -q '^summary ' "$dir/bench.log"; then
        # summary init <1 2 5 missing> final <1 2 5 missing> seconds <s>
        grep '^summary ' "$dir/bench.log" | tail -n 1 | awk -v name="$name" \
            '{ printf "%-24s %8s %8s %8s %8s %8s\n", name, $8, $9, $10, $11, $13 }'
    else
        printf '%-24s failed: see %s/bench.log\n' "$name" "$dir"
        touch "$failed"
    fi
done
if [ -f "$failed" ]; then
    rm -f "$failed"
    exit 1
fi
