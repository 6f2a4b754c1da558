#include "host/run.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "gpu/cudanr.h"
#include "gpu/profile_schedule.h"
#include "host/bitmap_rows.h"
#include "host/ownership.h"
#include "host/pass_through.h"
#include "host/settings.h"
#include "host/staging.h"
#include "host/yuy2.h"
#include "kernels/common.h"

namespace {

enum class FrameKind { BGRA, YUY2, Other };

FrameKind KindOf(int depth) {
    if (depth == 32) return FrameKind::BGRA;
    if (depth == 16) return FrameKind::YUY2;
    return FrameKind::Other;
}

// Where a bitmap's rows are and how many bytes each may hold for this frame.
struct BitmapRows {
    uint8_t* first;
    ptrdiff_t pitch;
    int64_t rowBytes;
    int rows;
};

// The rows of a bitmap of the source's depth; depths that are neither BGRA nor
// YUY2 are copied through whole. False when the bitmap cannot be addressed
// safely: no data, a depth whose rows have no size, or a zero pitch with no
// packed pitch that fits 32 bits.
bool DescribeRows(const FilterBitmap& bm, int depth, BitmapRows* out) {
    if (!bm.data || bm.w <= 0 || bm.h <= 0 || !NRDepthHasRows(depth)) return false;
    uintptr_t first = reinterpret_cast<uintptr_t>(bm.data) + static_cast<uintptr_t>(bm.offset);
    if (first == 0) return false;
    int64_t pitch = static_cast<int32_t>(bm.pitch);
    if (pitch == 0) pitch = NRPackedPitch(depth, bm.w);
    if (pitch == 0 || pitch > INT32_MAX) return false;
    out->first = reinterpret_cast<uint8_t*>(first);
    out->pitch = static_cast<ptrdiff_t>(pitch);
    out->rowBytes = NRDepthRowBytes(depth, bm.w);
    out->rows = bm.h;
    return true;
}

int64_t Magnitude(ptrdiff_t pitch) { return pitch < 0 ? -int64_t{pitch} : int64_t{pitch}; }

// The unfiltered frame, limited to what both bitmaps hold: never more bytes per
// row than either row or either pitch's magnitude, never more rows than either.
void CopyThrough(const BitmapRows& in, const BitmapRows& out) {
    const int64_t bytes = std::min({in.rowBytes, out.rowBytes, Magnitude(in.pitch),
                                    Magnitude(out.pitch)});
    CopyRows(in.first, in.pitch, out.first, out.pitch, static_cast<std::size_t>(bytes),
             std::min(in.rows, out.rows));
}

// The GPU path needs whole, non-overlapping rows in both bitmaps, a destination
// at least as large as the source and a width whose staged (BGRA) row fits 32
// bits, whatever the source's format; otherwise the frame passes through for
// the reason returned.
std::optional<NRRefusal> StagingRefusal(FrameKind kind, int width, const BitmapRows& in, const BitmapRows& out) {
    if (kind == FrameKind::Other) return NRRefusal::Depth;
    if (width > kMaxStagingWidth) return NRRefusal::TooWide;
    if (out.rows < in.rows || out.rowBytes < in.rowBytes) return NRRefusal::DestinationSmaller;
    if (Magnitude(in.pitch) < in.rowBytes || Magnitude(out.pitch) < in.rowBytes) return NRRefusal::RowsOverlap;
    return std::nullopt;
}

void RecordRefusal(const NRFilterData* fd, NRRefusal refusal, int depth, int w, int h) {
    NRRecordPassThrough(fd, NRPassThrough{refusal, depth, w, h, {}});
}

std::size_t StagingBytes(int32_t pitch, int h) { return static_cast<std::size_t>(pitch) * static_cast<std::size_t>(h); }

// The GPU step that just failed on this thread.
void RecordGpuFailure(const NRFilterData* fd, int w, int h) {
    NRRecordPassThrough(fd, NRPassThrough{NRRefusal::Gpu, 0, w, h, CudaNRLastFailure()});
}

// A page-locked block is unlocked before it is replaced.
void UnpinUnlessKept(uint8_t* block, int32_t pitch, int32_t width, int32_t height, int w, int h) {
    if (block == nullptr || StagingBufferFits(block, pitch, width, height, w, h)) return;
    std::lock_guard<std::mutex> lock(g_gpuMutex);
    CudaNRUnpinHostBuffer(block);
}

bool EnsureStaging(NRFilterData* fd, int w, int h) {
    UnpinUnlessKept(fd->stageIn, fd->stageInPitch, fd->stageInWidth, fd->stageInHeight, w, h);
    UnpinUnlessKept(fd->stageOut, fd->stageOutPitch, fd->stageOutWidth, fd->stageOutHeight, w, h);
    const bool inOk = EnsureStagingBuffer(&fd->stageIn, &fd->stageInPitch, &fd->stageInWidth,
                                          &fd->stageInHeight, w, h);
    const bool outOk = EnsureStagingBuffer(&fd->stageOut, &fd->stageOutPitch,
                                           &fd->stageOutWidth, &fd->stageOutHeight, w, h);
    return inOk && outOk;
}

void CopyStageInToStageOut(NRFilterData* fd, int w, int h) {
    CopyRows(fd->stageIn, fd->stageInPitch, fd->stageOut, fd->stageOutPitch,
             static_cast<std::size_t>(w) * kBgraPixelBytes, h);
}

// The profiling schedule on this record's fields and staged frame.
void ApplyProfileSchedule(NRFilterData* fd, int w, int h) {
    const CudaNRProfileState state{std::atomic_ref<float>(fd->params.sigmaY), std::atomic_ref<int32_t>(fd->autoProfile),
                                   fd->frameCounter, fd->lastProfiledFrame};
    CudaNRApplyProfileSchedule(fd->gpu, state, reinterpret_cast<const uchar4*>(fd->stageIn), fd->stageInPitch, w,
                               h);
}

bool ShowsUnfiltered(NRFilterData* fd) {
    const int32_t open = std::atomic_ref<int32_t>(fd->dialogOpen).load();
    return open != 0 && NRLoadShared(fd->showFiltered) == 0;
}

void StageSource(NRFilterData* fd, FrameKind kind, const BitmapRows& in, int w, int h) {
    if (kind == FrameKind::BGRA) {
        CopyRows(in.first, in.pitch, fd->stageIn, fd->stageInPitch,
                 static_cast<std::size_t>(w) * kBgraPixelBytes, h);
    } else {
        ConvertYUY2ToBGRA(in.first, in.pitch, fd->stageIn, fd->stageInPitch, w, h);
    }
}

void WriteResult(NRFilterData* fd, FrameKind kind, const BitmapRows& out, int w, int h) {
    if (kind == FrameKind::BGRA) {
        CopyRows(fd->stageOut, fd->stageOutPitch, out.first, out.pitch,
                 static_cast<std::size_t>(w) * kBgraPixelBytes, h);
    } else {
        ConvertBGRAToYUY2(fd->stageOut, fd->stageOutPitch, out.first, out.pitch, w, h);
    }
}

}  // namespace

bool NRFilterStagedFrame(NRFilterData* fd, int w, int h) {
    std::lock_guard<std::mutex> lock(g_gpuMutex);
    if (!CudaNREnsureBuffers(fd->gpu, w, h)) return false;
    CudaNRPinHostBuffer(fd->gpu, fd->stageIn, StagingBytes(fd->stageInPitch, h));
    CudaNRPinHostBuffer(fd->gpu, fd->stageOut, StagingBytes(fd->stageOutPitch, h));
    ApplyProfileSchedule(fd, w, h);
    // Taken after the schedule so this frame uses the sigmaY it just set; each
    // field is read whole while the dialog may be writing.
    const CudaNRParams params = NRSnapshotParams(fd);
    return CudaNRProcessFrame(fd->gpu, reinterpret_cast<const uchar4*>(fd->stageIn), fd->stageInPitch,
                              reinterpret_cast<uchar4*>(fd->stageOut), fd->stageOutPitch, w, h, &params);
}

bool NREnsureContext(NRFilterData* fd) {
    if (fd->gpu) return true;
    std::lock_guard<std::mutex> lock(g_gpuMutex);
    if (CudaNRCreate(&fd->gpu, fd->deviceOrdinal) && fd->gpu) return true;
    fd->gpu = nullptr;
    return false;
}

int NRRunFilter(const FilterActivation* fa, const FilterFunctions*) {
    if (!fa || !fa->src || !fa->dst) return 0;
    auto* fd = static_cast<NRFilterData*>(fa->filterData);
    EnsureDefaults(fd);

    const FilterBitmap& src = *fa->src;
    const int w = src.w;
    const int h = src.h;
    if (w <= 0 || h <= 0) return 0;
    const FrameKind kind = KindOf(src.depth);
    BitmapRows in{};
    BitmapRows out{};
    if (!DescribeRows(src, src.depth, &in) || !DescribeRows(*fa->dst, src.depth, &out)) {
        RecordRefusal(fd, NRRefusal::Unaddressable, src.depth, w, h);
        return 0;
    }
    const std::optional<NRRefusal> refusal = StagingRefusal(kind, w, in, out);
    if (!fd || refusal) {
        CopyThrough(in, out);
        if (refusal) RecordRefusal(fd, *refusal, src.depth, w, h);
        return 0;
    }
    NRDisownForeignResources(fd);
    if (!NREnsureContext(fd)) {
        RecordGpuFailure(fd, w, h);
        CopyThrough(in, out);
        return 0;
    }
    const bool staged = EnsureStaging(fd, w, h);
    NRTakeOwnership(fd);
    if (!staged) {
        CopyThrough(in, out);
        RecordRefusal(fd, NRRefusal::StagingMemory, src.depth, w, h);
        return 0;
    }
    StageSource(fd, kind, in, w, h);
    if (ShowsUnfiltered(fd)) {
        CopyStageInToStageOut(fd, w, h);  // the user's choice, not a failure
    } else if (!NRFilterStagedFrame(fd, w, h)) {
        RecordGpuFailure(fd, w, h);
        CopyStageInToStageOut(fd, w, h);
    }
    WriteResult(fd, kind, out, w, h);
    return 0;
}
