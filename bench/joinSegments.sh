#!/usr/bin/env bash
# What mozaro-slurm's final job costs for a video: `mozaro-video --join`, which copies the
# segments' packets into one file without decoding. Makes two 1920 x 1080 panel videos
# (FFmpeg's testsrc2, 120 frames), merges them at nBlend 1 into three segments of 40 frames
# each, as three tasks would, in FFV1 (large) and H.264 (small), and times the join of each,
# medians of PAIRS (5) rounds, in seconds and seconds per GB of segments.
# usage: bash bench/joinSegments.sh         needs the built mozaro-video (build/bench) and ffmpeg
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools
rounds=${PAIRS:-5}
build="$top/build/bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel "$(buildJobs)" --target mozaro-video >/dev/null
video="$build/mozaro-video"
work="$build/join"
rm -rf "$work" && mkdir -p "$work" && cd "$work"
for p in 0 1; do
    ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=4" -c:v libx264 -g 10 -bf 2 "p$p.mp4"
done
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //') ($(nproc) processors)"
for kind in "ffv1 mkv" "libx264 mp4"; do
    set -- $kind
    for k in 0 1 2; do
        "$video" --quiet --codec "$1" --start $((40 * k)) --frames 40 -o "s$k.$2" 2 1 1 p0.mp4 p1.mp4 >/dev/null
    done
    bytes=$(stat -c %s s0.$2 s1.$2 s2.$2 | awk '{ s += $1 } END { print s }')
    times=""
    for ((r = 0; r < rounds; r++)); do
        rm -f "wall.$2"
        start=$(date +%s.%N)
        "$video" --join "wall.$2" "s0.$2" "s1.$2" "s2.$2" >/dev/null
        times+="$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - s }') "
    done
    median=$(echo "$times" | tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    echo "$1 in .$2: 3 segments, $bytes bytes; join median $median s over $rounds rounds ($times), " \
        "$(awk -v t="$median" -v b="$bytes" 'BEGIN { printf "%.2f s per GB", t / (b / 1e9) }')"
done
cd "$top" && rm -rf "$work"
