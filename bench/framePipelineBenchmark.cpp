// The frame pipeline alone, without the output file: reduceBlocks on a mosaic of 2 x 2
// panels of 1024 x 768 pixels for several blend factors, and assembleMosaic reading panel
// frames from the page cache on each of its read paths. Rates are mosaic bytes per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "frames/frames.h"

namespace {

RunParameters sized(int ntx, int nty, int nx, int ny, int nBlend)
{
    RunParameters p{};
    p.ntx = ntx;
    p.nty = nty;
    p.nx = nx;
    p.ny = ny;
    p.nf = 1;
    p.nBlend = nBlend;
    computeSizes(&p);
    return p;
}

void reduceBlocksBenchmark(benchmark::State& state)
{
    const RunParameters p = sized(2, 2, 1024, 768, int(state.range(0)));
    const std::size_t mosaicBytes = std::size_t(p.mosaicRowBytes) * std::size_t(p.ny * p.nty);
    std::mt19937 rng(7);
    for (std::size_t k = 0; k < mosaicBytes; k++)
        mosaicFrame[k] = (unsigned char)rng();
    for (auto _ : state) {
        const unsigned char* frame = reduceBlocks(p, mosaicFrame, outFrame);
        benchmark::DoNotOptimize(frame);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(mosaicBytes));
}
// At nBlend 1 nothing is done: the mosaic itself is the output frame.
BENCHMARK(reduceBlocksBenchmark)->ArgName("nBlend")->Arg(1)->Arg(2)->Arg(3)->Arg(8)->Arg(32);

// Panel movies of a few frames in a scratch folder; each movie is rewound when it ends.
void assembleMosaicBenchmark(benchmark::State& state)
{
    const int ntx = int(state.range(0)), nty = int(state.range(1));
    const int nx = int(state.range(2)), ny = int(state.range(3));
    const RunParameters p = sized(ntx, nty, nx, ny, 1);
    const int framesPerMovie = 4;
    char folder[] = "/tmp/mozaroBenchXXXXXX";
    if (mkdtemp(folder) == nullptr) {
        state.SkipWithError("no scratch folder");
        return;
    }
    std::vector<unsigned char> movie(std::size_t(p.tileFrameBytes) * framesPerMovie);
    std::mt19937 rng(3);
    for (unsigned char& b : movie)
        b = (unsigned char)rng();
    static osFile files[maxPanelsDown][maxPanelsAcross];
    std::vector<std::string> names;
    for (int i = 0; i < nty; i++)
        for (int j = 0; j < ntx; j++) {
            names.push_back(std::string(folder) + "/p" + std::to_string(i) + std::to_string(j));
            std::FILE* f = std::fopen(names.back().c_str(), "wb");
            const bool written = f != nullptr && std::fwrite(movie.data(), 1, movie.size(), f) == movie.size();
            if (f == nullptr || std::fclose(f) != 0 || !written ||
                osOpenForReading(names.back().c_str(), &files[i][j]) != 0) {
                state.SkipWithError("cannot write the panel movies");
                return;
            }
        }
    int frame = 0;
    for (auto _ : state) {
        if (frame == framesPerMovie) {
            state.PauseTiming();
            for (int i = 0; i < nty; i++)
                for (int j = 0; j < ntx; j++)
                    lseek(int(files[i][j]), 0, SEEK_SET);
            frame = 0;
            state.ResumeTiming();
        }
        AssemblyResult result = assembleMosaic(p, files, tileFrame, mosaicFrame);
        if (result.status != mosaicAssembled)
            state.SkipWithError("panel movie could not be read");
        frame++;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(p.tileFrameBytes) * ntx * nty);
    for (int i = 0; i < nty; i++)
        for (int j = 0; j < ntx; j++)
            osClose(files[i][j]);
    for (const std::string& name : names)
        std::remove(name.c_str());
    rmdir(folder);
}
// Scattered rows (2 x 2 of 1024 x 768), one panel across read in one piece (1 x 4), and
// narrow rows that go through the tile buffer (10 x 10 of 80 x 60).
BENCHMARK(assembleMosaicBenchmark)->ArgNames({"ntx", "nty", "nx", "ny"})
    ->Args({2, 2, 1024, 768})->Args({1, 4, 1024, 768})->Args({10, 10, 80, 60});

}  // namespace

BENCHMARK_MAIN();
