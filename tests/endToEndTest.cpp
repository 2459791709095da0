// The built tool, run in a scratch folder: standard output byte for byte, exit status, and
// the files it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include <sys/stat.h>

#include "testSupport.h"

namespace {

// A command line that must stop before anything is created.
struct StopCase {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    std::string out;
    int status;
};

const std::string question = questionText("B_f0");

// The numbers followed by the names f0, f1, ... of `files` movies.
std::vector<std::string> withFiles(std::vector<std::string> numbers, int files)
{
    for (int k = 0; k < files; k++)
        numbers.push_back("f" + std::to_string(k));
    return numbers;
}

const std::string fileCountOfNoPanels =
    "You have specified ntx*nty = 0 panels.\n"
    "However, you have specified 1 files on the input line.\n"
    "You need to input one movie file per panel.\n"
    "Stopping\n";

const StopCase stopCases[] = {
    {"no arguments", {}, "", usageLines, 1},
    {"six numbers and no file", {"1", "1", "1", "1", "1", "1"}, "", usageLines, 1},
    {"four panels, three files",
     {"2", "2", "4", "4", "1", "1", "a", "b", "c"},
     "",
     echoText(2, 2, 4, 4, 1, 1) +
         "You have specified ntx*nty = 4 panels.\n"
         "However, you have specified 3 files on the input line.\n"
         "You need to input one movie file per panel.\n"
         "Stopping\n",
     1},
    {"panel count beyond 32 bits",
     {"65536", "65536", "4", "4", "1", "1", "a"},
     "",
     "ntx  = 65536\nnty  = 65536\nnx   =    4\nny   =    4\nnf   =    1\nnb   =    1\n"
     "You have specified ntx*nty = 4294967296 panels.\n"
     "However, you have specified 1 files on the input line.\n"
     "You need to input one movie file per panel.\n"
     "Stopping\n",
     1},
    {"three by two layout, declined",
     {"3", "2", "1", "1", "0", "1", "f0", "f1", "f2", "f3", "f4", "f5"},
     "no\n",
     echoText(3, 2, 1, 1, 0, 1) + "Layout of panels:\n  f3  f4  f5\n  f0  f1  f2\n" +
         "Resolution of merged and blended movie: 3 2\n" + question,
     0},
    {"one panel, nova declines",
     {"1", "1", "1", "1", "0", "1", "f0"},
     "nova\n",
     echoText(1, 1, 1, 1, 0, 1) + "Layout of panels:\n  f0\n" + "Resolution of merged and blended movie: 1 1\n" +
         question,
     0},
    {"truncated output width",
     {"3", "1", "100", "10", "0", "7", "f0", "f1", "f2"},
     "no",
     echoText(3, 1, 100, 10, 0, 7) + "Layout of panels:\n  f0  f1  f2\n" +
         "Resolution of merged and blended movie: 42 1\n" + question,
     0},
    {"blend factor wider than the mosaic",
     {"2", "1", "3", "40", "0", "7", "f0", "f1"},
     "no",
     echoText(2, 1, 3, 40, 0, 7) + "Layout of panels:\n  f0  f1\n" + "Resolution of merged and blended movie: 0 5\n" +
         question,
     0},
    {"numbers in the forms %d reads",
     {"  +1", "1px", "0x10", "\t3", "-0", "2", "f0"},
     "no",
     "ntx  =    1\nnty  =    1\nnx   =    0\n"
     "ny   =    3\nnf   =    0\nnb   =    2\n"
     "nx = 0 is out of range; allowed: 1 or more\nStopping\n",
     1},
    {"a word instead of a number",
     {"2", "abc", "1", "1", "1", "1", "f0", "f1"},
     "",
     "ntx  =    2\nnty (argument 2) is not a number: \"abc\"\nStopping\n",
     1},
    {"an empty argument", {"", "1", "1", "1", "1", "1", "f0"}, "", "ntx (argument 1) is not a number: \"\"\nStopping\n", 1},
    {"a lone sign",
     {"1", "1", "1", "1", "1", "-", "f0"},
     "",
     "ntx  =    1\nnty  =    1\nnx   =    1\nny   =    1\nnf   =    1\n"
     "nBlend (argument 6) is not a number: \"-\"\nStopping\n",
     1},
    {"32-bit minimum and maximum are numbers",
     {"1", "1", "1", "1", "2147483647", "-2147483648", "f0"},
     "",
     "ntx  =    1\nnty  =    1\nnx   =    1\nny   =    1\nnf   = 2147483647\nnb   = -2147483648\n"
     "nBlend = -2147483648 is out of range; allowed: 1 to 2901\nStopping\n",
     1},
    {"one past the 32-bit maximum",
     {"1", "1", "1", "1", "2147483648", "1", "f0"},
     "",
     "ntx  =    1\nnty  =    1\nnx   =    1\nny   =    1\n"
     "nf (argument 5) does not fit a 32-bit integer: \"2147483648\"\nStopping\n",
     1},
    {"one past the 32-bit minimum",
     {"1", "1", "-2147483649", "1", "1", "1", "f0"},
     "",
     "ntx  =    1\nnty  =    1\nnx (argument 3) does not fit a 32-bit integer: \"-2147483649\"\nStopping\n",
     1},
    {"101 panels across",
     withFiles({"101", "1", "1", "1", "1", "1"}, 101),
     "",
     echoText(101, 1, 1, 1, 1, 1) + "ntx = 101 is out of range; allowed: 1 to 100\nStopping\n",
     1},
    {"negative frame count",
     {"1", "1", "1", "1", "-1", "1", "f0"},
     "",
     echoText(1, 1, 1, 1, -1, 1) + "nf = -1 is out of range; allowed: 0 or more\nStopping\n",
     1},
    {"blend factor one past its limit",
     {"1", "1", "1", "1", "1", "2902", "f0"},
     "",
     echoText(1, 1, 1, 1, 1, 2902) + "nBlend = 2902 is out of range; allowed: 1 to 2901\nStopping\n",
     1},
    {"a mosaic one pixel too wide",
     {"1", "1", "1048577", "1", "1", "1", "f0"},
     "",
     echoText(1, 1, 1048577, 1, 1, 1) +
         "Mosaic width nx*ntx = 1048577 pixels is out of range; allowed: at most 1048576\nStopping\n",
     1},
    {"a mosaic width beyond 32 bits",
     withFiles({"100", "1", "2147483647", "1", "1", "1"}, 100),
     "",
     echoText(100, 1, 2147483647, 1, 1, 1) +
         "Mosaic width nx*ntx = 214748364700 pixels is out of range; allowed: at most 1048576\nStopping\n",
     1},
    {"a mosaic one pixel too tall",
     {"1", "2", "1", "1073741824", "1", "1", "a", "b"},
     "",
     echoText(1, 2, 1, 1073741824, 1, 1) +
         "Mosaic height ny*nty = 2147483648 pixels is out of range; allowed: at most 2147483647\nStopping\n",
     1},
    {"a file name of 256 bytes",
     {"2", "1", "1", "1", "1", "1", "f0", std::string(256, 'n')},
     "",
     echoText(2, 1, 1, 1, 1, 1) + "Movie file name at argument 8 is longer than 255 bytes\nStopping\n",
     1},
    {"percent signs in names are printed as they are",
     {"2", "1", "1", "1", "0", "1", "%d%s%n", "100%"},
     "%s%n\nno\n",
     echoText(2, 1, 1, 1, 0, 1) + "Layout of panels:\n  %d%s%n  100%\n" +
         "Resolution of merged and blended movie: 2 1\n" + questionText("B_%d%s%n") + questionText("%s%n"),
     0},
    {"end of input at the question",
     {"1", "1", "1", "1", "0", "1", "f0"},
     "  \n\t",
     echoText(1, 1, 1, 1, 0, 1) + "Layout of panels:\n  f0\n" + "Resolution of merged and blended movie: 1 1\n" +
         question + "No answer on standard input\nStopping\n",
     1},
    // Limits one past their bounds. No panels across or down can never match a file count,
    // and a negative count of each makes one panel that the limits must still refuse.
    {"no panels across",
     withFiles({"0", "1", "1", "1", "1", "1"}, 1),
     "",
     echoText(0, 1, 1, 1, 1, 1) + fileCountOfNoPanels,
     1},
    {"no panels down",
     withFiles({"1", "0", "1", "1", "1", "1"}, 1),
     "",
     echoText(1, 0, 1, 1, 1, 1) + fileCountOfNoPanels,
     1},
    {"minus one panel across and down",
     withFiles({"-1", "-1", "1", "1", "1", "1"}, 1),
     "",
     echoText(-1, -1, 1, 1, 1, 1) + "ntx = -1 is out of range; allowed: 1 to 100\nStopping\n",
     1},
    {"101 panels down",
     withFiles({"1", "101", "1", "1", "1", "1"}, 101),
     "",
     echoText(1, 101, 1, 1, 1, 1) + "nty = 101 is out of range; allowed: 1 to 100\nStopping\n",
     1},
    {"no rows in a panel frame",
     withFiles({"1", "1", "1", "0", "1", "1"}, 1),
     "",
     echoText(1, 1, 1, 0, 1, 1) + "ny = 0 is out of range; allowed: 1 or more\nStopping\n",
     1},
    {"blend factor zero",
     withFiles({"1", "1", "1", "1", "1", "0"}, 1),
     "",
     echoText(1, 1, 1, 1, 1, 0) + "nBlend = 0 is out of range; allowed: 1 to 2901\nStopping\n",
     1},
};

TEST(CommandLine, StopsWithExactOutputAndCreatesNothing)
{
    for (const StopCase& c : stopCases) {
        std::string folder = makeScratchFolder();
        RunOutcome run = runMozaro(folder, c.args, c.input);
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_TRUE(listFolder(folder).empty()) << c.what;
    }
}

// Values exactly at the limits: the whole run goes through, with no frames and empty inputs,
// to an empty movie and its descriptor.
struct BoundCase {
    const char* what;
    std::vector<std::string> numbers;
    std::vector<std::string> files;
    std::string resolution;
};

TEST(CommandLine, LimitsAtTheirBoundsAreAccepted)
{
    const BoundCase cases[] = {
        {"100 x 100 panels of 1 x 1 pixel, blend 2901", {"100", "100", "1", "1", "0", "2901"},
         withFiles({}, 10000), "0 0"},
        {"the widest mosaic", {"1", "1", "1048576", "1", "0", "1"}, {"f0"}, "1048576 1"},
        {"the tallest mosaic", {"1", "1", "1", "2147483647", "0", "1"}, {"f0"}, "1 2147483647"},
        {"the widest mosaic of 100 panels across", {"100", "1", "10485", "1", "0", "1"}, withFiles({}, 100),
         "1048500 1"},
        {"names of 250 and 255 bytes", {"2", "1", "1", "1", "0", "1"},
         {std::string(250, 'a'), std::string(255, 'b')}, "2 1"},
    };
    for (const BoundCase& c : cases) {
        std::string folder = makeScratchFolder();
        std::vector<std::string> args = c.numbers;
        args.insert(args.end(), c.files.begin(), c.files.end());
        for (const std::string& name : c.files)
            writeBytes(folder + "/" + name, Bytes());
        int n[6];
        for (int k = 0; k < 6; k++)
            n[k] = std::stoi(c.numbers[std::size_t(k)]);
        std::string layout = "Layout of panels:\n";
        for (int i = n[1] - 1; i >= 0; i--) {
            for (int j = 0; j < n[0]; j++)
                layout += "  " + c.files[std::size_t(i * n[0] + j)];
            layout += "\n";
        }
        const std::string movie = "B_" + c.files[0];
        RunOutcome run = runMozaro(folder, args, "yes\n");
        EXPECT_EQ(run.out, echoText(n[0], n[1], n[2], n[3], n[4], n[5]) + layout +
                               "Resolution of merged and blended movie: " + c.resolution + "\n" +
                               questionText(movie) + "Finished merging and blending movie " + movie + "\n")
            << c.what;
        EXPECT_EQ(run.status, 0) << c.what;
        std::vector<std::string> left = c.files;
        left.push_back(movie);
        left.push_back(movie + ".mg");
        std::sort(left.begin(), left.end());
        EXPECT_EQ(listFolder(folder), left) << c.what;
        EXPECT_TRUE(readBytes(folder + "/" + movie).empty()) << c.what;
        EXPECT_EQ(readText(folder + "/" + movie + ".mg"),
                  "localhost  " + folder + "/" + movie + " " + c.resolution + " 0\n")
            << c.what;
    }
}

TEST(MergeRun, TypicalTwoByTwoRunEndToEnd)
{
    std::mt19937 rng(1);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 2, 16, 12, 3, 2);
    std::vector<std::string> args = {"2", "2", "16", "12", "3", "2", "a00", "a01", "a10", "a11"};
    for (int k = 0; k < 4; k++)
        writeBytes(folder + "/" + args[std::size_t(6 + k)], g.panels[std::size_t(k)]);
    RunOutcome run = runMozaro(folder, args, "yes\n");
    EXPECT_EQ(run.out, echoText(2, 2, 16, 12, 3, 2) +
                           "Layout of panels:\n  a10  a11\n  a00  a01\n"
                           "Resolution of merged and blended movie: 16 12\n" +
                           questionText("B_a00") +
                           "Finished Frame:    0\nFinished Frame:    1\nFinished Frame:    2\n"
                           "Finished merging and blending movie B_a00\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/B_a00"), modelMovie(g));
    EXPECT_EQ(readText(folder + "/B_a00.mg"), "localhost  " + folder + "/B_a00 16 12 3\n");
}

TEST(MergeRun, MatchesThePerPixelModelOverRandomShapes)
{
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 40; trial++) {
        int ntx = 1 + int(rng() % 4), nty = 1 + int(rng() % 3);
        int nx = 1 + int(rng() % (trial % 4 == 0 ? 130 : 12)), ny = 1 + int(rng() % 9);
        int nf = int(rng() % 4);
        int nBlend = 1 + int(rng() % 7);
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, ntx, nty, nx, ny, nf, nBlend);
        RunOutcome run = runMozaro(folder, writeGrid(folder, g), "yes\n");
        std::string what = "trial " + std::to_string(trial) + ": " + std::to_string(ntx) + "x" + std::to_string(nty) +
                           " of " + std::to_string(nx) + "x" + std::to_string(ny) + ", " + std::to_string(nf) +
                           " frames, blend " + std::to_string(nBlend);
        ASSERT_EQ(run.status, 0) << what << "\n" << run.out;
        EXPECT_NE(run.out.find(progressText(nf) + "Finished merging and blending movie B_f0\n"), std::string::npos)
            << what;
        EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g)) << what;
        EXPECT_EQ(readText(folder + "/B_f0.mg"), "localhost  " + folder + "/B_f0 " +
                                                     std::to_string(nx * ntx / nBlend) + " " +
                                                     std::to_string(ny * nty / nBlend) + " " + std::to_string(nf) + "\n")
            << what;
    }
}

TEST(MergeRun, LargePanelsWideGridsAndTallNarrowPanelsComeOutExact)
{
    struct Shape {
        int ntx, nty, nx, ny, nf, nBlend;
    };
    const Shape shapes[] = {
        {2, 2, 3840, 2160, 1, 2},   // four 4K panels
        {12, 1, 50, 7, 2, 3},       // twelve across
        {1, 1, 20000, 3, 2, 1},     // one panel 20,000 pixels wide
        {1, 1, 20000, 3, 2, 2},
        {2, 1, 64, 65536, 1, 2},    // narrow rows, a tall panel
    };
    std::mt19937 rng(7);
    for (const Shape& s : shapes) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, s.ntx, s.nty, s.nx, s.ny, s.nf, s.nBlend);
        std::vector<std::string> args = writeGrid(folder, g);
        RunOutcome run = runMozaro(folder, args, "yes\n");
        const std::string size = std::to_string(s.nx * s.ntx / s.nBlend) + " " + std::to_string(s.ny * s.nty / s.nBlend);
        EXPECT_NE(run.out.find("Resolution of merged and blended movie: " + size + "\n" + questionText("B_f0") +
                               progressText(s.nf) + "Finished merging and blending movie B_f0\n"),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(run.status, 0) << size;
        EXPECT_TRUE(readBytes(folder + "/B_f0") == modelMovie(g)) << size;
        EXPECT_EQ(readText(folder + "/B_f0.mg"), "localhost  " + folder + "/B_f0 " + size + " " + std::to_string(s.nf) + "\n");
        // Large enough not to leave behind in the scratch area.
        std::remove((folder + "/B_f0").c_str());
        for (std::size_t k = 0; k < g.panels.size(); k++)
            std::remove((folder + "/f" + std::to_string(k)).c_str());
    }
}

TEST(MergeRun, NoFramesGivesAnEmptyMovieAndItsDescriptor)
{
    std::string folder = makeScratchFolder();
    writeBytes(folder + "/f0", Bytes());
    RunOutcome run = runMozaro(folder, {"1", "1", "4", "4", "0", "2", "f0"}, "yes");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, echoText(1, 1, 4, 4, 0, 2) + "Layout of panels:\n  f0\n" +
                           "Resolution of merged and blended movie: 2 2\n" + questionText("B_f0") +
                           "Finished merging and blending movie B_f0\n");
    EXPECT_TRUE(readBytes(folder + "/B_f0").empty());
    EXPECT_EQ(readText(folder + "/B_f0.mg"), "localhost  " + folder + "/B_f0 2 2 0\n");
}

TEST(MergeRun, EmptyOutputFramesStillGoThroughEveryFrame)
{
    std::mt19937 rng(3);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 3, 40, 4, 7);
    RunOutcome run = runMozaro(folder, writeGrid(folder, g), "yes");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(progressText(4) + "Finished merging"), std::string::npos) << run.out;
    EXPECT_TRUE(readBytes(folder + "/B_f0").empty());
    EXPECT_EQ(readText(folder + "/B_f0.mg"), "localhost  " + folder + "/B_f0 0 5 4\n");
}

TEST(MergeRun, OneFileForTwoPanelsShowsTheSameFrameInBoth)
{
    std::mt19937 rng(4);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 5, 3, 3, 1);
    g.panels[1] = g.panels[0];
    writeBytes(folder + "/same", g.panels[0]);
    RunOutcome run = runMozaro(folder, {"2", "1", "5", "3", "3", "1", "same", "same"}, "yes");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/B_same"), modelMovie(g));
}

TEST(MergeRun, AnExistingLongerMovieIsReplacedWhole)
{
    std::mt19937 rng(5);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 2, 2);
    std::vector<std::string> args = writeGrid(folder, g);
    writeBytes(folder + "/B_f0", Bytes(1000, 9));
    RunOutcome run = runMozaro(folder, args, "yes");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/B_f0"), modelMovie(g));
}

TEST(Dialogue, OnlyYesAcceptsAndOnlyNoDeclines)
{
    std::mt19937 rng(6);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 1, 1);
    std::vector<std::string> args = writeGrid(folder, g);
    RunOutcome run = runMozaro(folder, args, "Yes\nye y\n  new1 new2\nyesterday\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, echoText(1, 1, 2, 2, 1, 1) + "Layout of panels:\n  f0\n" +
                           "Resolution of merged and blended movie: 2 2\n" + questionText("B_f0") +
                           questionText("Yes") + questionText("ye") + questionText("y") + questionText("new1") +
                           questionText("new2") + "Finished Frame:    0\nFinished merging and blending movie new2\n");
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"f0", "new2", "new2.mg"}));
    EXPECT_EQ(readBytes(folder + "/new2"), modelMovie(g));
}

TEST(Dialogue, YesForeverStopsAfterAHundredAnswers)
{
    std::string folder = makeScratchFolder();
    std::string answers;
    for (int k = 0; k < 150; k++)
        answers += "y\n";
    RunOutcome run = runMozaro(folder, {"1", "1", "1", "1", "0", "1", "f0"}, answers + "\0abc yes\n");
    std::string expected = echoText(1, 1, 1, 1, 0, 1) + "Layout of panels:\n  f0\n" +
                           "Resolution of merged and blended movie: 1 1\n" + questionText("B_f0");
    for (int k = 1; k < 100; k++)
        expected += questionText("y");
    EXPECT_EQ(run.out, expected + "No yes or no in 100 answers; scripts can accept with -y or name the movie with -o NAME\n"
                                  "Stopping\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(listFolder(folder).empty());
}

TEST(Dialogue, AnAnswerHoldingANulByteIsAskedAgain)
{
    std::mt19937 rng(12);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 1, 1, 2, 2, 1, 1);
    std::vector<std::string> args = writeGrid(folder, g);
    RunOutcome run = runMozaro(folder, args, std::string("ab\0c yes\n", 9));
    EXPECT_EQ(run.out, echoText(1, 1, 2, 2, 1, 1) + "Layout of panels:\n  f0\n" +
                           "Resolution of merged and blended movie: 2 2\n" + questionText("B_f0") +
                           "That name holds a NUL byte; please give another one\n" + questionText("B_f0") +
                           progressText(1) + "Finished merging and blending movie B_f0\n");
    EXPECT_EQ(run.status, 0);
}

// -o NAME and -y before the numbers: no question, no standard input.
TEST(Options, ScriptsNameOrAcceptTheMovieWithoutTheDialogue)
{
    struct OptionRun {
        std::vector<std::string> options;
        std::string name;      // the movie that must be written
    };
    const OptionRun runs[] = {
        {{"-y"}, "B_f0"},
        {{"--yes"}, "B_f0"},
        {{"-o", "north_wall.rgb"}, "north_wall.rgb"},   // a dialogue would read "no..."
        {{"--output", "my movie"}, "my movie"},         // a dialogue would take "movie"
        {{"-y", "-o", "yes"}, "yes"},
    };
    std::mt19937 rng(13);
    for (const OptionRun& r : runs) {
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, 3, 2, 2, 1);
        std::vector<std::string> args = r.options;
        for (const std::string& word : writeGrid(folder, g))
            args.push_back(word);
        RunOutcome run = runMozaro(folder, args, "no\n");
        EXPECT_EQ(run.out, echoText(2, 1, 3, 2, 2, 1) + "Layout of panels:\n  f0  f1\n" +
                               "Resolution of merged and blended movie: 6 2\n" +
                               "Name of merged and blended movie will be: " + r.name + "\n" + progressText(2) +
                               "Finished merging and blending movie " + r.name + "\n")
            << r.name;
        EXPECT_EQ(run.status, 0) << r.name;
        EXPECT_EQ(readBytes(folder + "/" + r.name), modelMovie(g)) << r.name;
        EXPECT_EQ(readText(folder + "/" + r.name + ".mg"), "localhost  " + folder + "/" + r.name + " 6 2 2\n");
    }
}

TEST(Options, ANameThatCannotBeTheMovieStopsTheRun)
{
    const std::string start = echoText(1, 1, 1, 1, 0, 1) + "Layout of panels:\n  f0\n" +
                              "Resolution of merged and blended movie: 1 1\n";
    const std::string tooLong(253, 'n');
    const StopCase cases[] = {
        {"an input's name", {"-o", "./f0", "1", "1", "1", "1", "0", "1", "f0"}, "",
         start + "Name of merged and blended movie will be: ./f0\n" +
             "./f0 is one of the input movies; please give another name\nStopping\n",
         1},
        {"a name of 253 bytes", {"-o", tooLong, "1", "1", "1", "1", "0", "1", "f0"}, "",
         start + "Name of merged and blended movie will be: " + tooLong + "\n" +
             "That name is longer than 252 bytes; please give a shorter one\nStopping\n",
         1},
        {"a directory", {"--output", "sub", "1", "1", "1", "1", "0", "1", "f0"}, "",
         start + "Name of merged and blended movie will be: sub\n" +
             "Could not create output movie sub: Is a directory\nStopping\n",
         1},
        {"-o without a name", {"1", "1", "1", "1", "0", "1", "f0", "-o"}, "",
         echoText(1, 1, 1, 1, 0, 1) + "You have specified ntx*nty = 1 panels.\n"
                                      "However, you have specified 2 files on the input line.\n"
                                      "You need to input one movie file per panel.\nStopping\n",
         1},
        {"an option without its name", {"-y", "-o"}, "", "-o (argument 2) needs the movie's name after it\nStopping\n", 1},
        {"an option after the numbers", {"1", "1", "1", "1", "0", "-y", "f0"}, "",
         "ntx  =    1\nnty  =    1\nnx   =    1\nny   =    1\nnf   =    0\n"
         "nBlend (argument 6) is not a number: \"-y\"\nStopping\n",
         1},
        {"options and too few numbers", {"-y", "1", "1", "1", "1", "0", "1"}, "", usageLines, 1},
    };
    for (const StopCase& c : cases) {
        std::string folder = makeScratchFolder();
        writeBytes(folder + "/f0", Bytes());
        mkdir((folder + "/sub").c_str(), 0777);
        RunOutcome run = runMozaro(folder, c.args, c.input);
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"f0", "sub"})) << c.what;
    }
}

TEST(Dialogue, DefaultNameKeepsTheFirstFilesDirectoryPart)
{
    std::string folder = makeScratchFolder();
    RunOutcome run = runMozaro(folder, {"1", "1", "1", "1", "0", "1", "dir/a00"}, "no");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(questionText("B_dir/a00")), std::string::npos) << run.out;
}

}  // namespace
