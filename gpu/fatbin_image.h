// Reads a CUDA fat binary: the container nvcc's fatbinary writes, holding
// machine code (an ELF "cubin" per architecture) and PTX for the driver to
// compile. For each image it says what a GPU and a driver need to load it, and
// which toolkit made it. Every read is bounds-checked: malformed input is
// refused, never trusted.
#pragma once
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace fatbin {

enum class Kind { Sass, Ptx, Other };

// A release or ISA version such as 12.8 or 8.7; 0.0 when unknown.
struct Version {
    int major = 0;
    int minor = 0;
    friend auto operator<=>(const Version&, const Version&) = default;
};

struct Image {
    Kind kind = Kind::Other;
    // The architecture the entry is for, as 10 * major + minor (60 for sm_60,
    // 120 for sm_120); for PTX, its virtual architecture.
    int arch = 0;
    // What the container records: the PTX ISA for PTX, the ELF ABI for machine code.
    Version entryVersion;
    bool compressed = false;       // the payload is compressed; it is not read here
    std::string_view jitOptions;   // PTX: options the driver compiles it with
    std::span<const unsigned char> payload;  // empty when compressed

    // Read from an uncompressed payload (0 / 0.0 when absent):
    Version ptxIsa;   // PTX: its .version
    int ptxTarget = 0;  // PTX: its .target, as arch above
    // The CUDA release the image was made for: machine code records the one
    // its ptxas belonged to; PTX carries no maker (fatbinary strips comments),
    // so for PTX this is the release of its ISA version.
    Version toolkit;
};

// The CUDA release that introduced a PTX ISA version (12.8 for 8.7); 0.0 for
// versions it does not know. A driver compiles PTX up to its own release's ISA.
Version ReleaseOfPtxIsa(Version isa);

// What an image asks of a GPU and a driver:
// machine code for sm_XY runs on GPUs of major X and minor Y or above;
bool MachineCodeRunsOn(const Image& image, int arch);
// PTX for compute_XY is compiled for GPUs of architecture XY or above;
bool PtxServes(const Image& image, int arch);
// and a driver takes images its own CUDA release (or an older one) made.
bool MadeForRelease(const Image& image, Version driverRelease);

// The whole size of the container at data as its header gives it (a driver
// handed only a pointer sizes the image so); 0 when data does not start with
// a fat binary's header. The 16 bytes of the header must be readable.
std::size_t ContainerSize(const void* data);

// The images of the one container at data, in order. False when the container
// or any entry header is malformed or runs past size.
bool ReadImages(const void* data, std::size_t size, std::vector<Image>* images);

// A kernel's parameters and static shared memory, as the compiled image
// declares them (machine code: its parameter metadata; PTX: the entry).
struct KernelParam {
    std::size_t offset = 0;
    std::size_t size = 0;
};
struct KernelLayout {
    std::vector<KernelParam> params;  // in parameter order
    std::size_t staticSharedBytes = 0;
};

// False when the image does not define the kernel or its declaration cannot be read.
bool ReadKernelLayout(const Image& image, std::string_view kernel, KernelLayout* layout);

}  // namespace fatbin
