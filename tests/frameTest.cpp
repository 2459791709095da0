// The frame streamer against the per-pixel model: real panel files read band by band, with
// bands small enough to put their boundaries everywhere.
#include <gtest/gtest.h>

#include <random>

#include <fcntl.h>
#include <unistd.h>

#include "frames/frames.h"
#include "testSupport.h"

namespace {

struct Streamed {
    Bytes movie;              // what reached the sink
    StreamResult last;        // the result of the last frame streamed
    std::int32_t framesDone;  // frames that came through whole
};

int appendRows(void* movie, const unsigned char* rows, std::int64_t bytes)
{
    static_cast<Bytes*>(movie)->insert(static_cast<Bytes*>(movie)->end(), rows, rows + bytes);
    return 0;
}

// A panel decoded in memory, as a decoder hands it: each frame stored top row first.
struct MemoryPanel {
    Bytes topFirst;
    std::int64_t rowBytes, frameBytes;
};

StreamStatus memoryFrame(void* context, std::int64_t frame, const unsigned char** bottomRow,
                         std::ptrdiff_t* rowStride, int*)
{
    const MemoryPanel* m = static_cast<const MemoryPanel*>(context);
    if ((frame + 1) * m->frameBytes > std::int64_t(m->topFirst.size()))
        return panelMovieEnded;
    *bottomRow = m->topFirst.data() + (frame + 1) * m->frameBytes - m->rowBytes;
    *rowStride = -std::ptrdiff_t(m->rowBytes);
    return streamGoesOn;
}

// Writes the grid's panels to files (or, `inMemory`, holds them as decoded frames) and
// streams all its frames through a band of `bandRows` rows (0: the run's own choice) into
// memory.
Streamed stream(const MovieGrid& g, std::int32_t bandRows, bool inMemory = false)
{
    const RunParameters p = runParametersOf(g.ntx, g.nty, g.nx, g.ny, g.nf, g.nBlend);
    const std::string folder = makeScratchFolder();
    std::vector<PanelMovie> panels;
    std::vector<MemoryPanel> memory(g.panels.size());
    for (std::size_t k = 0; k < g.panels.size(); k++) {
        const std::string name = folder + "/p" + std::to_string(k);
        writeBytes(name, g.panels[k]);
        panels.push_back(PanelMovie{open(name.c_str(), O_RDONLY), false});
        if (!inMemory)
            continue;
        MemoryPanel& m = memory[k];
        m.rowBytes = p.tileRowBytes;
        m.frameBytes = p.tileFrameBytes;
        const std::size_t rowBytes = std::size_t(m.rowBytes), frames = g.panels[k].size() / std::size_t(m.frameBytes);
        m.topFirst.resize(frames * std::size_t(m.frameBytes));
        for (std::size_t f = 0; f < frames; f++)
            for (std::size_t r = 0; r < std::size_t(p.ny); r++) {
                const auto from = g.panels[k].begin() + std::ptrdiff_t((f * std::size_t(p.ny) + r) * rowBytes);
                std::copy(from, from + std::ptrdiff_t(rowBytes),
                          m.topFirst.begin() + std::ptrdiff_t((f * std::size_t(p.ny) + std::size_t(p.ny) - 1 - r) * rowBytes));
            }
        panels.back().source = PanelSource{memoryFrame, &m};
    }
    FrameBuffers buffers;
    EXPECT_TRUE(allocateFrameBuffers(planFrameBuffers(p, bandRows), &buffers));
    Streamed s{{}, StreamResult{streamGoesOn, 0, 0}, 0};
    for (; s.framesDone < g.nf; s.framesDone++) {
        s.last = streamFrame(p, panels.data(), s.framesDone, &buffers, RowSink{appendRows, &s.movie});
        if (s.last.status != streamGoesOn)
            break;
    }
    freeFrameBuffers(&buffers);
    for (const PanelMovie& panel : panels)
        close(int(panel.file));
    return s;
}

struct StreamCase {
    int ntx, nty, nx, ny, nBlend;
    std::int32_t bandRows;
    const char* what;
};

TEST(FrameStream, MatchesThePerPixelModelWhereverBandsAndBlocksMeet)
{
    const StreamCase cases[] = {
        {2, 2, 5, 3, 1, 0, "nBlend 1, narrow rows copied through the staging buffer"},
        {2, 2, 100, 6, 1, 4, "nBlend 1, rows scattered, bands cut inside panel rows"},
        {3, 2, 100, 7, 2, 3, "blocks straddle panel rows; a band of 3 takes one block"},
        {1, 3, 7, 5, 3, 4, "one panel across, read in one piece; blocks straddle panel rows"},
        {2, 3, 90, 11, 4, 2, "blocks higher than a band: every row through the column sums"},
        {2, 3, 6, 3, 7, 0, "nBlend above a panel's height: blocks span three panel rows"},
        {4, 1, 300, 2, 2, 1, "a band of one row"},
        {2, 2, 64, 9, 3, 0, "the run's own band; nBlend 3 with its kernel"},
        {3, 1, 40, 40, 17, 5, "wide sums across bands, rows and columns dropped"},
        {1, 1, 40, 40, 17, 0, "nBlend 17 from a band, the rows above the last block dropped"},
        {2, 1, 3, 40, 7, 0, "no output columns: every byte read, nothing written"},
        {2, 2, 100, 6, 2, 5, "a band of 5 at nBlend 2: pieces of 4 rows"},
        {5, 2, 2, 13, 5, 6, "five narrow panels across, blocks straddling bands and panel rows"},
        {1, 2, 3000, 3, 2, 0, "rows of 9000 bytes; the band is one panel row"},
        {2, 2, 1, 1, 2, 0, "panels of one pixel"},
        {2, 2, 86, 4, 6, 3, "rows just wide enough to scatter; nBlend 6 over panel rows"},
    };
    std::mt19937 rng(10);
    for (const StreamCase& c : cases) {
        const MovieGrid g = randomGrid(rng, c.ntx, c.nty, c.nx, c.ny, 2, c.nBlend);
        for (bool inMemory : {false, true}) {
            const Streamed s = stream(g, c.bandRows, inMemory);
            EXPECT_EQ(s.last.status, streamGoesOn) << c.what << (inMemory ? ", in memory" : "");
            EXPECT_TRUE(s.movie == modelMovie(g)) << c.what << (inMemory ? ", in memory" : "");
        }
    }
}

TEST(FrameStream, TruncatesTheMeanPerChannel)
{
    // Channel 0 holds 0, 255, 255, 255 (765 / 4 = 191.25); channel 1 holds 1, 1, 1, 0;
    // channel 2 is 255 everywhere. One row in each of two panels down, a block across both.
    MovieGrid g{1, 2, 2, 1, 1, 2, {{0, 1, 255, 255, 1, 255}, {255, 1, 255, 255, 0, 255}}};
    EXPECT_EQ(stream(g, 0).movie, (Bytes{191, 0, 255}));
}

TEST(FrameStream, NamesThePanelWhoseMovieEnds)
{
    for (int nx : {2, 100})   // through the staging buffer and scattered
        for (bool inMemory : {false, true}) {
            std::mt19937 rng(5);
            MovieGrid g = randomGrid(rng, 2, 2, nx, 3, 2, 1);
            g.panels[3].resize(g.panels[3].size() - 1);   // panel (1, 1) lacks its last byte
            const Streamed s = stream(g, 0, inMemory);
            EXPECT_EQ(s.framesDone, 1) << "nx " << nx << (inMemory ? ", in memory" : "");
            EXPECT_EQ(s.last.status, panelMovieEnded) << "nx " << nx;
            EXPECT_EQ(s.last.panel, 3) << "nx " << nx;
        }
}

TEST(FrameBuffers, NoBufferGrowsWithTheHeightTheFramesOrTheBlendFactor)
{
    // An 8192-pixel-wide mosaic: the same few hundred KB however tall and whatever nBlend.
    const RunParameters low = runParametersOf(4, 1, 2048, 4, 1, 2);
    for (int nBlend : {1, 2, 3, 8, 100, 2901}) {
        const RunParameters tall = runParametersOf(4, 100, 2048, 21474836, 1, nBlend);
        const FrameBufferPlan plan = planFrameBuffers(tall, 0);
        EXPECT_LE(plan.totalBytes, 1024 * 1024) << "nBlend " << nBlend;
        EXPECT_GE(plan.bandRows, 1);
        EXPECT_LE(plan.bandBytes, bandTargetBytes);
    }
    EXPECT_LE(planFrameBuffers(low, 0).totalBytes, 1024 * 1024);
    // One row at least, however wide.
    const FrameBufferPlan widest = planFrameBuffers(runParametersOf(1, 1, 1048576, 5, 1, 2), 0);
    EXPECT_EQ(widest.bandRows, 1);
    EXPECT_EQ(widest.bandBytes, 3 * 1048576);
}

}  // namespace
