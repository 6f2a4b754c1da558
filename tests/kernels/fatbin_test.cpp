// The embedded device binary: which GPUs and drivers it serves, read from its
// own headers by the product's fat-binary reader. QUELMAR_DEVICE_COVERAGE says
// what the build meant to make (see kernels/CMakeLists.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/fatbin_image.h"
#include "kernels/common.h"
#include "kernels/fatbin.h"
#include "kernels/launch_geometry.h"
#include "kernels/params.h"

namespace {

using fatbin::Image;
using fatbin::Kind;
using fatbin::Version;

struct Expected {
    std::vector<int> sassArchs;  // machine code, in container order
    Version sassToolkit;         // the ptxas release that made it
    int ptxTarget;
    Version ptxRelease;          // the release whose ISA the PTX states
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

std::vector<Image> embeddedImages() {
    std::vector<Image> images;
    EXPECT_TRUE(fatbin::ReadImages(quelmarFatbin, quelmarFatbinSize, &images));
    return images;
}

TEST(EmbeddedFatbin, MachineCodeForEachGenerationAndPtxForLaterOnes) {
    ASSERT_GT(quelmarFatbinSize, 0u) << "the build embedded no device code (nvcc missing?)";
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(quelmarFatbin) % 8, 0u);
    const Expected want = expectedImages();
    const std::vector<Image> images = embeddedImages();
    std::vector<int> sass;
    int ptxImages = 0;
    for (const Image& i : images) {
        EXPECT_FALSE(i.compressed) << "arch " << i.arch << ": every driver and our reader read it plain";
        if (i.kind == Kind::Sass) {
            sass.push_back(i.arch);
            EXPECT_EQ(i.toolkit, want.sassToolkit) << "sm_" << i.arch << " made by "
                                                   << i.toolkit.major << "." << i.toolkit.minor;
        } else {
            ASSERT_EQ(i.kind, Kind::Ptx);
            ++ptxImages;
            EXPECT_EQ(i.arch, want.ptxTarget);
            EXPECT_EQ(i.ptxTarget, want.ptxTarget) << "the text's .target";
            EXPECT_EQ(i.toolkit, want.ptxRelease)
                << "ISA " << i.ptxIsa.major << "." << i.ptxIsa.minor;
            EXPECT_EQ(i.entryVersion, i.ptxIsa) << "container and text agree on the ISA";
            EXPECT_NE(i.jitOptions.find("--fmad=false"), std::string_view::npos)
                << "the driver's compiler must not contract either: " << i.jitOptions;
        }
    }
    EXPECT_EQ(sass, want.sassArchs);
    EXPECT_EQ(ptxImages, 1);
}

// Each image defines the three kernels with exactly the parameters the
// backend's launches pass (device.h), so an argument array built from those
// declarations fits every image.
TEST(EmbeddedFatbin, EveryImageDeclaresTheLaunchedParameters) {
    ASSERT_GT(quelmarFatbinSize, 0u);
    const std::size_t ptr = sizeof(void*), i32 = sizeof(int);
    const struct {
        const char* name;
        std::vector<std::size_t> sizes;
        std::size_t staticShared;  // at least
    } kernels[] = {
        {"kEstimateMV16", {ptr, ptr, i32, i32, i32, sizeof(int2*), i32, i32, i32, i32}, 0},
        {"kProcess",
         {ptr, ptr, ptr, ptr, sizeof(int2*), sizeof(int2*), i32, ptr, i32, i32, i32, sizeof(CudaNRParams)},
         0},
        {"kProfileAuto", {ptr, i32, i32, i32, i32, sizeof(double*), sizeof(double*)}, qnr::kProfileStaticSharedBytes},
    };
    for (const Image& image : embeddedImages()) {
        for (const auto& k : kernels) {
            fatbin::KernelLayout layout;
            ASSERT_TRUE(fatbin::ReadKernelLayout(image, k.name, &layout)) << k.name << " in " << image.arch;
            std::vector<std::size_t> sizes;
            for (const fatbin::KernelParam& p : layout.params) sizes.push_back(p.size);
            EXPECT_EQ(sizes, k.sizes) << k.name << " in " << image.arch;
            EXPECT_GE(layout.staticSharedBytes, k.staticShared) << k.name;
        }
    }
}

TEST(EmbeddedFatbin, TruncatedOrCorruptedContainersAreRefused) {
    ASSERT_GT(quelmarFatbinSize, 64u);
    std::vector<Image> images;
    EXPECT_FALSE(fatbin::ReadImages(quelmarFatbin, quelmarFatbinSize / 2, &images));
    EXPECT_TRUE(images.empty());
    std::vector<unsigned char> broken(quelmarFatbin, quelmarFatbin + quelmarFatbinSize);
    broken[0] ^= 1;
    EXPECT_FALSE(fatbin::ReadImages(broken.data(), broken.size(), &images));
}

}  // namespace
