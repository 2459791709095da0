// --help and --version: honoured only as the single argument; every other command line that
// holds them keeps its ordinary meaning. --describe and the companions' --help and --version.
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


struct DescribeCase {
    const char* what;
    std::vector<std::string> args;
    std::string out, err;
    int status;
};

// --describe, for scripts: the descriptor's four fields one to a line, the path as it stands.
TEST(Describe, PrintsTheDescriptorsFieldsOneToALine)
{
    const DescribeCase cases[] = {
        {"a descriptor", {"--describe", "../movie.mg"}, "/movies/my  B_a00 \n320\n240\n48\n", "", 0},
        {"a descriptor in CR LF", {"--describe", "../crlf.mg"}, "C:\\movies\\B_a00\n1024\n768\n0\n", "", 0},
        {"a missing descriptor", {"--describe", "nothing.mg"}, "",
         "Mozaro: cannot read descriptor nothing.mg: No such file or directory\n", 1},
        {"a descriptor of two lines", {"--describe", "../twice.mg"}, "",
         "Mozaro: descriptor ../twice.mg is not one line \"localhost  PATH WIDTH HEIGHT FRAMES\"\n", 1},
        {"another argument after it", {"--describe", "../movie.mg", "x"}, usageLines, "", 1},
        {"no descriptor", {"--describe"}, usageLines, "", 1},
    };
    for (const DescribeCase& c : cases) {
        std::string folder = makeScratchFolder();
        writeText(folder + "/../movie.mg", "localhost  /movies/my  B_a00  320 240 48\n");
        writeText(folder + "/../crlf.mg", "localhost  C:\\movies\\B_a00 1024 768 0\r\n");
        writeText(folder + "/../twice.mg", "localhost  m 1 1 1\nlocalhost  m 1 1 1\n");
        RunOutcome run = runMozaro(folder, c.args, "");
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_TRUE(listFolder(folder).empty()) << c.what;
    }
}

struct CompanionCase {
    const char* what;
    std::vector<std::string> args;   // the program first
    std::string out;                 // "usage" for the usage text the program gives on a wrong command line
};

// The companions answer --help on standard output with the usage text they give a wrong
// command line on standard error, and --version with their name and Mozaro's version.
TEST(HelpAndVersion, CompanionsAnswerOnStandardOutputAndExitZero)
{
    std::vector<CompanionCase> cases = {
        {"mozaro-encode --help", {MOZARO_ENCODE, "--help"}, "usage"},
        {"mozaro-encode -h", {MOZARO_ENCODE, "-h"}, "usage"},
        {"mozaro-encode --help after an option", {MOZARO_ENCODE, "-r", "30", "--help", "x.mg"}, "usage"},
        {"mozaro-encode --version", {MOZARO_ENCODE, "--version"}, std::string("mozaro-encode ") + MOZARO_VERSION + "\n"},
    };
#ifdef MOZARO_FRAME
    cases.push_back({"mozaro-frame --help", {MOZARO_FRAME, "--help"}, "usage"});
    cases.push_back({"mozaro-frame --version", {MOZARO_FRAME, "--version"},
                     std::string("mozaro-frame ") + MOZARO_VERSION + "\n"});
#endif
    for (const CompanionCase& c : cases) {
        std::string folder = makeScratchFolder();
        ToolOutcome wrong = runTool(folder, {c.args[0]});
        ASSERT_EQ(wrong.status, 1) << c.what;
        ASSERT_EQ(wrong.err.rfind("usage: ", 0), 0u) << c.what;
        ToolOutcome run = runTool(folder, c.args);
        EXPECT_EQ(run.out, c.out == "usage" ? wrong.err : c.out) << c.what;
        EXPECT_EQ(run.err, "") << c.what;
        EXPECT_EQ(run.status, 0) << c.what;
        EXPECT_TRUE(listFolder(folder).empty()) << c.what;
    }
}

}  // namespace
