// The command line as the built tool reads it: every refusal word for word, values at their
// limits taken all the way to a movie, and --help and --version. Run for both systems.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "testSystem.h"

namespace {

// A command line that stops, or is declined, before anything is created.
struct StopCase {
    const char* what;
    std::vector<std::string> args;
    std::string input;   // standard input
    std::string out;     // all of standard output
    int status;
};

void expectStopsCreatingNothing(const StopCase& c)
{
    std::string folder = makeScratchFolder();
    RunOutcome run = runMozaro(folder, c.args, c.input);
    EXPECT_EQ(run.out, asPrinted(c.out)) << c.what;
    EXPECT_EQ(run.status, c.status) << c.what;
    EXPECT_TRUE(listFolder(folder).empty()) << c.what;
}

// The numbers followed by the names f0, f1, ... of `files` movies.
std::vector<std::string> withFiles(std::vector<std::string> numbers, int files)
{
    for (int k = 0; k < files; k++)
        numbers.push_back("f" + std::to_string(k));
    return numbers;
}

std::string declined(const MovieGrid& grid, std::vector<std::string> names = {})
{
    return runStart(grid, "B_" + (names.empty() ? std::string("f0") : names[0]), names);
}

MovieGrid grid(int ntx, int nty, int nx, int ny, int nf, int nBlend)
{
    return MovieGrid{ntx, nty, nx, ny, nf, nBlend, {}};
}

std::string fileCount(long long panels, int files)
{
    return "You have specified ntx*nty = " + std::to_string(panels) +
           " panels.\n"
           "However, you have specified " +
           std::to_string(files) +
           " files on the input line.\n"
           "You need to input one movie file per panel.\n"
           "Stopping\n";
}

// Each limit's message once; the bounds themselves, both sides of each, are the unit tests'
// (RunLimits, ParseDecimal).
const StopCase stopCases[] = {
    {"no arguments", {}, "", usageLines, 1},
    {"six numbers and no file", {"1", "1", "1", "1", "1", "1"}, "", usageLines, 1},
    {"four panels, three files", {"2", "2", "4", "4", "1", "1", "a", "b", "c"}, "",
     echoText(2, 2, 4, 4, 1, 1) + fileCount(4, 3), 1},
    {"panel count beyond 32 bits", {"65536", "65536", "4", "4", "1", "1", "a"}, "",
     "ntx  = 65536\nnty  = 65536\nnx   =    4\nny   =    4\nnf   =    1\nnb   =    1\n" + fileCount(4294967296, 1), 1},
    // No panels can never match a file count; a negative count of each makes one panel that
    // the limits must still refuse.
    {"no panels across", withFiles({"0", "1", "1", "1", "1", "1"}, 1), "", echoText(0, 1, 1, 1, 1, 1) + fileCount(0, 1),
     1},
    {"minus one panel across and down", withFiles({"-1", "-1", "1", "1", "1", "1"}, 1), "",
     echoText(-1, -1, 1, 1, 1, 1) + "ntx = -1 is out of range; allowed: 1 to 100\nStopping\n", 1},
    {"three by two layout, top row first", gridArgs(grid(3, 2, 1, 1, 0, 1), {"f0", "f1", "f2", "f3", "f4", "f5"}),
     "no\n", declined(grid(3, 2, 1, 1, 0, 1)), 0},
    {"truncated output width", withFiles({"3", "1", "100", "10", "0", "7"}, 3), "no",
     declined(grid(3, 1, 100, 10, 0, 7)), 0},
    {"numbers in the forms %d reads", {"  +1", "1px", "0x10", "\t3", "-0", "2", "f0"}, "no",
     "ntx  =    1\nnty  =    1\nnx   =    0\nny   =    3\nnf   =    0\nnb   =    2\n"
     "nx = 0 is out of range; allowed: 1 or more\nStopping\n",
     1},
    {"a word instead of a number", {"2", "abc", "1", "1", "1", "1", "f0", "f1"}, "",
     "ntx  =    2\nnty (argument 2) is not a number: \"abc\"\nStopping\n", 1},
    {"an empty argument", {"", "1", "1", "1", "1", "1", "f0"}, "", "ntx (argument 1) is not a number: \"\"\nStopping\n", 1},
    {"a lone sign", {"1", "1", "1", "1", "1", "-", "f0"}, "",
     "ntx  =    1\nnty  =    1\nnx   =    1\nny   =    1\nnf   =    1\n"
     "nBlend (argument 6) is not a number: \"-\"\nStopping\n",
     1},
    {"one past the 32-bit maximum", {"1", "1", "1", "1", "2147483648", "1", "f0"}, "",
     "ntx  =    1\nnty  =    1\nnx   =    1\nny   =    1\n"
     "nf (argument 5) does not fit a 32-bit integer: \"2147483648\"\nStopping\n",
     1},
    {"101 panels across", withFiles({"101", "1", "1", "1", "1", "1"}, 101), "",
     echoText(101, 1, 1, 1, 1, 1) + "ntx = 101 is out of range; allowed: 1 to 100\nStopping\n", 1},
    {"101 panels down", withFiles({"1", "101", "1", "1", "1", "1"}, 101), "",
     echoText(1, 101, 1, 1, 1, 1) + "nty = 101 is out of range; allowed: 1 to 100\nStopping\n", 1},
    {"no rows in a panel frame", withFiles({"1", "1", "1", "0", "1", "1"}, 1), "",
     echoText(1, 1, 1, 0, 1, 1) + "ny = 0 is out of range; allowed: 1 or more\nStopping\n", 1},
    {"negative frame count", {"1", "1", "1", "1", "-1", "1", "f0"}, "",
     echoText(1, 1, 1, 1, -1, 1) + "nf = -1 is out of range; allowed: 0 or more\nStopping\n", 1},
    {"blend factor one past its limit", {"1", "1", "1", "1", "1", "2902", "f0"}, "",
     echoText(1, 1, 1, 1, 1, 2902) + "nBlend = 2902 is out of range; allowed: 1 to 2901\nStopping\n", 1},
    // The product is printed whole, not wrapped to 32 bits.
    {"a mosaic width beyond 32 bits", withFiles({"100", "1", "1000000000", "1", "1", "1"}, 100), "",
     echoText(100, 1, 1000000000, 1, 1, 1) +
         "Mosaic width nx*ntx = 100000000000 pixels is out of range; allowed: at most 1048576\nStopping\n",
     1},
    {"a mosaic one pixel too tall", {"1", "2", "1", "1073741824", "1", "1", "a", "b"}, "",
     echoText(1, 2, 1, 1073741824, 1, 1) +
         "Mosaic height ny*nty = 2147483648 pixels is out of range; allowed: at most 2147483647\nStopping\n",
     1},
    // Its bytes would pass 2^63: refused before its size is used anywhere.
    {"a movie larger than a 64-bit size", {"1", "1", "1048576", "2147483647", "1366", "1", "f0"}, "yes\n",
     echoText(1, 1, 1048576, 2147483647, 1366, 1) +
         "Movie size nf*3*outWidth*outHeight = 1366 frames of 6755399437910016 bytes is out of range; allowed: at most "
         "9223372036854775807 bytes\nStopping\n",
     1},
    {"a part whose frames would land past a 64-bit size",
     {"--part", "p", "--at", "1000", "1", "1", "1048576", "2147483647", "366", "1", "f0"}, "",
     echoText(1, 1, 1048576, 2147483647, 366, 1) + "--at = 1000 is out of range; allowed: 0 to 999\nStopping\n", 1},
    {"a file name of 256 bytes", {"2", "1", "1", "1", "1", "1", "f0", std::string(256, 'n')}, "",
     echoText(2, 1, 1, 1, 1, 1) + "Movie file name at argument 8 is longer than 255 bytes\nStopping\n", 1},
    {"percent signs in names are printed as they are", {"2", "1", "1", "1", "0", "1", "%d%s%n", "100%"}, "%s%n\nno\n",
     declined(grid(2, 1, 1, 1, 0, 1), {"%d%s%n", "100%"}) + questionText("%s%n"), 0},
    // The options' numbers: read as the six are, checked before them or, for the frame range,
    // with the other limits of the run.
    {"no threads", {"-j", "0", "1", "1", "1", "1", "0", "1", "f0"}, "",
     "-j = 0 is out of range; allowed: 1 to 1024\nStopping\n", 1},
    {"a thread count in words", {"--jobs", "many", "1", "1", "1", "1", "0", "1", "f0"}, "",
     "--jobs (argument 2) is not a number: \"many\"\nStopping\n", 1},
    {"a step without its number", {"--step"}, "", "--step (argument 1) needs a number after it\nStopping\n", 1},
    {"a first frame before frame 0", {"--start", "-1", "1", "1", "1", "1", "0", "1", "f0"}, "",
     echoText(1, 1, 1, 1, 0, 1) + "--start = -1 is out of range; allowed: 0 or more\nStopping\n", 1},
    {"a step of 0", {"--step", "0", "1", "1", "1", "1", "0", "1", "f0"}, "",
     echoText(1, 1, 1, 1, 0, 1) + "--step = 0 is out of range; allowed: 1 or more\nStopping\n", 1},
    // The wall's seams: their words, their limits, and the mosaic they make, in 64 bits.
    {"a gap in words", {"--gap", "wide", "1", "1", "1", "1", "0", "1", "f0"}, "",
     "--gap (argument 2) takes X or X,Y, whole numbers of pixels: \"wide\"\nStopping\n", 1},
    {"a gap with an empty second number", {"--gap", "4,", "1", "1", "1", "1", "0", "1", "f0"}, "",
     "--gap (argument 2) takes X or X,Y, whole numbers of pixels: \"4,\"\nStopping\n", 1},
    {"a colour of five digits", {"--fill", "12345", "1", "1", "1", "1", "0", "1", "f0"}, "",
     "--fill (argument 2) takes a colour as six hex digits, RRGGBB: \"12345\"\nStopping\n", 1},
    {"a gap past its limit", withFiles({"--gap", "65536", "2", "1", "1", "1", "0", "1"}, 2), "",
     echoText(2, 1, 1, 1, 0, 1) + "--gap and --overlap are out of range; allowed: 0 to 65535 pixels each\nStopping\n",
     1},
    {"gaps and overlaps together", withFiles({"--gap", "1", "--overlap", "1", "2", "1", "4", "4", "0", "1"}, 2), "",
     echoText(2, 1, 4, 4, 0, 1) + "--gap and --overlap cannot be given together\nStopping\n", 1},
    {"an overlap as wide as a panel", withFiles({"--overlap", "4,1", "2", "2", "4", "4", "0", "1"}, 4), "",
     echoText(2, 2, 4, 4, 0, 1) + "--overlap = 4 columns is out of range; allowed: less than nx = 4\nStopping\n", 1},
    {"an overlap as tall as a panel", withFiles({"--overlap", "1,4", "2", "2", "4", "4", "0", "1"}, 4), "",
     echoText(2, 2, 4, 4, 0, 1) + "--overlap = 4 rows is out of range; allowed: less than ny = 4\nStopping\n", 1},
    {"gaps that make a mosaic too wide", withFiles({"--gap", "65535,0", "100", "1", "1", "1", "0", "1"}, 100), "",
     echoText(100, 1, 1, 1, 0, 1) +
         "Mosaic width with its seams = 6488065 pixels is out of range; allowed: at most 1048576\nStopping\n",
     1},
};

TEST(CommandLine, StopsWithExactOutputAndCreatesNothing)
{
    for (const StopCase& c : stopCases)
        expectStopsCreatingNothing(c);
}

// Values exactly at the limits: the whole run goes through, with no frames and empty inputs,
// to an empty movie and its descriptor.
struct BoundCase {
    const char* what;
    MovieGrid grid;
    std::vector<std::string> names;   // one for each panel
};

std::vector<std::string> repeated(const std::string& name, int times)
{
    return std::vector<std::string>(std::size_t(times), name);
}

TEST(CommandLine, LimitsAtTheirBoundsAreAccepted)
{
    const BoundCase cases[] = {
        // One file for every panel keeps the command line within what Windows passes on;
        // each panel still has a file of its own open.
        {"100 x 100 panels of 1 x 1 pixel, blend 2901", grid(100, 100, 1, 1, 0, 2901), repeated("f", 10000)},
        {"the widest mosaic", grid(1, 1, 1048576, 1, 0, 1), {"f0"}},
        {"the tallest mosaic", grid(1, 1, 1, 2147483647, 0, 1), {"f0"}},
        {"names of 250 and 255 bytes", grid(2, 1, 1, 1, 0, 1), {std::string(250, 'a'), std::string(255, 'b')}},
    };
    for (const BoundCase& c : cases) {
        std::string folder = makeScratchFolder();
        for (const std::string& name : c.names)
            writeBytes(folder + "/" + name, Bytes());
        const std::string movie = "B_" + c.names[0];
        RunOutcome run = runMozaro(folder, gridArgs(c.grid, c.names), "yes\n");
        EXPECT_EQ(run.out, asPrinted(runStart(c.grid, movie, c.names) + "Finished merging and blending movie " + movie + "\n"))
            << c.what;
        EXPECT_EQ(run.status, 0) << c.what;
        std::vector<std::string> left = c.names;
        left.push_back(movie);
        left.push_back(movie + ".mg");
        std::sort(left.begin(), left.end());
        left.erase(std::unique(left.begin(), left.end()), left.end());
        EXPECT_EQ(listFolder(folder), left) << c.what;
        EXPECT_TRUE(readBytes(folder + "/" + movie).empty()) << c.what;
        EXPECT_EQ(readText(folder + "/" + movie + ".mg"), descriptorOf(folder, movie, c.grid)) << c.what;
    }
}

// --check: every check of a run, then what the merge would make and need; nothing made. A
// check that meets a stop says it, as the run would.
TEST(CommandLine, CheckSaysWhatAMergeWouldMakeAndCreatesNothing)
{
    std::mt19937 rng(42);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 6, 4, 5, 2);
    writeGrid(folder, g);
    const std::string start =
        layoutText(MovieGrid{2, 1, 6, 4, 3, 2, {}}) + "Name of merged and blended movie will be: B_f0\n";
    RunOutcome passed = runMozaro(folder, {"--check", "-j", "2", "--start", "1", "--step", "1", "2", "1", "6", "4", "3",
                                           "2", "f0", "f1"},
                                  "");
    EXPECT_EQ(passed.status, 0);
    const std::string summary = asPrinted(start + "Movie: B_f0, 3 frames of 6 x 2 pixels, 108 bytes\n"
                                          "Frames read: 1 to 3 of every panel, every 1\n"
                                          "Panel movies: 2 regular files holding 5 to 5 whole frames\n"
                                          "Room: ");
    EXPECT_EQ(passed.out.rfind(summary, 0), 0u) << passed.out;
    // The movie and its descriptor, which takes a block of the file system; whose free space.
    std::smatch room;
    ASSERT_TRUE(std::regex_search(passed.out, room,
                                  std::regex("\nRoom: ([0-9]+) bytes needed, [0-9]+ bytes free to (this user|root, the "
                                             "blocks kept back for the administrator included)\r?\n")))
        << passed.out;
    EXPECT_GE(std::stoll(room[1]), 108 + (long long)descriptorOf(folder, "B_f0", MovieGrid{2, 1, 6, 4, 3, 2, {}}).size());
    EXPECT_LE(std::stoll(room[1]), 108 + 65536);
    EXPECT_NE(passed.out.find(asPrinted(" bytes of frame buffers for 2 threads\nCheck passed: the merge would start\n")),
              std::string::npos)
        << passed.out;
    // The seams and the rounding, where asked for.
    RunOutcome wall = runMozaro(folder, {"--check", "--gap", "2,0", "--fill", "ff8000", "--round", "2", "1", "6", "4",
                                         "3", "2", "f0", "f1"},
                                "");
    EXPECT_NE(wall.out.find(asPrinted("Movie: B_f0, 3 frames of 7 x 2 pixels, 126 bytes\n"
                                      "Mosaic: 14 x 4 pixels, gaps of 2 columns and 0 rows filled with FF8000\n"
                                      "Means: rounded to the nearest value\n")),
              std::string::npos)
        << wall.out;
    RunOutcome overlapping = runMozaro(folder, {"--check", "--overlap", "3", "2", "1", "6", "4", "3", "2", "f0", "f1"}, "");
    EXPECT_NE(overlapping.out.find(asPrinted("Movie: B_f0, 3 frames of 4 x 2 pixels, 72 bytes\n"
                                             "Mosaic: 9 x 4 pixels, neighbours overlapping by 3 columns and 3 rows\n")),
              std::string::npos)
        << overlapping.out;
    RunOutcome failed = runMozaro(folder, {"--check", "2", "1", "6", "4", "6", "2", "f0", "f1"}, "");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, asPrinted(layoutText(MovieGrid{2, 1, 6, 4, 6, 2, {}}) +
                                    "Name of merged and blended movie will be: B_f0\n"
                                    "Input movie f0 holds only 5 whole frames of the 6 needed\nStopping\n"));
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"f0", "f1"}));
}

// For programs: standard output holds key=value lines alone, the messages go to standard
// error, and the last line names the kind of stop, one word for each.
TEST(Porcelain, KeysOnStandardOutputAndTheKindOfStopLast)
{
    std::mt19937 rng(43);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 2, 1, 6, 4, 5, 2);
    writeGrid(folder, g);
    struct Row {
        std::vector<std::string> args;
        std::string input;
        std::string stop;
        int status;
    };
    const Row rows[] = {
        {{"--check", "-j", "2", "2", "1", "6", "4", "3", "2", "f0", "f1"}, "", "none", 0},
        {{"-o", "m", "2", "1", "6", "4", "3", "2", "f0", "f1"}, "", "none", 0},
        {{"2", "1", "6", "4", "3", "2", "f0", "f1"}, "no\n", "declined", 0},
        {{"2", "1", "6", "4", "3", "2", "f0", "f1"}, "", "answer", 1},
        {{"-j", "x", "2", "1", "6", "4", "3", "2", "f0", "f1"}, "", "option", 1},
        {{"2", "1", "6", "4", "3"}, "", "usage", 1},
        {{"2", "one", "6", "4", "3", "2", "f0", "f1"}, "", "number", 1},
        {{"2", "1", "6", "4", "3", "2", "f0"}, "", "fileCount", 1},
        {{"2", "1", "6", "4", "3", "2902", "f0", "f1"}, "", "limit", 1},
        {{"-o", "f0", "2", "1", "6", "4", "3", "2", "f0", "f1"}, "", "name", 1},
        {{"-o", "n", "2", "1", "6", "4", "6", "2", "f0", "f1"}, "", "input", 1},
        {{"-o", "n", "--commit", "f0", "2", "1", "6", "4", "3", "2", "f0", "f1"}, "", "part", 1},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"--porcelain"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        RunOutcome run = runMozaro(folder, args, row.input);
        EXPECT_EQ(run.status, row.status) << row.stop;
        const std::string last = asPrinted("stop=" + row.stop + "\n");
        EXPECT_TRUE(run.out.size() >= last.size() && run.out.compare(run.out.size() - last.size(), last.size(), last) == 0)
            << row.stop << ": " << run.out;
        EXPECT_TRUE(std::regex_match(run.out, std::regex("([A-Za-z]+=[^\n]*\n)+"))) << run.out;
        // Every stop's own lines, on standard error (the usage text has no "Stopping").
        if (row.status == 1) {
            EXPECT_NE(run.err.find(row.stop == "usage" ? "usage: Mozaro" : "Stopping"), std::string::npos)
                << row.stop << ": " << run.err;
        }
    }
    RunOutcome check = runMozaro(folder, {"--porcelain", "--check", "-j", "2", "2", "1", "6", "4", "3", "2", "f0", "f1"}, "");
    EXPECT_EQ(check.out.rfind(asPrinted("movie=B_f0\ndescriptor=B_f0.mg\nwidth=6\nheight=2\nframes=3\nbytes=108\n"
                                        "mosaicWidth=12\nmosaicHeight=4\nfirstFrame=0\nlastFrame=2\nframeStep=1\n"
                                        "fewestFrames=5\nstreams=0\nmemoryPerThread="),
                              0),
              0u)
        << check.out;
    EXPECT_NE(check.out.find(asPrinted("\nthreads=2\nroomNeeded=")), std::string::npos) << check.out;
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"f0", "f1", "m", "m.mg"}));
}

TEST(HelpAndVersion, AloneTheyAnswerAndExitZero)
{
    std::string folder = makeScratchFolder();
    RunOutcome help = runMozaro(folder, {"--help"}, "");
    // The usage text, then a line on each option.
    EXPECT_EQ(help.out.substr(0, asPrinted(usageLines + "\n").size()), asPrinted(usageLines + "\n"));
    for (const char* option : {"-o, --output NAME", "-y, --yes", "-j, --jobs N", "--start FIRST", "--step S", "--sync",
                               "--check", "--progress", "--no-progress", "--drop-partial-frame", "--part FILE --at K",
                               "--commit FILE", "--top-first", "--gap X[,Y]", "--fill RRGGBB", "--overlap X[,Y]",
                               "--round", "--quiet", "--porcelain", "--help", "--version"})
        EXPECT_NE(help.out.find(asPrinted("\n    " + std::string(option) + " ")), std::string::npos) << option;
    EXPECT_EQ(help.status, 0);

    RunOutcome version = runMozaro(folder, {"--version"}, "");
    EXPECT_EQ(version.out, asPrinted(std::string("Mozaro ") + MOZARO_VERSION + "\n"));
    EXPECT_TRUE(std::regex_match(std::string(MOZARO_VERSION), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+"))) << MOZARO_VERSION;
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(listFolder(folder).empty());
}

TEST(HelpAndVersion, AnyOtherCommandLineKeepsItsMeaning)
{
    const StopCase cases[] = {
        {"--help with another argument", {"--help", "x"}, "no\n", usageLines, 1},
        {"--version with another argument", {"--version", "--help"}, "no\n", usageLines, 1},
        {"an argument after --version", {"x", "--version"}, "no\n", usageLines, 1},
        {"-h", {"-h"}, "no\n", usageLines, 1},
        {"--HELP", {"--HELP"}, "no\n", usageLines, 1},
        {"--version=1", {"--version=1"}, "no\n", usageLines, 1},
        {"blank before --help", {" --help"}, "no\n", usageLines, 1},
        {"--help in place of a number", {"--help", "1", "1", "1", "0", "1", "f0"}, "no\n",
         "ntx (argument 1) is not a number: \"--help\"\nStopping\n", 1},
        {"a movie named --version", {"1", "1", "1", "1", "0", "1", "--version"}, "no\n",
         declined(grid(1, 1, 1, 1, 0, 1), {"--version"}), 0},
    };
    for (const StopCase& c : cases)
        expectStopsCreatingNothing(c);
}

}  // namespace
