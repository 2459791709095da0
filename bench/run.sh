#!/usr/bin/env bash
# Measures Mozaro against two streaming floors (bench/streamingFloor: the same bytes read and
# written in the same order through buffers of at most 256 KiB, no computation): one thread,
# and the frames dealt out to two threads reading and writing at the frames' offsets. Builds
# both in Release and generates two jobs: 2 x 2 panels of 1024 x 768 pixels (40 frames) and
# 4 x 4 panels of 2048 x 2048 (8 frames, 1.6 GB). For nBlend 1, 2, 3, 4, 8 and 16 it runs the two
# floors, Mozaro at its default number of threads and Mozaro -j 1 in turn, page cache warm,
# and prints min/median/max wall times and the ratios of the medians. Then: replacing an
# earlier movie against writing a new one (with and without --sync), the same merge done by
# FFmpeg (where installed), the peak memory of Mozaro runs, the frame pipeline alone (where
# Google Benchmark is installed), and, when asked, the large job with the page cache
# dropped. Ends with the table the README shows.
#
# It changes no setting of the machine unless asked:
#   --drop-caches            drop the page cache (root) before each cold-cache run
#   --hold-page-reporting    hold virtio-balloon free page reporting off while it runs (root):
#                            on a virtual machine that hands freed memory back to its host,
#                            the first touch of such memory is slow, and a run writing a
#                            large output into the page cache measures how much of it the
#                            host took back
#
# usage: bash bench/run.sh [--drop-caches] [--hold-page-reporting]     environment: PAIRS (7)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools

dropCaches="" holdReporting=""
for option; do
    case $option in
    --drop-caches) dropCaches=1 ;;
    --hold-page-reporting) holdReporting=1 ;;
    *) echo "usage: bash bench/run.sh [--drop-caches] [--hold-page-reporting]" >&2; exit 1 ;;
    esac
done
rounds=${PAIRS:-7}
blends="1 2 3 4 8 16"

build="$top/build/bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DMOZARO_BENCHMARKS=ON >/dev/null
cmake --build "$build" --parallel "$(buildJobs)" >/dev/null
mozaro="$build/Mozaro"
floor="$build/bench/streamingFloor"

echo "CPU: $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ //') ($(nproc) processors);" \
    "Mozaro's default: $(nproc) threads"

# Panels of a job in $build/<job>: ntx nty nx ny frames.
makeJob() {
    local job=$1 ntx=$2 nty=$3 nx=$4 ny=$5 frames=$6 last
    last=$(printf 'a%d%d' $((nty - 1)) $((ntx - 1)))
    mkdir -p "$build/$job"
    if [ "$(stat -c %s "$build/$job/$last" 2>/dev/null || echo 0)" != $((3 * nx * ny * frames)) ]; then
        echo "Generating $job: $ntx x $nty panels of $nx x $ny pixels, $frames frames..."
        "$build/makeSampleMovies" "$ntx" "$nty" "$nx" "$ny" "$frames" "$build/$job" >/dev/null
    fi
}
panelsOf() {
    local i j names=""
    for ((i = 0; i < $2; i++)); do for ((j = 0; j < $1; j++)); do names+="a$i$j "; done; done
    echo "$names"
}

# Every program writes B_a00 (or F_a00) in the job's folder. It is removed (untimed) before
# every run: writing over the previous run's file would make each run wait for the file
# system to write that one back, which measures the disk rather than the program.
clearOutput() { rm -f B_a00 B_a00.mg F_a00 .mozaro-*; }

reporting=/sys/module/page_reporting/parameters/min_free_ms
if [ -n "$holdReporting" ]; then
    if [ ! -w "$reporting" ]; then
        echo "--hold-page-reporting: $reporting cannot be written here" >&2
        exit 1
    fi
    heldReporting=$(cat "$reporting")
    trap 'echo "$heldReporting" >"$reporting"' EXIT
    echo 60000 >"$reporting"
    if [ -d /dev/shm ]; then
        head -c 4G /dev/zero >/dev/shm/mozaroBenchWarm 2>/dev/null || true
        rm -f /dev/shm/mozaroBenchWarm
    fi
    echo "Free page reporting held off while the benchmark runs (min_free_ms $heldReporting -> 60000)."
fi
dropPageCache() { sync && echo 3 >/proc/sys/vm/drop_caches; }
if [ -n "$dropCaches" ] && ! (echo 3 2>/dev/null >/proc/sys/vm/drop_caches); then
    echo "--drop-caches: the page cache cannot be dropped here (needs root)" >&2
    exit 1
fi

# Wall time of one run in seconds, standard output discarded.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.4f", ns / 1e9 }'
}
# min/median/max of the times given, and the median alone.
spread() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f/%.3f/%.3f", v[1], m, v[NR] }'; }
median() { spread | cut -d/ -f2; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

table=""
# Rounds of the four programs in turn for one job and each blend factor.
measure() {
    local job=$1 ntx=$2 nty=$3 nx=$4 ny=$5 frames=$6 panels nBlend p args
    panels=$(panelsOf "$ntx" "$nty")
    cd "$build/$job"
    cat $panels >/dev/null   # into the page cache
    echo
    echo "$job: $ntx x $nty panels of $nx x $ny pixels, $frames frames; $rounds rounds, page cache warm; seconds min/median/max"
    printf "%-7s %-20s %-20s %-20s %-20s %s\n" nBlend "floor, 1 thread" "floor, 2 threads" "Mozaro" "Mozaro -j 1" \
        "Mozaro/floor1 /floor2, -j 1/floor1"
    for nBlend in $blends; do
        args="$ntx $nty $nx $ny $frames $nBlend"
        clearOutput; "$floor" $args F_a00 $panels
        clearOutput; "$mozaro" -y $args $panels >/dev/null   # warm-up
        local f1="" f2="" m="" m1=""
        for ((p = 0; p < rounds; p++)); do
            clearOutput; f1+="$(seconds "$floor" $args F_a00 $panels) "
            clearOutput; f2+="$(seconds "$floor" --threads 2 $args F_a00 $panels) "
            clearOutput; m+="$(seconds "$mozaro" -y $args $panels) "
            clearOutput; m1+="$(seconds "$mozaro" -j 1 -y $args $panels) "
        done
        local mf1 mf2 mm mm1
        mf1=$(echo "$f1" | median) mf2=$(echo "$f2" | median) mm=$(echo "$m" | median) mm1=$(echo "$m1" | median)
        printf "%-7s %-20s %-20s %-20s %-20s %s %s, %s\n" "$nBlend" "$(echo "$f1" | spread)" "$(echo "$f2" | spread)" \
            "$(echo "$m" | spread)" "$(echo "$m1" | spread)" "$(ratio "$mm" "$mf1")" "$(ratio "$mm" "$mf2")" \
            "$(ratio "$mm1" "$mf1")"
        table+="| $job | $nBlend | $mf1 s | $mf2 s | $mm s | $mm1 s | $(ratio "$mm" "$mf1") | $(ratio "$mm" "$mf2") | $(ratio "$mm1" "$mf1") |"$'\n'
    done
    clearOutput
}

makeJob small 2 2 1024 768 40
makeJob large 4 4 2048 2048 8
measure small 2 2 1024 768 40
measure large 4 4 2048 2048 8

cd "$build/large"
large=$(panelsOf 4 4)
echo
echo "large, nBlend 2: replacing an earlier movie against writing a new one; $rounds rounds, median seconds"
new="" replace="" replaceSync=""
for ((p = 0; p < rounds; p++)); do
    clearOutput; new+="$(seconds "$mozaro" -y 4 4 2048 2048 8 2 $large) "
    replace+="$(seconds "$mozaro" -y 4 4 2048 2048 8 2 $large) "                 # B_a00 is there now
    replaceSync+="$(seconds "$mozaro" --sync -y 4 4 2048 2048 8 2 $large) "
done
mn=$(echo "$new" | median) mr=$(echo "$replace" | median) ms=$(echo "$replaceSync" | median)
echo "  new $(echo "$new" | spread), replace $(echo "$replace" | spread) ($(ratio "$mr" "$mn") x new)," \
    "replace with --sync $(echo "$replaceSync" | spread) ($(ratio "$ms" "$mn") x new)"
table+="| large, replacing an earlier movie | 2 | | | $mr s | | $(ratio "$mr" "$mn") x a new one; with --sync $(ratio "$ms" "$mn") x | | |"$'\n'
clearOutput

echo
if [ -n "$dropCaches" ]; then
    echo "large, page cache dropped before every run, nBlend 2; 3 rounds"
    f1="" f2="" m=""
    for ((p = 0; p < 3; p++)); do
        clearOutput; dropPageCache; f1+="$(seconds "$floor" 4 4 2048 2048 8 2 F_a00 $large) "
        clearOutput; dropPageCache; f2+="$(seconds "$floor" --threads 2 4 4 2048 2048 8 2 F_a00 $large) "
        clearOutput; dropPageCache; m+="$(seconds "$mozaro" -y 4 4 2048 2048 8 2 $large) "
    done
    mf1=$(echo "$f1" | median) mf2=$(echo "$f2" | median) mm=$(echo "$m" | median)
    echo "  floor $(echo "$f1" | spread), two-thread floor $(echo "$f2" | spread), Mozaro $(echo "$m" | spread):" \
        "$(ratio "$mm" "$mf1") x the floor, $(ratio "$mm" "$mf2") x the two-thread floor"
    table+="| large, cold cache | 2 | $mf1 s | $mf2 s | $mm s | | $(ratio "$mm" "$mf1") | $(ratio "$mm" "$mf2") | |"$'\n'
    cat $large >/dev/null
else
    echo "No cold-cache figures (bash bench/run.sh --drop-caches, as root, drops the page cache for them)."
fi
clearOutput

echo
cd "$build/small"
small=$(panelsOf 2 2)
if command -v ffmpeg >/dev/null; then
    # Bottom row first on both sides: xstack's first input row is the first stored one.
    inputs=""
    for panel in $small; do inputs+=" -f rawvideo -pix_fmt rgb24 -s 1024x768 -i $panel"; done
    runFfmpeg() {
        ffmpeg -v error -nostdin -y -threads 1 -filter_threads 1 -filter_complex_threads 1 $inputs \
            -filter_complex "xstack=inputs=4:grid=2x2,scale=iw/2:ih/2:flags=area" -f rawvideo -pix_fmt rgb24 F_a00
    }
    clearOutput; "$mozaro" -y 2 2 1024 768 40 2 $small >/dev/null; mv B_a00 mozaroAt2.raw
    ffmpegTimes="" floorTimes=""
    for ((p = 0; p < 3; p++)); do
        clearOutput; ffmpegTimes+="$(seconds runFfmpeg) "
        clearOutput; floorTimes+="$(seconds "$floor" 2 2 1024 768 40 2 F_a00 $small) "
    done
    runFfmpeg
    read -r different compared < <("$build/bench/countDifferentBytes" mozaroAt2.raw F_a00)
    f=$(echo "$floorTimes" | median) g=$(echo "$ffmpegTimes" | median)
    echo "FFmpeg, the small job at nBlend 2 (xstack, area scaling, one thread): median $g s, $(ratio "$g" "$f") x the floor;"
    echo "  $different of $compared output bytes ($(awk -v d="$different" -v c="$compared" 'BEGIN { printf "%.1f", 100 * d / c }')%) differ from Mozaro's (its area scaler rounds)"
    rm -f mozaroAt2.raw
else
    echo "FFmpeg not installed: no comparison with it."
fi
clearOutput

echo
if [ -x /usr/bin/time ]; then
    peak() {   # folder, then Mozaro's arguments after -y
        local folder=$1
        shift
        (cd "$folder" && clearOutput && { /usr/bin/time -f "%M" "$mozaro" -y "$@" >/dev/null; } 2>&1 | tail -1; clearOutput)
    }
    echo "Peak memory (maximum resident set) of Mozaro runs, default threads:"
    for nBlend in $blends; do
        echo "  small, nBlend $nBlend: $(peak "$build/small" 2 2 1024 768 40 "$nBlend" $small) KiB;" \
            "large: $(peak "$build/large" 4 4 2048 2048 8 "$nBlend" $large) KiB"
    done
    # 8192 pixels wide and tall, as long and coarse as one likes: nothing grows.
    mkdir -p "$build/tall" && rm -f "$build/tall/t"
    truncate -s $((3 * 8192 * 65536)) "$build/tall/t"
    echo "  1 x 1 panel of 8192 x 65536, nBlend 2: $(peak "$build/tall" 1 1 8192 65536 1 2 t) KiB"
    echo "  1 x 1 panel of 8192 x 65536, nBlend 2901: $(peak "$build/tall" 1 1 8192 65536 1 2901 t) KiB"
    rm -f "$build/tall/t"
    truncate -s $((3 * 100000 * 64)) "$build/tall/w"
    echo "  1 x 1 panel of 100,000 x 64, nBlend 1: $(peak "$build/tall" 1 1 100000 64 1 1 w) KiB"
    echo "  1 x 1 panel of 100,000 x 64, nBlend 3: $(peak "$build/tall" 1 1 100000 64 1 3 w) KiB"
    rm -rf "$build/tall"
else
    echo "/usr/bin/time not installed: no peak memory figures."
fi

if [ -x "$build/bench/framePipelineBenchmark" ]; then
    echo
    echo "The frame pipeline alone (Google Benchmark, one thread):"
    "$build/bench/framePipelineBenchmark" --benchmark_min_time=0.2 2>&1 | grep -v "built as DEBUG"
fi

echo
echo "| job | nBlend | floor, 1 thread | floor, 2 threads | Mozaro | Mozaro -j 1 | Mozaro / floor1 | Mozaro / floor2 | -j 1 / floor1 |"
echo "|---|---|---|---|---|---|---|---|---|"
printf "%s" "$table"
