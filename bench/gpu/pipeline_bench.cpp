// Per-frame cost of the CPU backend at 1920x1080: buffer check, profiling
// schedule and pipeline, exactly the GPU step of the run procedure.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "gpu/cudanr.h"
#include "gpu/profile_schedule.h"
#include "tests/support/params.h"

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;

std::vector<uchar4> noisyFrame() {
    std::vector<uchar4> f(static_cast<std::size_t>(kW) * kH);
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> noise(-8, 8);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            auto v = static_cast<unsigned char>(((x / 32 + y / 32) % 2 ? 160 : 90) + noise(rng));
            f[static_cast<std::size_t>(y) * kW + x] = uchar4{v, v, v, 255};
        }
    }
    return f;
}

struct Instance {
    CudaNRContext* gpu = nullptr;
    CudaNRParams params = qtest::defaultParams(kNRSigmaUnknown);  // sigma measured on the first frame
    int32_t autoProfile = 1, frameCounter = 0, lastProfiledFrame = 0;
    std::vector<uchar4> in = noisyFrame();
    std::vector<uchar4> out = std::vector<uchar4>(in.size());
    bool ready = false;

    Instance() { ready = CudaNRCreate(&gpu, 0); }
    ~Instance() { CudaNRDestroy(gpu); }

    bool frame() {
        std::lock_guard lock(g_gpuMutex);
        if (!CudaNREnsureBuffers(gpu, kW, kH)) return false;
        const CudaNRProfileState state{std::atomic_ref<float>(params.sigmaY), std::atomic_ref<int32_t>(autoProfile),
                                       frameCounter, lastProfiledFrame};
        CudaNRApplyProfileSchedule(gpu, state, in.data(), kW * 4, kW, kH);
        return CudaNRProcessFrame(gpu, in.data(), kW * 4, out.data(), kW * 4, kW, kH, &params);
    }
};

void PipelineFrame1080p(benchmark::State& state) {
    Instance inst;
    if (!inst.ready || !inst.frame()) {  // first frame: allocation and profiling
        state.SkipWithError("pipeline failed");
        return;
    }
    for (auto _ : state) {
        if (!inst.frame()) state.SkipWithError("pipeline failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PipelineFrame1080p)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void ProfileNoise1080p(benchmark::State& state) {
    Instance inst;
    if (!inst.ready || !CudaNREnsureBuffers(inst.gpu, kW, kH)) {
        state.SkipWithError("no context");
        return;
    }
    float estimate = 0;
    for (auto _ : state) {
        if (!CudaNRProfileNoise(inst.gpu, inst.in.data(), kW * 4, kW, kH, &estimate)) {
            state.SkipWithError("profiling failed");
        }
    }
    benchmark::DoNotOptimize(estimate);
}
BENCHMARK(ProfileNoise1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
