#!/usr/bin/env bash
# Cross-builds Mozaro.exe with MinGW-w64, runs the Windows end-to-end tests against it under
# Wine, and packs the zip that cpack makes for Windows.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
needBuildTools
needGoogleTest
missing=()
command -v x86_64-w64-mingw32-g++-win32 >/dev/null || command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
    missing+=(g++-mingw-w64-x86-64-win32)
# wine64 runs 64-bit programs on its own; wine brings the `wine` command that starts it.
wine --version >/dev/null 2>&1 || missing+=(wine wine64)
# Lean: Wine's recommended fonts, sound and graphics libraries would double the install.
[ ${#missing[@]} = 0 ] || aptInstall --lean "${missing[@]}"

jobs=$(buildJobs)
windows="$top/build/windows"
# MozaroFaults.exe, the same with the fault switch in the Win32 half of the layer, is for the
# fault sweep only; the package holds Mozaro.exe alone.
cmake -S "$top" -B "$windows" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DMOZARO_FAULTS=ON -DMOZARO_WERROR=ON >/dev/null
cmake --build "$windows" --parallel "$jobs"
(cd "$windows" && cpack -G ZIP >/dev/null)
zip=$(ls "$windows"/Mozaro-*-win64.zip)
listing=$(cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | grep -v '^docs/' | sort | tr '\n' ' ')
if [ "$listing" != "LICENSE Mozaro.exe README.md " ] || ! cmake -E tar tf "$zip" | grep -q '/docs/windows.md$'; then
    echo "unexpected package contents: $listing" >&2
    exit 1
fi
echo "package: $zip"

driver="$top/build/windowsTests"
cmake -S "$top" -B "$driver" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DMOZARO_WINDOWS_TESTS=ON >/dev/null
cmake --build "$driver" --parallel "$jobs" --target mozaroWindowsTests

# One Wine prefix inside the build folder, made once, and one wineserver for the whole run:
# every later start of Mozaro.exe then costs a fraction of a second.
export WINEPREFIX="$top/build/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
export MOZARO_LAUNCHER=wine MOZARO_BINARY="$windows/Mozaro.exe"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true   # one already running serves as well
trap 'wineserver -k || true' EXIT
# The first start fills the prefix; the usage text shows that the program runs.
# Wine's own background processes start here and keep the descriptors they inherit, so
# none of them may be a pipe that someone waits on.
wine "$MOZARO_BINARY" </dev/null >"$WINEPREFIX/usage.txt" 2>/dev/null || true
if ! grep -q '^usage: Mozaro' "$WINEPREFIX/usage.txt"; then
    echo "Mozaro.exe does not start under Wine" >&2
    exit 1
fi
# One Wine start at a time. A start that Wine itself fails (no output at all) is made again
# by the tests' own launcher; a case that fails, fails the run.
ctest --test-dir "$driver" --output-on-failure --parallel 1 -R '^windows\.' -E 'WindowsFaultSweep'
# Every call of one run failing in turn, under Wine: it prints how many failures it tried.
MOZARO_BINARY="$windows/MozaroFaults.exe" "$driver/tests/mozaroWindowsTests" --gtest_filter='WindowsFaultSweep.*' |
    grep -E '^fault sweep|^\[  (PASSED|FAILED)|Failure|at call' | cut -c1-400
[ "${PIPESTATUS[0]}" = 0 ]
