// mozaro-frame: one frame of a merged movie as a PNG picture, the right way up, so that a
// result can be looked at without a video tool.
//
// usage: mozaro-frame MOVIE.mg [FRAME] [OUT.png]
//        mozaro-frame movie width height frame out.png
//
// The first form takes the movie's path, size and frame count from the descriptor Mozaro
// writes beside it. A raw movie is frames of width x height pixels back to back, 3 bytes per
// pixel, the first stored row at the bottom of the picture; a PNG starts with its top row, so
// the rows are read last stored first. The channels go into the picture in the order they
// come, as red, green and blue.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

static const char* const usageText =
    "usage: mozaro-frame MOVIE.mg [FRAME] [OUT.png]\n"
    "       mozaro-frame movie width height frame out.png\n"
    "    MOVIE.mg = descriptor of a merged movie\n"
    "    FRAME    = number of the frame to show, 0 (the first) when left out\n"
    "    OUT.png  = picture to write, the movie's path followed by -FRAME.png when left out\n"
    "    movie    = raw movie: frames of width x height pixels, 3 bytes a pixel, bottom row first\n";

static const char* const descriptorForm = "\"localhost  PATH WIDTH HEIGHT FRAMES\"";
// The largest frame Mozaro reads or writes, 8192 x 8192 pixels: a row of it is held in memory.
static const std::uint64_t largestFrameBytes = 201326592;
static const std::uint64_t largestNumber = 2147483647;
// Far longer than any line Mozaro writes; anything longer is not a descriptor.
static const std::size_t largestDescriptorBytes = 65536;

struct MovieShape {
    std::string path;
    std::uint64_t width, height;
    std::uint64_t frames;   // as the descriptor gives it; unknown in the second form
    bool framesKnown;
};

// A whole decimal number from 0 to `largest`: digits only, nothing before or after them.
static bool parseCount(const std::string& text, std::uint64_t largest, std::uint64_t* value)
{
    if (text.empty())
        return false;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + std::uint64_t(c - '0');
        if (n > largest)
            return false;
    }
    *value = n;
    return true;
}

static std::string errorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

static int fail(const std::string& message)
{
    std::fprintf(stderr, "mozaro-frame: %s\n", message.c_str());
    return 1;
}

// The descriptor's one line: "localhost", two blanks, the path, then width, height and frame
// count after one blank each, and LF or CR LF. The path may hold blanks, so the numbers are
// taken from the end. Returns an empty string, or what is wrong.
static std::string readDescriptor(const char* name, MovieShape* shape)
{
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr)
        return std::string("cannot read descriptor ") + name + ": " + errorText(errno);
    std::vector<char> bytes(largestDescriptorBytes + 1);
    std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file);
    bool readError = std::ferror(file) != 0;
    int error = errno;
    std::fclose(file);
    if (readError)
        return std::string("cannot read descriptor ") + name + ": " + errorText(error);
    std::string line(bytes.data(), count);
    const std::string notOneLine = std::string("descriptor ") + name + " is not one line " + descriptorForm;
    const std::string host = "localhost  ";
    if (line.size() > largestDescriptorBytes || line.empty() || line.back() != '\n')
        return notOneLine;
    line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.compare(0, host.size(), host) != 0 || line.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
        return notOneLine;
    std::uint64_t* numbers[3] = {&shape->frames, &shape->height, &shape->width};
    for (std::uint64_t* number : numbers) {
        std::size_t blank = line.rfind(' ');
        if (blank < host.size() || !parseCount(line.substr(blank + 1), largestNumber, number))
            return notOneLine;
        line.erase(blank);
    }
    shape->path = line.substr(host.size());
    shape->framesKnown = true;
    return shape->path.empty() ? notOneLine : "";
}

// Why the picture could not be written; libpng reports its errors through longjmp, so the
// writing below keeps no C++ object of its own.
static char pictureProblem[256];

static void onPngError(png_structp png, png_const_charp message)
{
    std::snprintf(pictureProblem, sizeof pictureProblem, "%s", message);
    png_longjmp(png, 1);
}

// The one warning a complete picture could bring is about a text chunk, and none is written.
static void onPngWarning(png_structp, png_const_charp)
{
}

static void writePngBytes(png_structp png, png_bytep bytes, png_size_t count)
{
    std::FILE* file = static_cast<std::FILE*>(png_get_io_ptr(png));
    if (std::fwrite(bytes, 1, count, file) != count)
        png_error(png, std::strerror(errno != 0 ? errno : EIO));
}

// Flushed once, after the last chunk, where the result is checked.
static void flushPngBytes(png_structp)
{
}

// Writes frame `frame` of `movie` into `file` as an 8-bit RGB PNG, top row first, through
// `row` (3 x width bytes). False, with pictureProblem set, when reading or writing failed.
static bool writePicture(std::ifstream* movie, const MovieShape& shape, std::uint64_t frame, std::FILE* file,
                         unsigned char* row)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
    if (png == nullptr) {
        std::snprintf(pictureProblem, sizeof pictureProblem, "%s", std::strerror(ENOMEM));
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    if (info == nullptr)
        png_error(png, std::strerror(ENOMEM));
    png_set_write_fn(png, file, writePngBytes, flushPngBytes);
    // libpng's own default stops at a million pixels a side; Mozaro writes wider frames.
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_set_IHDR(png, info, png_uint_32(shape.width), png_uint_32(shape.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::uint64_t rowBytes = 3 * shape.width;
    const std::uint64_t frameStart = frame * rowBytes * shape.height;
    for (std::uint64_t r = shape.height; r-- > 0;) {
        movie->seekg(std::streamoff(frameStart + r * rowBytes));
        movie->read(reinterpret_cast<char*>(row), std::streamsize(rowBytes));
        if (!*movie)
            png_error(png, "the movie cannot be read");
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Drops a picture that could not be written whole, so that no broken file is left behind;
// a device or a pipe given as the picture is left alone.
static int failWriting(std::FILE* file, const std::string& outName, const std::string& message)
{
    if (file != nullptr)
        std::fclose(file);
    std::error_code error;
    if (std::filesystem::is_regular_file(outName, error))
        std::remove(outName.c_str());
    return fail(message);
}

int main(int argc, char** argv)
{
    MovieShape shape = {"", 0, 0, 0, false};
    const char* descriptorName = nullptr;
    std::uint64_t frame = 0;
    std::string outName;
    const char* frameText = nullptr;
    if (argc == 6) {
        shape.path = argv[1];
        if (!parseCount(argv[2], largestNumber, &shape.width) || shape.width == 0)
            return fail(std::string("width must be a whole number from 1 to 2147483647: \"") + argv[2] + "\"");
        if (!parseCount(argv[3], largestNumber, &shape.height) || shape.height == 0)
            return fail(std::string("height must be a whole number from 1 to 2147483647: \"") + argv[3] + "\"");
        frameText = argv[4];
        outName = argv[5];
    } else if (argc >= 2 && argc <= 4) {
        descriptorName = argv[1];
        frameText = argc >= 3 ? argv[2] : "0";
    } else {
        std::fputs(usageText, stderr);
        return 1;
    }
    if (!parseCount(frameText, largestNumber, &frame))
        return fail(std::string("frame must be a whole number from 0 to 2147483647: \"") + frameText + "\"");
    if (descriptorName != nullptr) {
        std::string problem = readDescriptor(descriptorName, &shape);
        if (!problem.empty())
            return fail(problem);
        if (shape.width == 0 || shape.height == 0)
            return fail("movie " + shape.path + " has frames of " + std::to_string(shape.width) + " x " +
                        std::to_string(shape.height) + " pixels: there is nothing to show");
        outName = argc == 4 ? argv[3] : shape.path + "-" + std::to_string(frame) + ".png";
    }
    // Both sides are below 2^31, so the product stays below 2^64.
    const std::uint64_t frameBytes = 3 * shape.width * shape.height;
    if (frameBytes > largestFrameBytes)
        return fail("a frame of " + std::to_string(shape.width) + " x " + std::to_string(shape.height) +
                    " pixels is larger than " + std::to_string(largestFrameBytes) + " bytes");

    const char* movieName = shape.path.c_str();
    std::error_code error;
    std::filesystem::file_status status = std::filesystem::status(shape.path, error);
    if (error)
        return fail(std::string("cannot open movie ") + movieName + ": " + error.message());
    if (!std::filesystem::is_regular_file(status))
        return fail(std::string("movie ") + movieName + " is not a regular file");
    const std::uint64_t movieBytes = std::filesystem::file_size(shape.path, error);
    if (error)
        return fail(std::string("cannot open movie ") + movieName + ": " + error.message());
    if (shape.framesKnown && movieBytes != shape.frames * frameBytes)
        return fail(std::string("movie ") + movieName + " holds " + std::to_string(movieBytes) + " bytes, not the " +
                    std::to_string(shape.frames * frameBytes) + " of " + std::to_string(shape.frames) + " frames of " +
                    std::to_string(shape.width) + " x " + std::to_string(shape.height) + " that " +
                    descriptorName + " gives");
    // A size that is not a whole number of frames nearly always means a wrong width or height.
    if (movieBytes % frameBytes != 0)
        return fail(std::string("movie ") + movieName + " holds " + std::to_string(movieBytes) +
                    " bytes, not a whole number of " + std::to_string(shape.width) + " x " +
                    std::to_string(shape.height) + " frames (" + std::to_string(frameBytes) + " bytes each)");
    if (frame >= movieBytes / frameBytes)
        return fail(std::string("movie ") + movieName + " holds " + std::to_string(movieBytes / frameBytes) +
                    " frames; there is no frame " + std::to_string(frame));
    // By file identity, so that no other name, link or path of them is overwritten either.
    if (std::filesystem::equivalent(shape.path, outName, error))
        return fail("the picture " + outName + " would overwrite the movie");
    if (descriptorName != nullptr && std::filesystem::equivalent(descriptorName, outName, error))
        return fail("the picture " + outName + " would overwrite the descriptor");

    std::ifstream movie(shape.path, std::ios::binary);
    if (!movie)
        return fail(std::string("cannot open movie ") + movieName);
    std::vector<unsigned char> row(std::size_t(3 * shape.width));
    std::FILE* file = std::fopen(outName.c_str(), "wb");
    if (file == nullptr)
        return fail("cannot create " + outName + ": " + errorText(errno));
    if (!writePicture(&movie, shape, frame, file, row.data())) {
        if (!movie)
            return failWriting(file, outName, std::string("cannot read movie ") + movieName + " at frame " +
                                                  std::to_string(frame));
        return failWriting(file, outName, "cannot write " + outName + ": " + pictureProblem);
    }
    if (std::fflush(file) != 0)
        return failWriting(file, outName, "cannot write " + outName + ": " + errorText(errno));
    if (std::fclose(file) != 0)
        return failWriting(nullptr, outName, "cannot write " + outName + ": " + errorText(errno));
    return 0;
}
