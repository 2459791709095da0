// FFmpeg around a merge: the README's commands that prepare panel movies, and mozaro-encode's
// videos, checked with ffprobe and one decoded frame. The cases that need FFmpeg are
// skipped, visibly, where it is not installed.
#include <gtest/gtest.h>

#include <random>

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
        "ffmpeg-elsewhere -nostdin -y -loglevel error -f rawvideo -pixel_format rgb24 -video_size 33x20 -framerate 25 "
        "-i file:" + folder + "/B_panel -vf vflip,pad=34:20 -c:v libx264 -pix_fmt yuv420p -movflags +faststart "
        "'file:my videos/it'\\''s.mp4'";
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
};

// Refused before FFmpeg is looked for, so these run everywhere.
TEST(MozaroEncode, RefusesWhatItCannotEncodeAndWritesNothing)
{
    const std::string usage =
        "usage: mozaro-encode [-r RATE] MOVIE.mg [OUT.mp4]\n"
        "    -r, --rate RATE = frames per second, 25 when left out\n"
        "    MOVIE.mg        = descriptor of a merged movie\n"
        "    OUT.mp4         = video to write, the movie's path followed by .mp4 when left out\n";
    const std::string notOneLine = "descriptor bad.mg is not one line \"localhost  PATH WIDTH HEIGHT FRAMES\"";
    const std::string badRate = "rate must be a number of frames per second, such as 25, 29.97 or 30000/1001: ";
    const RefusalCase cases[] = {
        {"no arguments", {}, usage},
        {"three arguments", {"movie.mg", "out.mp4", "x"}, usage},
        {"a rate without its number", {"-r"}, usage},
        {"an unknown option", {"-x", "movie.mg"}, usage},
        {"a rate in words", {"--rate", "fast", "movie.mg"}, badRate + "\"fast\""},
        {"a rate of 0", {"-r", "0.0", "movie.mg"}, badRate + "\"0.0\""},
        {"a negative rate", {"-r", "-5", "movie.mg"}, badRate + "\"-5\""},
        {"a rate with two fractions", {"-r", "1/2/3", "movie.mg"}, badRate + "\"1/2/3\""},
        {"a missing descriptor", {"nothing.mg"}, "cannot read descriptor nothing.mg: No such file or directory"},
        {"a folder for a descriptor", {"folder"}, "cannot read descriptor folder: Is a directory"},
        {"two lines", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2\nlocalhost  movie 2 2 2\n"},
        {"no line end", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2"},
        {"another host", {"bad.mg"}, notOneLine, "otherhost  movie 2 2 2\n"},
        {"no path", {"bad.mg"}, notOneLine, "localhost   2 2 2\n"},
        {"a number missing", {"bad.mg"}, notOneLine, "localhost  movie 2 2\n"},
        {"a frame count beyond 31 bits", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2147483648\n"},
        {"no frames", {"bad.mg"}, "movie movie holds 0 frames of 2 x 2 pixels: there is nothing to show",
         "localhost  movie 2 2 0\n"},
        {"a missing movie", {"bad.mg"}, "cannot open movie nothing: No such file or directory",
         "localhost  nothing 2 2 2\n"},
        {"a movie shorter than its descriptor gives", {"bad.mg"},
         "movie movie holds 24 bytes, not the 36 of 3 frames of 2 x 2 that bad.mg gives",
         "localhost  movie 2 2 3\n"},
        {"the movie through a link as the video", {"movie.mg", "link"}, "the video link would overwrite the movie"},
        {"the descriptor as the video", {"--", "movie.mg", "./movie.mg"},
         "the video ./movie.mg would overwrite the descriptor"},
    };
    std::mt19937 rng(11);
    for (const RefusalCase& c : cases) {
        std::string folder = makeScratchFolder();
        writeBytes(folder + "/movie", randomBytes(2 * 12, rng));   // two frames of 2 x 2
        writeText(folder + "/movie.mg", "localhost  movie 2 2 2\n");
        writeText(folder + "/bad.mg", c.badDescriptor);
        ASSERT_EQ(mkdir((folder + "/folder").c_str(), 0777), 0);
        ASSERT_EQ(symlink("movie", (folder + "/link").c_str()), 0);
        const std::vector<std::string> before = listFolder(folder);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), MOZARO_ENCODE);
        ToolOutcome run = runTool(folder, args);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.err, c.err == usage ? usage : "mozaro-encode: " + c.err + "\n") << c.what;
        EXPECT_EQ(run.out, "") << c.what;
        EXPECT_EQ(listFolder(folder), before) << c.what;
    }
}

// The README's "Preparing panel movies" commands, taken from it as they stand: a PNG
// sequence and a lossless video, prepared and merged side by side at nBlend 1, give back
// their pixels, bottom row first.
TEST(PreparingPanelMovies, ReadmeCommandsGiveBackThePixels)
{
    const std::string readme = readText(MOZARO_SOURCE_DIR "/README.md");
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
