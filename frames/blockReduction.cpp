#include <cstring>

#include "frames/frames.h"

// The reduction works on one block row (nBlend mosaic rows) at a time, in spans of output
// pixels whose mosaic columns fit the scratch below, so that the sums stay in the nearest
// caches. The nBlend rows are first added column by column, in plain loops over
// consecutive bytes that the compiler vectorises; each output pixel's column sums are then
// folded, per channel, into its block sum, which is divided last, without a divide
// instruction. On x86, nBlend 2 has kernels of its own (SSSE3 and AVX2), and so has nBlend 3
// (AVX2). For every blend factor the general loops are compiled a second time for AVX2,
// 32 bytes at a time, and taken where the processor has it: where the compiler targets an
// instruction set per function (GCC and clang, but not GCC for Windows, which does not
// align its stack for the 32-byte vectors it may spill).
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !(defined(_WIN32) && !defined(__clang__))
#define MOZARO_AVX2_LOOPS 1
#else
#define MOZARO_AVX2_LOOPS 0
#endif

// A span holds at least one block of the largest blend factor: 3 * 2901 columns.
static const std::int32_t spanColumns = 16384;

// Column sums fit 16 bits up to nBlend 257, block sums up to nBlend 16 (255 * 16 * 16 =
// 65280); larger blocks are summed in 32 bits. The fold reads and writes four 16-bit sums
// at a time, one past the end of a span: hence the room after each array. Each thread that
// reduces has scratch of its own, in its frame buffers.
static const std::int32_t largestNarrowBlend = 16;
struct ReductionScratch {
    std::uint16_t columnSums[spanColumns + 4];
    std::uint16_t blockSums[spanColumns + 4];
    std::uint32_t wideColumnSums[spanColumns + 4];
};

std::int64_t reductionScratchBytes()
{
    return std::int64_t(sizeof(ReductionScratch));
}

// Why the multiply and shift is exact. Let A' = blockArea >> preShift (odd) and
// s' = sum >> preShift: s' / A' truncates to the same quotient as sum / blockArea. With
// m = ceil(2^k / A') = (2^k + e) / A', 0 <= e < A', and s' = q * A' + r, 0 <= r < A':
//     s' * m / 2^k = q + (r + s' * e / 2^k) / A',
// whose floor is q whenever s' * e < 2^k. Sums reach 255 * blockArea (and half a block
// more when rounded), so s' <= 255.5 * A'; take 2^l < A' < 2^(l+1), so that
// 255.5 * A' * A' < 511 * A' * 2^l.
// - Wide sums, k = 32 + l: s' * e < 511 * A' * 2^l < 2^k, since 511 * A' < 2^32 for every
//   A' below 2^23; above it (l = 23, the largest factors) directly, 255.5 * 2901^4 < 2^55.
//   m < 2^32 and s' < 2^32 keep the product within 64 bits.
// - Narrow sums (blockArea <= 256), k = 16 + l: m < 2^16 and s' < 2^16 (at most
//   255 * 256 + 128), so the product fits 32 bits and its high half can be taken 16 bits
//   at a time. The bound above covers A' <= 127; the odd parts above that, 169 and 225,
//   have e = 45 and 67, and 255.5 * A' * e stays below 2^23.
// A power of two is a plain shift, written for narrow sums as a multiply by 2^(16 - shift)
// and a shift by 16. The tests check every blend factor at both ends of every quotient.
BlockDivisor blockDivisorOf(const RunParameters& p)
{
    BlockDivisor divisor = blockDivisor(p.blockArea);
    divisor.roundingAddend = p.roundMeans ? std::uint32_t(p.blockArea / 2) : 0;
    return divisor;
}

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
                             std::int32_t pixels, const BlockDivisor& divisor, ReductionScratch* scratch,
                             unsigned char* out)
{
    std::uint16_t* columnSums = scratch->columnSums;
    std::uint16_t* blockSums = scratch->blockSums;
    const std::int32_t columns = 3 * nBlend * pixels;
    addRows(rows, rowBytes, nBlend, columns, columnSums);
    columnSums[columns] = 0;   // the last pixel's fourth lane
    // Every lane starts at the rounding addend (at most 128, to sums of at most 65280).
    const std::uint64_t start = std::uint64_t(divisor.roundingAddend) * 0x0001000100010001ull;
    if (nBlend == 3) {   // the commonest factor without a kernel of its own, unrolled
        for (std::int32_t ox = 0; ox < pixels; ox++) {
            const std::uint16_t* column = columnSums + 9 * ox;
            const std::uint64_t sum = start + lanesAt(column) + lanesAt(column + 3) + lanesAt(column + 6);
            std::memcpy(blockSums + 3 * ox, &sum, 8);
        }
    } else {
        for (std::int32_t ox = 0; ox < pixels; ox++) {
            const std::uint16_t* column = columnSums + 3 * nBlend * ox;
            std::uint64_t sum = start;
            for (std::int32_t dx = 0; dx < nBlend; dx++)
                sum += lanesAt(column + 3 * dx);
            std::memcpy(blockSums + 3 * ox, &sum, 8);
        }
    }
    divideNarrowSums(blockSums, 3 * pixels, divisor, out);
}

static void foldColumnSumsHere(const std::uint32_t* sums, std::int32_t nBlend, std::int32_t outWidth,
                               const BlockDivisor& divisor, unsigned char* out);

// nBlend 17 and up: 32-bit sums. Few output pixels per mosaic byte, so the fold and the
// division need no care.
static void reduceWideSpan(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend,
                           std::int32_t pixels, const BlockDivisor& divisor, ReductionScratch* scratch,
                           unsigned char* out)
{
    addRows(rows, rowBytes, nBlend, 3 * nBlend * pixels, scratch->wideColumnSums);
    foldColumnSumsHere(scratch->wideColumnSums, nBlend, pixels, divisor, out);
}

typedef void ReduceSpan(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend, std::int32_t pixels,
                        const BlockDivisor& divisor, ReductionScratch* scratch, unsigned char* out);

// The same loops, every call in them inlined and compiled for AVX2 (MOZARO_AVX2_LOOPS, at
// the top). Integer sums: the results are the same.
#if MOZARO_AVX2_LOOPS
__attribute__((target("avx2"), flatten)) static void reduceNarrowSpanAvx2(
    const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend, std::int32_t pixels,
    const BlockDivisor& divisor, ReductionScratch* scratch, unsigned char* out)
{
    reduceNarrowSpan(rows, rowBytes, nBlend, pixels, divisor, scratch, out);
}

__attribute__((target("avx2"), flatten)) static void reduceWideSpanAvx2(
    const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend, std::int32_t pixels,
    const BlockDivisor& divisor, ReductionScratch* scratch, unsigned char* out)
{
    reduceWideSpan(rows, rowBytes, nBlend, pixels, divisor, scratch, out);
}

static ReduceSpan* spanReduction(std::int32_t nBlend)
{
    if (reductionKernelsInUse() == avx2Kernels)
        return nBlend <= largestNarrowBlend ? reduceNarrowSpanAvx2 : reduceWideSpanAvx2;
    return nBlend <= largestNarrowBlend ? reduceNarrowSpan : reduceWideSpan;
}
#else
static ReduceSpan* spanReduction(std::int32_t nBlend)
{
    return nBlend <= largestNarrowBlend ? reduceNarrowSpan : reduceWideSpan;
}
#endif

void reduceBlockRow(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend, std::int32_t outWidth,
                    const BlockDivisor& divisor, ReductionScratch* scratch, unsigned char* out)
{
    const std::int32_t spanPixels = spanColumns / (3 * nBlend);
    ReduceSpan* const reduceSpan = spanReduction(nBlend);
    // The kernels truncate; rounded means take the general loops.
    std::int32_t ox = divisor.roundingAddend == 0 ? reduceWithKernel(rows, rowBytes, nBlend, outWidth, divisor, out) : 0;
    for (; ox < outWidth; ox += spanPixels) {
        const std::int32_t left = outWidth - ox;
        const std::int32_t pixels = left < spanPixels ? left : spanPixels;
        const unsigned char* first = rows + std::size_t(3) * std::size_t(nBlend) * std::size_t(ox);
        reduceSpan(first, rowBytes, nBlend, pixels, divisor, scratch, out + 3 * ox);
    }
}

// Up to four rows per pass over the sums: fewer loads and stores of them.
static void addRowsToSumsHere(const unsigned char* rows, std::size_t rowBytes, std::int32_t count, std::int32_t columns,
                   bool start, std::uint32_t* sums)
{
    std::int32_t dy = 0;
    if (start) {
        const std::int32_t first = count % 4 == 0 ? 4 : count % 4;
        const unsigned char* a = rows;
        if (first == 1)
            for (std::int32_t c = 0; c < columns; c++)
                sums[c] = a[c];
        else if (first == 2)
            for (std::int32_t c = 0; c < columns; c++)
                sums[c] = std::uint32_t(a[c] + a[c + rowBytes]);
        else if (first == 3)
            for (std::int32_t c = 0; c < columns; c++)
                sums[c] = std::uint32_t(a[c] + a[c + rowBytes] + a[c + 2 * rowBytes]);
        else
            for (std::int32_t c = 0; c < columns; c++)
                sums[c] = std::uint32_t(a[c] + a[c + rowBytes] + a[c + 2 * rowBytes] + a[c + 3 * rowBytes]);
        dy = first;
    }
    for (; dy + 4 <= count; dy += 4) {
        const unsigned char* a = rows + std::size_t(dy) * rowBytes;
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] += std::uint32_t(a[c] + a[c + rowBytes] + a[c + 2 * rowBytes] + a[c + 3 * rowBytes]);
    }
    for (; dy < count; dy++) {
        const unsigned char* a = rows + std::size_t(dy) * rowBytes;
        for (std::int32_t c = 0; c < columns; c++)
            sums[c] += a[c];
    }
}

static void foldColumnSumsHere(const std::uint32_t* sums, std::int32_t nBlend, std::int32_t outWidth,
                               const BlockDivisor& divisor, unsigned char* out)
{
    for (std::int32_t ox = 0; ox < outWidth; ox++) {
        const std::uint32_t* column = sums + std::size_t(3) * std::size_t(nBlend) * std::size_t(ox);
        std::uint32_t s0 = divisor.roundingAddend, s1 = s0, s2 = s0;
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

#if MOZARO_AVX2_LOOPS
__attribute__((target("avx2"), flatten)) static void addRowsToSumsAvx2(const unsigned char* rows, std::size_t rowBytes,
                                                                      std::int32_t count, std::int32_t columns,
                                                                      bool start, std::uint32_t* sums)
{
    addRowsToSumsHere(rows, rowBytes, count, columns, start, sums);
}

__attribute__((target("avx2"), flatten)) static void foldColumnSumsAvx2(const std::uint32_t* sums, std::int32_t nBlend,
                                                                       std::int32_t outWidth,
                                                                       const BlockDivisor& divisor, unsigned char* out)
{
    foldColumnSumsHere(sums, nBlend, outWidth, divisor, out);
}
#endif

void addRowsToSums(const unsigned char* rows, std::size_t rowBytes, std::int32_t count, std::int32_t columns,
                   bool start, std::uint32_t* sums)
{
#if MOZARO_AVX2_LOOPS
    if (reductionKernelsInUse() == avx2Kernels)
        return addRowsToSumsAvx2(rows, rowBytes, count, columns, start, sums);
#endif
    addRowsToSumsHere(rows, rowBytes, count, columns, start, sums);
}

void foldColumnSums(const std::uint32_t* sums, std::int32_t nBlend, std::int32_t outWidth,
                    const BlockDivisor& divisor, unsigned char* out)
{
#if MOZARO_AVX2_LOOPS
    if (reductionKernelsInUse() == avx2Kernels)
        return foldColumnSumsAvx2(sums, nBlend, outWidth, divisor, out);
#endif
    foldColumnSumsHere(sums, nBlend, outWidth, divisor, out);
}
