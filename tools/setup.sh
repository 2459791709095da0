# Installs what a build needs when it is missing, on systems with apt-get; with --lean first,
# without the packages they only recommend.
aptInstall() {
    local lean=""
    [ "$1" != --lean ] || { lean=--no-install-recommends; shift; }
    if ! command -v apt-get >/dev/null; then
        echo "missing: $* (install them with your package manager)" >&2
        exit 1
    fi
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $lean "$@" >/dev/null
}
needBuildTools() {
    command -v cmake >/dev/null && command -v c++ >/dev/null || aptInstall cmake g++ make
}
needGoogleTest() {
    [ -e /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -e /usr/lib/cmake/GTest/GTestConfig.cmake ] ||
        ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1 || aptInstall libgtest-dev
}
# The manual page is checked with groff.
needGroff() {
    command -v groff >/dev/null || aptInstall groff-base
}
# mozaro-frame and FFmpeg are optional: without apt-get the build and the tests go on without them.
needPng() {
    [ -e /usr/include/png.h ] || ! command -v apt-get >/dev/null || aptInstall libpng-dev
}
# mozaro-video is built on FFmpeg's libraries (found by pkg-config); its tests make and check
# videos with FFmpeg's command.
needFfmpeg() {
    { command -v ffmpeg && command -v pkg-config && pkg-config --exists libavformat libavcodec libswscale libavutil; } \
        >/dev/null 2>&1 || ! command -v apt-get >/dev/null ||
        aptInstall --lean ffmpeg pkg-config libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
}
# Builds use as many jobs as the machine has processors, never an unbounded number: on a
# small machine an unbounded make -j runs out of memory.
buildJobs() {
    nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2
}
# The tests of a merge split over a Slurm job array start a private cluster of their own
# (tools/slurmCluster.sh) from these packages; without them those tests skip.
needSlurm() {
    { command -v slurmctld && command -v slurmd && command -v sbatch && command -v munged; } >/dev/null ||
        ! command -v apt-get >/dev/null || aptInstall --lean slurm-wlm munge
}
# The tests that kill a run among its renames, or stop it at its sync, do it with strace;
# without it they skip.
needStrace() {
    command -v strace >/dev/null || ! command -v apt-get >/dev/null || aptInstall --lean strace
}
