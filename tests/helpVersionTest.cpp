// --describe, and the companions' --help and --version (Mozaro's own are with the command
// line's cases).
#include <gtest/gtest.h>

#include <regex>

#include "testSupport.h"

namespace {

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
