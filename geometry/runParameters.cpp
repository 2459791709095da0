#include <cstdint>

#include "geometry/runParameters.h"

std::int64_t mosaicWidthOf(const RunParameters& p)
{
    return std::int64_t(p.ntx) * p.nx + std::int64_t(p.ntx - 1) * (std::int64_t(p.gapX) - p.overlapX);
}

std::int64_t mosaicHeightOf(const RunParameters& p)
{
    return std::int64_t(p.nty) * p.ny + std::int64_t(p.nty - 1) * (std::int64_t(p.gapY) - p.overlapY);
}

static bool seamInRange(std::int32_t pixels)
{
    return pixels >= 0 && pixels <= maxSeam;
}

LimitBreach checkRunLimits(const RunParameters& p)
{
    if (p.ntx < 1 || p.ntx > maxPanelsAcross)
        return ntxOutOfRange;
    if (p.nty < 1 || p.nty > maxPanelsDown)
        return ntyOutOfRange;
    if (p.nx < 1)
        return nxOutOfRange;
    if (p.ny < 1)
        return nyOutOfRange;
    if (p.nf < 0)
        return nfOutOfRange;
    if (p.nBlend < 1 || p.nBlend > maxBlend)
        return nBlendOutOfRange;
    if (!seamInRange(p.gapX) || !seamInRange(p.gapY) || !seamInRange(p.overlapX) || !seamInRange(p.overlapY))
        return seamOutOfRange;
    if ((p.gapX > 0 || p.gapY > 0) && (p.overlapX > 0 || p.overlapY > 0))
        return gapAndOverlap;
    if (p.overlapX >= p.nx)
        return overlapTooWide;
    if (p.overlapY >= p.ny)
        return overlapTooTall;
    // Each factor is below 2^31, each product below 2^62.
    if (mosaicWidthOf(p) > maxMosaicWidth)
        return mosaicTooWide;
    if (mosaicHeightOf(p) > maxMosaicHeight)
        return mosaicTooTall;
    if (p.nf > largestMovieFrames(p))
        return movieTooLarge;
    if (p.firstFrame < 0)
        return firstFrameOutOfRange;
    if (p.frameStep < 1)
        return frameStepOutOfRange;
    return withinLimits;
}

std::int64_t largestMovieFrames(const RunParameters& p)
{
    // Below 3 * 2^20 * 2^31 within the limits above.
    const std::int64_t frameBytes =
        std::int64_t(bytesPerPixel) * (std::int64_t(p.nx) * p.ntx / p.nBlend) * (std::int64_t(p.ny) * p.nty / p.nBlend);
    return frameBytes > 0 ? INT64_MAX / frameBytes : INT64_MAX;
}

void computeSizes(RunParameters* p)
{
    p->mosaicWidth = std::int32_t(mosaicWidthOf(*p));
    p->mosaicHeight = std::int32_t(mosaicHeightOf(*p));
    p->panelStepX = p->nx + p->gapX - p->overlapX;
    p->panelStepY = p->ny + p->gapY - p->overlapY;
    p->outWidth = p->mosaicWidth / p->nBlend;
    p->outHeight = p->mosaicHeight / p->nBlend;
    p->blockArea = p->nBlend * p->nBlend;
    p->tileRowBytes = bytesPerPixel * p->nx;
    p->mosaicRowBytes = bytesPerPixel * p->mosaicWidth;
    p->outRowBytes = bytesPerPixel * p->outWidth;
    p->tileFrameBytes = std::int64_t(p->tileRowBytes) * p->ny;
    p->outFrameBytes = std::int64_t(p->outRowBytes) * p->outHeight;
    const std::int64_t largest = INT64_MAX;
    p->outMovieBytes = p->nf > 0 && p->outFrameBytes > largest / p->nf ? largest : p->outFrameBytes * p->nf;
    // Below 2^31 + 2^31 * 2^31: no overflow.
    p->framesNeeded = p->nf > 0 ? p->firstFrame + std::int64_t(p->nf - 1) * p->frameStep + 1 : 0;
}

RunParameters runParametersOf(std::int32_t ntx, std::int32_t nty, std::int32_t nx, std::int32_t ny, std::int32_t nf,
                              std::int32_t nBlend)
{
    RunParameters p{};
    p.ntx = ntx;
    p.nty = nty;
    p.nx = nx;
    p.ny = ny;
    p.nf = nf;
    p.nBlend = nBlend;
    p.frameStep = 1;
    if (checkRunLimits(p) == withinLimits)
        computeSizes(&p);
    return p;
}

// Plain decimal digits from `text` up to `end`, at least one, within 32 bits.
static bool readPixels(const char* text, const char* end, std::int32_t* value)
{
    std::int64_t pixels = 0;
    for (const char* at = text; at < end; at++) {
        if (*at < '0' || *at > '9')
            return false;
        pixels = pixels * 10 + (*at - '0');
        if (pixels > INT32_MAX)
            return false;
    }
    *value = std::int32_t(pixels);
    return end > text;
}

bool parseSeam(const char* text, std::int32_t* x, std::int32_t* y)
{
    const char* end = text;
    while (*end != '\0')
        end++;
    const char* comma = text;
    while (comma < end && *comma != ',')
        comma++;
    std::int32_t across = 0, down = 0;
    if (!readPixels(text, comma, &across) || (comma < end && !readPixels(comma + 1, end, &down)))
        return false;
    *x = across;
    *y = comma < end ? down : across;
    return true;
}

static int hexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool parseFillColour(const char* text, unsigned char fill[3])
{
    int digits[6];
    for (int k = 0; k < 6; k++) {
        digits[k] = hexDigit(text[k]);
        if (digits[k] < 0)
            return false;   // also at the end of a shorter text
    }
    if (text[6] != '\0')
        return false;
    for (int k = 0; k < 3; k++)
        fill[k] = (unsigned char)(16 * digits[2 * k] + digits[2 * k + 1]);
    return true;
}
