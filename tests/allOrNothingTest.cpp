// All or nothing where only a POSIX system can show it: signals and kill -9 in the middle of
// a run, two runs writing one movie at once, a FIFO as the movie, the current directory gone
// before the end, and the new movie's permissions. (The stops both systems share are in
// stopTest.cpp, and each of them keeps an earlier movie too.)
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testSystem.h"

namespace {

typedef std::vector<std::string> Names;

// The temporary file of a run that is writing, found by its prefix, once it holds `bytes`;
// "" when none does within `attempts` milliseconds.
std::string temporaryFileHolding(const std::string& folder, std::size_t bytes, int attempts = 20000)
{
    for (int attempt = 0; attempt < attempts; attempt++) {
        for (const std::string& name : listFolder(folder)) {
            struct stat st;
            if (name.rfind(".mozaro-", 0) == 0 && stat((folder + "/" + name).c_str(), &st) == 0 &&
                std::size_t(st.st_size) >= bytes)
                return name;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return "";
}

std::string parentOf(const std::string& folder)
{
    return folder.substr(0, folder.rfind('/'));
}

StartedRun startAnsweredYes(const std::string& folder, const Names& args, const std::string& output = "stdout")
{
    writeText(parentOf(folder) + "/stdin", "yes\n");
    return startMozaro(folder, args, parentOf(folder) + "/stdin", parentOf(folder) + "/" + output);
}

// A 2 x 1 grid of 2 x 2 pixels, 3 frames, beside an earlier movie, whose panel f1 is a FIFO
// that stalls, open, after frame 0 and half of frame 1: a run of it writes frame 0 and then
// waits inside frame 1.
MovieGrid prepareStallingRun(const std::string& folder, std::mt19937& rng, PipeFeed* feed)
{
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 3, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    writeEarlierMovie(folder);
    startPipeFeed(feed, folder + "/f1", Bytes(g.panels[1].begin(), g.panels[1].begin() + 18), 18, 18);
    return g;
}

TEST(AllOrNothing, SignalsWhileAnInputStallsLeaveTheEarlierMovieAndEndByTheSignal)
{
    std::mt19937 rng(5);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        std::string folder = makeScratchFolder();
        PipeFeed feed;
        MovieGrid g = prepareStallingRun(folder, rng, &feed);
        const std::map<std::string, Bytes> before = folderContents(folder);
        StartedRun started = startAnsweredYes(folder, gridArgs(g, {"f0", "f1"}));
        EXPECT_NE(temporaryFileHolding(folder, 24), "") << signalNumber;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(started.pid, signalNumber);
        RunOutcome run = waitForMozaro(started);
        finishPipeFeed(&feed);
        EXPECT_EQ(run.status, 128 + signalNumber);
        // The log ends with the last whole line printed before the signal.
        EXPECT_EQ(run.out, runStart(g) + progressText(1)) << signalNumber;
        EXPECT_EQ(folderContents(folder), before) << signalNumber;
    }
}

TEST(AllOrNothing, AKilledRunsTemporaryFileGoesWithTheNextRunWhichReplacesTheEarlierMovie)
{
    std::mt19937 rng(6);
    std::string folder = makeScratchFolder();
    PipeFeed feed;
    MovieGrid g = prepareStallingRun(folder, rng, &feed);
    StartedRun started = startAnsweredYes(folder, gridArgs(g, {"f0", "f1"}));
    const std::string left = temporaryFileHolding(folder, 24);
    EXPECT_NE(left, "");
    kill(started.pid, SIGKILL);
    EXPECT_EQ(waitForMozaro(started).status, 128 + SIGKILL);
    finishPipeFeed(&feed);
    EXPECT_EQ(listFolder(folder), Names({left, "B_f0", "B_f0.mg", "f0", "f1"}));

    // The next run replaces the earlier movie and descriptor and leaves no other file.
    std::remove((folder + "/f1").c_str());
    writeBytes(folder + "/f1", g.panels[1]);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
    EXPECT_EQ(run.out, runStart(g) + progressText(3) + "Finished merging and blending movie B_f0\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "f1"}));
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
    EXPECT_EQ(readText(folder + "/B_f0.mg"), descriptorOf(folder, "B_f0", g));
}

TEST(AllOrNothing, TwoRunsOfOneMovieNameLeaveOneRunsMovieAndDescriptor)
{
    // Run A stalls after two of its three frames; run B, of two other frames, runs whole in
    // the meantime; then A goes on. The runs differ in their frame count, so the descriptor
    // in place tells whose movie must be beside it.
    std::mt19937 rng(7);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 50, 4, 3, 1);
    MovieGrid shorter = randomGrid(rng, 2, 1, 50, 4, 2, 1);
    shorter.panels[0] = Bytes(g.panels[0].begin(), g.panels[0].begin() + 2 * 3 * 50 * 4);
    writeBytes(folder + "/f0", g.panels[0]);
    writeBytes(folder + "/fb", shorter.panels[1]);
    const std::size_t frame = 3 * 50 * 4;
    PipeFeed feed;
    startPipeFeed(&feed, folder + "/fa", g.panels[1], frame, 2 * frame);
    StartedRun a = startAnsweredYes(folder, gridArgs(g, {"f0", "fa"}), "outA");
    // A has two frames out, in its temporary file (or, where a run writes in place, in B_f0).
    for (int wait = 0; wait < 20000; wait++) {
        struct stat st;
        if (temporaryFileHolding(folder, 2 * 2 * frame, 1) != "" ||
            (stat((folder + "/B_f0").c_str(), &st) == 0 && std::size_t(st.st_size) >= 2 * 2 * frame))
            break;
    }
    RunOutcome ranB = runMozaro(folder, gridArgs(shorter, {"f0", "fb"}), "yes\n");
    finishPipeFeed(&feed);
    RunOutcome ranA = waitForMozaro(a);
    EXPECT_EQ(ranA.status, 0) << ranA.out;
    EXPECT_EQ(ranB.status, 0) << ranB.out;
    EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "fa", "fb"}));
    const std::string descriptor = readText(folder + "/B_f0.mg");
    const bool fromA = descriptor == descriptorOf(folder, "B_f0", g);
    EXPECT_TRUE(fromA || descriptor == descriptorOf(folder, "B_f0", shorter)) << descriptor;
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(fromA ? g : shorter));
}

TEST(AllOrNothing, AFifoMovieIsWrittenInPlaceFrameByFrame)
{
    std::mt19937 rng(9);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 2, 30, 6, 4, 3);
    Names args = writeGrid(folder, g);
    ASSERT_EQ(mkfifo((folder + "/out").c_str(), 0666), 0);
    Bytes received;
    std::thread reader([&] {
        int fd = open((folder + "/out").c_str(), O_RDONLY);
        unsigned char piece[4096];
        for (ssize_t n; fd >= 0 && (n = read(fd, piece, sizeof piece)) > 0;)
            received.insert(received.end(), piece, piece + n);
        close(fd);
    });
    RunOutcome run = runMozaro(folder, args, "out yes\n");
    reader.join();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(received, modelMovie(g));
    struct stat st;
    ASSERT_EQ(lstat((folder + "/out").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(readText(folder + "/out.mg"), descriptorOf(folder, "out", g));
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "f2", "f3", "out", "out.mg"}));
}

// The movie and its descriptor are put in place by their full paths: the run's current
// directory may go while it runs.
TEST(AllOrNothing, AnAbsoluteMovieNameNeedsNoCurrentDirectory)
{
    std::mt19937 rng(13);
    std::string folder = makeScratchFolder();
    const std::string parent = parentOf(folder);
    MovieGrid g = randomGrid(rng, 2, 1, 3, 2, 2, 1);
    writeBytes(parent + "/f0", g.panels[0]);
    PipeFeed feed;
    const std::size_t frame = g.panels[1].size() / 2;
    startPipeFeed(&feed, parent + "/f1", g.panels[1], frame, frame);
    writeText(parent + "/stdin", parent + "/out yes\n");
    StartedRun started = startMozaro(folder, gridArgs(g, {parent + "/f0", parent + "/f1"}), parent + "/stdin",
                                     parent + "/stdout");
    EXPECT_NE(temporaryFileHolding(parent, 36), "");
    ASSERT_EQ(rmdir(folder.c_str()), 0);   // the run's current directory goes
    finishPipeFeed(&feed);
    RunOutcome run = waitForMozaro(started);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readBytes(parent + "/out"), modelMovie(g));
    EXPECT_EQ(readText(parent + "/out.mg"), "localhost  " + parent + "/out 6 2 2\n");
}

TEST(AllOrNothing, ANewMovieGetsReadWriteLessTheMask)
{
    std::mt19937 rng(11);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 1, 1);
    Names args = writeGrid(folder, g);
    mode_t previous = umask(027);
    RunOutcome run = runMozaro(folder, args, "yes\n");
    umask(previous);
    EXPECT_EQ(run.status, 0);
    struct stat st;
    ASSERT_EQ(stat((folder + "/B_f0").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
