// The device-image reader on cubins and PTX built here byte by byte, laid out
// as ptxas and nvcc lay them out: what it reads from each, how a driver handed
// only a pointer sizes it, and that no malformed or truncated input is trusted.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/gpu/device_image_builder.h"
#include "tests/simdriver/device_image_reader.h"

namespace {

using namespace imagetest;
using deviceimage::Format;
using deviceimage::Image;
using deviceimage::Kind;
using deviceimage::Version;

const char* const kPtx =
    "//\n// Generated for a test\n//\n\n.version 8.7\n.target sm_60\n.address_size 64\n\n"
    ".extern .shared .align 16 .b8 dyn[];\n\n"
    ".visible .entry kOther(\n\t.param .u32 kOther_param_0\n)\n{\n\tret;\n}\n"
    ".visible .entry kSum(\n\t.param .u64 kSum_param_0,\n\t.param .u32 kSum_param_1,\n"
    "\t.param .align 4 .b8 kSum_param_2[24],\n\t.param .f64 kSum_param_3\n)\n{\n"
    "\t.shared .align 8 .b8 sums[2048];\n\t{\n\t.reg .b32 temp;\n\t}\n"
    "\t.shared .align 4 .b8 tail[12];\n\tret;\n}\n";

Bytes sumCubin(int arch, std::uint32_t release) {
    return cubin(arch, arch >= 100 ? 8 : 7,
                 {{".text.kSum", 1, Bytes(32, 0)},
                  {".nv.info.kSum", 0x70000000, kernelInfo(release, {{0, 8}, {8, 4}, {12, 24}, {40, 8}})},
                  {".nv.shared.kSum", 8, {}, 4096}});
}

// The description points into bytes, which must outlive it.
Image read(const Bytes& bytes) {
    Image image;
    EXPECT_TRUE(deviceimage::ReadImage(bytes, &image));
    return image;
}

TEST(DeviceImageReader, ReadsEachCubinsArchitectureAndMakerInEitherElfAbi) {
    for (const auto& [arch, release] : {std::pair{60, 128u}, {86, 128u}, {120, 128u}, {75, 130u}, {120, 130u}}) {
        const Bytes bytes = arch == 75 ? cubin(75, 8, {{".nv.info.kSum", 0x70000000, kernelInfo(130, {})}})
                                       : sumCubin(arch, release);
        const Image image = read(bytes);
        EXPECT_EQ(image.kind, Kind::Cubin) << arch;
        EXPECT_EQ(image.arch, arch);
        EXPECT_EQ(image.toolkit, (Version{static_cast<int>(release / 10), static_cast<int>(release % 10)})) << arch;
        EXPECT_EQ(image.ptxIsa, Version{});
        EXPECT_EQ(image.bytes.size(), bytes.size());
        EXPECT_EQ(deviceimage::Identify(bytes.data()), Format::Cubin);
        EXPECT_EQ(deviceimage::ImageSize(bytes.data()), bytes.size()) << "sized from its headers";
    }
}

TEST(DeviceImageReader, ReadsPtxUpToItsNul) {
    Bytes bytes = text(kPtx);
    bytes.insert(bytes.end(), {'j', 'u', 'n', 'k', 0xff});  // past the NUL: not the image's
    EXPECT_EQ(deviceimage::Identify(bytes.data()), Format::Ptx);
    EXPECT_EQ(deviceimage::ImageSize(bytes.data()), std::string(kPtx).size());
    const Image image = read(bytes);
    EXPECT_EQ(image.kind, Kind::Ptx);
    EXPECT_EQ(image.arch, 60);
    EXPECT_EQ(image.ptxIsa, (Version{8, 7}));
    EXPECT_EQ(image.toolkit, (Version{12, 8})) << "the release of its ISA";
    EXPECT_EQ(image.bytes.size(), std::string(kPtx).size());

    // Without a NUL in the buffer, the text ends with it.
    const Bytes bare(kPtx, kPtx + std::string(kPtx).size());
    EXPECT_EQ(read(bare).bytes.size(), bare.size());
}

TEST(DeviceImageReader, KernelLayoutsFromCubinsAndFromPtx) {
    const Bytes code = sumCubin(86, 128);
    const Bytes ptx = text(kPtx);
    for (const Bytes* bytes : {&code, &ptx}) {
        const Image image = read(*bytes);
        deviceimage::KernelLayout layout;
        ASSERT_TRUE(deviceimage::ReadKernelLayout(image, "kSum", &layout));
        ASSERT_EQ(layout.params.size(), 4u);
        const std::size_t offsets[] = {0, 8, 12, 40}, sizes[] = {8, 4, 24, 8};
        for (std::size_t p = 0; p < 4; ++p) {
            EXPECT_EQ(layout.params[p].offset, offsets[p]) << "param " << p;
            EXPECT_EQ(layout.params[p].size, sizes[p]) << "param " << p;
        }
        EXPECT_EQ(layout.staticSharedBytes, bytes == &code ? 4096u : 2060u) << "dynamic shared memory not counted";
        EXPECT_FALSE(deviceimage::ReadKernelLayout(image, "kSu", &layout)) << "names match whole";
        EXPECT_TRUE(layout.params.empty());
    }
    deviceimage::KernelLayout other;
    ASSERT_TRUE(deviceimage::ReadKernelLayout(read(ptx), "kOther", &other));
    EXPECT_EQ(other.params.size(), 1u);
}

TEST(DeviceImageReader, TellsWhatAPointerHoldsWithoutReadingPastAShortString) {
    // Each a NUL-terminated string shorter than any magic: only its bytes are read.
    const char elfStart[] = {0x7f, 'E', 0};
    EXPECT_EQ(deviceimage::Identify(elfStart), Format::Other) << "neither: it does not begin as text";
    const char fatbinStart[] = {0x50, 0};
    EXPECT_EQ(deviceimage::Identify(fatbinStart), Format::Ptx) << "text, though not PTX";
    EXPECT_EQ(deviceimage::Identify(""), Format::Other);
    EXPECT_EQ(deviceimage::Identify(nullptr), Format::Other);
    const unsigned char fatbin[16] = {0x50, 0xED, 0x55, 0xBA, 1, 0, 16, 0};
    EXPECT_EQ(deviceimage::Identify(fatbin), Format::FatBinary);
    EXPECT_EQ(deviceimage::ImageSize(fatbin), 0u);
    Image image;
    EXPECT_FALSE(deviceimage::ReadImage(Bytes(fatbin, fatbin + 16), &image)) << "containers are not read";
    const unsigned char binary[] = {0x01, 0x02, 0x03, 0};
    EXPECT_EQ(deviceimage::Identify(binary), Format::Other);
}

TEST(DeviceImageReader, RefusesEveryTruncationAndBrokenHeader) {
    const Bytes good = sumCubin(120, 128);
    Image image;
    image.arch = -1;
    for (std::size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(deviceimage::ReadImage(Bytes(good.begin(), good.begin() + n), &image)) << n << " bytes";
    }
    EXPECT_EQ(image.arch, -1) << "a refused image leaves the description untouched";
    const struct {
        std::size_t at;
        std::uint64_t value;
        int bytes;
        const char* what;
    } corruptions[] = {
        {4, 1, 1, "a 32-bit ELF"},
        {5, 2, 1, "big-endian"},
        {8, 9, 1, "an ELF ABI after 8"},
        {0x12, 62, 2, "an x86-64 ELF"},
        {0x28, 1ull << 40, 8, "section headers far beyond the file"},
        {0x28, ~0ull - 10, 8, "section headers at an offset that wraps"},
        {0x3a, 40, 2, "section headers of another size"},
        {0x3e, 200, 2, "names in a section that does not exist"},
        {0x20, ~0ull - 100, 8, "program headers at an offset that wraps"},
    };
    for (const auto& c : corruptions) {
        Bytes bad = good;
        if (c.bytes == 1) bad[c.at] = static_cast<unsigned char>(c.value);
        if (c.bytes == 2) put<std::uint16_t>(bad, c.at, static_cast<std::uint16_t>(c.value));
        if (c.bytes == 8) put<std::uint64_t>(bad, c.at, c.value);
        EXPECT_FALSE(deviceimage::ReadImage(bad, &image)) << c.what;
        // Only a header a driver reads has a size; the newer ABI's, so far as it can tell.
        EXPECT_EQ(deviceimage::ImageSize(bad.data()), c.at == 8 ? bad.size() : 0u) << c.what;
    }

    // A section placed past the end of the file, and one whose size wraps.
    std::uint64_t sectionHeaders = 0;
    std::memcpy(&sectionHeaders, good.data() + 0x28, sizeof sectionHeaders);
    for (std::uint64_t size : {std::uint64_t{1} << 20, ~std::uint64_t{0} - 4}) {
        Bytes bad = good;
        put<std::uint64_t>(bad, sectionHeaders + 64 + 0x20, size);  // .text.kSum
        EXPECT_FALSE(deviceimage::ReadImage(bad, &image)) << size;
        if (size < (1u << 31)) {
            EXPECT_EQ(deviceimage::ImageSize(bad.data()), 64 + size) << "a driver would read that far";
        }
    }

    // No maker recorded: the driver could not tell what it needs.
    EXPECT_FALSE(deviceimage::ReadImage(cubin(86, 7, {{".text.kSum", 1, Bytes(32, 0)}}), &image));
}

// A well-formed cubin may still carry broken metadata: reading it stays
// within its bytes and refuses what it cannot read, never guesses.
TEST(DeviceImageReader, BrokenMetadataAndBrokenPtx) {
    Bytes info = kernelInfo(130, {{0, 8}});
    put<std::uint16_t>(info, 14, 200);  // a record longer than the section
    Image image;
    EXPECT_FALSE(deviceimage::ReadImage(cubin(80, 7, {{".nv.info.kSum", 0x70000000, info}}), &image))
        << "its maker's record is unreadable";
    Bytes duplicate = kernelInfo(128, {{0, 8}, {8, 4}});
    put<std::uint16_t>(duplicate, 12 + 16 + 8, 1);  // both parameters claim ordinal 1
    const Bytes twiceBytes = cubin(80, 7, {{".nv.info.kSum", 0x70000000, duplicate}});
    const Image twice = read(twiceBytes);
    deviceimage::KernelLayout layout;
    EXPECT_FALSE(deviceimage::ReadKernelLayout(twice, "kSum", &layout));

    for (const char* bad : {".target sm_60\n.version 8.7\n", "// only a comment\n", ".version 8.7\n\n",
                            ".version eight\n.target sm_60\n", ".version 8.7\n.target compute_60\n",
                            ".version 8.7\n.target sm_60\n\x01\x02"}) {
        EXPECT_FALSE(deviceimage::ReadImage(text(bad), &image)) << bad;
    }
    const Bytes unendedText = text(".version 9.0\n.target sm_75\n.entry kSum(\n.param .u64 p\n");
    const Image unended = read(unendedText);
    EXPECT_EQ(unended.toolkit, (Version{13, 0}));
    EXPECT_FALSE(deviceimage::ReadKernelLayout(unended, "kSum", &layout)) << "the entry never ends";

    // Every truncation of a cubin's metadata section reads within its bytes.
    const Bytes whole = kernelInfo(128, {{0, 8}, {8, 4}});
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const Bytes cut = cubin(86, 7, {{".nv.info.kSum", 0x70000000, Bytes(whole.begin(), whole.begin() + n)}});
        if (deviceimage::ReadImage(cut, &image)) deviceimage::ReadKernelLayout(image, "kSum", &layout);
    }
}

TEST(DeviceImageReader, ReleasesOfPtxIsaVersions) {
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({7, 8}), (Version{11, 8}));
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({8, 5}), (Version{12, 5}));
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({8, 6}), (Version{12, 7}));
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({8, 7}), (Version{12, 8}));
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({8, 8}), (Version{12, 9}));
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({9, 0}), (Version{13, 0}));
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({9, 1}), (Version{13, 1}));
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({9, 2}), Version{}) << "unknown: newer than anything known";
    EXPECT_EQ(deviceimage::ReleaseOfPtxIsa({6, 4}), Version{});
}

}  // namespace
