#!/usr/bin/env bash
# Runs every test with AddressSanitizer and UndefinedBehaviorSanitizer, makes every call of
# the operating-system layer fail in turn in a few representative runs (the fault sweep),
# fuzzes the set-up of a run (command line, limits, layout, dialogue) and the frame pipeline
# (bands, blocks, column sums against the per-pixel model) for a bounded time, and runs one
# complete merge under valgrind's memcheck. Any report fails it.
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

step "sanitized build and the whole test suite"
build="$top/build/sanitize"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DBUILD_TESTING=ON -DMOZARO_SANITIZE=ON -DMOZARO_FUZZ=ON -DMOZARO_FAULTS=ON >/dev/null
cmake --build "$build" --parallel
ctest --test-dir "$build" --output-on-failure --parallel 2 -E '^FaultSweep\.'
stepDone

step "the fault sweep: every call of the layer failing in turn, under the sanitizers"
# Two halves side by side; each prints its counts, and any violation fails the step.
sweepLog="$top/build/sweep"
mkdir -p "$sweepLog"
"$build/tests/mozaroTests" --gtest_filter='FaultSweep.Replacing*:FaultSweep.OutputToAFifo' >"$sweepLog/1" 2>&1 &
first=$!
"$build/tests/mozaroTests" --gtest_filter='FaultSweep.Blend*:FaultSweep.AFifoPanel' >"$sweepLog/2" 2>&1 || sweepFailed=1
wait $first || sweepFailed=1
grep -h -E '^fault sweep: .*(in all|violations)$' "$sweepLog/1" "$sweepLog/2"
if [ -n "${sweepFailed:-}" ]; then
    grep -h -E 'at call|Failure|FAILED' "$sweepLog/1" "$sweepLog/2" | cut -c1-400 | head -n 40
    echo "the fault sweep found violations" >&2
    exit 1
fi
total=$(grep -h -E '^fault sweep: .*in all$' "$sweepLog/1" "$sweepLog/2" | awk '{ n += $(NF - 5) } END { print n }')
echo "fault sweep: $total injected failures tried, no violations"
stepDone

# Runs one fuzz target for a bounded time; new inputs go to a scratch corpus, the
# repository's starting inputs (if any) are only read.
fuzz() {
    local target=$1 seconds=$2 work="$top/build/fuzz/$1"
    shift 2
    rm -rf "$work" && mkdir -p "$work/corpus"
    if ! (cd "$work" && "$build/$target" -max_total_time="$seconds" -timeout=10 -max_len=8192 \
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
cmake --build "$release" --parallel --target Mozaro makeSampleMovies
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
