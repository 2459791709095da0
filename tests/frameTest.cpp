#include <gtest/gtest.h>

#include <random>

#include <fcntl.h>
#include <unistd.h>

#include "frames/frames.h"
#include "testSupport.h"

namespace {

TEST(ReduceBlocks, BlendFactorOneHandsBackTheMosaicItself)
{
    RunParameters p = runParametersFor(2, 1, 3, 2, 1);
    Bytes mosaic(std::size_t(3 * 6 * 2), 7);
    Bytes out(mosaic.size(), 0);
    EXPECT_EQ(reduceBlocks(p, mosaic.data(), out.data()), mosaic.data());
}

TEST(ReduceBlocks, TruncatesTheMeanPerChannel)
{
    RunParameters p = runParametersFor(1, 1, 2, 2, 2);
    // Channel 0 holds 0, 255, 255, 255 (765 / 4 = 191.25); channel 1 holds 1, 1, 1, 0;
    // channel 2 is 255 everywhere.
    Bytes mosaic = {0, 1, 255, 255, 1, 255, 255, 1, 255, 255, 0, 255};
    Bytes out(3, 99);
    EXPECT_EQ(reduceBlocks(p, mosaic.data(), out.data()), out.data());
    EXPECT_EQ(out, (Bytes{191, 0, 255}));
}

TEST(ReduceBlocks, IgnoresColumnsAndRowsBeyondWholeBlocks)
{
    // A 5 x 3 mosaic by 2: two output pixels from columns 0 to 3 of rows 0 and 1.
    RunParameters p = runParametersFor(1, 1, 5, 3, 2);
    ASSERT_EQ(p.outWidth, 2);
    ASSERT_EQ(p.outHeight, 1);
    Bytes mosaic(std::size_t(3 * 5 * 3), 250);   // column 4 and row 2 stay at 250
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 4; x++)
            for (int c = 0; c < 3; c++)
                mosaic[std::size_t(3 * (y * 5 + x) + c)] = (unsigned char)(10 * x + y + c);
    Bytes out(9, 77);
    reduceBlocks(p, mosaic.data(), out.data());
    // Pixel 0: x 0..1, y 0..1 -> (0 + 1 + 10 + 11) / 4 + c = 5 + c; pixel 1: (20+21+30+31)/4 = 25.
    EXPECT_EQ(out, (Bytes{5, 6, 7, 25, 26, 27, 77, 77, 77}));
}

TEST(ReduceBlocks, StoresNothingWhenTheOutputIsEmpty)
{
    RunParameters p = runParametersFor(2, 1, 3, 40, 7);
    ASSERT_EQ(p.outWidth, 0);
    Bytes mosaic(std::size_t(3 * 6 * 40), 200);
    Bytes out(16, 42);
    reduceBlocks(p, mosaic.data(), out.data());
    EXPECT_EQ(out, Bytes(16, 42));
}

TEST(ReduceBlocks, MatchesThePerPixelModel)
{
    std::mt19937 rng(11);
    for (int trial = 0; trial < 60; trial++) {
        MovieGrid g{1 + int(rng() % 3), 1 + int(rng() % 3), 1 + int(rng() % 17), 1 + int(rng() % 13), 1, 0, {}};
        g.nBlend = 1 + int(rng() % 9);
        for (int k = 0; k < g.ntx * g.nty; k++)
            g.panels.push_back(randomBytes(std::size_t(3 * g.nx * g.ny), rng));
        RunParameters p = runParametersFor(g.ntx, g.nty, g.nx, g.ny, g.nBlend);
        // Stitch by coordinates, independently of assembleMosaic.
        Bytes mosaic(std::size_t(p.mosaicRowBytes) * g.ny * g.nty);
        for (int y = 0; y < g.ny * g.nty; y++)
            for (int x = 0; x < g.nx * g.ntx; x++)
                for (int c = 0; c < 3; c++)
                    mosaic[std::size_t(3 * (y * g.nx * g.ntx + x) + c)] =
                        g.panels[std::size_t((y / g.ny) * g.ntx + x / g.nx)]
                                [std::size_t(3 * ((y % g.ny) * g.nx + x % g.nx) + c)];
        Bytes out(std::size_t(p.outFrameBytes) + 1, 0);
        const unsigned char* frame = reduceBlocks(p, mosaic.data(), out.data());
        Bytes result(frame, frame + p.outFrameBytes);
        EXPECT_EQ(result, modelMovie(g)) << "trial " << trial;
    }
}

// Panel files for one frame each, opened for reading, in a table shaped like panelFiles.
struct OpenPanels {
    osFile files[maxPanelsDown][maxPanelsAcross];
    OpenPanels(const std::string& folder, const MovieGrid& g)
    {
        for (int i = 0; i < g.nty; i++)
            for (int j = 0; j < g.ntx; j++) {
                std::string name = folder + "/p" + std::to_string(i) + std::to_string(j);
                writeBytes(name, g.panels[std::size_t(i * g.ntx + j)]);
                files[i][j] = open(name.c_str(), O_RDONLY);
            }
    }
};

Bytes assembled(const MovieGrid& g, AssemblyStatus expected = mosaicAssembled)
{
    RunParameters p = runParametersFor(g.ntx, g.nty, g.nx, g.ny, 1);
    std::string folder = makeScratchFolder();
    OpenPanels panels(folder, g);
    Bytes tile(std::size_t(p.tileFrameBytes));
    Bytes mosaic(std::size_t(p.mosaicRowBytes) * g.ny * g.nty);
    AssemblyResult result = assembleMosaic(p, panels.files, tile.data(), mosaic.data());
    EXPECT_EQ(result.status, expected);
    for (int i = 0; i < g.nty; i++)
        for (int j = 0; j < g.ntx; j++)
            close(int(panels.files[i][j]));
    return mosaic;
}

TEST(AssembleMosaic, PlacesPanelsSideBySideAndBottomRowFirst)
{
    MovieGrid across{2, 1, 2, 1, 1, 1, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}};
    EXPECT_EQ(assembled(across), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

    MovieGrid down{1, 2, 1, 2, 1, 1, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}};
    EXPECT_EQ(assembled(down), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

    // Three panels of 4 pixels across: row r of panel (i, 2) starts 24 bytes into a 36-byte row.
    MovieGrid three{3, 2, 4, 2, 1, 1, {}};
    for (int k = 0; k < 6; k++)
        three.panels.push_back(Bytes(24, (unsigned char)(k + 1)));
    three.panels[5][12] = 99;   // row 1 of panel (1, 2)
    Bytes mosaic = assembled(three);
    EXPECT_EQ(mosaic[std::size_t((1 * 2 + 1) * 36 + 24)], 99);
    EXPECT_EQ(mosaic[std::size_t((1 * 2 + 0) * 36 + 24)], 6);
    EXPECT_EQ(mosaic[std::size_t(0 * 36 + 12)], 2);
}

TEST(AssembleMosaic, EveryReadPathMatchesTheCoordinateModel)
{
    // Narrow rows go through the tile buffer, wide rows are scattered (more rows than one
    // scatter request takes), one panel across is read in one piece.
    const int shapes[][4] = {{3, 2, 5, 3}, {2, 2, 90, 1100}, {1, 3, 7, 5}, {4, 1, 300, 2}};
    std::mt19937 rng(5);
    for (const auto& s : shapes) {
        MovieGrid g{s[0], s[1], s[2], s[3], 1, 1, {}};
        for (int k = 0; k < g.ntx * g.nty; k++)
            g.panels.push_back(randomBytes(std::size_t(3 * g.nx * g.ny), rng));
        EXPECT_EQ(assembled(g), modelMovie(g)) << g.ntx << "x" << g.nty << " of " << g.nx << "x" << g.ny;
    }
}

TEST(AssembleMosaic, ReportsThePanelWhoseMovieEnds)
{
    for (int nx : {2, 100}) {   // through the tile buffer and scattered
        RunParameters p = runParametersFor(2, 2, nx, 3, 1);
        std::string folder = makeScratchFolder();
        MovieGrid g{2, 2, nx, 3, 1, 1, {}};
        for (int k = 0; k < 4; k++)
            g.panels.push_back(Bytes(std::size_t(p.tileFrameBytes), 1));
        g.panels[3].resize(g.panels[3].size() - 1);   // panel (1, 1) lacks its last byte
        OpenPanels panels(folder, g);
        Bytes tile(std::size_t(p.tileFrameBytes)), mosaic(std::size_t(p.mosaicRowBytes) * 6);
        AssemblyResult result = assembleMosaic(p, panels.files, tile.data(), mosaic.data());
        EXPECT_EQ(result.status, panelMovieEnded);
        EXPECT_EQ(result.panelRow, 1);
        EXPECT_EQ(result.panelColumn, 1);
    }
}

}  // namespace
