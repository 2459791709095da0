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
    // The wall: the seams between neighbouring panels, either a gap of fill pixels (the
    // bezels of a tiled display) or an overlap whose pixels the left (lower) panel keeps.
    // At most one kind is set; 0 unless asked.
    std::int32_t gapX, gapY;          // fill columns between columns, fill rows between rows
    std::int32_t overlapX, overlapY;  // columns (rows) a panel shares with its left (lower) neighbour
    unsigned char fill[3];            // the gaps' pixel, its bytes in the order the panels' come
    bool roundMeans;                  // each block's mean rounded to the nearest, not truncated
    // Derived by computeSizes. Row sizes stay below 2^22 within the limits; frame sizes
    // can pass 2^31 and are 64-bit.
    std::int32_t mosaicWidth;     // ntx * nx + (ntx - 1) * (gapX - overlapX)
    std::int32_t mosaicHeight;    // nty * ny + (nty - 1) * (gapY - overlapY)
    std::int32_t panelStepX;      // nx + gapX - overlapX: mosaic columns from a panel column to the next
    std::int32_t panelStepY;      // ny + gapY - overlapY: mosaic rows from a panel row to the next
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
constexpr std::int32_t maxSeam = 65535;                // a gap's or an overlap's pixels

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
    frameStepOutOfRange,
    seamOutOfRange,      // a gap or an overlap below 0 or above maxSeam
    gapAndOverlap,       // both asked for
    overlapTooWide,      // overlapX at least nx
    overlapTooTall       // overlapY at least ny
};

// Needs only the six values, the frame range and the seams; every product in 64-bit
// arithmetic, so nothing can wrap.
LimitBreach checkRunLimits(const RunParameters& runParameters);

// Most frames of these values' size a movie can hold with every byte offset in 64 bits
// (INT64_MAX for frames of no bytes); needs the six values within their own limits.
std::int64_t largestMovieFrames(const RunParameters& runParameters);

// Fills the derived fields; needs values within the limits.
void computeSizes(RunParameters* runParameters);

// The mosaic's width and height in 64 bits, whatever the values: what the limits compare.
std::int64_t mosaicWidthOf(const RunParameters& runParameters);
std::int64_t mosaicHeightOf(const RunParameters& runParameters);

// The texts of the wall's options, shared by every command line that takes them. A seam,
// X or X,Y: whole numbers of pixels in plain decimal digits, each within 32 bits, Y = X
// where it is left out (the limits come after). A fill colour: RRGGBB, six hex digits, a
// byte each for the panels' three channels. False, with nothing set, for anything else.
bool parseSeam(const char* text, std::int32_t* x, std::int32_t* y);
bool parseFillColour(const char* text, unsigned char fill[3]);

// The six values with the whole of every movie from its first frame and no seams: what a
// run without options asks for; every derived size filled in where the values keep the
// limits.
RunParameters runParametersOf(std::int32_t ntx, std::int32_t nty, std::int32_t nx, std::int32_t ny, std::int32_t nf,
                              std::int32_t nBlend);
