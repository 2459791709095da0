#!/usr/bin/env bash
# Cross-builds Mozaro for another processor (aarch64 by default, where the x86 kernels are
# not built) and runs the end-to-end tests against it under qemu-user, so that the frame
# pipeline is shown exact on the portable code as well.
#
# usage: bash tools/testForeign.sh [triple, default aarch64-linux-gnu]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tools/setup.sh"
triple=${1:-aarch64-linux-gnu}
arch=${triple%%-*}
needBuildTools
needGoogleTest
missing=()
command -v "$triple-g++" >/dev/null || missing+=("g++-${triple//_/-}")
command -v "qemu-$arch" >/dev/null || missing+=(qemu-user)
[ ${#missing[@]} = 0 ] || aptInstall "${missing[@]}"

foreign="$top/build/$arch"
cmake -S "$top" -B "$foreign" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/linux-cross.cmake" -DCROSS_TRIPLE="$triple" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$foreign" --parallel "$(buildJobs)" --target Mozaro
file "$foreign/Mozaro" | grep -q "$(case $arch in aarch64) echo ARM\ aarch64 ;; s390x) echo IBM\ S/390 ;; *) echo "$arch" ;; esac)"

# The native test program runs each case's tool under the emulator. The unit tests would
# test the native code, and an address-space limit leaves the emulator no room to start.
native="$top/build/tests"
cmake -S "$top" -B "$native" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$native" --parallel "$(buildJobs)" --target mozaroTests
MOZARO_LAUNCHER="qemu-$arch" MOZARO_BINARY="$foreign/Mozaro" "$native/tests/mozaroTests" \
    --gtest_filter='CommandLine.*:HelpAndVersion.*:MergeRun.*:PipeInput.*:Dialogue.*:NameOptions.*:BrokenInput.*:BlockedOutput.*:StandardOutput.*:AllOrNothing.*:ResourceLimit.OpenFile*:ResourceLimit.AMovieBeyond*' \
    --gtest_brief=1
