// libFuzzer target over everything a run does before it touches a file: the command line
// and its limits, the panel grid and its layout listing, the derived sizes and the output
// name dialogue. It stops where a run would create the output movie, so it never makes a
// file; the tool's standard output goes to /dev/null.
//
// An input is read as: byte 0, the number of arguments after the program name (modulo
// 128, enough for 100 panels); then that many arguments, each ended by a NUL byte (the last
// one may run to the end of the input); the rest is standard input for the dialogue.
//
// Besides crashes, out-of-bounds accesses and hangs, it aborts on any broken promise of the
// set-up: numbers read other than strtoll reads them, a run that goes on with values outside
// the limits or sizes beyond the frame buffers, an accepted name too long for its
// descriptor.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frames/frames.h"
#include "run/run.h"

namespace {

void require(bool promise, const char* what)
{
    if (!promise) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

// The standard library's reading of a decimal argument, which parseDecimal must match.
void checkNumberReading(const char* text)
{
    std::int32_t value = 12345;
    NumberParse parsed = parseDecimal(text, &value);
    char* end = nullptr;
    errno = 0;
    long long reference = std::strtoll(text, &end, 10);
    if (end == text) {
        require(parsed == numberMissing && value == 12345, "an argument without digits is no number");
        return;
    }
    bool fits = errno != ERANGE && reference >= INT32_MIN && reference <= INT32_MAX;
    if (!fits) {
        require(parsed == numberTooLarge && value == 12345, "a number beyond 32 bits is refused");
        return;
    }
    require(parsed == numberRead && value == reference, "a 32-bit number is read as strtoll reads it");
}

// Every size a run goes on with must be exact, and its buffers must not grow with the
// mosaic's height, the frame count or the blend factor.
void checkSizes(const RunParameters& p, int argc, int firstFile)
{
    require(checkRunLimits(p) == withinLimits, "a run goes on only within the limits");
    require(std::int64_t(p.ntx) * p.nty == argc - firstFile, "one file per panel");
    const std::int64_t mosaicWidth = std::int64_t(p.nx) * p.ntx + std::int64_t(p.ntx - 1) * (p.gapX - p.overlapX);
    const std::int64_t mosaicHeight = std::int64_t(p.ny) * p.nty + std::int64_t(p.nty - 1) * (p.gapY - p.overlapY);
    require(p.overlapX < p.nx && p.overlapY < p.ny && ((p.gapX == 0 && p.gapY == 0) || (p.overlapX == 0 && p.overlapY == 0)),
            "seams within the panels, of one kind");
    require(p.outWidth == mosaicWidth / p.nBlend && p.outHeight == mosaicHeight / p.nBlend, "output resolution");
    require(p.blockArea == std::int64_t(p.nBlend) * p.nBlend, "block area");
    require(p.tileRowBytes == 3 * std::int64_t(p.nx), "panel row bytes");
    require(p.mosaicRowBytes == 3 * mosaicWidth, "mosaic row bytes");
    require(p.tileFrameBytes == 3 * std::int64_t(p.nx) * p.ny, "panel frame bytes");
    require(p.outRowBytes == 3 * std::int64_t(p.outWidth), "output row bytes");
    require(p.outFrameBytes == 3 * std::int64_t(p.outWidth) * p.outHeight, "output frame bytes");
    require(p.outFrameBytes == 0 || p.nf <= INT64_MAX / p.outFrameBytes, "every byte of the movie at a 64-bit offset");
    require(p.outMovieBytes == p.outFrameBytes * p.nf, "movie bytes");
    const FrameBufferPlan plan = planFrameBuffers(p, 0);
    const std::int64_t row = p.mosaicRowBytes;
    const std::int64_t band = row > bandTargetBytes ? row : bandTargetBytes;
    require(plan.bandRows >= 1 && plan.bandBytes <= band, "a band of at least one row, near its target");
    require(plan.stagingBytes <= plan.bandBytes, "staging within a band");
    require(plan.sumCount <= 3 * std::int64_t(p.mosaicWidth), "a column sum per used mosaic column");
    require(plan.outPieceBytes <= (p.outRowBytes > outputPieceTargetBytes ? p.outRowBytes : outputPieceTargetBytes),
            "output pieces near their target");
    require(plan.scratchBytes == (p.nBlend > 1 && p.outRowBytes > 0 ? reductionScratchBytes() : 0),
            "the reduction's scratch where there is a reduction");
    require(plan.totalBytes <= plan.bandBytes + plan.stagingBytes + 4 * plan.sumCount + plan.outPieceBytes +
                                   plan.scratchBytes + 4096 + 5 * 64,
            "one allocation holds them all, aligned");
    // The reduction's sums: a whole block of 255 must fit a signed 32-bit integer.
    require(255 * std::int64_t(p.blockArea) <= INT32_MAX, "block sums fit 32 bits");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int wanted = data[0] % 128;
    // Arguments are copied out so that each ends in a NUL of its own.
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    std::vector<char*> argv = {const_cast<char*>("Mozaro")};
    std::size_t at = 0;
    while (int(argv.size()) <= wanted && at < size - 1) {
        argv.push_back(&text[at]);
        at += std::strlen(&text[at]) + 1;
    }
    const int argc = int(argv.size());
    argv.push_back(nullptr);
    const std::size_t inputStart = at < size - 1 ? at : size - 1;

    for (int a = 1; a < argc; a++)
        checkNumberReading(argv[std::size_t(a)]);

    RunParameters runParameters{};
    CommandLine commandLine;
    StageResult stage = parseRunParameters(argc, argv.data(), &runParameters, &commandLine);
    if (stage != stageGoOn)
        return 0;
    for (int a = commandLine.firstFile; a < argc; a++)
        require(std::strlen(argv[std::size_t(a)]) <= std::size_t(maxPanelNameBytes), "names within their limit");
    PanelGrid grid;
    fillPanelNames(argv.data(), runParameters, commandLine, &grid);
    listPanelLayout(runParameters, grid);
    deriveSizes(&runParameters);
    checkSizes(runParameters, argc, commandLine.firstFile);

    // The answers come from a file in memory, read as standard input would be.
    const std::size_t inputBytes = size - 1 - inputStart;
    const int answers = memfd_create("answers", 0);
    if (answers < 0 || write(answers, &text[inputStart], inputBytes) != ssize_t(inputBytes) ||
        lseek(answers, 0, SEEK_SET) != 0)
        std::abort();
    char movieName[movieNameCapacity];
    stage = confirmMovieName(grid, runParameters.ntx * runParameters.nty, commandLine, answers, movieName);
    close(answers);
    if (stage == stageGoOn)
        require(std::strlen(movieName) <= std::size_t(maxMovieNameBytes), "an accepted name leaves room for .mg");
    // A run would create the output movie here.
    return 0;
}
