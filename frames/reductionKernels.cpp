// Kernels for the commonest blend factors, and the processor checks that choose them.
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

// Asked once, before main, so that threads find them settled.
#if MOZARO_AVX2_KERNEL
static bool processorHasAvx2();
static const bool hasAvx2 = processorHasAvx2();
#else
static const bool hasAvx2 = false;
#endif
#if MOZARO_X86_KERNELS
static bool processorHasSsse3();
static const bool hasSsse3 = processorHasSsse3();
#else
static const bool hasSsse3 = false;
#endif

bool haveReductionKernels(ReductionKernels kernels)
{
    return kernels == portableKernels || (kernels == ssse3Kernels && hasSsse3) || (kernels == avx2Kernels && hasAvx2);
}

ReductionKernels bestReductionKernels()
{
    return hasAvx2 ? avx2Kernels : hasSsse3 ? ssse3Kernels : portableKernels;
}

static ReductionKernels kernelsInUse = bestReductionKernels();

ReductionKernels reductionKernelsInUse()
{
    return kernelsInUse;
}

const char* reductionKernelsName(ReductionKernels kernels)
{
    return kernels == avx2Kernels ? "avx2" : kernels == ssse3Kernels ? "ssse3" : "portable";
}

bool useReductionKernels(ReductionKernels kernels)
{
    if (!haveReductionKernels(kernels))
        return false;
    kernelsInUse = kernels;
    return true;
}

// The high half of a 16 x 16-bit product, shifted. Compilers vectorise neither the shift by
// a run-time count nor the chained steps well, so on x86-64 (where SSE2 is always present)
// the loop is spelled out.
void divideNarrowSums(const std::uint16_t* sums, std::int32_t count, const BlockDivisor& divisor,
                      unsigned char* out)
{
    std::int32_t i = 0;
#if MOZARO_SSE2
    // The portable code, where it is asked for, is the plain loop below alone.
    if (kernelsInUse != portableKernels) {
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
    __builtin_cpu_init();   // run before main, when it may not have run yet
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
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#endif
}
#endif

std::int32_t reduceWithKernel(const unsigned char* rows, std::size_t rowBytes, std::int32_t nBlend,
                              std::int32_t pixels, const BlockDivisor& divisor, unsigned char* out)
{
#if MOZARO_AVX2_KERNEL
    if (nBlend == 2 && kernelsInUse == avx2Kernels)
        return reducePairsAvx2(rows, rows + rowBytes, pixels, out);
    if (nBlend == 3 && kernelsInUse == avx2Kernels)
        return reduceTriplesAvx2(rows, rowBytes, pixels, divisor, out);
#endif
#if MOZARO_X86_KERNELS
    if (nBlend == 2 && kernelsInUse >= ssse3Kernels)
        return reducePairsSsse3(rows, rows + rowBytes, pixels, out);
#endif
    (void)rows, (void)rowBytes, (void)nBlend, (void)pixels, (void)divisor, (void)out;
    return 0;
}

