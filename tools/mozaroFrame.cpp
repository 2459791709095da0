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
#include <vector>

using std::to_string;

static const char* const usageText =
    "usage: mozaro-frame MOVIE.mg [FRAME] [OUT.png]\n"
    "       mozaro-frame movie width height frame out.png\n"
    "    MOVIE.mg = descriptor of a merged movie\n"
    "    FRAME    = number of the frame to show, 0 (the first) when left out\n"
    "    OUT.png  = picture to write, the movie's path followed by -FRAME.png when left out\n"
    "    movie    = raw movie: frames of width x height pixels, 3 bytes a pixel, bottom row first\n";

// The widest frame Mozaro writes: one row of it is held in memory.
static const std::uint64_t largestWidth = 1048576;
static const std::uint64_t largestNumber = 2147483647;
// Far longer than any line Mozaro writes; anything longer is not a descriptor.
static const std::size_t largestDescriptorBytes = 65536;

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

// The descriptor's one line: "localhost", two blanks, the path, then width, height and frame
// count after one blank each, and LF or CR LF. The path may hold blanks, so the numbers are
// taken from the end. Returns an empty string, or what is wrong.
static std::string readDescriptor(const char* name, MovieShape* shape)
{
    std::FILE* file = std::fopen(name, "rb");
    std::vector<char> bytes(largestDescriptorBytes + 1);
    std::size_t count = file != nullptr ? std::fread(bytes.data(), 1, bytes.size(), file) : 0;
    if (file == nullptr || std::ferror(file) != 0) {
        std::string problem = std::string("cannot read descriptor ") + name + ": " + std::strerror(errno);
        if (file != nullptr)
            std::fclose(file);
        return problem;
    }
    std::fclose(file);
    std::string line(bytes.data(), count);
    const std::string host = "localhost  ";
    const std::string notOneLine =
        std::string("descriptor ") + name + " is not one line \"localhost  PATH WIDTH HEIGHT FRAMES\"";
    if (count > largestDescriptorBytes || line.empty() || line.back() != '\n')
        return notOneLine;
    line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.compare(0, host.size(), host) != 0 || line.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
        return notOneLine;
    for (std::uint64_t* number : {&shape->frames, &shape->height, &shape->width}) {
        std::size_t blank = line.rfind(' ');
        if (blank < host.size() || !parseCount(line.substr(blank + 1), largestNumber, number))
            return notOneLine;
        line.erase(blank);
    }
    shape->path = line.substr(host.size());
    return shape->path.empty() ? notOneLine : "";
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
    if (std::fwrite(bytes, 1, count, static_cast<std::FILE*>(png_get_io_ptr(png))) != count)
        png_error(png, std::strerror(errno != 0 ? errno : EIO));
}

// Writes frame `frame` of `movie` into `file` as an 8-bit RGB PNG, top row first, through
// `row` (3 x width bytes). False, with pictureProblem set, when reading or writing failed.
static bool writePicture(std::ifstream* movie, const MovieShape& shape, std::uint64_t frame, std::FILE* file,
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
    // A null flush function: libpng's own flushes the FILE, and the caller closes it checked.
    png_set_write_fn(png, file, writePngBytes, nullptr);
    // libpng's default stops at a million pixels a side; Mozaro writes wider frames.
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_set_IHDR(png, info, png_uint_32(shape.width), png_uint_32(shape.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::uint64_t rowBytes = 3 * shape.width;
    for (std::uint64_t r = shape.height; r-- > 0;) {
        movie->seekg(std::streamoff((frame * shape.height + r) * rowBytes));
        if (!movie->read(reinterpret_cast<char*>(row), std::streamsize(rowBytes)))
            png_error(png, "the movie cannot be read");
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Drops a picture that could not be written whole, so that no broken file is left behind;
// a device or a pipe given as the picture is left alone.
static int failWriting(const std::string& outName, const std::string& message)
{
    std::error_code error;
    if (std::filesystem::is_regular_file(outName, error))
        std::remove(outName.c_str());
    return fail(message);
}

int main(int argc, char** argv)
{
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
        std::string problem = readDescriptor(descriptorName, &shape);
        if (!problem.empty())
            return fail(problem);
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
    std::FILE* file = std::fopen(outName.c_str(), "wb");
    if (file == nullptr)
        return fail("cannot create " + outName + ": " + std::strerror(errno));
    if (!writePicture(&movie, shape, frame, file, row.data())) {
        std::fclose(file);
        if (!movie)
            return failWriting(outName, "cannot read movie " + path + " at frame " + to_string(frame));
        return failWriting(outName, "cannot write " + outName + ": " + pictureProblem);
    }
    if (std::fclose(file) != 0)
        return failWriting(outName, "cannot write " + outName + ": " + std::strerror(errno));
    return 0;
}
