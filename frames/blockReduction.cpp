#include "frames/frames.h"

const unsigned char* reduceBlocks(const RunParameters& runParameters, const unsigned char* mosaic,
                                  unsigned char* out)
{
    const std::int32_t nBlend = runParameters.nBlend;
    if (nBlend == 1)
        return mosaic;
    const std::int32_t mosaicWidth = runParameters.nx * runParameters.ntx;
    for (std::int32_t oy = 0; oy < runParameters.outHeight; oy++) {
        for (std::int32_t ox = 0; ox < runParameters.outWidth; ox++) {
            std::int32_t s0 = 0, s1 = 0, s2 = 0;
            for (std::int32_t dy = 0; dy < nBlend; dy++) {
                const unsigned char* p =
                    mosaic + (std::size_t(oy * nBlend + dy) * mosaicWidth + std::size_t(ox) * nBlend) * 3;
                for (std::int32_t dx = 0; dx < nBlend; dx++, p += 3) {
                    s0 += p[0];
                    s1 += p[1];
                    s2 += p[2];
                }
            }
            unsigned char* o = out + std::size_t(oy) * runParameters.outRowBytes + std::size_t(ox) * 3;
            o[0] = (unsigned char)(s0 / runParameters.blockArea);
            o[1] = (unsigned char)(s1 / runParameters.blockArea);
            o[2] = (unsigned char)(s2 / runParameters.blockArea);
        }
    }
    return out;
}
