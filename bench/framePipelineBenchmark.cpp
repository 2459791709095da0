// The frame pipeline alone: reduceBlockRow on a band that stays in the caches, and
// streamFrame reading panel movies from the page cache into a sink that drops them, for
// several shapes. Rates are mosaic bytes per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "frames/frames.h"
#include "platform/files.h"

namespace {

RunParameters sized(int ntx, int nty, int nx, int ny, int nBlend)
{
    return runParametersOf(ntx, nty, nx, ny, 1, nBlend);
}

int discardRows(void*, const unsigned char*, std::int64_t)
{
    return 0;
}

// A band of an 8192-pixel-wide mosaic, as many block rows as fit 192 KB, with each set of
// kernels the processor has (0 portable, 1 SSSE3, 2 AVX2).
void reduceBlockRowBenchmark(benchmark::State& state)
{
    const ReductionKernels kernels = ReductionKernels(state.range(1));
    if (!useReductionKernels(kernels)) {
        state.SkipWithError((std::string("this processor has no ") + reductionKernelsName(kernels) + " kernels").c_str());
        return;
    }
    const RunParameters p = sized(4, 4, 2048, 2048, int(state.range(0)));
    const std::int32_t blockRows = std::int32_t(bandTargetBytes / p.mosaicRowBytes) / p.nBlend;
    const int rows = (blockRows > 0 ? blockRows : 1) * p.nBlend;
    std::vector<unsigned char> band(std::size_t(p.mosaicRowBytes) * std::size_t(rows));
    std::vector<unsigned char> out(std::size_t(p.outRowBytes) * std::size_t(rows));
    std::mt19937 rng(7);
    for (unsigned char& b : band)
        b = (unsigned char)rng();
    const BlockDivisor divisor = blockDivisor(p.blockArea);
    std::vector<unsigned char> scratch(static_cast<std::size_t>(reductionScratchBytes()));
    ReductionScratch* sums = reinterpret_cast<ReductionScratch*>(scratch.data());
    for (auto _ : state) {
        for (int oy = 0; oy * p.nBlend < rows; oy++)
            reduceBlockRow(band.data() + std::size_t(oy) * std::size_t(p.nBlend) * std::size_t(p.mosaicRowBytes),
                           std::size_t(p.mosaicRowBytes), p.nBlend, p.outWidth, divisor, sums,
                           out.data() + std::size_t(oy) * std::size_t(p.outRowBytes));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(band.size()));
    useReductionKernels(bestReductionKernels());
}
// Each side of the narrow sums' limit (16), and the factors with kernels of their own.
BENCHMARK(reduceBlockRowBenchmark)
    ->ArgNames({"nBlend", "kernels"})
    ->ArgsProduct({{2, 3, 4, 8, 16, 17, 32}, {0, 1, 2}});

// Panel movies of a few frames in a scratch folder; each movie is rewound when it ends.
void streamFrameBenchmark(benchmark::State& state)
{
    const RunParameters p = sized(int(state.range(0)), int(state.range(1)), int(state.range(2)),
                                  int(state.range(3)), int(state.range(4)));
    const int framesPerMovie = 2;
    char folder[] = "/tmp/mozaroBenchXXXXXX";
    if (mkdtemp(folder) == nullptr) {
        state.SkipWithError("no scratch folder");
        return;
    }
    std::vector<unsigned char> movie(std::size_t(p.tileFrameBytes) * framesPerMovie);
    std::mt19937 rng(3);
    for (unsigned char& b : movie)
        b = (unsigned char)rng();
    std::vector<PanelMovie> files;
    std::vector<std::string> names;
    for (int k = 0; k < p.ntx * p.nty; k++) {
        names.push_back(std::string(folder) + "/p" + std::to_string(k));
        std::FILE* f = std::fopen(names.back().c_str(), "wb");
        const bool written = f != nullptr && std::fwrite(movie.data(), 1, movie.size(), f) == movie.size();
        files.push_back(PanelMovie{osNoFile, false});
        if (f == nullptr || std::fclose(f) != 0 || !written ||
            osOpenForReading(names.back().c_str(), &files.back().file) != 0) {
            state.SkipWithError("cannot write the panel movies");
            return;
        }
    }
    FrameBuffers buffers;
    if (!allocateFrameBuffers(planFrameBuffers(p, 0), &buffers)) {
        state.SkipWithError("no memory");
        return;
    }
    int frame = 0;
    for (auto _ : state) {
        if (frame == framesPerMovie)
            frame = 0;
        if (streamFrame(p, files.data(), frame, &buffers, RowSink{discardRows, nullptr}).status != streamGoesOn)
            state.SkipWithError("panel movie could not be read");
        frame++;
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * p.tileFrameBytes * p.ntx * p.nty);
    freeFrameBuffers(&buffers);
    for (const PanelMovie& file : files)
        osClose(file.file);
    for (const std::string& name : names)
        std::remove(name.c_str());
    rmdir(folder);
}
// Scattered rows (2 x 2 of 1024 x 768), one panel across read in one piece (1 x 4), and
// narrow rows that go through the staging buffer (10 x 10 of 80 x 60).
BENCHMARK(streamFrameBenchmark)->ArgNames({"ntx", "nty", "nx", "ny", "nBlend"})
    ->Args({2, 2, 1024, 768, 1})->Args({2, 2, 1024, 768, 2})->Args({2, 2, 1024, 768, 3})
    ->Args({2, 2, 1024, 768, 8})->Args({1, 4, 1024, 768, 2})->Args({10, 10, 80, 60, 2});

}  // namespace

BENCHMARK_MAIN();
