#include <cstring>

#include "frames/frames.h"

// With one panel across, a piece of a panel's rows lies back to back in the band and is
// read in one request. Otherwise rows are scattered straight into their places in the band
// where the system can, or read whole into the staging buffer and copied, one copy a row:
// for narrow rows the copy costs less than a scatter read's many small pieces.
static const std::int32_t smallestScatteredRow = 256;

bool piecesGoThroughStaging(const RunParameters& p)
{
    // A panel that shares columns with its left neighbour is copied without them.
    return p.ntx > 1 && (!OS_HAS_SCATTER_READ || p.tileRowBytes < smallestScatteredRow || p.overlapX > 0);
}

StreamResult readPanelRowPiece(const RunParameters& p, const PanelMovie* panels, std::int64_t frame,
                               std::int32_t firstRow, std::int32_t rows, unsigned char* band, unsigned char* staging)
{
    const std::size_t tileRowBytes = std::size_t(p.tileRowBytes);
    const std::size_t mosaicRowBytes = std::size_t(p.mosaicRowBytes);
    const std::size_t pieceBytes = tileRowBytes * std::size_t(rows);
    // Every panel's frame starts at the same offset of its movie.
    const std::int64_t offset = frame * p.tileFrameBytes + std::int64_t(firstRow) * p.tileRowBytes;
    const bool staged = piecesGoThroughStaging(p);
    for (std::int32_t j = 0; j < p.ntx; j++) {
        const osFile file = panels[j].file;
        const std::int64_t at = panels[j].stream ? osAtPosition : offset;
        unsigned char* place = band + std::size_t(j) * std::size_t(bytesPerPixel) * std::size_t(p.panelStepX);
        const std::size_t shared = j > 0 ? std::size_t(bytesPerPixel) * std::size_t(p.overlapX) : 0;
        if (panels[j].source.frame != nullptr) {
            const unsigned char* bottom = nullptr;
            std::ptrdiff_t stride = 0;
            int error = 0;
            const StreamStatus status = panels[j].source.frame(panels[j].source.context, frame, &bottom, &stride, &error);
            if (status != streamGoesOn)
                return StreamResult{status, j, error};
            for (std::int32_t r = 0; r < rows; r++)
                std::memcpy(place + std::size_t(r) * mosaicRowBytes + shared, bottom + (firstRow + r) * stride + shared,
                            tileRowBytes - shared);
            continue;
        }
        std::size_t got = 0;
        int error;
        if (p.ntx == 1)
            error = osReadFull(file, place, pieceBytes, at, &got);
#if OS_HAS_SCATTER_READ
        else if (!staged)
            error = osReadRows(file, place, tileRowBytes, mosaicRowBytes, std::size_t(rows), at, &got);
#endif
        else
            error = osReadFull(file, staging, pieceBytes, at, &got);
        if (error != 0)
            return StreamResult{panelMovieFailed, j, error};
        if (got < pieceBytes)
            return StreamResult{panelMovieEnded, j, 0};
        if (staged)
            for (std::int32_t r = 0; r < rows; r++)
                std::memcpy(place + std::size_t(r) * mosaicRowBytes + shared,
                            staging + std::size_t(r) * tileRowBytes + shared, tileRowBytes - shared);
    }
    return StreamResult{streamGoesOn, 0, 0};
}
