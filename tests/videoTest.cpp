// FFmpeg around a merge: the README's commands that prepare panel movies, and mozaro-encode's
// videos, checked with ffprobe and one decoded frame. The cases that need FFmpeg are
// skipped, visibly, where it is not installed.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testSupport.h"

namespace {

bool haveFfmpeg()
{
    return runTool(makeScratchFolder(), {"sh", "-c", "command -v ffmpeg && command -v ffprobe"}).status == 0;
}

// Width, height, frame rate and the number of frames decoded, as "34,20,10/1,3\n".
std::string probeVideo(const std::string& folder, const std::string& video)
{
    return runTool(folder, {"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                            "stream=width,height,r_frame_rate,nb_read_frames", "-of", "csv=p=0", video})
        .out;
}

// A merged movie of 33 x 20 pixels whose stored rows 0 to 9, the bottom half, are dark and
// the top half bright, with its descriptor as Mozaro writes it.
void mergeDarkBottomMovie(const std::string& folder)
{
    Bytes frame(3 * 33 * 10, 20);
    frame.resize(3 * 33 * 20, 230);
    Bytes panel;
    for (int k = 0; k < 3; k++)
        panel.insert(panel.end(), frame.begin(), frame.end());
    writeBytes(folder + "/panel", panel);
    ASSERT_EQ(runMozaro(folder, {"1", "1", "33", "20", "3", "1", "panel"}, "yes\n").status, 0);
}

const std::string paddingLine =
    "mozaro-encode: padding 33 x 20 to 34 x 20 with black, since H.264 in yuv420p needs even sides\n";

TEST(MozaroEncode, MakesAnUprightVideoOfEvenSize)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    std::string folder = makeScratchFolder();
    mergeDarkBottomMovie(folder);
    ToolOutcome run = runTool(folder, {MOZARO_ENCODE, "-r", "10", "B_panel.mg"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, paddingLine);
    EXPECT_EQ(probeVideo(folder, "B_panel.mp4"), "34,20,10/1,3\n");
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"B_panel", "B_panel.mg", "B_panel.mp4", "panel"}));
    // libx264 notes its settings in the video: without --crf and --preset, its own defaults.
    const std::string video = readText(folder + "/B_panel.mp4");
    EXPECT_NE(video.find(" crf=23.0 "), std::string::npos);
    EXPECT_NE(video.find(" subme=7 "), std::string::npos);   // medium

    ASSERT_EQ(runTool(folder, {"ffmpeg", "-v", "error", "-nostdin", "-i", "B_panel.mp4", "-frames:v", "1", "-f",
                               "rawvideo", "-pix_fmt", "rgb24", "first.rgb"})
                  .status,
              0);
    Bytes first = readBytes(folder + "/first.rgb");
    ASSERT_EQ(first.size(), 3u * 34 * 20);
    // Decoded top row first: bright above, dark below, the padding column black.
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 34; x++) {
            int value = first[std::size_t(3 * (y * 34 + x))];
            if (x == 33)
                EXPECT_LT(value, 60) << "padding at row " << y;
            else if (y < 10)
                EXPECT_GT(value, 190) << "row " << y << " from the top, column " << x;
            else
                EXPECT_LT(value, 60) << "row " << y << " from the top, column " << x;
        }

    // Again, through a link: the video it leads to is replaced and the link stays.
    ASSERT_EQ(symlink("B_panel.mp4", (folder + "/link.mp4").c_str()), 0);
    run = runTool(folder, {MOZARO_ENCODE, "--crf", "18.5", "--preset", "ultrafast", "B_panel.mg", "link.mp4"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(listFolder(folder),
              (std::vector<std::string>{"B_panel", "B_panel.mg", "B_panel.mp4", "first.rgb", "link.mp4", "panel"}));
    struct stat link;
    EXPECT_TRUE(lstat((folder + "/link.mp4").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
    EXPECT_EQ(probeVideo(folder, "B_panel.mp4"), "34,20,25/1,3\n");
    const std::string again = readText(folder + "/B_panel.mp4");
    EXPECT_NE(again.find(" crf=18.5 "), std::string::npos);
    EXPECT_NE(again.find(" subme=0 "), std::string::npos);   // ultrafast
}

// The command it prints is the one it runs: with FFmpeg at hand, the printed line, run by a
// shell, makes the same video.
TEST(MozaroEncode, WithoutFfmpegPrintsTheCommandItWouldRun)
{
    std::string folder = makeScratchFolder();
    mergeDarkBottomMovie(folder);
    ASSERT_EQ(mkdir((folder + "/my videos").c_str(), 0777), 0);
    const std::vector<std::string> before = listFolder(folder);
    const std::string out = "my videos/it's.mp4";
    ToolOutcome run = runTool(folder, {"env", "FFMPEG=ffmpeg-elsewhere", MOZARO_ENCODE, "B_panel.mg", out});
    const std::string command =
        "ffmpeg-elsewhere -nostdin -y -loglevel error -xerror -f rawvideo -pixel_format rgb24 -video_size 33x20 "
        "-framerate 25 -i file:" + folder + "/B_panel -vf vflip,pad=34:20 -c:v libx264 -pix_fmt yuv420p "
        "-movflags +faststart 'file:my videos/it'\\''s.mp4'";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, paddingLine +
                           "mozaro-encode: cannot find ffmpeg-elsewhere; with FFmpeg installed, this command makes "
                           "the video:\n" +
                           command +
                           "\nInstall FFmpeg with your package manager, for example: sudo apt-get install ffmpeg\n");
    EXPECT_EQ(listFolder(folder), before);
    EXPECT_TRUE(listFolder(folder + "/my videos").empty());
    // The same descriptor with the line end Mozaro writes on Windows.
    writeText(folder + "/../crlf.mg", "localhost  " + folder + "/B_panel 33 20 3\r\n");
    ToolOutcome crlf = runTool(folder, {"env", "FFMPEG=ffmpeg-elsewhere", MOZARO_ENCODE, "../crlf.mg", out});
    EXPECT_EQ(crlf.err, run.err);
    // Quality and speed go to libx264 only when they are given.
    ToolOutcome tuned = runTool(folder, {"env", "FFMPEG=ffmpeg-elsewhere", MOZARO_ENCODE, "--preset", "veryslow",
                                         "--crf", "0", "B_panel.mg", out});
    std::string withBoth = run.err;
    withBoth.replace(withBoth.find(" -pix_fmt yuv420p"), 0, " -crf 0 -preset veryslow");
    EXPECT_EQ(tuned.err, withBoth);

    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed to run the printed command";
    ASSERT_EQ(runTool(folder, {"sh", "-c", "ffmpeg" + command.substr(command.find(' '))}).status, 0);
    EXPECT_EQ(probeVideo(folder, out), "34,20,25/1,3\n");
}

struct RefusalCase {
    const char* what;
    std::vector<std::string> args;
    std::string err;                  // the usage text, or the message after the program's name
    std::string badDescriptor = "";   // the contents of bad.mg
    std::string environment = "";     // a variable for mozaro-encode's environment
};

// Refused before FFmpeg is looked for, so these run everywhere.
TEST(MozaroEncode, RefusesWhatItCannotEncodeAndWritesNothing)
{
    const std::string usage =
        "usage: mozaro-encode [-r RATE] [--crf N] [--preset NAME] MOVIE.mg [OUT.mp4]\n"
        "       mozaro-encode --help | --version\n"
        "    -r, --rate RATE = frames per second, 25 when left out\n"
        "    --crf N         = quality from 0 (lossless) to 51 (worst), libx264's 23 when left out\n"
        "    --preset NAME   = ultrafast, superfast, veryfast, faster, fast, medium, slow, slower,\n"
        "                      veryslow or placebo: slower ones make smaller videos; libx264's\n"
        "                      medium when left out\n"
        "    MOVIE.mg        = descriptor of a merged movie\n"
        "    OUT.mp4         = video to write, the movie's path followed by .mp4 when left out\n";
    const std::string notOneLine = "descriptor bad.mg is not one line \"localhost  PATH WIDTH HEIGHT FRAMES\"";
    const std::string badRate = "rate must be a number of frames per second, such as 25, 29.97 or 30000/1001: ";
    const std::string badCrf = "crf must be a number from 0 to 51, such as 18 or 23.5: ";
    const std::string badPreset = "preset must be one of ultrafast, superfast, veryfast, faster, fast, medium, slow, "
                                  "slower, veryslow or placebo: ";
    const RefusalCase cases[] = {
        {"no arguments", {}, usage},
        {"three arguments", {"movie.mg", "out.mp4", "x"}, usage},
        {"a rate without its number", {"-r"}, usage},
        {"a preset without its name", {"--preset"}, usage},
        {"an unknown option", {"-x", "movie.mg"}, usage},
        {"a rate in words", {"--rate", "fast", "movie.mg"}, badRate + "\"fast\""},
        {"a rate of 0", {"-r", "0.0", "movie.mg"}, badRate + "\"0.0\""},
        {"a negative rate", {"-r", "-5", "movie.mg"}, badRate + "\"-5\""},
        {"a rate with two fractions", {"-r", "1/2/3", "movie.mg"}, badRate + "\"1/2/3\""},
        {"a rate of one over zero", {"-r", "1/0", "movie.mg", "old.mp4"}, badRate + "\"1/0\""},
        {"a rate of zero over one", {"-r", "0/1", "movie.mg", "old.mp4"}, badRate + "\"0/1\""},
        {"a crf without its number", {"--crf"}, usage},
        {"a crf beyond 51", {"--crf", "51.5", "movie.mg", "old.mp4"}, badCrf + "\"51.5\""},
        {"a negative crf", {"--crf", "-1", "movie.mg"}, badCrf + "\"-1\""},
        {"a crf in words", {"--crf", "best", "movie.mg"}, badCrf + "\"best\""},
        {"a crf with two points", {"--crf", "1.2.3", "movie.mg"}, badCrf + "\"1.2.3\""},
        {"an empty crf", {"--crf", "", "movie.mg"}, badCrf + "\"\""},
        {"a preset libx264 does not have", {"--preset", "quick", "movie.mg", "old.mp4"}, badPreset + "\"quick\""},
        {"a preset in capitals", {"--preset", "Medium", "movie.mg"}, badPreset + "\"Medium\""},
        {"an empty preset", {"--preset", "", "movie.mg"}, badPreset + "\"\""},
        {"a missing descriptor", {"nothing.mg"}, "cannot read descriptor nothing.mg: No such file or directory"},
        {"a folder for a descriptor", {"folder"}, "cannot read descriptor folder: Is a directory"},
        {"two lines", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2\nlocalhost  movie 2 2 2\n"},
        {"no line end", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2"},
        {"another host", {"bad.mg"}, notOneLine, "otherhost  movie 2 2 2\n"},
        {"no path", {"bad.mg"}, notOneLine, "localhost   2 2 2\n"},
        {"a number missing", {"bad.mg"}, notOneLine, "localhost  movie 2 2\n"},
        {"a frame count beyond 31 bits", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2147483648\n"},
        {"a CR inside the line", {"bad.mg"}, notOneLine, "localhost  mo\rvie 2 2 2\n"},
        {"no frames", {"bad.mg"}, "movie movie holds 0 frames of 2 x 2 pixels: there is nothing to show",
         "localhost  movie 2 2 0\n"},
        {"a missing movie", {"bad.mg"}, "cannot open movie nothing: No such file or directory",
         "localhost  nothing 2 2 2\n"},
        {"a movie shorter than its descriptor gives", {"bad.mg"},
         "movie movie holds 24 bytes, not the 36 of 3 frames of 2 x 2 that bad.mg gives",
         "localhost  movie 2 2 3\n"},
        {"a movie shorter than its descriptor gives, in leading zeros", {"bad.mg"},
         "movie movie holds 24 bytes, not the 48 of 4 frames of 2 x 2 that bad.mg gives",
         "localhost  movie 02 002 0004\n"},
        {"the movie through a link as the video", {"movie.mg", "link"}, "the video link would overwrite the movie"},
        {"the descriptor as the video", {"--", "movie.mg", "./movie.mg"},
         "the video ./movie.mg would overwrite the descriptor"},
        {"a video in a missing folder", {"movie.mg", "nowhere/new.mp4"},
         "cannot create nowhere/new.mp4: No such file or directory"},
        {"a video through a link into a missing folder", {"movie.mg", "lost.mp4"},
         "cannot create lost.mp4: No such file or directory"},
        // The Mozaro that reads the descriptor.
        {"MOZARO naming nothing", {"movie.mg", "old.mp4"}, "cannot find nowhere, which MOZARO names", "",
         "MOZARO=nowhere"},
        {"MOZARO naming a program that is no Mozaro", {"movie.mg", "old.mp4"},
         "true is not a Mozaro that can describe a movie (Mozaro --describe MOVIE.mg)", "", "MOZARO=true"},
    };
    std::mt19937 rng(11);
    for (const RefusalCase& c : cases) {
        std::string folder = makeScratchFolder();
        writeBytes(folder + "/movie", randomBytes(2 * 12, rng));   // two frames of 2 x 2
        writeText(folder + "/movie.mg", "localhost  movie 2 2 2\n");
        writeText(folder + "/bad.mg", c.badDescriptor);
        writeText(folder + "/old.mp4", "an earlier video");
        ASSERT_EQ(mkdir((folder + "/folder").c_str(), 0777), 0);
        ASSERT_EQ(symlink("movie", (folder + "/link").c_str()), 0);
        ASSERT_EQ(symlink("nowhere/lost.mp4", (folder + "/lost.mp4").c_str()), 0);
        const std::map<std::string, Bytes> before = folderContents(folder);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), MOZARO_ENCODE);
        if (!c.environment.empty())
            args.insert(args.begin(), {"env", c.environment});
        ToolOutcome run = runTool(folder, args);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.err, c.err == usage ? usage : "mozaro-encode: " + c.err + "\n") << c.what;
        EXPECT_EQ(run.out, "") << c.what;
        EXPECT_EQ(folderContents(folder), before) << c.what;
    }
}

struct FindingMozaroCase {
    const char* what;
    std::string program;       // the path of mozaro-encode to run
    std::string environment;   // the variables it is given besides FFMPEG
    std::string err;           // "" for the printed command
};

// Mozaro reads the descriptor: the one beside mozaro-encode (where a link to it leads), else
// the one on the PATH, else the one MOZARO names. Without FFmpeg at hand, the command printed
// shows the path Mozaro gave, blanks and all.
TEST(MozaroEncode, FindsMozaroBesideItselfOnThePathOrByMozaro)
{
    std::string folder = makeScratchFolder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    const std::string built = MOZARO_BINARY;
    const std::string builtFolder = built.substr(0, built.rfind('/'));
    writeBytes(folder + "/my movie", Bytes(2 * 12, 9));
    writeText(folder + "/my movie.mg", "localhost  my movie 2 2 2\n");
    ASSERT_EQ(mkdir((parent + "/alone").c_str(), 0777), 0);
    writeBytes(parent + "/alone/mozaro-encode", readBytes(MOZARO_ENCODE));
    ASSERT_EQ(chmod((parent + "/alone/mozaro-encode").c_str(), 0755), 0);
    ASSERT_EQ(symlink(MOZARO_ENCODE, (parent + "/alone/linked-encode").c_str()), 0);
    const std::string systemPath = "PATH=/usr/bin:/bin";
    const FindingMozaroCase cases[] = {
        {"beside itself", MOZARO_ENCODE, systemPath, ""},
        {"beside where a link to it leads", parent + "/alone/linked-encode", systemPath, ""},
        {"on the PATH", parent + "/alone/mozaro-encode", "PATH=" + builtFolder + ":/usr/bin:/bin", ""},
        {"named by MOZARO", parent + "/alone/mozaro-encode", "MOZARO=" + built, ""},
        {"MOZARO before the one beside it", MOZARO_ENCODE, "MOZARO=true",
         "true is not a Mozaro that can describe a movie (Mozaro --describe MOVIE.mg)"},
        {"nowhere", parent + "/alone/mozaro-encode", systemPath,
         "cannot find Mozaro in " + parent + "/alone or on the PATH; MOZARO in the environment may name it"},
    };
    const std::string command =
        "mozaro-encode: cannot find ffmpeg-elsewhere; with FFmpeg installed, this command makes the video:\n"
        "ffmpeg-elsewhere -nostdin -y -loglevel error -xerror -f rawvideo -pixel_format rgb24 -video_size 2x2 "
        "-framerate 25 -i 'file:my movie' -vf vflip -c:v libx264 -pix_fmt yuv420p -movflags +faststart "
        "'file:my movie.mp4'\n"
        "Install FFmpeg with your package manager, for example: sudo apt-get install ffmpeg\n";
    for (const FindingMozaroCase& c : cases) {
        if (c.what == std::string("nowhere") && (fileExists("/usr/bin/Mozaro") || fileExists("/bin/Mozaro"))) {
            std::cout << "[  SKIPPED ] " << c.what << ": a Mozaro is installed in /usr/bin or /bin\n";
            continue;
        }
        ToolOutcome run = runTool(folder, {"env", "FFMPEG=ffmpeg-elsewhere", c.environment, c.program, "my movie.mg"});
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.err, c.err.empty() ? command : "mozaro-encode: " + c.err + "\n") << c.what;
        EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"my movie", "my movie.mg"})) << c.what;
    }
}

// FFmpeg as it fails: with part of a video written, it either stops with an error or waits,
// to be stopped by a signal. Its process id goes beside it.
const char* const ffmpegCutShort =
    "#!/bin/sh\n"
    "for out; do :; done\n"
    "printf 'part of a video' >\"${out#file:}\"\n"
    "echo $$ >\"$0.pid\"\n"
    "[ \"$FAKE\" = fails ] && exit 1\n"
    "exec sleep 30\n";

struct FailedEncodingCase {
    const char* what;
    std::vector<std::string> args;   // after the program
    std::string video;               // what is there before the run
    std::string lastLine;            // of standard error, after the program's name
    std::string ffmpeg;              // "" for FFmpeg itself, "fails" or "hangs" for ffmpegCutShort
    int signalNumber = 0;            // sent to mozaro-encode once ffmpegCutShort has written
    unsigned long fileLimit = 0;
};

// A run that cannot finish its video leaves the folder as it was: no temporary file, no
// FFmpeg still running, and whatever the video's name held before exactly as it was.
TEST(MozaroEncode, AFailedOrInterruptedEncodingLeavesEveryFileAsItWas)
{
    const FailedEncodingCase cases[] = {
        {"FFmpeg fails after part of the video", {"noise.mg", "noise.mp4"}, "an earlier video",
         "FFmpeg could not make noise.mp4", "fails"},
        {"FFmpeg fails after part of the video, none before", {"noise.mg", "noise.mp4"}, "",
         "FFmpeg could not make noise.mp4", "fails"},
        {"interrupted", {"noise.mg", "noise.mp4"}, "an earlier video", "", "hangs", SIGINT},
        {"terminated", {"noise.mg", "noise.mp4"}, "an earlier video", "", "hangs", SIGTERM},
        {"hung up", {"noise.mg", "noise.mp4"}, "", "", "hangs", SIGHUP},
        // FFmpeg itself.
        {"a file-size limit midway", {"noise.mg", "noise.mp4"}, "an earlier video", "FFmpeg could not make noise.mp4",
         "", 0, 20000},
        {"a panel movie, which has no container's extension", {"noise.mg", "panel"}, "a panel movie",
         "FFmpeg could not make panel", ""},
        {"a text file", {"noise.mg", "notes.txt"}, "notes", "FFmpeg could not make notes.txt", ""},
    };
    std::mt19937 rng(13);
    const Bytes movie = randomBytes(3 * 64 * 48 * 20, rng);
    for (const FailedEncodingCase& c : cases) {
        if (c.ffmpeg.empty() && !haveFfmpeg()) {
            std::cout << "[  SKIPPED ] " << c.what << ": FFmpeg is not installed\n";
            continue;
        }
        std::string folder = makeScratchFolder();
        const std::string parent = folder.substr(0, folder.rfind('/'));
        writeBytes(folder + "/noise", movie);
        writeText(folder + "/noise.mg", "localhost  noise 64 48 20\n");
        const std::string video = c.args.back();
        if (!c.video.empty())
            writeText(folder + "/" + video, c.video);
        writeText(parent + "/ffmpeg", ffmpegCutShort);
        ASSERT_EQ(chmod((parent + "/ffmpeg").c_str(), 0755), 0);
        const std::map<std::string, Bytes> before = folderContents(folder);

        std::vector<std::string> args = {"env", "FAKE=" + c.ffmpeg, MOZARO_ENCODE};
        if (!c.ffmpeg.empty())
            args.insert(args.begin() + 1, "FFMPEG=" + parent + "/ffmpeg");
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunOutcome run;
        if (c.signalNumber == 0) {
            ToolOutcome done = runTool(folder, args, c.fileLimit);
            run = RunOutcome{done.status, done.out, done.err};
        } else {
            StartedRun started = startTool(folder, args);
            for (int attempt = 0; attempt < 20000 && !fileExists(parent + "/ffmpeg.pid"); attempt++)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            kill(started.pid, c.signalNumber);
            run = waitForMozaro(started);
        }
        if (c.signalNumber == 0) {
            EXPECT_EQ(run.status, 1) << c.what;
            const std::string last = "mozaro-encode: " + c.lastLine + "\n";
            EXPECT_TRUE(run.err.size() >= last.size() && run.err.substr(run.err.size() - last.size()) == last)
                << c.what << ": " << run.err;
        } else {
            EXPECT_EQ(run.status, 128 + c.signalNumber) << c.what;
            EXPECT_EQ(run.err, "") << c.what;
        }
        EXPECT_EQ(run.out, "") << c.what;
        EXPECT_EQ(folderContents(folder), before) << c.what;
        if (fileExists(parent + "/ffmpeg.pid")) {
            const int ffmpeg = std::stoi(readText(parent + "/ffmpeg.pid"));
            if (kill(ffmpeg, 0) == 0) {
                ADD_FAILURE() << c.what << ": FFmpeg goes on";
                kill(ffmpeg, SIGKILL);
            }
        }
    }
}

// Links planted under the names of a temporary file of this run (its process id, which the
// shell that plants them hands on by exec) are neither written through nor put in place.
TEST(MozaroEncode, LinksPlantedWhereItsTemporaryFileCouldBeAreLeftAlone)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    std::string folder = makeScratchFolder();
    mergeDarkBottomMovie(folder);
    ToolOutcome run = runTool(folder, {"sh", "-c",
                                       "for n in 0 1 2; do ln -s /dev/null .mozaro-encode-$$-$n.mp4 && ln -s nowhere "
                                       ".mozaro-encode-$$-$n || exit; done; exec \"$0\" \"$@\"",
                                       MOZARO_ENCODE, "B_panel.mg"});
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat video;
    ASSERT_EQ(lstat((folder + "/B_panel.mp4").c_str(), &video), 0);
    EXPECT_TRUE(S_ISREG(video.st_mode));
    EXPECT_EQ(probeVideo(folder, "B_panel.mp4"), "34,20,25/1,3\n");
    int planted = 0;
    for (const std::string& name : listFolder(folder)) {
        if (name.rfind(".mozaro-encode-", 0) != 0)
            continue;
        char to[64] = {};
        EXPECT_GT(readlink((folder + "/" + name).c_str(), to, sizeof to - 1), 0) << name;
        EXPECT_TRUE(std::string(to) == "/dev/null" || std::string(to) == "nowhere") << name << " -> " << to;
        planted++;
    }
    EXPECT_EQ(planted, 6);
}

// A link of another user, planted under the video's name in a shared folder, is not followed:
// it could lead anywhere this user may write.
TEST(OtherUsers, MozaroEncodeFollowsNoLinkOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant a link as another user";
    std::string folder = makeScratchFolder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    writeBytes(folder + "/movie", Bytes(2 * 12, 7));
    writeText(folder + "/movie.mg", "localhost  movie 2 2 2\n");
    writeText(parent + "/precious", "not a video");
    // Planted by nobody in a folder with the sticky bit that everyone may write, as /tmp is.
    ASSERT_EQ(chmod(parent.c_str(), 0711), 0);
    ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
    ChildLimits nobody;
    nobody.userId = 65534;
    ASSERT_EQ(waitForChild(startChild(folder, {"sh", "-c", "ln -s ../precious movie.mp4 && ln -s /dev/null device.mp4"},
                                      "/dev/null", parent + "/plant.out", parent + "/plant.err", nobody))
                  .status, 0) << readText(parent + "/plant.err");
    const std::map<std::string, Bytes> before = folderContents(folder);
    for (const char* video : {"movie.mp4", "device.mp4"}) {
        std::vector<std::string> args = {MOZARO_ENCODE, "movie.mg"};
        if (std::string(video) != "movie.mp4")
            args.push_back(video);
        ToolOutcome run = runTool(folder, args);
        EXPECT_EQ(run.status, 1) << video;
        EXPECT_EQ(run.err, std::string("mozaro-encode: cannot create ") + video +
                               ": it is a symbolic link of another user (nobody), which is not followed\n");
        EXPECT_EQ(folderContents(folder), before) << video;
        EXPECT_EQ(readText(parent + "/precious"), "not a video");
    }
}

// The "Preparing panel movies" commands of docs/video.md, taken from it as they stand: a PNG
// sequence and a lossless video, prepared and merged side by side at nBlend 1, give back
// their pixels, bottom row first.
TEST(PreparingPanelMovies, ReadmeCommandsGiveBackThePixels)
{
    const std::string readme = readText(MOZARO_SOURCE_DIR "/docs/video.md");
    const std::size_t start = readme.find("\n## Preparing panel movies\n");
    ASSERT_NE(start, std::string::npos);
    const std::string section = readme.substr(start, readme.find("\n## ", start + 1) - start);
    std::vector<std::string> commands;
    for (std::size_t at = section.find("\nffmpeg "); at != std::string::npos; at = section.find("\nffmpeg ", at + 1))
        commands.push_back(section.substr(at + 1, section.find('\n', at + 1) - at - 1));
    ASSERT_EQ(commands.size(), 2u) << section;
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";

    // Two panels of 7 x 5 pixels, 3 frames each, as a renderer would write them: top row first.
    std::mt19937 rng(12);
    std::string folder = makeScratchFolder();
    const Bytes rendered[2] = {randomBytes(3 * 7 * 5 * 3, rng), randomBytes(3 * 7 * 5 * 3, rng)};
    writeBytes(folder + "/../rendered0", rendered[0]);
    writeBytes(folder + "/../rendered1", rendered[1]);
    const std::string raw = "ffmpeg -v error -nostdin -f rawvideo -pixel_format rgb24 -video_size 7x5 -i ../rendered";
    ASSERT_EQ(runTool(folder, {"sh", "-c", raw + "0 frame%04d.png"}).status, 0);
    ASSERT_EQ(runTool(folder, {"sh", "-c", raw + "1 -c:v png render.mp4"}).status, 0);
    for (const std::string& command : commands) {
        ToolOutcome run = runTool(folder, {"sh", "-c", command});
        ASSERT_EQ(run.status, 0) << command << ": " << run.err;
    }

    MovieGrid grid{2, 1, 7, 5, 3, 1, {}};
    for (const Bytes& frames : rendered) {
        Bytes panel;
        for (int k = 0; k < 3; k++)
            for (int y = 4; y >= 0; y--) {
                auto row = frames.begin() + 3 * 7 * (5 * k + y);
                panel.insert(panel.end(), row, row + 3 * 7);
            }
        grid.panels.push_back(panel);
    }
    EXPECT_TRUE(readBytes(folder + "/a00") == grid.panels[0]);
    EXPECT_TRUE(readBytes(folder + "/a01") == grid.panels[1]);
    RunOutcome merge = runMozaro(folder, gridArgs(grid, {"a00", "a01"}), "yes\n");
    ASSERT_EQ(merge.status, 0) << merge.out;
    EXPECT_TRUE(readBytes(folder + "/B_a00") == modelMovie(grid));
}

}  // namespace
