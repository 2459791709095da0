#include <cstring>

#include "frames/frames.h"

// Rows narrower than this are cheaper to read in one piece and copy than to scatter.
static const std::int32_t smallestScatteredRow = 256;

AssemblyResult assembleMosaic(const RunParameters& runParameters,
                              const osFile files[maxPanelsDown][maxPanelsAcross],
                              unsigned char* tile, unsigned char* mosaic)
{
    const std::size_t tileRowBytes = std::size_t(runParameters.tileRowBytes);
    const std::size_t mosaicRowBytes = std::size_t(runParameters.mosaicRowBytes);
    const std::size_t tileFrameBytes = std::size_t(runParameters.tileFrameBytes);
    const std::size_t ny = std::size_t(runParameters.ny);
    // With one panel across, a panel's rows lie back to back in the mosaic; with wide rows
    // they can be scattered straight into place. Otherwise the frame goes through `tile`.
    const bool contiguous = runParameters.ntx == 1;
    const bool scattered = !contiguous && osHasScatterRead && runParameters.tileRowBytes >= smallestScatteredRow;

    for (std::int32_t i = 0; i < runParameters.nty; i++) {
        for (std::int32_t j = 0; j < runParameters.ntx; j++) {
            unsigned char* place = mosaic + std::size_t(i) * ny * mosaicRowBytes + std::size_t(j) * tileRowBytes;
            std::size_t got = 0;
            int error;
            if (contiguous)
                error = osReadFull(files[i][j], place, tileFrameBytes, &got);
            else if (scattered)
                error = osReadRows(files[i][j], place, tileRowBytes, mosaicRowBytes, ny, &got);
            else
                error = osReadFull(files[i][j], tile, tileFrameBytes, &got);
            if (error != 0)
                return AssemblyResult{panelMovieFailed, i, j, error};
            if (got < tileFrameBytes)
                return AssemblyResult{panelMovieEnded, i, j, 0};
            if (!contiguous && !scattered)
                for (std::size_t r = 0; r < ny; r++)
                    std::memcpy(place + r * mosaicRowBytes, tile + r * tileRowBytes, tileRowBytes);
        }
    }
    return AssemblyResult{mosaicAssembled, 0, 0, 0};
}
