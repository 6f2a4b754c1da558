// A host that gives the module every bitmap exactly as large as its geometry
// says, between guard pages, the source read-only: a byte read or written
// outside a bitmap, or written to the source, faults at once. Shared by the
// geometry sweep and the fuzzer.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "host/abi.h"
#include "host/bitmap_rows.h"
#include "tests/support/bytes.h"

namespace hostile {

// One bitmap as a host describes it.
struct Geometry {
    int32_t depth;  // the source's: the module reads no other
    int32_t w;
    int32_t h;
    int64_t pitch;    // as written in the record: only its low 32 bits count, signed
    int64_t offset;   // from the data pointer to the first row
    bool guardAfter;  // ends at a guard page; otherwise starts right after one
};

// The rows the module may touch, read as its callers are told to lay them out
// (host/bitmap_rows.h): BGRA, YUY2 pairs, 15-bit pixels in 2 bytes, whole bits
// per row for other depths of 1 to 64; a zero pitch means that depth's packed
// rows. No rows at all where the geometry gives none: a size of 0 or less,
// another depth, an odd-width YUY2 row with a zero pitch, or a packed pitch
// past 32 bits.
struct Rows {
    int64_t bytes = 0;
    int64_t pitch = 0;
    int64_t count = 0;
    int64_t span() const { return count ? (pitch < 0 ? -pitch : pitch) * (count - 1) + bytes : 0; }
};

inline Rows RowsOf(const Geometry& g) {
    if (g.w <= 0 || g.h <= 0 || !NRDepthHasRows(g.depth)) return {};
    Rows rows;
    rows.bytes = NRDepthRowBytes(g.depth, g.w);
    rows.pitch = static_cast<int32_t>(g.pitch);
    if (rows.pitch == 0) {
        rows.pitch = NRPackedPitch(g.depth, g.w);
        if (rows.pitch == 0 || rows.pitch > INT32_MAX) return {};
    }
    rows.count = g.h;
    return rows;
}

// Maps the bitmap's bytes flush against a PROT_NONE page and fills them.
class GuardedBitmap {
public:
    GuardedBitmap(const Geometry& g, uint32_t seed) : geometry_(g), rows_(RowsOf(g)) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const auto span = static_cast<std::size_t>(rows_.span());
        mappingBytes_ = (span + page - 1) / page * page + page;
        void* m = mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (m == MAP_FAILED) return;
        mapping_ = static_cast<uint8_t*>(m);
        uint8_t* guard = g.guardAfter ? mapping_ + mappingBytes_ - page : mapping_;
        mprotect(guard, page, PROT_NONE);
        low_ = g.guardAfter ? guard - span : guard + page;
        filled_ = qtest::NoiseBytes(span, seed);
        if (span) std::memcpy(low_, filled_.data(), span);
    }
    ~GuardedBitmap() {
        if (mapping_) munmap(mapping_, mappingBytes_);
    }
    GuardedBitmap(const GuardedBitmap&) = delete;
    GuardedBitmap& operator=(const GuardedBitmap&) = delete;

    bool mapped() const { return mapping_ != nullptr; }
    void makeReadOnly() {
        if (!filled_.empty()) mprotect(pageStart(low_), pageEnd(low_ + filled_.size()) - pageStart(low_), PROT_READ);
    }
    // The host's record of it; data + offset is the first row.
    void describe(FilterBitmap* bm) const {
        std::memset(static_cast<void*>(bm), 0, sizeof *bm);
        bm->data = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(firstRow()) -
                                           static_cast<uintptr_t>(geometry_.offset));
        bm->depth = geometry_.depth;
        bm->w = geometry_.w;
        bm->h = geometry_.h;
        bm->pitch = static_cast<ptrdiff_t>(geometry_.pitch);
        bm->offset = static_cast<ptrdiff_t>(geometry_.offset);
    }
    const Rows& rows() const { return rows_; }
    bool unchanged() const { return filled_.empty() || std::memcmp(low_, filled_.data(), filled_.size()) == 0; }
    // Bytes between the rows (a pitch wider than the row) as they were filled.
    bool gapsUnchanged() const {
        const int64_t step = rows_.pitch < 0 ? -rows_.pitch : rows_.pitch;
        if (rows_.bytes >= step) return true;
        for (int64_t k = 0; k + 1 < rows_.count; ++k) {
            const int64_t gap = k * step + rows_.bytes;
            if (std::memcmp(low_ + gap, filled_.data() + gap, static_cast<std::size_t>(step - rows_.bytes)) != 0)
                return false;
        }
        return true;
    }
    // Row r (0 is the first row the host means) as it is now.
    const uint8_t* row(int64_t r) const { return firstRow() + r * rows_.pitch; }
    // Row r as it was filled.
    const uint8_t* filledRow(int64_t r) const { return filled_.data() + (row(r) - low_); }

private:
    uint8_t* firstRow() const {
        return rows_.pitch < 0 ? low_ + -rows_.pitch * (rows_.count - 1) : low_;
    }
    static uint8_t* pageStart(uint8_t* p) {
        const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        return reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(p) / page * page);
    }
    static uint8_t* pageEnd(uint8_t* p) {
        const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + page - 1) / page * page);
    }

    Geometry geometry_;
    Rows rows_;
    uint8_t* mapping_ = nullptr;
    std::size_t mappingBytes_ = 0;
    uint8_t* low_ = nullptr;
    std::vector<uint8_t> filled_;
};

// Frames of depths the module does not filter are copied through: each row the
// two bitmaps share holds the source row's first bytes, as many as both rows
// and both pitches hold (rows closer than their width get a pitch's worth).
inline bool RowsCopiedThrough(const GuardedBitmap& in, const GuardedBitmap& out) {
    const Rows& from = in.rows();
    const Rows& to = out.rows();
    const auto magnitude = [](int64_t pitch) { return pitch < 0 ? -pitch : pitch; };
    const int64_t bytes = std::min({from.bytes, to.bytes, magnitude(from.pitch), magnitude(to.pitch)});
    for (int64_t r = 0; r < std::min(from.count, to.count); ++r) {
        if (std::memcmp(out.row(r), in.row(r), static_cast<std::size_t>(bytes)) != 0) return false;
    }
    return true;
}

// One frame through the run callback with both bitmaps guarded. False when the
// module changed a destination it had to leave alone (either bitmap without
// rows), changed the bytes between its rows, or failed the caller's own check
// of the two bitmaps afterwards. A fault ends the process.
inline bool RunGuarded(FilterRunProc run, FilterActivation* fa, const FilterFunctions* ff,
                       const Geometry& src, const Geometry& dst, uint32_t seed,
                       const std::function<bool(const GuardedBitmap&, const GuardedBitmap&)>& check = {}) {
    GuardedBitmap in(src, seed);
    GuardedBitmap out(dst, seed + 1);
    if (!in.mapped() || !out.mapped()) return true;
    in.makeReadOnly();
    in.describe(fa->src);
    out.describe(fa->dst);
    run(fa, ff);
    if (in.rows().count == 0 || out.rows().count == 0) return out.unchanged();
    return out.gapsUnchanged() && (!check || check(in, out));
}

}  // namespace hostile
