// CPU executor time for one 1920x1080 frame: kProcess at each spatial radius
// and one kEstimateMV16 launch, with the pipeline's launch geometry.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kernels/cpu_executor.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kPitch = 1920 + 64;

std::vector<uchar4> noiseFrame(std::uint32_t seed) {
    std::vector<uchar4> f(static_cast<std::size_t>(kPitch) * kHeight);
    std::uint32_t s = seed;
    for (uchar4& p : f) {
        s = s * 1664525u + 1013904223u;
        const unsigned v = 96 + ((s >> 24) & 63);
        p = uchar4{static_cast<unsigned char>(v), static_cast<unsigned char>(v + 8),
                   static_cast<unsigned char>(v - 8), 255};
    }
    return f;
}

struct Inputs {
    std::vector<uchar4> cur = noiseFrame(1), prev = noiseFrame(2), prev2 = noiseFrame(3),
                        prevOut = noiseFrame(4), out = std::vector<uchar4>(cur.size());
    int blocksX = (kWidth + 15) / 16, blocksY = (kHeight + 15) / 16;
    std::vector<int2> mv1 = std::vector<int2>(static_cast<std::size_t>(blocksX) * blocksY, int2{1, -1});
    std::vector<int2> mv2 = mv1;
};

// sigmaY picks the radius: 3 below 10, 4 up to 16, 5 above (denoise 1.0).
void processFrame(benchmark::State& state, float sigmaY) {
    Inputs in;
    const CudaNRParams p{1.0f, 0.78f, 1.25f, 0.08f, 0.2f, sigmaY};
    const cpuexec::Dim3 grid{static_cast<unsigned>(in.blocksX), static_cast<unsigned>(in.blocksY), 1};
    for (auto _ : state) {
        cpuexec::runProcess(grid, {16, 16, 1}, in.cur.data(), in.prev.data(), in.prev2.data(),
                            in.prevOut.data(), in.mv1.data(), in.mv2.data(), in.blocksX, in.out.data(),
                            kWidth, kHeight, kPitch, p);
        benchmark::DoNotOptimize(in.out.data());
    }
}

void BM_ProcessRadius3(benchmark::State& s) { processFrame(s, 3.0f); }
void BM_ProcessRadius4(benchmark::State& s) { processFrame(s, 12.0f); }
void BM_ProcessRadius5(benchmark::State& s) { processFrame(s, 20.0f); }

void BM_EstimateMV16(benchmark::State& state) {
    Inputs in;
    const cpuexec::Dim3 grid{static_cast<unsigned>(in.blocksX), static_cast<unsigned>(in.blocksY), 1};
    for (auto _ : state) {
        cpuexec::runEstimateMV16(grid, {8, 8, 1}, 256, in.cur.data(), in.prev.data(), kWidth, kHeight,
                                 kPitch, in.mv1.data(), in.blocksX, in.blocksY, 4, 2);
        benchmark::DoNotOptimize(in.mv1.data());
    }
}

}  // namespace

BENCHMARK(BM_ProcessRadius3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProcessRadius4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProcessRadius5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EstimateMV16)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
