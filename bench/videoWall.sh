#!/usr/bin/env bash
# A wall of 3 x 2 panels of 1920 x 1080 pixels, H.264 videos made with FFmpeg's testsrc2,
# merged and blended by 2 into one 2880 x 1080 H.264 MP4 by four routes:
#   mozaro-video    panel videos in, MP4 out, through FIFOs;
#   readme          the README's route: every panel decoded to a raw movie, Mozaro, mozaro-encode;
#   ffmpeg          one FFmpeg command: each panel to rgb24, xstack, scale=iw/2:ih/2:flags=area
#                   (the same block means, rounded), libx264;
#   ffmpeg-yuv      the same in the panels' own yuv420p, with no RGB at all (averages of
#                   another kind, for comparison).
# Each route runs once untimed while a sampler records the disk its folder takes (its peak),
# then rounds of one run per route alternate; the script prints each route's median wall
# time and processor time (user and system, all its processes), every run, and the peak
# disk use. Every route encodes with libx264's defaults.
#
# usage: bash bench/videoWall.sh        environment: ROUNDS (default 3), FRAMES (default 30)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools
needFfmpeg

rounds=${ROUNDS:-3}
frames=${FRAMES:-30}
ntx=3 nty=2 nx=1920 ny=1080 nBlend=2

build="$top/build/release"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel "$(buildJobs)" --target Mozaro >/dev/null
mozaro="$build/Mozaro"   # mozaro-video, copied beside it by the build, finds it there
bench="$top/build/videoWall"
panels="$bench/panels"
names=()
for ((i = 0; i < nty; i++)); do for ((j = 0; j < ntx; j++)); do names+=("a$i$j"); done; done

# The panels, made once: the test picture with its colours turned 60 degrees per panel.
mkdir -p "$panels"
for ((k = 0; k < ${#names[@]}; k++)); do
    video="$panels/${names[k]}.mp4"
    if [ "$(ffprobe -v error -show_entries stream=nb_frames -of csv=p=0 "$video" 2>/dev/null)" != "$frames" ]; then
        echo "Making panel ${names[k]}.mp4: $nx x $ny, $frames frames..."
        ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=${nx}x$ny:rate=30,hue=h=$((60 * k))" \
            -frames:v "$frames" -c:v libx264 -preset veryfast -pix_fmt yuv420p "$video"
    fi
done
cat "$panels"/*.mp4 >/dev/null   # into the page cache

inputs=() videos=()
for name in "${names[@]}"; do inputs+=(-i "$panels/$name.mp4") && videos+=("$panels/$name.mp4"); done
# Upright: xstack's first row is the picture's top, panel row nty - 1.
stackIn=""
for ((i = nty - 1; i >= 0; i--)); do for ((j = 0; j < ntx; j++)); do stackIn+="[s$((i * ntx + j))]"; done; done
toRgb=""
for ((k = 0; k < ntx * nty; k++)); do toRgb+="[$k:v]format=rgb24[s$k];"; done
inNative=${stackIn//\[s/[}
inNative=${inNative//]/:v]}

# One route, run in its own folder ($PWD), leaving the MP4 there.
route() {
    local panel
    case $1 in
    mozaro-video)
        TMPDIR=$PWD/tmp "$build/mozaro-video" -o wall.mp4 $ntx $nty $nBlend "${videos[@]}" >/dev/null ;;
    readme)
        for panel in "${names[@]}"; do
            ffmpeg -v error -nostdin -i "$panels/$panel.mp4" -vf vflip -f rawvideo -pix_fmt rgb24 "$panel"
        done
        "$mozaro" -y $ntx $nty $nx $ny "$frames" $nBlend "${names[@]}" >/dev/null
        "$build/mozaro-encode" -r 30 B_a00.mg wall.mp4 ;;
    ffmpeg)
        ffmpeg -v error -nostdin "${inputs[@]}" -filter_complex \
            "${toRgb}${stackIn}xstack=inputs=$((ntx * nty)):grid=${ntx}x$nty,scale=iw/$nBlend:ih/$nBlend:flags=area" \
            -c:v libx264 -pix_fmt yuv420p -movflags +faststart wall.mp4 ;;
    ffmpeg-yuv)
        ffmpeg -v error -nostdin "${inputs[@]}" -filter_complex \
            "${inNative}xstack=inputs=$((ntx * nty)):grid=${ntx}x$nty,scale=iw/$nBlend:ih/$nBlend:flags=area" \
            -c:v libx264 -pix_fmt yuv420p -movflags +faststart wall.mp4 ;;
    esac
}
routes="mozaro-video readme ffmpeg ffmpeg-yuv"
clearRoute() { rm -rf "$bench/$1" && mkdir -p "$bench/$1/tmp" && cd "$bench/$1"; }
# One timed run, "wall/processor" seconds: the processor time, user and system, is that of
# every process the shell running the route waited for (the route's and their children),
# from the second line of "times" before and after.
seconds() {
    local start end
    times >"$bench/times"
    start=$(date +%s%N)
    route "$1"
    end=$(date +%s%N)
    times >>"$bench/times"
    awk -v ns=$((end - start)) '
        NR % 2 == 0 { split($1 " " $2, t, "[ms ]+"); cpu[NR] = t[1] * 60 + t[2] + t[3] * 60 + t[4] }
        END { printf "%.2f/%.2f", ns / 1e9, cpu[4] - cpu[2] }' "$bench/times"
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
megabytes() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1e6 }'; }

echo "Load before the runs: $(cut -d' ' -f1-3 /proc/loadavg) (2 cores; others may be building)"
echo
echo "Peak disk use of each route's folder (sampled every 50 ms, untimed run):"
declare -A peak final
for name in $routes; do
    clearRoute "$name"
    # The sampler is stopped by the pid it was started with.
    (
        set +e   # du fails when a file goes while it counts
        high=0
        while :; do
            now=$(du -sb . 2>/dev/null | cut -f1)
            [ "${now:-0}" -le $high ] || { high=$now; echo $high >"$bench/$name.peak"; }
            sleep 0.05
        done
    ) &
    sampler=$!
    route "$name"
    kill $sampler && wait $sampler 2>/dev/null || true
    peak[$name]=$(cat "$bench/$name.peak")
    final[$name]=$(du -sb . | cut -f1)
    left=$(find . -mindepth 1 ! -name wall.mp4 ! -path ./tmp | tr '\n' ' ')
    printf "  %-13s peak %-10s at the end %-10s frames %s; beside the MP4: %s\n" "$name" \
        "$(megabytes "${peak[$name]}")" "$(megabytes "${final[$name]}")" \
        "$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 wall.mp4)" "${left:-nothing}"
done

echo
echo "$rounds alternating rounds, nBlend $nBlend, $ntx x $nty panels of $nx x $ny, $frames frames:"
declare -A runs
for ((r = 0; r < rounds; r++)); do
    for name in $routes; do
        clearRoute "$name"
        runs[$name]+="$(seconds "$name") "
    done
done
for name in $routes; do clearRoute "$name"; done
rm -rf "$bench"/*.peak "$bench/times"

printf "%-13s %-8s %-10s %-10s %s\n" route median processor peak "every run (wall/processor)"
for name in $routes; do
    wall=$(echo "${runs[$name]}" | tr ' ' '\n' | cut -d/ -f1 | median)
    cpu=$(echo "${runs[$name]}" | tr ' ' '\n' | grep / | cut -d/ -f2 | median)
    printf "%-13s %-8s %-10s %-10s %s\n" "$name" "$wall s" "$cpu s" "$(megabytes "${peak[$name]}")" "${runs[$name]}"
done
echo "Load after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
