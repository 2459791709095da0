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
// it is whole, as Mozaro puts a movie in place (output/replacement.cpp), so that a run that
// fails or is stopped leaves an earlier picture as it was.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
static bool writePicture(osFile movie, const MovieShape& shape, std::uint64_t frame, osFile* file,
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
        std::size_t got = 0;
        const int error = osReadFull(movie, row, std::size_t(rowBytes), std::int64_t((frame * shape.height + r) * rowBytes),
                                     &got);
        if (error != 0 || got != rowBytes)
            png_error(png, error != 0 ? osErrorText(error) : "the movie ended before the frame");
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
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

    osFileKind kind;
    if (osKindOfFile(path.c_str(), &kind) == 0 && (kind == osDirectory || kind == osStream))
        return fail("movie " + path + " is not a regular file");
    osFile movie;
    int error = osOpenForReading(path.c_str(), &movie);
    if (error != 0)
        return fail("cannot open movie " + path + ": " + osErrorText(error));
    std::int64_t fileBytes = 0;
    if (!osRegularFileSize(movie, &fileBytes)) {
        osCloseAfterReading(movie);
        return fail("movie " + path + " is not a regular file");
    }
    const std::uint64_t movieBytes = std::uint64_t(fileBytes);
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
    osFileIdentity picture, other;
    const bool pictureExists = osIdentifyFile(outName.c_str(), &picture);
    if (pictureExists && osIdentifyFile(path.c_str(), &other) && osSameFile(picture, other))
        return fail("the picture " + outName + " would overwrite the movie");
    if (pictureExists && descriptorName != nullptr && osIdentifyFile(descriptorName, &other) && osSameFile(picture, other))
        return fail("the picture " + outName + " would overwrite the descriptor");

    std::vector<unsigned char> row(std::size_t(3 * shape.width));
    std::vector<osFileIdentity> read;
    if (osIdentifyFile(path.c_str(), &other))
        read.push_back(other);
    Replacement written;
    std::string problem = createReplacement(outName.c_str(), "picture", read, true, &written);
    if (!problem.empty())
        return fail("cannot create " + outName + ": " + problem);
    if (writePicture(movie, shape, frame, &written.file, row.data()))
        problem = finishReplacement(&written, true);
    else if (osStopRequested() == 0)
        problem = pictureProblem;
    osCloseAfterReading(movie);
    if (osStopRequested() != 0) {
        abandonReplacement(&written);
        osStopAsRequested();
    }
    if (!problem.empty()) {
        abandonReplacement(&written);
        return fail("cannot write " + outName + ": " + problem);
    }
    return 0;
}
