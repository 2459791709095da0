// The I/O floor of a merge: the same reads and writes as a Mozaro run and nothing else.
// Each panel frame is read whole into one buffer, and each frame one write of
// outFrameBytes goes to the output, so its wall time is what the disk and the page cache
// alone cost. bench/run.sh divides Mozaro's time by it.
//
// usage: ioFloor ntx nty nx ny nf nBlend output file00 [file01 ...]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/osFiles.h"

int main(int argc, char** argv)
{
    if (argc < 9) {
        std::fputs("usage: ioFloor ntx nty nx ny nf nBlend output file00 [file01 ...]\n", stderr);
        return 1;
    }
    const long ntx = std::atol(argv[1]), nty = std::atol(argv[2]);
    const long nx = std::atol(argv[3]), ny = std::atol(argv[4]);
    const long nf = std::atol(argv[5]), nBlend = std::atol(argv[6]);
    if (ntx < 1 || nty < 1 || nx < 1 || ny < 1 || nf < 0 || nBlend < 1 || argc != 8 + ntx * nty) {
        std::fputs("ioFloor: bad sizes or file count\n", stderr);
        return 1;
    }
    const std::size_t tileFrameBytes = std::size_t(3 * nx * ny);
    const std::size_t outFrameBytes = std::size_t(3 * (nx * ntx / nBlend) * (ny * nty / nBlend));

    osFile output;
    if (osCreateForWriting(argv[7], &output) != 0) {
        std::perror(argv[7]);
        return 1;
    }
    std::vector<osFile> panels(std::size_t(ntx * nty));
    for (std::size_t k = 0; k < panels.size(); k++) {
        if (osOpenForReading(argv[8 + k], &panels[k]) != 0) {
            std::perror(argv[8 + k]);
            return 1;
        }
        osAdviseSequential(panels[k]);
    }
    // Both buffers are touched before the loop, as Mozaro's are after its first frame, so
    // that neither side writes from never-touched zero pages.
    std::vector<unsigned char> tile(tileFrameBytes, 1);
    std::vector<unsigned char> out(outFrameBytes, 1);
    for (long k = 0; k < nf; k++) {
        for (osFile panel : panels) {
            std::size_t got = 0;
            if (osReadFull(panel, tile.data(), tileFrameBytes, &got) != 0 || got != tileFrameBytes) {
                std::fputs("ioFloor: short read\n", stderr);
                return 1;
            }
        }
        if (outFrameBytes > 0 && osWriteFull(output, out.data(), outFrameBytes) != 0) {
            std::fputs("ioFloor: write failed\n", stderr);
            return 1;
        }
    }
    for (osFile panel : panels)
        osClose(panel);
    return osClose(output) == 0 ? 0 : 1;
}
