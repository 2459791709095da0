// libFuzzer target over the frame pipeline and the frame loop: band reading, block
// reduction across band and panel-row boundaries, column sums, output pieces, worker
// threads and frame ranges. Each input draws a grid, a blend factor, a band height, a
// number of workers, a first frame and a step, and the panels' bytes; the panel movies are
// memory files read through the real read paths (one piece, scattered rows, staged rows),
// the frames go through the frame loop into another memory file at their places, and the
// result must equal the per-pixel model of the frames chosen byte for byte. One panel may
// be cut short: then the loop must stop at the first frame that reaches the cut and name
// that panel, every frame before it in place. Each set of reduction kernels gets its turn:
// the input names one, and the portable code stands in where the processor lacks it.
//
// An input is read as: ntx, nty, nx, ny, nf, nBlend, band rows, cut, workers (and the
// kernels, in the same byte), first frame, step, the wall's seams (none, gaps or overlaps,
// and whether means are rounded), their sizes; then the bytes that fill the panels, repeated
// as often as needed (the first three are the gaps' colour).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "run/run.h"
#include "tests/movieModel.h"

namespace {

void require(bool promise, const char* what)
{
    if (!promise) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

int memoryFile(const Bytes& bytes)
{
    int fd = memfd_create("panel", 0);
    require(fd >= 0, "a memory file");
    require(write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()), "panel bytes written");
    require(lseek(fd, 0, SEEK_SET) == 0, "rewound");
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 14)
        return 0;
    // Narrow and wide rows (scatter reads start at 86 pixels), blend factors past the
    // narrow sums' 16, band heights from one row up.
    static const int widths[] = {1, 2, 3, 5, 7, 16, 33, 85, 86, 100, 130};
    const int ntx = 1 + data[0] % 4, nty = 1 + data[1] % 4;
    const int nx = widths[data[2] % (sizeof widths / sizeof widths[0])], ny = 1 + data[3] % 19;
    const int nf = 1 + data[4] % 3;
    const int nBlend = 1 + (data[5] % 32 < 24 ? data[5] % 8 : data[5] % 41);
    const std::int32_t bandRows = data[6] % 9;   // 0: the run's own band
    const int cut = data[7];                    // below the panel count: that panel is cut short
    const std::int32_t workers = 1 + data[8] % 4;
    const ReductionKernels kernels = ReductionKernels(data[8] / 4 % reductionKernelSets);
    if (!useReductionKernels(kernels))
        useReductionKernels(portableKernels);
    const int first = data[9] % 3, step = 1 + data[10] % 3;
    const int seams = data[11] % 3;   // none, gaps, overlaps
    const bool rounded = data[11] & 4;
    const int seamX = data[12] % 16, seamY = data[12] / 16;
    const std::uint8_t* fill = data + 13;
    const std::size_t fillBytes = size - 13;

    // Every panel holds the frames up to the last one chosen; the model sees the chosen ones.
    const int held = first + (nf - 1) * step + 1;
    const std::size_t frameBytes = std::size_t(3) * std::size_t(nx) * std::size_t(ny);
    const int panels = ntx * nty;
    MovieGrid g{ntx, nty, nx, ny, nf, nBlend, {}};
    if (seams == 1) {
        g.gapX = seamX, g.gapY = seamY;
        for (int c = 0; c < 3; c++)
            g.fill[c] = fill[c % fillBytes];
    } else if (seams == 2) {
        g.overlapX = seamX % nx, g.overlapY = seamY % ny;
    }
    g.round = rounded;
    std::vector<Bytes> movies;
    std::size_t at = 0;
    for (int k = 0; k < panels; k++) {
        Bytes movie(frameBytes * std::size_t(held));
        for (unsigned char& b : movie)
            b = fill[at++ % fillBytes];
        Bytes chosen;
        for (int f = 0; f < nf; f++) {
            const auto start = movie.begin() + long(frameBytes * std::size_t(first + f * step));
            chosen.insert(chosen.end(), start, start + long(frameBytes));
        }
        g.panels.push_back(chosen);
        movies.push_back(movie);
    }
    const Bytes expected = modelMovie(g);
    const bool cutShort = cut < panels;
    std::size_t kept = 0;
    std::vector<PanelMovie> files;
    for (int k = 0; k < panels; k++) {
        Bytes movie = movies[std::size_t(k)];
        if (k == cut) {
            kept = movie.size() - 1 - fill[0] % movie.size();
            movie.resize(kept);
        }
        files.push_back(PanelMovie{memoryFile(movie), false});
    }

    RunParameters p = runParametersOf(ntx, nty, nx, ny, nf, nBlend);
    p.firstFrame = first;
    p.frameStep = step;
    p.gapX = g.gapX, p.gapY = g.gapY, p.overlapX = g.overlapX, p.overlapY = g.overlapY;
    for (int c = 0; c < 3; c++)
        p.fill[c] = g.fill[c];
    p.roundMeans = rounded;
    require(checkRunLimits(p) == withinLimits, "a grid within the limits");
    computeSizes(&p);
    OutputMovie movie;
    movie.file = memoryFile(Bytes());
    std::vector<FrameBuffers> buffers(static_cast<std::size_t>(workers));
    for (FrameBuffers& b : buffers)
        require(allocateFrameBuffers(planFrameBuffers(p, bandRows), &b), "buffers");
    MovieFrames frames{&movie, p.outFrameBytes};
    const FrameLoopResult result = runFrameLoop(p, files.data(), movieFrameSink(&frames), buffers.data(), workers, true);
    for (FrameBuffers& b : buffers)
        freeFrameBuffers(&b);

    const off_t written = lseek(int(movie.file), 0, SEEK_END);
    Bytes out(std::size_t(written > 0 ? written : 0));
    require(pread(int(movie.file), out.data(), out.size(), 0) == ssize_t(out.size()), "output read back");
    const std::size_t outFrameBytes = expected.size() / std::size_t(nf);
    // The first chosen frame whose bytes reach past the cut.
    int ending = nf;
    for (int f = 0; cutShort && f < nf && ending == nf; f++)
        if (frameBytes * std::size_t(first + f * step + 1) > kept)
            ending = f;
    if (ending == nf) {
        require(result.stream.status == streamGoesOn, "every whole movie streams through");
        require(out == expected, "the merged movie equals the per-pixel model");
    } else {
        require(result.stream.status == panelMovieEnded, "a movie cut short ends the loop");
        require(result.frame == first + ending * step, "the loop ends at the frame the cut falls in");
        require(result.stream.panel == cut, "the loop names the cut panel");
        // Frames before it are in place; nothing is said about the frames from it on.
        const std::size_t whole = outFrameBytes * std::size_t(ending);
        require(out.size() >= whole, "the frames before the cut are out");
        require(Bytes(out.begin(), out.begin() + long(whole)) == Bytes(expected.begin(), expected.begin() + long(whole)),
                "the frames before the cut are exact");
    }
    for (const PanelMovie& file : files)
        close(int(file.file));
    close(int(movie.file));
    return 0;
}
