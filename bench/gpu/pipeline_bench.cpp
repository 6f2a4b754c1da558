// Per-frame cost of the CPU backend at 1920x1080: the run procedure's own GPU
// step (buffer check, pinning, profiling schedule, settings snapshot, pipeline).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "gpu/cudanr.h"
#include "host/filter_data.h"
#include "host/run.h"
#include "host/settings.h"
#include "kernels/common.h"

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;
constexpr int kPitch = kW * kBgraPixelBytes;

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

// A record as the run procedure leaves it before its GPU step: defaults, a
// context, and the staged frames (packed rows) in its staging fields.
struct Instance {
    NRFilterData fd{};
    std::vector<uchar4> in = noisyFrame();  // sigma measured on the first frame
    std::vector<uchar4> out = std::vector<uchar4>(in.size());
    bool ready = false;

    Instance() {
        NRInitRecord(&fd);
        stage(&fd.stageIn, &fd.stageInPitch, &fd.stageInWidth, &fd.stageInHeight, in.data());
        stage(&fd.stageOut, &fd.stageOutPitch, &fd.stageOutWidth, &fd.stageOutHeight, out.data());
        ready = NREnsureContext(&fd);
    }
    ~Instance() { CudaNRDestroy(fd.gpu); }  // unpins what it pinned

    static void stage(uint8_t** block, int32_t* pitch, int32_t* width, int32_t* height, uchar4* pixels) {
        *block = reinterpret_cast<uint8_t*>(pixels);
        *pitch = kPitch;
        *width = kW;
        *height = kH;
    }

    bool frame() { return NRFilterStagedFrame(&fd, kW, kH); }
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
    if (!inst.ready || !CudaNREnsureBuffers(inst.fd.gpu, kW, kH)) {
        state.SkipWithError("no context");
        return;
    }
    float estimate = 0;
    for (auto _ : state) {
        if (!CudaNRProfileNoise(inst.fd.gpu, inst.in.data(), kPitch, kW, kH, &estimate)) {
            state.SkipWithError("profiling failed");
        }
    }
    benchmark::DoNotOptimize(estimate);
}
BENCHMARK(ProfileNoise1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
