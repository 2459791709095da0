// The run's geometry: the six command-line integers, every size derived from them, and every
// limit they must keep. Everything else of the tool builds on this header; it builds on
// nothing of the tool.
#pragma once

#include <cstdint>

struct RunParameters {
    std::int32_t ntx;             // panels across the grid (columns)
    std::int32_t nty;             // panels down the grid (rows)
    std::int32_t nx;              // panel frame width in pixels
    std::int32_t ny;              // panel frame height in pixels
    std::int32_t nf;              // frames in every movie
    std::int32_t nBlend;          // side of the pixel block that becomes one output pixel
    // The frames merged: frame firstFrame + k * frameStep of every panel for k = 0 .. nf - 1.
    std::int32_t firstFrame;      // 0 unless asked
    std::int32_t frameStep;       // 1 unless asked
    // Derived by computeSizes. Row sizes stay below 2^22 within the limits; frame sizes
    // can pass 2^31 and are 64-bit.
    std::int32_t mosaicWidth;     // nx * ntx
    std::int32_t mosaicHeight;    // ny * nty
    std::int32_t outWidth;        // mosaicWidth / nBlend
    std::int32_t outHeight;       // mosaicHeight / nBlend
    std::int32_t blockArea;       // nBlend * nBlend
    std::int32_t tileRowBytes;    // 3 * nx: one row of one panel frame
    std::int32_t mosaicRowBytes;  // 3 * mosaicWidth
    std::int32_t outRowBytes;     // 3 * outWidth
    std::int64_t tileFrameBytes;  // 3 * nx * ny: one panel frame, read per panel per frame
    std::int64_t outFrameBytes;   // 3 * outWidth * outHeight: written per frame
    std::int64_t outMovieBytes;   // outFrameBytes * nf, or the largest 64-bit number if more
    std::int64_t framesNeeded;    // frames a regular panel movie must hold: the last one read + 1
};

constexpr std::int32_t bytesPerPixel = 3;

// Limits of a run.
constexpr std::int32_t maxPanelsAcross = 100;
constexpr std::int32_t maxPanelsDown = 100;
constexpr std::int64_t maxMosaicWidth = 1048576;       // pixels; keeps a mosaic row within a few MB
constexpr std::int64_t maxMosaicHeight = 2147483647;   // pixels; row numbers stay 32-bit
constexpr std::int32_t maxBlend = 2901;                // 255 * 2901 * 2901 still fits a signed 32-bit sum
constexpr std::int32_t maxPanelNameBytes = 255;
constexpr std::int32_t maxMovieNameBytes = 252;        // leaves room for ".mg" in 255 bytes

// Which limit a set of values breaks, checked in this order.
enum LimitBreach {
    withinLimits,
    ntxOutOfRange,
    ntyOutOfRange,
    nxOutOfRange,
    nyOutOfRange,
    nfOutOfRange,
    nBlendOutOfRange,
    mosaicTooWide,
    mosaicTooTall,
    movieTooLarge,      // nf frames would pass the largest 64-bit size
    firstFrameOutOfRange,
    frameStepOutOfRange
};

// Needs only the six values and the frame range; every product in 64-bit arithmetic, so
// nothing can wrap.
LimitBreach checkRunLimits(const RunParameters& runParameters);

// Most frames of these values' size a movie can hold with every byte offset in 64 bits
// (INT64_MAX for frames of no bytes); needs the six values within their own limits.
std::int64_t largestMovieFrames(const RunParameters& runParameters);

// Fills the derived fields; needs values within the limits.
void computeSizes(RunParameters* runParameters);

// The six values with the whole of every movie from its first frame: what a run without
// a frame range asks for; every derived size filled in where the values keep the limits.
RunParameters runParametersOf(std::int32_t ntx, std::int32_t nty, std::int32_t nx, std::int32_t ny, std::int32_t nf,
                              std::int32_t nBlend);
