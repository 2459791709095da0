#include <cstring>

#include "frames/frames.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define MOZARO_SSE2 1
#else
#define MOZARO_SSE2 0
#endif

// Kernels for nBlend 2 and 3 on x86, picked at run time by what the processor offers, so
// that builds need no processor options. GCC for Windows does not align its stack for the
// 32-byte vectors it may spill, so its builds go without the AVX2 kernels.
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <immintrin.h>
#define MOZARO_X86_KERNELS 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define MOZARO_TARGET(extension)
#else
#define MOZARO_TARGET(extension) __attribute__((target(extension)))
#endif
#if defined(_WIN32) && defined(__GNUC__) && !defined(__clang__)
#define MOZARO_AVX2_KERNEL 0
#else
#define MOZARO_AVX2_KERNEL 1
#endif
#else
#define MOZARO_X86_KERNELS 0
#define MOZARO_AVX2_KERNEL 0
#endif

// The reduction works on one block row (nBlend mosaic rows) at a time, in spans of output
// pixels whose mosaic columns fit the scratch below, so that the sums stay in the nearest
// caches. The nBlend rows are first added column by column, in plain loops over
// consecutive bytes that the compiler vectorises; each output pixel's column sums are then
// folded, per channel, into its block sum, which is divided last, without a divide
// instruction. On x86, nBlend 2 and 3 have kernels of their own.
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

// Why the multiply and shift is exact. Let A' = blockArea >> preShift (odd) and
// s' = sum >> preShift: s' / A' truncates to the same quotient as sum / blockArea. With
// m = ceil(2^k / A') = (2^k + e) / A', 0 <= e < A', and s' = q * A' + r, 0 <= r < A':
//     s' * m / 2^k = q + (r + s' * e / 2^k) / A',
// whose floor is q whenever s' * e < 2^k. Sums reach 255 * blockArea, so s' <= 255 * A';
// take 2^l < A' < 2^(l+1), so that 255 * A' * A' < 510 * A' * 2^l.
// - Wide sums, k = 32 + l: s' * e < 510 * A' * 2^l < 2^k, since 510 * A' < 2^32 for every
//   A' up to 2901^2. m < 2^32 and s' < 2^31 keep the product within 64 bits.
// - Narrow sums (blockArea <= 256), k = 16 + l: m < 2^16 and s' < 2^16, so the product fits
//   32 bits and its high half can be taken 16 bits at a time. The bound above covers
//   A' <= 128; the odd parts above that, 169 and 225, have e = 45 and 67, and 255 * A' * e
//   stays below 2^23.
// A power of two is a plain shift, written for narrow sums as a multiply by 2^(16 - shift)
// and a shift by 16. The tests check every blend factor at both ends of every quotient.
BlockDivisor blockDivisor(std::int32_t blockArea)
{
    std::uint32_t odd = std::uint32_t(blockArea);
    std::int32_t preShift = 0;
    while (odd % 2 == 0) {
        odd /= 2;
        preShift++;
    }
    const bool narrow = blockArea <= largestNarrowBlend * largestNarrowBlend;
    if (odd == 1)
        return narrow ? BlockDivisor{0, std::uint64_t(1) << (16 - preShift), 16} : BlockDivisor{preShift, 1, 0};
    std::int32_t l = 0;
    while ((std::uint32_t(2) << l) <= odd)
        l++;
    const std::int32_t k = (narrow ? 16 : 32) + l;
    return BlockDivisor{preShift, ((std::uint64_t(1) << k) + odd - 1) / odd, k};
}

// Adds nBlend rows (2 or more) of `columns` bytes, the first at `rows` and the others
// rowBytes apart: two or three rows in the first pass, so that an even number is left,
// then four at a time and two at the end. Fewer passes mean fewer loads and stores of
// the sums.
template <typename Sum>
static void addRows(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend, std::int32_t columns,
                    Sum* sums)
{
    const unsigned char* second = rows + rowBytes;
    const unsigned char* third = second + rowBytes;
    std::int32_t dy;
    if (nBlend % 2 == 1) {
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] = Sum(rows[c] + second[c] + third[c]);
        dy = 3;
    } else {
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] = Sum(rows[c] + second[c]);
        dy = 2;
    }
    for (; dy + 4 <= nBlend; dy += 4) {
        const unsigned char* a = rows + std::size_t(dy) * rowBytes;
        const unsigned char* b = a + rowBytes;
        const unsigned char* c2 = b + rowBytes;
        const unsigned char* d = c2 + rowBytes;
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] = Sum(sums[c] + std::uint16_t(a[c] + b[c] + c2[c] + d[c]));
    }
    if (dy < nBlend) {
        const unsigned char* a = rows + std::size_t(dy) * rowBytes;
        const unsigned char* b = a + rowBytes;
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] = Sum(sums[c] + std::uint16_t(a[c] + b[c]));
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

#if MOZARO_X86_KERNELS
// nBlend 2 with SSSE3 (all but the oldest x86-64 processors). A byte shuffle puts the same
// channel of two neighbouring pixels side by side and a multiply-add sums each such pair:
// two output pixels from 12 bytes of each row, in less than half the time the general
// loops take. Returns how many pixels it reduced; the last few of a row are left to the
// general loops.
MOZARO_TARGET("ssse3") static std::int32_t reducePairsSsse3(const unsigned char* low, const unsigned char* high,
                                                           std::int32_t pixels, unsigned char* out)
{
    const __m128i pairUp = _mm_setr_epi8(0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1);
    const __m128i ones = _mm_set1_epi8(1);
    std::int32_t ox = 0;
    // Reads 16 bytes of each row and stores 8 bytes for 6: stops before either leaves the row.
    for (; 6 * ox + 16 <= 6 * pixels; ox += 2) {
        const __m128i lowBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low + 6 * ox));
        const __m128i highBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high + 6 * ox));
        const __m128i lowSums = _mm_maddubs_epi16(_mm_shuffle_epi8(lowBytes, pairUp), ones);
        const __m128i highSums = _mm_maddubs_epi16(_mm_shuffle_epi8(highBytes, pairUp), ones);
        const __m128i means = _mm_srli_epi16(_mm_add_epi16(lowSums, highSums), 2);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * ox), _mm_packus_epi16(means, means));
    }
    return ox;
}

static bool processorHasSsse3()
{
#if defined(_MSC_VER) && !defined(__clang__)
    int registers[4];
    __cpuid(registers, 1);
    return (registers[2] & (1 << 9)) != 0;
#else
    return __builtin_cpu_supports("ssse3");
#endif
}
#endif

#if MOZARO_AVX2_KERNEL
// 16 bytes from `lower` in the lower half, 16 bytes from `upper` in the upper half.
MOZARO_TARGET("avx2") static __m256i loadHalves(const unsigned char* lower, const unsigned char* upper)
{
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lower));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(upper));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// nBlend 2 with AVX2: the SSSE3 kernel's steps on both halves of 32-byte vectors, four
// output pixels per step, a quarter less time. Returns how many pixels it reduced.
MOZARO_TARGET("avx2") static std::int32_t reducePairsAvx2(const unsigned char* low, const unsigned char* high,
                                                         std::int32_t pixels, unsigned char* out)
{
    const __m256i pairUp = _mm256_setr_epi8(0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1,
                                            0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1);
    const __m256i ones = _mm256_set1_epi8(1);
    std::int32_t ox = 0;
    // A step reads up to byte 6 * ox + 27 of each row and stores 14 bytes for 12.
    for (; 6 * ox + 28 <= 6 * pixels; ox += 4) {
        const unsigned char* lowAt = low + 6 * ox;
        const unsigned char* highAt = high + 6 * ox;
        const __m256i lowPairs = _mm256_shuffle_epi8(loadHalves(lowAt, lowAt + 12), pairUp);
        const __m256i highPairs = _mm256_shuffle_epi8(loadHalves(highAt, highAt + 12), pairUp);
        const __m256i lowSums = _mm256_maddubs_epi16(lowPairs, ones);
        const __m256i highSums = _mm256_maddubs_epi16(highPairs, ones);
        const __m256i means = _mm256_srli_epi16(_mm256_add_epi16(lowSums, highSums), 2);
        const __m256i bytes = _mm256_packus_epi16(means, means);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * ox), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * ox + 6), _mm256_extracti128_si256(bytes, 1));
    }
    return ox;
}

// nBlend 3 with AVX2. Per row and output pixel, one shuffle lines up its three pixels'
// bytes as pairs and singles per channel and a multiply-add sums them; the three rows are
// added, and a horizontal add finishes each channel's sum. Four output pixels per step, in
// one pass where the general loops take three (add rows, fold, divide): a third less time.
// `divisor` is that of blockArea 9 (no pre-shift). Returns how many pixels it reduced.
MOZARO_TARGET("avx2") static std::int32_t reduceTriplesAvx2(const unsigned char* rows, std::size_t rowBytes,
                                                           std::int32_t pixels, const BlockDivisor& divisor,
                                                           unsigned char* out)
{
    // Each 16-byte half holds one output pixel's 9 bytes first: channel c of its pixels
    // 0 and 1 as a pair, pixel 2 with a zero, side by side for c = 0, 1, 2.
    const __m256i tripleUp = _mm256_setr_epi8(0, 3, 6, -1, 1, 4, 7, -1, 2, 5, 8, -1, -1, -1, -1, -1,
                                              0, 3, 6, -1, 1, 4, 7, -1, 2, 5, 8, -1, -1, -1, -1, -1);
    const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                             0, 1, 2, 4, 5, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i multiplier = _mm256_set1_epi16(std::int16_t(divisor.multiplier));
    const __m128i shift = _mm_cvtsi32_si128(divisor.shift - 16);
    std::int32_t ox = 0;
    // Output pixels ox and ox + 2 go in `even`, ox + 1 and ox + 3 in `odd`. A step reads up
    // to byte 9 * ox + 42 of each row and stores 14 bytes for 12.
    for (; 9 * ox + 43 <= 9 * pixels; ox += 4) {
        __m256i even = _mm256_setzero_si256();
        __m256i odd = _mm256_setzero_si256();
        for (std::int32_t dy = 0; dy < 3; dy++) {
            const unsigned char* at = rows + std::size_t(dy) * rowBytes + std::size_t(9 * ox);
            const __m256i evenBytes = _mm256_shuffle_epi8(loadHalves(at, at + 18), tripleUp);
            const __m256i oddBytes = _mm256_shuffle_epi8(loadHalves(at + 9, at + 27), tripleUp);
            even = _mm256_add_epi16(even, _mm256_maddubs_epi16(evenBytes, ones));
            odd = _mm256_add_epi16(odd, _mm256_maddubs_epi16(oddBytes, ones));
        }
        // Per half: the three sums of one pixel, a zero, the three of the next, a zero.
        const __m256i sums = _mm256_hadd_epi16(even, odd);
        const __m256i means = _mm256_srl_epi16(_mm256_mulhi_epu16(sums, multiplier), shift);
        const __m256i bytes = _mm256_shuffle_epi8(_mm256_packus_epi16(means, means), squeeze);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * ox), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * ox + 6), _mm256_extracti128_si256(bytes, 1));
    }
    return ox;
}

// The processor must have AVX2 and the system must save its 256-bit registers.
static bool processorHasAvx2()
{
#if defined(_MSC_VER) && !defined(__clang__)
    int registers[4];
    __cpuid(registers, 1);
    const bool avxSaved = (registers[2] & (1 << 27)) != 0 && (registers[2] & (1 << 28)) != 0 &&
                          (_xgetbv(0) & 6) == 6;
    __cpuidex(registers, 7, 0);
    return avxSaved && (registers[1] & (1 << 5)) != 0;
#else
    return __builtin_cpu_supports("avx2");
#endif
}
#endif

static std::uint64_t lanesAt(const std::uint16_t* columnSum)
{
    std::uint64_t lanes;
    std::memcpy(&lanes, columnSum, 8);
    return lanes;
}

// nBlend 2 to 16: 16-bit column and block sums. The fold adds four neighbouring 16-bit
// column sums as one 64-bit word: three are the pixel's channels, the fourth is the next
// pixel's first channel, and none of the four lanes can exceed 65280, so no carry
// crosses a lane whatever the byte order.
static void reduceNarrowSpan(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend,
                             std::int32_t pixels, const BlockDivisor& divisor, unsigned char* out)
{
    const std::int32_t columns = 3 * nBlend * pixels;
    addRows(rows, rowBytes, nBlend, columns, columnSums);
    columnSums[columns] = 0;   // the last pixel's fourth lane
    if (nBlend == 3) {   // the commonest factor without a kernel of its own, unrolled
        for (std::int32_t ox = 0; ox < pixels; ox++) {
            const std::uint16_t* column = columnSums + 9 * ox;
            const std::uint64_t sum = lanesAt(column) + lanesAt(column + 3) + lanesAt(column + 6);
            std::memcpy(blockSums + 3 * ox, &sum, 8);
        }
    } else {
        for (std::int32_t ox = 0; ox < pixels; ox++) {
            const std::uint16_t* column = columnSums + 3 * nBlend * ox;
            std::uint64_t sum = 0;
            for (std::int32_t dx = 0; dx < nBlend; dx++)
                sum += lanesAt(column + 3 * dx);
            std::memcpy(blockSums + 3 * ox, &sum, 8);
        }
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

// Reduces as much of one block row as a kernel for this processor and blend factor can;
// returns how many output pixels that was, 0 where there is no kernel.
static std::int32_t reduceWithKernel(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend,
                                     std::int32_t pixels, const BlockDivisor& divisor, unsigned char* out)
{
#if MOZARO_AVX2_KERNEL
    static const bool hasAvx2 = processorHasAvx2();
    if (nBlend == 2 && hasAvx2)
        return reducePairsAvx2(rows, rows + rowBytes, pixels, out);
    if (nBlend == 3 && hasAvx2)
        return reduceTriplesAvx2(rows, rowBytes, pixels, divisor, out);
#endif
#if MOZARO_X86_KERNELS
    static const bool hasSsse3 = processorHasSsse3();
    if (nBlend == 2 && hasSsse3)
        return reducePairsSsse3(rows, rows + rowBytes, pixels, out);
#endif
    (void)rows, (void)rowBytes, (void)nBlend, (void)pixels, (void)divisor, (void)out;
    return 0;
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
        std::int32_t ox = reduceWithKernel(rows, rowBytes, nBlend, runParameters.outWidth, divisor, outRow);
        for (; ox < runParameters.outWidth; ox += spanPixels) {
            const std::int32_t left = runParameters.outWidth - ox;
            const std::int32_t pixels = left < spanPixels ? left : spanPixels;
            const unsigned char* first = rows + std::size_t(3) * std::size_t(nBlend) * std::size_t(ox);
            if (nBlend <= largestNarrowBlend)
                reduceNarrowSpan(first, rowBytes, nBlend, pixels, divisor, outRow + 3 * ox);
            else
                reduceWideSpan(first, rowBytes, nBlend, pixels, divisor, outRow + 3 * ox);
        }
    }
    return out;
}
