#include "host/pass_through.h"

#include <mutex>
#include <new>

#include "gpu/diagnosis.h"
#include "host/per_record.h"
#include "platform/debug_output.h"

namespace {

constexpr const char* kDebugPrefix = "Quelmar: frames pass through unfiltered: ";

// What the module keeps of an instance: that it has written its line.
struct LineWritten {};

// True the first time it is asked for the instance (until it is forgotten).
bool FirstFor(const NRFilterData* fd) {
    PerRecord<LineWritten>& r = PerRecordStore<LineWritten>();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.records.try_emplace(fd).second;
}

std::string Size(const NRPassThrough& why) {
    return std::to_string(why.width) + "x" + std::to_string(why.height);
}

// The reason in words, as the debug line gives it.
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
    if (fd == nullptr) return;
    // A line that cannot be made for lack of memory is simply not written.
    try {
        if (FirstFor(fd)) platform::WriteDebugLine(kDebugPrefix + DescribePassThrough(why));
    } catch (const std::bad_alloc&) {
    }
}

void NRForgetPassThrough(const NRFilterData* fd) {
    PerRecord<LineWritten>& r = PerRecordStore<LineWritten>();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.records.erase(fd);
}

void NRForgetAllPassThroughs() {
    PerRecord<LineWritten>& r = PerRecordStore<LineWritten>();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.records.clear();
}
