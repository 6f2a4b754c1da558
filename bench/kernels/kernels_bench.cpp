// CPU executor time for one 1920x1080 frame with the pipeline's launch
// geometry: kProcess at each spatial radius, one kEstimateMV16 launch and one
// kProfileAuto launch, for each instruction-set build the processor runs,
// with every core.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/kernels/testing/cpu_executor_testing.h"

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
    int blocksX = qnr::motionBlocksCovering(kWidth), blocksY = qnr::motionBlocksCovering(kHeight);
    std::vector<int2> mv1 = std::vector<int2>(static_cast<std::size_t>(blocksX) * blocksY, int2{1, -1});
    std::vector<int2> mv2 = mv1;
};

const Inputs& inputs() {
    static const Inputs in;
    return in;
}

// sigmaY picks the radius: 3 below 10, 4 up to 16, 5 above (denoise 1.0).
void process(benchmark::State& state, cpuexec::InstructionSet set, float sigmaY) {
    cpuexec::useInstructionSet(set);
    const Inputs& in = inputs();
    std::vector<uchar4> out(in.cur.size());
    const CudaNRParams p{1.0f, 0.78f, 1.25f, 0.08f, 0.2f, sigmaY};
    for (auto _ : state) {
        cpuexec::runProcess(qnr::processGrid(kWidth, kHeight),
                            {in.cur.data(), in.prev.data(), in.prev2.data(), in.prevOut.data(), in.mv1.data(),
                             in.mv2.data(), out.data(), in.blocksX, kWidth, kHeight, kPitch, p});
        benchmark::DoNotOptimize(out.data());
    }
}

void estimateMotion(benchmark::State& state, cpuexec::InstructionSet set) {
    cpuexec::useInstructionSet(set);
    const Inputs& in = inputs();
    std::vector<int2> mv(in.mv1.size());
    for (auto _ : state) {
        cpuexec::runEstimateMV16(qnr::motionGrid(kWidth, kHeight),
                                 {in.cur.data(), in.prev.data(), mv.data(), kWidth, kHeight, kPitch, in.blocksX,
                                  in.blocksY, qnr::kMotionRadius, qnr::kMotionStep});
        benchmark::DoNotOptimize(mv.data());
    }
}

void profileNoise(benchmark::State& state, cpuexec::InstructionSet set) {
    cpuexec::useInstructionSet(set);
    const Inputs& in = inputs();
    const cpuexec::Dim3 grid = qnr::profileGrid(kWidth, kHeight);
    const std::size_t blocks = static_cast<std::size_t>(grid.x) * grid.y;
    std::vector<double> slots(2 * blocks);
    for (auto _ : state) {
        cpuexec::runProfileAuto(
            grid, {in.cur.data(), slots.data(), slots.data() + blocks, kWidth, kHeight, kPitch, qnr::kProfileStep});
        benchmark::DoNotOptimize(slots.data());
    }
}

// Wall time of the whole launch, which runs on every core.
template <class... Args>
void add(const std::string& name, Args&&... args) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

void registerAll() {
    for (cpuexec::InstructionSet set : cpuexec::supportedInstructionSets()) {
        const std::string isa = std::string("/") + cpuexec::instructionSetName(set);
        for (const auto& [radius, sigma] : {std::pair{3, 3.0f}, std::pair{4, 12.0f}, std::pair{5, 20.0f}})
            add("Process/radius" + std::to_string(radius) + isa, process, set, sigma);
        add("EstimateMV16" + isa, estimateMotion, set);
        add("ProfileAuto" + isa, profileNoise, set);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
