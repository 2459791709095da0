// The README's three merges, run as they stand on the generated sample: each command its
// blocks show prints what the README shows, "..." standing for lines left out and <folder>
// for the sample's folder. The private cluster's start and stop lines are the tests' own
// cluster's to make; a merge whose programs or cluster cannot be had here is skipped, saying so.
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "slurmCluster.h"
#include "testSupport.h"

namespace {

struct Command {
    std::string line;                    // after "$ "
    std::vector<std::string> expected;   // the lines the README shows after it
};

// The commands of every code block in the README's section `heading`.
std::vector<std::vector<Command>> blocksOf(const std::string& heading)
{
    std::ifstream readme(MOZARO_SOURCE_DIR "/README.md");
    std::vector<std::vector<Command>> blocks;
    bool inSection = false, inBlock = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0)
            inSection = line == "## " + heading;
        else if (inSection && line.rfind("```", 0) == 0)
            (inBlock = !inBlock) ? blocks.push_back({}) : void();
        else if (inBlock && line.rfind("$ ", 0) == 0)
            blocks.back().push_back(Command{line.substr(2), {}});
        else if (inBlock && !blocks.back().empty())
            blocks.back().back().expected.push_back(line);
    }
    return blocks;
}

// Whether `out` holds the lines `expected` shows: "..." any number of lines, <folder> any
// path, and for a cluster's job any job number.
bool matches(const std::string& out, const std::vector<std::string>& expected, bool anyJobNumber)
{
    std::string pattern;
    for (const std::string& line : expected) {
        if (line == "...") {
            pattern += "(.*\n)*";
            continue;
        }
        std::string escaped = std::regex_replace(line, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
        escaped = std::regex_replace(escaped, std::regex("<folder>"), ".*");
        if (anyJobNumber)
            escaped = std::regex_replace(escaped, std::regex("(job array |final job |slurm-)[0-9]+"), "$1[0-9]+");
        pattern += escaped + "\n";
    }
    return std::regex_match(out, std::regex(pattern));
}

TEST(Readme, TheThreeMergesRunAsTheyStand)
{
    const std::vector<std::vector<Command>> blocks = blocksOf("Three merges");
    ASSERT_EQ(blocks.size(), 3u);
    const std::string binary = MOZARO_BINARY;
    const std::string built = binary.substr(0, binary.rfind('/'));
    std::string folder = makeScratchFolder();
    ASSERT_EQ(runTool(folder, {built + "/makeSampleMovies", "2", "2", "320", "240", "48", "."}).status, 0);
    std::vector<std::string> skipped;
    for (const std::vector<Command>& block : blocks) {
        for (const Command& command : block) {
            if (command.line.find("tools/slurmCluster.sh") != std::string::npos)
                continue;
            const bool cluster = command.line.rfind("mozaro-slurm", 0) == 0;
            const bool video = command.line.find("ffmpeg") != std::string::npos || command.line.rfind("mozaro-video", 0) == 0;
#ifndef MOZARO_VIDEO
            if (video) {
                skipped.push_back(command.line + " (mozaro-video was not built: no FFmpeg libraries)");
                continue;
            }
#endif
            if (video && runTool(folder, {"sh", "-c", "command -v ffmpeg"}).status != 0) {
                skipped.push_back(command.line + " (FFmpeg is not installed)");
                continue;
            }
            const std::vector<std::string> shell = {"sh", "-c", "PATH='" + built + "':$PATH; " + command.line};
            if (cluster && !slurmCluster().running) {
                skipped.push_back(command.line + " (" + slurmCluster().reason + ")");
                continue;
            }
            ToolOutcome run = cluster ? runInSlurmCluster(folder, shell) : runTool(folder, shell);
            EXPECT_EQ(run.status, 0) << command.line << "\n" << run.err;
            EXPECT_TRUE(matches(run.out, command.expected, cluster)) << command.line << "\n" << run.out;
        }
    }
    EXPECT_TRUE(fileExists(folder + "/B_a00") && fileExists(folder + "/wall.mp4") == skipped.empty());
    for (const std::string& reason : skipped)
        std::printf("skipped: %s\n", reason.c_str());
    if (!skipped.empty())
        GTEST_SKIP() << skipped.size() << " of the README's commands could not run here";
}

}  // namespace
