#!/usr/bin/env bash
# Builds Mozaro (Release) and merges a generated sample: 2 x 2 panels of 320 x 240 pixels,
# 48 frames, blended by 2 into one 320 x 240 movie; then writes its first frame as a PNG with
# mozaro-frame and, where FFmpeg is installed, the whole movie as an MP4 with mozaro-encode.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools
needPng

build="$top/build/release"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel "$(buildJobs)" >/dev/null

sample="$top/build/sample"
rm -rf "$sample" && mkdir -p "$sample"
"$build/makeSampleMovies" 2 2 320 240 48 "$sample"
cd "$sample"
echo yes | "$build/Mozaro" 2 2 320 240 48 2 a00 a01 a10 a11
echo
echo "Merged movie: $sample/B_a00 (320 x 240 pixels, 48 frames, raw RGB, bottom row first)"
echo "Descriptor:   $sample/B_a00.mg: $(cat B_a00.mg)"
if [ -x "$build/mozaro-frame" ]; then
    "$build/mozaro-frame" B_a00.mg
    echo "Picture:      $sample/B_a00-0.png (frame 0, by mozaro-frame B_a00.mg)"
else
    echo "Picture:      none, mozaro-frame needs libpng (Debian: apt-get install libpng-dev)"
fi
if command -v ffmpeg >/dev/null; then
    "$build/mozaro-encode" B_a00.mg
    echo "Video:        $sample/B_a00.mp4 (H.264, 25 frames a second, by mozaro-encode B_a00.mg)"
else
    echo "Video:        none, mozaro-encode needs FFmpeg (Debian: apt-get install ffmpeg)"
fi
