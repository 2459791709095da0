#!/usr/bin/env bash
# A wall of 3 x 2 panels of 1920 x 1080 pixels, H.264 videos made with FFmpeg's testsrc2,
# merged and blended by 2 into one 2880 x 1080 wall by these routes. A wall MP4:
#   mozaro-video      panel videos in, MP4 out, one process: the yuv420p planes merged;
#   mozaro-video-rgb  the same with --rgb: rgb24 frames merged, converted for the encoder;
#   ffmpeg-yuv        one FFmpeg command stacking the panels' own yuv420p (xstack) and
#                     halving with scale=iw/2:ih/2:flags=area, libx264;
#   ffmpeg            the same, each panel to rgb24 first (the same block means, rounded);
#   readme            the README's route: every panel decoded to a raw movie, Mozaro, mozaro-encode.
# A raw rgb24 wall (Mozaro's movie, bottom row first):
#   mozaro-video-raw  mozaro-video --raw;
#   ffmpeg-raw        one FFmpeg command: each panel to rgb24, xstack, area scale, vflip, raw.
# Each route runs once untimed while a sampler records the disk its folder takes (its peak)
# and /usr/bin/time its peak memory (the largest resident set of its processes), then
# rounds of one run per route alternate; the script prints each route's median wall time and
# processor time (user and system, all its processes), every run, and the peaks. Every
# video route encodes with libx264's defaults.
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
cmake --build "$build" --parallel "$(buildJobs)" --target Mozaro mozaro-video >/dev/null
mozaro="$build/Mozaro"
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

# One route, run in its own folder ($PWD), leaving the MP4 (or the raw wall) there.
route() {
    local panel
    case $1 in
    mozaro-video)
        "$build/mozaro-video" -o wall.mp4 $ntx $nty $nBlend "${videos[@]}" >/dev/null ;;
    mozaro-video-rgb)
        "$build/mozaro-video" --rgb -o wall.mp4 $ntx $nty $nBlend "${videos[@]}" >/dev/null ;;
    mozaro-video-raw)
        "$build/mozaro-video" --raw wall.raw $ntx $nty $nBlend "${videos[@]}" >/dev/null ;;
    ffmpeg-raw)
        ffmpeg -v error -nostdin "${inputs[@]}" -filter_complex \
            "${toRgb}${stackIn}xstack=inputs=$((ntx * nty)):grid=${ntx}x$nty,scale=iw/$nBlend:ih/$nBlend:flags=area,vflip" \
            -f rawvideo -pix_fmt rgb24 wall.raw ;;
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
routes="mozaro-video ffmpeg-yuv mozaro-video-rgb ffmpeg readme mozaro-video-raw ffmpeg-raw"
clearRoute() { rm -rf "$bench/$1" && mkdir -p "$bench/$1" && cd "$bench/$1"; }
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
echo "Peak disk use of each route's folder (sampled every 50 ms) and peak memory, untimed run:"
declare -A peak final memory
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
    if [ -x /usr/bin/time ]; then
        # The largest resident set of the route's processes, in KiB.
        export -f route
        export build ntx nty nBlend frames nx ny mozaro panels toRgb stackIn inNative
        memory[$name]=$(/usr/bin/time -f %M bash -c "$(declare -p names videos inputs); route $name" 2>&1 >/dev/null |
            tail -1)
    else
        route "$name"
        memory[$name]="n/a"
    fi
    kill $sampler && wait $sampler 2>/dev/null || true
    peak[$name]=$(cat "$bench/$name.peak")
    final[$name]=$(du -sb . | cut -f1)
    left=$(find . -mindepth 1 ! -name wall.mp4 ! -name wall.raw ! -name wall.raw.mg | tr '\n' ' ')
    made=$(if [ -e wall.mp4 ]; then
        ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 wall.mp4
    else
        echo "$(($(stat -c %s wall.raw) / (3 * nx * ntx / nBlend * ny * nty / nBlend))) raw"
    fi)
    printf "  %-17s disk %-10s at the end %-10s memory %-9s frames %s; beside the wall: %s\n" "$name" \
        "$(megabytes "${peak[$name]}")" "$(megabytes "${final[$name]}")" "${memory[$name]} KiB" "$made" \
        "${left:-nothing}"
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

printf "%-17s %-8s %-10s %-10s %-11s %s\n" route median processor disk memory "every run (wall/processor)"
declare -A medians
for name in $routes; do
    wall=$(echo "${runs[$name]}" | tr ' ' '\n' | cut -d/ -f1 | median)
    medians[$name]=$wall
    cpu=$(echo "${runs[$name]}" | tr ' ' '\n' | grep / | cut -d/ -f2 | median)
    printf "%-17s %-8s %-10s %-10s %-11s %s\n" "$name" "$wall s" "$cpu s" "$(megabytes "${peak[$name]}")" \
        "${memory[$name]} KiB" "${runs[$name]}"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "Wall MP4: mozaro-video $(ratio "${medians[mozaro-video]}" "${medians[ffmpeg-yuv]}") x ffmpeg-yuv;" \
    "raw rgb24 wall: mozaro-video-raw $(ratio "${medians[mozaro-video-raw]}" "${medians[ffmpeg-raw]}") x ffmpeg-raw"
echo "Load after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
