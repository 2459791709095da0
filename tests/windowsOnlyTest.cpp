// Cases only the Windows build, Mozaro.exe under Wine, has: movie names with drives, rooted
// and mixed separators, names beyond the ANSI code page, names Windows trims or keeps for
// devices, files other programs hold, Ctrl-C twice, and the fault sweep of the Win32 half of
// the layer. The scratch folders are Unix folders; Wine shows them on drive Z:, so /tmp/x is
// Z:\tmp\x.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <sys/stat.h>

#include "faultSweep.h"
#include "testSystem.h"

namespace {

typedef std::vector<std::string> Names;

Names operator+(Names a, const Names& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string descriptorText(const std::string& path, const MovieGrid& g)
{
    return "localhost  " + path + " " + std::to_string(g.nx * g.ntx / g.nBlend) + " " +
           std::to_string(g.ny * g.nty / g.nBlend) + " " + std::to_string(g.nf) + "\r\n";
}

TEST(WindowsPaths, OutputNamesRelativeDriveAndRooted)
{
    std::string folder = makeScratchFolder();
    ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0777), 0);
    const std::string windowsFolder = testSystem().toolPath(folder);
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
        // Rooted on the current drive, or relative to drive Z:'s own current directory (the
        // folder itself): described by their full paths.
        {windowsFolder.substr(2) + "\\sub\\rooted", "sub/rooted", windowsFolder + "\\sub\\rooted"},
        {"Z:onDrive", "onDrive", windowsFolder + "\\onDrive"},
        // A name the system takes as it stands, already a full path.
        {"\\\\?\\" + windowsFolder + "\\sub\\long", "sub/long", "\\\\?\\" + windowsFolder + "\\sub\\long"},
    };
    std::mt19937 rng(3);
    MovieGrid g = randomGrid(rng, 1, 1, 4, 2, 2, 2);
    std::vector<std::string> args = writeGrid(folder, g);
    for (const NameCase& c : cases) {
        RunOutcome run = runMozaro(folder, args, c.answer + " yes\n");
        EXPECT_EQ(run.out, asPrinted(runStart(g) + questionText(c.answer) + progressText(2) +
                                     "Finished merging and blending movie " + c.answer + "\n"));
        EXPECT_EQ(run.status, 0) << c.answer;
        EXPECT_EQ(readBytes(folder + "/" + c.file), modelMovie(g)) << c.answer;
        EXPECT_EQ(readText(folder + "/" + c.file + ".mg"), descriptorText(c.described, g)) << c.answer;
    }
}

// Names beyond any ANSI code page are the files named, in a folder named so as well, and the
// descriptor and the messages give them in UTF-8.
TEST(WindowsNames, UnicodeNamesAreTheFilesNamed)
{
    const std::string folder = makeScratchFolder() + "/\u65e5\u672c d\u00e9j\u00e0";
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    std::mt19937 rng(21);
    MovieGrid g = randomGrid(rng, 1, 1, 4, 4, 2, 1);
    writeBytes(folder + "/a00", randomBytes(96, rng));
    writeText(folder + "/moviea", "precious");
    const Names args = writeGrid(folder, g, {"\u0101" "00"});
    RunOutcome run = runMozaro(folder, Names{"-o", "movie\u0101"} + args, "");
    EXPECT_EQ(run.out, asPrinted(layoutText(g, {"\u0101" "00"}) +
                                 "Name of merged and blended movie will be: movie\u0101\n" + progressText(2) +
                                 "Finished merging and blending movie movie\u0101\n"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/movie\u0101"), modelMovie(g));
    EXPECT_EQ(readText(folder + "/movie\u0101.mg"), descriptorOf(folder, "movie\u0101", g));
    EXPECT_EQ(readText(folder + "/moviea"), "precious");

    // Names no code page holds, as panel and as the proposed movie.
    const std::string other = makeScratchFolder();
    const Names wide = writeGrid(other, g, {"\u65e5" "00"});
    run = runMozaro(other, Names{"-y"} + wide, "");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readBytes(other + "/B_\u65e5" "00"), modelMovie(g));
    EXPECT_EQ(readText(other + "/B_\u65e5" "00.mg"), descriptorOf(other, "B_\u65e5" "00", g));
    // An answer in UTF-8 names the movie so.
    run = runMozaro(other, wide, "\u00e9t\u00e9 yes\n");
    EXPECT_EQ(run.out, asPrinted(runStart(g, "B_\u65e5" "00", {"\u65e5" "00"}) + questionText("\u00e9t\u00e9") +
                                 progressText(2) + "Finished merging and blending movie \u00e9t\u00e9\n"));
    EXPECT_EQ(readBytes(other + "/\u00e9t\u00e9"), modelMovie(g));
    EXPECT_EQ(readText(other + "/\u00e9t\u00e9.mg"), descriptorOf(other, "\u00e9t\u00e9", g));
}

// A name ending in dots or blanks is stored without them: the movie, its descriptor and the
// earlier pair they replace are the files the system keeps.
TEST(WindowsNames, TrailingDotsAndBlanksAreTrimmedAsTheSystemDoes)
{
    const std::string folder = makeScratchFolder();
    std::mt19937 rng(22);
    MovieGrid first = randomGrid(rng, 2, 1, 4, 4, 2, 1);
    const Names args = writeGrid(folder, first);
    ASSERT_EQ(runMozaro(folder, Names{"-o", "out"} + args, "").status, 0);
    for (const std::string name : {"out.", "out ", "out. ."}) {
        MovieGrid g = first;
        g.nBlend = 2;
        RunOutcome run = runMozaro(folder, Names{"-o", name} + gridArgs(g, panelNames(g)), "");
        EXPECT_EQ(run.out, asPrinted(layoutText(g) + "Name of merged and blended movie will be: out\n" +
                                     progressText(2) + "Finished merging and blending movie out\n")) << name;
        EXPECT_EQ(run.status, 0) << name;
        EXPECT_EQ(readBytes(folder + "/out"), modelMovie(g)) << name;
        EXPECT_EQ(readText(folder + "/out.mg"), descriptorOf(folder, "out", g)) << name;
        EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "out", "out.mg"})) << name;
    }
}

// Names Windows keeps for devices are no files: refused before any input is opened (f1 is
// missing, and its message must not come), with -o and at the question.
TEST(WindowsNames, DeviceNamesAreRefusedBeforeAnyInputIsOpened)
{
    const MovieGrid g{2, 1, 1, 1, 1, 1, {}};
    struct DeviceCase {
        std::string name, device;
    };
    for (const DeviceCase& c : {DeviceCase{"NUL", "NUL"}, DeviceCase{"nul.txt", "nul"}, DeviceCase{"AUX", "AUX"},
                                DeviceCase{"COM1", "COM1"}, DeviceCase{"sub\\con.txt", "con"}}) {
        const std::string folder = makeScratchFolder();
        writeBytes(folder + "/f0", Bytes(3, 1));
        const std::string refused = c.name + " is the device " + c.device + ", not a file; please give another name\n";
        RunOutcome run = runMozaro(folder, Names{"-o", c.name} + gridArgs(g, {"f0", "f1"}), "");
        EXPECT_EQ(run.out, asPrinted(layoutText(g) + "Name of merged and blended movie will be: " + c.name + "\n" +
                                     refused + "Stopping\n")) << c.name;
        EXPECT_EQ(run.status, 1) << c.name;
        run = runMozaro(folder, gridArgs(g, {"f0", "f1"}), c.name + " yes no\n");
        EXPECT_EQ(run.out, asPrinted(runStart(g) + questionText(c.name) + refused + questionText(c.name))) << c.name;
        EXPECT_EQ(run.status, 0) << c.name;
        EXPECT_EQ(listFolder(folder), Names({"f0"})) << c.name;
    }
}

// A 2 x 1 grid of 2 x 2 pixels, 3 frames, of `first` and f1, a FIFO that stalls after frame
// 0: a run of it writes frame 0 into its temporary movie and then waits. Returns once it has.
StartedRun startStalledRun(const std::string& folder, const Names& options, const std::string& first,
                           std::mt19937& rng, PipeFeed* feed)
{
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 3, 1);
    writeBytes(folder + "/f0", g.panels[0]);
    startPipeFeed(feed, folder + "/f1", Bytes(g.panels[1].begin(), g.panels[1].begin() + 12), 12, 12);
    const std::string parent = folder.substr(0, folder.rfind('/'));
    writeText(parent + "/stdin", "");
    StartedRun started =
        startMozaro(folder, options + gridArgs(g, {first, "f1"}), parent + "/stdin", parent + "/holder");
    const std::string output = parent + "/holder";
    for (int k = 0; k < 30000 && (!fileExists(output) || readText(output).find("Finished Frame:    0") == std::string::npos);
         k++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return started;
}

// The first Ctrl-C asks the run to stop; where it cannot (Wine does not cancel a read that
// waits on a FIFO), the second ends the process and takes the temporary movie with it.
TEST(WindowsFiles, ASecondCtrlCLeavesNoTemporaryMovie)
{
    std::mt19937 rng(23);
    const std::string folder = makeScratchFolder();
    PipeFeed feed;
    StartedRun started = startStalledRun(folder, {"-y"}, "f0", rng, &feed);
    ASSERT_NE(readText(started.outputPath).find("Finished Frame:    0"), std::string::npos);
    for (int k = 0; k < 2; k++) {
        kill(started.pid, SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    waitForMozaro(started);
    finishPipeFeed(&feed);
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1"}));
}

// An earlier descriptor made read-only is replaced all the same, and nothing of it is left.
TEST(WindowsFiles, AReadOnlyEarlierDescriptorIsReplacedWithoutLeftovers)
{
    std::mt19937 rng(24);
    const std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 3, 1);
    const Names args = writeGrid(folder, g);
    writeEarlierMovie(folder);
    ASSERT_EQ(chmod((folder + "/B_f0.mg").c_str(), 0444), 0);
    for (int run = 0; run < 2; run++) {
        EXPECT_EQ(runMozaro(folder, Names{"-y"} + args, "").status, 0);
        EXPECT_EQ(readText(folder + "/B_f0.mg"), descriptorOf(folder, "B_f0", g));
        EXPECT_EQ(listFolder(folder), Names({"B_f0", "B_f0.mg", "f0", "f1"}));
    }
}

// An earlier movie another program holds open (here a run that reads it as a panel) cannot
// be replaced: said before the merge, in those words, and the earlier pair is left as it was.
TEST(WindowsFiles, AnEarlierMovieInUseIsNamedBeforeTheMerge)
{
    std::mt19937 rng(25);
    const std::string folder = makeScratchFolder();
    writeEarlierMovie(folder);
    const std::map<std::string, Bytes> earlier = {{"B_f0", readBytes(folder + "/B_f0")},
                                                  {"B_f0.mg", readBytes(folder + "/B_f0.mg")}};
    PipeFeed feed;
    StartedRun holder = startStalledRun(folder, {"-o", "other"}, "B_f0", rng, &feed);
    ASSERT_NE(readText(holder.outputPath).find("Finished Frame:    0"), std::string::npos);
    const MovieGrid g{2, 1, 2, 2, 3, 1, {}};
    RunOutcome run = runMozaro(folder, Names{"-y"} + gridArgs(g, {"f0", "f0"}), "");
    EXPECT_EQ(run.out, asPrinted(layoutText(g, {"f0", "f0"}) + "Name of merged and blended movie will be: B_f0\n"
                                 "Could not create output movie B_f0: The file is in use by another program.\n"
                                 "Stopping\n"));
    EXPECT_EQ(run.status, 1);
    finishPipeFeed(&feed);
    waitForMozaro(holder);
    std::map<std::string, Bytes> left = folderContents(folder);
    left.erase("f0");
    left.erase("f1");
    EXPECT_EQ(left, earlier);
}

// Standard output that cannot be written fails the run with the system's reason.
TEST(WindowsFiles, StandardOutputThatCannotBeWrittenGivesItsReason)
{
    std::string folder = makeScratchFolder();
    writeText(folder + "/../stdin", "no\n");
    RunOutcome run = runMozaroWithFiles(folder, {"1", "1", "1", "1", "0", "1", "f0"}, folder + "/../stdin", "/dev/full");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("Mozaro: could not write to standard output: ", 0), 0u) << run.err;
    EXPECT_GT(run.err.size(), std::string("Mozaro: could not write to standard output: \r\n").size()) << run.err;
}

// Every call of the Win32 half of the layer failing in turn, in one run that replaces an
// earlier movie; needs a Mozaro.exe built with the fault switch (tools/testWindows.sh).
TEST(WindowsFaultSweep, ReplacingAnEarlierMovie)
{
    std::mt19937 rng(11);
    SweepScenario s{"Windows: a 2 x 1 grid replacing an earlier movie, nBlend 2",
                    randomGrid(rng, 2, 1, 4, 4, 2, 2), {"-y"}, "", "B_f0", true};
    // Windows has no interrupted calls to retry.
    sweepAndReport(s, {"error", "short"});
}

}  // namespace
