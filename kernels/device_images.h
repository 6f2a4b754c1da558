// The kernels' device images embedded in the module: one blob per image, each
// cubin as ptxas wrote it and the PTX as text, with the table the build writes
// beside them. No fat-binary container: the module picks an image by the
// driver's own rule and hands the driver that one blob. A build without nvcc
// has no images (quelmarDeviceImageCount is 0).
#pragma once
#include <cstddef>

enum QuelmarImageKind : int { kQuelmarCubin = 0, kQuelmarPtx = 1 };

struct QuelmarDeviceImage {
    QuelmarImageKind kind;
    // 10 * major + minor: the cubin's sm_XY, or the PTX's compute_XY target.
    int arch;
    // The CUDA release whose tools made it, 1000 * major + 10 * minor (12080
    // for 12.8), as cuDriverGetVersion counts releases.
    int toolkit;
    // PTX: its ISA version as 10 * major + minor (87 for 8.7); 0 for a cubin.
    int ptxIsa;
    // The image; PTX text is followed by a NUL that size does not count, as
    // the driver takes PTX as a string.
    const unsigned char* bytes;
    std::size_t size;
};

extern "C" const QuelmarDeviceImage quelmarDeviceImages[];
extern "C" const std::size_t quelmarDeviceImageCount;
