// mozaro-frame: one frame of a merged movie as a PNG picture, the right way up, so that a
// result can be looked at without a video tool.
//
// usage: mozaro-frame MOVIE.mg [FRAME] [OUT.png]
//        mozaro-frame movie width height frame out.png
//        mozaro-frame --help | --version
//
// The first form takes the movie's path, size and frame count from the descriptor Mozaro
// writes beside it. A raw movie is frames of width x height pixels back to back, 3 bytes per
// pixel, the first stored row at the bottom of the picture; a PNG starts with its top row, so
// the rows are read last stored first. The channels go into the picture in the order they
// come, as red, green and blue.
//
// The picture is written into a temporary file beside it and renamed over its name only when
// it is whole, so that a run that fails or is stopped leaves an earlier picture as it was.
#include <png.h>

#include <cerrno>
#include <chrono>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "output/output.h"
#include "platform/directories.h"
#include "platform/files.h"
#include "platform/process.h"
#include "geometry/runParameters.h"

using std::to_string;

static const char* const usageText =
    "usage: mozaro-frame MOVIE.mg [FRAME] [OUT.png]\n"
    "       mozaro-frame movie width height frame out.png\n"
    "       mozaro-frame --help | --version\n"
    "    MOVIE.mg = descriptor of a merged movie\n"
    "    FRAME    = number of the frame to show, 0 (the first) when left out\n"
    "    OUT.png  = picture to write, the movie's path followed by -FRAME.png when left out\n"
    "    movie    = raw movie: frames of width x height pixels, 3 bytes a pixel, bottom row first\n";

// One row of the widest frame Mozaro writes is held in memory.
static const std::uint64_t largestWidth = std::uint64_t(maxMosaicWidth);
static const std::uint64_t largestNumber = 2147483647;

struct MovieShape {
    std::string path;
    std::uint64_t width, height, frames;   // frames: as the descriptor gives it
};

// A whole decimal number from 0 to `largest`: digits only, nothing before or after them.
static bool parseCount(const std::string& text, std::uint64_t largest, std::uint64_t* value)
{
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || (n = n * 10 + std::uint64_t(c - '0')) > largest)
            return false;
    }
    *value = n;
    return !text.empty();
}

static int fail(const std::string& message)
{
    std::fprintf(stderr, "mozaro-frame: %s\n", message.c_str());
    return 1;
}

// --help and --version: what they print must arrive whole, or the run fails.
static int answer(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        return fail("cannot write to standard output");
    return 0;
}

// Why the picture could not be written. libpng reports errors by longjmp, so the writing
// below holds no C++ object of its own.
static char pictureProblem[256];

static void onPngError(png_structp png, png_const_charp message)
{
    std::snprintf(pictureProblem, sizeof pictureProblem, "%s", message);
    png_longjmp(png, 1);
}

static void writePngBytes(png_structp png, png_bytep bytes, png_size_t count)
{
    int error = osWriteFull(*static_cast<osFile*>(png_get_io_ptr(png)), bytes, count, osAtPosition);
    if (error != 0)
        png_error(png, osErrorText(error));
}

// Every byte goes out as it is written; nothing is held back to flush.
static void flushNothing(png_structp)
{
}

// Writes frame `frame` of `movie` into `file` as an 8-bit RGB PNG, top row first, through
// `row` (3 x width bytes). False, with pictureProblem set, when reading or writing failed or
// the process was asked to stop.
static bool writePicture(std::ifstream* movie, const MovieShape& shape, std::uint64_t frame, osFile* file,
                         unsigned char* row)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(pictureProblem, sizeof pictureProblem, "%s", std::strerror(ENOMEM));
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, file, writePngBytes, flushNothing);
    // libpng's default stops at a million pixels a side; Mozaro writes wider frames.
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_set_IHDR(png, info, png_uint_32(shape.width), png_uint_32(shape.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::uint64_t rowBytes = 3 * shape.width;
    for (std::uint64_t r = shape.height; r-- > 0;) {
        if (osStopRequested() != 0)
            png_error(png, "asked to stop");
        movie->seekg(std::streamoff((frame * shape.height + r) * rowBytes));
        if (!movie->read(reinterpret_cast<char*>(row), std::streamsize(rowBytes)))
            png_error(png, "the movie cannot be read");
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// The picture being written: a temporary file beside the file it will replace, or a pipe or
// device written as it is.
struct PictureFile {
    osFile file;
    std::string temporary;   // "" when written in place
    std::string target;      // the picture's name, or the file a link of that name leads to
    bool replacing;          // an earlier picture is there
    int temporaryEntry;      // the temporary's entry in the process's registry
};

// Sixteen hex digits no other user can foresee, so that none can plant a file or link under
// the temporary file's name first (it is made exclusively all the same).
static std::string unforeseeableDigits()
{
    std::uint64_t bits = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
        std::random_device device;
        bits ^= (std::uint64_t(device()) << 32) ^ device();
    } catch (...) {
        // The clock alone, where the system has no source of randomness.
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(bits));
    return digits;
}

// Opens the picture `name` for writing; "" or what is wrong.
static std::string createPicture(const std::string& name, PictureFile* picture)
{
    *picture = PictureFile{osNoFile, "", name, false, -1};
    const std::string cannot = "cannot create " + name + ": ";
    if (name.empty())
        return cannot + std::strerror(ENOENT);
    std::string owner;
    if (osLinkOfAnotherUser(name.c_str(), &owner))
        return cannot + "it is a symbolic link of another user (" + owner + "), which is not followed";
    osFileKind kind;
    int error = osKindOfFile(name.c_str(), &kind);
    if (error == 0 && kind == osDirectory)
        error = osIsADirectory;
    // A picture the user may not write stays refused, though its folder would let it be replaced.
    if (error == 0 && kind == osRegularFile)
        error = osMayWrite(name.c_str());
    if (error != 0)
        return cannot + osErrorText(error);
    if (kind == osStream || kind == osOtherFile) {
        error = osOpenForWriting(name.c_str(), &picture->file);
        return error != 0 ? cannot + osErrorText(error) : "";
    }
    picture->replacing = kind == osRegularFile;
    if ((error = osFollowLinks(name.c_str(), &picture->target)) != 0)
        return cannot + osErrorText(error);
    const std::string directory = picture->target.substr(0, osDirectoryPartLength(picture->target.c_str()));
    // A name taken (by a run that was killed, or anyone) is not this run's: another is tried.
    for (int n = 0;; n++) {
        picture->temporary = directory + ".mozaro-frame-" + to_string(osProcessId()) + "-" + unforeseeableDigits();
        error = osCreateNew(picture->temporary.c_str(), &picture->file);
        if (error == 0)
            break;
        osFileKind taken;
        if (n == 99 || osKindOfFile(picture->temporary.c_str(), &taken) != 0 || taken == osNothing) {
            picture->temporary.clear();
            return cannot + osErrorText(error);
        }
    }
    picture->temporaryEntry = osRememberTemporaryFile(picture->temporary.c_str());
    return "";
}

// Closes the picture and removes its temporary file.
static void abandonPicture(PictureFile* picture)
{
    if (picture->file != osNoFile)
        (void)osClose(picture->file);
    picture->file = osNoFile;
    if (!picture->temporary.empty())
        (void)osRemoveFile(picture->temporary.c_str());
    osForgetTemporaryFile(picture->temporaryEntry);
    picture->temporaryEntry = -1;
}

// Closes the whole picture and puts it in place of an earlier one, on storage first; "" or
// what is wrong, and then nothing of the new picture is left.
static std::string finishPicture(const std::string& name, PictureFile* picture)
{
    int error = picture->replacing ? osSync(picture->file) : 0;
    const int closed = osClose(picture->file);
    picture->file = osNoFile;
    if (error == 0)
        error = closed;
    if (error == 0 && osStopRequested() != 0)
        return "";
    if (error == 0 && !picture->temporary.empty() &&
        (error = osRename(picture->temporary.c_str(), picture->target.c_str())) == 0) {
        picture->temporary.clear();
        osForgetTemporaryFile(picture->temporaryEntry);
        picture->temporaryEntry = -1;
    }
    if (error == 0)
        return "";
    abandonPicture(picture);
    return "cannot write " + name + ": " + osErrorText(error);
}

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return answer(usageText);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return answer(std::string("mozaro-frame ") + MOZARO_VERSION + "\n");
    // Ctrl-C, kill and a hang-up only ask the run to stop, so that it can remove its
    // temporary file; a full disk or a file-size limit becomes an ordinary write error.
    bool outputWasClosed = false;
    osPrepareProcess(&outputWasClosed);

    MovieShape shape = {"", 0, 0, 0};
    const char* descriptorName = argc >= 2 && argc <= 4 ? argv[1] : nullptr;
    const char* frameText = argc == 6 ? argv[4] : argc >= 3 && argc <= 4 ? argv[2] : "0";
    std::string outName = argc == 6 ? argv[5] : argc == 4 ? argv[3] : "";
    std::uint64_t frame = 0;
    if (argc == 6) {
        shape.path = argv[1];
        if (!parseCount(argv[2], largestNumber, &shape.width) || shape.width == 0)
            return fail(std::string("width must be a whole number from 1 to 2147483647: \"") + argv[2] + "\"");
        if (!parseCount(argv[3], largestNumber, &shape.height) || shape.height == 0)
            return fail(std::string("height must be a whole number from 1 to 2147483647: \"") + argv[3] + "\"");
    } else if (descriptorName == nullptr) {
        std::fputs(usageText, stderr);
        return 1;
    }
    if (!parseCount(frameText, largestNumber, &frame))
        return fail(std::string("frame must be a whole number from 0 to 2147483647: \"") + frameText + "\"");
    if (descriptorName != nullptr) {
        MovieDescription description;
        std::string problem = readMovieDescription(descriptorName, &description);
        if (!problem.empty())
            return fail(problem);
        shape = MovieShape{description.path, std::uint64_t(description.width), std::uint64_t(description.height),
                           std::uint64_t(description.frames)};
        if (shape.width == 0 || shape.height == 0)
            return fail("movie " + shape.path + " has frames of " + to_string(shape.width) + " x " +
                        to_string(shape.height) + " pixels: there is nothing to show");
        if (outName.empty())
            outName = shape.path + "-" + to_string(frame) + ".png";
    }
    const std::string& path = shape.path;
    const std::string size = to_string(shape.width) + " x " + to_string(shape.height);
    if (shape.width > largestWidth)
        return fail("a frame of " + size + " pixels is wider than " + to_string(largestWidth) + " pixels");
    // Below 3 * 2^20 * 2^31: no overflow; the frame count times it could pass 2^64, so it is
    // compared by division.
    const std::uint64_t frameBytes = 3 * shape.width * shape.height;

    std::error_code error;
    const bool regular = std::filesystem::is_regular_file(path, error);
    const std::uint64_t movieBytes = regular ? std::filesystem::file_size(path, error) : 0;
    if (error)
        return fail("cannot open movie " + path + ": " + error.message());
    if (!regular)
        return fail("movie " + path + " is not a regular file");
    if (descriptorName != nullptr && (movieBytes % frameBytes != 0 || movieBytes / frameBytes != shape.frames))
        return fail("movie " + path + " holds " + to_string(movieBytes) + " bytes, not " + to_string(shape.frames) +
                    " frames of " + size + " (" + to_string(frameBytes) + " bytes each) as " + descriptorName +
                    " gives");
    // A size that is not a whole number of frames nearly always means a wrong width or height.
    if (movieBytes % frameBytes != 0)
        return fail("movie " + path + " holds " + to_string(movieBytes) + " bytes, not a whole number of " + size +
                    " frames (" + to_string(frameBytes) + " bytes each)");
    if (frame >= movieBytes / frameBytes)
        return fail("movie " + path + " holds " + to_string(movieBytes / frameBytes) + " frames; there is no frame " +
                    to_string(frame));
    // By file identity, so that no other name, link or path of them is overwritten either.
    if (std::filesystem::equivalent(path, outName, error))
        return fail("the picture " + outName + " would overwrite the movie");
    if (descriptorName != nullptr && std::filesystem::equivalent(descriptorName, outName, error))
        return fail("the picture " + outName + " would overwrite the descriptor");

    std::ifstream movie(path, std::ios::binary);
    if (!movie)
        return fail("cannot open movie " + path);
    std::vector<unsigned char> row(std::size_t(3 * shape.width));
    PictureFile picture;
    std::string problem = createPicture(outName, &picture);
    if (!problem.empty())
        return fail(problem);
    if (writePicture(&movie, shape, frame, &picture.file, row.data()))
        problem = finishPicture(outName, &picture);
    else if (osStopRequested() == 0)
        problem = !movie ? "cannot read movie " + path + " at frame " + to_string(frame)
                         : "cannot write " + outName + ": " + pictureProblem;
    if (osStopRequested() != 0) {
        abandonPicture(&picture);
        osStopAsRequested();
    }
    if (!problem.empty()) {
        abandonPicture(&picture);
        return fail(problem);
    }
    return 0;
}
