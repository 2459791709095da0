// mozaro-video: panel videos and image sequences through FFmpeg, Mozaro and FFmpeg again.
// Its raw movie is checked against the README's route, its MP4 with ffprobe and one decoded
// frame; every run, however it ends, must leave no process and no temporary file behind.
// Skipped, visibly, where FFmpeg is not installed.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
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

// FFmpeg's test picture (made in even sizes only), its colours turned 40 degrees for panel k.
std::string testPicture(int k, int width, int height, int frames, const std::string& moreFilters = "")
{
    return "-f lavfi -i testsrc2=size=" + std::to_string(width + width % 2) + "x" +
           std::to_string(height + height % 2) + ":rate=25,hue=h=" + std::to_string(40 * k) +
           ",format=rgb24,crop=" + std::to_string(width) + ":" + std::to_string(height) + ":0:0" + moreFilters +
           " -frames:v " + std::to_string(frames);
}

enum StopWith { runToItsEnd, interruptTheGroup, terminateTheScript, killTheProgram };

// Runs mozaro-video in `folder` in a process group of its own, as a terminal would; a stop
// is sent once a temporary file beside the result holds frames. The group and the TMPDIR
// it was given must be empty afterwards.
RunOutcome runVideo(const std::string& folder, std::vector<std::string> args, StopWith stop = runToItsEnd,
                    const std::vector<std::string>& environment = {})
{
    const std::string parent = folder.substr(0, folder.rfind('/')), temporaryFolder = parent + "/tmp";
    mkdir(temporaryFolder.c_str(), 0777);
    args.insert(args.begin(), MOZARO_VIDEO);
    std::vector<char*> argv;
    for (std::string& word : args)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        int out = open((parent + "/video.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open((parent + "/video.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(folder.c_str()) != 0)
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
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        for (const std::string& name : listFolder(folder)) {
            struct stat st;
            if (stop != runToItsEnd && name.rfind(".mozaro", 0) == 0 &&
                stat((folder + "/" + name).c_str(), &st) == 0 && st.st_size > 0) {
                kill(stop == interruptTheGroup ? -child : child,
                     stop == interruptTheGroup ? SIGINT : stop == killTheProgram ? SIGKILL : SIGTERM);
                stop = runToItsEnd;
            }
        }
        if (std::chrono::steady_clock::now() > deadline)
            kill(-child, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // What it started ends with it, at once or (killed outright) within a few seconds.
    const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    for (int wait = 0; killed && wait < 500 && kill(-child, 0) == 0; wait++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(kill(-child, 0) != 0 && errno == ESRCH) << "a process of the run is left";
    EXPECT_TRUE(killed || listFolder(temporaryFolder).empty()) << "a temporary file is left";
    return RunOutcome{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                      readText(parent + "/video.out"), readText(parent + "/video.err")};
}

// Mozaro's merge of the panels prepared with the README's command.
Bytes readmeRoute(const std::string& folder, const std::vector<std::string>& numbers,
                  const std::vector<std::string>& panels)
{
    std::vector<std::string> args = {"-o", "readme"};
    args.insert(args.end(), numbers.begin(), numbers.end());
    for (std::size_t k = 0; k < panels.size(); k++) {
        ffmpeg(folder, "-i '" + panels[k] + "' -vf vflip -f rawvideo -pix_fmt rgb24 -frames:v " + numbers[4] + " r" +
                           std::to_string(k));
        args.push_back("r" + std::to_string(k));
    }
    EXPECT_EQ(runMozaro(folder, args, "").status, 0);
    return readBytes(folder + "/readme");
}

// Two walls merged into a raw movie, FFV1 videos and PNG sequences, the last panel shorter.
TEST(MozaroVideo, RawMovieIsTheReadmeRoutesMerge)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    const struct {
        std::vector<std::string> panels, numbers;   // numbers: Mozaro's six, as its echo shows them
        std::string layout;
    } cases[] = {
        {{"p0.mkv", "p1.mkv", "p2.mkv", "p3.mkv"}, {"2", "2", "36", "20", "5", "2"},
         "  p2.mkv  p3.mkv\n  p0.mkv  p1.mkv\n"},
        {{"s0/%04d.png", "s1/%04d.png", "s2/%04d.png"}, {"3", "1", "17", "9", "3", "3"},
         "  s0/%04d.png  s1/%04d.png  s2/%04d.png\n"},
    };
    for (const auto& c : cases) {
        std::string folder = makeScratchFolder();
        std::vector<std::string> args = {"--raw", "wall", c.numbers[0], c.numbers[1], c.numbers[5]};
        for (std::size_t k = 0; k < c.panels.size(); k++) {
            mkdir((folder + "/s" + std::to_string(k)).c_str(), 0777);
            const int frames = std::stoi(c.numbers[4]) + (k + 1 < c.panels.size() ? 1 : 0);
            ffmpeg(folder, testPicture(int(k), std::stoi(c.numbers[2]), std::stoi(c.numbers[3]), frames) +
                               (c.panels[k][0] == 'p' ? " -c:v ffv1 " : " ") + c.panels[k]);
            args.push_back(c.panels[k]);
        }
        RunOutcome run = runVideo(folder, args);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        int n[6];
        for (int a = 0; a < 6; a++)
            n[a] = std::stoi(c.numbers[std::size_t(a)]);
        const std::string size = std::to_string(n[2] * n[0] / n[5]) + " " + std::to_string(n[3] * n[1] / n[5]);
        EXPECT_EQ(run.out, echoText(n[0], n[1], n[2], n[3], n[4], n[5]) +
                               "Layout of panels:\n" + c.layout + "Resolution of merged and blended movie: " + size +
                               "\nName of merged and blended movie will be: wall\n" + progressText(n[4]) +
                               "Finished merging and blending movie wall\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(readText(folder + "/wall.mg"), "localhost  " + folder + "/wall " + size + " " + c.numbers[4] + "\n");
        EXPECT_TRUE(readBytes(folder + "/wall") == readmeRoute(folder, c.numbers, c.panels)) << c.panels[0];
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
    const std::string wrapper = folder + "/../mozaro", built = MOZARO_VIDEO;
    writeText(wrapper, "#!/bin/sh\necho \"$@\" >\"$0.args\"\nshift 2\nexec " + built.substr(0, built.rfind('/')) +
                           "/Mozaro \"$@\"\n");
    chmod(wrapper.c_str(), 0755);
    RunOutcome run = runVideo(folder, {"--rate", "10", "--frames", "3", "-j", "2", "2", "2", "2", "p0.mkv", "p1.mkv",
                                       "p2.mkv", "p3.mkv"},
                              runToItsEnd, {"MOZARO=" + wrapper});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err,
              "mozaro-video: padding 35 x 20 to 36 x 20 with black, since H.264 in yuv420p needs even sides\n");
    EXPECT_EQ(run.out.substr(run.out.find("Finished Frame:    2")),
              "Finished Frame:    2\nFinished merging and blending movie B_p0.mp4\n");
    const std::string args = readText(wrapper + ".args");
    EXPECT_TRUE(args.rfind("-j 2 -o ", 0) == 0 && args.find(" 2 2 35 20 3 2 ") != std::string::npos) << args;
    EXPECT_EQ(runTool(folder, {"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                               "stream=width,height,r_frame_rate,nb_read_frames", "-of", "csv=p=0", "B_p0.mp4"})
                  .out,
              "36,20,10/1,3\n");

    ffmpeg(folder, "-i B_p0.mp4 -frames:v 1 -f rawvideo -pix_fmt rgb24 first.rgb");
    const Bytes first = readBytes(folder + "/first.rgb");
    const Bytes merged = readmeRoute(folder, {"2", "2", "35", "20", "3", "2"}, panels);
    ASSERT_EQ(first.size(), 3u * 36 * 20);
    // yuv420p halves the colour resolution of these saturated pictures (about 10 of 255
    // apart on average); upside down, they are far apart.
    long upright = 0, upsideDown = 0;
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 35 * 3; x++) {
            const int decoded = first[std::size_t(y * 36 * 3 + x)];
            upright += std::abs(decoded - merged[std::size_t((19 - y) * 35 * 3 + x)]);
            upsideDown += std::abs(decoded - merged[std::size_t(y * 35 * 3 + x)]);
        }
    EXPECT_LT(upright, 16 * 20 * 35 * 3);
    EXPECT_GT(upsideDown, 3 * upright);
}

// Refused before anything starts, failed on the way, or stopped by a signal: the named
// reason, and the folder as it was.
TEST(MozaroVideo, AStoppedRunLeavesTheEarlierResultAndNothingElse)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(0, 36, 20, 30) + " -c:v ffv1 p0.mkv");
    ffmpeg(folder, testPicture(1, 40, 20, 30) + " -c:v ffv1 wide.mkv");
    ffmpeg(folder, testPicture(3, 160, 120, 600) + " -c:v ffv1 long.mkv");
    // Cut in the middle, after its header: ffprobe counts 30 frames, the decoder gives fewer.
    ffmpeg(folder, testPicture(2, 36, 20, 30, ",noise=alls=60:allf=t") +
                       " -c:v libx264 -g 1 -movflags +faststart ../whole.mp4");
    Bytes whole = readBytes(folder + "/../whole.mp4");
    whole.resize(whole.size() / 2);
    writeBytes(folder + "/cut.mp4", whole);
    const std::string decoded =
        runTool(folder, {"sh", "-c", "ffmpeg -v quiet -i cut.mp4 -f rawvideo -pix_fmt rgb24 - | wc -c"}).out;
    const std::string cut = "Mozaro stopped: Input movie cut.mp4 ended before frame " +
                            std::to_string(std::stoi(decoded) / (3 * 36 * 20)) + " was complete\n";
    writeText(folder + "/B.mp4", "an earlier video");
    writeText(folder + "/wall", "an earlier movie");
    writeText(folder + "/wall.mg", "localhost  /earlier/wall 1 1 1\n");
    const struct {
        std::vector<std::string> args;
        StopWith stop;
        int status;
        std::string err;                     // what follows "mozaro-video: ", and FFmpeg's lines after that
        std::vector<std::string> environment = {};
    } cases[] = {
        {{"-o", "B.mp4", "2", "1", "2", "p0.mkv", "wide.mkv"}, runToItsEnd, 1,
         "panel wide.mkv is 40 x 20 pixels, not 36 x 20 like panel p0.mkv\n"},
        {{"-o", "B.mp4", "2", "1", "2", "p0.mkv", "nothing.mkv"}, runToItsEnd, 1,
         "cannot read panel nothing.mkv: No such file or directory\n"},
        {{"-o", "B.mp4", "--frames", "31", "1", "1", "1", "p0.mkv"}, runToItsEnd, 1,
         "panel p0.mkv holds only 30 frames, fewer than the 31 asked for\n"},
        {{"-o", "B.mp4", "1", "1", "1", "p0.mkv"}, runToItsEnd, 1,
         "cannot find no-ffprobe; install FFmpeg with your package manager, for example: sudo apt-get install ffmpeg\n",
         {"FFPROBE=no-ffprobe"}},
        {{"-o", "B.mp4", "2", "1", "2", "p0.mkv", "cut.mp4"}, runToItsEnd, 1, cut},
        {{"--raw", "wall", "2", "1", "2", "p0.mkv", "cut.mp4"}, runToItsEnd, 1, cut},
        // The decoders wait for a reader that never comes.
        {{"--raw", "nowhere/wall", "2", "1", "2", "p0.mkv", "p0.mkv"}, runToItsEnd, 1,
         "Mozaro stopped: Could not create output movie nowhere/wall: No such file or directory\n"},
        {{"-o", "B.mp4", "2", "1", "1", "long.mkv", "long.mkv"}, interruptTheGroup, 128 + SIGINT,
         "stopped by SIGINT; nothing was written\n"},
        {{"--raw", "wall", "2", "1", "1", "long.mkv", "long.mkv"}, terminateTheScript, 128 + SIGTERM,
         "stopped by SIGTERM; nothing was written\n"},
    };
    const std::map<std::string, Bytes> before = folderContents(folder);
    for (const auto& c : cases) {
        RunOutcome run = runVideo(folder, c.args, c.stop, c.environment);
        EXPECT_EQ(run.status, c.status) << c.err;
        EXPECT_EQ(run.err.substr(0, c.err.size() + 14), "mozaro-video: " + c.err);
        EXPECT_TRUE(folderContents(folder) == before) << c.err;
        if (c.err == cut) {
            EXPECT_EQ(run.out.substr(run.out.rfind("Input")), cut.substr(16) + "Stopping\n");
        }
    }
    EXPECT_EQ(runVideo(folder, {"--version"}).out, "mozaro-video " MOZARO_VERSION "\n");
}

// Killed outright while it writes: no process of it lives on, and what it left is gone after
// the next run in that folder (whose own result is made).
TEST(MozaroVideo, KilledOutrightLeavesNothingAfterTheNextRun)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(3, 160, 120, 600) + " -c:v ffv1 long.mkv");
    ffmpeg(folder, testPicture(0, 36, 20, 3) + " -c:v ffv1 p0.mkv");
    const std::map<std::string, Bytes> before = folderContents(folder);
    const struct {
        std::string result, killed, next;
    } cases[] = {{"-o", "wall.mp4", "next.mp4"}, {"--raw", "wall", "next"}};
    for (const auto& c : cases) {
        const std::string result = c.result;
        RunOutcome run = runVideo(folder, {result, c.killed, "2", "1", "1", "long.mkv", "long.mkv"}, killTheProgram);
        EXPECT_EQ(run.status, 128 + SIGKILL) << result;
        ASSERT_EQ(runVideo(folder, {result, c.next, "1", "1", "1", "p0.mkv"}).status, 0) << result;
        std::map<std::string, Bytes> after = folderContents(folder);
        after.erase("next.mp4");
        after.erase("next");
        after.erase("next.mg");
        std::string left;
        for (const auto& entry : after)
            left += before.count(entry.first) == 0 ? " " + entry.first : "";
        EXPECT_TRUE(after == before) << result << " left" << left;
    }
}

// Symbolic links planted under every name a run could once be foreseen to write (its pid
// among the next few thousand) are left alone, and so are the files they lead to.
TEST(MozaroVideo, PlantedLinksAreNeitherFollowedNorRemoved)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(0, 36, 20, 3) + " -c:v ffv1 p0.mkv");
    writeText(folder + "/../victim", "someone else's file");
    const int lastPid = std::stoi(readText("/proc/sys/kernel/ns_last_pid"));
    for (int pid = lastPid + 1; pid <= lastPid + 3000; pid++)
        ASSERT_EQ(symlink("../victim", (folder + "/.mozaro-video-" + std::to_string(pid) + ".mp4").c_str()), 0);
    const std::map<std::string, Bytes> before = folderContents(folder);
    RunOutcome run = runVideo(folder, {"-o", "B.mp4", "1", "1", "1", "p0.mkv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(readText(folder + "/../victim") == "someone else's file") << "the link was followed";
    std::map<std::string, Bytes> after = folderContents(folder);
    after.erase("B.mp4");
    EXPECT_TRUE(after == before);
    struct stat link;
    EXPECT_TRUE(lstat((folder + "/.mozaro-video-" + std::to_string(lastPid + 1) + ".mp4").c_str(), &link) == 0 &&
                S_ISLNK(link.st_mode));
}

// A panel whose container says it is to be shown turned is merged as it is stored: as the
// same panel without that note.
TEST(MozaroVideo, RotatedPanelIsMergedAsStored)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "FFmpeg is not installed";
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(0, 64, 48, 3) + " -c:v libx264 -pix_fmt yuv420p p0.mp4");
    ffmpeg(folder, "-i p0.mp4 -c copy -metadata:s:v:0 rotate=90 rot.mp4");
    RunOutcome rotated = runVideo(folder, {"--raw", "rr", "2", "1", "1", "rot.mp4", "p0.mp4"});
    ASSERT_EQ(rotated.status, 0) << rotated.err;
    RunOutcome plain = runVideo(folder, {"--raw", "pp", "2", "1", "1", "p0.mp4", "p0.mp4"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(readBytes(folder + "/rr").size(), 3u * 128 * 48 * 3);
    EXPECT_TRUE(readBytes(folder + "/rr") == readBytes(folder + "/pp"));
}

}  // namespace
