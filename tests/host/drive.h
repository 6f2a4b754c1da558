// A registered module with one instance, driven through the ABI by modhost
// with guarded host buffers.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/abi.h"
#include "host/filter_data.h"
#include "host/yuy2.h"
#include "tests/support/bytes.h"
#include "tests/support/text.h"
#include "tools/modhost/modhost.h"

using qtest::GuardedBuffer;
using qtest::kGuardByte;
using qtest::NoisyFrame;

// A host-style bitmap over a buffer whose first row is at byte firstRow; with
// a negative pitch the rows go backwards from there.
inline void Describe(FilterBitmap* bm, GuardedBuffer& buf, int depth, int w, int h, ptrdiff_t pitch,
                     ptrdiff_t firstRow = 0) {
    std::memset(static_cast<void*>(bm), 0, sizeof *bm);
    bm->data = buf.data();
    bm->depth = depth;
    bm->w = w;
    bm->h = h;
    bm->pitch = pitch;
    bm->offset = firstRow;
}

// What running `frame` writes on the module's pass-through line (standard
// error on Linux): the words of its first such line, empty when none, and
// in *lines how many it writes.
inline std::string PassThroughLineOf(const std::function<void()>& frame, int* lines = nullptr) {
    testing::internal::CaptureStderr();
    frame();
    return qtest::WordsAfter(testing::internal::GetCapturedStderr(), "Quelmar: frames pass through unfiltered: ",
                             lines);
}

struct DrivenFilter {
    std::unique_ptr<modhost::Module> module = std::make_unique<modhost::Module>();
    modhost::Instance inst{};
    bool registered = false;

    bool loadPath(const char* path) {
        registered = modhost::LoadModule(module.get(), path);
        return registered && createAndInit();
    }
    bool attach(FilterModuleInitProc init, FilterModuleDeinitProc deinit) {
        modhost::AttachModule(module.get(), init, deinit);
        registered = modhost::RegisterModule(module.get()) == 0;
        return registered && createAndInit();
    }
    bool createAndInit() {
        return modhost::CreateInstance(&inst, module.get()) && modhost::CallInit(&inst) == 0;
    }
    NRFilterData* fd() { return static_cast<NRFilterData*>(inst.data); }

    // Runs one frame; the destination is described like the source unless given.
    int run(GuardedBuffer& src, GuardedBuffer& dst, int depth, int w, int h, ptrdiff_t srcPitch,
            ptrdiff_t dstPitch, ptrdiff_t srcFirst = 0, ptrdiff_t dstFirst = 0) {
        Describe(inst.src, src, depth, w, h, srcPitch, srcFirst);
        Describe(inst.dst, dst, depth, 0, 0, dstPitch, dstFirst);
        modhost::CallParam(&inst);
        return modhost::CallRun(&inst);
    }

    ~DrivenFilter() {
        if (inst.module) {
            modhost::CallDeinit(&inst);
            modhost::DestroyInstance(&inst);
        }
        if (registered) modhost::UnloadModule(module.get());
    }
};

// The YUY2 -> BGRA -> YUY2 round trip of a packed frame.
inline std::vector<uint8_t> RoundTripYUY2(const std::vector<uint8_t>& yuy2, int w, int h) {
    const auto rowBytes = static_cast<std::size_t>(YUY2RowBytes(w));
    std::vector<uint8_t> bgra(static_cast<std::size_t>(w) * 4 * h);
    std::vector<uint8_t> out(rowBytes * h);
    ConvertYUY2ToBGRA(yuy2.data(), static_cast<ptrdiff_t>(rowBytes), bgra.data(), w * 4, w, h);
    ConvertBGRAToYUY2(bgra.data(), w * 4, out.data(), static_cast<ptrdiff_t>(rowBytes), w, h);
    return out;
}
