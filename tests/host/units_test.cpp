// The pure pieces of the run procedure: colour conversions, row copies,
// staging buffers, defaults, the settings and the page allocator.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "host/filter_data.h"
#include "host/settings.h"
#include "host/staging.h"
#include "host/yuy2.h"
#include "platform/virtual_memory.h"
#include "tests/platform/virtual_memory_testing.h"
#include "tests/support/bytes.h"

namespace {

using qtest::GuardedBuffer;
using qtest::NoiseBytes;

std::array<uint8_t, 4> ToYUY2Pair(std::array<uint8_t, 8> bgra2) {
    std::array<uint8_t, 4> out{};
    ConvertBGRAToYUY2(bgra2.data(), 8, out.data(), 4, 2, 1);
    return out;
}

std::array<uint8_t, 8> ToBGRA2(std::array<uint8_t, 4> pair) {
    std::array<uint8_t, 8> out{};
    ConvertYUY2ToBGRA(pair.data(), 4, out.data(), 8, 2, 1);
    return out;
}

TEST(ColourConversion, ReferenceColoursBothWays) {
    // white, black, grey 128; the shifts floor negative values (red's chroma).
    EXPECT_EQ(ToYUY2Pair({255, 255, 255, 0, 255, 255, 255, 7}), (std::array<uint8_t, 4>{235, 128, 235, 128}));
    EXPECT_EQ(ToYUY2Pair({0, 0, 0, 9, 0, 0, 0, 9}), (std::array<uint8_t, 4>{16, 128, 16, 128}));
    EXPECT_EQ(ToYUY2Pair({128, 128, 128, 1, 128, 128, 128, 1}), (std::array<uint8_t, 4>{126, 128, 126, 128}));
    EXPECT_EQ(ToYUY2Pair({0, 0, 255, 0, 0, 0, 255, 0}), (std::array<uint8_t, 4>{82, 90, 82, 240}));

    EXPECT_EQ(ToBGRA2({235, 128, 235, 128}), (std::array<uint8_t, 8>{255, 255, 255, 255, 255, 255, 255, 255}));
    EXPECT_EQ(ToBGRA2({16, 128, 16, 128}), (std::array<uint8_t, 8>{0, 0, 0, 255, 0, 0, 0, 255}));
    EXPECT_EQ(ToBGRA2({126, 128, 126, 128}), (std::array<uint8_t, 8>{128, 128, 128, 255, 128, 128, 128, 255}));
    EXPECT_EQ(ToBGRA2({82, 90, 82, 240}), (std::array<uint8_t, 8>{0, 1, 255, 255, 0, 1, 255, 255}));
    // Luma below 16 is black, not a wrapped or negative value.
    EXPECT_EQ(ToBGRA2({3, 128, 15, 128}), (std::array<uint8_t, 8>{0, 0, 0, 255, 0, 0, 0, 255}));
    // ...so only the chroma adds: V 255 gives red (409 * 127 + 128) >> 8 = 203.
    EXPECT_EQ(ToBGRA2({0, 128, 8, 255}), (std::array<uint8_t, 8>{0, 0, 203, 255, 0, 0, 203, 255}));
}

TEST(ColourConversion, PairsShareTheMeanChroma) {
    // Blue alone has U 240, V 110; red alone U 90, V 240 (less 128: 112 and
    // -18, -38 and 112). In one pair each keeps its luma and both get the mean
    // chroma, floored: U (112 - 38) / 2 + 128 = 165, V (-18 + 112) / 2 + 128 = 175.
    EXPECT_EQ(ToYUY2Pair({255, 0, 0, 0, 255, 0, 0, 0}), (std::array<uint8_t, 4>{41, 240, 41, 110}));
    EXPECT_EQ(ToYUY2Pair({0, 0, 255, 0, 0, 0, 255, 0}), (std::array<uint8_t, 4>{82, 90, 82, 240}));
    EXPECT_EQ(ToYUY2Pair({255, 0, 0, 0, 0, 0, 255, 0}), (std::array<uint8_t, 4>{41, 165, 82, 175}));
    // Odd sums floor: red 20 (U -3, V 9) beside black: U 126.5 and V 132.5 give 126 and 132.
    EXPECT_EQ(ToYUY2Pair({0, 0, 20, 0, 0, 0, 0, 0}), (std::array<uint8_t, 4>{21, 126, 16, 132}));
}

TEST(ColourConversion, OddWidthStaysInsideEachRow) {
    // Width 3, two rows: YUY2 rows of 8 bytes, BGRA rows of 12, packed back to back.
    GuardedBuffer yuy2(16);
    GuardedBuffer bgra(24);
    const uint8_t src[24] = {10, 20, 30, 0, 40, 50, 60, 0, 200, 100, 50, 0,
                             0, 0, 0, 0, 255, 255, 255, 0, 128, 128, 128, 0};
    std::memcpy(bgra.data(), src, sizeof src);
    ConvertBGRAToYUY2(bgra.data(), 12, yuy2.data(), 8, 3, 2);
    EXPECT_TRUE(yuy2.guardsIntact());
    // The last pair's missing pixel is its first repeated: Y1 = Y0 and the
    // chroma is that pixel's own.
    const auto lone = ToYUY2Pair({200, 100, 50, 0, 200, 100, 50, 0});
    EXPECT_EQ(std::vector<uint8_t>(yuy2.data() + 4, yuy2.data() + 8),
              std::vector<uint8_t>(lone.begin(), lone.end()));
    const auto grey = ToYUY2Pair({128, 128, 128, 0, 128, 128, 128, 0});
    EXPECT_EQ(std::vector<uint8_t>(yuy2.data() + 12, yuy2.data() + 16),
              std::vector<uint8_t>(grey.begin(), grey.end()));

    GuardedBuffer back(24);
    ConvertYUY2ToBGRA(yuy2.data(), 8, back.data(), 12, 3, 2);
    EXPECT_TRUE(back.guardsIntact());
    EXPECT_EQ(back.data()[12 + 11], 255);  // last pixel of row 1 written, alpha 255
    EXPECT_EQ(back.data()[20], 128);
}

TEST(ColourConversion, NegativePitchesWalkRowsBackwards) {
    // Two rows of one pair; the source's first row is its last in memory.
    uint8_t yuy2[8] = {16, 128, 16, 128, 235, 128, 235, 128};
    uint8_t bgra[16] = {};
    ConvertYUY2ToBGRA(yuy2 + 4, -4, bgra, 8, 2, 2);
    EXPECT_EQ(bgra[0], 255);  // white first
    EXPECT_EQ(bgra[8], 0);    // then black
    uint8_t round[8] = {};
    ConvertBGRAToYUY2(bgra + 8, -8, round, 4, 2, 2);
    EXPECT_EQ(round[0], 16);
    EXPECT_EQ(round[4], 235);
}

TEST(CopyRows, SignedPitchesAndEmptyCounts) {
    const uint8_t src[12] = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
    uint8_t dst[9] = {};
    CopyRows(src + 8, -4, dst, 3, 3, 3);  // bottom-up source into packed rows
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 9), (std::vector<uint8_t>{7, 8, 9, 4, 5, 6, 1, 2, 3}));
    uint8_t untouched[4] = {42, 42, 42, 42};
    CopyRows(src, 4, untouched, 4, 4, 0);
    CopyRows(src, 4, untouched, 4, 4, -3);
    EXPECT_EQ(untouched[0], 42);
}

// Frames large enough to be split over the worker pool give, row for row,
// what one row at a time gives (one-row calls are never split).
TEST(LargeFrames, CopiesAndConversionsMatchRowByRow) {
    constexpr int kWidth = 1001, kRows = 700;  // odd width, about 2.8 MB of BGRA
    constexpr ptrdiff_t kBgraPitch = kWidth * 4 + 12, kYuy2Pitch = YUY2RowBytes(kWidth) + 8;
    const std::vector<uint8_t> bgra = NoiseBytes(kBgraPitch * kRows, 1);
    const std::vector<uint8_t> yuy2 = NoiseBytes(kYuy2Pitch * kRows, 2);
    const uint8_t* bgraLast = bgra.data() + kBgraPitch * (kRows - 1);  // walked bottom-up
    std::vector<uint8_t> whole(kBgraPitch * kRows), rowByRow(whole.size());

    CopyRows(bgraLast, -kBgraPitch, whole.data(), kBgraPitch, kWidth * 4, kRows);
    for (int r = 0; r < kRows; ++r)
        CopyRows(bgraLast - r * kBgraPitch, -kBgraPitch, rowByRow.data() + r * kBgraPitch, kBgraPitch, kWidth * 4, 1);
    EXPECT_EQ(whole, rowByRow);

    ConvertYUY2ToBGRA(yuy2.data(), kYuy2Pitch, whole.data(), kBgraPitch, kWidth, kRows);
    for (int r = 0; r < kRows; ++r)
        ConvertYUY2ToBGRA(yuy2.data() + r * kYuy2Pitch, kYuy2Pitch, rowByRow.data() + r * kBgraPitch, kBgraPitch,
                          kWidth, 1);
    EXPECT_EQ(whole, rowByRow);

    std::vector<uint8_t> packed(yuy2.size()), packedRowByRow(yuy2.size());
    ConvertBGRAToYUY2(bgraLast, -kBgraPitch, packed.data(), kYuy2Pitch, kWidth, kRows);
    for (int r = 0; r < kRows; ++r)
        ConvertBGRAToYUY2(bgraLast - r * kBgraPitch, -kBgraPitch, packedRowByRow.data() + r * kYuy2Pitch,
                          kYuy2Pitch, kWidth, 1);
    EXPECT_EQ(packed, packedRowByRow);
}

TEST(LargeFrames, OverlappingCopyKeepsRowOrder) {
    // Each row onto the next within one buffer: in row order every row ends
    // up as the first one, which only a single pass top-down gives.
    constexpr ptrdiff_t kPitch = 4096;
    constexpr int kRows = 600;
    std::vector<uint8_t> buffer = NoiseBytes(kPitch * (kRows + 1), 3);
    const std::vector<uint8_t> firstRow(buffer.begin(), buffer.begin() + kPitch);
    CopyRows(buffer.data(), kPitch, buffer.data() + kPitch, kPitch, kPitch, kRows);
    for (int r = 0; r <= kRows; ++r)
        ASSERT_TRUE(std::equal(firstRow.begin(), firstRow.end(), buffer.begin() + r * kPitch)) << r;
}

struct Staging {
    uint8_t* buffer = nullptr;
    int32_t pitch = 0, width = 0, height = 0;
    bool ensure(int w, int h) { return EnsureStagingBuffer(&buffer, &pitch, &width, &height, w, h); }
    ~Staging() { ReleaseStagingBuffer(&buffer); }
};

TEST(StagingBuffer, ReusedWhileTheSizeHoldsReplacedWhenItChanges) {
    platform::memtest::reset();
    const int live = platform::memtest::liveBlocks();
    Staging s;
    ASSERT_TRUE(s.ensure(5, 3));
    EXPECT_EQ(s.pitch, 20);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(s.buffer[i], 0) << "pages are zero-filled";
    uint8_t* first = s.buffer;
    ASSERT_TRUE(s.ensure(5, 3));
    EXPECT_EQ(s.buffer, first);
    EXPECT_EQ(platform::memtest::allocationCount(), 1);

    s.pitch = 24;  // a pitch that is not w x 4 is not reused
    ASSERT_TRUE(s.ensure(5, 3));
    EXPECT_EQ(s.pitch, 20);
    ASSERT_TRUE(s.ensure(7, 3));
    EXPECT_EQ(s.width, 7);
    ASSERT_TRUE(s.ensure(7, 4));  // taller only
    EXPECT_EQ(s.height, 4);
    ASSERT_TRUE(s.ensure(7, 2));  // shorter only
    EXPECT_EQ(s.height, 2);
    EXPECT_EQ(platform::memtest::allocationCount(), 5);
    EXPECT_EQ(platform::memtest::liveBlocks(), live + 1);
}

TEST(StagingBuffer, FailureRecordsTheSizeAndRetries) {
    Staging s;
    ASSERT_TRUE(s.ensure(4, 4));
    platform::memtest::failNthAllocation(1);
    EXPECT_FALSE(s.ensure(8, 2));
    EXPECT_EQ(s.buffer, nullptr);
    EXPECT_EQ(s.width, 8);
    EXPECT_EQ(s.height, 2);
    EXPECT_EQ(s.pitch, 32);
    EXPECT_TRUE(s.ensure(8, 2));
    EXPECT_NE(s.buffer, nullptr);
    platform::memtest::reset();
}

TEST(StagingBuffer, EmptyAndOverflowingSizesChangeNothing) {
    Staging s;
    ASSERT_TRUE(s.ensure(2, 2));
    uint8_t* kept = s.buffer;
    EXPECT_FALSE(s.ensure(0, 2));
    EXPECT_FALSE(s.ensure(2, -1));
    EXPECT_FALSE(s.ensure(kMaxStagingWidth + 1, 1));  // w x 4 would overflow 32 bits
    EXPECT_EQ(s.buffer, kept);
    EXPECT_EQ(s.width, 2);
    EXPECT_EQ(s.pitch, 8);
}

// The widest row that fits a 32-bit pitch is taken: its sizes are recorded
// (the allocation is made to fail, sparing 2 GiB) and it fits once in place.
TEST(StagingBuffer, TheWidestRowIsTaken) {
    Staging s;
    platform::memtest::failNthAllocation(1);
    EXPECT_FALSE(s.ensure(kMaxStagingWidth, 1));
    platform::memtest::reset();
    EXPECT_EQ(s.buffer, nullptr);
    EXPECT_EQ(s.width, kMaxStagingWidth);
    EXPECT_EQ(s.pitch, kMaxStagingWidth * 4);
    uint8_t placeholder = 0;  // never read: fitting compares sizes only
    EXPECT_TRUE(StagingBufferFits(&placeholder, kMaxStagingWidth * 4, kMaxStagingWidth, 1, kMaxStagingWidth, 1));
    EXPECT_FALSE(StagingBufferFits(&placeholder, 0, kMaxStagingWidth + 1, 1, kMaxStagingWidth + 1, 1));
}

TEST(PageAllocator, AlignedZeroedAndReleasedWhole) {
    EXPECT_EQ(platform::AllocatePages(0), nullptr);
    const int live = platform::memtest::liveBlocks();
    auto* p = static_cast<uint8_t*>(platform::AllocatePages(10000));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
    EXPECT_EQ(p[0] | p[9999], 0);
    p[9999] = 1;
    EXPECT_EQ(platform::memtest::liveBlocks(), live + 1);
    platform::ReleasePages(p);
    platform::ReleasePages(nullptr);
    EXPECT_EQ(platform::memtest::liveBlocks(), live);
}

// True while every page of [p, p + bytes) is mapped.
bool Mapped(void* p, std::size_t bytes) {
    std::vector<unsigned char> resident((bytes + 4095) / 4096);
    return mincore(p, bytes, resident.data()) == 0;
}

TEST(PageAllocator, ReleasesOnlyItsOwnBlocksAndEachOnce) {
    // Host memory laid out like a block of ours: a plausible length in the page
    // before the address. Releasing it must leave the host's mapping alone.
    const std::size_t page = 4096;
    void* host = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(host, MAP_FAILED);
    *static_cast<std::size_t*>(host) = 3 * page;
    auto* fake = static_cast<uint8_t*>(host) + page;
    EXPECT_FALSE(platform::ReleasePages(fake));
    EXPECT_TRUE(Mapped(host, 3 * page));

    const int live = platform::memtest::liveBlocks();
    auto* block = static_cast<uint8_t*>(platform::AllocatePages(3 * page));
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(platform::ReleasePages(block + page)) << "an address inside a block";
    EXPECT_TRUE(Mapped(block, 3 * page));
    EXPECT_TRUE(platform::ReleasePages(block));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(Mapped(block + i * page, page)) << "page " << i << " still mapped";
    EXPECT_FALSE(platform::ReleasePages(block)) << "released already";
    EXPECT_EQ(platform::memtest::liveBlocks(), live);
    munmap(host, 3 * page);
}

TEST(Defaults, AppliedOnlyWithoutTheMarker) {
    NRFilterData fd;
    std::memset(&fd, 0x5C, sizeof fd);
    fd.marker = 0;
    auto* stageIn = fd.stageIn;
    EnsureDefaults(&fd);
    EXPECT_EQ(fd.marker, kNRMarker);
    EXPECT_EQ(fd.gpu, nullptr);
    EXPECT_EQ(fd.deviceOrdinal, 0);
    EXPECT_EQ(fd.frameCounter, 0);
    EXPECT_EQ(fd.lastProfiledFrame, kNRNeverProfiled);
    EXPECT_EQ(fd.params.denoise, 1.8f);
    EXPECT_EQ(fd.params.temporal, 0.78f);
    EXPECT_EQ(fd.params.deblock, 1.25f);
    EXPECT_EQ(fd.params.sharpen, 0.08f);
    EXPECT_EQ(fd.params.stabilize, 0.2f);
    EXPECT_EQ(fd.params.sigmaY, 0.0f);
    EXPECT_EQ(fd.autoProfile, 1);
    EXPECT_EQ(fd.showFiltered, 1);
    // Staging fields and dialogOpen belong to others: untouched.
    EXPECT_EQ(fd.stageIn, stageIn);
    EXPECT_EQ(fd.stageOutPitch, 0x5C5C5C5C);
    EXPECT_EQ(fd.dialogOpen, 0x5C5C5C5C);

    NRFilterData marked;
    std::memset(&marked, 0x33, sizeof marked);
    marked.marker = kNRMarker;
    NRFilterData before = marked;
    EnsureDefaults(&marked);
    EXPECT_EQ(std::memcmp(&marked, &before, sizeof marked), 0);
    EnsureDefaults(nullptr);
}

// The snapshot is taken after the schedule, but the dialog or a careless host
// may write between the two: a sigmaY that is not a number is never filtered with.
TEST(Defaults, SnapshotTakesANonFiniteSigmaAsUnknown) {
    NRFilterData fd{};
    NRInitRecord(&fd);
    for (float sigma : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN()}) {
        fd.params.sigmaY = sigma;
        EXPECT_EQ(NRSnapshotParams(&fd).sigmaY, kNRSigmaUnknown) << sigma;
    }
    fd.params.sigmaY = 7.5f;
    EXPECT_EQ(NRSnapshotParams(&fd).sigmaY, 7.5f);
}

// The snapshot is the one place settings are conditioned: every strength is
// brought into 0..maximum, a NaN becomes the recommended value (never 0, which
// would switch the stage off), and the record itself keeps what it held.
TEST(Defaults, SnapshotConditionsEveryStrength) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const NRStrength& s : kNRStrengths) {
        const struct {
            float stored, used;
        } cases[] = {{nan, s.recommended},          {-nan, s.recommended}, {-1.0f, 0.0f}, {-inf, 0.0f},
                     {s.maximum + 1.0f, s.maximum}, {inf, s.maximum},      {0.5f * s.maximum, 0.5f * s.maximum}};
        for (const auto& c : cases) {
            NRFilterData fd{};
            NRInitRecord(&fd);
            fd.params.*s.field = c.stored;
            const CudaNRParams p = NRSnapshotParams(&fd);
            EXPECT_EQ(p.*s.field, c.used) << s.name << " " << c.stored;
            for (const NRStrength& other : kNRStrengths) {
                if (other.field != s.field) {
                    EXPECT_EQ(p.*other.field, other.recommended) << s.name;
                }
            }
            EXPECT_EQ(std::memcmp(&(fd.params.*s.field), &c.stored, sizeof c.stored), 0) << s.name;
        }
    }
}

// A new record is a zeroed one with the defaults applied, byte for byte.
TEST(Defaults, InitIsAZeroedRecordWithDefaults) {
    NRFilterData init;
    std::memset(&init, 0xA7, sizeof init);
    NRInitRecord(&init);
    NRFilterData zeroed;
    std::memset(&zeroed, 0, sizeof zeroed);
    EnsureDefaults(&zeroed);
    EXPECT_EQ(std::memcmp(&init, &zeroed, sizeof init), 0);
    EXPECT_EQ(init.marker, kNRMarker);
    EXPECT_EQ(init.lastProfiledFrame, kNRNeverProfiled);
    EXPECT_EQ(init.stageIn, nullptr);
    EXPECT_EQ(init.dialogOpen, 0);
}

// The dialog shows a strength times 100, rounded half to even, and reads
// its number back divided by 100.
TEST(Settings, DialogScaleRoundsHalfToEven) {
    EXPECT_EQ(NRStrengthToDialog(0.78f), 78);
    EXPECT_EQ(NRStrengthToDialog(0.125f), 12);
    EXPECT_EQ(NRStrengthToDialog(0.375f), 38);
    EXPECT_EQ(NRStrengthToDialog(4.0f), 400);
    EXPECT_EQ(NRStrengthFromDialog(78), 0.78f);
    EXPECT_EQ(NRStrengthFromDialog(-5), -0.05f);
}

// The user guide's table of strengths and its word on an unknown noise
// level say what the dialog does.
TEST(Settings, UserGuideAgreesWithTheSettings) {
    std::ifstream file(QUELMAR_USER_GUIDE);
    ASSERT_TRUE(file) << QUELMAR_USER_GUIDE;
    const std::string guide((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const NRStrength& s : kNRStrengths) {
        std::string label = s.name;
        label[0] = static_cast<char>(std::toupper(label[0]));
        std::smatch row;
        ASSERT_TRUE(std::regex_search(guide, row, std::regex("\n  " + label + " +0 - ([0-9]+) +([0-9]+) ")))
            << label;
        EXPECT_EQ(std::stoi(row[1]), NRStrengthToDialog(s.maximum)) << label;
        EXPECT_EQ(std::stoi(row[2]), NRStrengthToDialog(s.recommended)) << label;
    }
    char unknown[16];
    std::snprintf(unknown, sizeof unknown, "%.2f", static_cast<double>(kCudaNRSigmaWithoutProfiling));
    const std::string prose = std::regex_replace(guide, std::regex("\\s+"), " ");
    EXPECT_NE(prose.find(std::string("or ") + unknown + " if nothing was measured yet"), std::string::npos);
}

}  // namespace
