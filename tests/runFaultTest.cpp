// Runs that meet broken inputs, blocked outputs and awkward answers: each must say what went
// wrong, exit with the right status and leave exactly the files it should.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testSupport.h"

namespace {

typedef std::vector<std::string> Names;

// Feeds `bytes` into the FIFO at `path` in pieces once the tool has opened it, then closes
// it. With `release`, the feeding stalls after `stallAt` bytes, and the FIFO stays open
// after the last, until `release` is set. Gives up if no reader turns up.
void feedFifo(const std::string& path, Bytes bytes, std::size_t piece, const std::atomic<bool>* release = nullptr,
              std::size_t stallAt = SIZE_MAX)
{
    signal(SIGPIPE, SIG_IGN);   // a reader that stops early must not end the tests
    int fd = -1;
    for (int attempt = 0; attempt < 20000 && fd < 0; attempt++) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd < 0)
        return;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        while (release != nullptr && at >= stallAt && !*release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::size_t n = std::min(piece, bytes.size() - at);
        if (write(fd, bytes.data() + at, n) != ssize_t(n))
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    while (release != nullptr && !*release)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    close(fd);
}

// A folder holding the panels of a 2 x 1 grid of 2 x 2 pixels and an earlier run's movie
// B_f0 and descriptor, which every failed or interrupted run must leave as they were.
struct EarlierRun {
    std::string folder;
    MovieGrid g;
    std::vector<std::string> args;
    EarlierRun(int nf, unsigned randomStart, int nx = 2, int ny = 2) : folder(makeScratchFolder())
    {
        std::mt19937 rng(randomStart);
        g = randomGrid(rng, 2, 1, nx, ny, nf, 1);
        writeBytes(folder + "/f0", g.panels[0]);
        writeBytes(folder + "/f1", g.panels[1]);
        writeBytes(folder + "/B_f0", Bytes(36, 1));
        writeText(folder + "/B_f0.mg", "localhost  " + folder + "/B_f0 4 2 3\n");
        args = gridArgs(g, {"f0", "f1"});
    }
};

// The two panels' start of a run's output up to the question, answered yes.
std::string twoPanelStart(const MovieGrid& g)
{
    return echoText(g.ntx, g.nty, g.nx, g.ny, g.nf, g.nBlend) + "Layout of panels:\n  f0  f1\n" +
           "Resolution of merged and blended movie: " + std::to_string(g.nx * 2 / g.nBlend) + " " +
           std::to_string(g.ny / g.nBlend) + "\n" + questionText("B_f0");
}

struct SurvivalCase {
    const char* what;
    std::function<void(EarlierRun&)> prepare;   // breaks the run's inputs or output
    std::string output;                          // what the run prints after the question
    ChildLimits limits;
    int nx;                                      // panel width: movies larger than the log
};

TEST(AllOrNothing, AStoppedRunLeavesTheEarlierMovieAndDescriptorAsTheyWere)
{
    const std::size_t frame = 12;   // one 2 x 2 panel frame
    const SurvivalCase cases[] = {
        {"an input that is missing", [](EarlierRun& r) { std::remove((r.folder + "/f1").c_str()); },
         "Could not open input file: f1\nNo such file or directory\nStopping\n", ChildLimits{}, 2},
        {"an input that is a directory",
         [](EarlierRun& r) {
             std::remove((r.folder + "/f1").c_str());
             mkdir((r.folder + "/f1").c_str(), 0777);
         },
         "Could not open input file: f1\nIs a directory\nStopping\n", ChildLimits{}, 2},
        {"a regular input holding fewer frames than asked for",
         [&](EarlierRun& r) { writeBytes(r.folder + "/f1", Bytes(r.g.panels[1].begin(), r.g.panels[1].begin() + frame)); },
         "Input movie f1 holds only 1 whole frames of the 3 needed\nStopping\n", ChildLimits{}, 2},
        {"a regular input one byte short of whole frames",
         [&](EarlierRun& r) { writeBytes(r.folder + "/f1", Bytes(r.g.panels[1].begin(), r.g.panels[1].end() - 1)); },
         "Input movie f1 is 35 bytes long, not a whole number of frames of 3*nx*ny = 12 bytes\nStopping\n",
         ChildLimits{}, 2},
        {"a regular input one byte past whole frames",
         [&](EarlierRun& r) {
             Bytes longer = r.g.panels[1];
             longer.push_back(7);
             writeBytes(r.folder + "/f1", longer);
         },
         "Input movie f1 is 37 bytes long, not a whole number of frames of 3*nx*ny = 12 bytes\nStopping\n",
         ChildLimits{}, 2},
        // Known before frame 0. The limit holds for standard output too: the log stays below it.
        {"a movie beyond the file-size limit", [](EarlierRun&) {},
         "Output movie B_f0 would be 14400 bytes, more than the limit of 4000 bytes a file may have\nStopping\n",
         ChildLimits{0, 0, 0, 4000, false}, 400},
    };
    for (const SurvivalCase& c : cases) {
        EarlierRun r(3, 1, c.nx);
        c.prepare(r);
        const std::map<std::string, Bytes> before = folderContents(r.folder);
        RunOutcome run = runMozaro(r.folder, r.args, "yes\n", c.limits);
        EXPECT_EQ(run.out, twoPanelStart(r.g) + c.output) << c.what;
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(folderContents(r.folder), before) << c.what;
    }
}

TEST(AllOrNothing, AFifoThatEndsEarlyLeavesTheEarlierMovie)
{
    EarlierRun r(3, 4);
    const Bytes panel = r.g.panels[1];
    std::remove((r.folder + "/f1").c_str());
    ASSERT_EQ(mkfifo((r.folder + "/f1").c_str(), 0666), 0);
    const std::map<std::string, Bytes> before = folderContents(r.folder);
    std::thread feeder(feedFifo, r.folder + "/f1", Bytes(panel.begin(), panel.begin() + 12 + 5), std::size_t(4),
                       nullptr, SIZE_MAX);
    RunOutcome run = runMozaro(r.folder, r.args, "yes\n");
    feeder.join();
    EXPECT_EQ(run.out, twoPanelStart(r.g) + "Finished Frame:    0\nInput movie f1 ended before frame 1 was complete\n"
                                            "Stopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(folderContents(r.folder), before);
}

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

TEST(AllOrNothing, SignalsWhileAnInputStallsLeaveTheEarlierMovieAndEndByTheSignal)
{
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        EarlierRun r(3, 5);
        const Bytes panel = r.g.panels[1];
        std::remove((r.folder + "/f1").c_str());
        ASSERT_EQ(mkfifo((r.folder + "/f1").c_str(), 0666), 0);
        const std::map<std::string, Bytes> before = folderContents(r.folder);
        std::atomic<bool> release(false);
        // Frame 0 and half a frame more, then the FIFO stalls, open.
        std::thread feeder(feedFifo, r.folder + "/f1", Bytes(panel.begin(), panel.begin() + 18), std::size_t(18),
                           &release, SIZE_MAX);
        const std::string parent = r.folder.substr(0, r.folder.rfind('/'));
        writeText(parent + "/stdin", "yes\n");
        StartedRun started = startMozaro(r.folder, r.args, parent + "/stdin", parent + "/stdout");
        // Frame 0 is written; the tool is waiting for the rest of frame 1.
        EXPECT_NE(temporaryFileHolding(r.folder, 24), "") << signalNumber;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(started.pid, signalNumber);
        RunOutcome run = waitForMozaro(started);
        release = true;
        feeder.join();
        EXPECT_EQ(run.status, 128 + signalNumber);
        // The log ends with the last whole line printed before the signal.
        EXPECT_EQ(run.out, twoPanelStart(r.g) + "Finished Frame:    0\n") << signalNumber;
        EXPECT_EQ(folderContents(r.folder), before) << signalNumber;
    }
}

TEST(AllOrNothing, AKilledRunsTemporaryFileGoesWithTheNextRunWhichReplacesTheEarlierMovie)
{
    EarlierRun r(3, 6);
    const Bytes panel = r.g.panels[1];
    std::remove((r.folder + "/f1").c_str());
    ASSERT_EQ(mkfifo((r.folder + "/f1").c_str(), 0666), 0);
    std::atomic<bool> release(false);
    std::thread feeder(feedFifo, r.folder + "/f1", Bytes(panel.begin(), panel.begin() + 18), std::size_t(18), &release, SIZE_MAX);
    const std::string parent = r.folder.substr(0, r.folder.rfind('/'));
    writeText(parent + "/stdin", "yes\n");
    StartedRun started = startMozaro(r.folder, r.args, parent + "/stdin", parent + "/stdout");
    const std::string left = temporaryFileHolding(r.folder, 24);
    EXPECT_NE(left, "");
    kill(started.pid, SIGKILL);
    EXPECT_EQ(waitForMozaro(started).status, 128 + SIGKILL);
    release = true;
    feeder.join();
    EXPECT_EQ(listFolder(r.folder), Names({left, "B_f0", "B_f0.mg", "f0", "f1"}));

    // The next run replaces the earlier movie and descriptor and leaves no other file.
    std::remove((r.folder + "/f1").c_str());
    writeBytes(r.folder + "/f1", panel);
    RunOutcome run = runMozaro(r.folder, r.args, "yes\n");
    EXPECT_EQ(run.out, twoPanelStart(r.g) + progressText(3) + "Finished merging and blending movie B_f0\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(listFolder(r.folder), Names({"B_f0", "B_f0.mg", "f0", "f1"}));
    EXPECT_EQ(readBytes(r.folder + "/B_f0"), modelMovie(r.g));
    EXPECT_EQ(readText(r.folder + "/B_f0.mg"), "localhost  " + r.folder + "/B_f0 4 2 3\n");
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
    ASSERT_EQ(mkfifo((folder + "/fa").c_str(), 0666), 0);
    const std::size_t frame = 3 * 50 * 4;
    std::atomic<bool> release(false);
    std::thread feeder(feedFifo, folder + "/fa", g.panels[1], frame, &release, 2 * frame);
    const std::string parent = folder.substr(0, folder.rfind('/'));
    writeText(parent + "/stdin", "yes\n");
    StartedRun a = startMozaro(folder, gridArgs(g, {"f0", "fa"}), parent + "/stdin", parent + "/outA");
    // A has two frames out, in its temporary file (or, where a run writes in place, in B_f0).
    for (int wait = 0; wait < 20000; wait++) {
        struct stat st;
        if (temporaryFileHolding(folder, 2 * 2 * frame, 1) != "" ||
            (stat((folder + "/B_f0").c_str(), &st) == 0 && std::size_t(st.st_size) >= 2 * 2 * frame))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    RunOutcome ranB = runMozaro(folder, gridArgs(shorter, {"f0", "fb"}), "yes\n");
    release = true;
    RunOutcome ranA = waitForMozaro(a);
    feeder.join();
    EXPECT_EQ(ranA.status, 0) << ranA.out;
    EXPECT_EQ(ranB.status, 0) << ranB.out;
    EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "fa", "fb"}));
    const std::string descriptor = readText(folder + "/B_f0.mg");
    const bool fromA = descriptor == "localhost  " + folder + "/B_f0 100 4 3\n";
    EXPECT_TRUE(fromA || descriptor == "localhost  " + folder + "/B_f0 100 4 2\n") << descriptor;
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(fromA ? g : shorter));
}

TEST(AllOrNothing, AFifoOutputIsWrittenInPlaceFrameByFrame)
{
    std::mt19937 rng(9);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 2, 30, 6, 4, 3);
    std::vector<std::string> args = writeGrid(folder, g);
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
    EXPECT_EQ(readText(folder + "/out.mg"), "localhost  " + folder + "/out 20 4 4\n");
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "f2", "f3", "out", "out.mg"}));
}

// Found by trying to break the tool: each once cost an earlier movie or corrupted a new one.
TEST(Found, StandardOutputClosedOrFullFailsTheRunButNotTheMovie)
{
    std::mt19937 rng(10);
    for (bool closed : {true, false}) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, 3, 2, 3, 1);
        std::vector<std::string> args = writeGrid(folder, g);
        const std::string parent = folder.substr(0, folder.rfind('/'));
        writeText(parent + "/stdin", "yes\n");
        RunOutcome run = runMozaroWithFiles(folder, args, parent + "/stdin", closed ? parent + "/stdout" : "/dev/full",
                                            ChildLimits{0, 0, 0, 0, closed});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, closed ? "Mozaro: standard output was closed; the run's messages were lost\n"
                                  : "Mozaro: could not write to standard output: No space left on device\n");
        EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
        EXPECT_EQ(readText(folder + "/B_f0.mg"), "localhost  " + folder + "/B_f0 6 2 3\n");
    }
}

TEST(Found, APanelReadFromStandardInputGetsEveryByteAfterTheAnswer)
{
    std::mt19937 rng(11);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 4, 3, 3, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    const std::string parent = folder.substr(0, folder.rfind('/'));
    ASSERT_EQ(mkfifo((parent + "/stdinPipe").c_str(), 0666), 0);
    Bytes input = {'y', 'e', 's', '\n'};
    input.insert(input.end(), g.panels[1].begin(), g.panels[1].end());
    // Opening /dev/stdin, a pipe, waits for a writer: the pipe stays open until the run ends.
    std::atomic<bool> release(false);
    std::thread feeder(feedFifo, parent + "/stdinPipe", input, input.size(), &release, SIZE_MAX);
    RunOutcome run = runMozaroWithFiles(folder, gridArgs(g, {"f0", "/dev/stdin"}), parent + "/stdinPipe",
                                        parent + "/stdout");
    release = true;
    feeder.join();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
}

// Compared before either is opened: a second open of a FIFO whose writer has gone would wait
// for ever. Nobody writes into the FIFO here.
TEST(Found, OneStreamNamedForTwoPanelsIsRefusedBeforeAnythingIsCreated)
{
    EarlierRun r(3, 12);
    std::remove((r.folder + "/f0").c_str());
    ASSERT_EQ(mkfifo((r.folder + "/f0").c_str(), 0666), 0);
    const std::map<std::string, Bytes> before = folderContents(r.folder);
    RunOutcome run = runMozaro(r.folder, gridArgs(r.g, {"f0", "./f0"}), "yes\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Input movie ./f0 is the same stream as f0; a pipe or device can feed one panel only\n"
                           "Stopping\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(folderContents(r.folder), before);
}

TEST(Found, AnAbsoluteMovieNameNeedsNoCurrentDirectory)
{
    std::mt19937 rng(13);
    std::string folder = makeScratchFolder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    MovieGrid g = randomGrid(rng, 2, 1, 3, 2, 2, 1);
    writeBytes(parent + "/f0", g.panels[0]);
    ASSERT_EQ(mkfifo((parent + "/f1").c_str(), 0666), 0);
    std::atomic<bool> release(false);
    std::thread feeder(feedFifo, parent + "/f1", g.panels[1], g.panels[1].size() / 2, &release,
                       g.panels[1].size() / 2);
    writeText(parent + "/stdin", parent + "/out yes\n");
    StartedRun started = startMozaro(folder, gridArgs(g, {parent + "/f0", parent + "/f1"}), parent + "/stdin",
                                     parent + "/stdout");
    EXPECT_NE(temporaryFileHolding(parent, 36), "");
    ASSERT_EQ(rmdir(folder.c_str()), 0);   // the run's current directory goes
    release = true;
    RunOutcome run = waitForMozaro(started);
    feeder.join();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readBytes(parent + "/out"), modelMovie(g));
    EXPECT_EQ(readText(parent + "/out.mg"), "localhost  " + parent + "/out 6 2 2\n");
}

TEST(Found, LineEndsInTheMovieNameOrTheCurrentDirectoryAreRefused)
{
    std::mt19937 rng(14);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 1, 1);
    writeBytes(folder + "/a\nb", g.panels[0]);
    RunOutcome named = runMozaro(folder, gridArgs(g, {"a\nb"}), "yes out yes\n");
    EXPECT_EQ(named.out, echoText(1, 1, 2, 2, 1, 1) + "Layout of panels:\n  a\nb\n" +
                             "Resolution of merged and blended movie: 2 2\n" + questionText("B_a\nb") +
                             "That name holds a line end; please give another one\n" + questionText("B_a\nb") +
                             questionText("out") + progressText(1) + "Finished merging and blending movie out\n");
    EXPECT_EQ(named.status, 0);

    const std::string odd = folder + "/line\nend";
    ASSERT_EQ(mkdir(odd.c_str(), 0777), 0);
    writeBytes(odd + "/f0", g.panels[0]);
    RunOutcome inOdd = runMozaro(odd, gridArgs(g, {"f0"}), "yes\n");
    EXPECT_EQ(inOdd.status, 1);
    EXPECT_NE(inOdd.out.find("Could not write movie descriptor B_f0.mg: the current directory's name holds a line end\n"
                             "Stopping\n"),
              std::string::npos)
        << inOdd.out;
    EXPECT_EQ(listFolder(odd), Names({"f0"}));
}

TEST(InputFault, FifoFedSlowlyInSmallPiecesComesOutExact)
{
    // Narrow panels go through the staging buffer, wide ones are scattered into the band.
    for (int nx : {3, 100}) {
        std::mt19937 rng(3);
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, nx, 4, 3, 2);
        writeBytes(folder + "/f0", g.panels[0]);
        ASSERT_EQ(mkfifo((folder + "/f1").c_str(), 0666), 0);
        std::thread feeder(feedFifo, folder + "/f1", g.panels[1], std::size_t(7), nullptr, SIZE_MAX);
        RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
        feeder.join();
        EXPECT_EQ(run.out, twoPanelStart(g) + progressText(3) + "Finished merging and blending movie B_f0\n");
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "f1"}));
        EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g)) << "nx " << nx;
        EXPECT_EQ(readText(folder + "/B_f0.mg"), "localhost  " + folder + "/B_f0 " + std::to_string(nx) + " 2 3\n");
    }
}

TEST(OutputFault, OutputThatCannotBeCreatedStopsBeforeAnyInputIsOpened)
{
    std::mt19937 rng(5);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 1, 1);
    writeBytes(folder + "/f0", g.panels[0]);   // f1 is missing: its message must not come
    ASSERT_EQ(mkdir((folder + "/dir").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((folder + "/q.mg").c_str(), 0777), 0);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "absent/out yes\n");
    EXPECT_EQ(run.out, twoPanelStart(g) + questionText("absent/out") +
                           "Could not create output movie absent/out: No such file or directory\nStopping\n");
    EXPECT_EQ(run.status, 1);
    run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "dir yes\n");
    EXPECT_EQ(run.out, twoPanelStart(g) + questionText("dir") +
                           "Could not create output movie dir: Is a directory\nStopping\n");
    run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "q yes\n");
    EXPECT_EQ(run.out, twoPanelStart(g) + questionText("q") +
                           "Could not write movie descriptor q.mg: Is a directory\nStopping\n")
        << "a descriptor name held by a directory";
    EXPECT_EQ(listFolder(folder), Names({"dir", "f0", "q.mg"}));
}

TEST(OutputFault, FullDeviceStopsWithoutDescriptor)
{
    std::mt19937 rng(6);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 2, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    writeBytes(folder + "/f1", g.panels[1]);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "/dev/full yes\n");
    EXPECT_EQ(run.out, twoPanelStart(g) + questionText("/dev/full") +
                           "Could not write output movie /dev/full: No space left on device\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(fileExists("/dev/full.mg"));
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1"}));
}

TEST(OutputFault, OutputNamedAsAnInputIsRefusedHoweverItIsSpelt)
{
    std::mt19937 rng(8);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 3, 1, 2, 2, 1, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    writeBytes(folder + "/f1", g.panels[1]);
    writeBytes(folder + "/q.mg", g.panels[2]);
    ASSERT_EQ(symlink("f1", (folder + "/link").c_str()), 0);
    ASSERT_EQ(link((folder + "/f1").c_str(), (folder + "/hard").c_str()), 0);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1", "q.mg"}),
                               "f0 yes ./f0 yes link yes hard yes " + folder + "/f1 yes q yes out yes\n");
    std::string expected = echoText(3, 1, 2, 2, 1, 1) + "Layout of panels:\n  f0  f1  q.mg\n" +
                           "Resolution of merged and blended movie: 6 2\n" + questionText("B_f0");
    for (const std::string& name : Names{"f0", "./f0", "link", "hard", folder + "/f1"})
        expected += questionText(name) + name + " is one of the input movies; please give another name\n" +
                    questionText(name);
    expected += questionText("q") + "q.mg is one of the input movies; please give another name\n" + questionText("q") +
                questionText("out") + "Finished Frame:    0\nFinished merging and blending movie out\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/f0"), g.panels[0]);
    EXPECT_EQ(readBytes(folder + "/f1"), g.panels[1]);
    EXPECT_EQ(readBytes(folder + "/q.mg"), g.panels[2]);
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "hard", "link", "out", "out.mg", "q.mg"}));
    EXPECT_EQ(readBytes(folder + "/out"), modelMovie(g));
}

TEST(Dialogue, NamesLongerThan252BytesAreNeverAccepted)
{
    std::mt19937 rng(9);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 1, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    writeBytes(folder + "/f1", g.panels[1]);
    const std::string longest(252, 'n');
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}),
                               std::string(300, 'y') + "\n" + std::string(253, 'n') + " " + longest + " yes\n");
    const std::string refused = "That name is longer than 252 bytes; please give a shorter one\n";
    EXPECT_EQ(run.out, twoPanelStart(g) + refused + questionText("B_f0") + refused + questionText("B_f0") +
                           questionText(longest) + "Finished Frame:    0\nFinished merging and blending movie " +
                           longest + "\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1", longest, longest + ".mg"}));
}

TEST(Dialogue, DefaultNameFromALongFirstFileMustBeReplaced)
{
    std::string folder = makeScratchFolder();
    const std::string first(251, 'a');
    RunOutcome run = runMozaro(folder, {"1", "1", "1", "1", "0", "1", first}, "yes no\n");
    EXPECT_EQ(run.out, echoText(1, 1, 1, 1, 0, 1) + "Layout of panels:\n  " + first + "\n" +
                           "Resolution of merged and blended movie: 1 1\n" + questionText("B_" + first) +
                           "That name is longer than 252 bytes; please give a shorter one\n" +
                           questionText("B_" + first));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(listFolder(folder).empty());
}

TEST(OutputFault, DescriptorHoldsACurrentDirectoryLongerThan255Bytes)
{
    std::mt19937 rng(10);
    std::string folder = makeScratchFolder() + "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    folder += "/" + std::string(200, 'e');
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 1, 2);
    writeBytes(folder + "/f0", g.panels[0]);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0"}), "yes\n");
    EXPECT_EQ(run.out, echoText(1, 1, 4, 2, 1, 2) + "Layout of panels:\n  f0\n" +
                           "Resolution of merged and blended movie: 2 1\n" + questionText("B_f0") +
                           "Finished Frame:    0\nFinished merging and blending movie B_f0\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0"}));
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
    EXPECT_EQ(readText(folder + "/B_f0.mg"), "localhost  " + folder + "/B_f0 2 1 1\n");
}

TEST(OutputFault, NewMovieGetsReadWriteModeLessTheMask)
{
    std::mt19937 rng(11);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 1, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    mode_t previous = umask(027);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0"}), "yes\n");
    umask(previous);
    EXPECT_EQ(run.status, 0);
    struct stat st;
    ASSERT_EQ(stat((folder + "/B_f0").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
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
    const ChildLimits small{16 << 20, 0, 0, 0, false};
    std::string folder = makeScratchFolder();
    RunOutcome version = runMozaro(folder, {"--version"}, "", ChildLimits{400000ull << 10, 0, 0, 0, false});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.substr(0, 7), "Mozaro ");

    writeBytes(folder + "/f0", Bytes());
    // A band of one row, column sums for blocks cut by the bands, one output row, the
    // reduction's scratch, and room to align them.
    const long long needed = planFrameBuffers(runParametersOf(1, 1, 1048576, 3, 0, 2), 0).totalBytes;
    ASSERT_GT(needed, 3 * 1048576 + 4 * (3 * 524288 * 2) + 3 * 524288);
    RunOutcome run = runMozaro(folder, {"1", "1", "1048576", "3", "0", "2", "f0"}, "yes\n", small);
    EXPECT_EQ(run.out, echoText(1, 1, 1048576, 3, 0, 2) + "Layout of panels:\n  f0\n" +
                           "Resolution of merged and blended movie: 524288 1\n" + questionText("B_f0") +
                           "Could not get " + std::to_string(needed) +
                           " bytes of memory for the frame buffers\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(folder), Names({"f0"}));
}

TEST(ResourceLimit, OpenFileLimitIsRaisedAndNamedWhenTooLow)
{
    std::mt19937 rng(12);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 5, 5, 2, 2, 1, 1);
    const std::vector<std::string> args = writeGrid(folder, g);
    // A soft limit below 25 panels is raised to the hard one.
    RunOutcome raised = runMozaro(folder, args, "yes\n", ChildLimits{0, 16, 64, 0, false});
    EXPECT_EQ(raised.status, 0) << raised.out;
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
    // A hard limit below that stops the run at the file the system refuses.
    RunOutcome refused = runMozaro(folder, args, "yes\n", ChildLimits{0, 20, 20, 0, false});
    EXPECT_NE(refused.out.find("Could not open input file: f"), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find("\nToo many open files: the 25 panels need as many files open at once\nStopping\n"),
              std::string::npos)
        << refused.out;
    EXPECT_EQ(refused.status, 1);
}

}  // namespace
