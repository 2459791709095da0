#include <cstdlib>
#include <cstring>

#include "platform/process.h"

#include "frames/frames.h"

// Every buffer starts on a cache line, the band on a page: the system copies into a
// destination that is not aligned to 64 bytes several times more slowly on some processors.
static const std::int64_t bufferAlignment = 4096;

static std::int64_t roundedUp(std::int64_t bytes)
{
    return (bytes + 63) / 64 * 64;
}

FrameBufferPlan planFrameBuffers(const RunParameters& p, std::int32_t bandRows)
{
    FrameBufferPlan plan{};
    const std::int64_t rowBytes = p.mosaicRowBytes;
    std::int64_t rows = bandRows > 0 ? bandRows : bandTargetBytes / rowBytes;
    // A band holds rows of one panel row only.
    if (rows > p.ny)
        rows = p.ny;
    plan.bandRows = rows > 1 ? std::int32_t(rows) : 1;
    plan.bandBytes = plan.bandRows * rowBytes;
    plan.stagingBytes = piecesGoThroughStaging(p) ? std::int64_t(plan.bandRows) * p.tileRowBytes : 0;
    // Column sums carry a block whose rows come in two bands: at the top of a panel row
    // whose height is not a multiple of nBlend, where rows of gaps or overlaps shift the
    // blocks, and everywhere when a band is lower than a block.
    const bool blocksCut = p.nBlend > plan.bandRows || p.ny % p.nBlend != 0 || p.gapY > 0 || p.overlapY > 0;
    plan.sumCount = p.nBlend > 1 && blocksCut ? std::int64_t(p.outRowBytes) * p.nBlend : 0;
    if (p.nBlend > 1 && p.outRowBytes > 0) {
        std::int64_t perPiece = outputPieceTargetBytes / p.outRowBytes;
        if (perPiece > p.outHeight)
            perPiece = p.outHeight;
        plan.outRowsPerPiece = perPiece > 1 ? std::int32_t(perPiece) : 1;
    }
    plan.outPieceBytes = std::int64_t(plan.outRowsPerPiece) * p.outRowBytes;
    plan.scratchBytes = p.nBlend > 1 && p.outRowBytes > 0 ? reductionScratchBytes() : 0;
    plan.totalBytes = bufferAlignment + roundedUp(plan.bandBytes) + roundedUp(plan.stagingBytes) +
                      roundedUp(4 * plan.sumCount) + roundedUp(plan.outPieceBytes) + roundedUp(plan.scratchBytes);
    return plan;
}

bool allocateFrameBuffers(const FrameBufferPlan& plan, FrameBuffers* buffers)
{
    *buffers = FrameBuffers{};
    buffers->plan = plan;
    void* allocated = std::malloc(std::size_t(plan.totalBytes));
    if (allocated == nullptr)
        return false;
    buffers->block = allocated;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(allocated);
    unsigned char* block = static_cast<unsigned char*>(allocated) + (bufferAlignment - start % bufferAlignment);
    buffers->band = block;
    block += roundedUp(plan.bandBytes);
    buffers->staging = plan.stagingBytes > 0 ? block : nullptr;
    block += roundedUp(plan.stagingBytes);
    buffers->sums = plan.sumCount > 0 ? reinterpret_cast<std::uint32_t*>(block) : nullptr;
    block += roundedUp(4 * plan.sumCount);
    buffers->outPiece = plan.outPieceBytes > 0 ? block : nullptr;
    block += roundedUp(plan.outPieceBytes);
    buffers->scratch = plan.scratchBytes > 0 ? reinterpret_cast<ReductionScratch*>(block) : nullptr;
    return true;
}

void freeFrameBuffers(FrameBuffers* buffers)
{
    std::free(buffers->block);
    *buffers = FrameBuffers{};
}

static int writeWaitingRows(const RunParameters& p, FrameBuffers* b, RowSink sink)
{
    const std::int64_t bytes = std::int64_t(b->outRowsWaiting) * p.outRowBytes;
    b->outRowsWaiting = 0;
    return bytes > 0 ? sink.write(sink.context, b->outPiece, bytes) : 0;
}

// Room for the next output row, once the rows before it have gone out if the piece is full.
static int nextOutputRow(const RunParameters& p, FrameBuffers* b, RowSink sink, unsigned char** row)
{
    if (b->outRowsWaiting == b->plan.outRowsPerPiece) {
        int error = writeWaitingRows(p, b, sink);
        if (error != 0)
            return error;
    }
    *row = b->outPiece + std::size_t(b->outRowsWaiting) * std::size_t(p.outRowBytes);
    b->outRowsWaiting++;
    return 0;
}

// The output rows of the `rows` band rows that start at mosaic row y0. A block wholly in
// the band is reduced from it; the rows of a block that a band boundary cuts go into the
// column sums, and the block's last row folds them into its output row.
static int reduceBand(const RunParameters& p, FrameBuffers* b, const BlockDivisor& divisor, std::int64_t y0,
                      std::int32_t rows, RowSink sink)
{
    const std::int32_t nBlend = p.nBlend;
    const std::size_t rowBytes = std::size_t(p.mosaicRowBytes);
    const std::int32_t usedColumns = p.outRowBytes * nBlend;
    const std::int64_t usedRows = std::int64_t(p.outHeight) * nBlend;
    const std::int64_t end = y0 + rows < usedRows ? y0 + rows : usedRows;
    const unsigned char* at = b->band;
    for (std::int64_t y = y0; y < end;) {
        const std::int32_t phase = std::int32_t(y % nBlend);
        unsigned char* out;
        if (phase == 0 && y + nBlend <= end) {
            int error = nextOutputRow(p, b, sink, &out);
            if (error != 0)
                return error;
            reduceBlockRow(at, rowBytes, nBlend, p.outWidth, divisor, b->scratch, out);
            y += nBlend;
            at += std::size_t(nBlend) * rowBytes;
            continue;
        }
        const std::int32_t n = end - y < nBlend - phase ? std::int32_t(end - y) : nBlend - phase;
        addRowsToSums(at, rowBytes, n, usedColumns, phase == 0, b->sums);
        y += n;
        at += std::size_t(n) * rowBytes;
        if (y % nBlend == 0) {
            int error = nextOutputRow(p, b, sink, &out);
            if (error != 0)
                return error;
            foldColumnSums(b->sums, nBlend, p.outWidth, divisor, out);
        }
    }
    return 0;
}

// Rows for the next piece of a panel row, whose first row is mosaic row y0 and which has
// `left` rows still to come: as many as the band holds, but where whole blocks fit a band,
// ending on a block boundary, so that only blocks that straddle two panel rows go through
// the column sums.
static std::int32_t pieceRows(const RunParameters& p, const FrameBufferPlan& plan, std::int64_t y0, std::int32_t left)
{
    std::int32_t rows = plan.bandRows;
    if (p.nBlend > 1 && p.nBlend <= plan.bandRows) {
        const std::int32_t toBoundary = std::int32_t((p.nBlend - y0 % p.nBlend) % p.nBlend);
        rows = toBoundary + (plan.bandRows - toBoundary) / p.nBlend * p.nBlend;
    }
    return left < rows ? left : rows;
}

// `rows` band rows of the gaps' colour, where the band holds gap rows or gap columns.
static void fillBandRows(const RunParameters& p, unsigned char* band, std::int32_t rows)
{
    const std::size_t rowBytes = std::size_t(p.mosaicRowBytes);
    for (std::size_t at = 0; at < rowBytes; at += 3)
        std::memcpy(band + at, p.fill, 3);
    for (std::int32_t r = 1; r < rows; r++)
        std::memcpy(band + std::size_t(r) * rowBytes, band, rowBytes);
}

// Reads and drops `rows` rows of every panel of a panel row that is a stream, a band at a
// time, panel after panel: the rows a panel shares with the one below it, which that one
// keeps, or whole frames before a frame range. (A regular file is read at the rows wanted.)
static StreamResult dropStreamRows(const RunParameters& p, const PanelMovie* row, std::int32_t rows,
                                   FrameBuffers* b)
{
    for (std::int32_t r = 0; r < rows; r += b->plan.bandRows)
        for (std::int32_t j = 0; j < p.ntx; j++) {
            if (!row[j].stream)
                continue;
            const std::int32_t piece = rows - r < b->plan.bandRows ? rows - r : b->plan.bandRows;
            const std::size_t bytes = std::size_t(piece) * std::size_t(p.tileRowBytes);
            std::size_t got = 0;
            const int error = osReadFull(row[j].file, b->band, bytes, osAtPosition, &got);
            if (error != 0)
                return StreamResult{panelMovieFailed, j, error};
            if (got < bytes)
                return StreamResult{panelMovieEnded, j, 0};
            if (osStopRequested() != 0)
                return StreamResult{streamStopRequested, 0, 0};
        }
    return StreamResult{streamGoesOn, 0, 0};
}

// Hands `rows` band rows, the first mosaic row y0, on: as they are for nBlend 1, else reduced.
static int passBandOn(const RunParameters& p, FrameBuffers* b, const BlockDivisor& divisor, std::int64_t y0,
                      std::int32_t rows, RowSink sink)
{
    if (p.nBlend == 1)
        return sink.write(sink.context, b->band, std::int64_t(rows) * p.mosaicRowBytes);
    // With no output columns nothing is reduced, but every byte is still read.
    return p.outRowBytes > 0 ? reduceBand(p, b, divisor, y0, rows, sink) : 0;
}

StreamResult streamFrame(const RunParameters& p, const PanelMovie* panels, std::int64_t frame, FrameBuffers* b,
                         RowSink sink)
{
    const BlockDivisor divisor = blockDivisorOf(p);
    b->outRowsWaiting = 0;
    // Panel reads fill the panels' columns of the band; gap columns keep the colour.
    if (p.gapX > 0 && p.ntx > 1)
        fillBandRows(p, b->band, b->plan.bandRows);
    for (std::int32_t i = 0; i < p.nty; i++) {
        const PanelMovie* row = panels + std::size_t(i) * std::size_t(p.ntx);
        // A panel row above the first leaves out the rows it shares with the row below.
        const std::int32_t shared = i > 0 ? p.overlapY : 0;
        if (shared > 0) {
            StreamResult dropped = dropStreamRows(p, row, shared, b);
            if (dropped.status != streamGoesOn) {
                dropped.panel += i * p.ntx;
                return dropped;
            }
        }
        for (std::int32_t r = shared; r < p.ny;) {
            const std::int64_t y0 = std::int64_t(i) * p.panelStepY + r;
            const std::int32_t rows = pieceRows(p, b->plan, y0, p.ny - r);
            StreamResult read = readPanelRowPiece(p, row, frame, r, rows, b->band, b->staging);
            if (read.status != streamGoesOn) {
                read.panel += i * p.ntx;
                return read;
            }
            if (osStopRequested() != 0)
                return StreamResult{streamStopRequested, 0, 0};
            const int error = passBandOn(p, b, divisor, y0, rows, sink);
            if (error != 0)
                return StreamResult{outputMovieFailed, 0, error};
            r += rows;
        }
        // The gap rows above the panel row, but for the top one.
        for (std::int32_t g = 0; i + 1 < p.nty && g < p.gapY;) {
            const std::int64_t y0 = std::int64_t(i) * p.panelStepY + p.ny + g;
            const std::int32_t rows = pieceRows(p, b->plan, y0, p.gapY - g);
            fillBandRows(p, b->band, rows);
            const int error = passBandOn(p, b, divisor, y0, rows, sink);
            if (error != 0)
                return StreamResult{outputMovieFailed, 0, error};
            g += rows;
        }
    }
    int error = writeWaitingRows(p, b, sink);
    if (error != 0)
        return StreamResult{outputMovieFailed, 0, error};
    return StreamResult{streamGoesOn, 0, 0};
}

StreamResult skipStreamFrames(const RunParameters& p, const PanelMovie* panels, std::int64_t frames,
                              FrameBuffers* b)
{
    // In the order a frame is read, so that one program feeding several panels' pipes in
    // turn is never left waiting for a reader.
    for (std::int64_t f = 0; f < frames; f++)
        for (std::int32_t i = 0; i < p.nty; i++) {
            StreamResult dropped = dropStreamRows(p, panels + std::size_t(i) * std::size_t(p.ntx), p.ny, b);
            if (dropped.status != streamGoesOn) {
                dropped.panel += dropped.status == streamStopRequested ? 0 : i * p.ntx;
                return dropped;
            }
        }
    return StreamResult{streamGoesOn, 0, 0};
}
