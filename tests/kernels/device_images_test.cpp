// The embedded device images and the table the build writes beside them,
// read as a driver reads each image: which GPUs and drivers each serves, that
// the table says the same, and that every kernel takes what the launches
// pass. QUELMAR_DEVICE_COVERAGE says what the build meant to make (see
// kernels/CMakeLists.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "kernels/common.h"
#include "kernels/device_images.h"
#include "kernels/kernel_args.h"
#include "kernels/launch_geometry.h"
#include "kernels/params.h"
#include "tests/simdriver/device_image_reader.h"

namespace {

using deviceimage::Image;
using deviceimage::Kind;
using deviceimage::Version;

struct Expected {
    std::vector<int> cubinArchs;  // in table order
    Version cubinMaker;           // the ptxas release that made them
    int ptxTarget;
    Version ptxRelease;           // the release whose ISA the PTX states
};

Version release(const char* text) {
    Version v;
    std::sscanf(text, "%d.%d", &v.major, &v.minor);
    return v;
}

Expected expectedImages() {
    const std::string coverage = QUELMAR_DEVICE_COVERAGE;
    if (coverage == "r570") return {{60, 70, 75, 80, 86, 89, 90, 100, 120}, {12, 8}, 60, {12, 8}};
    // nvcc alone: its own release for everything, PTX as it wrote it.
    const Version nvcc = release(QUELMAR_NVCC_RELEASE);
    return {{75, 80, 86, 89, 90, 100, 120}, nvcc, 75, nvcc};
}

int tableRelease(Version v) { return 1000 * v.major + 10 * v.minor; }

std::span<const QuelmarDeviceImage> table() { return {quelmarDeviceImages, quelmarDeviceImageCount}; }

Image readEntry(const QuelmarDeviceImage& entry) {
    Image image;
    EXPECT_TRUE(deviceimage::ReadImage({entry.bytes, entry.size}, &image)) << "arch " << entry.arch;
    return image;
}

TEST(EmbeddedImages, ACubinForEachGenerationAndOnePtxAsTheTableSays) {
    ASSERT_GT(quelmarDeviceImageCount, 0u) << "the build embedded no device code (nvcc missing?)";
    const Expected want = expectedImages();
    std::vector<int> cubins;
    int ptxImages = 0;
    for (const QuelmarDeviceImage& entry : table()) {
        const Image image = readEntry(entry);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(entry.bytes) % 8, 0u) << "arch " << entry.arch;
        EXPECT_EQ(entry.kind == kQuelmarCubin ? Kind::Cubin : Kind::Ptx, image.kind) << "arch " << entry.arch;
        EXPECT_EQ(entry.arch, image.arch) << "the table's architecture is the image's own";
        EXPECT_EQ(entry.toolkit, tableRelease(image.toolkit)) << "arch " << entry.arch;
        EXPECT_EQ(entry.ptxIsa, 10 * image.ptxIsa.major + image.ptxIsa.minor) << "arch " << entry.arch;
        // A driver handed only the pointer reads exactly the blob.
        EXPECT_EQ(deviceimage::ImageSize(entry.bytes), entry.size) << "arch " << entry.arch;
        EXPECT_EQ(image.bytes.size(), entry.size);
        if (image.kind == Kind::Cubin) {
            cubins.push_back(image.arch);
            EXPECT_EQ(image.toolkit, want.cubinMaker)
                << "sm_" << image.arch << " made by " << image.toolkit.major << "." << image.toolkit.minor;
        } else {
            ++ptxImages;
            EXPECT_EQ(entry.bytes[entry.size], 0) << "PTX is a string";
            EXPECT_EQ(image.arch, want.ptxTarget);
            EXPECT_EQ(image.toolkit, want.ptxRelease) << "ISA " << image.ptxIsa.major << "." << image.ptxIsa.minor;
        }
    }
    EXPECT_EQ(cubins, want.cubinArchs);
    EXPECT_EQ(ptxImages, 1);
}

// Each image defines the three kernels with exactly one parameter, the
// argument struct the backends' launches pass (kernels/kernel_args.h), at
// the size and alignment nvcc gave it: a launch's one pointer then hands the
// driver every byte the kernel reads.
TEST(EmbeddedImages, EveryKernelTakesItsOneArgumentStruct) {
    ASSERT_GT(quelmarDeviceImageCount, 0u);
    const struct {
        const char* name;
        std::size_t bytes;
        std::size_t staticShared;  // at least
    } kernels[] = {
        {"kEstimateMV16", sizeof(qnr::MotionArgs), 0},
        {"kProcess", sizeof(qnr::ProcessArgs), 0},
        {"kProfileAuto", sizeof(qnr::ProfileArgs), qnr::kProfileStaticSharedBytes},
    };
    for (const QuelmarDeviceImage& entry : table()) {
        const Image image = readEntry(entry);
        for (const auto& k : kernels) {
            deviceimage::KernelLayout layout;
            ASSERT_TRUE(deviceimage::ReadKernelLayout(image, k.name, &layout)) << k.name << " in " << entry.arch;
            ASSERT_EQ(layout.params.size(), 1u) << k.name << " in " << entry.arch;
            EXPECT_EQ(layout.params[0].offset, 0u) << k.name << " in " << entry.arch;
            EXPECT_EQ(layout.params[0].size, k.bytes) << k.name << " in " << entry.arch;
            EXPECT_GE(layout.staticSharedBytes, k.staticShared) << k.name;
        }
        if (image.kind != Kind::Ptx) continue;
        // The PTX states the alignment the host struct has; a weaker one would
        // let the driver place the pointers where the kernel does not read them.
        const std::string ptx(reinterpret_cast<const char*>(entry.bytes), entry.size);
        for (const auto& k : kernels) {
            const std::string decl = ".param .align 8 .b8 " + std::string(k.name) + "_param_0[" +
                                     std::to_string(k.bytes) + "]";
            EXPECT_NE(ptx.find(decl), std::string::npos) << decl;
        }
    }
}

TEST(EmbeddedImages, TruncatedCubinsAreRefused) {
    for (const QuelmarDeviceImage& entry : table()) {
        if (entry.kind != kQuelmarCubin) continue;
        Image image;
        EXPECT_FALSE(deviceimage::ReadImage({entry.bytes, entry.size - 1}, &image)) << "arch " << entry.arch;
        EXPECT_FALSE(deviceimage::ReadImage({entry.bytes, entry.size / 2}, &image)) << "arch " << entry.arch;
    }
}

#if defined(QUELMAR_CUDA_MODULE)
// The module hands the driver one bare image; it carries no fat-binary
// container, whose newer headers no driver of ours is promised to read.
TEST(EmbeddedImages, TheCudaModuleHoldsNoFatBinaryContainer) {
    std::ifstream file(QUELMAR_CUDA_MODULE, std::ios::binary);
    ASSERT_TRUE(file.is_open()) << QUELMAR_CUDA_MODULE;
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const unsigned char magic[] = {0x50, 0xED, 0x55, 0xBA};
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), std::begin(magic), std::end(magic)), bytes.end());
}
#endif

}  // namespace
