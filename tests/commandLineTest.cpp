#include <gtest/gtest.h>

#include "run/run.h"

namespace {

struct ParseCase {
    const char* text;
    NumberParse result;
    std::int32_t value;
};

TEST(ParseDecimal, ReadsLikePercentD)
{
    const ParseCase cases[] = {
        {"15", numberRead, 15},
        {"  +15", numberRead, 15},
        {"\t\n\v\f\r-7", numberRead, -7},
        {"12px", numberRead, 12},
        {"0x10", numberRead, 0},
        {"007", numberRead, 7},
        {"-0", numberRead, 0},
        {"2147483647", numberRead, 2147483647},
        {"-2147483648", numberRead, -2147483647 - 1},
        {"00000000000000000000002147483647", numberRead, 2147483647},
        {"3 4", numberRead, 3},
    };
    for (const ParseCase& c : cases) {
        std::int32_t value = 12345;
        EXPECT_EQ(parseDecimal(c.text, &value), c.result) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

TEST(ParseDecimal, RefusesArgumentsWithoutANumber)
{
    for (const char* text : {"", "abc", "+", "-", "  ", "- 5", "+-5", "x12", ".5"}) {
        std::int32_t value = 12345;
        EXPECT_EQ(parseDecimal(text, &value), numberMissing) << '"' << text << '"';
        EXPECT_EQ(value, 12345) << "left untouched for \"" << text << '"';
    }
}

TEST(ParseDecimal, RefusesNumbersBeyondThirtyTwoBits)
{
    for (const char* text : {"2147483648", "-2147483649", "99999999999999999999999", "4294967296"}) {
        std::int32_t value = 12345;
        EXPECT_EQ(parseDecimal(text, &value), numberTooLarge) << text;
        EXPECT_EQ(value, 12345) << text;
    }
}

TEST(RunLimits, AcceptsValuesExactlyAtEachBound)
{
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1, 1, 0, 1)), withinLimits);
    EXPECT_EQ(checkRunLimits(runParametersOf(100, 100, 4, 4, 0, 1)), withinLimits);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1, 1, 2147483647, 2901)), withinLimits);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1048576, 2147483647, 1, 1)), withinLimits);   // the widest, tallest
    EXPECT_EQ(checkRunLimits(runParametersOf(100, 1, 10485, 1, 1, 1)), withinLimits);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 100, 1, 21474836, 1, 1)), withinLimits);
}

TEST(RunLimits, NamesTheFirstBoundBrokenInOrder)
{
    EXPECT_EQ(checkRunLimits(runParametersOf(0, 1, 1, 1, 0, 1)), ntxOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(101, 1, 1, 1, 0, 1)), ntxOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 101, 1, 1, 0, 1)), ntyOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, -2147483647 - 1, 1, 1, 0, 1)), ntyOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 0, 1, 0, 1)), nxOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1, -1, 0, 1)), nyOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1, 1, -1, 1)), nfOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1, 1, 0, 0)), nBlendOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1, 1, 0, 2902)), nBlendOutOfRange);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1048577, 1, 1, 1)), mosaicTooWide);
    EXPECT_EQ(checkRunLimits(runParametersOf(100, 1, 10486, 1, 1, 1)), mosaicTooWide);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 2, 1, 1073741824, 1, 1)), mosaicTooTall);
    // Products far beyond 32 bits must be seen as too large, not wrap into range.
    EXPECT_EQ(checkRunLimits(runParametersOf(100, 100, 2147483647, 2147483647, 1, 1)), mosaicTooWide);
    EXPECT_EQ(checkRunLimits(runParametersOf(100, 100, 1, 2147483647, 1, 1)), mosaicTooTall);
    // A movie of more bytes than a 64-bit size holds: 1365 frames of the largest frame fit.
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1048576, 2147483647, 1365, 1)), withinLimits);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1048576, 2147483647, 1366, 1)), movieTooLarge);
    EXPECT_EQ(checkRunLimits(runParametersOf(1, 1, 1048576, 2147483647, 2147483647, 1)), movieTooLarge);
    EXPECT_EQ(largestMovieFrames(runParametersOf(1, 1, 1048576, 2147483647, 1, 1)), 1365);
    EXPECT_EQ(largestMovieFrames(runParametersOf(2, 1, 3, 40, 1, 7)), INT64_MAX);   // frames of 0 bytes
    // The order matters: ntx is reported before a too wide mosaic.
    EXPECT_EQ(checkRunLimits(runParametersOf(101, 1, 4194304, 4096, -1, 0)), ntxOutOfRange);
    // The frame range, after the six values.
    RunParameters range = runParametersOf(1, 1, 1, 1, 1, 1);
    range.firstFrame = -1;
    EXPECT_EQ(checkRunLimits(range), firstFrameOutOfRange);
    range.firstFrame = 2147483647;
    range.frameStep = 0;
    EXPECT_EQ(checkRunLimits(range), frameStepOutOfRange);
    range.frameStep = 2147483647;
    EXPECT_EQ(checkRunLimits(range), withinLimits);
}

TEST(DerivedSizes, FollowTheGridAndTheBlendFactor)
{
    RunParameters p = runParametersOf(3, 1, 100, 10, 1, 7);
    EXPECT_EQ(p.outWidth, 42);     // 300 / 7, truncated
    EXPECT_EQ(p.outHeight, 1);
    EXPECT_EQ(p.blockArea, 49);
    EXPECT_EQ(p.tileRowBytes, 300);
    EXPECT_EQ(p.mosaicRowBytes, 900);
    EXPECT_EQ(p.tileFrameBytes, 3000);
    EXPECT_EQ(p.outRowBytes, 126);
    EXPECT_EQ(p.outFrameBytes, 126);

    p = runParametersOf(2, 2, 1024, 768, 300, 1);
    EXPECT_EQ(p.outWidth, 2048);
    EXPECT_EQ(p.outHeight, 1536);
    EXPECT_EQ(p.outFrameBytes, 3 * 2048 * 1536);

    p = runParametersOf(2, 2, 1024, 768, 300, 2);
    EXPECT_EQ(p.outFrameBytes, 2359296);

    p = runParametersOf(2, 1, 3, 40, 1, 7);   // blend factor wider than the mosaic
    EXPECT_EQ(p.outWidth, 0);
    EXPECT_EQ(p.outHeight, 5);
    EXPECT_EQ(p.outFrameBytes, 0);

    p = runParametersOf(1, 1, 1048576, 2147483647, 1, 2901);   // frame sizes beyond 32 bits
    EXPECT_EQ(p.mosaicRowBytes, 3 * 1048576);
    EXPECT_EQ(p.blockArea, 2901 * 2901);
    EXPECT_EQ(p.outWidth, 361);
    EXPECT_EQ(p.tileFrameBytes, 3 * 1048576LL * 2147483647LL);
    EXPECT_EQ(p.outFrameBytes, 3LL * 361 * (2147483647LL / 2901));

    // The frames a panel must hold, and the movie's bytes, in 64 bits: the largest range and
    // a movie beyond 2^63 bytes (which no file system takes) saturate rather than wrap.
    p = runParametersOf(1, 1, 1048576, 2147483647, 2147483647, 1);
    p.firstFrame = 2147483647;
    p.frameStep = 2147483647;
    computeSizes(&p);
    EXPECT_EQ(p.framesNeeded, 2147483647LL + 2147483646LL * 2147483647LL + 1);
    EXPECT_EQ(p.outMovieBytes, INT64_MAX);
    p = runParametersOf(2, 1, 5, 4, 3, 2);
    EXPECT_EQ(p.framesNeeded, 3);
    EXPECT_EQ(p.outMovieBytes, 3 * 30);
}

}  // namespace
