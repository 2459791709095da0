// Cases only the Windows build, Mozaro.exe under Wine, has: movie names with drives, rooted
// and mixed separators, and the fault sweep of the Win32 half of the layer. The scratch
// folders are Unix folders; Wine shows them on drive Z:, so /tmp/x is Z:\tmp\x.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "faultSweep.h"
#include "testSystem.h"

namespace {

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
        {windowsFolder.substr(2) + "\\sub\\rooted", "sub/rooted", windowsFolder.substr(2) + "\\sub\\rooted"},
        // Relative to drive Z:'s own current directory, which is the folder itself.
        {"Z:onDrive", "onDrive", "Z:onDrive"},
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
