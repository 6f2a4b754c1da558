// Reads the device images a driver is handed: a cubin (an ELF file ptxas
// wrote) or PTX text. For each it says the architecture it is for, which CUDA
// release made it and, for PTX, its ISA; for a kernel, its parameters and
// static shared memory. Every read is bounds-checked: malformed input is
// refused, never trusted. Tests only: the simulated driver's view of an image,
// and the checks of what the build embeds.
#pragma once
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace deviceimage {

// A release or ISA version such as 12.8 or 8.7; 0.0 when unknown.
struct Version {
    int major = 0;
    int minor = 0;
    friend auto operator<=>(const Version&, const Version&) = default;
};

enum class Kind { Cubin, Ptx };

struct Image {
    Kind kind = Kind::Cubin;
    // 10 * major + minor: the cubin's sm_XY, or the PTX's .target sm_XY.
    int arch = 0;
    // Cubin: the release of the ptxas that made it. PTX: the release that
    // introduced its ISA (PTX records no maker).
    Version toolkit;
    Version ptxIsa;  // PTX: its .version; 0.0 for a cubin
    // The image: the whole ELF file, or the PTX text without its NUL.
    std::span<const unsigned char> bytes;
};

// What the bytes at data begin as. Reads no byte past the first that tells,
// so a short NUL-terminated string is never overrun.
enum class Format { Cubin, Ptx, FatBinary, Other };
Format Identify(const void* data);

// The size of the image at data as a driver handed only a pointer sizes it:
// a cubin from its ELF headers (the header tables and every section and
// segment they place), PTX up to its NUL (not counted). 0 when data is null,
// neither, or its headers are malformed. A cubin's 64-byte ELF header must
// be readable, as for a driver.
std::size_t ImageSize(const void* data);

// Reads the one image that bytes begin with: a cubin whose headers place
// everything inside bytes, or PTX text ending at its first NUL or at the end
// of bytes. False (and *image untouched) when it is neither or is malformed:
// a cubin for an unknown ELF ABI, without the release of its maker, or whose
// tables run out of bytes; PTX with bytes that are not text, or without its
// .version and .target.
bool ReadImage(std::span<const unsigned char> bytes, Image* image);

// The CUDA release that introduced a PTX ISA version (12.8 for 8.7); 0.0 for
// versions it does not know.
Version ReleaseOfPtxIsa(Version isa);

// A kernel's parameters and static shared memory, as the image declares them
// (cubin: its parameter metadata and shared section; PTX: the entry).
struct KernelParam {
    std::size_t offset = 0;
    std::size_t size = 0;
};
struct KernelLayout {
    std::vector<KernelParam> params;  // in parameter order
    std::size_t staticSharedBytes = 0;
};

// False, with *layout empty, when the image does not define the kernel or
// its declaration cannot be read.
bool ReadKernelLayout(const Image& image, std::string_view kernel, KernelLayout* layout);

}  // namespace deviceimage
