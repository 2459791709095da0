// Stops and answers only a POSIX system can make: resource limits, standard output closed or
// full, a full device as the movie, line ends in names, and pipes named for two panels or
// read from standard input after the answer.
#include <gtest/gtest.h>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#include "run/run.h"
#include "testSystem.h"

namespace {

typedef std::vector<std::string> Names;

// Known before frame 0. The limit holds for standard output too: the log stays below it.
TEST(ResourceLimit, AMovieBeyondTheFileSizeLimitStopsBeforeFrameZeroKeepingTheEarlierMovie)
{
    std::mt19937 rng(1);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 400, 2, 3, 1);
    Names args = writeGrid(folder, g);
    writeEarlierMovie(folder);
    const std::map<std::string, Bytes> before = folderContents(folder);
    ChildLimits limits;
    limits.fileSizeBytes = 4000;
    RunOutcome run = runMozaro(folder, args, "yes\n", limits);
    EXPECT_EQ(run.out, runStart(g) + "Output movie B_f0 would be 14400 bytes, more than the limit of 4000 bytes a "
                                     "file may have\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(folderContents(folder), before);
}

// Under an address-space limit the tool starts; a run whose buffers cannot be had says how
// much it needed and creates nothing. (Sanitizers reserve far more address space than any
// such limit allows, so their builds skip this.)
TEST(ResourceLimit, BuffersThatCannotBeHadStopTheRunBeforeAnythingIsCreated)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
#endif
#endif
    std::string folder = makeScratchFolder();
    ChildLimits roomy;
    roomy.addressSpaceBytes = 400000ull << 10;
    RunOutcome version = runMozaro(folder, {"--version"}, "", roomy);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.substr(0, 7), "Mozaro ");

    writeBytes(folder + "/f0", Bytes());
    // A band of one row, column sums for blocks cut by the bands, one output row, the
    // reduction's scratch, and room to align them.
    const long long needed = planFrameBuffers(runParametersOf(1, 1, 1048576, 3, 0, 2), 0).totalBytes;
    ASSERT_GT(needed, 3 * 1048576 + 4 * (3 * 524288 * 2) + 3 * 524288);
    ChildLimits small;
    small.addressSpaceBytes = 16 << 20;
    RunOutcome run = runMozaro(folder, {"1", "1", "1048576", "3", "0", "2", "f0"}, "yes\n", small);
    EXPECT_EQ(run.out, runStart(MovieGrid{1, 1, 1048576, 3, 0, 2, {}}) + "Could not get " + std::to_string(needed) +
                           " bytes of memory for the frame buffers\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(folder), Names({"f0"}));
}

TEST(ResourceLimit, OpenFileLimitIsRaisedAndNamedWhenTooLow)
{
    std::mt19937 rng(12);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 5, 5, 2, 2, 1, 1);
    const Names args = writeGrid(folder, g);
    // A soft limit below 25 panels is raised to the hard one.
    ChildLimits raisable;
    raisable.openFilesSoft = 16;
    raisable.openFilesHard = 64;
    RunOutcome raised = runMozaro(folder, args, "yes\n", raisable);
    EXPECT_EQ(raised.status, 0) << raised.out;
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
    // A hard limit below that stops the run at the file the system refuses.
    ChildLimits tooLow;
    tooLow.openFilesSoft = tooLow.openFilesHard = 20;
    RunOutcome refused = runMozaro(folder, args, "yes\n", tooLow);
    EXPECT_NE(refused.out.find("Could not open input file: f"), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find("\nToo many open files: the 25 panels need as many files open at once\nStopping\n"),
              std::string::npos)
        << refused.out;
    EXPECT_EQ(refused.status, 1);
}

// Each of these once cost an earlier movie or corrupted a new one.
TEST(StandardOutput, ClosedOrFullFailsTheRunButNotTheMovie)
{
    std::mt19937 rng(10);
    for (bool closed : {true, false}) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, 3, 2, 3, 1);
        Names args = writeGrid(folder, g);
        const std::string parent = folder.substr(0, folder.rfind('/'));
        writeText(parent + "/stdin", "yes\n");
        ChildLimits limits;
        limits.closeOutput = closed;
        RunOutcome run = runMozaroWithFiles(folder, args, parent + "/stdin", closed ? parent + "/stdout" : "/dev/full",
                                            limits);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, closed ? "Mozaro: standard output was closed; the run's messages were lost\n"
                                  : "Mozaro: could not write to standard output: No space left on device\n");
        EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
        EXPECT_EQ(readText(folder + "/B_f0.mg"), descriptorOf(folder, "B_f0", g));
    }
}

TEST(BlockedOutput, AFullDeviceStopsWithoutADescriptor)
{
    std::mt19937 rng(6);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 2, 1);
    Names args = writeGrid(folder, g);
    RunOutcome run = runMozaro(folder, args, "/dev/full yes\n");
    EXPECT_EQ(run.out, runStart(g) + questionText("/dev/full") +
                           "Could not write output movie /dev/full: No space left on device\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(fileExists("/dev/full.mg"));
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1"}));
}

// The descriptor is one line: a line end in the movie's path must never reach it.
TEST(BlockedOutput, ACurrentDirectoryHoldingALineEndStopsBeforeAnythingIsCreated)
{
    std::mt19937 rng(14);
    const std::string odd = makeScratchFolder() + "/line\nend";
    ASSERT_EQ(mkdir(odd.c_str(), 0777), 0);
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 1, 1);
    Names args = writeGrid(odd, g);
    RunOutcome run = runMozaro(odd, args, "yes\n");
    EXPECT_EQ(run.out, runStart(g) +
                           "Could not write movie descriptor B_f0.mg: the current directory's name holds a line end\n"
                           "Stopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(odd), Names({"f0"}));
}

TEST(Dialogue, ADefaultNameHoldingALineEndMustBeReplaced)
{
    std::mt19937 rng(14);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 1, 1);
    Names args = writeGrid(folder, g, {"a\nb"});
    RunOutcome run = runMozaro(folder, args, "yes out yes\n");
    EXPECT_EQ(run.out, runStart(g, "B_a\nb", {"a\nb"}) + "That name holds a line end; please give another one\n" +
                           questionText("B_a\nb") + questionText("out") + progressText(1) +
                           "Finished merging and blending movie out\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/out"), modelMovie(g));
}

// Compared before either is opened: a second open of a FIFO whose writer has gone would wait
// for ever. Nobody writes into the FIFO here.
TEST(PipeInput, OneStreamNamedForTwoPanelsIsRefusedBeforeAnythingIsCreated)
{
    std::mt19937 rng(12);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 3, 1);
    ASSERT_EQ(mkfifo((folder + "/f0").c_str(), 0666), 0);
    writeEarlierMovie(folder);
    const std::map<std::string, Bytes> before = folderContents(folder);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "./f0"}), "yes\n");
    EXPECT_EQ(run.out, runStart(g, "B_f0", {"f0", "./f0"}) +
                           "Input movie ./f0 is the same stream as f0; a pipe or device can feed one panel only\n"
                           "Stopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(folderContents(folder), before);
}

// The answer is read from standard input without reading ahead: the panel read from it next
// gets every byte after the answer.
TEST(PipeInput, APanelReadFromStandardInputGetsEveryByteAfterTheAnswer)
{
    std::mt19937 rng(11);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 4, 3, 3, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    const std::string parent = folder.substr(0, folder.rfind('/'));
    const std::string answer = "yes\n";
    Bytes input = g.panels[1];
    input.insert(input.begin(), answer.begin(), answer.end());
    // Held open until the run ends: a second open of standard input, a FIFO, needs a writer.
    PipeFeed feed;
    startPipeFeed(&feed, parent + "/stdinPipe", input, input.size(), input.size());
    RunOutcome run = runMozaroWithFiles(folder, gridArgs(g, {"f0", "/dev/stdin"}), parent + "/stdinPipe",
                                        parent + "/stdout");
    finishPipeFeed(&feed);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
}

}  // namespace
