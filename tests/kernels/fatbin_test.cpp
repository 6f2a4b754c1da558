// The embedded device binary must carry machine code for sm_120 and PTX for
// compute_120 (plus the older generations). Read from the fat binary's own
// headers: a container header, then one header per image.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "kernels/fatbin.h"

namespace {

constexpr std::uint32_t kMagic = 0xBA55ED50u;
constexpr std::uint16_t kKindPtx = 1, kKindElf = 2;

template <class T>
T read(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct Image {
    std::uint16_t kind;
    std::uint32_t arch;
};

// Parses the images of the fat binary; false when the container is malformed.
bool parseImages(const unsigned char* data, std::size_t size, std::vector<Image>& images) {
    if (size < 16 || read<std::uint32_t>(data) != kMagic) return false;
    const std::uint16_t headerSize = read<std::uint16_t>(data + 6);
    const std::uint64_t bodySize = read<std::uint64_t>(data + 8);
    if (headerSize < 16 || bodySize > size - headerSize) return false;
    std::size_t at = headerSize;
    const std::size_t end = headerSize + bodySize;
    while (at < end) {
        if (end - at < 32) return false;
        const unsigned char* e = data + at;
        const std::uint32_t entryHeader = read<std::uint32_t>(e + 4);
        const std::uint64_t payload = read<std::uint64_t>(e + 8);
        if (entryHeader < 32 || entryHeader > end - at || payload > end - at - entryHeader) return false;
        images.push_back(Image{read<std::uint16_t>(e), read<std::uint32_t>(e + 28)});
        at += entryHeader + payload;
    }
    return at == end;
}

TEST(EmbeddedFatbin, HoldsSm120CodeAndCompute120Ptx) {
    ASSERT_GT(quelmarFatbinSize, 0u) << "the build embedded no device code (nvcc missing?)";
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(quelmarFatbin) % 8, 0u);
    std::vector<Image> images;
    ASSERT_TRUE(parseImages(quelmarFatbin, quelmarFatbinSize, images));
    std::set<std::pair<int, unsigned>> found;
    for (const Image& i : images) found.insert({i.kind, i.arch});
    EXPECT_TRUE(found.count({kKindElf, 120})) << "no sm_120 machine code";
    EXPECT_TRUE(found.count({kKindPtx, 120})) << "no compute_120 PTX";
    for (unsigned arch : {75u, 86u, 89u, 90u}) EXPECT_TRUE(found.count({kKindElf, arch})) << "no sm_" << arch;
}

TEST(EmbeddedFatbin, NamesTheThreeEntryPoints) {
    ASSERT_GT(quelmarFatbinSize, 0u);
    const auto* begin = quelmarFatbin;
    const auto* end = quelmarFatbin + quelmarFatbinSize;
    for (const char* name : {"kProcess", "kEstimateMV16", "kProfileAuto"}) {
        const std::size_t n = std::strlen(name) + 1;  // with the terminating NUL of the symbol table
        EXPECT_NE(std::search(begin, end, name, name + n), end) << name;
    }
}

TEST(EmbeddedFatbin, RejectsTruncatedContainers) {
    ASSERT_GT(quelmarFatbinSize, 64u);
    std::vector<Image> images;
    EXPECT_FALSE(parseImages(quelmarFatbin, quelmarFatbinSize / 2, images));
    std::vector<unsigned char> broken(quelmarFatbin, quelmarFatbin + quelmarFatbinSize);
    broken[0] ^= 1;
    EXPECT_FALSE(parseImages(broken.data(), broken.size(), images));
}

}  // namespace
