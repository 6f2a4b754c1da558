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

// The images the driver's own rule offers a GPU of compute capability cc
// (10 * major + minor): machine code of its major with the highest minor not
// above its own, tried first, and the PTX of the highest target not above it;
// each an index into the table, -1 when there is none.
struct QuelmarImageChoice {
    int cubin = -1;
    int ptx = -1;
};

inline QuelmarImageChoice QuelmarChooseImages(const QuelmarDeviceImage* images, std::size_t count, int cc) {
    QuelmarImageChoice choice;
    for (std::size_t i = 0; i < count; ++i) {
        const QuelmarDeviceImage& image = images[i];
        const bool cubin = image.kind == kQuelmarCubin;
        if (image.arch > cc || (cubin && image.arch / 10 != cc / 10)) continue;
        int& best = cubin ? choice.cubin : choice.ptx;
        if (best < 0 || image.arch > images[best].arch) best = static_cast<int>(i);
    }
    return choice;
}
