#!/usr/bin/env bash
# Measures Mozaro against the I/O floor, a program that does the same reads and writes and
# nothing else. Builds both in Release, generates 2 x 2 panels of 1024 x 768 pixels, then
# for each blend factor runs floor and Mozaro alternately, page cache warm, and prints the
# median wall times and their ratio. Where FFmpeg is installed it also times the same merge
# (nBlend 2) done by FFmpeg and counts the output bytes that differ from Mozaro's. Last, the
# peak memory of Mozaro runs and, where Google Benchmark is installed, the frame pipeline
# alone.
#
# usage: bash bench/run.sh        environment: FRAMES (default 40), PAIRS (default 9)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools

frames=${FRAMES:-40}
pairs=${PAIRS:-9}
ntx=2 nty=2 nx=1024 ny=768
blends="1 2 3 8"

build="$top/build/bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DMOZARO_BENCHMARKS=ON >/dev/null
cmake --build "$build" --parallel >/dev/null
mozaro="$build/Mozaro"
floor="$build/bench/ioFloor"

data="$build/data"
mkdir -p "$data"
panelBytes=$((3 * nx * ny * frames))
if [ "$(stat -c %s "$data/a11" 2>/dev/null || echo 0)" != "$panelBytes" ]; then
    echo "Generating $ntx x $nty panels of $nx x $ny pixels, $frames frames..."
    "$build/makeSampleMovies" $ntx $nty $nx $ny $frames "$data"
fi
cd "$data"
panels="a00 a01 a10 a11"
cat $panels >/dev/null   # into the page cache

# Both programs write B_a00 here. It is removed (untimed) before every run: overwriting the
# previous run's file would make each run wait for the file system to finish writing that
# one back, which measures the disk rather than the program.
clearOutput() { rm -f B_a00 B_a00.mg F_a00; }
runFloor() { "$floor" $ntx $nty $nx $ny $frames "$1" B_a00 $panels; }
runMozaro() { echo yes | "$mozaro" $ntx $nty $nx $ny $frames "$1" $panels; }
runFfmpeg() {
    local inputs="" panel
    for panel in $panels; do   # bottom row first: both sides store the first row at the bottom
        inputs+=" -f rawvideo -pix_fmt rgb24 -s ${nx}x${ny} -i $panel"
    done
    ffmpeg -v error -nostdin -y -threads 1 -filter_threads 1 -filter_complex_threads 1 $inputs \
        -filter_complex "xstack=inputs=4:grid=2x2,scale=iw/2:ih/2:flags=area" -f rawvideo -pix_fmt rgb24 F_a00
}
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

echo "Mozaro against the I/O floor: $ntx x $nty panels of $nx x $ny pixels, $frames frames,"
echo "$pairs alternating pairs per blend factor; median wall times in seconds."
printf "%-7s %-8s %-8s %-6s %s\n" nBlend floor Mozaro ratio "every pair (floor/Mozaro)"
floorAt2=""
for nBlend in $blends; do
    clearOutput; runFloor $nBlend >/dev/null; clearOutput; runMozaro $nBlend >/dev/null   # warm-up
    floorTimes="" mozaroTimes="" pairTimes=""
    for ((p = 0; p < pairs; p++)); do
        clearOutput; f=$(seconds runFloor $nBlend)
        clearOutput; m=$(seconds runMozaro $nBlend)
        floorTimes+="$f " mozaroTimes+="$m " pairTimes+="$f/$m "
    done
    floorMedian=$(echo "$floorTimes" | median)
    mozaroMedian=$(echo "$mozaroTimes" | median)
    printf "%-7s %-8s %-8s %-6s %s\n" $nBlend "$floorMedian" "$mozaroMedian" "$(ratio "$mozaroMedian" "$floorMedian")" "$pairTimes"
    if [ "$nBlend" = 2 ]; then
        floorAt2=$floorMedian mozaroAt2=$mozaroMedian
        cp B_a00 mozaroAt2.raw
    fi
done

echo
if command -v ffmpeg >/dev/null && [ -n "$floorAt2" ]; then
    ffmpegTimes=""
    for ((p = 0; p < 3; p++)); do
        clearOutput; ffmpegTimes+="$(seconds runFfmpeg) "
    done
    ffmpegMedian=$(echo "$ffmpegTimes" | median)
    read -r different compared < <("$build/bench/countDifferentBytes" mozaroAt2.raw F_a00)
    echo "FFmpeg, same merge at nBlend 2 (xstack, area scaling, one thread): median $ffmpegMedian s ($ffmpegTimes)"
    echo "  ratio to the floor $(ratio "$ffmpegMedian" "$floorAt2"), to Mozaro $(ratio "$ffmpegMedian" "$mozaroAt2");" \
        "$different of $compared output bytes ($(awk -v d="$different" -v c="$compared" 'BEGIN { printf "%.1f", 100 * d / c }')%) differ from Mozaro's"
else
    echo "FFmpeg not installed: no comparison with it."
fi
rm -f mozaroAt2.raw F_a00

echo
if [ -x /usr/bin/time ]; then
    for nBlend in $blends; do
        clearOutput
        peak=$( { echo yes | /usr/bin/time -f "%M" "$mozaro" $ntx $nty $nx $ny $frames $nBlend $panels >/dev/null; } 2>&1 | tail -1)
        echo "Peak memory of a Mozaro run at nBlend $nBlend: $((peak / 1024)) MiB ($peak KiB resident)"
    done
else
    echo "/usr/bin/time not installed: no peak memory figures."
fi
clearOutput

if [ -x "$build/bench/framePipelineBenchmark" ]; then
    echo
    echo "The frame pipeline alone (Google Benchmark):"
    "$build/bench/framePipelineBenchmark" --benchmark_min_time=0.2 2>&1 | grep -v "built as DEBUG"
fi
