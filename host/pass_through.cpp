#include "host/pass_through.h"

#include <mutex>
#include <new>

#include "gpu/diagnosis.h"
#include "host/per_record.h"
#include "platform/debug_output.h"

namespace {

constexpr const char* kDebugPrefix = "Quelmar: frames pass through unfiltered: ";

struct Kept {
    NRPassThrough why;
    std::string words;
    bool written = false;
};

using Reasons = PerRecord<Kept>;
Reasons& TheReasons() { return PerRecordStore<Kept>(); }

std::string Size(const NRPassThrough& why) {
    return std::to_string(why.width) + "x" + std::to_string(why.height);
}

// Whether the instance's reason is still this one: then nothing changes.
bool Unchanged(const NRFilterData* fd, const NRPassThrough& why) {
    Reasons& r = TheReasons();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.records.find(fd);
    return it != r.records.end() && it->second.why == why;
}

// Keeps the reason; true when the instance has not written one yet.
bool Keep(const NRFilterData* fd, const NRPassThrough& why, const std::string& words) {
    Reasons& r = TheReasons();
    std::lock_guard<std::mutex> lock(r.mutex);
    Kept& kept = r.records[fd];
    kept.why = why;
    kept.words = words;
    const bool first = !kept.written;
    kept.written = true;
    return first;
}

// The reason in words, as the debug line and the reason query give it.
std::string DescribePassThrough(const NRPassThrough& why) {
    switch (why.refusal) {
        case NRRefusal::Depth:
            return "frames of " + std::to_string(why.depth) +
                   " bits per pixel are not filtered (only 32-bit RGB and 16-bit YUY2 are)";
        case NRRefusal::Unaddressable:
            return "the host's " + Size(why) + " bitmaps of " + std::to_string(why.depth) +
                   " bits per pixel cannot be addressed (no data, or no row pitch)";
        case NRRefusal::DestinationSmaller:
            return "the destination bitmap is smaller than the " + Size(why) + " source";
        case NRRefusal::RowsOverlap:
            return "a row pitch of the host's " + Size(why) + " bitmaps is shorter than a row";
        case NRRefusal::TooWide:
            return "frames " + std::to_string(why.width) + " pixels wide are too wide to filter";
        case NRRefusal::StagingMemory:
            return "no memory for the staging buffers of " + Size(why) + " frames";
        case NRRefusal::Gpu:
            break;
    }
    return diag::DescribeFailure(why.gpu, why.width, why.height);
}

}  // namespace

void NRRecordPassThrough(const NRFilterData* fd, const NRPassThrough& why) {
    if (fd == nullptr || Unchanged(fd, why)) return;
    // A reason that cannot be kept for lack of memory is simply not kept.
    try {
        const std::string words = DescribePassThrough(why);
        if (Keep(fd, why, words)) platform::WriteDebugLine(kDebugPrefix + words);
    } catch (const std::bad_alloc&) {
    }
}

std::string NRPassThroughReason(const NRFilterData* fd) {
    Reasons& r = TheReasons();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.records.find(fd);
    return it == r.records.end() ? std::string() : it->second.words;
}

void NRForgetPassThrough(const NRFilterData* fd) {
    Reasons& r = TheReasons();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.records.erase(fd);
}

void NRForgetAllPassThroughs() {
    Reasons& r = TheReasons();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.records.clear();
}
