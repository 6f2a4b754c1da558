// How far apart two byte images are, for a report of where and how much they
// differ when they must not.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace qtest {

struct Difference {
    int largest = 0;            // of any byte
    std::size_t differing = 0;  // units with any byte apart
    std::size_t compared = 0;   // units compared
    double share() const { return compared ? static_cast<double>(differing) / static_cast<double>(compared) : 0.0; }
};

// Units of unitBytes (a pixel, or a single byte), over the bytes both images
// hold; the caller checks that their sizes agree.
inline Difference CompareBytes(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, std::size_t unitBytes) {
    Difference d;
    d.compared = std::min(a.size(), b.size()) / unitBytes;
    for (std::size_t u = 0; u < d.compared; ++u) {
        int largest = 0;
        for (std::size_t i = u * unitBytes; i < (u + 1) * unitBytes; ++i)
            largest = std::max(largest, std::abs(a[i] - b[i]));
        d.largest = std::max(d.largest, largest);
        d.differing += largest != 0;
    }
    return d;
}

}  // namespace qtest
