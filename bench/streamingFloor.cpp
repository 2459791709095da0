// The streaming floor of a merge: every input byte read and every output byte written, in
// the order a Mozaro run reads and writes them, through buffers of at most 256 KiB and with
// no computation. Panel row by panel row, a piece of rows of each panel of the row in turn
// goes into one buffer; after each piece the output rows it completes go out from another,
// in writes of at most 256 KiB. Its wall time is
// what the page cache or the disk alone costs; bench/run.sh divides Mozaro's time by it.
//
// usage: streamingFloor ntx nty nx ny nf nBlend output file00 [file01 ...]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/files.h"

static const long bufferBytes = 256 * 1024;

int main(int argc, char** argv)
{
    if (argc < 9) {
        std::fputs("usage: streamingFloor ntx nty nx ny nf nBlend output file00 [file01 ...]\n", stderr);
        return 1;
    }
    const long ntx = std::atol(argv[1]), nty = std::atol(argv[2]);
    const long nx = std::atol(argv[3]), ny = std::atol(argv[4]);
    const long nf = std::atol(argv[5]), nBlend = std::atol(argv[6]);
    if (ntx < 1 || nty < 1 || nx < 1 || ny < 1 || nf < 0 || nBlend < 1 || argc != 8 + ntx * nty) {
        std::fputs("streamingFloor: bad sizes or file count\n", stderr);
        return 1;
    }
    const long tileRowBytes = 3 * nx;
    long pieceRows = bufferBytes / (tileRowBytes * ntx);
    pieceRows = pieceRows < 1 ? 1 : pieceRows > ny ? ny : pieceRows;
    const long long outRowBytes = 3LL * (nx * ntx / nBlend);
    const long outHeight = ny * nty / nBlend;

    osFile output;
    if (osCreateNew(argv[7], &output) != 0) {   // bench/run.sh removes it before every run
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
    // Page-aligned, as Mozaro's buffers are: the system copies into unaligned memory more
    // slowly on some processors.
    std::vector<unsigned char> inSpace(std::size_t(pieceRows * tileRowBytes * ntx + 4096), 1);
    std::vector<unsigned char> outSpace(std::size_t(bufferBytes + 4096), 1);
    unsigned char* in = inSpace.data() + (4096 - reinterpret_cast<std::uintptr_t>(inSpace.data()) % 4096);
    unsigned char* out = outSpace.data() + (4096 - reinterpret_cast<std::uintptr_t>(outSpace.data()) % 4096);
    for (long k = 0; k < nf; k++) {
        long long outRowsWritten = 0;
        for (long i = 0; i < nty; i++)
            for (long r = 0; r < ny; r += pieceRows) {
                const long rows = ny - r < pieceRows ? ny - r : pieceRows;
                for (long j = 0; j < ntx; j++) {
                    std::size_t got = 0, want = std::size_t(rows * tileRowBytes);
                    if (osReadFull(panels[std::size_t(i * ntx + j)], in + j * want, want, osAtPosition, &got) != 0 ||
                        got != want) {
                        std::fputs("streamingFloor: short read\n", stderr);
                        return 1;
                    }
                }
                long long complete = (i * ny + r + rows) / nBlend;
                complete = complete < outHeight ? complete : outHeight;
                for (long long left = (complete - outRowsWritten) * outRowBytes; left > 0; left -= bufferBytes) {
                    const long long piece = left < bufferBytes ? left : bufferBytes;
                    if (osWriteFull(output, out, std::size_t(piece), osAtPosition) != 0) {
                        std::fputs("streamingFloor: write failed\n", stderr);
                        return 1;
                    }
                }
                outRowsWritten = complete;
            }
    }
    for (osFile panel : panels)
        osClose(panel);
    return osClose(output) == 0 ? 0 : 1;
}
