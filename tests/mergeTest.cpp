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
// proposed name, with `options` before the numbers, and checks what a finished run prints
// and leaves.
void expectMerged(const std::string& folder, const MovieGrid& g, const std::string& what,
                  std::vector<std::string> names = {}, std::vector<std::string> options = {})
{
    names = panelNames(g, names);
    const std::string movie = "B_" + names[0];
    for (const std::string& word : gridArgs(g, names))
        options.push_back(word);
    RunOutcome run = runMozaro(folder, options, "yes\n");
    EXPECT_EQ(run.out, asPrinted(runStart(g, movie, names) + finished(g.nf, movie))) << what;
    EXPECT_EQ(run.status, 0) << what;
    // (A missing movie must fail this row, not end the table.)
    EXPECT_TRUE(fileExists(folder + "/" + movie) && readBytes(folder + "/" + movie) == modelMovie(g)) << what;
    EXPECT_TRUE(fileExists(folder + "/" + movie + ".mg") &&
                readText(folder + "/" + movie + ".mg") == descriptorOf(folder, movie, g))
        << what;
}

Bytes concatenated(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The frames `first`, first + step, ... of every panel of `g`, as a grid of nf frames.
MovieGrid chosenFrames(const MovieGrid& g, int first, int step, int nf)
{
    MovieGrid chosen{g.ntx, g.nty, g.nx, g.ny, nf, g.nBlend, {}};
    const std::size_t frame = std::size_t(3 * g.nx * g.ny);
    for (const Bytes& panel : g.panels) {
        Bytes frames;
        for (int k = 0; k < nf; k++) {
            const auto start = panel.begin() + long(frame * std::size_t(first + k * step));
            frames.insert(frames.end(), start, start + long(frame));
        }
        chosen.panels.push_back(frames);
    }
    return chosen;
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

// Whatever the number of worker threads (more than the frames, too), the same movie and the
// same lines in frame order.
TEST(MergeRun, MatchesThePerPixelModelOverRandomShapesWithAnyNumberOfWorkers)
{
    static const char* const workers[] = {"1", "2", "3", "7"};
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 40; trial++) {
        int ntx = 1 + int(rng() % 4), nty = 1 + int(rng() % 3);
        int nx = 1 + int(rng() % (trial % 4 == 0 ? 130 : 12)), ny = 1 + int(rng() % 9);
        int nf = int(rng() % 4);
        int nBlend = 1 + int(rng() % 7);
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, ntx, nty, nx, ny, nf, nBlend);
        writeGrid(folder, g);
        const char* jobs = workers[trial % 4];
        expectMerged(folder, g, "trial " + std::to_string(trial) + ": " + shapeOf(g) + ", -j " + jobs, {},
                     {"-j", jobs});
    }
}

// The wall as users describe it: gaps of a fill colour or overlaps between neighbours, the
// top row named first, rounded means, in every combination, against the model.
TEST(MergeRun, GapsOverlapsTopFirstAndRoundingMatchThePerPixelModel)
{
    std::mt19937 rng(2027);
    for (int trial = 0; trial < 48; trial++) {
        const int ntx = 1 + int(rng() % 4), nty = 1 + int(rng() % 3);
        const int nx = 1 + int(rng() % (trial % 6 == 0 ? 140 : 9)), ny = 1 + int(rng() % 8);
        MovieGrid g = randomGrid(rng, ntx, nty, nx, ny, 1 + int(rng() % 3), 1 + int(rng() % 5));
        std::vector<std::string> options = {"-o", "wall", "-j", trial % 3 == 0 ? "1" : "2"};
        const int seams = trial % 3;   // none, gaps, overlaps
        if (seams == 1) {
            g.gapX = int(rng() % 5);
            g.gapY = trial % 2 == 0 ? g.gapX : int(rng() % 70);
            for (unsigned char& c : g.fill)
                c = (unsigned char)(rng() % 256);
            char colour[7];
            std::snprintf(colour, sizeof colour, "%02x%02X%02x", g.fill[0], g.fill[1], g.fill[2]);
            options.insert(options.end(), {"--gap", trial % 2 == 0 ? std::to_string(g.gapX)
                                                                   : std::to_string(g.gapX) + "," + std::to_string(g.gapY),
                                           "--fill", colour});
        } else if (seams == 2) {
            g.overlapX = int(rng() % std::size_t(nx));
            g.overlapY = int(rng() % std::size_t(ny));
            options.insert(options.end(), {"--overlap", std::to_string(g.overlapX) + "," + std::to_string(g.overlapY)});
        }
        g.round = rng() % 2 == 0;
        if (g.round)
            options.push_back("--round");
        const bool topFirst = rng() % 2 == 0;
        std::vector<std::string> names = panelNames(g);
        std::vector<std::string> named = names;
        if (topFirst) {
            options.push_back("--top-first");
            for (int k = 0; k < ntx * nty; k++)
                named[std::size_t(k)] = names[std::size_t((nty - 1 - k / ntx) * ntx + k % ntx)];
        }
        std::string folder = makeScratchFolder();
        writeGrid(folder, g, names);
        for (const std::string& word : gridArgs(g, named))
            options.push_back(word);
        const std::string what = "trial " + std::to_string(trial) + ": " + shapeOf(g);
        RunOutcome run = runMozaro(folder, options, "");
        EXPECT_EQ(run.out, asPrinted(layoutText(g, names) + "Name of merged and blended movie will be: wall\n" +
                                     finished(g.nf, "wall")))
            << what;
        EXPECT_TRUE(fileExists(folder + "/wall") && readBytes(folder + "/wall") == modelMovie(g)) << what;
        EXPECT_TRUE(fileExists(folder + "/wall.mg") && readText(folder + "/wall.mg") == descriptorOf(folder, "wall", g))
            << what;
        removeScratchFolder(folder);
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
        // Wide panels with gap columns and rows between them and overlaps copied without their
        // shared columns, at nBlend 2 and 3, across bands.
        {3, 2, 3840, 20, 1, 2, {}, 200, 31, 0, 0, {1, 2, 3}, false},
        {3, 2, 2000, 30, 1, 3, {}, 0, 0, 121, 7, {0, 0, 0}, true},
    };
    std::mt19937 rng(7);
    for (const MovieGrid& shape : shapes) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, shape.ntx, shape.nty, shape.nx, shape.ny, shape.nf, shape.nBlend);
        g.gapX = shape.gapX, g.gapY = shape.gapY, g.overlapX = shape.overlapX, g.overlapY = shape.overlapY;
        std::copy(shape.fill, shape.fill + 3, g.fill);
        g.round = shape.round;
        writeGrid(folder, g);
        std::vector<std::string> options = {"-j", "2"};
        if (g.gapX > 0)
            options.insert(options.end(), {"--gap", std::to_string(g.gapX) + "," + std::to_string(g.gapY), "--fill", "010203"});
        if (g.overlapX > 0)
            options.insert(options.end(), {"--overlap", std::to_string(g.overlapX) + "," + std::to_string(g.overlapY)});
        if (g.round)
            options.push_back("--round");
        expectMerged(folder, g, shapeOf(g), {}, options);
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
        expectMerged(folder, g, c.what, {}, {"-j", "3"});   // a pipe is read in order, by one thread
        finishPipeFeed(&feed);
        EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"B_f0", "B_f0.mg", "f0", "f1"})) << c.what;
    }
}

// The frames FIRST, FIRST + S, ... of every panel, from files read at their offsets and from
// a pipe read throughout; a range past a file's end is refused before anything is made.
TEST(FrameRange, MergesTheFramesAskedForFromFilesAndPipes)
{
    struct RangeCase {
        const char* what;
        int held;             // whole frames in every panel movie
        int first, step, nf;
        const char* jobs;
        bool pipe;            // panel f1 is a FIFO
        bool cutShort;        // f1 ends with part of a frame more
        std::string stop;     // the stop, "" for a merge
    };
    const RangeCase cases[] = {
        {"every third frame from frame 2, two workers", 10, 2, 3, 3, "2", false, false, ""},
        {"a range that ends at the last frame", 10, 7, 1, 3, "3", false, false, ""},
        {"one frame past the end", 10, 8, 1, 3, "2", false, false,
         "Input movie f0 holds only 10 whole frames of the 11 needed\nStopping\n"},
        {"a first frame past the end", 10, 10, 5, 1, "1", false, false,
         "Input movie f0 holds only 10 whole frames of the 11 needed\nStopping\n"},
        {"a pipe, the frames not taken read and dropped", 6, 1, 2, 3, "3", true, false, ""},
        {"no frames from frame 4", 5, 4, 2, 0, "2", false, false, ""},
        {"a last frame cut short, with --drop-partial-frame", 4, 0, 1, 4, "2", false, true, ""},
    };
    std::mt19937 rng(31);
    for (const RangeCase& c : cases) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, 5, 4, c.held, 2);
        writeBytes(folder + "/f0", g.panels[0]);
        PipeFeed feed;
        if (c.pipe)
            startPipeFeed(&feed, folder + "/f1", g.panels[1], 4096);
        else
            writeBytes(folder + "/f1", c.cutShort ? concatenated(g.panels[1], Bytes(7, 1)) : g.panels[1]);
        // (A range past the end has no frames to model: its grid serves for the lines alone.)
        MovieGrid chosen = c.stop.empty() ? chosenFrames(g, c.first, c.step, c.nf)
                                          : MovieGrid{g.ntx, g.nty, g.nx, g.ny, c.nf, g.nBlend, {}};
        std::vector<std::string> args = {"-j", c.jobs, "--start", std::to_string(c.first), "--step",
                                         std::to_string(c.step), "-o", "m"};
        if (c.cutShort)
            args.push_back("--drop-partial-frame");
        for (const std::string& word : gridArgs(chosen, {"f0", "f1"}))
            args.push_back(word);
        RunOutcome run = runMozaro(folder, args, "");
        finishPipeFeed(&feed);
        const std::string start = layoutText(chosen) + "Name of merged and blended movie will be: m\n";
        if (!c.stop.empty()) {
            EXPECT_EQ(run.out, asPrinted(start + c.stop)) << c.what;
            EXPECT_EQ(run.status, 1) << c.what;
            EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"f0", "f1"})) << c.what;
            continue;
        }
        std::string lines;
        for (int k = 0; k < c.nf; k++)
            lines += "Finished Frame: " + std::string(c.first + k * c.step < 10 ? "   " : "  ") +
                     std::to_string(c.first + k * c.step) + "\n";
        EXPECT_EQ(run.out, asPrinted(start + lines + "Finished merging and blending movie m\n")) << c.what;
        EXPECT_EQ(run.status, 0) << c.what;
        EXPECT_TRUE(fileExists(folder + "/m") && readBytes(folder + "/m") == modelMovie(chosen)) << c.what;
        EXPECT_EQ(readText(folder + "/m.mg"), descriptorOf(folder, "m", chosen)) << c.what;
    }
}

// For a merge split over many machines: frames written into one file at their places by
// separate runs, in any order, then put in place by another, as one run would.
TEST(Parts, WrittenApartAndCommittedMakeTheMovieOfOneRun)
{
    std::mt19937 rng(33);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 7, 4, 5, 2);
    writeGrid(folder, g);
    writeEarlierMovie(folder, "m");
    writeBytes(folder + "/.part", Bytes());
    auto run = [&](std::vector<std::string> options, int nf) {
        MovieGrid range = g;
        range.nf = nf;
        for (const std::string& word : gridArgs(range, {"f0", "f1"}))
            options.push_back(word);
        return runMozaro(folder, options, "");
    };
    ASSERT_EQ(run({"--part", ".part", "--at", "0"}, 3).status, 0);
    // Three frames of five: the earlier movie stays, and so does the part.
    const std::map<std::string, Bytes> before = folderContents(folder);
    RunOutcome early = run({"--commit", ".part", "-o", "m"}, 5);
    EXPECT_EQ(early.status, 1);
    EXPECT_NE(early.out.find(asPrinted("Could not create output movie m: .part holds 126 bytes, not the 210 of the "
                                       "whole movie\nStopping\n")),
              std::string::npos)
        << early.out;
    EXPECT_EQ(folderContents(folder), before);
    RunOutcome later = run({"--part", ".part", "--at", "3", "--start", "3"}, 2);
    EXPECT_EQ(later.status, 0) << later.out;
    EXPECT_NE(later.out.find(asPrinted("Finished Frame:    3\nFinished Frame:    4\n"
                                       "Finished merging and blending frames 3 to 4 into part .part from movie frame 3 "
                                       "on\n")),
              std::string::npos)
        << later.out;
    RunOutcome commit = run({"--commit", ".part", "-o", "m"}, 5);
    EXPECT_EQ(commit.status, 0) << commit.out;
    EXPECT_TRUE(fileExists(folder + "/m") && readBytes(folder + "/m") == modelMovie(g));
    EXPECT_EQ(readText(folder + "/m.mg"), descriptorOf(folder, "m", g));
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"f0", "f1", "m", "m.mg"}));
}

}  // namespace
