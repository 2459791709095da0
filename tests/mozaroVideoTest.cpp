// mozaro-video: panel videos and image sequences decoded, merged and encoded in one process.
// Its raw movie is checked against an independent model (FFmpeg's command decodes, the
// per-pixel model merges), its videos with ffprobe and decoded frames; every run, however it
// ends, must leave no process and no temporary file behind. Skipped, visibly, where
// mozaro-video was not built or FFmpeg's command is not installed.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testSupport.h"

#ifndef MOZARO_VIDEO
#define MOZARO_VIDEO ""
#endif

namespace {

// Why the cases cannot run here, "" where they can.
std::string videoSkipReason()
{
    if (std::string(MOZARO_VIDEO).empty())
        return "mozaro-video was not built: FFmpeg's libraries (libavformat-dev and the others) were not found";
    if (runTool(makeScratchFolder(), {"sh", "-c", "command -v ffmpeg && command -v ffprobe"}).status != 0)
        return "FFmpeg's ffmpeg and ffprobe, which make and check the videos, are not installed";
    return "";
}
#define SKIP_WITHOUT_VIDEO()                                                                                         \
    if (!videoSkipReason().empty())                                                                                  \
    GTEST_SKIP() << videoSkipReason()

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
    // What it started ends with it, within a few seconds (a sanitized build's leak check
    // runs in a task of its own that outlives the program's exit by a moment).
    const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    for (int wait = 0; wait < 500 && kill(-child, 0) == 0; wait++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(kill(-child, 0) != 0 && errno == ESRCH) << "a process of the run is left";
    EXPECT_TRUE(killed || listFolder(temporaryFolder).empty()) << "a temporary file is left";
    return RunOutcome{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                      readText(parent + "/video.out"), readText(parent + "/video.err")};
}

// The wall's seams, rounding and order, and the options that ask for them.
struct Wall {
    int gapX = 0, gapY = 0, overlapX = 0, overlapY = 0;
    unsigned fill = 0;   // 0xRRGGBB
    bool round = false, topFirst = false;
};

std::vector<std::string> wallOptions(const Wall& w)
{
    std::vector<std::string> options;
    char fill[8];
    std::snprintf(fill, sizeof fill, "%06x", w.fill);
    if (w.gapX > 0 || w.gapY > 0)
        options.insert(options.end(), {"--gap", std::to_string(w.gapX) + "," + std::to_string(w.gapY), "--fill", fill});
    if (w.overlapX > 0 || w.overlapY > 0)
        options.insert(options.end(), {"--overlap", std::to_string(w.overlapX) + "," + std::to_string(w.overlapY)});
    if (w.round)
        options.push_back("--round");
    if (w.topFirst)
        options.push_back("--top-first");
    return options;
}

// The panels as named on the command line: top row first where the wall says so.
std::vector<std::string> namedOrder(const std::vector<std::string>& grid, int ntx, int nty, const Wall& w)
{
    std::vector<std::string> named;
    for (int row = 0; row < nty; row++)
        for (int j = 0; j < ntx; j++)
            named.push_back(grid[std::size_t((w.topFirst ? nty - 1 - row : row) * ntx + j)]);
    return named;
}

// The layout Mozaro prints: the panels of the grid, top row first.
std::string layoutOf(const std::vector<std::string>& grid, int ntx, int nty)
{
    std::string layout = "Layout of panels:\n";
    for (int i = nty - 1; i >= 0; i--) {
        for (int j = 0; j < ntx; j++)
            layout += "  " + grid[std::size_t(i * ntx + j)];
        layout += "\n";
    }
    return layout;
}

// The model's grid for the wall: its seams, fill (one byte for each channel) and rounding.
MovieGrid modelGrid(const std::vector<std::string>& numbers, const Wall& w, const unsigned char fill[3])
{
    MovieGrid g{std::stoi(numbers[0]), std::stoi(numbers[1]), std::stoi(numbers[2]), std::stoi(numbers[3]),
                std::stoi(numbers[4]), std::stoi(numbers[5]), {}};
    g.gapX = w.gapX, g.gapY = w.gapY, g.overlapX = w.overlapX, g.overlapY = w.overlapY, g.round = w.round;
    for (int c = 0; c < 3; c++)
        g.fill[c] = fill[c];
    return g;
}

// The panels (in grid order) decoded by FFmpeg's command as rgb24, bottom row first, and
// merged by the per-pixel model.
Bytes readmeRoute(const std::string& folder, const std::vector<std::string>& numbers,
                  const std::vector<std::string>& panels, const Wall& wall = Wall())
{
    const unsigned char fill[3] = {(unsigned char)(wall.fill >> 16), (unsigned char)(wall.fill >> 8),
                                   (unsigned char)wall.fill};
    MovieGrid g = modelGrid(numbers, wall, fill);
    for (std::size_t k = 0; k < panels.size(); k++) {
        ffmpeg(folder, "-i '" + panels[k] + "' -vf vflip -f rawvideo -pix_fmt rgb24 -frames:v " + numbers[4] + " r" +
                           std::to_string(k));
        g.panels.push_back(readBytes(folder + "/r" + std::to_string(k)));
        EXPECT_EQ(g.panels.back().size(), std::size_t(3 * g.nx * g.ny * g.nf)) << panels[k];
    }
    return modelMovie(g);
}

// The same for one plane of yuv420p panels (as FFmpeg's command decodes them, top row
// first): each sample taken as a grey pixel through the model, with the wall's seams at the
// plane's resolution (halved by `shift`) and `fill`, the result top row first.
Bytes planeModel(const std::vector<Bytes>& frames, int ntx, int nty, int width, int height, int nBlend,
                 std::size_t at, const Wall& w = Wall(), int shift = 0, unsigned char fill = 0)
{
    const unsigned char fills[3] = {fill, fill, fill};
    MovieGrid g = modelGrid({std::to_string(ntx), std::to_string(nty), std::to_string(width), std::to_string(height),
                             "1", std::to_string(nBlend)},
                            Wall{w.gapX >> shift, w.gapY >> shift, w.overlapX >> shift, w.overlapY >> shift, 0,
                                 w.round, false},
                            fills);
    for (const Bytes& frame : frames) {
        Bytes grey;
        for (int y = height - 1; y >= 0; y--)
            for (int x = 0; x < width; x++)
                grey.insert(grey.end(), 3, frame[at + std::size_t(y * width + x)]);
        g.panels.push_back(grey);
    }
    const Bytes merged = modelMovie(g);
    const int outWidth = modelWidth(g), outHeight = modelHeight(g);
    Bytes plane;
    for (int y = outHeight - 1; y >= 0; y--)
        for (int x = 0; x < outWidth; x++)
            plane.push_back(merged[std::size_t(3 * (y * outWidth + x))]);
    return plane;
}

// Walls merged into a raw movie at nBlend 1 to 3: FFV1 and H.264 videos, PNG sequences, the
// last panel shorter (--shortest); and random walls with every combination of the order,
// the seams (none, a gap and its fill, an overlap) and the rounding.
TEST(MozaroVideo, RawMovieIsTheReadmeRoutesMerge)
{
    SKIP_WITHOUT_VIDEO();
    struct Case {
        std::vector<std::string> panels, numbers;   // panels in grid order; numbers: Mozaro's six
        std::string codec;
        Wall wall;
    };
    std::vector<Case> cases = {
        {{"p0.mkv", "p1.mkv", "p2.mkv", "p3.mkv"}, {"2", "2", "36", "20", "5", "2"}, " -c:v ffv1 ", {}},
        {{"s0/%04d.png", "s1/%04d.png", "s2/%04d.png"}, {"3", "1", "17", "9", "3", "3"}, " ", {}},
        {{"h0.mp4", "h1.mp4"}, {"2", "1", "32", "18", "4", "1"}, " -c:v libx264 -pix_fmt yuv420p ", {}},
        {{"v0.mkv", "v1.mkv"}, {"1", "2", "30", "14", "3", "3"}, " -c:v libx264 -pix_fmt yuv420p ", {}},
        {{"o0.mkv", "o1.mkv"}, {"2", "1", "31", "15", "2", "2"}, " -c:v ffv1 -pix_fmt yuv420p ",
         {}},   // odd sides: chroma rows shared unevenly
    };
    std::mt19937 draw(27);
    auto between = [&draw](int low, int high) { return std::uniform_int_distribution<int>(low, high)(draw); };
    for (int combination = 0; combination < 12; combination++) {
        Case c;
        const int shapes[5][2] = {{1, 2}, {2, 1}, {2, 2}, {3, 2}, {2, 3}}, shape = between(0, 4);
        const int ntx = shapes[shape][0], nty = shapes[shape][1];
        const int nx = between(6, 29), ny = between(6, 19);
        c.numbers = {std::to_string(ntx), std::to_string(nty), std::to_string(nx), std::to_string(ny),
                     std::to_string(between(1, 3)), std::to_string(between(1, 4))};
        c.codec = combination % 3 == 0 ? " -c:v ffv1 -pix_fmt yuv420p " : " -c:v ffv1 ";
        c.wall.topFirst = combination % 2 == 1;
        c.wall.round = combination / 2 % 2 == 1;
        if (combination / 4 == 1) {
            c.wall.gapX = between(0, 5), c.wall.gapY = between(1, 5);
            c.wall.fill = unsigned(between(0, 0xffffff));
        } else if (combination / 4 == 2) {
            c.wall.overlapX = between(1, nx - 1), c.wall.overlapY = between(0, ny - 1);
        }
        for (int k = 0; k < ntx * nty; k++)
            c.panels.push_back("w" + std::to_string(k) + ".mkv");
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        std::string folder = makeScratchFolder();
        int n[6];
        for (int a = 0; a < 6; a++)
            n[a] = std::stoi(c.numbers[std::size_t(a)]);
        std::vector<std::string> args = wallOptions(c.wall);
        args.insert(args.begin(), {"--raw", "wall", "--shortest"});
        args.insert(args.end(), {c.numbers[0], c.numbers[1], c.numbers[5]});
        for (std::size_t k = 0; k < c.panels.size(); k++) {
            mkdir((folder + "/s" + std::to_string(k)).c_str(), 0777);
            const int frames = n[4] + (k + 1 < c.panels.size() ? 1 : 0);
            ffmpeg(folder, testPicture(int(k), n[2], n[3], frames) + c.codec + c.panels[k]);
        }
        for (const std::string& panel : namedOrder(c.panels, n[0], n[1], c.wall))
            args.push_back(panel);
        const std::string what = c.panels[0] + " " + c.numbers[2] + "x" + c.numbers[3] + " blend " + c.numbers[5];
        RunOutcome run = runVideo(folder, args);
        ASSERT_EQ(run.status, 0) << what << run.out << run.err;
        const unsigned char fill[3] = {0, 0, 0};
        const MovieGrid g = modelGrid(c.numbers, c.wall, fill);
        const std::string size = std::to_string(modelWidth(g)) + " " + std::to_string(modelHeight(g));
        EXPECT_EQ(run.out, echoText(n[0], n[1], n[2], n[3], n[4], n[5]) + layoutOf(c.panels, n[0], n[1]) +
                               "Resolution of merged and blended movie: " + size +
                               "\nName of merged and blended movie will be: wall\n" + progressText(n[4]) +
                               "Finished merging and blending movie wall\n")
            << what;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(readText(folder + "/wall.mg"), "localhost  " + folder + "/wall " + size + " " + c.numbers[4] + "\n");
        EXPECT_TRUE(readBytes(folder + "/wall") == readmeRoute(folder, c.numbers, c.panels, c.wall)) << what;
    }
}

// The default name, an odd width padded, a rate, a frame count and threads asked for; frame 0
// upright and close to the raw merge.
TEST(MozaroVideo, Mp4HoldsTheMergedFramesUpright)
{
    SKIP_WITHOUT_VIDEO();
    std::string folder = makeScratchFolder();
    const std::vector<std::string> panels = {"p0.mkv", "p1.mkv", "p2.mkv", "p3.mkv"};
    for (int k = 0; k < 4; k++)
        ffmpeg(folder, testPicture(k, 35, 20, 4, ",gblur=sigma=3") + " -c:v ffv1 " + panels[std::size_t(k)]);
    RunOutcome run = runVideo(folder, {"--rate", "10", "--frames", "3", "-j", "2", "2", "2", "2", "p0.mkv", "p1.mkv",
                                       "p2.mkv", "p3.mkv"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err,
              "mozaro-video: padding 35 x 20 to 36 x 20 with black, since libx264 in yuv420p needs even sides\n");
    EXPECT_EQ(run.out.substr(run.out.find("Finished Frame:    2")),
              "Finished Frame:    2\nFinished merging and blending movie B_p0.mp4\n");
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

    // The proposed name is in the folder of the panel named first (top left with
    // --top-first); for an image sequence, beside the sequence's folder.
    ASSERT_EQ(mkdir((folder + "/renders").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((folder + "/renders/s0").c_str(), 0777), 0);
    ffmpeg(folder, "-i p2.mkv -c copy renders/a0.mkv");
    ffmpeg(folder, testPicture(0, 36, 20, 2) + " renders/s0/%04d.png");
    const struct {
        std::vector<std::string> args;
        std::string name, layout;
    } named[] = {
        {{"--quiet", "--top-first", "1", "2", "1", "renders/a0.mkv", "p0.mkv"}, "renders/B_a0.mp4",
         "  renders/a0.mkv\n  p0.mkv\n"},
        {{"--quiet", "1", "1", "1", "renders/s0/%04d.png"}, "renders/B_s0.mp4", "  renders/s0/%04d.png\n"},
    };
    for (const auto& c : named) {
        run = runVideo(folder, c.args);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("Layout of panels:\n" + c.layout), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Name of merged and blended movie will be: " + c.name + "\n"), std::string::npos)
            << run.out;
        EXPECT_TRUE(fileExists(folder + "/" + c.name)) << c.name;
    }
}

// Refused before anything starts, failed on the way, or stopped by a signal: the named
// reason, and the folder as it was.
TEST(MozaroVideo, AStoppedRunLeavesTheEarlierResultAndNothingElse)
{
    SKIP_WITHOUT_VIDEO();
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
    const std::string cut = "Input movie cut.mp4 ended before frame " +
                            std::to_string(std::stoi(decoded) / (3 * 36 * 20)) + " was complete\n";
    writeText(folder + "/B.mp4", "an earlier video");
    writeText(folder + "/wall", "an earlier movie");
    writeText(folder + "/wall.mg", "localhost  /earlier/wall 1 1 1\n");
    std::vector<std::string> wideWall = {"-o", "B.mp4", "--gap", "65535", "100", "1", "1"};
    wideWall.insert(wideWall.end(), 100, "p0.mkv");
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
        {{"-o", "B.mp4", "--codec", "mpeg4", "1", "1", "1", "p0.mkv"}, runToItsEnd, 1,
         "--codec mpeg4 is not one of libx264, libx265, libsvtav1, prores_ks and ffv1\n"},
        {{"-o", "B.mp4", "2", "1", "2", "p0.mkv", "cut.mp4"}, runToItsEnd, 1, cut},
        {{"--raw", "wall", "2", "1", "2", "p0.mkv", "cut.mp4"}, runToItsEnd, 1, cut},
        {{"--raw", "nowhere/wall", "2", "1", "2", "p0.mkv", "p0.mkv"}, runToItsEnd, 1,
         "Could not create output movie nowhere/wall: No such file or directory\n"},
        // The wall's options: their words, then Mozaro's limits, the panels' size among them.
        {{"-o", "B.mp4", "--gap", "1,x", "2", "1", "2", "p0.mkv", "p0.mkv"}, runToItsEnd, 1,
         "--gap takes X or X,Y, whole numbers of pixels: \"1,x\"\n"},
        {{"-o", "B.mp4", "--overlap", "-2", "2", "1", "2", "p0.mkv", "p0.mkv"}, runToItsEnd, 1,
         "--overlap takes X or X,Y, whole numbers of pixels: \"-2\"\n"},
        {{"-o", "B.mp4", "--fill", "12345", "2", "1", "2", "p0.mkv", "p0.mkv"}, runToItsEnd, 1,
         "--fill takes a colour as six hex digits, RRGGBB: \"12345\"\n"},
        {{"-o", "B.mp4", "--gap", "2", "--overlap", "2", "2", "1", "2", "p0.mkv", "nothing.mkv"}, runToItsEnd, 1,
         "--gap and --overlap cannot be given together\n"},
        {{"-o", "B.mp4", "--gap", "65536,0", "2", "1", "2", "p0.mkv", "nothing.mkv"}, runToItsEnd, 1,
         "--gap and --overlap are out of range; allowed: 0 to 65535 pixels each\n"},
        {{"-o", "B.mp4", "--overlap", "36,2", "2", "1", "2", "p0.mkv", "p0.mkv"}, runToItsEnd, 1,
         "--overlap = 36 columns is out of range; allowed: less than nx = 36\n"},
        {{"-o", "B.mp4", "--overlap", "35,20", "2", "1", "2", "p0.mkv", "p0.mkv"}, runToItsEnd, 1,
         "--overlap = 20 rows is out of range; allowed: less than ny = 20\n"},
        {wideWall,
         runToItsEnd, 1,
         "Mosaic width with its seams = 6491565 pixels is out of range; allowed: at most 1048576\n"},
        {{"-o", "B.mp4", "2", "1", "1", "long.mkv", "long.mkv"}, interruptTheGroup, 128 + SIGINT,
         "stopped by SIGINT; nothing was written\n"},
        {{"--raw", "wall", "2", "1", "1", "long.mkv", "long.mkv"}, terminateTheScript, 128 + SIGTERM,
         "stopped by SIGTERM; nothing was written\n"},
    };
    const std::map<std::string, Bytes> before = folderContents(folder);
    for (const auto& c : cases) {
        RunOutcome run = runVideo(folder, c.args, c.stop, c.environment);
        EXPECT_EQ(run.status, c.status) << c.err;
        // One owner of standard error: every line is whole and its own, FFmpeg's too.
        for (std::size_t at = 0; at < run.err.size(); at = run.err.find('\n', at) + 1)
            EXPECT_EQ(run.err.compare(at, 14, "mozaro-video: "), 0) << run.err;
        // FFmpeg's word on a cut file may come first.
        if (c.err == cut)
            EXPECT_NE(run.err.find("mozaro-video: " + c.err), std::string::npos) << run.err;
        else
            EXPECT_EQ(run.err.substr(0, c.err.size() + 14), "mozaro-video: " + c.err);
        EXPECT_TRUE(folderContents(folder) == before) << c.err;
        if (c.err == cut) {
            EXPECT_EQ(run.out.substr(run.out.rfind("Input")), cut + "Stopping\n");
        }
    }
    EXPECT_EQ(runVideo(folder, {"--version"}).out, "mozaro-video " MOZARO_VERSION "\n");
}

// Killed outright while it writes: no process of it lives on, and what it left is gone after
// the next run in that folder (whose own result is made).
TEST(MozaroVideo, KilledOutrightLeavesNothingAfterTheNextRun)
{
    SKIP_WITHOUT_VIDEO();
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
    SKIP_WITHOUT_VIDEO();
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
    SKIP_WITHOUT_VIDEO();
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(0, 64, 48, 3) + " -c:v libx264 -pix_fmt yuv420p p0.mp4");
    ffmpeg(folder, "-i p0.mp4 -c copy -metadata:s:v:0 rotate=90 rot.mp4");
    RunOutcome rotated = runVideo(folder, {"--raw", "rr", "2", "1", "1", "rot.mp4", "p0.mp4"});
    ASSERT_EQ(rotated.status, 0) << rotated.err;
    EXPECT_EQ(rotated.err, "mozaro-video: panel rot.mp4 is marked to be shown turned by 90 degrees; its pixels are "
                           "merged as stored\n");
    RunOutcome plain = runVideo(folder, {"--raw", "pp", "2", "1", "1", "p0.mp4", "p0.mp4"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(readBytes(folder + "/rr").size(), 3u * 128 * 48 * 3);
    EXPECT_TRUE(readBytes(folder + "/rr") == readBytes(folder + "/pp"));
}

// Lossless video holds the merged frames exactly: the block means of each decoded yuv420p
// plane at its own resolution, or with --rgb (and where the planes cannot be merged: panels
// that are not yuv420p, a seam of an odd number of pixels) the rgb24 means of the raw movie.
// The planes' gaps are filled with the colour as FFmpeg's command converts it to yuv420p.
TEST(MozaroVideo, Ffv1HoldsTheBlockMeansExactly)
{
    SKIP_WITHOUT_VIDEO();
    const struct {
        int ntx, nty, nx, ny, nBlend;
        std::string panelCodec, option, format;   // format: the video's pixel format
        Wall wall;
        std::string fillColours = "";   // how FFmpeg's command converts the fill as the panels' colours say
    } cases[] = {
        {2, 2, 36, 20, 2, " -c:v libx264 -pix_fmt yuv420p ", "", "yuv420p", {}},
        {2, 1, 36, 24, 3, " -c:v libx264 -pix_fmt yuv420p ", "", "yuv420p", {}},
        {1, 1, 40, 30, 1, " -c:v ffv1 -pix_fmt yuv420p ", "", "yuv420p", {}},
        {2, 1, 36, 20, 2, " -c:v libx264 -pix_fmt yuv420p ", "--rgb", "bgr0", {}},
        {2, 2, 30, 16, 3, " -c:v ffv1 ", "", "bgr0", {}},   // rgb panels
        {2, 2, 36, 20, 2, " -c:v libx264 -pix_fmt yuv420p ", "", "yuv420p", {4, 4, 0, 0, 0xff8000, true, true}},
        {3, 2, 20, 12, 1, " -c:v ffv1 -pix_fmt yuv420p ", "", "yuv420p", {2, 6, 0, 0, 0x2060c0, false, true}},
        {2, 2, 36, 24, 3, " -c:v libx264 -pix_fmt yuv420p ", "", "yuv420p", {0, 0, 6, 4, 0, true, false}},
        {2, 2, 36, 20, 2, " -c:v ffv1 -pix_fmt yuv420p -colorspace bt709 -color_range pc ", "", "yuv420p",
         {8, 4, 0, 0, 0xff8000, false, false}, "-vf scale=out_color_matrix=bt709:out_range=full"},
        {2, 2, 36, 20, 2, " -c:v libx264 -pix_fmt yuv420p ", "", "bgr0", {3, 2, 0, 0, 0x40e010, true, true}},
        {2, 1, 36, 20, 2, " -c:v libx264 -pix_fmt yuv420p ", "", "bgr0", {0, 0, 5, 0, 0, false, false}},
    };
    const int nf = 3;
    for (const auto& c : cases) {
        std::string folder = makeScratchFolder();
        std::vector<std::string> args = {"-o", "wall.mkv", "--codec", "ffv1"}, panels;
        if (!c.option.empty())
            args.push_back(c.option);
        for (const std::string& option : wallOptions(c.wall))
            args.push_back(option);
        for (int number : {c.ntx, c.nty, c.nBlend})
            args.push_back(std::to_string(number));
        for (int k = 0; k < c.ntx * c.nty; k++) {
            panels.push_back("p" + std::to_string(k) + ".mkv");
            ffmpeg(folder, testPicture(k, c.nx, c.ny, nf, ",noise=alls=40:allf=t") + c.panelCodec + panels.back());
        }
        for (const std::string& panel : namedOrder(panels, c.ntx, c.nty, c.wall))
            args.push_back(panel);
        std::string what = c.format + " " + std::to_string(c.nBlend) + " " + c.option;
        for (const std::string& option : wallOptions(c.wall))
            what += " " + option;
        RunOutcome run = runVideo(folder, args);
        ASSERT_EQ(run.status, 0) << what << run.err;
        const std::vector<std::string> numbers = {std::to_string(c.ntx), std::to_string(c.nty), std::to_string(c.nx),
                                                  std::to_string(c.ny),  std::to_string(nf),    std::to_string(c.nBlend)};
        const unsigned char black[3] = {0, 0, 0};
        const MovieGrid g = modelGrid(numbers, c.wall, black);
        EXPECT_EQ(runTool(folder, {"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                   "stream=codec_name,width,height,pix_fmt,nb_read_frames", "-of", "csv=p=0",
                                   "wall.mkv"})
                      .out,
                  "ffv1," + std::to_string(modelWidth(g)) + "," + std::to_string(modelHeight(g)) + "," + c.format +
                      ",3\n")
            << what;
        if (c.format == "bgr0") {
            ffmpeg(folder, "-i wall.mkv -vf vflip -f rawvideo -pix_fmt rgb24 wall.rgb");
            EXPECT_TRUE(readBytes(folder + "/wall.rgb") == readmeRoute(folder, numbers, panels, c.wall)) << what;
            continue;
        }
        ffmpeg(folder, "-i wall.mkv -f rawvideo -pix_fmt yuv420p wall.yuv");
        Bytes fill;
        for (int k = 0; k < 16 * 2; k++)
            fill.insert(fill.end(), {(unsigned char)(c.wall.fill >> 16), (unsigned char)(c.wall.fill >> 8),
                                     (unsigned char)c.wall.fill});
        writeBytes(folder + "/fill.rgb", fill);
        ffmpeg(folder, "-f rawvideo -pix_fmt rgb24 -s 16x2 -i fill.rgb " + c.fillColours +
                           " -f rawvideo -pix_fmt yuv420p fill.yuv");
        fill = readBytes(folder + "/fill.yuv");
        ASSERT_EQ(fill.size(), 48u);
        std::vector<Bytes> decoded;
        for (const std::string& panel : panels) {
            ffmpeg(folder, "-i " + panel + " -f rawvideo -pix_fmt yuv420p " + panel + ".yuv");
            decoded.push_back(readBytes(folder + "/" + panel + ".yuv"));
        }
        Bytes model;
        const std::size_t panelFrame = std::size_t(c.nx * c.ny * 3 / 2);
        for (std::size_t f = 0; f < std::size_t(nf); f++) {
            std::vector<Bytes> frames;
            for (const Bytes& d : decoded)
                frames.push_back(Bytes(d.begin() + std::ptrdiff_t(f * panelFrame),
                                       d.begin() + std::ptrdiff_t((f + 1) * panelFrame)));
            const std::size_t chroma = std::size_t(c.nx * c.ny);
            for (const Bytes& plane :
                 {planeModel(frames, c.ntx, c.nty, c.nx, c.ny, c.nBlend, 0, c.wall, 0, fill[0]),
                  planeModel(frames, c.ntx, c.nty, c.nx / 2, c.ny / 2, c.nBlend, chroma, c.wall, 1, fill[32]),
                  planeModel(frames, c.ntx, c.nty, c.nx / 2, c.ny / 2, c.nBlend, chroma * 5 / 4, c.wall, 1, fill[40])})
                model.insert(model.end(), plane.begin(), plane.end());
        }
        EXPECT_TRUE(readBytes(folder + "/wall.yuv") == model) << what;
    }
}

// The container follows the name; the codec, its quality and speed are the ones asked for;
// what cannot be had is refused by name, before anything is made.
TEST(MozaroVideo, ContainerAndCodecAreTheOnesAskedFor)
{
    SKIP_WITHOUT_VIDEO();
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(0, 64, 64, 2) + " -c:v libx264 -pix_fmt yuv420p p0.mp4");
    const std::string encoders = runTool(folder, {"ffmpeg", "-hide_banner", "-encoders"}).out;
    const struct {
        std::vector<std::string> options;
        std::string probe;   // format, brand, codec; "" for a refusal
        std::string err;     // the refusal after "mozaro-video: "
        std::string note = "";   // in the video: the settings libx264 took
    } cases[] = {
        {{"-o", "w.mp4"}, "mov,mp4,m4a,3gp,3g2,mj2,isom,h264", ""},
        {{"-o", "w.MKV"}, "matroska,webm,,h264", ""},
        {{"-o", "w.mov"}, "mov,mp4,m4a,3gp,3g2,mj2,qt  ,h264", ""},
        {{"-o", "w.mov", "--codec", "ffv1"}, "mov,mp4,m4a,3gp,3g2,mj2,qt  ,ffv1", ""},
        {{"-o", "w.mkv", "--codec", "prores_ks"}, "matroska,webm,,prores", ""},
        {{"-o", "w.mkv", "--codec", "libx265"}, "matroska,webm,,hevc", ""},
        {{"-o", "w.mkv", "--codec", "libsvtav1"}, "matroska,webm,,av1", ""},
        {{"-o", "w.mp4", "--crf", "18.5", "--preset", "ultrafast"}, "mov,mp4,m4a,3gp,3g2,mj2,isom,h264", "",
         " crf=18.5 "},
        {{"-o", "w.avi"}, "", "the video w.avi must end in .mp4, .mkv or .mov, which say its container\n"},
        {{"-o", "w.mp4", "--codec", "ffv1"}, "", "a .mp4 video cannot hold ffv1\n"},
        {{"-o", "w.mp4", "--codec", "mpeg2video"}, "",
         "--codec mpeg2video is not one of libx264, libx265, libsvtav1, prores_ks and ffv1\n"},
        {{"-o", "w.mkv", "--codec", "ffv1", "--crf", "20"}, "", "--crf 20 is not a quality that ffv1 takes\n"},
        {{"-o", "w.mp4", "--crf", "good"}, "", "--crf good is not a quality that libx264 takes\n"},
        {{"-o", "w.mp4", "--preset", "warp"}, "", "--preset warp is not a preset that libx264 takes\n"},
        {{"-o", "w.mov", "--codec", "prores_ks", "--preset", "fast"}, "",
         "--preset fast is not a preset that prores_ks takes\n"},
        {{"--raw", "w", "--codec", "ffv1"}, "",
         "--codec, --crf, --preset and --rgb concern a video; --raw writes Mozaro's raw movie\n"},
    };
    const std::map<std::string, Bytes> before = folderContents(folder);
    for (const auto& c : cases) {
        const std::string codec = c.options.size() > 3 && c.options[2] == "--codec" ? c.options[3] : "libx264";
        if (!c.probe.empty() && encoders.find(" " + codec + " ") == std::string::npos) {
            std::cout << "[  SKIPPED ] " << codec << ": this FFmpeg has no such encoder\n";
            continue;
        }
        std::vector<std::string> args = c.options;
        for (const char* word : {"1", "1", "1", "p0.mp4"})
            args.push_back(word);
        RunOutcome run = runVideo(folder, args);
        if (c.probe.empty()) {
            EXPECT_EQ(run.status, 1) << c.err;
            EXPECT_EQ(run.err, "mozaro-video: " + c.err);
            EXPECT_TRUE(folderContents(folder) == before) << c.err;
            continue;
        }
        ASSERT_EQ(run.status, 0) << c.probe << run.err;
        const std::string name = c.options[1];
        EXPECT_EQ(runTool(folder, {"ffprobe", "-v", "error", "-show_entries",
                                   "format=format_name:format_tags=major_brand:stream=codec_name", "-of",
                                   "csv=p=0:s=,", name})
                      .out.find(c.probe.substr(c.probe.rfind(',') + 1)) != std::string::npos,
                  true)
            << c.probe;
        const std::string probed = runTool(folder, {"ffprobe", "-v", "error", "-show_entries",
                                                    "format=format_name:format_tags=major_brand", "-of",
                                                    "default=nw=1:nk=1", name})
                                       .out;
        std::string expected = c.probe.substr(0, c.probe.rfind(','));
        const std::size_t brand = expected.rfind(',');
        expected = expected.substr(0, brand) + "\n" + (expected.size() > brand + 1 ? expected.substr(brand + 1) + "\n" : "");
        EXPECT_EQ(probed, expected) << c.probe;
        const std::string video = readText(folder + "/" + name);
        if (c.probe.rfind("mov,", 0) == 0) {   // the index at the front, for playing while it loads
            EXPECT_LT(video.find("moov"), video.find("mdat")) << c.probe;
        }
        if (!c.note.empty()) {
            EXPECT_NE(video.find(c.note), std::string::npos);
            EXPECT_NE(video.find(" subme=0 "), std::string::npos);   // ultrafast
        }
        ASSERT_EQ(unlink((folder + "/" + name).c_str()), 0);
    }
}

// Panels of unequal length are refused, naming the shortest, unless the frames are asked for.
TEST(MozaroVideo, PanelsOfUnequalLengthAreRefusedUnlessAsked)
{
    SKIP_WITHOUT_VIDEO();
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(0, 36, 20, 5) + " -c:v ffv1 a.mkv");
    ffmpeg(folder, testPicture(1, 36, 20, 3) + " -c:v libx264 b.mp4");
    ffmpeg(folder, testPicture(2, 36, 20, 4) + " -c:v ffv1 c.mkv");
    const struct {
        std::vector<std::string> options;
        int status, frames;
        std::string err;
    } cases[] = {
        {{}, 1, 0,
         "mozaro-video: panel b.mp4 holds 3 frames and panel a.mkv 5; --shortest merges the first 3 of every panel, "
         "--frames N the first N\n"},
        {{"--shortest"}, 0, 3, ""},
        {{"--frames", "2"}, 0, 2, ""},
        {{"--frames", "4"}, 1, 0, "mozaro-video: panel b.mp4 holds only 3 frames, fewer than the 4 asked for\n"},
        {{"--frames", "2", "--shortest"}, 1, 0,
         "mozaro-video: --frames and --shortest ask for two different counts; give one of them\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--raw", "wall", "--quiet"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        for (const char* word : {"3", "1", "1", "a.mkv", "b.mp4", "c.mkv"})
            args.push_back(word);
        RunOutcome run = runVideo(folder, args);
        EXPECT_EQ(run.status, c.status) << c.err;
        EXPECT_EQ(run.err, c.err);
        if (c.status == 0) {
            EXPECT_EQ(readBytes(folder + "/wall").size(), std::size_t(3 * 108 * 20 * c.frames));
            EXPECT_EQ(run.out.find("Finished Frame"), std::string::npos) << "--quiet";
            ASSERT_EQ(unlink((folder + "/wall").c_str()), 0);
            ASSERT_EQ(unlink((folder + "/wall.mg").c_str()), 0);
        } else {
            EXPECT_FALSE(fileExists(folder + "/wall"));
        }
    }
}

// One process: no other program started and no FIFO made, for a video or a raw movie.
TEST(MozaroVideo, StartsNoProgramAndMakesNoFifo)
{
    SKIP_WITHOUT_VIDEO();
    std::string folder = makeScratchFolder();
    if (runTool(folder, {"sh", "-c", "command -v strace"}).status != 0)
        GTEST_SKIP() << "strace is not installed";
    ffmpeg(folder, testPicture(0, 36, 20, 3) + " -c:v libx264 p0.mp4");
    ffmpeg(folder, testPicture(1, 36, 20, 3) + " -c:v ffv1 p1.mkv");
    for (const char* result : {"-o", "--raw"}) {
        // (A sanitized build's leak check cannot run under ptrace.)
        ToolOutcome run = runTool(folder, {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq", "-e", "trace=execve,execveat,mknod,mknodat", "-o",
                                           "../trace", MOZARO_VIDEO, result,
                                           std::string(result) == "-o" ? "w.mp4" : "w", "2", "1", "2", "p0.mp4",
                                           "p1.mkv"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string trace = readText(folder + "/../trace");
        std::size_t starts = 0;
        for (std::size_t at = trace.find("execve"); at != std::string::npos; at = trace.find("execve", at + 1))
            starts++;
        EXPECT_EQ(starts, 1u) << trace;   // mozaro-video itself
        EXPECT_EQ(trace.find("mknod"), std::string::npos) << trace;
    }
}

// Frame ranges: panels with a keyframe every 10 frames and B-frames (MP4, Matroska) and PNG
// sequences, merged in 3 ranges into one part at their places, give the movie of one run.
TEST(MozaroVideo, RangesWrittenIntoAPartMakeTheWholeMovie)
{
    SKIP_WITHOUT_VIDEO();
    const std::string gop = " -c:v libx264 -pix_fmt yuv420p -g 10 -keyint_min 10 -sc_threshold 0 -bf 2 ";
    const struct {
        std::vector<std::string> panels;
        std::string codec;
    } cases[] = {
        {{"g0.mp4", "g1.mp4"}, gop},
        {{"g0.mkv", "g1.mkv"}, gop},
        {{"s0/%04d.png", "s1/%04d.png"}, " "},
    };
    const std::vector<std::pair<int, int>> ranges = {{0, 7}, {7, 9}, {16, 14}};   // first, frames
    for (const auto& c : cases) {
        std::string folder = makeScratchFolder();
        std::vector<std::string> panels;
        for (std::size_t k = 0; k < c.panels.size(); k++) {
            mkdir((folder + "/s" + std::to_string(k)).c_str(), 0777);
            ffmpeg(folder, testPicture(int(k), 24, 16, 30) + c.codec + c.panels[k]);
        }
        RunOutcome whole = runVideo(folder, {"--quiet", "--raw", "whole", "2", "1", "2", c.panels[0], c.panels[1]});
        ASSERT_EQ(whole.status, 0) << whole.err;
        const Bytes wholeMovie = readBytes(folder + "/whole");
        writeBytes(folder + "/part", Bytes(wholeMovie.size(), 0));
        for (const auto& range : ranges) {
            const std::string first = std::to_string(range.first);
            RunOutcome part = runVideo(folder, {"--quiet", "--start", first, "--frames", std::to_string(range.second),
                                                "--part", "part", "--at", first, "2", "1", "2", c.panels[0],
                                                c.panels[1]});
            ASSERT_EQ(part.status, 0) << part.err;
            EXPECT_NE(part.out.find("Finished merging and blending frames " + first + " to " +
                                    std::to_string(range.first + range.second - 1) + " into part part from movie frame " +
                                    first + " on\n"), std::string::npos) << part.out;
        }
        EXPECT_TRUE(readBytes(folder + "/part") == wholeMovie) << c.panels[0];
    }
}

// The frames a video decodes to, as yuv420p, and its frames' times.
std::string decodedFrames(const std::string& folder, const std::string& video)
{
    return runTool(folder, {"sh", "-c", "ffmpeg -v error -nostdin -i " + video + " -f rawvideo -pix_fmt yuv420p -"}).out;
}
std::string frameTimes(const std::string& folder, const std::string& video)
{
    return runTool(folder, {"sh", "-c", "ffprobe -v error -select_streams v -show_entries frame=pts_time -of csv=p=0 " +
                                            video + " | grep -o '^[0-9][0-9.]*'"}).out;
}

// Three ranges encoded as segments (each starting with a keyframe, at its range's times) and
// joined by copying their packets: FFV1 decodes to one run's frames exactly; H.264 holds
// every frame, in order, at one run's times, close to one run's video. A join that cannot
// read a segment leaves the earlier video as it was.
TEST(MozaroVideo, SegmentsOfRangesJoinIntoOneRunsVideo)
{
    SKIP_WITHOUT_VIDEO();
    std::string folder = makeScratchFolder();
    const std::string gop = " -c:v libx264 -pix_fmt yuv420p -g 10 -keyint_min 10 -sc_threshold 0 -bf 2 ";
    for (int k = 0; k < 2; k++)
        ffmpeg(folder, testPicture(k, 48, 32, 30) + gop + "g" + std::to_string(k) + ".mp4");
    const struct {
        std::string codec, ending;
        bool exact;
    } cases[] = {{"ffv1", ".mkv", true}, {"libx264", ".mp4", false}, {"libx264", ".mov", false}};
    const std::vector<std::pair<int, int>> ranges = {{0, 7}, {7, 9}, {16, 14}};   // first, frames
    for (const auto& c : cases) {
        const std::string one = "one" + c.ending, joinedVideo = "wall" + c.ending;
        ASSERT_EQ(runVideo(folder, {"--quiet", "--codec", c.codec, "-o", one, "2", "1", "1", "g0.mp4", "g1.mp4"}).status, 0);
        std::vector<std::string> join = {"--join", joinedVideo};
        for (std::size_t r = 0; r < ranges.size(); r++) {
            const std::string segment = "segment" + std::to_string(r) + c.ending;
            RunOutcome run = runVideo(folder, {"--quiet", "--codec", c.codec, "--start", std::to_string(ranges[r].first),
                                               "--frames", std::to_string(ranges[r].second), "-o", segment, "2", "1",
                                               "1", "g0.mp4", "g1.mp4"});
            ASSERT_EQ(run.status, 0) << run.err;
            join.push_back(segment);
        }
        // A segment missing: nothing is written, the earlier video stays.
        writeText(folder + "/" + joinedVideo, "earlier video");
        std::vector<std::string> broken = join;
        broken.push_back("absent" + c.ending);
        RunOutcome refused = runVideo(folder, broken);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("cannot read segment absent" + c.ending), std::string::npos) << refused.err;
        EXPECT_EQ(readText(folder + "/" + joinedVideo), "earlier video");

        RunOutcome joined = runVideo(folder, join);
        ASSERT_EQ(joined.status, 0) << joined.err;
        EXPECT_EQ(joined.out, "Joined 3 segments into video " + joinedVideo + "\n");
        EXPECT_EQ(frameTimes(folder, joinedVideo), frameTimes(folder, one)) << c.codec;
        const std::string frames = decodedFrames(folder, joinedVideo);
        EXPECT_EQ(frames.size(), std::size_t(30 * 96 * 32 * 3 / 2)) << c.codec;
        if (c.exact) {
            EXPECT_TRUE(frames == decodedFrames(folder, one)) << c.codec;
            continue;
        }
        const std::string psnr = runTool(folder, {"sh", "-c", "ffmpeg -nostdin -i " + joinedVideo + " -i " + one +
                                                                  " -lavfi psnr -f null - 2>&1 | grep -o 'average:[0-9.inf]*'"}).out;
        ASSERT_EQ(psnr.rfind("average:", 0), 0u) << psnr;
        const std::string value = psnr.substr(8, psnr.find('\n') - 8);
        EXPECT_TRUE(value == "inf" || std::stod(value) >= 35) << c.ending << " " << psnr;
    }
}

// --check --porcelain: what a run would make as key=value lines and stop=, the messages on
// standard error; nothing made.
TEST(MozaroVideo, PorcelainCheckSaysWhatARunWouldMake)
{
    SKIP_WITHOUT_VIDEO();
    std::string folder = makeScratchFolder();
    ffmpeg(folder, testPicture(0, 24, 16, 12) + " -c:v libx264 -pix_fmt yuv420p p0.mp4");
    ffmpeg(folder, testPicture(1, 24, 16, 12) + " -c:v libx264 -pix_fmt yuv420p p1.mp4");
    ffmpeg(folder, testPicture(2, 20, 16, 12) + " -c:v libx264 -pix_fmt yuv420p narrow.mp4");
    const struct {
        std::vector<std::string> args;
        std::string out, err;   // all of standard output; a line of standard error
    } cases[] = {
        {{"--raw", "w", "--start", "4", "--frames", "5", "2", "1", "2", "p0.mp4", "p1.mp4"},
         "movie=w\nwidth=24\nheight=8\npanelWidth=24\npanelHeight=16\nfirstFrame=4\nframes=5\nfewestFrames=12\n"
         "rate=25/1\nmerge=raw\nbytes=2880\nstop=none\n",
         "\nCheck passed: the merge would start\n"},
        {{"-o", "w.mkv", "--start", "2", "2", "1", "1", "p0.mp4", "p1.mp4"},
         "movie=w.mkv\ncontainer=matroska\nwidth=48\nheight=16\npanelWidth=24\npanelHeight=16\nfirstFrame=2\n"
         "frames=10\nfewestFrames=12\nrate=25/1\nmerge=planes\nbytes=0\nstop=none\n",
         "\nCheck passed: the merge would start\n"},
        {{"--start", "12", "2", "1", "1", "p0.mp4", "p1.mp4"}, "stop=refused\n",
         "mozaro-video: panel p0.mp4 holds 12 frames: none from frame 12 on\n"},
        {{"--start", "10", "--frames", "3", "2", "1", "1", "p0.mp4", "p1.mp4"}, "stop=refused\n",
         "mozaro-video: panel p0.mp4 holds 12 frames: only 2 from frame 10 on, fewer than the 3 asked for\n"},
        {{"2", "1", "1", "p0.mp4", "narrow.mp4"}, "stop=refused\n",
         "mozaro-video: panel narrow.mp4 is 20 x 16 pixels, not 24 x 16 like panel p0.mp4\n"},
        {{"--start"}, "stop=usage\n", "usage: mozaro-video "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--check", "--porcelain"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunOutcome run = runVideo(folder, args);
        EXPECT_EQ(run.status, c.out.find("stop=none") != std::string::npos ? 0 : 1) << c.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"narrow.mp4", "p0.mp4", "p1.mp4"}));
}

}  // namespace
