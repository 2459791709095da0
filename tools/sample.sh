#!/usr/bin/env bash
# Builds Mozaro (Release) and merges a generated sample: 2 x 2 panels of 320 x 240 pixels,
# 48 frames, blended by 2 into one 320 x 240 movie, and writes its first frame as a PNG.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools
needPng

build="$top/build/release"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel >/dev/null

sample="$top/build/sample"
rm -rf "$sample" && mkdir -p "$sample"
"$build/makeSampleMovies" 2 2 320 240 48 "$sample"
cd "$sample"
echo yes | "$build/Mozaro" 2 2 320 240 48 2 a00 a01 a10 a11
echo
echo "Merged movie: $sample/B_a00 (320 x 240 pixels, 48 frames, raw RGB, bottom row first)"
echo "Descriptor:   $sample/B_a00.mg: $(cat B_a00.mg)"
"$build/mozaro-frame" B_a00.mg 0 B_a00.png
echo "Picture:      $sample/B_a00.png (frame 0 of the merged movie)"
