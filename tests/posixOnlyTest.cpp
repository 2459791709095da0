// Stops and answers only a POSIX system can make: resource limits, standard output closed or
// full, a full device as the movie, line ends in names, and pipes named for two panels or
// read from standard input after the answer.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <thread>
#include <chrono>
#include <cerrno>

#include <cstdio>

#include <regex>

#include <sys/stat.h>
#include <sys/statvfs.h>
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
// The room is the file system's free space as the user may use it (root may use the blocks
// kept back for the administrator), not its size: a movie between the two does not fit. Its
// panel is a sparse file, and --check stops where a run would, before anything is written.
// As root, also as another user, for whom those blocks do not count.
TEST(ResourceLimit, AMovieLargerThanTheFreeSpaceButNotTheFileSystemDoesNotFit)
{
    std::vector<unsigned> users = {0};
    if (geteuid() == 0)
        users.push_back(65534);
    for (unsigned user : users) {
        const bool administrator = geteuid() == 0 && user == 0;
        std::string folder = makeScratchFolder();
        ASSERT_EQ(chmod(folder.substr(0, folder.rfind('/')).c_str(), 0711), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
        struct statvfs fs;
        ASSERT_EQ(statvfs(folder.c_str(), &fs), 0);
        const long long free = (long long)((administrator ? fs.f_bfree : fs.f_bavail) * fs.f_frsize);
        const long long size = (long long)(fs.f_blocks * fs.f_frsize);
        const long long frame = 3 * 1024 * 1024;
        if (size - free < 64 * frame)
            GTEST_SKIP() << "the file system of " << folder << " has too little between its free space and its size";
        ChildLimits limits;
        limits.userId = user;

        // Whose free space --check counts, and about how much there is.
        writeBytes(folder + "/f0", Bytes(std::size_t(frame), 9));
        RunOutcome check = runMozaro(folder, {"--check", "1", "1", "1024", "1024", "1", "1", "f0"}, "", limits);
        std::smatch line;
        ASSERT_TRUE(std::regex_search(check.out, line,
                                      std::regex("\nRoom: [0-9]+ bytes needed, ([0-9]+) bytes free to ([^\n]*)\n")))
            << check.out;
        EXPECT_EQ(line[2].str(), administrator ? "root, the blocks kept back for the administrator included" : "this user");
        long long left = std::stoll(line[1]);
        EXPECT_LT(left > free ? left - free : free - left, (size - free) / 4) << "free: " << free << ", size: " << size;
        EXPECT_EQ(check.status, 0) << check.out;

        // Halfway between: other processes may take or give back some room meanwhile.
        const long long frames = (free + (size - free) / 2) / frame;
        const bool sparse = truncate((folder + "/f0").c_str(), off_t(frames * frame)) == 0;
        if (!sparse)
            GTEST_SKIP() << "the file system of " << folder << " takes no sparse file of " << frames * frame << " bytes";
        RunOutcome run =
            runMozaro(folder, {"--check", "1", "1", "1024", "1024", std::to_string(frames), "1", "f0"}, "", limits);
        std::smatch stop;
        ASSERT_TRUE(std::regex_search(run.out, stop, std::regex("\nNot enough room for output movie B_f0: ([0-9]+) "
                                                                "bytes needed, ([0-9]+) bytes free\nStopping\n$")))
            << run.out;
        const long long needed = std::stoll(stop[1]);
        left = std::stoll(stop[2]);
        EXPECT_GT(needed, frames * frame);   // the descriptor's room too
        EXPECT_LT(needed, frames * frame + 65536);
        EXPECT_LT(left > free ? left - free : free - left, (size - free) / 4) << "free: " << free << ", size: " << size;
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(listFolder(folder), Names({"f0"}));
        removeScratchFolder(folder);
    }
}

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
    const std::size_t named = refused.out.find("Could not open input file: f");
    ASSERT_NE(named, std::string::npos) << refused.out;
    const std::string panel = refused.out.substr(named + 27, refused.out.find('\n', named) - named - 27);
    EXPECT_EQ(refused.out.substr(named), "Could not open input file: " + panel + "\nStopping\n");
    EXPECT_EQ(refused.err, "Mozaro: could not open input file " + panel +
                               ": Too many open files: the 25 panels need as many files open at once\n");
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
    // Declined: nothing but the question to write, and the reason all the same.
    std::string folder = makeScratchFolder();
    writeText(folder + "/../stdin", "no\n");
    RunOutcome declined = runMozaroWithFiles(folder, {"1", "1", "1", "1", "0", "1", "f0"}, folder + "/../stdin",
                                             "/dev/full");
    EXPECT_EQ(declined.status, 1);
    EXPECT_EQ(declined.err, "Mozaro: could not write to standard output: No space left on device\n");
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

// Reads from `fd` until `wanted` has come, the writer has gone, or `seconds` have passed.
std::string readUntil(int fd, const std::string& wanted, int seconds)
{
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char piece[4096];
    while (text.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        const ssize_t n = read(fd, piece, sizeof piece);
        if (n <= 0)
            break;
        text.append(piece, std::size_t(n));
    }
    return text;
}

// A log read through a pipe shows each line when it is printed: frame 0's line arrives while
// the run still waits for the rest of a FIFO panel.
TEST(Messages, EachLineGoesOutWhenItIsPrinted)
{
    std::mt19937 rng(40);
    std::string folder = makeScratchFolder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 2, 1);
    ASSERT_EQ(mkfifo((folder + "/f0").c_str(), 0666), 0);
    int panel = open((folder + "/f0").c_str(), O_RDWR);
    const std::size_t frame = 3 * 4 * 2;
    ASSERT_EQ(write(panel, g.panels[0].data(), frame), ssize_t(frame));
    ASSERT_EQ(mkfifo((parent + "/log").c_str(), 0666), 0);
    writeText(parent + "/stdin", "");
    StartedRun started = startChild(folder, mozaroCommand({"-o", "m", "1", "1", "4", "2", "2", "1", "f0"}),
                                    parent + "/stdin", parent + "/log", parent + "/err", ChildLimits{});
    int log = open((parent + "/log").c_str(), O_RDONLY);   // once the run has opened its end
    const std::string early = readUntil(log, "Finished Frame:    0\n", 20);
    EXPECT_NE(early.find("Finished Frame:    0\n"), std::string::npos) << early;
    ASSERT_EQ(write(panel, g.panels[0].data() + frame, frame), ssize_t(frame));
    close(panel);
    const std::string rest = readUntil(log, "Finished merging and blending movie m\n", 20);
    int status = 0;
    waitpid(started.pid, &status, 0);
    close(log);
    EXPECT_NE((early + rest).find("Finished Frame:    1\nFinished merging and blending movie m\n"), std::string::npos)
        << early + rest;
    EXPECT_EQ(readBytes(folder + "/m"), modelMovie(g));
}

// The progress line: drawn in place where standard error is a terminal and cleared at the
// end, never in a file unless asked for.
TEST(Messages, TheProgressLineIsForATerminal)
{
    std::mt19937 rng(41);
    std::string folder = makeScratchFolder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 3, 1);
    Names args = {"-o", "m"};
    for (const std::string& word : writeGrid(folder, g))
        args.push_back(word);
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const std::string screen = ptsname(terminal);
    writeText(parent + "/stdin", "");
    StartedRun started = startChild(folder, mozaroCommand(args), parent + "/stdin", parent + "/log", screen, ChildLimits{});
    // Read until the child is gone and nobody holds the terminal (then read fails).
    std::string shown;
    char piece[4096];
    for (ssize_t n; (n = read(terminal, piece, sizeof piece)) > 0;)
        shown.append(piece, std::size_t(n));
    close(terminal);
    int status = 0;
    waitpid(started.pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(shown.rfind("\r\033[K0 of 3 frames, 0%, ", 0), 0u) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K") << shown;
    EXPECT_EQ(readText(parent + "/log"), layoutText(g) + "Name of merged and blended movie will be: m\n" +
                                             progressText(3) + "Finished merging and blending movie m\n");

    RunOutcome intoFile = runMozaro(folder, args, "");
    EXPECT_EQ(intoFile.err, "");
    args.insert(args.begin(), "--progress");
    RunOutcome asked = runMozaro(folder, args, "");
    EXPECT_EQ(asked.err.rfind("\r\033[K0 of 3 frames, 0%, ", 0), 0u) << asked.err;
    EXPECT_EQ(asked.err.substr(asked.err.size() - 4), "\r\033[K") << asked.err;
}

}  // namespace
