// mozaro-frame, run as built: its pictures are read back through libpng and their rows
// compared with the movie's frame; every refusal must leave no picture behind.
#include <gtest/gtest.h>

#include <png.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testSupport.h"

namespace {

ToolOutcome runMozaroFrame(const std::string& folder, std::vector<std::string> args, unsigned long fileLimit = 0)
{
    args.insert(args.begin(), MOZARO_FRAME);
    return runTool(folder, args, fileLimit);
}

struct Picture {
    std::uint32_t width, height;
    Bytes rows;   // top row first, 3 bytes a pixel
};

// Reads an 8-bit RGB PNG whole; false when it is anything else. libpng's errors arrive by
// longjmp, so `whole` is the only local changed after setjmp.
bool readPicture(const std::string& path, Picture* picture)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    volatile bool whole = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
        png_read_info(png, info);
        picture->width = png_get_image_width(png, info);
        picture->height = png_get_image_height(png, info);
        if (png_get_bit_depth(png, info) == 8 && png_get_color_type(png, info) == PNG_COLOR_TYPE_RGB &&
            png_get_interlace_type(png, info) == PNG_INTERLACE_NONE) {
            picture->rows.resize(std::size_t(3) * picture->width * picture->height);
            for (std::size_t r = 0; r < picture->height; r++)
                png_read_row(png, &picture->rows[r * 3 * picture->width], nullptr);
            png_read_end(png, nullptr);
            whole = true;
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return whole;
}

// Frame `frame` of a raw movie the way a picture holds it: the last stored row on top.
Bytes uprightFrame(const Bytes& movie, std::size_t width, std::size_t height, std::size_t frame)
{
    const std::size_t rowBytes = 3 * width;
    Bytes rows;
    for (std::size_t r = height; r-- > 0;) {
        auto start = movie.begin() + long((frame * height + r) * rowBytes);
        rows.insert(rows.end(), start, start + long(rowBytes));
    }
    return rows;
}

struct PictureCase {
    const char* what;
    std::uint32_t width, height, frames, frame;
    bool flat;                        // one grey all over, which must compress well
    std::string movie, descriptor;    // the descriptor, movie + ".mg", when not empty
    std::vector<std::string> args;
    std::string picture;
    std::string earlier = "";   // a file that holds an earlier picture: the picture, or where a link of its name leads
};

TEST(MozaroFrame, PictureHoldsTheFrameTopRowFirst)
{
    const PictureCase cases[] = {
        {"one pixel", 1, 1, 1, 0, false, "movie", "", {"movie", "1", "1", "0", "out.png"}, "out.png"},
        {"odd sizes, a middle frame", 5, 3, 4, 1, false, "movie", "", {"movie", "5", "3", "1", "out.png"}, "out.png"},
        {"the last frame", 3, 7, 3, 2, false, "movie", "", {"movie", "3", "7", "2", "out.png"}, "out.png"},
        {"one grey frame", 200, 150, 2, 1, true, "movie", "", {"movie", "200", "150", "1", "out.png"}, "out.png"},
        {"wider than libpng allows by default", 1000001, 1, 1, 0, false, "movie", "",
         {"movie", "1000001", "1", "0", "out.png"}, "out.png"},
        {"descriptor, frame and picture left out", 5, 3, 4, 0, false, "movie", "localhost  movie 5 3 4\n",
         {"movie.mg"}, "movie-0.png"},
        {"descriptor in CR LF, frame and picture given", 3, 7, 3, 2, false, "movie", "localhost  movie 3 7 3\r\n",
         {"movie.mg", "2", "pic.png"}, "pic.png"},
        {"a path with blanks", 4, 2, 5, 3, false, "my movie", "localhost  my movie 4 2 5\n", {"my movie.mg", "3"},
         "my movie-3.png"},
        {"numbers with leading zeros", 2, 3, 2, 1, false, "movie", "localhost  movie 02 3 002\n", {"movie.mg", "1"},
         "movie-1.png"},
        {"an earlier picture replaced", 5, 3, 4, 1, false, "movie", "", {"movie", "5", "3", "1", "out.png"}, "out.png",
         "out.png"},
        {"an earlier picture replaced through a link", 5, 3, 4, 1, false, "movie", "",
         {"movie", "5", "3", "1", "out.png"}, "out.png", "pictures/kept.png"},
    };
    std::mt19937 rng(7);
    for (const PictureCase& c : cases) {
        std::string folder = makeScratchFolder();
        const std::size_t frameBytes = std::size_t(3) * c.width * c.height;
        Bytes movie = c.flat ? Bytes(frameBytes * c.frames, 77) : randomBytes(frameBytes * c.frames, rng);
        writeBytes(folder + "/" + c.movie, movie);
        if (!c.descriptor.empty())
            writeText(folder + "/" + c.movie + ".mg", c.descriptor);
        if (!c.earlier.empty()) {
            ASSERT_EQ(mkdir((folder + "/pictures").c_str(), 0777), 0);
            writeText(folder + "/" + c.earlier, "an earlier picture");
            if (c.earlier != c.picture) {
                ASSERT_EQ(symlink(c.earlier.c_str(), (folder + "/" + c.picture).c_str()), 0);
            }
        }
        std::vector<std::string> expectedFiles = listFolder(folder);
        if (c.earlier.empty())
            expectedFiles.push_back(c.picture);
        std::sort(expectedFiles.begin(), expectedFiles.end());

        ToolOutcome run = runMozaroFrame(folder, c.args);
        ASSERT_EQ(run.status, 0) << c.what << ": " << run.err;
        EXPECT_EQ(run.out, "") << c.what;
        EXPECT_EQ(run.err, "") << c.what;
        EXPECT_EQ(listFolder(folder), expectedFiles) << c.what;
        if (!c.earlier.empty()) {
            EXPECT_EQ(listFolder(folder + "/pictures").size(), std::size_t(c.earlier == c.picture ? 0 : 1)) << c.what;
            EXPECT_NE(readText(folder + "/" + c.earlier), "an earlier picture") << c.what;
        }
        EXPECT_EQ(readBytes(folder + "/" + c.movie), movie) << c.what;
        Picture picture;
        ASSERT_TRUE(readPicture(folder + "/" + c.picture, &picture)) << c.what;
        EXPECT_EQ(picture.width, c.width) << c.what;
        EXPECT_EQ(picture.height, c.height) << c.what;
        EXPECT_TRUE(picture.rows == uprightFrame(movie, c.width, c.height, c.frame)) << c.what;
        if (c.flat) {
            EXPECT_LT(readBytes(folder + "/" + c.picture).size(), frameBytes / 20) << c.what;
        }
    }
}

// The descriptor as Mozaro writes it, with the movie's absolute path: the picture goes beside
// the movie, not into the folder the tool runs in.
TEST(MozaroFrame, ShowsAFrameOfAMergeByItsDescriptor)
{
    std::mt19937 rng(10);
    std::string folder = makeScratchFolder();
    MovieGrid grid = randomGrid(rng, 2, 1, 6, 4, 3, 2);
    ASSERT_EQ(runMozaro(folder, writeGrid(folder, grid), "yes\n").status, 0);
    ASSERT_EQ(mkdir((folder + "/elsewhere").c_str(), 0777), 0);
    ToolOutcome run = runMozaroFrame(folder + "/elsewhere", {"../B_f0.mg", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(listFolder(folder + "/elsewhere").empty());
    Picture picture;
    ASSERT_TRUE(readPicture(folder + "/B_f0-2.png", &picture));
    EXPECT_EQ(picture.width, 6u);
    EXPECT_EQ(picture.height, 2u);
    EXPECT_TRUE(picture.rows == uprightFrame(modelMovie(grid), 6, 2, 2));
}

// Links planted under names of the shape of this run's temporary files (its process id, which
// the shell that plants them hands on by exec) are neither written through, removed nor put
// in place.
TEST(MozaroFrame, LinksPlantedWhereItsTemporaryFileCouldBeAreLeftAlone)
{
    std::mt19937 rng(12);
    std::string folder = makeScratchFolder();
    MovieGrid grid = randomGrid(rng, 1, 1, 6, 4, 2, 1);
    ASSERT_EQ(runMozaro(folder, writeGrid(folder, grid), "yes\n").status, 0);
    ToolOutcome run = runTool(folder, {"sh", "-c",
                                       "for n in 0 1 2; do ln -s /dev/null .mozaro-" + hashOfName("B_f0-1.png") +
                                           "-picture-$$-$n || exit; done; ln -s nowhere .mozaro-" +
                                           hashOfName("B_f0-1.png") + "-picture-$$-3 && exec \"$0\" \"$@\"",
                                       MOZARO_FRAME, "B_f0.mg", "1"});
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat picture;
    ASSERT_EQ(lstat((folder + "/B_f0-1.png").c_str(), &picture), 0);
    EXPECT_TRUE(S_ISREG(picture.st_mode));
    Picture read;
    ASSERT_TRUE(readPicture(folder + "/B_f0-1.png", &read));
    EXPECT_TRUE(read.rows == uprightFrame(modelMovie(grid), 6, 4, 1));
    int planted = 0;
    for (const std::string& name : listFolder(folder)) {
        if (name.rfind(".mozaro-", 0) != 0)
            continue;
        char to[64] = {};
        EXPECT_GT(readlink((folder + "/" + name).c_str(), to, sizeof to - 1), 0) << name;
        EXPECT_TRUE(std::string(to) == "/dev/null" || std::string(to) == "nowhere") << name << " -> " << to;
        planted++;
    }
    EXPECT_EQ(planted, 4);
}

// A link of another user, planted under the picture's name in a shared folder, is not
// followed: it could lead anywhere this user may write.
TEST(OtherUsers, MozaroFrameFollowsNoLinkOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to plant a link as another user";
    std::mt19937 rng(14);
    std::string folder = makeScratchFolder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    ASSERT_EQ(runMozaro(folder, writeGrid(folder, randomGrid(rng, 1, 1, 6, 4, 2, 1)), "yes\n").status, 0);
    writeText(parent + "/precious", "not a picture");
    // Planted by nobody in a folder with the sticky bit that everyone may write, as /tmp is.
    ASSERT_EQ(chmod(parent.c_str(), 0711), 0);
    ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
    ChildLimits nobody;
    nobody.userId = 65534;
    ASSERT_EQ(waitForChild(startChild(folder, {"sh", "-c", "ln -s ../precious B_f0-0.png && ln -s /dev/null device.png"},
                                      "/dev/null", parent + "/plant.out", parent + "/plant.err", nobody))
                  .status, 0) << readText(parent + "/plant.err");
    const std::map<std::string, Bytes> before = folderContents(folder);
    for (const char* picture : {"B_f0-0.png", "device.png"}) {
        std::vector<std::string> args = {"B_f0.mg"};
        if (std::string(picture) == "device.png")
            args.insert(args.end(), {"0", picture});
        ToolOutcome run = runMozaroFrame(folder, args);
        EXPECT_EQ(run.status, 1) << picture;
        // The picture named after the movie, by the descriptor's full path, or as given.
        const std::string named = args.size() == 1 ? folder + "/" + picture : picture;
        EXPECT_EQ(run.err, "mozaro-frame: cannot create " + named + ": " + named +
                               " is a symbolic link of user nobody, which is not followed\n");
        EXPECT_EQ(folderContents(folder), before) << picture;
        EXPECT_EQ(readText(parent + "/precious"), "not a picture");
    }
}

struct RefusalCase {
    const char* what;
    std::vector<std::string> args;
    std::string err;                  // the usage text, or the message after the program's name
    std::string badDescriptor = "";   // the contents of bad.mg
};

TEST(MozaroFrame, RefusesWhatItCannotShowAndLeavesNoPicture)
{
    const std::string usage =
        "usage: mozaro-frame MOVIE.mg [FRAME] [OUT.png]\n"
        "       mozaro-frame movie width height frame out.png\n"
        "       mozaro-frame --help | --version\n"
        "    MOVIE.mg = descriptor of a merged movie\n"
        "    FRAME    = number of the frame to show, 0 (the first) when left out\n"
        "    OUT.png  = picture to write, the movie's path followed by -FRAME.png when left out\n"
        "    movie    = raw movie: frames of width x height pixels, 3 bytes a pixel, bottom row first\n";
    const std::string notOneLine = "descriptor bad.mg is not one line \"localhost  PATH WIDTH HEIGHT FRAMES\"";
    const RefusalCase cases[] = {
        {"no arguments", {}, usage},
        {"one argument too many", {"movie", "2", "2", "0", "out.png", "x"}, usage},
        {"one argument too few", {"movie", "2", "2", "0"}, usage},
        {"a word for the width", {"movie", "abc", "2", "0", "out.png"},
         "width must be a whole number from 1 to 2147483647: \"abc\""},
        {"an empty width", {"movie", "", "2", "0", "out.png"},
         "width must be a whole number from 1 to 2147483647: \"\""},
        {"a width of 0", {"movie", "0", "2", "0", "out.png"},
         "width must be a whole number from 1 to 2147483647: \"0\""},
        {"a width beyond 31 bits", {"movie", "2147483648", "1", "0", "out.png"},
         "width must be a whole number from 1 to 2147483647: \"2147483648\""},
        {"a negative height", {"movie", "2", "-2", "0", "out.png"},
         "height must be a whole number from 1 to 2147483647: \"-2\""},
        {"a height with a unit", {"movie", "2", "2px", "0", "out.png"},
         "height must be a whole number from 1 to 2147483647: \"2px\""},
        {"a signed frame", {"movie", "2", "2", "+1", "out.png"},
         "frame must be a whole number from 0 to 2147483647: \"+1\""},
        {"a frame wider than any Mozaro writes", {"movie", "1048577", "1", "0", "out.png"},
         "a frame of 1048577 x 1 pixels is wider than 1048576 pixels"},
        {"the frame after the last", {"movie", "2", "2", "2", "out.png"},
         "movie movie holds 2 frames; there is no frame 2"},
        {"a size that does not divide the movie", {"movie", "3", "2", "0", "out.png"},
         "movie movie holds 24 bytes, not a whole number of 3 x 2 frames (18 bytes each)"},
        {"an empty movie", {"empty", "2", "2", "0", "out.png"}, "movie empty holds 0 frames; there is no frame 0"},
        {"a missing movie", {"nothing", "2", "2", "0", "out.png"},
         "cannot open movie nothing: No such file or directory"},
        {"a folder for a movie", {"folder", "2", "2", "0", "out.png"}, "movie folder is not a regular file"},
        {"the movie itself as the picture", {"movie", "2", "2", "0", "./movie"},
         "the picture ./movie would overwrite the movie"},
        {"the movie through a link as the picture", {"movie", "2", "2", "0", "link"},
         "the picture link would overwrite the movie"},
        {"a picture in a missing folder", {"movie", "2", "2", "0", "nowhere/out.png"},
         "cannot create nowhere/out.png: No such file or directory"},
        {"a picture through a link into a missing folder", {"movie", "2", "2", "0", "lost"},
         "cannot create lost: No such file or directory"},
        {"a folder for the picture", {"movie", "2", "2", "0", "folder"}, "cannot create folder: Is a directory"},
        {"an empty name for the picture", {"movie", "2", "2", "0", ""}, "cannot create : No such file or directory"},
        {"a full device for the picture", {"movie", "2", "2", "0", "full"},
         "cannot write full: No space left on device"},
        // The descriptor's form.
        {"--help beside another argument", {"--help", "0"}, "cannot read descriptor --help: No such file or directory"},
        {"a missing descriptor", {"nothing.mg"}, "cannot read descriptor nothing.mg: No such file or directory"},
        {"a folder for a descriptor", {"folder"}, "cannot read descriptor folder: Is a directory"},
        {"an empty descriptor", {"bad.mg"}, notOneLine, ""},
        {"two lines", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2\nlocalhost  movie 2 2 2\n"},
        {"no line end", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2"},
        {"a CR alone at the end", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2\r"},
        {"another host", {"bad.mg"}, notOneLine, "otherhost  movie 2 2 2\n"},
        {"one blank after the host", {"bad.mg"}, notOneLine, "localhost movie 2 2 2\n"},
        {"no path", {"bad.mg"}, notOneLine, "localhost   2 2 2\n"},
        {"a number missing", {"bad.mg"}, notOneLine, "localhost  movie 2 2\n"},
        {"a negative width", {"bad.mg"}, notOneLine, "localhost  movie -2 2 2\n"},
        {"a blank after the frame count", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2 \n"},
        {"a frame count beyond 31 bits", {"bad.mg"}, notOneLine, "localhost  movie 2 2 2147483648\n"},
        {"a NUL byte in the path", {"bad.mg"}, notOneLine, std::string("localhost  mov\0ie 2 2 2\n", 23)},
        // What the descriptor says against the movie.
        {"a frame width of 0", {"bad.mg"}, "movie movie has frames of 0 x 2 pixels: there is nothing to show",
         "localhost  movie 0 2 2\n"},
        {"a movie shorter than its descriptor gives", {"bad.mg"},
         "movie movie holds 24 bytes, not 3 frames of 2 x 2 (12 bytes each) as bad.mg gives",
         "localhost  movie 2 2 3\n"},
        {"a movie longer than its descriptor gives", {"bad.mg"},
         "movie movie holds 24 bytes, not 3 frames of 1 x 2 (6 bytes each) as bad.mg gives",
         "localhost  movie 1 2 3\n"},
        {"the frame after the last, by the descriptor", {"movie.mg", "2"},
         "movie movie holds 2 frames; there is no frame 2"},
        {"a picture name in place of the frame", {"movie.mg", "out.png"},
         "frame must be a whole number from 0 to 2147483647: \"out.png\""},
        {"the movie through a link, by the descriptor", {"movie.mg", "1", "link"},
         "the picture link would overwrite the movie"},
        {"the descriptor as the picture", {"movie.mg", "1", "movie.mg"},
         "the picture movie.mg would overwrite the descriptor"},
        {"the descriptor through a link as the picture", {"movie.mg", "1", "mglink"},
         "the picture mglink would overwrite the descriptor"},
    };
    std::mt19937 rng(8);
    for (const RefusalCase& c : cases) {
        std::string folder = makeScratchFolder();
        Bytes movie = randomBytes(2 * 12, rng);   // two frames of 2 x 2
        writeBytes(folder + "/movie", movie);
        writeBytes(folder + "/empty", Bytes());
        writeText(folder + "/movie.mg", "localhost  movie 2 2 2\n");
        writeText(folder + "/bad.mg", c.badDescriptor);
        ASSERT_EQ(mkdir((folder + "/folder").c_str(), 0777), 0);
        ASSERT_EQ(symlink("movie", (folder + "/link").c_str()), 0);
        ASSERT_EQ(symlink("movie.mg", (folder + "/mglink").c_str()), 0);
        // Through a link, so that a tool that wrongly deleted its failed picture would only
        // ever remove the link.
        ASSERT_EQ(symlink("/dev/full", (folder + "/full").c_str()), 0);
        ASSERT_EQ(symlink("nowhere/lost.png", (folder + "/lost").c_str()), 0);
        const std::vector<std::string> before = listFolder(folder);

        ToolOutcome run = runMozaroFrame(folder, c.args);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.err, c.err == usage ? usage : "mozaro-frame: " + c.err + "\n") << c.what;
        EXPECT_EQ(run.out, "") << c.what;
        EXPECT_EQ(listFolder(folder), before) << c.what;
        EXPECT_EQ(readBytes(folder + "/movie"), movie) << c.what;
        EXPECT_EQ(readText(folder + "/movie.mg"), "localhost  movie 2 2 2\n") << c.what;
    }
}

// The picture's temporary file, once it is there; "" when none comes within 20 seconds.
std::string temporaryPicture(const std::string& folder)
{
    for (int attempt = 0; attempt < 20000; attempt++) {
        for (const std::string& name : listFolder(folder))
            if (name.rfind(".mozaro-", 0) == 0 && name.find("-picture-") != std::string::npos)
                return name;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return "";
}

struct FailedWriteCase {
    const char* what;
    bool earlierPicture;   // out.png is there before the run
    int signalNumber;      // sent while the picture is written; 0: a file-size limit stops it
};

// A run that cannot finish its picture leaves the folder as it was: no temporary file, and an
// earlier picture of that name whole.
TEST(MozaroFrame, AFailedOrInterruptedPictureLeavesEveryFileAsItWas)
{
    const FailedWriteCase cases[] = {
        {"cut short by a file-size limit", false, 0},
        {"cut short by a file-size limit, an earlier picture", true, 0},
        {"interrupted, an earlier picture", true, SIGINT},
        {"terminated, an earlier picture", true, SIGTERM},
        {"hung up", false, SIGHUP},
    };
    std::mt19937 rng(9);
    // Random pixels compress slowly: the signal arrives long before such a picture is done.
    const Bytes large = randomBytes(3 * 4096 * 1536, rng);
    for (const FailedWriteCase& c : cases) {
        std::string folder = makeScratchFolder();
        writeBytes(folder + "/movie", c.signalNumber != 0 ? large : Bytes(large.begin(), large.begin() + 3 * 200 * 150));
        if (c.earlierPicture)
            writeText(folder + "/out.png", "an earlier picture");
        const std::map<std::string, Bytes> before = folderContents(folder);
        ToolOutcome run;
        if (c.signalNumber == 0) {
            run = runMozaroFrame(folder, {"movie", "200", "150", "0", "out.png"}, 10000);
            EXPECT_EQ(run.status, 1) << c.what;
            EXPECT_EQ(run.err, "mozaro-frame: cannot write out.png: File too large\n") << c.what;
        } else {
            StartedRun started = startTool(folder, {MOZARO_FRAME, "movie", "4096", "1536", "0", "out.png"});
            EXPECT_NE(temporaryPicture(folder), "") << c.what;
            kill(started.pid, c.signalNumber);
            RunOutcome stopped = waitForMozaro(started);
            EXPECT_EQ(stopped.status, 128 + c.signalNumber) << c.what;
            EXPECT_EQ(stopped.err, "") << c.what;
        }
        EXPECT_EQ(folderContents(folder), before) << c.what;
        std::remove((folder + "/movie").c_str());   // 19 MB for a signal, not worth keeping
    }
}

}  // namespace
