// Turns one frame of a raw movie into a PNG picture, so that a merged movie can be looked at
// without a video tool.
//
// usage: rawFrameToPng movie width height frame out.png
//
// A raw movie is frames of width x height pixels back to back, 3 bytes per pixel, the first
// stored row at the bottom of the picture. A PNG starts with its top row, so the rows are
// written last stored first. The three channels are written in the order they come, as
// red, green and blue.
//
// The pixels go into the PNG uncompressed, as stored deflate blocks: that needs only CRC-32
// and Adler-32, a few lines, so the tool builds wherever Mozaro builds, with no library.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

static const char* const usageText =
    "usage: rawFrameToPng movie width height frame out.png\n"
    "    movie   = raw movie: frames of width x height pixels, 3 bytes a pixel, bottom row first\n"
    "    frame   = number of the frame to show, 0 for the first\n"
    "    out.png = name of the PNG picture to write\n";

// The largest frame Mozaro reads or writes, 8192 x 8192 pixels.
static const std::uint64_t largestFrameBytes = 201326592;
// A stored deflate block holds at most this many bytes.
static const std::uint32_t storedBlockBytes = 65535;

static std::uint32_t crcTable[256];

static void fillCrcTable()
{
    for (std::uint32_t n = 0; n < 256; n++) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crcTable[n] = c;
    }
}

// Everything written goes through here, so that the running chunk CRC, the Adler-32 of the
// picture data and the stored block framing stay in step with the bytes in the file.
struct PngOutput {
    std::FILE* file;
    std::uint32_t crc;             // of the chunk being written, before the final inversion
    std::uint32_t adlerA, adlerB;  // of the picture data written so far
    std::uint64_t pictureLeft;     // picture bytes (filter bytes included) still to come
    std::uint32_t blockLeft;       // bytes still to come in the current stored block
    int error;                     // the first write error, 0 while there is none
};

static void putBytes(PngOutput* png, const unsigned char* bytes, std::size_t count)
{
    if (std::fwrite(bytes, 1, count, png->file) != count && png->error == 0)
        png->error = errno != 0 ? errno : EIO;
    std::uint32_t c = png->crc;
    for (std::size_t n = 0; n < count; n++)
        c = crcTable[(c ^ bytes[n]) & 0xFF] ^ (c >> 8);
    png->crc = c;
}

static void putBigEndian(PngOutput* png, std::uint32_t value)
{
    const unsigned char bytes[4] = {(unsigned char)(value >> 24), (unsigned char)(value >> 16),
                                    (unsigned char)(value >> 8), (unsigned char)value};
    putBytes(png, bytes, 4);
}

// The length is not covered by the chunk's CRC; the type and the data are.
static void startChunk(PngOutput* png, const char* type, std::uint32_t length)
{
    putBigEndian(png, length);
    png->crc = 0xFFFFFFFFu;
    putBytes(png, reinterpret_cast<const unsigned char*>(type), 4);
}

static void endChunk(PngOutput* png)
{
    putBigEndian(png, png->crc ^ 0xFFFFFFFFu);
}

static void putPictureBytes(PngOutput* png, const unsigned char* bytes, std::size_t count)
{
    while (count > 0) {
        if (png->blockLeft == 0) {
            std::uint32_t length =
                png->pictureLeft < storedBlockBytes ? std::uint32_t(png->pictureLeft) : storedBlockBytes;
            const unsigned char header[5] = {(unsigned char)(png->pictureLeft == length ? 1 : 0),
                                             (unsigned char)length, (unsigned char)(length >> 8),
                                             (unsigned char)~length, (unsigned char)(~length >> 8)};
            putBytes(png, header, 5);
            png->blockLeft = length;
        }
        std::size_t part = count < png->blockLeft ? count : png->blockLeft;
        putBytes(png, bytes, part);
        std::uint32_t a = png->adlerA, b = png->adlerB;
        for (std::size_t n = 0; n < part; n++) {
            a += bytes[n];
            if (a >= 65521)
                a -= 65521;
            b += a;
            if (b >= 65521)
                b -= 65521;
        }
        png->adlerA = a;
        png->adlerB = b;
        png->blockLeft -= std::uint32_t(part);
        png->pictureLeft -= part;
        bytes += part;
        count -= part;
    }
}

// A whole decimal number from 0 to `largest`: digits only, nothing before or after them.
static bool parseCount(const char* text, std::uint64_t largest, std::uint64_t* value)
{
    if (*text == '\0')
        return false;
    std::uint64_t n = 0;
    for (; *text != '\0'; text++) {
        if (*text < '0' || *text > '9')
            return false;
        n = n * 10 + std::uint64_t(*text - '0');
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
    std::fprintf(stderr, "rawFrameToPng: %s\n", message.c_str());
    return 1;
}

// Drops a picture that could not be written whole, so that no broken file is left behind;
// a device or a pipe given as the picture is left alone.
static int failWriting(std::FILE* file, const char* outName, const std::string& message)
{
    if (file != nullptr)
        std::fclose(file);
    std::error_code error;
    if (std::filesystem::is_regular_file(outName, error))
        std::remove(outName);
    return fail(message);
}

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fputs(usageText, stderr);
        return 1;
    }
    const char* movieName = argv[1];
    const char* outName = argv[5];
    const std::uint64_t largestSide = 2147483647;   // what a PNG can hold
    std::uint64_t width, height, frame;
    if (!parseCount(argv[2], largestSide, &width) || width == 0)
        return fail(std::string("width must be a whole number from 1 to 2147483647: \"") + argv[2] + "\"");
    if (!parseCount(argv[3], largestSide, &height) || height == 0)
        return fail(std::string("height must be a whole number from 1 to 2147483647: \"") + argv[3] + "\"");
    if (!parseCount(argv[4], largestSide, &frame))
        return fail(std::string("frame must be a whole number from 0 to 2147483647: \"") + argv[4] + "\"");
    // Both sides are below 2^31, so the product stays below 2^64.
    const std::uint64_t frameBytes = 3 * width * height;
    if (frameBytes > largestFrameBytes)
        return fail("a frame of " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels is larger than " + std::to_string(largestFrameBytes) + " bytes");

    std::error_code error;
    std::filesystem::file_status status = std::filesystem::status(movieName, error);
    if (error)
        return fail(std::string("cannot open movie ") + movieName + ": " + error.message());
    if (!std::filesystem::is_regular_file(status))
        return fail(std::string("movie ") + movieName + " is not a regular file");
    const std::uint64_t movieBytes = std::filesystem::file_size(movieName, error);
    if (error)
        return fail(std::string("cannot open movie ") + movieName + ": " + error.message());
    // A size that is not a whole number of frames nearly always means a wrong width or height.
    if (movieBytes % frameBytes != 0)
        return fail(std::string("movie ") + movieName + " holds " + std::to_string(movieBytes) +
                    " bytes, not a whole number of " + std::to_string(width) + " x " + std::to_string(height) +
                    " frames (" + std::to_string(frameBytes) + " bytes each)");
    if (frame >= movieBytes / frameBytes)
        return fail(std::string("movie ") + movieName + " holds " + std::to_string(movieBytes / frameBytes) +
                    " frames; there is no frame " + std::to_string(frame));
    if (std::filesystem::equivalent(movieName, outName, error))
        return fail(std::string("the picture ") + outName + " would overwrite the movie");

    std::ifstream movie(movieName, std::ios::binary);
    if (!movie)
        return fail(std::string("cannot open movie ") + movieName);
    std::FILE* file = std::fopen(outName, "wb");
    if (file == nullptr)
        return fail(std::string("cannot create ") + outName + ": " + errorText(errno));

    fillCrcTable();
    const std::uint64_t rowBytes = 3 * width;
    const std::uint64_t pictureBytes = height * (1 + rowBytes);
    const std::uint64_t blocks = (pictureBytes + storedBlockBytes - 1) / storedBlockBytes;
    const std::uint64_t dataBytes = 2 + 5 * blocks + pictureBytes + 4;
    PngOutput png = {file, 0, 1, 0, pictureBytes, 0, 0};

    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    putBytes(&png, signature, 8);
    startChunk(&png, "IHDR", 13);
    putBigEndian(&png, std::uint32_t(width));
    putBigEndian(&png, std::uint32_t(height));
    // 8 bits per channel, colour type 2 (RGB), deflate, adaptive filtering, no interlace.
    static const unsigned char format[5] = {8, 2, 0, 0, 0};
    putBytes(&png, format, 5);
    endChunk(&png);

    startChunk(&png, "IDAT", std::uint32_t(dataBytes));
    static const unsigned char zlibHeader[2] = {0x78, 0x01};   // deflate, 32 KiB window, no dictionary
    putBytes(&png, zlibHeader, 2);
    // Each row: filter type 0 (none), then the row's pixels as stored.
    std::vector<unsigned char> row(std::size_t(1 + rowBytes));
    const std::uint64_t frameStart = frame * frameBytes;
    for (std::uint64_t r = height; r-- > 0;) {
        movie.seekg(std::streamoff(frameStart + r * rowBytes));
        movie.read(reinterpret_cast<char*>(&row[1]), std::streamsize(rowBytes));
        if (!movie)
            return failWriting(file, outName, std::string("cannot read movie ") + movieName + " at frame " +
                                                  std::to_string(frame));
        row[0] = 0;
        putPictureBytes(&png, row.data(), row.size());
    }
    putBigEndian(&png, (png.adlerB << 16) | png.adlerA);
    endChunk(&png);

    startChunk(&png, "IEND", 0);
    endChunk(&png);

    if (png.error == 0 && std::fflush(file) != 0)
        png.error = errno != 0 ? errno : EIO;
    if (png.error != 0)
        return failWriting(file, outName, std::string("cannot write ") + outName + ": " + errorText(png.error));
    if (std::fclose(file) != 0)
        return failWriting(nullptr, outName, std::string("cannot write ") + outName + ": " + errorText(errno));
    return 0;
}
