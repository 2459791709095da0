// The fast block reduction against a plain per-pixel model, byte for byte, with each set of
// kernels this processor has (the portable code on every one), and the exact division it
// relies on.
#include <gtest/gtest.h>

#include <random>

#include "frames/frames.h"
#include "testSupport.h"

namespace {

// A mosaic of width x height pixels as one panel.
RunParameters mosaicOf(int width, int height, int nBlend)
{
    return runParametersOf(1, 1, width, height, 1, nBlend);
}

// The per-pixel model of a mosaic held as the one panel of a grid.
Bytes modelReduction(const Bytes& mosaic, int width, int height, int nBlend)
{
    return modelMovie(MovieGrid{1, 1, width, height, 1, nBlend, {mosaic}});
}

// Reduces block row after block row into a buffer with guard bytes after the frame and
// checks they survive.
Bytes reduced(const Bytes& mosaic, const RunParameters& p)
{
    const std::size_t guard = 64;
    Bytes out(std::size_t(p.outFrameBytes) + guard, 0xA5);
    const BlockDivisor divisor = blockDivisor(p.blockArea);
    std::vector<unsigned char> scratch(std::size_t(reductionScratchBytes()) + 16);
    ReductionScratch* sums = reinterpret_cast<ReductionScratch*>(scratch.data());
    for (int oy = 0; oy < p.outHeight; oy++)
        reduceBlockRow(mosaic.data() + std::size_t(oy) * std::size_t(p.nBlend) * std::size_t(p.mosaicRowBytes),
                       std::size_t(p.mosaicRowBytes), p.nBlend, p.outWidth, divisor, sums,
                       out.data() + std::size_t(oy) * std::size_t(p.outRowBytes));
    for (std::size_t k = std::size_t(p.outFrameBytes); k < out.size(); k++) {
        EXPECT_EQ(out[k], 0xA5) << "written past the frame at " << k;
    }
    return Bytes(out.begin(), out.begin() + p.outFrameBytes);
}

// Each case runs once per set of kernels, and skips, saying so, where the processor lacks it.
class FastReduction : public ::testing::TestWithParam<ReductionKernels> {
protected:
    void SetUp() override
    {
        if (!useReductionKernels(GetParam()))
            GTEST_SKIP() << "this processor or build has no " << reductionKernelsName(GetParam()) << " kernels";
    }
    void TearDown() override { useReductionKernels(bestReductionKernels()); }
};

INSTANTIATE_TEST_SUITE_P(Kernels, FastReduction, ::testing::Values(portableKernels, ssse3Kernels, avx2Kernels),
                         [](const ::testing::TestParamInfo<ReductionKernels>& kernels) {
                             return std::string(reductionKernelsName(kernels.param));
                         });

TEST_P(FastReduction, MatchesThePerPixelModelForEveryBlendFactorFrom2To40)
{
    std::mt19937 rng(20240601);
    for (int nBlend = 2; nBlend <= 40; nBlend++) {
        // Seven whole blocks across (enough for the wide kernels to take several steps and
        // leave a tail), two down, and a ragged remainder that must be ignored.
        const int width = 7 * nBlend + 1 + int(rng() % unsigned(nBlend - 1));
        const int height = 2 * nBlend + 1 + int(rng() % unsigned(nBlend - 1));
        const RunParameters p = mosaicOf(width, height, nBlend);
        const Bytes mosaic = randomBytes(std::size_t(p.mosaicRowBytes) * height, rng);
        EXPECT_EQ(reduced(mosaic, p), modelReduction(mosaic, width, height, nBlend))
            << "nBlend " << nBlend << ", " << width << " x " << height;
    }
}

TEST_P(FastReduction, MatchesThePerPixelModelOnRowsWiderThanItsScratch)
{
    // Rows of more than 16384 bytes are reduced in several spans; 6007 pixels is not a
    // multiple of any of these blend factors.
    std::mt19937 rng(77);
    for (int nBlend : {2, 3, 5, 8, 16, 17, 40}) {
        const int width = 6007, height = nBlend + 1;
        const RunParameters p = mosaicOf(width, height, nBlend);
        const Bytes mosaic = randomBytes(std::size_t(p.mosaicRowBytes) * height, rng);
        EXPECT_EQ(reduced(mosaic, p), modelReduction(mosaic, width, height, nBlend)) << "nBlend " << nBlend;
    }
}

TEST_P(FastReduction, MatchesThePerPixelModelOnExtremeBytes)
{
    // Runs of 0 and 255 give the smallest and largest sums, and a sum one below a
    // multiple of blockArea must truncate.
    std::mt19937 rng(3);
    for (int nBlend = 2; nBlend <= 40; nBlend++) {
        const int width = 7 * nBlend + 1, height = nBlend;
        const RunParameters p = mosaicOf(width, height, nBlend);
        Bytes mosaic(std::size_t(p.mosaicRowBytes) * height);
        for (unsigned char& b : mosaic)
            b = (rng() % 3 == 0) ? 0 : 255;
        mosaic[std::size_t(3 * (nBlend - 1))] = 254;   // block 0, channel 0
        EXPECT_EQ(reduced(mosaic, p), modelReduction(mosaic, width, height, nBlend)) << "nBlend " << nBlend;
    }
}

TEST_P(FastReduction, LargestBlendFactorOnUniformMosaics)
{
    // One block row of nBlend 2901, with columns and rows to spare: 255 * 2901^2 is the
    // largest sum a run can form.
    const int nBlend = maxBlend, width = maxBlend + 2, height = maxBlend + 1;
    const RunParameters p = mosaicOf(width, height, nBlend);
    ASSERT_EQ(p.outWidth, 1);
    ASSERT_EQ(p.outHeight, 1);
    Bytes mosaic(std::size_t(p.mosaicRowBytes) * height, 255);
    EXPECT_EQ(reduced(mosaic, p), (Bytes{255, 255, 255}));
    mosaic[4] = 254;   // channel 1 one short of a full block
    EXPECT_EQ(reduced(mosaic, p), (Bytes{255, 254, 255}));
    std::fill(mosaic.begin(), mosaic.end(), 0);
    EXPECT_EQ(reduced(mosaic, p), (Bytes{0, 0, 0}));
}

TEST(BlockDivisor, IsExactOverTheWholeRangeOfSumsForEveryBlendFactor)
{
    // The quotient is non-decreasing in the sum, so it is right for every sum once it is
    // right at both ends of each quotient's run: q * A and q * A + A - 1.
    for (std::int32_t nBlend = 1; nBlend <= maxBlend; nBlend++) {
        const std::uint32_t area = std::uint32_t(nBlend) * std::uint32_t(nBlend);
        const BlockDivisor divisor = blockDivisor(std::int32_t(area));
        for (std::uint32_t q = 0; q < 255; q++) {
            ASSERT_EQ(divideBlockSum(q * area, divisor), q) << "nBlend " << nBlend;
            ASSERT_EQ(divideBlockSum(q * area + area - 1, divisor), q) << "nBlend " << nBlend;
        }
        ASSERT_EQ(divideBlockSum(255 * area, divisor), 255u) << "nBlend " << nBlend;
        if (nBlend >= 2 && nBlend <= 16) {
            // The vectorised division takes the high half of a 16 x 16-bit product.
            EXPECT_LT(divisor.multiplier, 65536u) << "nBlend " << nBlend;
            EXPECT_GE(divisor.shift, 16) << "nBlend " << nBlend;
        }
    }
}

}  // namespace
