// The frame pipeline: raw frames, read from the panel movies a band of rows at a time,
// reduced by block averages while the band is still in the processor's caches, and handed
// to a sink (the output movie, in a run) a few hundred KB at a time.
//
// Raw frame of w x h pixels: exactly 3 * w * h bytes, no header, no padding. A pixel is
// three unsigned bytes, the channels in the order they come (never interpreted). Rows of
// 3 * w bytes follow one another, the first stored row being the bottom row of the picture;
// pixel (x, y), x from the left and y from the bottom, starts at byte 3 * (y * w + x).
// A raw movie is its frames back to back: frame k starts at k * (frame bytes).
//
// The mosaic stacks panel row 0 (the bottom row of the grid) at its first stored rows:
// pixel (x, y) of panel (i, j) is mosaic pixel (j * nx + x, i * ny + y). It is never held
// whole. A frame flows one way, one band of mosaic rows at a time:
//
//   panel files -> band -> (column sums) -> output rows -> sink
//
// For each panel row, bottom first, a piece of rows of each of its panels in turn (so every
// file is read strictly in order) fills a band of mosaic rows. Whole nBlend x nBlend blocks
// in the band are reduced straight from it; a block that a band boundary cuts (at the top of
// a panel row, or everywhere when nBlend rows do not fit a band) is added into per-column
// sums until its last row is in. Rows at the top and columns at the right that do not fill
// a block are read and dropped. Every buffer is sized once from the run's mosaic width,
// never from its height, nf or nBlend; each thread that streams frames has buffers of its
// own, so that nothing here is shared between frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "geometry/runParameters.h"
#include "platform/files.h"

// ---- Buffers ----

// A band aims at this size so that it stays in the second-level cache beside the output
// rows and the sums; it always holds at least one mosaic row.
constexpr std::int64_t bandTargetBytes = 384 * 1024;
// Output rows are written in pieces of about this size, at least one row.
constexpr std::int64_t outputPieceTargetBytes = 256 * 1024;

struct FrameBufferPlan {
    std::int32_t bandRows;          // mosaic rows in a band
    std::int32_t outRowsPerPiece;   // output rows gathered before a write
    std::int64_t bandBytes;
    std::int64_t stagingBytes;      // one panel's piece, where rows are read whole and copied
    std::int64_t sumCount;          // column sums (32-bit) for blocks cut by a band boundary
    std::int64_t outPieceBytes;
    std::int64_t scratchBytes;      // the reduction's own sums of one span of a block row
    std::int64_t totalBytes;        // everything above, as one allocation
};

// The sizes for a run. `bandRows` 0 takes the cache-sized band; tests and the fuzz target
// pass small bands to put band boundaries everywhere.
FrameBufferPlan planFrameBuffers(const RunParameters& runParameters, std::int32_t bandRows);

struct ReductionScratch;

struct FrameBuffers {
    FrameBufferPlan plan;
    unsigned char* band;
    unsigned char* staging;         // null where rows are never copied
    std::uint32_t* sums;            // null where no block is cut by a band boundary
    unsigned char* outPiece;        // null for nBlend 1: bands are written as they are
    ReductionScratch* scratch;      // null for nBlend 1
    std::int32_t outRowsWaiting;    // output rows in outPiece not yet written
    void* block;                    // the one allocation
};

// Allocates the buffers of a plan; false when the memory cannot be had.
bool allocateFrameBuffers(const FrameBufferPlan& plan, FrameBuffers* buffers);
void freeFrameBuffers(FrameBuffers* buffers);

// ---- Streaming a frame ----

enum StreamStatus { streamGoesOn, panelMovieEnded, panelMovieFailed, outputMovieFailed, streamStopRequested };

// A panel whose frames another part of the program holds in memory (a video decoder, say).
// `frame` waits for frame `frame` and gives its bottom row and the distance in bytes from a
// row to the one above it (negative where the frame is stored top row first): streamGoesOn,
// panelMovieEnded when the panel has no such frame, panelMovieFailed with an error code the
// source alone can put in words, or streamStopRequested. Frames are asked for in order, one
// several times while it is merged; asking for the next lets the source reuse the earlier.
struct PanelSource {
    StreamStatus (*frame)(void* context, std::int64_t frame, const unsigned char** bottomRow,
                          std::ptrdiff_t* rowStride, int* error);
    void* context;
};

// A panel's movie as the pipeline reads it: a regular file at the frame's offset, a pipe,
// FIFO or device in order, or frames in memory where `source.frame` is set.
struct PanelMovie {
    osFile file;
    bool stream;
    PanelSource source = PanelSource{nullptr, nullptr};
};

// Where finished output rows go, in order, a piece at a time: 0 or the system's error.
struct RowSink {
    int (*write)(void* context, const unsigned char* rows, std::int64_t bytes);
    void* context;
};

// Where the frame loop puts merged frames: `write` takes the next `bytes` of frame `frame`
// (0 .. nf - 1 of the run), `at` bytes into it, the pieces of one frame in order; `finished`,
// where set, hears of each frame once it is whole, in frame order. A sink that must be
// written in frame order (a pipe, an encoder) is fed by one thread alone. 0 or an error code
// (the system's, unless the sink says otherwise).
struct FrameSink {
    int (*write)(void* context, std::int64_t frame, std::int64_t at, const unsigned char* rows, std::int64_t bytes);
    int (*finished)(void* context, std::int64_t frame);
    bool inOrder;
    void* context;
};

struct StreamResult {
    StreamStatus status;
    std::int32_t panel;   // the panel (i * ntx + j) whose movie ended or failed
    int error;            // the system's error code of a failed read or write
};

// Reads frame `frame` of every panel movie (ntx * nty of them in file order: panel (i, j) at
// i * ntx + j; streams are read where they stand), reduces it and hands it to `sink`. When
// it returns streamGoesOn the whole frame is in the sink and nothing of it waits in the
// buffers. Otherwise it stopped at the first movie that ended or failed, at a failed write,
// or because the process was asked to stop.
StreamResult streamFrame(const RunParameters& runParameters, const PanelMovie* panels, std::int64_t frame,
                         FrameBuffers* buffers, RowSink sink);

// Reads and drops `frames` frames of every panel movie that is a stream, so that the next
// frame read from it is the next one wanted.
StreamResult skipStreamFrames(const RunParameters& runParameters, const PanelMovie* panels, std::int64_t frames,
                              FrameBuffers* buffers);

// ---- Reading a band ----

// True where a run's pieces are read whole into the staging buffer and copied row by row.
bool piecesGoThroughStaging(const RunParameters& runParameters);

// Reads rows `firstRow` .. firstRow + rows - 1 of frame `frame` of each panel of one panel
// row (`panels`, ntx of them, left to right) into `band`, which holds mosaic rows of
// mosaicRowBytes: panel column j at mosaic column j * panelStepX, less the first overlapX
// columns of every panel but the first, which its left neighbour keeps. Needs the plan's
// staging buffer where the plan has one. Names the column of a movie that ended or failed.
StreamResult readPanelRowPiece(const RunParameters& runParameters, const PanelMovie* panels, std::int64_t frame,
                               std::int32_t firstRow, std::int32_t rows, unsigned char* band, unsigned char* staging);

// ---- Block-average reduction ----

// Truncating division of a block sum by blockArea without a divide instruction:
// ((sum >> preShift) * multiplier) >> shift. Exact for every sum from 0 to
// 255 * blockArea + blockArea / 2, for every blockArea nBlend * nBlend of a run. For
// blockArea 4 to 256 the multiplier is below 2^16 and the shift at least 16, so 16-bit
// vector lanes can do it. A mean rounded to the nearest value is the truncated one of the
// sum plus `roundingAddend`, blockArea / 2: the reduction starts every block sum there.
struct BlockDivisor {
    std::int32_t preShift;
    std::uint64_t multiplier;
    std::int32_t shift;
    std::uint32_t roundingAddend = 0;
};
BlockDivisor blockDivisor(std::int32_t blockArea);
// The divisor of a run: its blockArea, rounding where the run asks for it.
BlockDivisor blockDivisorOf(const RunParameters& runParameters);
inline std::uint32_t divideBlockSum(std::uint32_t sum, const BlockDivisor& divisor)
{
    return std::uint32_t(((std::uint64_t(sum) >> divisor.preShift) * divisor.multiplier) >> divisor.shift);
}

// Bytes of the scratch reduceBlockRow needs.
std::int64_t reductionScratchBytes();

// One output row from nBlend (2 or more) consecutive mosaic rows, the first at `rows`, the
// others rowBytes apart: each output byte the mean of its block, truncated (or rounded, as
// the divisor says). Writes 3 * outWidth bytes.
void reduceBlockRow(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend, std::int32_t outWidth,
                    const BlockDivisor& divisor, ReductionScratch* scratch, unsigned char* out);

// Adds `count` rows of `columns` bytes, rowBytes apart, into 32-bit column sums; `start`
// sets the sums instead of adding to them.
void addRowsToSums(const unsigned char* rows, std::size_t rowBytes, std::int32_t count, std::int32_t columns,
                   bool start, std::uint32_t* sums);

// One output row from the column sums of a whole block row.
void foldColumnSums(const std::uint32_t* sums, std::int32_t nBlend, std::int32_t outWidth,
                    const BlockDivisor& divisor, unsigned char* out);

// ---- Kernels for particular blend factors (frames/reductionKernels.cpp) ----

// The instruction sets the reduction has kernels for, from the plainest up. A run uses the
// best the processor has; the portable code alone is what other processors run.
enum ReductionKernels { portableKernels, ssse3Kernels, avx2Kernels, reductionKernelSets };
// "portable", "ssse3", "avx2".
const char* reductionKernelsName(ReductionKernels kernels);
// Whether this build and processor have the set (the portable code always).
bool haveReductionKernels(ReductionKernels kernels);
// The best set this processor has, and the set in use.
ReductionKernels bestReductionKernels();
ReductionKernels reductionKernelsInUse();
// For the tests, the fuzz target and the benchmark, which would otherwise see only the best
// set: the reduction uses `kernels` and none above them from now on. Called before any
// thread reduces; false, with nothing changed, where the set is not here.
bool useReductionKernels(ReductionKernels kernels);

// Reduces as much of one block row as a kernel for this processor and blend factor can;
// returns how many output pixels that was, 0 where there is no kernel.
std::int32_t reduceWithKernel(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend,
                              std::int32_t pixels, const BlockDivisor& divisor, unsigned char* out);

// Divides `count` block sums of at most 16 bits into bytes.
void divideNarrowSums(const std::uint16_t* sums, std::int32_t count, const BlockDivisor& divisor,
                      unsigned char* out);
