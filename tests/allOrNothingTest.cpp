// All or nothing where only a POSIX system can show it: signals and kill -9 in the middle of
// a run or of its commit, two runs writing one movie or one FIFO at once, the folder's lock
// held by another process, the clean-up of killed runs' files, other users' folders, links,
// the current directory gone before the end, and the new movie's permissions. (The stops both systems share are in
// stopTest.cpp, and each of them keeps an earlier movie too.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/directories.h"
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
    args.insert(args.begin(), {"-j", "3", "--sync"});   // written in order, by one thread; nothing to sync
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

bool haveStrace()
{
    return runTool(makeScratchFolder(), {"sh", "-c", "strace -f -o /dev/null true"}).status == 0;
}

// strace in front of Mozaro, which strace makes fail at the given calls. (A sanitized build's
// leak check cannot run under a tracer: it is left out there.)
Names traced(const std::string& inject, const Names& args, const std::string& calls = "")
{
    Names command = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null"};
    if (!calls.empty())
        command.insert(command.end(), {"-e", "trace=" + calls});
    command.insert(command.end(), {"-e", "inject=" + inject});
    for (const std::string& word : mozaroCommand(args))
        command.push_back(word);
    return command;
}

// `args` with `movie` named by -o, the grid `g` written into `folder`.
Names namedRun(const std::string& folder, const MovieGrid& g, const std::string& movie)
{
    Names args = {"-o", movie};
    for (const std::string& word : writeGrid(folder, g))
        args.push_back(word);
    return args;
}

// Killed (by strace) at the n-th rename or unlink a run replacing an earlier pair makes: the
// folder holds the earlier pair, the new one, or a commit file; the next run in that folder,
// of another movie, finishes such a commit to the new pair, and leaves no hidden file.
TEST(Commit, AKillAtEveryRenameLeavesAPairTheNextRunCompletes)
{
    if (!haveStrace())
        GTEST_SKIP() << "strace is not installed, or may not trace here";
    std::mt19937 rng(34);
    const MovieGrid g = randomGrid(rng, 2, 1, 4, 2, 3, 1);
    const Bytes newMovie = modelMovie(g);
    for (int n = 1; n <= 7; n++) {
        std::string folder = makeScratchFolder();
        Names args = namedRun(folder, g, "m");
        writeEarlierMovie(folder, "m");
        const std::map<std::string, Bytes> earlier = folderContents(folder);
        const std::string described = descriptorOf(folder, "m", g);
        const std::string calls = "rename,renameat,renameat2,unlink,unlinkat";
        runTool(folder, traced(calls + ":signal=SIGKILL:when=" + std::to_string(n), args, calls));
        std::map<std::string, Bytes> after = folderContents(folder);
        bool commitLeft = false;
        for (const auto& entry : after)
            commitLeft = commitLeft || entry.first.find("-commit-") != std::string::npos;
        const bool newPair = after.count("m.mg") == 1 && after["m"] == newMovie &&
                             readText(folder + "/m.mg") == described;
        const bool earlierPair = after["m"] == earlier.at("m") && after["m.mg"] == earlier.at("m.mg");
        EXPECT_TRUE(earlierPair || newPair || commitLeft) << "killed at the " << n << "th rename or unlink";
        Names other = args;
        other[1] = "other";
        ASSERT_EQ(runMozaro(folder, other, "").status, 0);
        after = folderContents(folder);
        const bool newNow = after["m"] == newMovie && readText(folder + "/m.mg") == described;
        EXPECT_TRUE(newNow || (earlierPair && !commitLeft)) << "after the next run, killed at " << n;
        EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "m", "m.mg", "other", "other.mg"})) << "killed at " << n;
    }
}

// A request to stop while the new movie goes to storage (--sync) keeps the earlier pair; one
// that comes once the renames have begun finds the run finishing, and it says so.
TEST(Commit, AStopBeforeTheFirstRenameKeepsTheEarlierPairAndOneAfterItFinishes)
{
    if (!haveStrace())
        GTEST_SKIP() << "strace is not installed, or may not trace here";
    std::mt19937 rng(35);
    const MovieGrid g = randomGrid(rng, 2, 1, 4, 2, 3, 1);
    struct Stop {
        const char* calls;
        int status;
    };
    for (const Stop& stop : {Stop{"fsync", 128 + SIGINT}, Stop{"rename,renameat,renameat2", 0}}) {
        std::string folder = makeScratchFolder();
        Names args = namedRun(folder, g, "m");
        args.insert(args.begin(), "--sync");
        writeEarlierMovie(folder, "m");
        const std::map<std::string, Bytes> before = folderContents(folder);
        const ToolOutcome run = runTool(folder, traced(std::string(stop.calls) + ":signal=SIGINT:when=1", args));
        EXPECT_EQ(run.status, stop.status) << stop.calls << "\n" << run.out;
        if (stop.status == 0) {
            EXPECT_NE(run.out.find("Finished merging and blending movie m\n"), std::string::npos) << run.out;
            EXPECT_EQ(readBytes(folder + "/m"), modelMovie(g));
            EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "m", "m.mg"}));
        } else {
            EXPECT_EQ(folderContents(folder), before) << stop.calls;
        }
    }
}

// Another process keeps the folder's lock: the run says it waits, goes on when the lock is
// let go, and stops after 10 seconds when it is not.
TEST(FolderLock, IsWaitedForSayingSoButNotForEver)
{
    std::mt19937 rng(36);
    const std::string waiting = "Waiting for .mozaro.lock: another run is putting a movie in place in that folder\n";
    for (int holdMilliseconds : {1500, 11000}) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 2, 1);
        Names args = namedRun(folder, g, "m");
        const std::string lockPath = folder + "/.mozaro.lock";
        int lock = open(lockPath.c_str(), O_RDONLY | O_CREAT, 0644);
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
        std::thread letGo([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMilliseconds));
            unlink(lockPath.c_str());
            close(lock);
        });
        RunOutcome run = runMozaro(folder, args, "");
        letGo.join();
        if (holdMilliseconds < 10000) {
            EXPECT_EQ(run.out, layoutText(g) + "Name of merged and blended movie will be: m\n" + waiting +
                                   progressText(2) + "Finished merging and blending movie m\n");
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(readBytes(folder + "/m"), modelMovie(g));
        } else {
            EXPECT_EQ(run.out, layoutText(g) + "Name of merged and blended movie will be: m\n" + waiting +
                                   "Could not create output movie m: another process has held .mozaro.lock for 10 "
                                   "seconds\nStopping\n");
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(listFolder(folder), Names({"f0"}));
        }
    }
}

// One request to stop ends a run blocked writing into a pipe nobody reads, also after part
// of a piece went in.
TEST(Signals, OneStopsARunWritingIntoAStalledFifo)
{
    std::string folder = makeScratchFolder();
    ASSERT_EQ(mkfifo((folder + "/of").c_str(), 0666), 0);
    int held = open((folder + "/of").c_str(), O_RDWR);   // a reader that never reads
    ASSERT_GE(held, 0);
    StartedRun started = startAnsweredYes(folder, {"-o", "of", "1", "1", "160", "80", "300", "1", "/dev/zero"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto signalled = std::chrono::steady_clock::now();
    kill(started.pid, SIGTERM);
    RunOutcome run = waitForMozaro(started);
    close(held);
    EXPECT_EQ(run.status, 128 + SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(5));
    EXPECT_EQ(listFolder(folder), Names({"of"}));
}

// Two runs writing into one FIFO would mix their frames: the second is refused before it
// writes a byte, at once (let in, it would wait for ever on the full FIFO).
TEST(Signals, ASecondRunIntoTheSameFifoIsRefused)
{
    std::string folder = makeScratchFolder();
    ASSERT_EQ(mkfifo((folder + "/of").c_str(), 0666), 0);
    int held = open((folder + "/of").c_str(), O_RDWR);
    ASSERT_GE(held, 0);
    StartedRun first = startAnsweredYes(folder, {"-o", "of", "1", "1", "160", "80", "3000", "1", "/dev/zero"}, "first");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ChildLimits quick;
    quick.seconds = 10;
    RunOutcome second = runMozaro(folder, {"-o", "of", "1", "1", "160", "80", "2", "1", "/dev/zero"}, "", quick);
    kill(first.pid, SIGTERM);
    waitForMozaro(first);
    close(held);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.out.find("Name of merged and blended movie will be: of\n"
                              "Could not create output movie of: another run of Mozaro is writing into it\nStopping\n"),
              std::string::npos)
        << second.out;
}

// The folder's clean-up: a killed run's temporary file goes, whatever movie it was for, but
// never a file the run reads, however it is named; a tight limit of open files does not
// keep it from its work.
TEST(CleanUp, RemovesKilledRunsFilesButNoInput)
{
    std::mt19937 rng(37);
    const std::string partial = ".mozaro-0123456789abcdef-new-99999-0";   // a killed run's movie, read as a panel
    const std::string other = ".mozaro-fedcba9876543210-new-99998-3";     // another movie's, left by a killed run
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 2, 1);
    writeBytes(folder + "/" + partial, g.panels[0]);
    writeBytes(folder + "/" + other, Bytes(100, 5));
    RunOutcome run = runMozaro(folder, {"-o", "m", "1", "1", "4", "2", "2", "1", partial}, "");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readBytes(folder + "/m"), modelMovie(g));
    EXPECT_EQ(listFolder(folder), Names({partial, "m", "m.mg"}));

    // Four panels and nine files open at most: standard input, output, error, the panels,
    // the lock and one more at a time.
    folder = makeScratchFolder();
    MovieGrid four = randomGrid(rng, 2, 2, 4, 2, 2, 1);
    Names args = namedRun(folder, four, "m");
    writeBytes(folder + "/" + other, Bytes(100, 5));
    ChildLimits tight;
    tight.openFilesSoft = tight.openFilesHard = 9;
    run = runMozaro(folder, args, "", tight);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "f2", "f3", "m", "m.mg"}));
}

// Found before any frame: another user's movie in a folder with the sticky bit cannot be
// replaced. And a folder that may be written but not read (a drop box) takes a movie.
TEST(OtherUsers, StickyAndWriteOnlyFolders)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run Mozaro as another user";
    std::mt19937 rng(38);
    ChildLimits nobody;
    nobody.userId = 65534;
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 2, 1);
    std::string sticky = makeScratchFolder();
    ASSERT_EQ(chmod(parentOf(sticky).c_str(), 0711), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    Names args = namedRun(sticky, g, "m");
    writeEarlierMovie(sticky, "m");   // root's
    chmod((sticky + "/m").c_str(), 0666);
    chmod((sticky + "/m.mg").c_str(), 0666);
    const std::map<std::string, Bytes> before = folderContents(sticky);
    RunOutcome refused = runMozaro(sticky, args, "", nobody);
    EXPECT_EQ(refused.out, layoutText(g) + "Name of merged and blended movie will be: m\n"
                                           "Could not create output movie m: Operation not permitted\nStopping\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(folderContents(sticky), before);

    std::string dropBox = makeScratchFolder();
    ASSERT_EQ(chmod(parentOf(dropBox).c_str(), 0711), 0);
    writeBytes(parentOf(dropBox) + "/f0", g.panels[0]);
    ASSERT_EQ(chown(dropBox.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dropBox.c_str(), 0300), 0);
    RunOutcome dropped = runMozaro(dropBox, {"-o", "m", "1", "1", "4", "2", "2", "1", "../f0"}, "", nobody);
    EXPECT_EQ(dropped.status, 0) << dropped.out;
    ASSERT_EQ(chmod(dropBox.c_str(), 0700), 0);
    EXPECT_EQ(readBytes(dropBox + "/m"), modelMovie(g));
    EXPECT_EQ(listFolder(dropBox), Names({"m", "m.mg"}));
}

// A symbolic link as the movie is written where it leads, also where that file is yet to be;
// its folder must be there.
TEST(AllOrNothing, ADanglingLinkAsTheMovieIsWrittenWhereItLeads)
{
    std::mt19937 rng(39);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 2, 1);
    Names args = namedRun(folder, g, "link");
    ASSERT_EQ(symlink("sub/target", (folder + "/link").c_str()), 0);
    RunOutcome noFolder = runMozaro(folder, args, "");
    EXPECT_NE(noFolder.out.find("Could not create output movie link: No such file or directory\nStopping\n"),
              std::string::npos)
        << noFolder.out;
    ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0777), 0);
    RunOutcome run = runMozaro(folder, args, "");
    EXPECT_EQ(run.status, 0) << run.out;
    struct stat st;
    ASSERT_EQ(lstat((folder + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readBytes(folder + "/sub/target"), modelMovie(g));
}

}  // namespace

// ---- A folder others may write: what they plant there is left alone ----

namespace {

std::string commitFileText(const Names& names)
{
    std::string text("mozaro commit", 14);
    for (const std::string& name : names)
        text += name + '\0';
    return text + std::string("end", 4);
}

// A folder of mode 1777 in a parent others may pass through, as /tmp or a group's drop folder.
std::string sharedFolder()
{
    std::string folder = makeScratchFolder();
    if (chmod(parentOf(folder).c_str(), 0711) != 0 || chmod(folder.c_str(), 01777) != 0)
        throw std::runtime_error("cannot open " + folder + " to others");
    return folder;
}

// Commit files another user planted, or this user's own naming files a run never makes: none
// is obeyed, nothing outside the folder changes, and a line names one that names the movie.
TEST(SharedFolder, ACommitFileIsObeyedOnlyWhenItIsTheUsersOwnAndNamesTheRunsOwnFiles)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant files of another user";
    std::mt19937 rng(40);
    struct Planted {
        const char* what;
        uid_t owner;
        bool ofThisMovie;   // under the movie's own hash, in the shape a run gives its files
    };
    for (const Planted& planted : {Planted{"another user's naming files elsewhere", 65534, false},
                                   Planted{"another user's of this movie", 65534, true},
                                   Planted{"this user's own naming files elsewhere", 0, false}}) {
        std::string folder = sharedFolder();
        const std::string elsewhere = parentOf(folder) + "/v";
        ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
        writeText(elsewhere + "/passwd-like", "root's own\n");
        writeText(elsewhere + "/precious", "keep me\n");
        writeText(folder + "/evilpayload", "planted\n");
        MovieGrid g = randomGrid(rng, 1, 1, 4, 4, 2, 1);
        Names args = namedRun(folder, g, "out");
        const std::string hash = planted.ofThisMovie ? hashOfName("out") : "0123456789abcdef";
        const std::string commit = ".mozaro-" + hash + "-commit-1-0";
        const std::string temporary = ".mozaro-" + hash + "-new-1-0";
        writeBytes(folder + "/" + temporary, Bytes(48, 9));
        const Names names = planted.ofThisMovie
                                ? Names{folder + "/out", folder + "/out.mg", folder + "/" + temporary,
                                        folder + "/.mozaro-" + hash + "-mg-1-0", "", folder + "/.mozaro-" + hash + "-oldmg-1-0"}
                                : Names{elsewhere + "/passwd-like", elsewhere + "/passwd-like.mg", folder + "/evilpayload",
                                        "/x.mg", elsewhere + "/precious", "/x"};
        const std::string text = commitFileText(names);
        writeBytes(folder + "/" + commit, Bytes(text.begin(), text.end()));
        for (const std::string& name : {commit, temporary, std::string("evilpayload")})
            ASSERT_EQ(lchown((folder + "/" + name).c_str(), planted.owner, planted.owner), 0);
        const std::map<std::string, Bytes> outside = folderContents(elsewhere);

        RunOutcome run = runMozaro(folder, args, "");
        EXPECT_EQ(run.status, 0) << planted.what << "\n" << run.out;
        const std::string told = "Leaving " + commit + " alone: it names this movie but is not a commit this user's runs made\n";
        EXPECT_EQ(run.out.find(told) != std::string::npos, planted.ofThisMovie) << planted.what << "\n" << run.out;
        EXPECT_EQ(folderContents(elsewhere), outside) << planted.what;
        EXPECT_EQ(readBytes(folder + "/out"), modelMovie(g)) << planted.what;
        EXPECT_TRUE(fileExists(folder + "/" + commit) && fileExists(folder + "/evilpayload")) << planted.what;
        // Another user's leftovers stay theirs; a run removes only its own user's.
        EXPECT_EQ(fileExists(folder + "/" + temporary), planted.owner != 0) << planted.what;
    }
}

// At the lock's name or a commit file's: a FIFO, a link, a file the user may not open. A run
// never waits on it for ever nor follows it: it says what is in the way and whose it is, or,
// for a commit file, passes it by.
TEST(SharedFolder, WhatStandsAtTheLocksNameStopsTheRunAtOnceSayingWhose)
{
    std::mt19937 rng(41);
    struct InTheWay {
        const char* what;
        const char* kind;   // "fifo", "link", "closed" (mode 000, the run as another user), "commit fifo"
        const char* said;   // what the line says of it; "" where the run goes on
    };
    for (const InTheWay& row : {InTheWay{"a FIFO as the lock", "fifo", "a FIFO, pipe or device of user root"},
                                InTheWay{"a link as the lock", "link", "a symbolic link of user root"},
                                InTheWay{"a lock file of mode 000", "closed", "a file of user root that this user may not open"},
                                InTheWay{"a FIFO as a commit file", "commit fifo", ""}}) {
        const std::string kind = row.kind;
        ChildLimits limits;
        if (kind == "closed") {
            if (geteuid() != 0)
                continue;   // shown where the tests may run Mozaro as another user
            limits.userId = 65534;
        }
        std::string folder = sharedFolder();
        MovieGrid g = randomGrid(rng, 1, 1, 4, 4, 2, 1);
        Names args = namedRun(folder, g, "m");
        writeText(folder + "/victim", "left alone\n");
        const std::string lock = folder + "/.mozaro.lock";
        if (kind == "fifo") {
            ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0);
        } else if (kind == "link") {
            ASSERT_EQ(symlink("victim", lock.c_str()), 0);
        } else if (kind == "closed") {
            writeText(lock, "");
            ASSERT_EQ(chmod(lock.c_str(), 0), 0);
        } else {
            ASSERT_EQ(mkfifo((folder + "/.mozaro-" + hashOfName("m") + "-commit-7-0").c_str(), 0666), 0);
        }
        const std::map<std::string, Bytes> before = folderContents(folder);
        writeText(parentOf(folder) + "/stdin", "");
        RunOutcome run = waitForChild(startMozaro(folder, args, parentOf(folder) + "/stdin", parentOf(folder) + "/stdout", limits), 20);
        if (*row.said == '\0') {
            EXPECT_EQ(run.status, 0) << row.what << "\n" << run.out;
            EXPECT_EQ(readBytes(folder + "/m"), modelMovie(g)) << row.what;
            continue;
        }
        EXPECT_EQ(run.out, layoutText(g) + "Name of merged and blended movie will be: m\nCould not create output movie m: "
                                           ".mozaro.lock is in the way (" + row.said +
                               "), not a lock file a run can take\nStopping\n")
            << row.what;
        EXPECT_EQ(run.status, 1) << row.what;
        EXPECT_EQ(folderContents(folder), before) << row.what;
    }
}

// Another user's link under the movie's name could lead to any file or device this user may
// write: it is not followed, and nothing changes; the user's own link is (see above).
TEST(SharedFolder, AnotherUsersLinkAsTheMovieIsNotFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant a link of another user";
    std::mt19937 rng(45);
    std::string folder = sharedFolder();
    writeText(parentOf(folder) + "/precious", "keep me\n");
    ASSERT_EQ(symlink("../precious", (folder + "/out").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (folder + "/device").c_str()), 0);
    for (const char* link : {"out", "device"})
        ASSERT_EQ(lchown((folder + "/" + link).c_str(), 65534, 65534), 0);
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 2, 1);
    const Names grid = writeGrid(folder, g);
    const std::map<std::string, Bytes> before = folderContents(folder);
    for (const std::string link : {"out", "device"}) {
        Names args = {"-o", link};
        args.insert(args.end(), grid.begin(), grid.end());
        RunOutcome run = runMozaro(folder, args, "");
        EXPECT_EQ(run.status, 1) << link;
        EXPECT_NE(run.out.find("Could not create output movie " + link + ": " + link +
                               " is a symbolic link of user nobody, which is not followed\nStopping\n"),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(folderContents(folder), before) << link;
    }
    EXPECT_EQ(readText(parentOf(folder) + "/precious"), "keep me\n");
}

// The folder's lock has one holder at a time, also when a holder removes the lock file as it
// lets go while another has just opened it: the one that then takes the lock of a file no
// longer at the name must not count as a holder beside the one holding the new file.
TEST(FolderLock, HasOneHolderAtATimeWhileHoldersComeAndGo)
{
    const std::string lockPath = makeScratchFolder() + "/.mozaro.lock";
    std::atomic<int> inside{0};
    std::atomic<int> twoAtOnce{0};
    std::atomic<int> taken{0};
    std::vector<std::thread> holders;
    for (int t = 0; t < 4; t++)
        holders.emplace_back([&] {
            for (int k = 0; k < 600; k++) {
                osFile lock = osNoFile;
                int error;
                while ((error = osTryLock(lockPath.c_str(), &lock)) == osLockHeld)
                    std::this_thread::yield();
                if (error != 0) {
                    ADD_FAILURE() << "the lock could not be taken: " << osErrorText(error);
                    return;
                }
                if (inside.fetch_add(1) != 0)
                    twoAtOnce++;
                taken++;
                std::this_thread::yield();
                inside.fetch_sub(1);
                osUnlock(lockPath.c_str(), lock);
            }
        });
    for (std::thread& holder : holders)
        holder.join();
    EXPECT_EQ(taken.load(), 4 * 600);
    EXPECT_EQ(twoAtOnce.load(), 0);
}

// An interrupted flock is made again; a failed one leaves no lock file behind.
TEST(FolderLock, AnInterruptedFlockIsMadeAgainAndAFailedOneLeavesNoLockFile)
{
    if (!haveStrace())
        GTEST_SKIP() << "strace is not installed, or may not trace here";
    std::mt19937 rng(42);
    for (const char* fault : {"EINTR", "EIO"}) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 2, 1);
        Names args = namedRun(folder, g, "m");
        const ToolOutcome run = runTool(folder, traced(std::string("flock:error=") + fault + ":when=1", args, "flock"));
        const bool interrupted = std::string(fault) == "EINTR";
        EXPECT_EQ(run.status, interrupted ? 0 : 1) << fault << "\n" << run.out;
        EXPECT_EQ(listFolder(folder), interrupted ? Names({"f0", "m", "m.mg"}) : Names({"f0"})) << fault;
    }
}

// A movie written through a link into another folder, killed among its renames: its commit
// spans both folders, and a run in either finishes it; no run in one removes the other's
// files of it.
TEST(Commit, AMovieThroughALinkIntoAnotherFolderIsFinishedFromEither)
{
    if (!haveStrace())
        GTEST_SKIP() << "strace is not installed, or may not trace here";
    std::mt19937 rng(43);
    const MovieGrid g = randomGrid(rng, 2, 1, 4, 2, 3, 1);
    for (int n = 1; n <= 7; n++) {
        const std::string a = makeScratchFolder();
        const std::string b = parentOf(a) + "/B";
        ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
        Names args = namedRun(a, g, "L");
        ASSERT_EQ(symlink("../B/x", (a + "/L").c_str()), 0);
        writeBytes(b + "/x", Bytes(36, 1));
        writeText(a + "/L.mg", "localhost  earlier/L 4 2 3" + testSystem().lineEnd);
        const std::string calls = "rename,renameat,renameat2,unlink,unlinkat";
        runTool(a, traced(calls + ":signal=SIGKILL:when=" + std::to_string(n), args, calls));
        Names other = args;
        other[1] = "other";
        ASSERT_EQ(runMozaro(a, other, "").status, 0) << "killed at " << n;
        for (std::string& word : other)
            if (word[0] == 'f')
                word = a + "/" + word;
        ASSERT_EQ(runMozaro(b, other, "").status, 0) << "killed at " << n;
        const bool newPair = readBytes(b + "/x") == modelMovie(g) && fileExists(a + "/L.mg") &&
                             readText(a + "/L.mg") == descriptorOf(a, "L", g);
        const bool earlierPair = readBytes(b + "/x") == Bytes(36, 1) && fileExists(a + "/L.mg") &&
                                 readText(a + "/L.mg") == "localhost  earlier/L 4 2 3" + testSystem().lineEnd;
        EXPECT_TRUE(newPair || earlierPair) << "killed at the " << n << "th rename or unlink";
        EXPECT_EQ(listFolder(a), Names({"L", "L.mg", "f0", "f1", "other", "other.mg"})) << "killed at " << n;
        EXPECT_EQ(listFolder(b), Names({"other", "other.mg", "x"})) << "killed at " << n;
    }
}

// --commit and --part never take a panel movie, and --commit never another folder's file nor
// a link: the run stops before anything changes.
TEST(Parts, ACommitOrAPartIsNeverAnInputNorAnotherFoldersFile)
{
    std::mt19937 rng(44);
    struct Refused {
        Names options;
        std::string said;
    };
    const std::string inputCommit = "Could not create output movie m: f0 is one of the panel movies\n";
    for (const Refused& row :
         {Refused{{"--commit", "f0", "-o", "m"}, inputCommit},
          Refused{{"--commit", "other/x", "-o", "m"}, "Could not create output movie m: other/x lies outside the movie's folder\n"},
          Refused{{"--commit", "link", "-o", "m"},
                  "Could not create output movie m: link is a symbolic link of user root, not a file of this user's own\n"},
          Refused{{"--part", "f0", "--at", "0"}, "Could not write part f0: it is one of the panel movies\n"}}) {
        if (geteuid() != 0 && row.options[1] == "link")
            continue;   // the line names the owner
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 1, 1, 4, 4, 2, 2);
        Names args = row.options;
        for (const std::string& word : writeGrid(folder, g))
            args.push_back(word);
        ASSERT_EQ(mkdir((folder + "/other").c_str(), 0755), 0);
        writeBytes(folder + "/other/x", modelMovie(g));
        ASSERT_EQ(symlink("other/x", (folder + "/link").c_str()), 0);
        const std::map<std::string, Bytes> before = folderContents(folder);
        RunOutcome run = runMozaro(folder, args, "");
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find(row.said + "Stopping\n"), std::string::npos) << run.out;
        EXPECT_EQ(folderContents(folder), before) << row.said;
        EXPECT_EQ(readBytes(folder + "/other/x"), modelMovie(g));
    }
}

}  // namespace
