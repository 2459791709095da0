#!/usr/bin/env bash
# Builds Mozaro with its tests and runs every one of them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools
needGoogleTest
needGroff
needPng
needFfmpeg
needSlurm
needStrace

build="$top/build/tests"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DMOZARO_WERROR=ON >/dev/null
cmake --build "$build" --parallel "$(buildJobs)"
ctest --test-dir "$build" --output-on-failure --parallel 2
