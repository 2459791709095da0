// Merges by the built tool against the per-pixel model: standard output, the movie byte for
// byte and its descriptor, over random and extreme shapes and panels fed through pipes. Run
// for both systems.
#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

#include "testSystem.h"

namespace {

// Panel bytes thick with line feeds, carriage returns (also as CR LF pairs) and the 0x1A that
// ends text-mode input, so that any line-end translation of a movie changes its bytes.
Bytes lineEndBytes(std::size_t count, std::mt19937& rng)
{
    static const unsigned char awkward[] = {0x1A, 0x0D, 0x0A, 0x0A, 0x0D, 0x00, 0xFF};
    Bytes bytes = randomBytes(count, rng);
    for (std::size_t k = 0; k < count; k++)
        if (k % 3 != 2)
            bytes[k] = awkward[(k + rng() % 2) % sizeof awkward];
    return bytes;
}

MovieGrid lineEndGrid(std::mt19937& rng, int ntx, int nty, int nx, int ny, int nf, int nBlend)
{
    MovieGrid g{ntx, nty, nx, ny, nf, nBlend, {}};
    for (int k = 0; k < ntx * nty; k++)
        g.panels.push_back(lineEndBytes(std::size_t(3 * nx * ny * nf), rng));
    return g;
}

std::string finished(int nf, const std::string& movie)
{
    return progressText(nf) + "Finished merging and blending movie " + movie + "\n";
}

// Merges `g` from panels in `folder` under `names` (f0, f1, ... by default), accepting the
// proposed name, and checks what a finished run prints and leaves.
void expectMerged(const std::string& folder, const MovieGrid& g, const std::string& what,
                  std::vector<std::string> names = {})
{
    names = panelNames(g, names);
    const std::string movie = "B_" + names[0];
    RunOutcome run = runMozaro(folder, gridArgs(g, names), "yes\n");
    EXPECT_EQ(run.out, asPrinted(runStart(g, movie, names) + finished(g.nf, movie))) << what;
    EXPECT_EQ(run.status, 0) << what;
    // (A missing movie must fail this row, not end the table.)
    EXPECT_TRUE(fileExists(folder + "/" + movie) && readBytes(folder + "/" + movie) == modelMovie(g)) << what;
    EXPECT_TRUE(fileExists(folder + "/" + movie + ".mg") &&
                readText(folder + "/" + movie + ".mg") == descriptorOf(folder, movie, g))
        << what;
}

std::string shapeOf(const MovieGrid& g)
{
    return std::to_string(g.ntx) + " x " + std::to_string(g.nty) + " of " + std::to_string(g.nx) + " x " +
           std::to_string(g.ny) + ", " + std::to_string(g.nf) + " frames, nBlend " + std::to_string(g.nBlend);
}

TEST(MergeRun, TypicalTwoByTwoRunReplacesAnEarlierLongerMovieWhole)
{
    std::mt19937 rng(1);
    std::string folder = makeScratchFolder();
    // nBlend 1 carries the panels' awkward bytes into the movie unchanged.
    MovieGrid g = lineEndGrid(rng, 2, 2, 5, 3, 3, 1);
    const std::vector<std::string> names = {"a00", "a01", "a10", "a11"};
    writeGrid(folder, g, names);
    writeBytes(folder + "/B_a00", Bytes(1000, 9));
    writeText(folder + "/B_a00.mg", "localhost  older/B_a00 9 9 9" + testSystem().lineEnd);
    const Bytes expected = modelMovie(g);
    for (const Bytes& awkward : {Bytes{0x0D, 0x0A}, Bytes{0x0A, 0x0A}, Bytes{0x1A}})
        ASSERT_NE(std::search(expected.begin(), expected.end(), awkward.begin(), awkward.end()), expected.end());
    expectMerged(folder, g, "a00 a01 a10 a11", names);
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"B_a00", "B_a00.mg", "a00", "a01", "a10", "a11"}));
}

TEST(MergeRun, MatchesThePerPixelModelOverRandomShapes)
{
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 40; trial++) {
        int ntx = 1 + int(rng() % 4), nty = 1 + int(rng() % 3);
        int nx = 1 + int(rng() % (trial % 4 == 0 ? 130 : 12)), ny = 1 + int(rng() % 9);
        int nf = int(rng() % 4);
        int nBlend = 1 + int(rng() % 7);
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, ntx, nty, nx, ny, nf, nBlend);
        writeGrid(folder, g);
        expectMerged(folder, g, "trial " + std::to_string(trial) + ": " + shapeOf(g));
    }
}

// Shapes that put the frame pipeline's boundaries where random small shapes do not.
TEST(MergeRun, WideGridsAndRowsAndTallPanelsComeOutExact)
{
    const MovieGrid shapes[] = {
        // Rows as wide as two 4K panels (23,040 bytes), which a band holds 17 of: at nBlend 2
        // a piece takes 16, so that no block is cut where the height, a multiple of nBlend,
        // leaves no column sums to carry one. Each panel row goes through three pieces, the
        // last one short, every panel's rows scattered into the band (11,520 bytes each), and
        // output pieces of 22 rows span both panel rows. A 4K height (2160 rows) only
        // repeats the same pieces; an odd one would bring column sums and hide a cut block.
        {2, 2, 3840, 40, 2, 2, {}},
        {12, 1, 50, 7, 2, 3, {}},      // twelve across; a band is the whole panel row
        {1, 1, 20000, 3, 2, 1, {}},    // one panel 20,000 pixels wide, read in one request
        {1, 1, 20000, 3, 2, 2, {}},
        {2, 1, 64, 65536, 1, 2, {}},   // rows too narrow to scatter, copied; 64 bands
        {2, 1, 3, 40, 4, 7, {}},       // no output columns: every frame read, nothing written
    };
    std::mt19937 rng(7);
    for (MovieGrid g : shapes) {
        std::string folder = makeScratchFolder();
        g = randomGrid(rng, g.ntx, g.nty, g.nx, g.ny, g.nf, g.nBlend);
        writeGrid(folder, g);
        expectMerged(folder, g, shapeOf(g));
    }
}

TEST(MergeRun, NamesWithBlanksAndOneFileForTwoPanels)
{
    std::mt19937 rng(2);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 3, 2, 4, 6, 2, 2);
    g.panels[3] = g.panels[0];
    writeGrid(folder, g, {"my panel", "b 1", "c  2", "my panel", "e", "f 5"});
    expectMerged(folder, g, "names with blanks", {"my panel", "b 1", "c  2", "my panel", "e", "f 5"});
}

// The current directory is fetched whole, however long (as long as the system lets a movie's
// path be), for the descriptor.
TEST(MergeRun, DescriptorHoldsACurrentDirectoryLongerThan255Bytes)
{
    std::mt19937 rng(4);
    std::string deep = makeScratchFolder();
    const std::size_t toolPathExtra = testSystem().toolPath(deep).size() - deep.size();
    const std::size_t length = testSystem().longestFolder - toolPathExtra;
    while (length - deep.size() > 201) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0777), 0) << deep;
    }
    deep += "/" + std::string(length - deep.size() - 1, 'e');
    ASSERT_EQ(mkdir(deep.c_str(), 0777), 0) << deep;
    ASSERT_GT(testSystem().toolPath(deep).size(), 255u);
    ASSERT_EQ(testSystem().toolPath(deep).size(), testSystem().longestFolder);
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 1, 2);
    writeGrid(deep, g, {"f"});   // short names keep the movie's path within the system's limit
    expectMerged(deep, g, "in " + deep, {"f"});
    EXPECT_EQ(listFolder(deep), (std::vector<std::string>{"B_f", "B_f.mg", "f"}));
}

// A panel read from a FIFO fed a few bytes at a time: the tool's reads meet a pipe holding
// part of a frame, rows of a panel end in the middle of a read, and the end of the stream
// comes after the last frame.
TEST(PipeInput, FedInSmallPiecesComesOutExact)
{
    struct PipeCase {
        int nx, nBlend;
        const char* what;
    };
    const PipeCase cases[] = {
        {3, 1, "narrow rows, copied through the staging buffer; movie bytes carried unchanged"},
        {100, 2, "wide rows, scattered into the band where the system can"},
    };
    for (const PipeCase& c : cases) {
        std::mt19937 rng(3);
        std::string folder = makeScratchFolder();
        MovieGrid g = lineEndGrid(rng, 2, 1, c.nx, 4, 3, c.nBlend);
        writeBytes(folder + "/f0", g.panels[0]);
        PipeFeed feed;
        startPipeFeed(&feed, folder + "/f1", g.panels[1], 7);
        expectMerged(folder, g, c.what);
        finishPipeFeed(&feed);
        EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"B_f0", "B_f0.mg", "f0", "f1"})) << c.what;
    }
}

}  // namespace
