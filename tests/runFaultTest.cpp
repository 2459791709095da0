// Runs that meet broken inputs, blocked outputs and awkward answers: each must say what went
// wrong, exit with the right status and leave exactly the files it should.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testSupport.h"

namespace {

// Everything a run of two panels f0 f1 side by side prints before the first answer is read.
std::string twoPanelStart(const MovieGrid& g)
{
    return echoText(g.ntx, g.nty, g.nx, g.ny, g.nf, g.nBlend) + "Layout of panels:\n  f0  f1\n" +
           "Resolution of merged and blended movie: " + std::to_string(g.nx * 2 / g.nBlend) + " " +
           std::to_string(g.ny / g.nBlend) + "\n" + questionText("B_f0");
}

typedef std::vector<std::string> Names;

TEST(InputFault, MissingOrDirectoryInputStopsAfterTheOutputWasCreated)
{
    for (bool directory : {false, true}) {
        std::mt19937 rng(1);
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 1, 1);
        writeBytes(folder + "/f0", g.panels[0]);
        if (directory) {
            ASSERT_EQ(mkdir((folder + "/f1").c_str(), 0777), 0);
        }
        RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
        EXPECT_EQ(run.out, twoPanelStart(g) + "Could not open input file: f1\nStopping\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(listFolder(folder), directory ? Names({"B_f0", "f0", "f1"}) : Names({"B_f0", "f0"}));
        EXPECT_TRUE(readBytes(folder + "/B_f0").empty());
    }
}

TEST(InputFault, ShortRegularInputStopsBeforeTheFirstFrame)
{
    std::mt19937 rng(2);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 3, 1);
    // An earlier run's movie and descriptor: once the movie is emptied, its descriptor must
    // not survive to describe it.
    writeBytes(folder + "/B_f0", Bytes(36, 1));
    writeText(folder + "/B_f0.mg", "localhost  " + folder + "/B_f0 4 2 3\n");
    writeBytes(folder + "/f0", g.panels[0]);
    writeBytes(folder + "/f1", Bytes(g.panels[1].begin(), g.panels[1].begin() + 12 + 6));   // 1.5 frames
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
    EXPECT_EQ(run.out, twoPanelStart(g) + "Input movie f1 holds only 1 whole frames of the 3 needed\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(folder), Names({"B_f0", "f0", "f1"}));
    EXPECT_TRUE(readBytes(folder + "/B_f0").empty());
}

// Feeds `bytes` into the FIFO at `path` in small pieces once the tool has opened it, then
// closes it. Gives up if no reader turns up.
void feedFifo(const std::string& path, Bytes bytes, std::size_t piece)
{
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
        std::size_t n = std::min(piece, bytes.size() - at);
        if (write(fd, bytes.data() + at, n) != ssize_t(n))
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(fd);
}

TEST(InputFault, FifoFedSlowlyInSmallPiecesComesOutExact)
{
    // Narrow panels go through the tile buffer, wide ones are scattered into the mosaic.
    for (int nx : {3, 100}) {
        std::mt19937 rng(3);
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, nx, 4, 3, 2);
        writeBytes(folder + "/f0", g.panels[0]);
        ASSERT_EQ(mkfifo((folder + "/f1").c_str(), 0666), 0);
        std::thread feeder(feedFifo, folder + "/f1", g.panels[1], std::size_t(7));
        RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
        feeder.join();
        EXPECT_EQ(run.out, twoPanelStart(g) + "Finished Frame:    0\nFinished Frame:    1\nFinished Frame:    2\n" +
                               "Finished merging and blending movie B_f0\n");
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "f1"}));
        EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g)) << "nx " << nx;
        EXPECT_EQ(readText(folder + "/B_f0.mg"), "localhost  " + folder + "/B_f0 " + std::to_string(nx) + " 2 3\n");
    }
}

TEST(InputFault, FifoThatEndsEarlyNamesTheFrameAndWritesNoDescriptor)
{
    std::mt19937 rng(4);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 100, 2, 3, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    ASSERT_EQ(mkfifo((folder + "/f1").c_str(), 0666), 0);
    const std::size_t frame = 3 * 100 * 2;
    std::thread feeder(feedFifo, folder + "/f1", Bytes(g.panels[1].begin(), g.panels[1].begin() + frame + 250),
                       std::size_t(50));
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
    feeder.join();
    EXPECT_EQ(run.out, twoPanelStart(g) + "Finished Frame:    0\nInput movie f1 ended before frame 1 was complete\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(folder), Names({"B_f0", "f0", "f1"}));
    MovieGrid first = g;
    first.nf = 1;
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(first));
}

TEST(OutputFault, OutputThatCannotBeCreatedStopsBeforeAnyInputIsOpened)
{
    std::mt19937 rng(5);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 1, 1);
    writeBytes(folder + "/f0", g.panels[0]);   // f1 is missing: its message must not come
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "absent/out yes\n");
    EXPECT_EQ(run.out, twoPanelStart(g) + questionText("absent/out") +
                           "Could not create output movie absent/out: No such file or directory\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(folder), Names({"f0"}));
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

TEST(OutputFault, DirectoryInTheWayOfTheDescriptor)
{
    std::mt19937 rng(7);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 2, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    writeBytes(folder + "/f1", g.panels[1]);
    ASSERT_EQ(mkdir((folder + "/B_f0.mg").c_str(), 0777), 0);
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
    EXPECT_EQ(run.out, twoPanelStart(g) +
                           "Finished Frame:    0\nFinished Frame:    1\n"
                           "Finished merging and blending movie B_f0\n"
                           "Could not write movie descriptor B_f0.mg: Is a directory\nStopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "f1"}));
    EXPECT_TRUE(listFolder(folder + "/B_f0.mg").empty());
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
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
    const ChildLimits small{16 << 20, 0, 0, 0};
    std::string folder = makeScratchFolder();
    RunOutcome version = runMozaro(folder, {"--version"}, "", ChildLimits{400000ull << 10, 0, 0, 0});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.substr(0, 7), "Mozaro ");

    writeBytes(folder + "/f0", Bytes());
    // A band of one row, column sums for blocks cut by the bands, one output row, and room
    // to align them.
    const long long needed = 3 * 1048576 + 4 * (3 * 524288 * 2) + 3 * 524288 + 4096;
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
    RunOutcome raised = runMozaro(folder, args, "yes\n", ChildLimits{0, 16, 64, 0});
    EXPECT_EQ(raised.status, 0) << raised.out;
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
    // A hard limit below that stops the run at the file the system refuses.
    RunOutcome refused = runMozaro(folder, args, "yes\n", ChildLimits{0, 20, 20, 0});
    EXPECT_NE(refused.out.find("Could not open input file: f"), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find("\nToo many open files: the 25 panels need as many files open at once\nStopping\n"),
              std::string::npos)
        << refused.out;
    EXPECT_EQ(refused.status, 1);
}

}  // namespace
