#include <cstring>

#include "frames/frames.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define MOZARO_SSE2 1
#else
#define MOZARO_SSE2 0
#endif

// The reduction works on one block row (nBlend mosaic rows) at a time, in spans of output
// pixels whose mosaic columns fit the scratch below, so that the sums stay in the nearest
// caches. The nBlend rows are first added column by column, in plain loops over
// consecutive bytes that the compiler vectorises; each output pixel's column sums are then
// folded, per channel, into its block sum, which is divided last.
//
// A span holds at least one block of the largest blend factor: 3 * 2901 columns.
static const std::int32_t spanColumns = 16384;

// Column sums fit 16 bits up to nBlend 257, block sums up to nBlend 16 (255 * 16 * 16 =
// 65280); larger blocks are summed in 32 bits. The fold reads and writes four 16-bit sums
// at a time, one past the end of a span: hence the room after each array.
static const std::int32_t largestNarrowBlend = 16;
static std::uint16_t columnSums[spanColumns + 4];
static std::uint16_t blockSums[spanColumns + 4];
static std::uint32_t wideColumnSums[spanColumns + 4];

// Why the multiply and shift is exact. Write A' = blockArea >> preShift (odd), s' = s >> preShift,
// m = ceil(2^k / A') = (2^k + e) / A' with 0 <= e < A'. Then s' * m / 2^k = s' / A' + s' * e / (A' * 2^k),
// and with s' = q * A' + r (0 <= r < A') its floor is q as long as s' * e < 2^k. Sums run up to
// 255 * blockArea, so s' <= 255 * A'. With 2^l < A' < 2^(l+1) and k = 32 + l:
// s' * e < 255 * A' * A' < 510 * A' * 2^l, below 2^k because 510 * A' < 2^32 for every
// A' <= 2901^2. For blockArea <= 256, k = 16 + l keeps m below 2^16, so the product fits
// 32 bits and the vectorised loop can take the high half of a 16 x 16-bit product; the same
// bound proves A' <= 128, and the two odd squares above it (169 and 225) have e = 45 and 67,
// far inside. The tests check every blend factor at both ends of every quotient.
BlockDivisor blockDivisor(std::int32_t blockArea)
{
    std::uint32_t odd = std::uint32_t(blockArea);
    std::int32_t preShift = 0;
    while (odd % 2 == 0) {
        odd /= 2;
        preShift++;
    }
    const bool narrow = blockArea <= largestNarrowBlend * largestNarrowBlend;
    if (odd == 1)   // a power of two: a shift, spelled as a multiply where the sums are narrow
        return narrow ? BlockDivisor{0, std::uint64_t(1) << (16 - preShift), 16} : BlockDivisor{preShift, 1, 0};
    std::int32_t l = 0;
    while ((std::uint32_t(2) << l) <= odd)
        l++;
    const std::int32_t k = (narrow ? 16 : 32) + l;
    return BlockDivisor{preShift, ((std::uint64_t(1) << k) + odd - 1) / odd, k};
}

// Adds nBlend rows of `columns` bytes, the first at `rows` and the others rowBytes apart,
// two rows per pass.
template <typename Sum>
static void addRows(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend, std::int32_t columns,
                    Sum* sums)
{
    std::int32_t dy;
    if (nBlend % 2 == 1) {
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] = rows[c];
        dy = 1;
    } else {
        const unsigned char* next = rows + rowBytes;
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] = Sum(rows[c] + next[c]);
        dy = 2;
    }
    for (; dy < nBlend; dy += 2) {
        const unsigned char* row = rows + std::size_t(dy) * rowBytes;
        const unsigned char* next = row + rowBytes;
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] = Sum(sums[c] + std::uint16_t(row[c] + next[c]));
    }
}

// Divides `count` block sums of at most 16 bits into bytes: the high half of a 16 x 16-bit
// product, shifted. Compilers vectorise neither the shift by a run-time count nor the
// chained steps well, so on x86-64 (where SSE2 is always present) the loop is spelled out.
static void divideNarrowSums(const std::uint16_t* sums, std::int32_t count, const BlockDivisor& divisor,
                             unsigned char* out)
{
    std::int32_t i = 0;
#if MOZARO_SSE2
    const __m128i multiplier = _mm_set1_epi16(std::int16_t(divisor.multiplier));
    const __m128i preShift = _mm_cvtsi32_si128(divisor.preShift);
    const __m128i shift = _mm_cvtsi32_si128(divisor.shift - 16);
    for (; i + 16 <= count; i += 16) {
        __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + i));
        __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + i + 8));
        low = _mm_srl_epi16(_mm_mulhi_epu16(_mm_srl_epi16(low, preShift), multiplier), shift);
        high = _mm_srl_epi16(_mm_mulhi_epu16(_mm_srl_epi16(high, preShift), multiplier), shift);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
    }
#endif
    for (; i < count; i++)
        out[i] = (unsigned char)divideBlockSum(sums[i], divisor);
}

// nBlend 2. The four-byte sum is formed at every column (twice the work the output
// needs, but in one vectorised pass), then every second pixel's three sums are kept.
static void reducePairSpan(const unsigned char* low, std::size_t rowBytes, std::int32_t pixels,
                           const BlockDivisor& divisor, unsigned char* out)
{
    const unsigned char* high = low + rowBytes;
    const std::int32_t columns = 6 * pixels;
    for (std::int32_t c = 0; c + 3 < columns; c++)
        columnSums[c] = std::uint16_t(low[c] + high[c] + low[c + 3] + high[c + 3]);
    // Four sums move at a time; the fourth is overwritten by the next pixel or lies past
    // the span.
    for (std::int32_t ox = 0; ox < pixels; ox++)
        std::memcpy(blockSums + 3 * ox, columnSums + 6 * ox, 8);
    divideNarrowSums(blockSums, 3 * pixels, divisor, out);
}

// nBlend 3 to 16: 16-bit column and block sums. The fold adds four neighbouring 16-bit
// column sums as one 64-bit word: three are the pixel's channels, the fourth is the next
// pixel's first channel, and none of the four lanes can exceed 65280, so no carry
// crosses a lane whatever the byte order.
static void reduceNarrowSpan(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend,
                             std::int32_t pixels, const BlockDivisor& divisor, unsigned char* out)
{
    const std::int32_t columns = 3 * nBlend * pixels;
    addRows(rows, rowBytes, nBlend, columns, columnSums);
    columnSums[columns] = 0;   // the last pixel's fourth lane
    for (std::int32_t ox = 0; ox < pixels; ox++) {
        const std::uint16_t* column = columnSums + 3 * nBlend * ox;
        std::uint64_t sum = 0;
        for (std::int32_t dx = 0; dx < nBlend; dx++, column += 3) {
            std::uint64_t lanes;
            std::memcpy(&lanes, column, 8);
            sum += lanes;
        }
        std::memcpy(blockSums + 3 * ox, &sum, 8);
    }
    divideNarrowSums(blockSums, 3 * pixels, divisor, out);
}

// nBlend 17 and up: 32-bit sums. Few output pixels per mosaic byte, so the fold and the
// division need no care.
static void reduceWideSpan(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend,
                           std::int32_t pixels, const BlockDivisor& divisor, unsigned char* out)
{
    addRows(rows, rowBytes, nBlend, 3 * nBlend * pixels, wideColumnSums);
    for (std::int32_t ox = 0; ox < pixels; ox++) {
        const std::uint32_t* column = wideColumnSums + 3 * nBlend * ox;
        std::uint32_t s0 = 0, s1 = 0, s2 = 0;
        for (std::int32_t dx = 0; dx < nBlend; dx++, column += 3) {
            s0 += column[0];
            s1 += column[1];
            s2 += column[2];
        }
        out[3 * ox] = (unsigned char)divideBlockSum(s0, divisor);
        out[3 * ox + 1] = (unsigned char)divideBlockSum(s1, divisor);
        out[3 * ox + 2] = (unsigned char)divideBlockSum(s2, divisor);
    }
}

const unsigned char* reduceBlocks(const RunParameters& runParameters, const unsigned char* mosaic,
                                  unsigned char* out)
{
    const std::int32_t nBlend = runParameters.nBlend;
    if (nBlend == 1)
        return mosaic;
    const BlockDivisor divisor = blockDivisor(runParameters.blockArea);
    const std::size_t rowBytes = std::size_t(runParameters.mosaicRowBytes);
    const std::int32_t spanPixels = spanColumns / (3 * nBlend);
    for (std::int32_t oy = 0; oy < runParameters.outHeight; oy++) {
        const unsigned char* rows = mosaic + std::size_t(oy) * std::size_t(nBlend) * rowBytes;
        unsigned char* outRow = out + std::size_t(oy) * std::size_t(runParameters.outRowBytes);
        for (std::int32_t ox = 0; ox < runParameters.outWidth; ox += spanPixels) {
            const std::int32_t left = runParameters.outWidth - ox;
            const std::int32_t pixels = left < spanPixels ? left : spanPixels;
            const unsigned char* first = rows + std::size_t(3) * std::size_t(nBlend) * std::size_t(ox);
            if (nBlend == 2)
                reducePairSpan(first, rowBytes, pixels, divisor, outRow + 3 * ox);
            else if (nBlend <= largestNarrowBlend)
                reduceNarrowSpan(first, rowBytes, nBlend, pixels, divisor, outRow + 3 * ox);
            else
                reduceWideSpan(first, rowBytes, nBlend, pixels, divisor, outRow + 3 * ox);
        }
    }
    return out;
}
