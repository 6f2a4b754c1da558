#include "tests/windows/win_host.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "tests/support/sequences.h"
#include "tests/windows/wintest.h"

namespace winhost {
namespace {

constexpr auto kWaitLimit = std::chrono::seconds(20);

const qtest::Sequence kRunnerFrames{32, 64, 48, 8};

}  // namespace

std::string ModulePath(const char* fileName) {
    std::string folder = wintest::Option("modules");
    if (folder.empty()) {
        char self[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        folder = self;
        const std::size_t slash = folder.find_last_of("\\/");
        folder.resize(slash == std::string::npos ? 0 : slash);
    }
    std::replace(folder.begin(), folder.end(), '/', '\\');
    return folder.empty() ? fileName : folder + '\\' + fileName;
}

bool CreateInstanceWithPreview(modhost::Instance* inst, modhost::Module* m, FilterPreview* preview) {
    if (!modhost::CreateInstance(inst, m)) return false;
    inst->fa->preview = preview;
    return true;
}

NRFilterData* FilterData(const modhost::Instance* inst) {
    return static_cast<NRFilterData*>(inst->data);
}

namespace {

void RunFramesLoop(FrameRunner* r) {
    const qtest::Sequence& s = kRunnerFrames;
    std::vector<uint8_t> out(qtest::FrameBytes(s));
    for (int frame = 0;; ++frame) {
        {
            std::unique_lock lock(r->mutex);
            r->changed.wait(lock, [r] { return r->stop || !r->paused; });
            if (r->stop) return;
            r->inFrame = true;
        }
        std::vector<uint8_t> in = qtest::MakeFrame(s, frame % s.count);
        modhost::SetBitmap(r->inst->src, in.data(), 32, s.width, s.height, qtest::RowBytes(s));
        modhost::SetBitmap(r->inst->dst, out.data(), 32, s.width, s.height, qtest::RowBytes(s));
        modhost::CallRun(r->inst);
        const bool passedThrough = in == out;
        std::lock_guard lock(r->mutex);
        r->inFrame = false;
        r->framesRun++;
        r->lastPassedThrough = passedThrough;
        r->changed.notify_all();
    }
}

}  // namespace

void StartFrames(FrameRunner* r, modhost::Instance* inst) {
    r->inst = inst;
    r->stop = false;
    r->paused = false;
    r->inFrame = false;
    r->framesRun = 0;
    r->lastPassedThrough = false;
    r->thread = std::thread(RunFramesLoop, r);
}

bool PauseFrames(FrameRunner* r) {
    std::unique_lock lock(r->mutex);
    r->paused = true;
    return r->changed.wait_for(lock, kWaitLimit, [r] { return !r->inFrame; });
}

void ResumeFrames(FrameRunner* r) {
    std::lock_guard lock(r->mutex);
    r->paused = false;
    r->changed.notify_all();
}

bool WaitForFrames(FrameRunner* r, long moreFrames) {
    std::unique_lock lock(r->mutex);
    const long target = r->framesRun + moreFrames;
    return r->changed.wait_for(lock, kWaitLimit, [r, target] { return r->framesRun >= target; });
}

void StopFrames(FrameRunner* r) {
    {
        std::lock_guard lock(r->mutex);
        r->stop = true;
        r->changed.notify_all();
    }
    if (r->thread.joinable()) r->thread.join();
}

}  // namespace winhost
