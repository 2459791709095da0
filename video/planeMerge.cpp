// One plane of the wall from the panels' decoded planes, by block means, as Mozaro blends
// its rgb24 frames: the mosaic stacks panel row 0 at the bottom, blocks start at its bottom
// left, and rows at the top and columns at the right that fill no block are dropped. The
// wall's seams are placed at the plane's own resolution: halved for chroma, which is exact
// as the panels' sides and the seams are even. Decoded planes are stored top row first, and
// so is the output plane.
#include <algorithm>

#include "video/video.h"

// Sums of a block's column fit 16 bits up to this blend factor (255 * 257 < 65536).
static const std::int32_t narrowSumsUpTo = 257;

// Sets (`first`) or adds `columns` samples to column sums.
template <typename Sum>
static void addSamples(const std::uint8_t* in, std::int64_t columns, bool first, Sum* to)
{
    if (first)
        for (std::int64_t x = 0; x < columns; x++)
            to[x] = Sum(in[x]);
    else
        for (std::int64_t x = 0; x < columns; x++)
            to[x] = Sum(to[x] + in[x]);
}

template <typename Sum>
static void addFill(std::uint8_t fill, std::int64_t columns, bool first, Sum* to)
{
    if (first)
        for (std::int64_t x = 0; x < columns; x++)
            to[x] = Sum(fill);
    else
        for (std::int64_t x = 0; x < columns; x++)
            to[x] = Sum(to[x] + fill);
}

template <typename Sum>
static void mergeRows(const RunParameters& p, const AVFrame* const* panels, int plane, std::uint8_t fill,
                      AVFrame* out, Sum* sum)
{
    const int shift = plane == 0 ? 0 : 1;   // yuv420p: chroma at half the size both ways
    const std::int64_t panelWidth = p.nx >> shift, panelHeight = p.ny >> shift;
    const std::int64_t gapX = p.gapX >> shift, gapY = p.gapY >> shift;
    const std::int64_t overlapX = p.overlapX >> shift, overlapY = p.overlapY >> shift;
    const std::int64_t stepX = panelWidth + gapX - overlapX, stepY = panelHeight + gapY - overlapY;
    const std::int64_t outWidth = (p.mosaicWidth >> shift) / p.nBlend, outHeight = (p.mosaicHeight >> shift) / p.nBlend;
    const std::int64_t usedWidth = outWidth * p.nBlend;
    const BlockDivisor divisor = blockDivisorOf(p);
    for (std::int64_t row = 0; row < outHeight; row++) {   // from the bottom
        for (std::int64_t y = row * p.nBlend; y < (row + 1) * p.nBlend; y++) {   // mosaic rows from the bottom
            const bool first = y == row * p.nBlend;
            // Panel row i and its row `at` from the bottom: past the first panel row, each
            // step begins with the gap's rows, then the rows the panel below does not keep.
            std::int64_t i = 0, at = y;
            if (y >= panelHeight) {
                const std::int64_t into = (y - panelHeight) % stepY;
                i = 1 + (y - panelHeight) / stepY;
                at = overlapY + into - gapY;
                if (into < gapY) {
                    addFill(fill, usedWidth, first, sum);
                    continue;
                }
            }
            const std::int64_t fromTop = panelHeight - 1 - at;
            for (std::int64_t j = 0; j < p.ntx; j++) {
                const std::int64_t kept = j > 0 ? overlapX : 0;   // the columns the left neighbour keeps
                const std::int64_t x = j * stepX + kept;
                if (x >= usedWidth)
                    break;
                const AVFrame* panel = panels[i * p.ntx + j];
                const std::uint8_t* in = panel->data[plane] + fromTop * panel->linesize[plane] + kept;
                const std::int64_t columns = std::min(panelWidth - kept, usedWidth - x);
                addSamples(in, columns, first, sum + x);
                const std::int64_t gap = j + 1 < p.ntx ? std::min(gapX, usedWidth - x - columns) : 0;
                if (gap > 0)
                    addFill(fill, gap, first, sum + x + columns);
            }
        }
        std::uint8_t* o = out->data[plane] + (outHeight - 1 - row) * out->linesize[plane];
        if (p.nBlend == 2) {   // the mean of four: the sum shifted
            for (std::int64_t x = 0; x < outWidth; x++)
                o[x] = std::uint8_t((std::uint32_t(sum[2 * x]) + sum[2 * x + 1] + divisor.roundingAddend) >> 2);
            continue;
        }
        for (std::int64_t x = 0; x < outWidth; x++) {
            std::uint32_t block = divisor.roundingAddend;
            for (std::int32_t c = 0; c < p.nBlend; c++)
                block += sum[x * p.nBlend + c];
            o[x] = std::uint8_t(divideBlockSum(block, divisor));
        }
    }
}

void mergePlane(const RunParameters& p, const AVFrame* const* panels, int plane, std::uint8_t fill, AVFrame* out,
                PlaneSums* sums)
{
    const std::size_t usedWidth = std::size_t(p.outWidth >> (plane == 0 ? 0 : 1)) * std::size_t(p.nBlend);
    if (p.nBlend <= narrowSumsUpTo) {
        if (sums->narrow.size() < usedWidth)
            sums->narrow.resize(usedWidth);
        mergeRows(p, panels, plane, fill, out, sums->narrow.data());
    } else {
        if (sums->wide.size() < usedWidth)
            sums->wide.resize(usedWidth);
        mergeRows(p, panels, plane, fill, out, sums->wide.data());
    }
}

bool planeFill(const unsigned char rgb[3], const PanelInfo& first, std::uint8_t yuv[3])
{
    // A few pixels of the colour, converted as the panels' decoders convert the other way.
    const int width = 16, height = 2;
    SwsContext* toPlanes = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P,
                                          SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (toPlanes == nullptr)
        return false;
    int* inverse;
    int* table;
    int sourceFull, destinationFull, brightness, contrast, saturation;
    if (sws_getColorspaceDetails(toPlanes, &inverse, &sourceFull, &table, &destinationFull, &brightness, &contrast,
                                 &saturation) >= 0) {
        if (first.colorSpace != AVCOL_SPC_UNSPECIFIED)
            table = const_cast<int*>(sws_getCoefficients(first.colorSpace));
        if (first.range != AVCOL_RANGE_UNSPECIFIED)
            destinationFull = first.range == AVCOL_RANGE_JPEG;
        sws_setColorspaceDetails(toPlanes, inverse, sourceFull, table, destinationFull, brightness, contrast,
                                 saturation);
    }
    std::uint8_t pixels[height][3 * width], luma[height][width], blue[width / 2], red[width / 2];
    for (int y = 0; y < height; y++)
        for (int x = 0; x < 3 * width; x++)
            pixels[y][x] = rgb[x % 3];
    const std::uint8_t* from[4] = {pixels[0], nullptr, nullptr, nullptr};
    const int fromStrides[4] = {3 * width, 0, 0, 0};
    std::uint8_t* to[4] = {luma[0], blue, red, nullptr};
    const int toStrides[4] = {width, width / 2, width / 2, 0};
    const int rows = sws_scale(toPlanes, from, fromStrides, 0, height, to, toStrides);
    sws_freeContext(toPlanes);
    yuv[0] = luma[0][0];
    yuv[1] = blue[0];
    yuv[2] = red[0];
    return rows == height;
}
