#!/usr/bin/env bash
# Measures Mozaro against the streaming floor (bench/streamingFloor: the same bytes read and
# written in the same order through buffers of at most 256 KiB, no computation). Builds both
# in Release and generates two jobs: 2 x 2 panels of 1024 x 768 pixels (40 frames) and
# 4 x 4 panels of 2048 x 2048 (8 frames, 1.6 GB). For nBlend 1, 2, 3 and 8 it runs floor and
# Mozaro alternately, page cache warm, and prints median wall times and their ratio; then
# the large job with the page cache dropped (where that is allowed), the same merge done by
# FFmpeg (where installed), the peak memory of Mozaro runs, and the frame pipeline alone
# (where Google Benchmark is installed). Ends with the table the README shows.
#
# usage: bash bench/run.sh        environment: PAIRS (default 7)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools

pairs=${PAIRS:-7}
blends="1 2 3 8"

build="$top/build/bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DMOZARO_BENCHMARKS=ON >/dev/null
cmake --build "$build" --parallel "$(buildJobs)" >/dev/null
mozaro="$build/Mozaro"
floor="$build/bench/streamingFloor"

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

# Both programs write B_a00 in the job's folder. It is removed (untimed) before every run:
# overwriting the previous run's file would make each run wait for the file system to write
# that one back, which measures the disk rather than the program.
clearOutput() { rm -f B_a00 B_a00.mg F_a00 .mozaro-*; }

# A virtual machine that hands freed memory back to its host (virtio-balloon free page
# reporting) makes the first touch of such memory several times slower than a normal one:
# a run writing a large output into the page cache would measure how much of it the host
# had taken back. Where the kernel lets root hold reporting off, it is held off while the
# script runs, and memory is touched once to begin with.
reporting=/sys/module/page_reporting/parameters/min_free_ms
if [ -w "$reporting" ]; then
    heldReporting=$(cat "$reporting")
    trap 'echo "$heldReporting" >"$reporting"' EXIT
    echo 60000 >"$reporting"
    if [ -d /dev/shm ]; then
        head -c 4G /dev/zero >/dev/shm/mozaroBenchWarm 2>/dev/null || true
        rm -f /dev/shm/mozaroBenchWarm
    fi
    echo "Free page reporting held off while the benchmark runs (min_free_ms $heldReporting -> 60000)."
fi
# Wall time of one run in seconds, standard output discarded.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.4f", ns / 1e9 }'
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

table=""
# Alternating pairs of floor and Mozaro runs of one job for each blend factor.
measure() {
    local job=$1 ntx=$2 nty=$3 nx=$4 ny=$5 frames=$6 panels nBlend p f m
    panels=$(panelsOf "$ntx" "$nty")
    cd "$build/$job"
    cat $panels >/dev/null   # into the page cache
    echo
    echo "$job: $ntx x $nty panels of $nx x $ny pixels, $frames frames; $pairs alternating pairs, page cache warm"
    printf "%-7s %-8s %-8s %-6s %s\n" nBlend floor Mozaro ratio "every pair (floor/Mozaro)"
    for nBlend in $blends; do
        clearOutput; "$floor" "$ntx" "$nty" "$nx" "$ny" "$frames" "$nBlend" F_a00 $panels
        clearOutput; "$mozaro" -y "$ntx" "$nty" "$nx" "$ny" "$frames" "$nBlend" $panels >/dev/null   # warm-up
        local floorTimes="" mozaroTimes="" pairTimes=""
        for ((p = 0; p < pairs; p++)); do
            clearOutput; f=$(seconds "$floor" "$ntx" "$nty" "$nx" "$ny" "$frames" "$nBlend" F_a00 $panels)
            clearOutput; m=$(seconds "$mozaro" -y "$ntx" "$nty" "$nx" "$ny" "$frames" "$nBlend" $panels)
            floorTimes+="$f " mozaroTimes+="$m " pairTimes+="$f/$m "
        done
        f=$(echo "$floorTimes" | median) m=$(echo "$mozaroTimes" | median)
        printf "%-7s %-8s %-8s %-6s %s\n" "$nBlend" "$f" "$m" "$(ratio "$m" "$f")" "$pairTimes"
        table+="| $job | $nBlend | $f s | $m s | $(ratio "$m" "$f") |"$'\n'
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
if sync && echo 3 2>/dev/null >/proc/sys/vm/drop_caches; then
    echo "large, page cache dropped before every run, nBlend 2; 3 alternating pairs"
    floorTimes="" mozaroTimes=""
    for ((p = 0; p < 3; p++)); do
        clearOutput; sync; echo 3 >/proc/sys/vm/drop_caches
        floorTimes+="$(seconds "$floor" 4 4 2048 2048 8 2 F_a00 $large) "
        clearOutput; sync; echo 3 >/proc/sys/vm/drop_caches
        mozaroTimes+="$(seconds "$mozaro" -y 4 4 2048 2048 8 2 $large) "
    done
    f=$(echo "$floorTimes" | median) m=$(echo "$mozaroTimes" | median)
    echo "  floor $f s ($floorTimes), Mozaro $m s ($mozaroTimes): ratio $(ratio "$m" "$f")"
    table+="| large, cold cache | 2 | $f s | $m s | $(ratio "$m" "$f") |"$'\n'
    cat $large >/dev/null
else
    echo "The page cache cannot be dropped here (needs root): no cold-cache figures."
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
    echo "Peak memory (maximum resident set) of Mozaro runs:"
    for nBlend in $blends; do
        echo "  large, nBlend $nBlend: $(peak "$build/large" 4 4 2048 2048 8 "$nBlend" $large) KiB"
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
    echo "The frame pipeline alone (Google Benchmark):"
    "$build/bench/framePipelineBenchmark" --benchmark_min_time=0.2 2>&1 | grep -v "built as DEBUG"
fi

echo
echo "| job | nBlend | floor | Mozaro | ratio |"
echo "|---|---|---|---|---|"
printf "%s" "$table"
