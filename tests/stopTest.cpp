// Runs that stop because an input is broken or the movie cannot be written: each says why,
// exits with 1 and leaves the folder as it was, an earlier movie and descriptor included.
// Run for both systems.
#include <gtest/gtest.h>

#include <cstdio>

#include <sys/stat.h>

#include "testSystem.h"

namespace {

typedef std::vector<std::string> Names;

// A 2 x 1 grid of 2 x 2 pixels, 3 frames, whose panel f1 is broken.
struct BrokenInputCase {
    const char* what;
    enum { missing, folder, file, pipe } f1;
    std::size_t bytes;    // of the panel's movie that f1 holds or that the pipe is fed
    std::string after;    // what the run prints after the question
    std::string error;    // what it says on standard error: the system's words, if any
    Reason TestSystem::*reason = nullptr;   // the system's words in `error`
};

const std::size_t frame = 12;

TEST(BrokenInput, StopsTheRunAndLeavesTheEarlierMovie)
{
    const BrokenInputCase cases[] = {
        // The two lines alone on standard output, as scripts compare them; the reason apart.
        {"an input that is missing", BrokenInputCase::missing, 0, "Could not open input file: f1\nStopping\n",
         "Mozaro: could not open input file f1: <reason>\n", &TestSystem::noSuchFile},
        {"an input that is a folder", BrokenInputCase::folder, 0, "Could not open input file: f1\nStopping\n",
         "Mozaro: could not open input file f1: <reason>\n", &TestSystem::inputIsAFolder},
        {"fewer frames than asked for", BrokenInputCase::file, frame,
         "Input movie f1 holds only 1 whole frames of the 3 needed\nStopping\n", ""},
        {"one byte short of whole frames", BrokenInputCase::file, 3 * frame - 1,
         "Input movie f1 is 35 bytes long, not a whole number of frames of 3*nx*ny = 12 bytes\nStopping\n", ""},
        {"one byte past whole frames", BrokenInputCase::file, 3 * frame + 1,
         "Input movie f1 is 37 bytes long, not a whole number of frames of 3*nx*ny = 12 bytes\nStopping\n", ""},
        // Known only as it is read: two frames are in the temporary file when it ends.
        {"a pipe that ends inside frame 2", BrokenInputCase::pipe, 2 * frame + 5,
         progressText(2) + "Input movie f1 ended before frame 2 was complete\nStopping\n", ""},
    };
    std::mt19937 rng(1);
    for (const BrokenInputCase& c : cases) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 3, 1);
        g.panels[1].push_back(7);   // for the byte past whole frames
        writeBytes(folder + "/f0", g.panels[0]);
        const Bytes f1(g.panels[1].begin(), g.panels[1].begin() + long(c.bytes));
        PipeFeed feed;
        if (c.f1 == BrokenInputCase::folder) {
            ASSERT_EQ(mkdir((folder + "/f1").c_str(), 0777), 0);
        } else if (c.f1 == BrokenInputCase::file)
            writeBytes(folder + "/f1", f1);
        else if (c.f1 == BrokenInputCase::pipe)
            startPipeFeed(&feed, folder + "/f1", f1, 7);
        writeEarlierMovie(folder);
        const std::map<std::string, Bytes> before = folderContents(folder);
        RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
        finishPipeFeed(&feed);
        EXPECT_EQ(run.out, asPrinted(runStart(g) + c.after)) << c.what;
        EXPECT_EQ(run.err, asPrinted(c.error, c.reason ? testSystem().*c.reason : Reason{}, run.err)) << c.what;
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(folderContents(folder), before) << c.what;
    }
}

// A movie named with -o that cannot be written: found before any input is opened (f1 is
// missing, and its message must not come).
struct BlockedOutputCase {
    const char* what;
    std::string movie;
    std::string folderMade;        // a folder in the movie's way, or ""
    std::string message;           // ends in the system's reason
    Reason TestSystem::*reason;
};

TEST(BlockedOutput, StopsBeforeAnyInputIsOpenedAndLeavesTheEarlierMovie)
{
    const BlockedOutputCase cases[] = {
        {"a movie in a folder that does not exist", "absent/out", "",
         "Could not create output movie absent/out: <reason>\n", &TestSystem::noSuchFolder},
        {"a movie that is a folder", "dir", "dir", "Could not create output movie dir: <reason>\n",
         &TestSystem::isAFolder},
        {"a descriptor that is a folder", "q", "q.mg", "Could not write movie descriptor q.mg: <reason>\n",
         &TestSystem::isAFolder},
    };
    std::mt19937 rng(5);
    for (const BlockedOutputCase& c : cases) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 1, 1);
        writeBytes(folder + "/f0", g.panels[0]);
        if (!c.folderMade.empty()) {
            ASSERT_EQ(mkdir((folder + "/" + c.folderMade).c_str(), 0777), 0);
        }
        writeEarlierMovie(folder);
        const std::map<std::string, Bytes> before = folderContents(folder);
        Names args = {"-o", c.movie};
        for (const std::string& word : gridArgs(g, {"f0", "f1"}))
            args.push_back(word);
        RunOutcome run = runMozaro(folder, args, "");
        const Reason& reason = testSystem().*c.reason;
        EXPECT_EQ(run.out, asPrinted(layoutText(g) + "Name of merged and blended movie will be: " + c.movie + "\n" +
                                         c.message + "Stopping\n",
                                     reason, run.out))
            << c.what;
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(folderContents(folder), before) << c.what;
    }
}

// The proposed name goes into the folder of the first file, B_ before its last part: panels
// in another folder give a movie there, not one in a folder that does not exist.
TEST(BlockedOutput, TheProposedNameLiesInTheFirstPanelsFolder)
{
    std::mt19937 rng(43);
    std::string folder = makeScratchFolder();
    ASSERT_EQ(mkdir((folder + "/wall").c_str(), 0777), 0);
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 1, 1);
    writeBytes(folder + "/wall/a00", g.panels[0]);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"wall/a00"}), "yes\n");
    EXPECT_EQ(run.out, asPrinted(runStart(g, "wall/B_a00", {"wall/a00"}) + progressText(1) +
                                 "Finished merging and blending movie wall/B_a00\n"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(listFolder(folder + "/wall"), Names({"B_a00", "B_a00.mg", "a00"}));
}

}  // namespace
