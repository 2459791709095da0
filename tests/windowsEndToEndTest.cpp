// The Windows build, Mozaro.exe, run through a launcher (Wine) from this native test program:
// MOZARO_BINARY names the .exe and MOZARO_LAUNCHER the program that starts it. Standard
// output ends its lines in CR LF, the descriptor names the movie by its drive path, error
// reasons come from the system's message table, and movies pass through byte for byte.
//
// The scratch folders are Unix folders; Wine shows them on drive Z:, so /tmp/x is Z:\tmp\x.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "faultSweep.h"
#include "testSupport.h"

namespace {

typedef std::vector<std::string> Names;

// What the C runtime's text mode makes of a text written with "\n" line ends.
std::string crlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// The folder as the Windows program sees it, through Wine's drive Z: (the Unix root).
std::string windowsPath(const std::string& unixPath)
{
    char resolved[PATH_MAX];
    if (realpath(unixPath.c_str(), resolved) == nullptr)
        throw std::runtime_error("cannot resolve " + unixPath);
    std::string path = std::string("Z:") + resolved;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// The system's reason for a failure, as Wine words it or as Windows does.
struct Reason {
    const char* wine;
    const char* windows;
};
const Reason pathNotFound = {"Path not found.", "The system cannot find the path specified."};
const Reason accessDenied = {"Access denied.", "Access is denied."};

// True when `out` is `before`, one of the wordings of `reason`, then `after`.
bool endsWithReason(const std::string& out, const std::string& before, const Reason& reason, const std::string& after)
{
    return out == before + reason.wine + after || out == before + reason.windows + after;
}

MovieGrid grid(int ntx, int nty, int nx, int ny, int nf, int nBlend)
{
    return MovieGrid{ntx, nty, nx, ny, nf, nBlend, {}};
}

// Panel bytes thick with line feeds, carriage returns (also as CR LF pairs) and the 0x1A that
// ends text-mode input, so any line-end translation of a movie changes its length or bytes.
Bytes lineEndBytes(std::size_t count, std::mt19937& rng)
{
    static const unsigned char awkward[] = {0x1A, 0x0D, 0x0A, 0x0A, 0x0D, 0x00, 0xFF};
    Bytes bytes = randomBytes(count, rng);
    for (std::size_t k = 0; k < count; k++)
        if (k % 3 != 2)
            bytes[k] = awkward[(k + rng() % 2) % sizeof awkward];
    return bytes;
}

// Writes the panels of `g` under `names` (panel order) and returns the command line.
std::vector<std::string> writePanels(const std::string& folder, const MovieGrid& g, const Names& names)
{
    for (std::size_t k = 0; k < g.panels.size(); k++)
        writeBytes(folder + "/" + names[k], g.panels[k]);
    return gridArgs(g, names);
}

void fillRandom(MovieGrid* g, std::mt19937& rng)
{
    for (int k = 0; k < g->ntx * g->nty; k++)
        g->panels.push_back(randomBytes(std::size_t(3 * g->nx * g->ny * g->nf), rng));
}

// Everything printed before the first answer is read, "\n" line ends.
std::string runStart(const MovieGrid& g, const std::string& layout, const std::string& name)
{
    return echoText(g.ntx, g.nty, g.nx, g.ny, g.nf, g.nBlend) + "Layout of panels:\n" + layout +
           "Resolution of merged and blended movie: " + std::to_string(g.nx * g.ntx / g.nBlend) + " " +
           std::to_string(g.ny * g.nty / g.nBlend) + "\n" + questionText(name);
}

std::string descriptorText(const std::string& path, const MovieGrid& g)
{
    return "localhost  " + path + " " + std::to_string(g.nx * g.ntx / g.nBlend) + " " +
           std::to_string(g.ny * g.nty / g.nBlend) + " " + std::to_string(g.nf) + "\r\n";
}

TEST(WindowsConsole, EveryLineEndsInCrLfAndStopsLeaveNothing)
{
    struct StopCase {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        std::string out;
        int status;
    };
    const MovieGrid g = grid(3, 2, 1, 1, 0, 1);
    const std::string declined = runStart(g, "  f3  f4  f5\n  f0  f1  f2\n", "B_f0");
    const StopCase cases[] = {
        {"usageLines", {}, "", usageLines, 1},
        {"declined", gridArgs(g, {"f0", "f1", "f2", "f3", "f4", "f5"}), "nova\r\n", declined, 0},
        {"end of input at the question", gridArgs(g, {"f0", "f1", "f2", "f3", "f4", "f5"}), " \r\n",
         declined + "No answer on standard input\nStopping\n", 1},
    };
    for (const StopCase& c : cases) {
        std::string folder = makeScratchFolder();
        RunOutcome run = runMozaro(folder, c.args, c.input);
        EXPECT_EQ(run.out, crlf(c.out)) << c.what;
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_TRUE(listFolder(folder).empty()) << c.what;
    }
}

TEST(WindowsMerge, LineEndBytesPassThroughAndTheDescriptorEndsInCrLf)
{
    std::mt19937 rng(1);
    std::string folder = makeScratchFolder();
    MovieGrid g = grid(2, 2, 5, 3, 3, 1);
    for (int k = 0; k < 4; k++)
        g.panels.push_back(lineEndBytes(std::size_t(3 * 5 * 3 * 3), rng));
    std::vector<std::string> args = writePanels(folder, g, {"f0", "f1", "f2", "f3"});
    writeBytes(folder + "/B_f0", Bytes(1000, 9));   // an older, longer movie is replaced whole
    writeText(folder + "/B_f0.mg", "localhost  Z:\\older\\B_f0 9 9 9\r\n");
    const Bytes expected = modelMovie(g);
    for (const Bytes& awkward : {Bytes{0x0D, 0x0A}, Bytes{0x0A, 0x0A}, Bytes{0x1A}})
        ASSERT_NE(std::search(expected.begin(), expected.end(), awkward.begin(), awkward.end()), expected.end());
    RunOutcome run = runMozaro(folder, args, "yes\r\n");
    EXPECT_EQ(run.out, crlf(runStart(g, "  f2  f3\n  f0  f1\n", "B_f0") + progressText(3) +
                            "Finished merging and blending movie B_f0\n"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/B_f0"), expected);
    EXPECT_EQ(readText(folder + "/B_f0.mg"), descriptorText(windowsPath(folder) + "\\B_f0", g));
    EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "f1", "f2", "f3"}));
}

TEST(WindowsMerge, NamesWithBlanksAndOneFileForTwoPanels)
{
    std::mt19937 rng(2);
    std::string folder = makeScratchFolder();
    MovieGrid g = grid(3, 2, 4, 6, 2, 2);
    fillRandom(&g, rng);
    g.panels[3] = g.panels[0];
    const Names names = {"my panel", "b 1", "c  2", "my panel", "e", "f 5"};
    std::vector<std::string> args = writePanels(folder, g, names);
    RunOutcome run = runMozaro(folder, args, "yes\n");
    EXPECT_EQ(run.out, crlf(runStart(g, "  my panel  e  f 5\n  my panel  b 1  c  2\n", "B_my panel") +
                            progressText(2) + "Finished merging and blending movie B_my panel\n"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/B_my panel"), modelMovie(g));
    EXPECT_EQ(readText(folder + "/B_my panel.mg"), descriptorText(windowsPath(folder) + "\\B_my panel", g));
}

TEST(WindowsMerge, OutputNamesRelativeDriveAndRooted)
{
    std::string folder = makeScratchFolder();
    ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0777), 0);
    const std::string windowsFolder = windowsPath(folder);
    std::string forward = windowsFolder;
    for (char& c : forward)
        if (c == '\\')
            c = '/';
    struct NameCase {
        std::string answer;       // the name typed at the question
        std::string file;         // where the movie lands, relative to the folder
        std::string described;    // the path the descriptor gives
    };
    const NameCase cases[] = {
        {"sub\\rel", "sub/rel", windowsFolder + "\\sub\\rel"},
        {windowsFolder + "\\sub\\drive", "sub/drive", windowsFolder + "\\sub\\drive"},
        {forward + "/sub/slash", "sub/slash", forward + "/sub/slash"},
        {windowsFolder.substr(2) + "\\sub\\rooted", "sub/rooted", windowsFolder.substr(2) + "\\sub\\rooted"},
        // Relative to drive Z:'s own current directory, which is the folder itself.
        {"Z:onDrive", "onDrive", "Z:onDrive"},
    };
    std::mt19937 rng(3);
    MovieGrid g = grid(1, 1, 4, 2, 2, 2);
    fillRandom(&g, rng);
    std::vector<std::string> args = writePanels(folder, g, {"f0"});
    for (const NameCase& c : cases) {
        RunOutcome run = runMozaro(folder, args, c.answer + " yes\n");
        EXPECT_EQ(run.out, crlf(runStart(g, "  f0\n", "B_f0") + questionText(c.answer) + progressText(2) +
                                "Finished merging and blending movie " + c.answer + "\n"));
        EXPECT_EQ(run.status, 0) << c.answer;
        EXPECT_EQ(readBytes(folder + "/" + c.file), modelMovie(g)) << c.answer;
        EXPECT_EQ(readText(folder + "/" + c.file + ".mg"), descriptorText(c.described, g)) << c.answer;
    }
}

TEST(WindowsMerge, DescriptorHoldsADirectoryLongerThan255Bytes)
{
    std::mt19937 rng(4);
    std::string folder = makeScratchFolder();
    // Windows sees the folder as Z: and the Unix path, so 254 Unix bytes are 256 there; the
    // movie's full path stays within the 260 that a program unaware of long paths may use.
    std::string deep = folder + "/";
    const std::size_t unixLength = 254;
    if (deep.size() < unixLength)
        deep += std::string(unixLength - deep.size(), 'd');
    ASSERT_EQ(deep.size(), unixLength);
    ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    MovieGrid g = grid(1, 1, 2, 2, 1, 1);
    fillRandom(&g, rng);
    std::vector<std::string> args = writePanels(deep, g, {"f"});
    RunOutcome run = runMozaro(deep, args, "m\nyes\n");
    EXPECT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(windowsPath(deep).size(), 256u);
    EXPECT_EQ(readBytes(deep + "/m"), modelMovie(g));
    EXPECT_EQ(readText(deep + "/m.mg"), descriptorText(windowsPath(deep) + "\\m", g));
}

// An earlier run's movie B_f0 and descriptor, which a run that stops must leave as they were.
void writeEarlierRun(const std::string& folder)
{
    writeBytes(folder + "/B_f0", Bytes(36, 1));
    writeText(folder + "/B_f0.mg", "localhost  Z:\\earlier\\B_f0 4 2 3\r\n");
}

TEST(WindowsFault, AStoppedRunLeavesTheEarlierMovieAndDescriptorAsTheyWere)
{
    struct FaultCase {
        const char* what;
        int f1Bytes;   // -1: f1 is missing, -2: f1 is a folder
        std::string out;
    };
    const FaultCase cases[] = {
        {"a missing input", -1, "Could not open input file: f1\nStopping\n"},
        {"an input that is a folder", -2, "Could not open input file: f1\nStopping\n"},
        {"an input of one whole frame of three", 12, "Input movie f1 holds only 1 whole frames of the 3 needed\nStopping\n"},
        {"an input of a frame and a half", 18,
         "Input movie f1 is 18 bytes long, not a whole number of frames of 3*nx*ny = 12 bytes\nStopping\n"},
    };
    for (const FaultCase& c : cases) {
        std::mt19937 rng(5);
        std::string folder = makeScratchFolder();
        MovieGrid g = grid(2, 1, 2, 2, 3, 1);
        fillRandom(&g, rng);
        writeBytes(folder + "/f0", g.panels[0]);
        if (c.f1Bytes == -2)
            ASSERT_EQ(mkdir((folder + "/f1").c_str(), 0777), 0);
        else if (c.f1Bytes >= 0)
            writeBytes(folder + "/f1", Bytes(g.panels[1].begin(), g.panels[1].begin() + c.f1Bytes));
        writeEarlierRun(folder);
        const std::map<std::string, Bytes> before = folderContents(folder);
        RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
        EXPECT_EQ(run.out, crlf(runStart(g, "  f0  f1\n", "B_f0") + c.out)) << c.what;
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(folderContents(folder), before) << c.what;
    }
}

// Feeds `bytes` into an open FIFO one piece at a time, each once the tool has taken the one
// before, so that its reads meet a pipe holding part of a frame; then closes it, and with no
// writer left the reader meets the end. Gives up if the tool stops reading.
void feedFifo(int fd, Bytes bytes, std::size_t piece)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        std::size_t n = std::min(piece, bytes.size() - at);
        if (write(fd, bytes.data() + at, n) != ssize_t(n))
            break;
        int unread = 0;
        while (ioctl(fd, FIONREAD, &unread) == 0 && unread > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
}

// Wine hands a Unix FIFO to the program as a pipe whose reads return what has arrived. Its
// open does not wait for a writer as a POSIX open does, and a FIFO that nobody holds open
// loses what it buffered, so the test holds it open (read and write, which never blocks)
// from before the tool starts until the tool has read every byte.
TEST(WindowsFault, PipeReadInPiecesAndPipeThatEndsEarly)
{
    for (bool early : {false, true}) {
        std::mt19937 rng(10);
        std::string folder = makeScratchFolder();
        MovieGrid g = grid(2, 1, 3, 4, 3, 1);
        g.panels.push_back(lineEndBytes(std::size_t(3 * 3 * 4 * 3), rng));
        g.panels.push_back(lineEndBytes(std::size_t(3 * 3 * 4 * 3), rng));
        writeBytes(folder + "/f0", g.panels[0]);
        ASSERT_EQ(mkfifo((folder + "/f1").c_str(), 0666), 0);
        writeEarlierRun(folder);
        const std::map<std::string, Bytes> before = folderContents(folder);
        int fifo = open((folder + "/f1").c_str(), O_RDWR | O_CLOEXEC);   // the tool must not hold it too
        ASSERT_GE(fifo, 0);
        const std::size_t frame = 3 * 3 * 4;
        Bytes fed = early ? Bytes(g.panels[1].begin(), g.panels[1].begin() + 2 * frame + 5) : g.panels[1];
        std::thread feeder(feedFifo, fifo, fed, std::size_t(7));
        RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "yes\n");
        feeder.join();
        const std::string start = runStart(g, "  f0  f1\n", "B_f0");
        if (early) {
            EXPECT_EQ(run.out,
                      crlf(start + progressText(2) + "Input movie f1 ended before frame 2 was complete\nStopping\n"));
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(folderContents(folder), before);
        } else {
            EXPECT_EQ(run.out, crlf(start + progressText(3) + "Finished merging and blending movie B_f0\n"));
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
            EXPECT_EQ(readText(folder + "/B_f0.mg"), descriptorText(windowsPath(folder) + "\\B_f0", g));
            EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "f1"}));
        }
    }
}

TEST(WindowsFault, OutputInAMissingFolderStopsBeforeAnyInputIsOpened)
{
    std::mt19937 rng(7);
    std::string folder = makeScratchFolder();
    MovieGrid g = grid(2, 1, 2, 2, 1, 1);
    fillRandom(&g, rng);
    writeBytes(folder + "/f0", g.panels[0]);   // f1 is missing: its message must not come
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), "absent\\out yes\n");
    EXPECT_TRUE(endsWithReason(run.out,
                               crlf(runStart(g, "  f0  f1\n", "B_f0") + questionText("absent\\out")) +
                                   "Could not create output movie absent\\out: ",
                               pathNotFound, "\r\nStopping\r\n"))
        << run.out;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(folder), Names({"f0"}));
}

TEST(WindowsFault, DirectoryInTheWayOfTheDescriptorStopsBeforeAnythingIsCreated)
{
    std::mt19937 rng(8);
    std::string folder = makeScratchFolder();
    MovieGrid g = grid(2, 1, 2, 2, 2, 1);
    fillRandom(&g, rng);
    std::vector<std::string> args = writePanels(folder, g, {"f0", "f1"});
    ASSERT_EQ(mkdir((folder + "/B_f0.mg").c_str(), 0777), 0);
    RunOutcome run = runMozaro(folder, args, "yes\n");
    EXPECT_TRUE(endsWithReason(run.out,
                               crlf(runStart(g, "  f0  f1\n", "B_f0")) + "Could not write movie descriptor B_f0.mg: ",
                               accessDenied, "\r\nStopping\r\n"))
        << run.out;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(listFolder(folder), Names({"B_f0.mg", "f0", "f1"}));
}

TEST(WindowsFault, OutputNamedAsAnInputIsRefusedHoweverItIsSpelt)
{
    std::mt19937 rng(9);
    std::string folder = makeScratchFolder();
    MovieGrid g = grid(3, 1, 2, 2, 1, 1);
    fillRandom(&g, rng);
    std::vector<std::string> args = writePanels(folder, g, {"f0", "f1", "q.mg"});
    ASSERT_EQ(link((folder + "/f1").c_str(), (folder + "/hard").c_str()), 0);
    writeBytes(folder + "/out", Bytes(5, 1));   // an existing file that is no input may be replaced
    const std::string absolute = windowsPath(folder) + "\\f1";
    // Spelt as given, through .\ and ./, in other letter case, as a hard link, as an absolute
    // drive path; and q, whose descriptor q.mg is an input.
    const Names clashes = {"f0", ".\\f0", "./f0", "F0", "hard", absolute};
    std::string answers;
    for (const std::string& name : clashes)
        answers += name + " yes ";
    RunOutcome run = runMozaro(folder, args, answers + "q yes out yes\n");
    std::string expected = runStart(g, "  f0  f1  q.mg\n", "B_f0");
    for (const std::string& name : clashes)
        expected += questionText(name) + name + " is one of the input movies; please give another name\n" +
                    questionText(name);
    expected += questionText("q") + "q.mg is one of the input movies; please give another name\n" +
                questionText("q") + questionText("out") + progressText(1) + "Finished merging and blending movie out\n";
    EXPECT_EQ(run.out, crlf(expected));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/f0"), g.panels[0]);
    EXPECT_EQ(readBytes(folder + "/f1"), g.panels[1]);
    EXPECT_EQ(readBytes(folder + "/q.mg"), g.panels[2]);
    EXPECT_EQ(readBytes(folder + "/out"), modelMovie(g));
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "hard", "out", "out.mg", "q.mg"}));
}

std::string windowsDescriptor(const std::string& folder, const SweepScenario& s)
{
    const MovieGrid& g = s.grid;
    return descriptorText(windowsPath(folder) + "\\" + s.movie, g);
}

// Every call of the Win32 half of the layer failing in turn, in one run that replaces an
// earlier movie; needs a Mozaro.exe built with the fault switch (tools/testWindows.sh).
TEST(WindowsFaultSweep, ReplacingAnEarlierMovie)
{
    std::mt19937 rng(11);
    SweepScenario s{"Windows: a 2 x 1 grid replacing an earlier movie, nBlend 2", grid(2, 1, 4, 4, 2, 2), {"-y"}, "",
                    "B_f0", true, -1, false, "\r\n", false, windowsDescriptor};
    fillRandom(&s.grid, rng);
    // Windows has no interrupted calls to retry.
    sweepAndReport(s, {"error", "short"});
}

}  // namespace
