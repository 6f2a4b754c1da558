// Page-locked staging: the host buffers a context copies from and to are
// registered with the driver, so that uploads and downloads are direct
// transfers instead of copies through the driver's own pinned bounce buffers.
// Page-locked memory is read and written when a copy runs, not when it is
// queued, so the pipeline waits for its stream before any buffer can be
// reused; and a buffer is unregistered before it is freed.
#include <algorithm>
#include <new>
#include <vector>

#include "gpu/context_state.h"
#include "gpu/device_events.h"

namespace {

struct Pin {
    const CudaNRContext* ctx;
    void* buffer;
    std::size_t bytes;
    bool locked;  // false: the driver declined; the buffer stays pageable and is not asked again
};

// Every pin of every context; g_gpuMutex guards it, as every operation here.
std::vector<Pin>& pins() {
    static std::vector<Pin> all;
    return all;
}

void unlock(const Pin& pin) {
    if (pin.locked && CudaNRSelectDevice(pin.ctx)) dev::hostUnregister(pin.buffer);
}

// Unlocks and forgets the pins that match.
template <typename Match>
void unpinWhere(Match match) {
    std::vector<Pin>& all = pins();
    for (const Pin& pin : all) {
        if (match(pin)) unlock(pin);
    }
    all.erase(std::remove_if(all.begin(), all.end(), match), all.end());
}

}  // namespace

void CudaNRPinHostBuffer(CudaNRContext* ctx, void* buffer, std::size_t bytes) {
    if (ctx == nullptr || buffer == nullptr || bytes == 0) return;
    std::vector<Pin>& all = pins();
    const bool known = std::any_of(all.begin(), all.end(), [&](const Pin& p) {
        return p.ctx == ctx && p.buffer == buffer && p.bytes == bytes;
    });
    if (known) return;
    // The same buffer under another size or context is another registration.
    unpinWhere([buffer](const Pin& p) { return p.buffer == buffer; });
    Pin pin{ctx, buffer, bytes, false};
    try {
        all.reserve(all.size() + 1);
    } catch (const std::bad_alloc&) {
        return;  // not remembered, so not locked: it stays pageable
    }
    pin.locked = CudaNRSelectDevice(ctx) && dev::hostRegister(buffer, bytes) == dev::kSuccess;
    all.push_back(pin);
}

void CudaNRUnpinHostBuffer(void* buffer) {
    if (buffer == nullptr) return;
    unpinWhere([buffer](const Pin& p) { return p.buffer == buffer; });
}

void CudaNRUnpinContextBuffers(const CudaNRContext* ctx) {
    unpinWhere([ctx](const Pin& p) { return p.ctx == ctx; });
}
