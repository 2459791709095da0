// mozaro-video: panel videos and image sequences merged through FFmpeg, Mozaro and FFmpeg
// again, with no raw copy on disk. Its raw movie is checked against the README's route, its
// MP4 with ffprobe and one decoded frame; every run, whatever its end, must leave no process,
// FIFO or temporary file behind. The cases that need FFmpeg are skipped, visibly, where it is
// not installed.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testSupport.h"

namespace {

bool haveFfmpeg()
{
    return runTool(makeScratchFolder(), {"sh", "-c", "command -v ffmpeg && command -v ffprobe"}).status == 0;
}

void ffmpeg(const std::string& folder, const std::string& args)
{
    ToolOutcome run = runTool(folder, {"sh", "-c", "ffmpeg -v error -nostdin -y " + args});
    ASSERT_EQ(run.status, 0) << args << ": " << run.err;
}

// Panel k of a wall: FFmpeg's test picture, its colours turned by 40 degrees per panel, in
// RGB (the picture itself comes in even sizes only).
std::string testPicture(int k, int width, int height, int frames, const std::string& moreFilters = "")
{
    return "-f lavfi -i testsrc2=size=" + std::to_string(width + width % 2) + "x" + std::to_string(height + height % 2) +
           ":rate=25,hue=h=" + std::to_string(40 * k) + ",format=rgb24,crop=" + std::to_string(width) + ":" +
           std::to_string(height) + ":0:0" + moreFilters + " -frames:v " + std::to_string(frames);
}

enum StopWith { runToItsEnd, interruptTheGroup, terminateTheScript };

// Runs mozaro-video in `folder`, in a process group of its own, as a terminal would. With a
// stop, the signal goes out once a temporary file beside the result has frames in it. Every
// run must leave the group empty and the temporary folder it was given (TMPDIR) empty.
RunOutcome runVideo(const std::string& folder, std::vector<std::string> args, StopWith stop = runToItsEnd,
                    const std::vector<std::string>& environment = {})
{
    const std::string parent = folder.substr(0, folder.rfind('/'));
    const std::string temporaryFolder = parent + "/tmp";
    mkdir(temporaryFolder.c_str(), 0777);
    args.insert(args.begin(), MOZARO_VIDEO);
    std::vector<char*> argv;
    for (std::string& word : args)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = open((parent + "/video.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open((parent + "/video.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.c_str()) != 0)
            _exit(126);
        unsetenv("MOZARO");
        setenv("TMPDIR", temporaryFolder.c_str(), 1);
        for (const std::string& setting : environment)
            putenv(const_cast<char*>(setting.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(child, child);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (stop != runToItsEnd && std::chrono::steady_clock::now() < deadline) {
        bool framesFlow = false;
        for (const std::string& name : listFolder(folder)) {
            struct stat st;
            if (name.rfind(".mozaro", 0) == 0 && stat((folder + "/" + name).c_str(), &st) == 0 && st.st_size > 0)
                framesFlow = true;
        }
        if (framesFlow) {
            stop == interruptTheGroup ? kill(-child, SIGINT) : kill(child, SIGTERM);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(kill(-child, 0) != 0 && errno == ESRCH) << "a process of the run is left";
    EXPECT_TRUE(listFolder(temporaryFolder).empty()) << "a temporary folder is left";
    return RunOutcome{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                      readText(parent + "/video.out"), readText(parent + "/video.err")};
}

// Mozaro's merge of the panels decoded as the README prepares panel movies.
Bytes readmeRoute(const std::string& folder, int ntx, int nty, int nx, int ny, int nf, int nBlend,
                  const std::vector<std::string>& panels)
{
    std::vector<std::string> args = {"-o", "readme", std::to_string(ntx), std::to_string(nty), std::to_string(nx),
                                     std::to_string(ny), std::to_string(nf), std::to_string(nBlend)};
    for (std::size_t k = 0; k < panels.size(); k++) {
        ffmpeg(folder, "-i '" + panels[k] + "' -vf vflip -f rawvideo -pix_fmt rgb24 -frames:v " +
                           std::to_string(nf) + " readme" + std::to_string(k));
        args.push_back("readme" + std::to_string(k));
    }
    EXPECT_EQ(runMozaro(folder, args, "").status, 0);
    Bytes merged = readBytes(folder + "/readme");
    for (const std::string& name : listFolder(folder))
        if (name.rfind("readme", 0) == 0)
            unlink((folder + "/" + name).c_str());
    return merged;
}

struct WallCase {
    const char* what;
    int ntx, nty, nx, ny, nBlend;
    std::vector<int> frames;       // each panel's
    bool imageSequences;           // PNG files, else FFV1 videos
};

TEST(MozaroVideo, RawMovieIsTheReadmeRoutesMerge)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    const WallCase cases[] = {
        {"2 x 2 FFV1 videos", 2, 2, 36, 20, 2, {5, 5, 5, 5}, false},
        {"3 x 1 PNG sequences, the last one shorter", 3, 1, 17, 9, 3, {4, 4, 3}, true},
    };
    for (const WallCase& c : cases) {
        std::string folder = makeScratchFolder();
        std::vector<std::string> panels;
        for (std::size_t k = 0; k < c.frames.size(); k++) {
            const std::string name = c.imageSequences ? "seq" + std::to_string(k) : "p" + std::to_string(k) + ".mkv";
            mkdir((folder + "/seq" + std::to_string(k)).c_str(), 0777);
            panels.push_back(c.imageSequences ? name + "/%04d.png" : name);
            ffmpeg(folder, testPicture(int(k), c.nx, c.ny, c.frames[k]) + (c.imageSequences ? "" : " -c:v ffv1") +
                               " '" + panels.back() + "'");
        }
        std::vector<std::string> args = {"--raw", "wall", std::to_string(c.ntx), std::to_string(c.nty),
                                         std::to_string(c.nBlend)};
        args.insert(args.end(), panels.begin(), panels.end());
        RunOutcome run = runVideo(folder, args);
        const int nf = c.frames.back(), width = c.nx * c.ntx / c.nBlend, height = c.ny * c.nty / c.nBlend;
        ASSERT_EQ(run.status, 0) << c.what << ": " << run.out << run.err;
        std::string layout = "Layout of panels:\n";
        for (int i = c.nty - 1; i >= 0; i--) {
            for (int j = 0; j < c.ntx; j++)
                layout += "  " + panels[std::size_t(i * c.ntx + j)];
            layout += "\n";
        }
        EXPECT_EQ(run.out, echoText(c.ntx, c.nty, c.nx, c.ny, nf, c.nBlend) + layout +
                               "Resolution of merged and blended movie: " + std::to_string(width) + " " +
                               std::to_string(height) + "\nName of merged and blended movie will be: wall\n" +
                               progressText(nf) + "Finished merging and blending movie wall\n")
            << c.what;
        EXPECT_EQ(run.err, "") << c.what;
        EXPECT_EQ(readText(folder + "/wall.mg"), "localhost  " + folder + "/wall " + std::to_string(width) + " " +
                                                     std::to_string(height) + " " + std::to_string(nf) + "\n");
        EXPECT_TRUE(readBytes(folder + "/wall") == readmeRoute(folder, c.ntx, c.nty, c.nx, c.ny, nf, c.nBlend, panels))
            << c.what;
    }
}

// The default name, an odd width padded, a rate and a frame count asked for, -j passed to
// the Mozaro that MOZARO names; frame 0 upright and close to the raw merge.
TEST(MozaroVideo, Mp4HoldsTheMergedFramesUpright)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    std::string folder = makeScratchFolder();
    const std::vector<std::string> panels = {"p0.mkv", "p1.mkv", "p2.mkv", "p3.mkv"};
    for (int k = 0; k < 4; k++)
        ffmpeg(folder, testPicture(k, 35, 20, 4, ",gblur=sigma=3") + " -c:v ffv1 " + panels[std::size_t(k)]);
    const std::string wrapper = folder + "/../mozaro";
    writeText(wrapper, "#!/bin/sh\necho \"$@\" >\"$0.args\"\nshift 2\nexec \"$REAL_MOZARO\" \"$@\"\n");
    chmod(wrapper.c_str(), 0755);
    const std::string real = std::string(MOZARO_VIDEO).substr(0, std::string(MOZARO_VIDEO).rfind('/')) + "/Mozaro";
    RunOutcome run = runVideo(folder, {"--rate", "10", "--frames", "3", "-j", "2", "2", "2", "2", "p0.mkv", "p1.mkv",
                                       "p2.mkv", "p3.mkv"},
                              runToItsEnd, {"MOZARO=" + wrapper, "REAL_MOZARO=" + real});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "mozaro-video: padding 35 x 20 to 36 x 20 with black, since H.264 in yuv420p needs even "
                       "sides\n");
    EXPECT_EQ(run.out.substr(run.out.rfind("Finished Frame:    2\n")),
              "Finished Frame:    2\nFinished merging and blending movie B_p0.mp4\n");
    const std::string args = readText(wrapper + ".args");
    EXPECT_EQ(args.substr(0, 8), "-j 2 -o ") << args;
    EXPECT_NE(args.find(" 2 2 35 20 3 2 "), std::string::npos) << args;
    EXPECT_EQ(runTool(folder, {"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                               "stream=width,height,r_frame_rate,nb_read_frames", "-of", "csv=p=0", "B_p0.mp4"})
                  .out,
              "36,20,10/1,3\n");

    ffmpeg(folder, "-i B_p0.mp4 -frames:v 1 -f rawvideo -pix_fmt rgb24 first.rgb");
    const Bytes first = readBytes(folder + "/first.rgb");
    const Bytes merged = readmeRoute(folder, 2, 2, 35, 20, 3, 2, panels);
    ASSERT_EQ(first.size(), 3u * 36 * 20);
    // Mean differences from the merge upright and upside down: yuv420p halves the colour
    // resolution of these saturated pictures (about 10 of 255 apart); upside down is far off.
    long upright = 0, upsideDown = 0;
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 35 * 3; x++) {
            const int decoded = first[std::size_t(y * 36 * 3 + x)];
            upright += std::abs(decoded - merged[std::size_t((19 - y) * 35 * 3 + x)]);
            upsideDown += std::abs(decoded - merged[std::size_t(y * 35 * 3 + x)]);
        }
    EXPECT_LT(upright, 16 * 20 * 35 * 3) << "mean difference " << upright / (20 * 35 * 3.0);
    EXPECT_GT(upsideDown, 3 * upright);
}

struct FailureCase {
    const char* what;
    std::vector<std::string> args;
    StopWith stop;
    int status;
    std::string err;   // all of standard error, or its beginning when it ends in FFmpeg's words
};

TEST(MozaroVideo, AStoppedRunLeavesTheEarlierResultAndNothingElse)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(0, 36, 20, 30) + " -c:v ffv1 p0.mkv");
    ffmpeg(folder, testPicture(1, 40, 20, 30) + " -c:v ffv1 wide.mkv");
    ffmpeg(folder, testPicture(2, 36, 20, 30, ",noise=alls=60:allf=t") + " -c:v libx264 -g 1 -movflags +faststart whole.mp4");
    ffmpeg(folder, testPicture(3, 160, 120, 600) + " -c:v ffv1 long.mkv");
    // Cut in the middle, after its header: ffprobe counts 30 frames, the decoder gives fewer.
    Bytes whole = readBytes(folder + "/whole.mp4");
    whole.resize(whole.size() / 2);
    writeBytes(folder + "/cut.mp4", whole);
    ToolOutcome decoded = runTool(folder, {"sh", "-c", "ffmpeg -v quiet -i cut.mp4 -f rawvideo -pix_fmt rgb24 - | wc -c"});
    const std::string cutFrames = std::to_string(std::stoi(decoded.out) / (3 * 36 * 20));
    const std::string cutStop = "Mozaro stopped: Input movie cut.mp4 ended before frame " + cutFrames + " was complete\n";
    unlink((folder + "/whole.mp4").c_str());
    writeText(folder + "/B.mp4", "an earlier video");
    writeText(folder + "/wall", "an earlier movie");
    writeText(folder + "/wall.mg", "localhost  /earlier/wall 1 1 1\n");

    const FailureCase cases[] = {
        {"a panel of another size", {"-o", "B.mp4", "2", "1", "2", "p0.mkv", "wide.mkv"}, runToItsEnd, 1,
         "panel wide.mkv is 40 x 20 pixels, not 36 x 20 like panel p0.mkv\n"},
        {"a missing panel", {"-o", "B.mp4", "2", "1", "2", "p0.mkv", "nothing.mkv"}, runToItsEnd, 1,
         "cannot read panel nothing.mkv: No such file or directory\n"},
        {"more frames than a panel holds", {"-o", "B.mp4", "--frames", "31", "1", "1", "1", "p0.mkv"}, runToItsEnd, 1,
         "panel p0.mkv holds only 30 frames, fewer than the 31 asked for\n"},
        {"a truncated video", {"-o", "B.mp4", "2", "1", "2", "p0.mkv", "cut.mp4"}, runToItsEnd, 1, cutStop},
        {"a truncated video, raw", {"--raw", "wall", "2", "1", "2", "p0.mkv", "cut.mp4"}, runToItsEnd, 1, cutStop},
        {"Ctrl-C", {"-o", "B.mp4", "2", "1", "1", "long.mkv", "long.mkv"}, interruptTheGroup, 128 + SIGINT,
         "stopped by SIGINT; nothing was written\n"},
        {"SIGTERM, raw", {"--raw", "wall", "2", "1", "1", "long.mkv", "long.mkv"}, terminateTheScript, 128 + SIGTERM,
         "stopped by SIGTERM; nothing was written\n"},
    };
    const std::map<std::string, Bytes> before = folderContents(folder);
    for (const FailureCase& c : cases) {
        RunOutcome run = runVideo(folder, c.args, c.stop);
        EXPECT_EQ(run.status, c.status) << c.what << ": " << run.err;
        EXPECT_EQ(run.err.substr(0, c.err.size() + 14), "mozaro-video: " + c.err) << c.what;
        EXPECT_TRUE(folderContents(folder) == before) << c.what;
        if (c.err == cutStop) {
            EXPECT_EQ(run.out.substr(run.out.rfind("Input movie")), cutStop.substr(16) + "Stopping\n") << c.what;
        }
    }
}

// Refused before FFmpeg is run (FFMPEG and FFPROBE name programs that do nothing), so these
// run everywhere.
TEST(MozaroVideo, RefusesWhatItCannotMakeBeforeStartingAnything)
{
    const std::string usage = "usage: mozaro-video ";
    const std::string install =
        "; install FFmpeg with your package manager, for example: sudo apt-get install ffmpeg\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;   // err: its beginning for the usage text
        std::vector<std::string> environment = {};
    } cases[] = {
        {{"--version"}, 0, "mozaro-video " MOZARO_VERSION "\n", ""},
        {{"1", "1", "1"}, 1, "", usage},
        {{"-o", "a.mp4", "--raw", "a", "1", "1", "1", "p"}, 1, "", usage},
        {{"0", "1", "1", "p"}, 1, "", "mozaro-video: ntx must be a whole number of 1 or more: \"0\"\n"},
        {{"2", "1", "1", "p"}, 1, "", "mozaro-video: ntx x nty = 2 x 1 panels need 2 panel names; 1 were given\n"},
        {{"--crf", "52", "1", "1", "1", "p"}, 1, "", "mozaro-video: --crf must be a number from 0 to 51: \"52\"\n"},
        {{"-r", "25/0", "1", "1", "1", "p"}, 1, "",
         "mozaro-video: rate must be a number of frames per second, such as 25, 29.97 or 30000/1001: \"25/0\"\n"},
        {{"1", "1", "1", "p"}, 1, "", "mozaro-video: cannot find no-ffprobe" + install, {"FFPROBE=no-ffprobe"}},
        {{"1", "1", "1", "p"}, 1, "", "mozaro-video: MOZARO names no-mozaro, which cannot be run\n",
         {"MOZARO=no-mozaro"}},
        {{"-o", "no/a.mp4", "1", "1", "1", "p"}, 1, "",
         "mozaro-video: cannot write the video no/a.mp4: its folder no does not exist or cannot be written\n"},
        {{"-o", "./p", "1", "1", "1", "p"}, 1, "", "mozaro-video: the video ./p would overwrite panel p\n"},
        {{"--raw", "p", "1", "1", "1", "p"}, 1, "", "mozaro-video: the raw movie p would overwrite panel p\n"},
    };
    for (const auto& c : cases) {
        std::string folder = makeScratchFolder();
        writeText(folder + "/p", "a panel");
        std::vector<std::string> environment = {"FFMPEG=true", "FFPROBE=true"};
        environment.insert(environment.end(), c.environment.begin(), c.environment.end());
        RunOutcome run = runVideo(folder, c.args, runToItsEnd, environment);
        EXPECT_EQ(run.status, c.status) << c.args[0];
        EXPECT_EQ(run.out, c.out) << c.args[0];
        EXPECT_EQ(run.err.substr(0, c.err == usage ? usage.size() : std::string::npos), c.err) << c.args[0];
        EXPECT_EQ(listFolder(folder), std::vector<std::string>{"p"}) << c.args[0];
    }
}

}  // namespace
