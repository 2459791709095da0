// libFuzzer target over the frame pipeline: band reading, block reduction across band and
// panel-row boundaries, column sums and output pieces. Each input draws a grid, a blend
// factor, a band height and the panels' bytes; the panel movies are memory files read
// through the real read paths (one piece, scattered rows, staged rows), the frames go
// through streamFrame into another memory file, and the result must equal the per-pixel
// model byte for byte. One panel may be cut short: then the stream must stop at that
// panel's frame and name it.
//
// An input is read as: ntx, nty, nx, ny, nf, nBlend, band rows, cut; then the bytes that
// fill the panels, repeated as often as needed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frames/frames.h"
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
    if (size < 9)
        return 0;
    // Narrow and wide rows (scatter reads start at 86 pixels), blend factors past the
    // narrow sums' 16, band heights from one row up.
    static const int widths[] = {1, 2, 3, 5, 7, 16, 33, 85, 86, 100, 130};
    MovieGrid g;
    g.ntx = 1 + data[0] % 4;
    g.nty = 1 + data[1] % 4;
    g.nx = widths[data[2] % (sizeof widths / sizeof widths[0])];
    g.ny = 1 + data[3] % 19;
    g.nf = 1 + data[4] % 3;
    g.nBlend = 1 + (data[5] % 32 < 24 ? data[5] % 8 : data[5] % 41);
    const std::int32_t bandRows = data[6] % 9;   // 0: the run's own band
    const int cut = data[7];                    // below the panel count: that panel is cut short
    const std::uint8_t* fill = data + 8;
    const std::size_t fillBytes = size - 8;

    const std::size_t panelBytes = std::size_t(3) * std::size_t(g.nx) * std::size_t(g.ny) * std::size_t(g.nf);
    std::size_t at = 0;
    for (int k = 0; k < g.ntx * g.nty; k++) {
        Bytes panel(panelBytes);
        for (unsigned char& b : panel)
            b = fill[at++ % fillBytes];
        g.panels.push_back(panel);
    }
    const Bytes expected = modelMovie(g);
    const int panels = g.ntx * g.nty;
    const bool cutShort = cut < panels;
    std::vector<osFile> files;
    for (int k = 0; k < panels; k++) {
        Bytes panel = g.panels[std::size_t(k)];
        if (k == cut)
            panel.resize(panel.size() - 1 - fill[0] % (panel.size()));
        files.push_back(memoryFile(panel));
    }

    RunParameters p{};
    p.ntx = g.ntx;
    p.nty = g.nty;
    p.nx = g.nx;
    p.ny = g.ny;
    p.nf = g.nf;
    p.nBlend = g.nBlend;
    require(checkRunLimits(p) == withinLimits, "a grid within the limits");
    computeSizes(&p);
    OutputMovie movie{};
    movie.file = memoryFile(Bytes());
    FrameBuffers buffers;
    require(allocateFrameBuffers(planFrameBuffers(p, bandRows), &buffers), "buffers");
    StreamResult result{streamGoesOn, 0, 0, 0};
    std::int32_t frames = 0;
    for (; frames < p.nf; frames++) {
        result = streamFrame(p, files.data(), &buffers, &movie);
        if (result.status != streamGoesOn)
            break;
    }
    freeFrameBuffers(&buffers);

    const off_t written = lseek(int(movie.file), 0, SEEK_END);
    Bytes out(std::size_t(written > 0 ? written : 0));
    require(pread(int(movie.file), out.data(), out.size(), 0) == ssize_t(out.size()), "output read back");
    if (!cutShort) {
        require(result.status == streamGoesOn, "every whole movie streams through");
        require(out == expected, "the streamed movie equals the per-pixel model");
    } else {
        // The cut panel ends inside the frame that its last byte would have completed.
        const std::size_t kept = g.panels[std::size_t(cut)].size() - 1 - fill[0] % g.panels[std::size_t(cut)].size();
        const std::int32_t endingFrame = std::int32_t(kept / (panelBytes / std::size_t(g.nf)));
        require(result.status == panelMovieEnded, "a movie cut short ends the stream");
        require(frames == endingFrame, "the stream ends at the frame the cut falls in");
        require(result.panelRow * g.ntx + result.panelColumn == cut, "the stream names the cut panel");
        // Frames before it are exact; nothing is said about the frame it cut.
        const std::size_t frameBytes = expected.size() / std::size_t(g.nf);
        require(out.size() >= frameBytes * std::size_t(frames), "the frames before the cut are out");
        require(Bytes(out.begin(), out.begin() + long(frameBytes * std::size_t(frames))) ==
                    Bytes(expected.begin(), expected.begin() + long(frameBytes * std::size_t(frames))),
                "the frames before the cut are exact");
    }
    for (osFile file : files)
        close(int(file));
    close(int(movie.file));
    return 0;
}
