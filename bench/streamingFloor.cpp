// The streaming floor of a merge: every input byte read and every output byte written, in
// the order a Mozaro run reads and writes them, through buffers of at most 256 KiB and with
// no computation. Panel row by panel row, a piece of rows of each panel of the row in turn
// goes into one buffer; after each piece the output rows it completes go out from another,
// in writes of at most 256 KiB. With --threads N the frames are dealt out to N threads, each
// with buffers of its own, reading and writing at the frames' offsets: the floor of N cores.
// Its wall time is what the page cache or the disk alone costs; bench/run.sh divides
// Mozaro's time by it.
//
// usage: streamingFloor [--threads N] ntx nty nx ny nf nBlend output file00 [file01 ...]
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"

static const long bufferBytes = 256 * 1024;

struct Job {
    long ntx, nty, nx, ny, nf, nBlend;
    long tileRowBytes, pieceRows, outHeight;
    long long outRowBytes, outFrameBytes;
    osFile output;
    std::vector<osFile> panels;
    std::atomic<long> nextFrame{0};
    std::atomic<bool> failed{false};
};

// Page-aligned, as Mozaro's buffers are: the system copies into unaligned memory more
// slowly on some processors.
static unsigned char* aligned(std::vector<unsigned char>* space)
{
    return space->data() + (4096 - reinterpret_cast<std::uintptr_t>(space->data()) % 4096);
}

static void streamFrames(void* argument)
{
    Job& job = *static_cast<Job*>(argument);
    const long long panelFrameBytes = 1LL * job.tileRowBytes * job.ny;
    std::vector<unsigned char> inSpace(std::size_t(job.pieceRows * job.tileRowBytes * job.ntx + 4096), 1);
    std::vector<unsigned char> outSpace(std::size_t(bufferBytes + 4096), 1);
    unsigned char* in = aligned(&inSpace);
    unsigned char* out = aligned(&outSpace);
    for (long k; (k = job.nextFrame++) < job.nf && !job.failed;) {
        long long outRowsWritten = 0;
        long long outAt = k * job.outFrameBytes;
        for (long i = 0; i < job.nty; i++)
            for (long r = 0; r < job.ny; r += job.pieceRows) {
                const long rows = job.ny - r < job.pieceRows ? job.ny - r : job.pieceRows;
                for (long j = 0; j < job.ntx; j++) {
                    std::size_t got = 0, want = std::size_t(rows * job.tileRowBytes);
                    const std::int64_t at = k * panelFrameBytes + 1LL * r * job.tileRowBytes;
                    if (osReadFull(job.panels[std::size_t(i * job.ntx + j)], in + j * want, want, at, &got) != 0 ||
                        got != want) {
                        std::fputs("streamingFloor: short read\n", stderr);
                        job.failed = true;
                        return;
                    }
                }
                long long complete = (i * job.ny + r + rows) / job.nBlend;
                complete = complete < job.outHeight ? complete : job.outHeight;
                for (long long left = (complete - outRowsWritten) * job.outRowBytes; left > 0; left -= bufferBytes) {
                    const long long piece = left < bufferBytes ? left : bufferBytes;
                    if (osWriteFull(job.output, out, std::size_t(piece), outAt) != 0) {
                        std::fputs("streamingFloor: write failed\n", stderr);
                        job.failed = true;
                        return;
                    }
                    outAt += piece;
                }
                outRowsWritten = complete;
            }
    }
}

int main(int argc, char** argv)
{
    long threads = 1;
    if (argc > 2 && std::strcmp(argv[1], "--threads") == 0) {
        threads = std::atol(argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc < 9) {
        std::fputs("usage: streamingFloor [--threads N] ntx nty nx ny nf nBlend output file00 [file01 ...]\n", stderr);
        return 1;
    }
    static Job job;
    job.ntx = std::atol(argv[1]), job.nty = std::atol(argv[2]);
    job.nx = std::atol(argv[3]), job.ny = std::atol(argv[4]);
    job.nf = std::atol(argv[5]), job.nBlend = std::atol(argv[6]);
    if (threads < 1 || job.ntx < 1 || job.nty < 1 || job.nx < 1 || job.ny < 1 || job.nf < 0 || job.nBlend < 1 ||
        argc != 8 + job.ntx * job.nty) {
        std::fputs("streamingFloor: bad sizes or file count\n", stderr);
        return 1;
    }
    job.tileRowBytes = 3 * job.nx;
    job.pieceRows = bufferBytes / (job.tileRowBytes * job.ntx);
    job.pieceRows = job.pieceRows < 1 ? 1 : job.pieceRows > job.ny ? job.ny : job.pieceRows;
    job.outRowBytes = 3LL * (job.nx * job.ntx / job.nBlend);
    job.outHeight = job.ny * job.nty / job.nBlend;
    job.outFrameBytes = job.outRowBytes * job.outHeight;

    if (osCreateNew(argv[7], &job.output) != 0) {   // bench/run.sh removes it before every run
        std::perror(argv[7]);
        return 1;
    }
    job.panels.resize(std::size_t(job.ntx * job.nty));
    for (std::size_t k = 0; k < job.panels.size(); k++) {
        if (osOpenForReading(argv[8 + k], &job.panels[k]) != 0) {
            std::perror(argv[8 + k]);
            return 1;
        }
        osAdviseSequential(job.panels[k]);
    }
    std::vector<osThread> started;
    for (long t = 1; t < threads; t++) {
        osThread thread;
        if (osStartThread(streamFrames, &job, &thread) == 0)
            started.push_back(thread);
    }
    streamFrames(&job);
    for (osThread thread : started)
        osJoinThread(thread);
    for (osFile panel : job.panels)
        osClose(panel);
    return osClose(job.output) == 0 && !job.failed ? 0 : 1;
}
