#include "platform/row_bands.h"

#include <algorithm>

namespace platform {
namespace {

// Below this many bytes a frame is done sooner than threads are woken.
constexpr std::size_t kParallelBytes = 1 << 20;
// Bands per thread, so that a slow thread holds the others up little.
constexpr unsigned kBandsPerThread = 4;

struct AddressRange {
    std::uintptr_t begin, end;
};

// Addresses are compared as integers: no pointer below the first row or past
// the last one is formed.
AddressRange RangeOf(RowSpan s, long long rows) {
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(s.first);
    const std::uintptr_t last = first + static_cast<std::uintptr_t>((rows - 1) * s.pitch);
    return AddressRange{std::min(first, last), std::max(first, last) + s.rowBytes};
}

}  // namespace

unsigned RowBandCount(RowSpan src, RowSpan dst, long long rows) {
    if (rows <= 1) return 1;
    const std::size_t rowBytes = std::max(src.rowBytes, dst.rowBytes);
    if (static_cast<unsigned long long>(rows) < (kParallelBytes + rowBytes - 1) / std::max<std::size_t>(rowBytes, 1))
        return 1;
    const AddressRange a = RangeOf(src, rows), b = RangeOf(dst, rows);
    if (a.begin < b.end && b.begin < a.end) return 1;
    return static_cast<unsigned>(std::min<long long>(rows, HardwareThreads() * kBandsPerThread));
}

}  // namespace platform
