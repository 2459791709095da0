// The frame pipeline: raw frames, the three frame buffers, mosaic assembly and the
// block-average reduction.
//
// Raw frame of w x h pixels: exactly 3 * w * h bytes, no header, no padding. A pixel is
// three unsigned bytes, the channels in the order they come (never interpreted). Rows of
// 3 * w bytes follow one another, the first stored row being the bottom row of the picture;
// pixel (x, y), x from the left and y from the bottom, starts at byte 3 * (y * w + x).
// A raw movie is its frames back to back: frame k starts at k * (frame bytes).
//
// The mosaic stacks panel row 0 (the bottom row of the grid) at its first stored rows:
// pixel (x, y) of panel (i, j) is mosaic pixel (j * nx + x, i * ny + y).
#pragma once

#include <cstdint>

#include "platform/osFiles.h"
#include "run/run.h"

constexpr std::int32_t bytesPerPixel = 3;

// Capacities, which are also the frame-size limits of a run. A frame occupies the first
// bytes of its buffer, with the row stride of the run, not of the capacity.
constexpr std::int32_t tileFrameCapacity = 12582912;     // 2048 x 2048 pixels
constexpr std::int32_t mosaicFrameCapacity = 201326592;  // 8192 x 8192 pixels
constexpr std::int32_t outFrameCapacity = 201326592;

// Zero-filled for the whole process and reused by every frame and panel. Pages that a
// run's frames never reach are never touched.
extern unsigned char tileFrame[tileFrameCapacity];
extern unsigned char mosaicFrame[mosaicFrameCapacity];
extern unsigned char outFrame[outFrameCapacity];

enum AssemblyStatus { mosaicAssembled, panelMovieEnded, panelMovieFailed };

struct AssemblyResult {
    AssemblyStatus status;
    std::int32_t panelRow;     // the panel whose movie ended or failed
    std::int32_t panelColumn;
    int error;                 // the system's error code when the read failed
};

// Reads the next frame of every panel's movie, in grid order (bottom row first, left to
// right), into its place in mosaic. Stops at the first movie that ends before the whole
// frame is in or fails. `tile` is scratch room of tileFrameBytes for panels whose rows
// cannot be read into the mosaic directly.
AssemblyResult assembleMosaic(const RunParameters& runParameters,
                              const osFile files[maxPanelsDown][maxPanelsAcross],
                              unsigned char* tile, unsigned char* mosaic);

// Truncating division of a block sum by blockArea without a divide instruction:
// ((sum >> preShift) * multiplier) >> shift. Exact for every sum from 0 to 255 * blockArea,
// for every blockArea nBlend * nBlend of a run. For blockArea 4 to 256 the multiplier is
// below 2^16 and the shift at least 16, so 16-bit vector lanes can do it.
struct BlockDivisor {
    std::int32_t preShift;
    std::uint64_t multiplier;
    std::int32_t shift;
};
BlockDivisor blockDivisor(std::int32_t blockArea);
inline std::uint32_t divideBlockSum(std::uint32_t sum, const BlockDivisor& divisor)
{
    return std::uint32_t(((std::uint64_t(sum) >> divisor.preShift) * divisor.multiplier) >> divisor.shift);
}

// Shrinks the mosaic by nBlend in both directions: each output byte is the truncated mean
// of its nBlend x nBlend block, channel by channel. Writes outFrameBytes bytes to `out` and
// returns where the reduced frame lies: `out`, or the mosaic itself when nBlend is 1.
const unsigned char* reduceBlocks(const RunParameters& runParameters, const unsigned char* mosaic,
                                  unsigned char* out);
