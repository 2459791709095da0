// One plane of the wall from the panels' decoded planes, by truncating block means, as
// Mozaro blends its rgb24 frames: the mosaic stacks panel row 0 at the bottom, blocks start
// at its bottom left, and rows at the top and columns at the right that fill no block are
// dropped. Decoded planes are stored top row first, and so is the output plane.
#include "video/video.h"

// Sums of a block's column fit 16 bits up to this blend factor (255 * 257 < 65536).
static const std::int32_t narrowSumsUpTo = 257;

template <typename Sum>
static void mergeRows(const RunParameters& p, const AVFrame* const* panels, int plane, AVFrame* out, Sum* sum)
{
    const int shift = plane == 0 ? 0 : 1;   // yuv420p: chroma at half the size both ways
    const std::int64_t panelWidth = p.nx >> shift, panelHeight = p.ny >> shift;
    const std::int64_t outWidth = panelWidth * p.ntx / p.nBlend, outHeight = panelHeight * p.nty / p.nBlend;
    const std::int64_t usedWidth = outWidth * p.nBlend;
    const BlockDivisor divisor = blockDivisor(p.blockArea);
    for (std::int64_t row = 0; row < outHeight; row++) {   // from the bottom
        for (std::int64_t y = row * p.nBlend; y < (row + 1) * p.nBlend; y++) {   // mosaic rows from the bottom
            const std::int64_t i = y / panelHeight;
            const std::int64_t fromTop = panelHeight - 1 - y % panelHeight;
            const bool first = y == row * p.nBlend;
            for (std::int64_t j = 0; j < p.ntx && j * panelWidth < usedWidth; j++) {
                const AVFrame* panel = panels[i * p.ntx + j];
                const std::uint8_t* in = panel->data[plane] + fromTop * panel->linesize[plane];
                const std::int64_t columns = usedWidth - j * panelWidth < panelWidth ? usedWidth - j * panelWidth
                                                                                     : panelWidth;
                Sum* to = sum + j * panelWidth;
                if (first)
                    for (std::int64_t x = 0; x < columns; x++)
                        to[x] = Sum(in[x]);
                else
                    for (std::int64_t x = 0; x < columns; x++)
                        to[x] = Sum(to[x] + in[x]);
            }
        }
        std::uint8_t* o = out->data[plane] + (outHeight - 1 - row) * out->linesize[plane];
        if (p.nBlend == 2) {   // the mean of four: the sum shifted
            for (std::int64_t x = 0; x < outWidth; x++)
                o[x] = std::uint8_t((std::uint32_t(sum[2 * x]) + sum[2 * x + 1]) >> 2);
            continue;
        }
        for (std::int64_t x = 0; x < outWidth; x++) {
            std::uint32_t block = 0;
            for (std::int32_t c = 0; c < p.nBlend; c++)
                block += sum[x * p.nBlend + c];
            o[x] = std::uint8_t(divideBlockSum(block, divisor));
        }
    }
}

void mergePlane(const RunParameters& p, const AVFrame* const* panels, int plane, AVFrame* out, PlaneSums* sums)
{
    const std::size_t usedWidth = std::size_t(p.outWidth >> (plane == 0 ? 0 : 1)) * std::size_t(p.nBlend);
    if (p.nBlend <= narrowSumsUpTo) {
        if (sums->narrow.size() < usedWidth)
            sums->narrow.resize(usedWidth);
        mergeRows(p, panels, plane, out, sums->narrow.data());
    } else {
        if (sums->wide.size() < usedWidth)
            sums->wide.resize(usedWidth);
        mergeRows(p, panels, plane, out, sums->wide.data());
    }
}
