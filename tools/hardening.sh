#!/usr/bin/env bash
# Builds Mozaro with clang as a user would (Release, every option), runs every test with
# AddressSanitizer and UndefinedBehaviorSanitizer, makes every call of the operating-system
# layer fail in turn in a few representative runs (the fault sweep), runs threaded merges
# under ThreadSanitizer, fuzzes the set-up of a run (command line, limits, layout, dialogue)
# and the frame pipeline (bands, blocks, column sums, workers and frame ranges against the
# per-pixel model) for a bounded time, and runs one complete merge under valgrind's
# memcheck. Any report fails it.
#
# usage: bash tools/hardening.sh [fuzz seconds, default 60, shared by the two fuzz targets]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
fuzzSeconds=${1:-60}

needBuildTools
needGoogleTest
# libFuzzer and the sanitizer runtimes come with clang's runtime package.
if ! command -v clang++-14 >/dev/null ||
    ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    aptInstall clang-14 libclang-rt-14-dev
fi
command -v valgrind >/dev/null || aptInstall valgrind

step() {
    stepName=$1
    stepStart=$SECONDS
    echo "== $stepName"
}
stepDone() {
    echo "== $stepName: passed in $((SECONDS - stepStart)) s"
}

step "clang, Release, every option, warnings as errors"
clang="$top/build/clang"
cmake -S "$top" -B "$clang" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++-14 -DBUILD_TESTING=ON \
    -DMOZARO_FAULTS=ON -DMOZARO_WERROR=ON >/dev/null
cmake --build "$clang" --parallel "$(buildJobs)"
stepDone

step "sanitized build and the whole test suite"
build="$top/build/sanitize"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DBUILD_TESTING=ON -DMOZARO_SANITIZE=ON -DMOZARO_FUZZ=ON -DMOZARO_FAULTS=ON >/dev/null
cmake --build "$build" --parallel "$(buildJobs)"
ctest --test-dir "$build" --output-on-failure --parallel 2 -LE faultSweep
stepDone

step "the fault sweep: every call of the layer failing in turn, under the sanitizers"
# Each scenario adds "<failures tried> <violations> <what>" to the report; any violation
# fails its case, and so the step.
report="$top/build/sweep.report"
rm -f "$report"
MOZARO_SWEEP_REPORT="$report" ctest --test-dir "$build" --output-on-failure --parallel 2 -L faultSweep
awk '{ tried += $1; violations += $2; print "  " $0 }
     END { printf "fault sweep: %d injected failures tried in %d scenarios, %d violations\n", tried, NR, violations
           exit violations != 0 || NR == 0 }' "$report"
stepDone

step "threaded merges under ThreadSanitizer"
threads="$top/build/threads"
cmake -S "$top" -B "$threads" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DBUILD_TESTING=ON -DMOZARO_THREAD_SANITIZER=ON >/dev/null
cmake --build "$threads" --parallel "$(buildJobs)" --target mozaroTests
# halt_on_error: a report ends the merge with a failure, which its test sees.
TSAN_OPTIONS="halt_on_error=1 exitcode=66" ctest --test-dir "$threads" --output-on-failure --parallel 2 \
    -R 'Workers|MergeRun'
stepDone

# Runs one fuzz target for a bounded time; new inputs go to a scratch corpus, the
# repository's starting inputs (if any) are only read.
fuzz() {
    local target=$1 seconds=$2 work="$top/build/fuzz/$1"
    shift 2
    rm -rf "$work" && mkdir -p "$work/corpus"
    # The frame loop's lines on standard output are closed off (-close_fd_mask=1).
    if ! (cd "$work" && "$build/$target" -max_total_time="$seconds" -timeout=10 -max_len=8192 -close_fd_mask=1 \
            -print_final_stats=1 -artifact_prefix="$work/" corpus "$@" >"$work/log" 2>&1); then
        tail -n 60 "$work/log"
        echo "fuzzing found a fault; the input that shows it is in $work" >&2
        exit 1
    fi
    grep -E '^Done|^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$work/log"
}

step "fuzzing the set-up of a run for $((fuzzSeconds / 2)) s"
fuzz mozaroFuzz $((fuzzSeconds / 2)) -dict="$top/fuzz/runSetup.dict" "$top/fuzz/corpus"
stepDone

step "fuzzing the frame pipeline for $((fuzzSeconds / 2)) s"
fuzz mozaroFrameFuzz $((fuzzSeconds / 2))
stepDone

step "memcheck on one complete merge"
release="$top/build/tests"
cmake -S "$top" -B "$release" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$release" --parallel "$(buildJobs)" --target Mozaro makeSampleMovies
sample="$top/build/memcheck"
rm -rf "$sample" && mkdir -p "$sample"
# Rows of 300 bytes are scattered straight into the mosaic with readv.
"$release/makeSampleMovies" 2 2 100 30 4 "$sample" >/dev/null
# A renamed output, through the dialogue, then accepted.
(cd "$sample" && printf 'Yes\nmerged yes\n' |
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=all \
        --show-leak-kinds=all --track-origins=yes --quiet \
        "$release/Mozaro" 2 2 100 30 4 3 a00 a01 a10 a11 >stdout)
tail -n 1 "$sample/stdout"
[ "$(tail -n 1 "$sample/stdout")" = "Finished merging and blending movie merged" ]
[ "$(stat -c %s "$sample/merged")" = $((3 * 66 * 20 * 4)) ]
grep -q " 66 20 4\$" "$sample/merged.mg"
stepDone
