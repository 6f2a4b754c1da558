#include "host/ownership.h"

#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "gpu/cudanr.h"
#include "host/per_record.h"
#include "host/staging.h"

namespace {

struct StagingBlock {
    uint8_t* block;
    int32_t width;
    int32_t height;
    int32_t pitch;
};

struct Owned {
    CudaNRContext* gpu;
    StagingBlock in;
    StagingBlock out;
};

using Registry = PerRecord<Owned>;
Registry& TheRegistry() { return PerRecordStore<Owned>(); }

StagingBlock StageInOf(const NRFilterData* fd) {
    return {fd->stageIn, fd->stageInWidth, fd->stageInHeight, fd->stageInPitch};
}

StagingBlock StageOutOf(const NRFilterData* fd) {
    return {fd->stageOut, fd->stageOutWidth, fd->stageOutHeight, fd->stageOutPitch};
}

// A block is reused for frames of its recorded size, so the sizes must be the
// ones it was made for, not sizes written over them.
bool SameBlock(const StagingBlock& field, const StagingBlock& mine) {
    if (field.block != mine.block) return false;
    return !mine.block ||
           (field.width == mine.width && field.height == mine.height && field.pitch == mine.pitch);
}

// Outside the registry's lock: a context is destroyed under g_gpuMutex, and
// a page-locked block unlocked there before it is freed (whichever context
// locked it: it may be another than the one released with it).
void Release(Owned& owned) {
    if (owned.gpu || owned.in.block || owned.out.block) {
        std::lock_guard<std::mutex> lock(g_gpuMutex);
        if (owned.gpu) CudaNRDestroy(owned.gpu);
        owned.gpu = nullptr;
        CudaNRUnpinHostBuffer(owned.in.block);
        CudaNRUnpinHostBuffer(owned.out.block);
    }
    ReleaseStagingBuffer(&owned.in.block);
    ReleaseStagingBuffer(&owned.out.block);
}

bool Empty(const Owned& owned) { return !owned.gpu && !owned.in.block && !owned.out.block; }

void ClearResourceFields(NRFilterData* fd) {
    fd->gpu = nullptr;
    fd->stageIn = nullptr;
    fd->stageOut = nullptr;
}

Owned TakeOut(const NRFilterData* fd) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.records.find(fd);
    if (it == r.records.end()) return Owned{};
    Owned taken = it->second;
    r.records.erase(it);
    return taken;
}

}  // namespace

void NRDisownForeignResources(NRFilterData* fd) {
    Owned orphaned{};
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.records.find(fd);
        Owned mine = it == r.records.end() ? Owned{} : it->second;
        if (fd->gpu != mine.gpu) {
            std::swap(orphaned.gpu, mine.gpu);
            fd->gpu = nullptr;
        }
        if (!SameBlock(StageInOf(fd), mine.in)) {
            std::swap(orphaned.in, mine.in);
            fd->stageIn = nullptr;
        }
        if (!SameBlock(StageOutOf(fd), mine.out)) {
            std::swap(orphaned.out, mine.out);
            fd->stageOut = nullptr;
        }
        if (it != r.records.end() && Empty(mine)) {
            r.records.erase(it);
        } else if (it != r.records.end()) {
            it->second = mine;
        }
    }
    Release(orphaned);
}

void NRTakeOwnership(NRFilterData* fd) {
    Owned now{fd->gpu, StageInOf(fd), StageOutOf(fd)};
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (Empty(now)) {
            r.records.erase(fd);
            return;
        }
        try {
            r.records[fd] = now;
            return;
        } catch (const std::bad_alloc&) {
            // Untracked, they would be foreign on the next frame and never released.
        }
    }
    Release(now);
    ClearResourceFields(fd);
}

void NRReleaseResources(NRFilterData* fd) {
    Owned mine = TakeOut(fd);
    ClearResourceFields(fd);
    Release(mine);
}

void NRReleaseEarlierInstance(const NRFilterData* fd) {
    Owned left = TakeOut(fd);
    Release(left);
}

void NRReleaseAllResources() {
    std::unordered_map<const NRFilterData*, Owned> all;
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        all.swap(r.records);
    }
    for (auto& [record, owned] : all) Release(owned);
}
