// --help and --version: honoured only as the single argument; every other command line that
// holds them keeps its ordinary meaning.
#include <gtest/gtest.h>

#include <regex>

#include "testSupport.h"

namespace {

struct OptionCase {
    const char* what;
    std::vector<std::string> args;
    std::string out;
    int status;
};

TEST(HelpAndVersion, AloneTheyAnswerAndExitZero)
{
    std::string folder = makeScratchFolder();
    RunOutcome help = runMozaro(folder, {"--help"}, "");
    // The usage text, then a line on each option.
    EXPECT_EQ(help.out.substr(0, usageLines.size() + 1), usageLines + "\n");
    for (const char* option : {"-o, --output NAME", "-y, --yes", "-j, --jobs N", "--start FIRST", "--step S", "--sync",
                               "--check", "--progress", "--no-progress", "--drop-partial-frame", "--part FILE --at K",
                               "--commit FILE", "--help", "--version"})
        EXPECT_NE(help.out.find("\n    " + std::string(option) + " "), std::string::npos) << option;
    EXPECT_EQ(help.status, 0);

    RunOutcome version = runMozaro(folder, {"--version"}, "");
    EXPECT_EQ(version.out, std::string("Mozaro ") + MOZARO_VERSION + "\n");
    EXPECT_TRUE(std::regex_match(version.out, std::regex("Mozaro [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(listFolder(folder).empty());
}

TEST(HelpAndVersion, AnyOtherCommandLineKeepsItsMeaning)
{
    const OptionCase cases[] = {
        {"--help with another argument", {"--help", "x"}, usageLines, 1},
        {"--version with another argument", {"--version", "--help"}, usageLines, 1},
        {"an argument after --version", {"x", "--version"}, usageLines, 1},
        {"-h", {"-h"}, usageLines, 1},
        {"--HELP", {"--HELP"}, usageLines, 1},
        {"--version=1", {"--version=1"}, usageLines, 1},
        {"blank before --help", {" --help"}, usageLines, 1},
        {"--help in place of a number",
         {"--help", "1", "1", "1", "0", "1", "f0"},
         "ntx (argument 1) is not a number: \"--help\"\nStopping\n",
         1},
        {"a movie named --version",
         {"1", "1", "1", "1", "0", "1", "--version"},
         echoText(1, 1, 1, 1, 0, 1) + "Layout of panels:\n  --version\n" +
             "Resolution of merged and blended movie: 1 1\n" + questionText("B_--version"),
         0},
    };
    for (const OptionCase& c : cases) {
        std::string folder = makeScratchFolder();
        RunOutcome run = runMozaro(folder, c.args, "no\n");
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_TRUE(listFolder(folder).empty()) << c.what;
    }
}

}  // namespace
