// The companion picture tool, run as built: the PNG it writes is taken apart here with a
// reader of its own (chunk CRCs, IHDR, the zlib stream's stored blocks and Adler-32) and its
// rows compared with the movie's frame; every refusal must leave no picture behind.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testSupport.h"

namespace {

struct ToolOutcome {
    int status;
    std::string out;
    std::string err;
};

// Runs rawFrameToPng in `folder`. A nonzero fileLimit caps the size of any file it writes.
ToolOutcome runRawFrameToPng(const std::string& folder, std::vector<std::string> args, rlim_t fileLimit = 0)
{
    std::string parent = folder.substr(0, folder.rfind('/'));
    std::string outPath = parent + "/tool.out", errPath = parent + "/tool.err";
    args.insert(args.begin(), RAW_FRAME_TO_PNG);
    std::vector<char*> argv;
    for (std::string& word : args)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.c_str()) != 0)
            _exit(126);
        if (fileLimit != 0) {
            // Ignored, the signal lets the write fail with EFBIG instead of killing the tool.
            std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {fileLimit, fileLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ToolOutcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = readText(outPath);
    outcome.err = readText(errPath);
    return outcome;
}

// Bit by bit, unlike the tool's table.
std::uint32_t crc32(const unsigned char* bytes, std::size_t count)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t n = 0; n < count; n++) {
        crc ^= bytes[n];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

std::uint32_t adler32(const Bytes& bytes)
{
    std::uint64_t a = 1, b = 0;
    for (unsigned char byte : bytes) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return std::uint32_t(b << 16 | a);
}

std::uint32_t bigEndian(const Bytes& bytes, std::size_t at)
{
    return std::uint32_t(bytes.at(at)) << 24 | std::uint32_t(bytes.at(at + 1)) << 16 |
           std::uint32_t(bytes.at(at + 2)) << 8 | bytes.at(at + 3);
}

TEST(RawFrameToPng, ChecksumsOfTheReaderAreRight)
{
    const std::string text = "123456789";
    EXPECT_EQ(crc32(reinterpret_cast<const unsigned char*>(text.data()), text.size()), 0xCBF43926u);
    EXPECT_EQ(adler32(Bytes{'W', 'i', 'k', 'i', 'p', 'e', 'd', 'i', 'a'}), 0x11E60398u);
}

struct Picture {
    std::uint32_t width, height;
    Bytes rows;   // decoded: per row a filter byte, then the pixels
};

// Reads a PNG of 8-bit RGB whose image data is a zlib stream of stored blocks, failing the
// test at the first thing that is not exactly right.
void readPicture(const Bytes& png, Picture* picture)
{
    const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ASSERT_GE(png.size(), 8u);
    ASSERT_EQ(Bytes(png.begin(), png.begin() + 8), signature);
    std::vector<std::string> types;
    Bytes header, data;
    std::size_t at = 8;
    while (at < png.size()) {
        ASSERT_LE(at + 12, png.size());
        std::uint32_t length = bigEndian(png, at);
        ASSERT_LE(at + 12 + length, png.size());
        std::string type(png.begin() + long(at + 4), png.begin() + long(at + 8));
        EXPECT_EQ(bigEndian(png, at + 8 + length), crc32(&png[at + 4], 4 + length)) << type << " CRC";
        Bytes body(png.begin() + long(at + 8), png.begin() + long(at + 8 + length));
        if (type == "IHDR")
            header = body;
        if (type == "IDAT")
            data.insert(data.end(), body.begin(), body.end());
        if (type == "IEND") {   // the one chunk whose CRC is known by heart
            EXPECT_EQ(bigEndian(png, at + 8), 0xAE426082u);
        }
        if (types.empty() || types.back() != type)
            types.push_back(type);
        at += 12 + length;
    }
    ASSERT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    ASSERT_EQ(header.size(), 13u);
    picture->width = bigEndian(header, 0);
    picture->height = bigEndian(header, 4);
    EXPECT_EQ(Bytes(header.begin() + 8, header.end()), (Bytes{8, 2, 0, 0, 0}))
        << "8 bits, RGB, deflate, adaptive filters, no interlace";

    ASSERT_GE(data.size(), 2u + 5 + 4);
    EXPECT_EQ(data[0] & 0x0F, 8) << "deflate";
    EXPECT_LE(data[0] >> 4, 7) << "window";
    EXPECT_EQ((data[0] * 256 + data[1]) % 31, 0) << "header check";
    EXPECT_EQ(data[1] & 0x20, 0) << "no dictionary";
    std::size_t p = 2;
    bool last = false;
    picture->rows.clear();
    while (!last) {
        ASSERT_LE(p + 5, data.size());
        last = (data[p] & 1) != 0;
        ASSERT_EQ(data[p] >> 1, 0) << "a stored block";
        std::uint32_t length = data[p + 1] | std::uint32_t(data[p + 2]) << 8;
        std::uint32_t inverse = data[p + 3] | std::uint32_t(data[p + 4]) << 8;
        ASSERT_EQ(length ^ 0xFFFFu, inverse);
        p += 5;
        ASSERT_LE(p + length, data.size());
        picture->rows.insert(picture->rows.end(), data.begin() + long(p), data.begin() + long(p + length));
        p += length;
    }
    ASSERT_EQ(p + 4, data.size()) << "the Adler-32 ends the stream";
    EXPECT_EQ(bigEndian(data, p), adler32(picture->rows));
}

TEST(RawFrameToPng, PictureHoldsTheFrameTopRowFirst)
{
    struct Shape {
        std::uint32_t width, height, frames, frame;
    };
    // 28 x 771 fills exactly one stored block (771 rows of 85 bytes = 65535); 29 x 771 and
    // 200 x 150 need several.
    const Shape shapes[] = {{1, 1, 1, 0}, {5, 3, 4, 1}, {3, 7, 3, 2}, {28, 771, 2, 1}, {29, 771, 1, 0}, {200, 150, 2, 1}};
    std::mt19937 rng(7);
    for (const Shape& s : shapes) {
        std::string what = std::to_string(s.width) + "x" + std::to_string(s.height) + " frame " +
                           std::to_string(s.frame) + " of " + std::to_string(s.frames);
        std::string folder = makeScratchFolder();
        const std::size_t rowBytes = 3 * std::size_t(s.width), frameBytes = rowBytes * s.height;
        Bytes movie = randomBytes(frameBytes * s.frames, rng);
        writeBytes(folder + "/movie", movie);
        ToolOutcome run = runRawFrameToPng(folder, {"movie", std::to_string(s.width), std::to_string(s.height),
                                                    std::to_string(s.frame), "out.png"});
        ASSERT_EQ(run.status, 0) << what << ": " << run.err;
        EXPECT_EQ(run.out, "") << what;
        EXPECT_EQ(run.err, "") << what;
        EXPECT_EQ(readBytes(folder + "/movie"), movie) << what;

        Picture picture;
        readPicture(readBytes(folder + "/out.png"), &picture);
        if (testing::Test::HasFatalFailure())
            return;
        EXPECT_EQ(picture.width, s.width) << what;
        EXPECT_EQ(picture.height, s.height) << what;
        ASSERT_EQ(picture.rows.size(), (1 + rowBytes) * s.height) << what;
        for (std::uint32_t r = 0; r < s.height; r++) {
            const unsigned char* row = &picture.rows[r * (1 + rowBytes)];
            EXPECT_EQ(row[0], 0) << what << ": row " << r << " unfiltered";
            // The picture's top row is the frame's last stored row.
            const unsigned char* stored = &movie[s.frame * frameBytes + (s.height - 1 - r) * rowBytes];
            EXPECT_EQ(Bytes(row + 1, row + 1 + rowBytes), Bytes(stored, stored + rowBytes)) << what << ": row " << r;
        }
    }
}

struct RefusalCase {
    const char* what;
    std::vector<std::string> args;
    std::string err;
};

TEST(RawFrameToPng, RefusesWhatItCannotShowAndLeavesNoPicture)
{
    const std::string usage =
        "usage: rawFrameToPng movie width height frame out.png\n"
        "    movie   = raw movie: frames of width x height pixels, 3 bytes a pixel, bottom row first\n"
        "    frame   = number of the frame to show, 0 for the first\n"
        "    out.png = name of the PNG picture to write\n";
    const RefusalCase cases[] = {
        {"no arguments", {}, usage},
        {"one argument too many", {"movie", "2", "2", "0", "out.png", "x"}, usage},
        {"one argument too few", {"movie", "2", "2", "0"}, usage},
        {"a word for the width", {"movie", "abc", "2", "0", "out.png"},
         "rawFrameToPng: width must be a whole number from 1 to 2147483647: \"abc\"\n"},
        {"an empty width", {"movie", "", "2", "0", "out.png"},
         "rawFrameToPng: width must be a whole number from 1 to 2147483647: \"\"\n"},
        {"a width of 0", {"movie", "0", "2", "0", "out.png"},
         "rawFrameToPng: width must be a whole number from 1 to 2147483647: \"0\"\n"},
        {"a width beyond 31 bits", {"movie", "2147483648", "1", "0", "out.png"},
         "rawFrameToPng: width must be a whole number from 1 to 2147483647: \"2147483648\"\n"},
        {"a negative height", {"movie", "2", "-2", "0", "out.png"},
         "rawFrameToPng: height must be a whole number from 1 to 2147483647: \"-2\"\n"},
        {"a height with a unit", {"movie", "2", "2px", "0", "out.png"},
         "rawFrameToPng: height must be a whole number from 1 to 2147483647: \"2px\"\n"},
        {"a signed frame", {"movie", "2", "2", "+1", "out.png"},
         "rawFrameToPng: frame must be a whole number from 0 to 2147483647: \"+1\"\n"},
        {"a frame larger than any Mozaro writes", {"movie", "8193", "8192", "0", "out.png"},
         "rawFrameToPng: a frame of 8193 x 8192 pixels is larger than 201326592 bytes\n"},
        {"the frame after the last", {"movie", "2", "2", "2", "out.png"},
         "rawFrameToPng: movie movie holds 2 frames; there is no frame 2\n"},
        {"a size that does not divide the movie", {"movie", "3", "2", "0", "out.png"},
         "rawFrameToPng: movie movie holds 24 bytes, not a whole number of 3 x 2 frames (18 bytes each)\n"},
        {"an empty movie", {"empty", "2", "2", "0", "out.png"},
         "rawFrameToPng: movie empty holds 0 frames; there is no frame 0\n"},
        {"a missing movie", {"nothing", "2", "2", "0", "out.png"},
         "rawFrameToPng: cannot open movie nothing: No such file or directory\n"},
        {"a folder for a movie", {"folder", "2", "2", "0", "out.png"},
         "rawFrameToPng: movie folder is not a regular file\n"},
        {"the movie itself as the picture", {"movie", "2", "2", "0", "./movie"},
         "rawFrameToPng: the picture ./movie would overwrite the movie\n"},
        {"the movie through a link as the picture", {"movie", "2", "2", "0", "link"},
         "rawFrameToPng: the picture link would overwrite the movie\n"},
        {"a picture in a missing folder", {"movie", "2", "2", "0", "nowhere/out.png"},
         "rawFrameToPng: cannot create nowhere/out.png: No such file or directory\n"},
        {"a full device for the picture", {"movie", "2", "2", "0", "full"},
         "rawFrameToPng: cannot write full: No space left on device\n"},
    };
    std::mt19937 rng(8);
    for (const RefusalCase& c : cases) {
        std::string folder = makeScratchFolder();
        Bytes movie = randomBytes(2 * 12, rng);   // two frames of 2 x 2
        writeBytes(folder + "/movie", movie);
        writeBytes(folder + "/empty", Bytes());
        ASSERT_EQ(mkdir((folder + "/folder").c_str(), 0777), 0);
        ASSERT_EQ(symlink("movie", (folder + "/link").c_str()), 0);
        // Through a link, so that a tool that wrongly deleted its failed picture would only
        // ever remove the link.
        ASSERT_EQ(symlink("/dev/full", (folder + "/full").c_str()), 0);
        const std::vector<std::string> before = listFolder(folder);

        ToolOutcome run = runRawFrameToPng(folder, c.args);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
        EXPECT_EQ(run.out, "") << c.what;
        EXPECT_EQ(listFolder(folder), before) << c.what;
        EXPECT_EQ(readBytes(folder + "/movie"), movie) << c.what;
    }
}

TEST(RawFrameToPng, PictureCutShortByAFailedWriteIsRemoved)
{
    std::mt19937 rng(9);
    std::string folder = makeScratchFolder();
    writeBytes(folder + "/movie", randomBytes(3 * 200 * 150, rng));
    ToolOutcome run = runRawFrameToPng(folder, {"movie", "200", "150", "0", "out.png"}, 10000);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "rawFrameToPng: cannot write out.png: File too large\n");
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"movie"}));
}

}  // namespace
