// The fat-binary reader on containers built here byte by byte, laid out as
// fatbinary and ptxas lay them out: what it reads from each kind of image, and
// that no malformed or truncated input is trusted.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/fatbin_image.h"
#include "tests/gpu/fatbin_builder.h"

namespace {

using namespace fatbintest;
using fatbin::Kind;
using fatbin::Version;

const char* const kPtx =
    ".version 8.7\n.target sm_60\n.address_size 64\n\n"
    ".extern .shared .align 16 .b8 dyn[];\n\n"
    ".visible .entry kOther(\n\t.param .u32 kOther_param_0\n)\n{\n\tret;\n}\n"
    ".visible .entry kSum(\n\t.param .u64 kSum_param_0,\n\t.param .u32 kSum_param_1,\n"
    "\t.param .align 4 .b8 kSum_param_2[24],\n\t.param .f64 kSum_param_3\n)\n{\n"
    "\t.shared .align 8 .b8 sums[2048];\n\t{\n\t.reg .b32 temp;\n\t}\n"
    "\t.shared .align 4 .b8 tail[12];\n\tret;\n}\n";

Bytes machineCode(std::uint32_t release) {
    return elf({{".text.kSum", 1, Bytes(32, 0)},
                {".nv.info.kSum", 0x70000000, kernelInfo(release, {{0, 8}, {8, 4}, {12, 24}, {40, 8}})},
                {".nv.shared.kSum", 8, {}, 4096}});
}

Bytes sample() {
    return container({{2, 60, 1, 7, machineCode(128)},
                      {1, 60, 8, 7, text(kPtx, 3), "--fmad=false"},
                      {2, 120, 1, 8, Bytes(40, 0xAB), "", 0x11 | 0x8000}});
}

TEST(FatbinReader, ReadsWhatEachImageNeedsAndWhoMadeIt) {
    const Bytes bytes = sample();
    std::vector<fatbin::Image> images;
    ASSERT_TRUE(fatbin::ReadImages(bytes.data(), bytes.size(), &images));
    ASSERT_EQ(images.size(), 3u);

    EXPECT_EQ(images[0].kind, Kind::Sass);
    EXPECT_EQ(images[0].arch, 60);
    EXPECT_EQ(images[0].entryVersion, (Version{1, 7}));
    EXPECT_EQ(images[0].toolkit, (Version{12, 8}));
    EXPECT_EQ(images[0].payload.size(), machineCode(128).size());

    EXPECT_EQ(images[1].kind, Kind::Ptx);
    EXPECT_EQ(images[1].ptxIsa, (Version{8, 7}));
    EXPECT_EQ(images[1].ptxTarget, 60);
    EXPECT_EQ(images[1].toolkit, (Version{12, 8})) << "the release of its ISA";
    EXPECT_EQ(images[1].jitOptions, "--fmad=false");

    EXPECT_TRUE(images[2].compressed);
    EXPECT_TRUE(images[2].payload.empty()) << "compressed payloads are not handed out";
    EXPECT_EQ(images[2].toolkit, Version{});
}

TEST(FatbinReader, KernelLayoutsFromMachineCodeAndFromPtx) {
    const Bytes bytes = sample();
    std::vector<fatbin::Image> images;
    ASSERT_TRUE(fatbin::ReadImages(bytes.data(), bytes.size(), &images));
    for (int i : {0, 1}) {
        fatbin::KernelLayout layout;
        ASSERT_TRUE(fatbin::ReadKernelLayout(images[i], "kSum", &layout)) << i;
        ASSERT_EQ(layout.params.size(), 4u) << i;
        const std::size_t offsets[] = {0, 8, 12, 40}, sizes[] = {8, 4, 24, 8};
        for (std::size_t p = 0; p < 4; ++p) {
            EXPECT_EQ(layout.params[p].offset, offsets[p]) << i << " param " << p;
            EXPECT_EQ(layout.params[p].size, sizes[p]) << i << " param " << p;
        }
        EXPECT_EQ(layout.staticSharedBytes, i == 0 ? 4096u : 2060u) << "dynamic shared memory not counted";
        EXPECT_FALSE(fatbin::ReadKernelLayout(images[i], "kSu", &layout)) << "names match whole";
        EXPECT_TRUE(layout.params.empty());
    }
    fatbin::KernelLayout other;
    ASSERT_TRUE(fatbin::ReadKernelLayout(images[1], "kOther", &other));
    EXPECT_EQ(other.params.size(), 1u);
    EXPECT_FALSE(fatbin::ReadKernelLayout(images[2], "kSum", &other)) << "compressed";
}

TEST(FatbinReader, RefusesEveryTruncationAndOversizedField) {
    const Bytes good = sample();
    EXPECT_EQ(fatbin::ContainerSize(good.data()), good.size()) << "sized from its header alone";
    EXPECT_EQ(fatbin::ContainerSize(machineCode(128).data()), 0u) << "not a fat binary";
    std::vector<fatbin::Image> images;
    for (std::size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(fatbin::ReadImages(good.data(), n, &images)) << n << " bytes";
        EXPECT_TRUE(images.empty());
    }
    EXPECT_FALSE(fatbin::ReadImages(nullptr, 100, &images));
    const struct {
        std::size_t at;
        std::uint64_t value;
        int bytes;
    } corruptions[] = {
        {0, 0xBA55ED51u, 4},         // magic
        {6, 8, 2},                   // container header shorter than its fields
        {8, 1ull << 62, 8},          // body beyond the data
        {16 + 4, 32, 4},             // entry header shorter than its fields
        {16 + 4, 1u << 30, 4},       // entry header beyond the body
        {16 + 8, 1ull << 40, 8},     // payload beyond the body
        {16 + 8, ~0ull - 10, 8},     // payload size that wraps around
    };
    for (const auto& c : corruptions) {
        Bytes bad = good;
        if (c.bytes == 2) put<std::uint16_t>(bad, c.at, static_cast<std::uint16_t>(c.value));
        if (c.bytes == 4) put<std::uint32_t>(bad, c.at, static_cast<std::uint32_t>(c.value));
        if (c.bytes == 8) put<std::uint64_t>(bad, c.at, c.value);
        EXPECT_FALSE(fatbin::ReadImages(bad.data(), bad.size(), &images)) << "offset " << c.at;
    }
}

// A well-formed container may still carry broken images: their contents are
// then unknown, never guessed, and reading them stays within their bytes.
TEST(FatbinReader, BrokenImagesInsideAGoodContainer) {
    Bytes code = machineCode(130);
    put<std::uint64_t>(code, 0x28, code.size() - 10);  // section headers past the end
    Bytes info = kernelInfo(130, {{0, 8}});
    put<std::uint16_t>(info, 14, 200);                 // a record longer than the section
    const Bytes bytes = container({{2, 75, 1, 8, code},
                                   {2, 80, 1, 8, elf({{".nv.info.kSum", 0x70000000, info}})},
                                   {1, 75, 9, 0, text(".version 9.0\n.target sm_75\n.entry kSum(\n.param .u64 p\n")}});
    std::vector<fatbin::Image> images;
    ASSERT_TRUE(fatbin::ReadImages(bytes.data(), bytes.size(), &images));
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].toolkit, Version{});
    fatbin::KernelLayout layout;
    EXPECT_FALSE(fatbin::ReadKernelLayout(images[0], "kSum", &layout));
    EXPECT_FALSE(fatbin::ReadKernelLayout(images[1], "kSum", &layout));
    EXPECT_EQ(images[2].ptxIsa, (Version{9, 0}));
    EXPECT_EQ(images[2].toolkit, (Version{13, 0}));
    EXPECT_FALSE(fatbin::ReadKernelLayout(images[2], "kSum", &layout)) << "the entry never ends";

    // Every truncation of a machine-code image reads within its bytes.
    const Bytes whole = machineCode(128);
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const Bytes cut = container({{2, 60, 1, 7, Bytes(whole.begin(), whole.begin() + n)}});
        ASSERT_TRUE(fatbin::ReadImages(cut.data(), cut.size(), &images));
        fatbin::ReadKernelLayout(images[0], "kSum", &layout);
    }
}

TEST(FatbinReader, ReleasesOfPtxIsaVersions) {
    EXPECT_EQ(fatbin::ReleaseOfPtxIsa({7, 8}), (Version{11, 8}));
    EXPECT_EQ(fatbin::ReleaseOfPtxIsa({8, 5}), (Version{12, 5}));
    EXPECT_EQ(fatbin::ReleaseOfPtxIsa({8, 6}), (Version{12, 7}));
    EXPECT_EQ(fatbin::ReleaseOfPtxIsa({8, 7}), (Version{12, 8}));
    EXPECT_EQ(fatbin::ReleaseOfPtxIsa({8, 8}), (Version{12, 9}));
    EXPECT_EQ(fatbin::ReleaseOfPtxIsa({9, 0}), (Version{13, 0}));
    EXPECT_EQ(fatbin::ReleaseOfPtxIsa({9, 1}), Version{}) << "unknown: newer than anything known";
    EXPECT_EQ(fatbin::ReleaseOfPtxIsa({6, 4}), Version{});
}

}  // namespace
