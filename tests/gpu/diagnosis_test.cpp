// What the diagnosis says about a GPU from the device binary's images and the
// driver's answer, and what it reports about the CPU device.
#include <gtest/gtest.h>

#include "gpu/device_cpu_testing.h"
#include "gpu/diagnosis.h"

namespace {

using fatbin::Image;
using fatbin::Kind;
using fatbin::Version;

Image sass(int arch, Version toolkit) {
    Image i;
    i.kind = Kind::Sass;
    i.arch = arch;
    i.toolkit = toolkit;
    return i;
}

Image ptx(int target, Version isa) {
    Image i;
    i.kind = Kind::Ptx;
    i.arch = i.ptxTarget = target;
    i.ptxIsa = isa;
    i.toolkit = fatbin::ReleaseOfPtxIsa(isa);
    return i;
}

constexpr int kR560 = 12060, kR570 = 12080, kR580 = 13000;
constexpr int kNoBinary = 209, kUnsupportedPtx = 222, kInvalidPtx = 218, kOutOfMemory = 2;

TEST(Diagnosis, ExplainsWhichImageServesAGpuOrWhyNoneDoes) {
    const std::vector<Image> build = {sass(60, {12, 8}), sass(86, {12, 8}), sass(120, {12, 8}), ptx(60, {8, 7})};
    const std::vector<Image> sassOnly = {sass(86, {12, 8})};
    const struct {
        const std::vector<Image>& images;
        int arch, driver, status;
        const char* says;
    } cases[] = {
        {build, 86, kR570, 0, "machine code for sm_86"},
        {build, 89, kR570, 0, "machine code for sm_86"},
        {build, 61, kR580, 0, "machine code for sm_60"},
        {build, 110, kR580, 0, "PTX for compute_60, compiled by the driver for sm_110"},
        {build, 50, kR580, kNoBinary,
         "no image for sm_50: this build has machine code for sm_60, sm_86, sm_120 and PTX for compute_60 (ISA 8.7)"},
        {build, 86, kR560, kUnsupportedPtx, "driver R560 (CUDA 12.6): this build needs R570 or newer (CUDA 12.8, PTX ISA 8.7)"},
        {sassOnly, 86, kR560, kNoBinary, "driver R560 (CUDA 12.6): this build needs R570 or newer (CUDA 12.8)"},
        {sassOnly, 75, kR580, kNoBinary, "no image for sm_75: this build has machine code for sm_86"},
        {build, 120, 13020, kInvalidPtx, "the driver refused them: CUDA_ERROR_INVALID_PTX"},
        {build, 120, kR580, kOutOfMemory, "the GPU ran out of memory loading them"},
        {{}, 120, kR580, kNoBinary, "this build carries no device code (it was built without nvcc)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(diag::ExplainKernelLoad(c.images, c.arch, c.driver, c.status), c.says)
            << "sm_" << c.arch << ", driver " << c.driver << ", status " << c.status;
    }
    // A release without a known driver branch is named by its CUDA version.
    EXPECT_EQ(diag::ExplainKernelLoad({sass(86, {13, 9})}, 86, 13020, kNoBinary),
              "driver CUDA 13.2: this build needs CUDA 13.9 or newer (CUDA 13.9)");
}

TEST(Diagnosis, TheCpuDeviceRunsTheKernelsOnTheProcessor) {
    dev::cputest::reset();
    dev::cputest::setDeviceCount(1);
    const diag::Report report = diag::Diagnose();
    EXPECT_TRUE(report.filters);
    EXPECT_EQ(diag::FormatReport(report),
              "Driver:  none: the CPU executor runs the kernels\n"
              "GPU 0:   CPU executor\n"
              "         kernels: load (the CPU executor runs them on the processor)\n"
              "         frames:  room for 1920x1080 frames\n");
    EXPECT_EQ(diag::Verdict(report), "filters on the CPU device");

    dev::cputest::setDeviceCount(0);
    const diag::Report none = diag::Diagnose();
    dev::cputest::setDeviceCount(1);
    EXPECT_FALSE(none.filters);
    EXPECT_EQ(diag::Verdict(none), "passes frames through unfiltered: the CPU device reports no device");
}

}  // namespace
