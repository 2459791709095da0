// The output name: the question and its answers on standard input, and -o NAME and -y, which
// name or accept the movie without asking. Run for both systems.
#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

#include "testSystem.h"

namespace {

typedef std::vector<std::string> Names;

// A run of a 2 x 1 grid (or of `names`' own, declined) answered with `input`.
struct AnswerCase {
    const char* what;
    std::string input;
    std::string after;    // what the run prints after the first question
    int status;
    std::string movie;    // the movie made, or "" for none
    Names names;          // the panels' names, f0 and f1 by default
    Systems systems = bothSystems;
};

std::string accepted(const std::string& movie)
{
    return progressText(1) + "Finished merging and blending movie " + movie + "\n";
}

std::string asked(const Names& names)
{
    std::string text;
    for (const std::string& name : names)
        text += questionText(name);
    return text;
}

std::string yesForever()
{
    std::string answers;
    for (int k = 0; k < 150; k++)
        answers += "y\n";
    return answers + std::string("\0abc yes\n", 9);
}

const std::string tooLong = "That name is longer than 252 bytes; please give a shorter one\n";
const std::string longest(252, 'n');

const AnswerCase answerCases[] = {
    {"only a word that begins with yes accepts", "Yes\nye y\n  new1 new2\nyesterday\n",
     asked({"Yes", "ye", "y", "new1", "new2"}) + accepted("new2"), 0, "new2", {}},
    {"a word that begins with no declines", "nova\n", "", 0, "", {}},
    {"the input ends at the question", "  \n\t", "No answer on standard input\nStopping\n", 1, "", {}},
    {"100 answers without yes or no", yesForever(),
     asked(Names(99, "y")) + "No yes or no in 100 answers; scripts can accept with -y or name the movie with -o NAME\n"
                             "Stopping\n",
     1, "", {}},
    {"an answer holding a NUL byte", std::string("ab\0c yes\n", 9),
     "That name holds a NUL byte; please give another one\n" + questionText("B_f0") + accepted("B_f0"), 0, "B_f0", {}},
    {"names longer than 252 bytes", std::string(300, 'y') + "\n" + std::string(253, 'n') + " " + longest + " yes\n",
     tooLong + questionText("B_f0") + tooLong + questionText("B_f0") + questionText(longest) + accepted(longest), 0,
     longest, {}},
    {"a default name too long from a long first file", "yes no\n", tooLong + questionText("B_" + std::string(251, 'a')),
     0, "", {std::string(251, 'a'), "f1"}},
    {"a default name in the first file's folder, B_ before its last part", "no\n", "", 0, "", {"dir/a00", "f1"}},
    // Saved by an editor that marks its text as UTF-8.
    {"a byte order mark before the first answer", "\xEF\xBB\xBFyes\r\n", accepted("B_f0"), 0, "B_f0", {}},
    {"a name that is not UTF-8", "\xE9t\xE9 yes\n",
     questionText("\xE9t\xE9") + "That name is not UTF-8 text; please give another one\n" + questionText("\xE9t\xE9") +
         "No answer on standard input\nStopping\n",
     1, "", {}, windowsOnly},
    {"Ctrl-Z at the start of a line ends the input", "new\r\n\x1A\r\nyes\r\n",
     questionText("new") + "No answer on standard input\nStopping\n", 1, "", {}, windowsOnly},
};

TEST(Dialogue, AnswersAcceptDeclineRenameOrAreAskedAgain)
{
    std::mt19937 rng(6);
    for (const AnswerCase& c : answerCases) {
        if (!runsHere(c.systems))
            continue;
        std::string folder = makeScratchFolder();
        MovieGrid g = randomGrid(rng, 2, 1, 2, 2, 1, 1);
        const Names names = panelNames(g, c.names);
        if (c.names.empty())
            writeGrid(folder, g);
        RunOutcome run = runMozaro(folder, gridArgs(g, names), c.input);
        const std::size_t folderPart = names[0].rfind('/') + 1;   // 0 where there is none
        const std::string proposed = names[0].substr(0, folderPart) + "B_" + names[0].substr(folderPart);
        EXPECT_EQ(run.out, asPrinted(runStart(g, proposed, names) + c.after)) << c.what;
        EXPECT_EQ(run.status, c.status) << c.what;
        Names left = c.names.empty() ? names : Names{};
        if (!c.movie.empty()) {
            left.push_back(c.movie);
            left.push_back(c.movie + ".mg");
            EXPECT_TRUE(readBytes(folder + "/" + c.movie) == modelMovie(g)) << c.what;
        }
        std::sort(left.begin(), left.end());
        EXPECT_EQ(listFolder(folder), left) << c.what;
    }
}

// The movie or its descriptor may not be an input, however the name is spelt: the question is
// asked again, and a name that is no input is taken.
TEST(Dialogue, OutputNamedAsAnInputIsRefusedHoweverItIsSpelt)
{
    std::mt19937 rng(8);
    std::string folder = makeScratchFolder();
    MovieGrid g = randomGrid(rng, 3, 1, 2, 2, 1, 1);
    writeGrid(folder, g, {"f0", "f1", "q.mg"});
    ASSERT_EQ(symlink("f1", (folder + "/link").c_str()), 0);
    ASSERT_EQ(link((folder + "/f1").c_str(), (folder + "/hard").c_str()), 0);
    writeBytes(folder + "/out", Bytes(5, 1));   // an existing file that is no input may be replaced
    struct Spelling {
        std::string name;
        Systems systems;
    };
    const Spelling spellings[] = {
        {"f0", bothSystems},
        {"./f0", bothSystems},
        {".\\f0", windowsOnly},
        {"F0", windowsOnly},   // names differing in case only are one file there
        {"link", bothSystems},
        {"hard", bothSystems},
        {testSystem().toolPath(folder) + testSystem().separator + "f1", bothSystems},
    };
    std::string answers, expected = runStart(g, "B_f0", {"f0", "f1", "q.mg"});
    for (const Spelling& s : spellings) {
        if (!runsHere(s.systems))
            continue;
        answers += s.name + " yes ";
        expected += questionText(s.name) + s.name + " is one of the input movies; please give another name\n" +
                    questionText(s.name);
    }
    // q is no input, but its descriptor q.mg is.
    expected += questionText("q") + "q.mg is one of the input movies; please give another name\n" + questionText("q") +
                questionText("out") + accepted("out");
    RunOutcome run = runMozaro(folder, gridArgs(g, {"f0", "f1", "q.mg"}), answers + "q yes out yes\n");
    EXPECT_EQ(run.out, asPrinted(expected));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readBytes(folder + "/f0"), g.panels[0]);
    EXPECT_EQ(readBytes(folder + "/f1"), g.panels[1]);
    EXPECT_EQ(readBytes(folder + "/q.mg"), g.panels[2]);
    EXPECT_EQ(listFolder(folder), Names({"f0", "f1", "hard", "link", "out", "out.mg", "q.mg"}));
    EXPECT_EQ(readBytes(folder + "/out"), modelMovie(g));
}

// -o NAME and -y before the numbers: no question, nothing read from standard input.
TEST(NameOptions, ScriptsNameOrAcceptTheMovieWithoutTheDialogue)
{
    struct OptionRun {
        Names options;
        std::string name;   // the movie that must be written
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
        Names args = r.options;
        for (const std::string& word : writeGrid(folder, g))
            args.push_back(word);
        RunOutcome run = runMozaro(folder, args, "no\n");
        EXPECT_EQ(run.out, asPrinted(layoutText(g) + "Name of merged and blended movie will be: " + r.name + "\n" +
                                     progressText(2) + "Finished merging and blending movie " + r.name + "\n"))
            << r.name;
        EXPECT_EQ(run.status, 0) << r.name;
        EXPECT_EQ(readBytes(folder + "/" + r.name), modelMovie(g)) << r.name;
        EXPECT_EQ(readText(folder + "/" + r.name + ".mg"), descriptorOf(folder, r.name, g)) << r.name;
    }
}

// The proposed name goes beside the first panel named, in its folder: B_ before the last
// part of its name. --quiet leaves the frame lines out and nothing else.
TEST(NameOptions, TheProposedNameLiesInTheFirstNamedPanelsFolder)
{
    struct NameRun {
        Names options;
        Names named;        // the panels as the command line names them
        std::string name;   // the movie that must be written
    };
    const NameRun runs[] = {
        {{"-y"}, {"renders/a00", "renders/a01"}, "renders/B_a00"},
        {{"-y", "--quiet"}, {"a00", "a01"}, "B_a00"},
        {{"-y", "--top-first"}, {"top", "bottom"}, "B_top"},
    };
    std::mt19937 rng(14);
    for (const NameRun& r : runs) {
        std::string folder = makeScratchFolder();
        ASSERT_EQ(mkdir((folder + "/renders").c_str(), 0777), 0);
        MovieGrid g = randomGrid(rng, 1, 2, 3, 2, 2, 1);
        const bool topFirst = r.options.back() == "--top-first";
        g.ntx = 2 - topFirst, g.nty = 1 + topFirst;   // two panels across, or one above the other
        Names args = r.options;
        for (const std::string& word : gridArgs(g, r.named))
            args.push_back(word);
        const Names inGridOrder = topFirst ? Names{r.named[1], r.named[0]} : r.named;
        for (std::size_t k = 0; k < 2; k++)
            writeBytes(folder + "/" + inGridOrder[k], g.panels[k]);
        RunOutcome run = runMozaro(folder, args, "no\n");
        const bool quiet = r.options.back() == "--quiet";
        EXPECT_EQ(run.out, asPrinted(layoutText(g, inGridOrder) + "Name of merged and blended movie will be: " + r.name +
                                     "\n" + (quiet ? "" : progressText(2)) + "Finished merging and blending movie " +
                                     r.name + "\n"))
            << r.name;
        EXPECT_EQ(run.status, 0) << r.name;
        EXPECT_TRUE(fileExists(folder + "/" + r.name) && readBytes(folder + "/" + r.name) == modelMovie(g)) << r.name;
    }
}

TEST(NameOptions, ANameThatCannotBeTheMovieStopsTheRun)
{
    struct StopCase {
        const char* what;
        Names args;
        std::string out;
        Systems systems = bothSystems;
    };
    const MovieGrid g{1, 1, 1, 1, 0, 1, {}};
    const std::string named = layoutText(g) + "Name of merged and blended movie will be: ";
    const std::string tooLongName(253, 'n');
    const StopCase cases[] = {
        {"an empty name", {"-o", "", "1", "1", "1", "1", "0", "1", "f0"},
         named + "\nThat name is empty; please give another one\nStopping\n"},
        // The run's messages would go into the movie (standard output is a file here).
        {"standard output", {"-o", "/dev/stdout", "1", "1", "1", "1", "0", "1", "f0"},
         named + "/dev/stdout\n/dev/stdout is standard output, where the run's messages go; please give another "
                 "name\nStopping\n",
         posixOnly},
        {"an input's name", {"-o", "./f0", "1", "1", "1", "1", "0", "1", "f0"},
         named + "./f0\n./f0 is one of the input movies; please give another name\nStopping\n"},
        {"a name of 253 bytes", {"-o", tooLongName, "1", "1", "1", "1", "0", "1", "f0"},
         named + tooLongName + "\n" + tooLong + "Stopping\n"},
        {"-o without a name", {"1", "1", "1", "1", "0", "1", "f0", "-o"},
         echoText(1, 1, 1, 1, 0, 1) + "You have specified ntx*nty = 1 panels.\n"
                                      "However, you have specified 2 files on the input line.\n"
                                      "You need to input one movie file per panel.\nStopping\n"},
        {"an option without its name", {"-y", "-o"}, "-o (argument 2) needs the movie's name after it\nStopping\n"},
        {"an option after the numbers", {"1", "1", "1", "1", "0", "-y", "f0"},
         "ntx  =    1\nnty  =    1\nnx   =    1\nny   =    1\nnf   =    0\n"
         "nBlend (argument 6) is not a number: \"-y\"\nStopping\n"},
        {"options and too few numbers", {"-y", "1", "1", "1", "1", "0", "1"}, usageLines},
    };
    for (const StopCase& c : cases) {
        if (!runsHere(c.systems))
            continue;
        std::string folder = makeScratchFolder();
        writeBytes(folder + "/f0", Bytes());
        RunOutcome run = runMozaro(folder, c.args, "");
        EXPECT_EQ(run.out, asPrinted(c.out)) << c.what;
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(listFolder(folder), Names({"f0"})) << c.what;
    }
}

}  // namespace
