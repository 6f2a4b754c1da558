// What the diagnosis says about a GPU from the table of device images and
// what the backend's load gave.
#include <gtest/gtest.h>

#include <vector>

#include "gpu/diagnosis.h"

namespace {

QuelmarDeviceImage cubin(int arch, int toolkit) { return {kQuelmarCubin, arch, toolkit, 0, nullptr, 0}; }
QuelmarDeviceImage ptx(int target, int isa, int toolkit) { return {kQuelmarPtx, target, toolkit, isa, nullptr, 0}; }

constexpr int kR520 = 11080, kR560 = 12060, kR570 = 12080, kR580 = 13000, kR590 = 13010;
constexpr int kNoBinary = 209, kInvalidImage = 200, kUnsupportedPtx = 222, kOutOfMemory = 2, kUnknown = 999;

dev::KernelLoad loaded(int image) {
    dev::KernelLoad l;
    l.loaded = image;
    return l;
}

// The driver refused what it was handed: the machine code (index c, -1 for
// none) and then the PTX (index p, -1 for none); status is the last answer.
dev::KernelLoad refused(int c, int cStatus, int p, int pStatus, const char* log = "") {
    dev::KernelLoad l;
    l.cubin = c;
    l.cubinStatus = cStatus;
    l.ptx = p;
    l.ptxStatus = pStatus;
    l.status = p >= 0 ? pStatus : c >= 0 ? cStatus : kNoBinary;
    l.jitLog = log;
    return l;
}

TEST(Diagnosis, ExplainsWhichImageLoadedOrWhyNoneDoes) {
    // The pinned build (machine code by ptxas 12.8, PTX ISA 8.7) and the
    // fallback one (everything by CUDA 13.0), cut down.
    const std::vector<QuelmarDeviceImage> pinned = {cubin(60, 12080), cubin(86, 12080), cubin(120, 12080),
                                                    ptx(60, 87, 12080)};
    const std::vector<QuelmarDeviceImage> fallback = {cubin(75, 13000), cubin(86, 13000), cubin(120, 13000),
                                                      ptx(75, 90, 13000)};
    const std::vector<QuelmarDeviceImage> none;
    const struct {
        const std::vector<QuelmarDeviceImage>& images;
        int arch, driver;
        dev::KernelLoad load;
        const char* says;
    } cases[] = {
        {pinned, 89, kR560, loaded(1), "machine code for sm_86"},
        {pinned, 110, kR580, loaded(3), "PTX for compute_60, compiled by the driver for sm_110"},
        {pinned, 120, kR580, [] {
             dev::KernelLoad l = refused(2, kInvalidImage, 3, 0);
             l.loaded = 3;
             return l;
         }(),
         "PTX for compute_60, compiled by the driver for sm_120, the driver having refused machine code for sm_120 "
         "(CUDA_ERROR_INVALID_IMAGE)"},
        // Not tried yet: what the driver's rule takes first.
        {pinned, 61, kR580, {}, "machine code for sm_60"},
        {pinned, 50, kR580, refused(-1, 0, -1, 0),
         "no image for sm_50: this build has machine code for sm_60, sm_86, sm_120 and PTX for compute_60 (ISA 8.7)"},
        {fallback, 61, kR580, refused(-1, 0, -1, 0),
         "no image for sm_61: this build has machine code for sm_75, sm_86, sm_120 and PTX for compute_75 (ISA 9.0)"},
        // Machine code of 12.x loads from R525 on; the PTX needs R570; 13.0's need R580.
        // The driver's own words follow.
        {pinned, 86, kR520, refused(1, kNoBinary, 3, kUnsupportedPtx),
         "driver R520 (CUDA 11.8): this build needs R525 or newer (CUDA 12.0); the driver refused machine code "
         "for sm_86 (CUDA_ERROR_NO_BINARY_FOR_GPU) and PTX for compute_60 (CUDA_ERROR_UNSUPPORTED_PTX_VERSION)"},
        {pinned, 110, kR560,
         refused(-1, 0, 3, kUnsupportedPtx, "ptx input, line 1; fatal : Unsupported .version 8.7\n"),
         "driver R560 (CUDA 12.6): this build needs R570 or newer (CUDA 12.8, PTX ISA 8.7); the driver refused PTX "
         "for compute_60 (CUDA_ERROR_UNSUPPORTED_PTX_VERSION); its JIT compiler says: ptx input, line 1; fatal : "
         "Unsupported .version 8.7"},
        {fallback, 86, kR570, refused(-1, 0, -1, kNoBinary),
         "driver R570 (CUDA 12.8): this build needs R580 or newer (CUDA 13.0, PTX ISA 9.0)"},
        // A driver new enough that refuses anyway, in its own words.
        {pinned, 86, kR560, refused(1, kInvalidImage, 3, kUnsupportedPtx, "line 3: unknown directive\n\nfatal\n"),
         "the driver refused machine code for sm_86 (CUDA_ERROR_INVALID_IMAGE) and PTX for compute_60 "
         "(CUDA_ERROR_UNSUPPORTED_PTX_VERSION); its JIT compiler says: line 3: unknown directive; fatal"},
        {pinned, 110, kR590, refused(-1, 0, 3, kUnknown), "the driver refused PTX for compute_60 (CUDA_ERROR_UNKNOWN)"},
        // A driver that did not say its version is not called too old.
        {fallback, 86, 0, refused(1, kUnknown, -1, 0), "the driver refused machine code for sm_86 (CUDA_ERROR_UNKNOWN)"},
        {pinned, 120, kR580, refused(2, kUnknown, -1, 0),
         "the driver refused machine code for sm_120 (CUDA_ERROR_UNKNOWN)"},
        {pinned, 120, kR580, refused(-1, 0, -1, 0), "the driver refused them: CUDA_ERROR_NO_BINARY_FOR_GPU"},
        {pinned, 120, kR580, refused(2, kOutOfMemory, 3, kOutOfMemory), "the GPU ran out of memory loading them"},
        {none, 120, kR580, refused(-1, 0, -1, 0), "this build carries no device code (it was built without nvcc)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(diag::ExplainKernelLoad(c.images, c.arch, c.driver, c.load), c.says)
            << "sm_" << c.arch << ", driver " << c.driver << ", status " << c.load.status;
    }
    // A release without a known driver branch is named by its CUDA version.
    const std::vector<QuelmarDeviceImage> newer = {cubin(86, 14000)};
    EXPECT_EQ(diag::ExplainKernelLoad(newer, 86, 13020, refused(-1, 0, -1, kNoBinary)),
              "driver CUDA 13.2: this build needs CUDA 14.0 or newer (CUDA 14.0)");
    // An index the table does not hold is never read.
    EXPECT_EQ(diag::ExplainKernelLoad(pinned, 86, kR580, refused(7, kUnknown, -1, 0)),
              "the driver refused them: CUDA_ERROR_UNKNOWN");
}

}  // namespace
