// Timings on the GPU: each step of the real pipeline with an event between
// steps (this program's own build of CudaNRQueueFrame), the noise profile,
// the transfer floor from pageable and page-locked host memory, and the whole
// frame as the host sees it, through the CUDA module's run callback with its
// host copies.
#include <chrono>
#include <cstdio>
#include <mutex>

#include "gpu/context_state.h"
#include "gpu/device_events.h"
#include "gpu/pipeline_steps.h"
#include "tests/gpu/gpucheck/gpucheck.h"
#include "tests/support/params.h"

namespace gpucheck {
namespace {

constexpr int kWarmup = 3;
constexpr int kSteps = kCudaNRFrameSteps - 1;  // the intervals between the steps' events
constexpr const char* kColumns[] = {"upload",   "mv prev",  "mv prev2", "kProcess", "download",  "feedback",
                                    "pipeline", "profile",  "pageable", "locked",   "run BGRA", "run YUY2"};
constexpr int kColumnCount = sizeof kColumns / sizeof kColumns[0];

// Milliseconds per frame, summed over the measured frames.
struct Row {
    double ms[kColumnCount] = {};
};
enum Column { kPipeline = kSteps, kProfile, kPageable, kPageLocked, kRunBgra, kRunYuy2 };

using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Elapsed(dev::Event a, dev::Event b) {
    float ms = 0;
    return dev::eventElapsedMs(&ms, a, b) == dev::kSuccess ? ms : 0.0;
}

struct Events {
    dev::Event e[kCudaNRFrameSteps] = {};
    bool created = true;
    Events() {
        for (dev::Event& event : e) created = dev::eventCreate(&event) == dev::kSuccess && created;
    }
    ~Events() {
        for (dev::Event event : e) {
            if (event != nullptr) dev::eventDestroy(event);
        }
    }
};

// The pipeline's steps, an event recorded after each is queued. Each column
// is the interval between two steps' events, so a frame whose steps are not
// all reported, once each and in order, would time the wrong work: it fails.
bool ProcessFrameTimed(CudaNRContext* ctx, const uint8_t* src, uint8_t* dst, int pitch, Size size,
                       const CudaNRParams& params, Events& ev) {
    int next = 0;  // the step expected next; -1 once one came out of turn
    const bool processed = CudaNRQueueFrame(
        ctx, reinterpret_cast<const uchar4*>(src), pitch, reinterpret_cast<uchar4*>(dst), pitch, size.width,
        size.height, &params, [&ev, &next](CudaNRFrameStep step, dev::Stream stream) {
            const int k = static_cast<int>(step);
            next = k == next ? next + 1 : -1;
            if (k >= 0 && k < kCudaNRFrameSteps) dev::eventRecord(ev.e[k], stream);
        });
    if (processed && next != kCudaNRFrameSteps) {
        std::fprintf(stderr, "gpucheck: FAILED: the pipeline did not report each of its steps once, in order\n");
        return false;
    }
    return processed;
}

// One copy up and one down of a frame's bytes, from and to host memory.
bool TimeTransfer(CudaNRContext* ctx, uint8_t* src, uint8_t* dst, Events& ev, double* ms) {
    const auto row = static_cast<std::size_t>(ctx->width) * 4, rows = static_cast<std::size_t>(ctx->height);
    const bool ok =
        dev::eventRecord(ev.e[0], ctx->stream) == dev::kSuccess &&
        dev::memcpy2DAsync(ctx->ring[0], ctx->pitchBytes, src, row, row, rows, dev::CopyKind::HostToDevice,
                           ctx->stream) == dev::kSuccess &&
        dev::memcpy2DAsync(dst, row, ctx->out, ctx->pitchBytes, row, rows, dev::CopyKind::DeviceToHost,
                           ctx->stream) == dev::kSuccess &&
        dev::eventRecord(ev.e[1], ctx->stream) == dev::kSuccess && dev::eventSynchronize(ev.e[1]) == dev::kSuccess;
    *ms += Elapsed(ev.e[0], ev.e[1]);
    return ok;
}

struct PageLocked {
    void* p = nullptr;
    explicit PageLocked(std::size_t bytes) {
        if (dev::hostAllocPageLocked(&p, bytes) != dev::kSuccess) p = nullptr;
    }
    ~PageLocked() { dev::hostFreePageLocked(p); }
    uint8_t* bytes() { return static_cast<uint8_t*>(p); }
};

// The pipeline's steps, the noise profile and the transfer floors, in one
// context of the backend linked here.
bool TimeContext(Size size, int frames, Row* row) {
    std::lock_guard<std::mutex> lock(g_gpuMutex);
    CudaNRContext* ctx = nullptr;
    bool ok = CudaNRCreate(&ctx, 0) && CudaNREnsureBuffers(ctx, size.width, size.height);
    const qtest::Sequence s{32, size.width, size.height, 1};
    std::vector<uint8_t> src = qtest::MakeFrame(s, 0), dst(src.size());
    const int pitch = size.width * 4;
    const CudaNRParams params = qtest::defaultParams(6.0f);
    {
        Events ev;
        PageLocked lockedSrc(src.size()), lockedDst(src.size());
        ok = ok && ev.created && lockedSrc.p && lockedDst.p;
        for (int i = 0; ok && i < kWarmup + frames; ++i) {
            Row r;
            float estimate = 0;
            Clock::time_point start = Clock::now();
            ok = ProcessFrameTimed(ctx, src.data(), dst.data(), pitch, size, params, ev);
            r.ms[kPipeline] = MsSince(start);
            for (int k = 0; ok && k < kSteps; ++k) r.ms[k] = Elapsed(ev.e[k], ev.e[k + 1]);
            start = Clock::now();
            ok = ok && CudaNRProfileNoise(ctx, reinterpret_cast<const uchar4*>(src.data()), pitch, size.width,
                                          size.height, &estimate);
            r.ms[kProfile] = MsSince(start);
            ok = ok && TimeTransfer(ctx, src.data(), dst.data(), ev, &r.ms[kPageable]) &&
                 TimeTransfer(ctx, lockedSrc.bytes(), lockedDst.bytes(), ev, &r.ms[kPageLocked]);
            for (int k = 0; i >= kWarmup && k < kColumnCount; ++k) row->ms[k] += r.ms[k];
        }
    }
    CudaNRDestroy(ctx);
    return ok;
}

// The run callback of the shipped module, frame after frame, as the host calls it.
bool TimeModule(modhost::Module* m, Size size, int depth, int frames, double* ms) {
    const qtest::Sequence s{depth, size.width, size.height, kWarmup + frames};
    modhost::Instance inst{};
    if (!modhost::CreateInstance(&inst, m)) return false;
    modhost::CallInit(&inst);
    modhost::CallStart(&inst);
    std::vector<uint8_t> in = qtest::MakeFrame(s, 0), out(in.size());
    bool filtered = true;
    for (int i = 0; i < s.count; ++i) {
        modhost::SetBitmap(inst.src, in.data(), depth, size.width, size.height, qtest::RowBytes(s));
        modhost::SetBitmap(inst.dst, out.data(), depth, size.width, size.height, qtest::RowBytes(s));
        const Clock::time_point start = Clock::now();
        modhost::CallRun(&inst);
        if (i >= kWarmup) *ms += MsSince(start);
        filtered = filtered && out != in;
    }
    modhost::CallEnd(&inst);
    modhost::CallDeinit(&inst);
    modhost::DestroyInstance(&inst);
    return filtered;
}

}  // namespace

int Time(const std::string& cudaPath, const std::vector<Size>& sizes, int frames) {
    static modhost::Module cuda;
    if (!modhost::LoadModule(&cuda, cudaPath.c_str())) {
        std::fprintf(stderr, "gpucheck: FAILED: cannot load %s: %s\n", cudaPath.c_str(), cuda.error);
        return 2;
    }
    std::printf("milliseconds per frame, mean of %d frames after %d warm-up frames\n%-11s", frames, kWarmup, "size");
    for (const char* c : kColumns) std::printf(" %9s", c);
    std::printf("\n");
    bool ok = true;
    for (const Size& size : sizes) {
        Row row;
        const bool timed = TimeContext(size, frames, &row) &&
                           TimeModule(&cuda, size, 32, frames, &row.ms[kRunBgra]) &&
                           TimeModule(&cuda, size, 16, frames, &row.ms[kRunYuy2]);
        ok = ok && timed;
        std::printf("%5dx%-5d", size.width, size.height);
        for (double ms : row.ms) std::printf(" %9.3f", ms / frames);
        std::printf("%s\n", timed ? "" : "  FAILED");
        std::fflush(stdout);
    }
    modhost::UnloadModule(&cuda);
    return ok ? 0 : 1;
}

}  // namespace gpucheck
