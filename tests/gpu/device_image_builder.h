// Device images built byte by byte for tests, laid out as ptxas and nvcc lay
// them out: a cubin as an ELF file with the driver's info sections, PTX as
// text.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace imagetest {

using Bytes = std::vector<unsigned char>;

template <typename T>
void put(Bytes& b, std::size_t at, T value) {
    if (b.size() < at + sizeof value) b.resize(at + sizeof value);
    std::memcpy(b.data() + at, &value, sizeof value);
}

// Text with the NUL a driver reads it up to.
inline Bytes text(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

struct ElfSection {
    std::string name;
    std::uint32_t type;  // 1 PROGBITS, 8 NOBITS, 0x70000000 the driver's info
    Bytes contents;
    std::uint64_t noBitsSize = 0;
};

// A cubin for sm_<arch> in ELF ABI 7 (before sm_100 up to CUDA 12) or 8, with
// a program header table after the section headers, as ptxas places it.
inline Bytes cubin(int arch, int abi, const std::vector<ElfSection>& sections) {
    Bytes b(64, 0);
    const unsigned char ident[] = {0x7f, 'E', 'L', 'F', 2, 1, 1, static_cast<unsigned char>(abi == 8 ? 0x41 : 0x33),
                                   static_cast<unsigned char>(abi)};
    std::memcpy(b.data(), ident, sizeof ident);
    put<std::uint16_t>(b, 0x10, 2);    // an executable
    put<std::uint16_t>(b, 0x12, 190);  // EM_CUDA
    put<std::uint32_t>(b, 0x14, 1);
    const auto a = static_cast<std::uint32_t>(arch);
    put<std::uint32_t>(b, 0x30, abi == 8 ? 0x6000002u | a << 8 : 0x3c0500u | a);
    put<std::uint16_t>(b, 0x34, 64);
    std::string names(1, '\0');
    std::vector<std::uint64_t> offsets;
    for (const ElfSection& s : sections) {
        offsets.push_back(b.size());
        b.insert(b.end(), s.contents.begin(), s.contents.end());
    }
    const std::uint64_t namesAt = b.size();
    std::vector<std::uint32_t> nameOffsets;
    for (const ElfSection& s : sections) {
        nameOffsets.push_back(static_cast<std::uint32_t>(names.size()));
        names += s.name + '\0';
    }
    nameOffsets.push_back(static_cast<std::uint32_t>(names.size()));
    names += std::string(".shstrtab") + '\0';
    b.insert(b.end(), names.begin(), names.end());
    const std::uint64_t headersAt = b.size();
    const std::size_t count = sections.size() + 2;  // null, the sections, names
    b.resize(b.size() + count * 64, 0);
    for (std::size_t i = 0; i + 1 < count; ++i) {
        const std::size_t h = headersAt + (i + 1) * 64;
        const bool isNames = i == sections.size();
        put<std::uint32_t>(b, h, nameOffsets[i]);
        put<std::uint32_t>(b, h + 4, isNames ? 3 : sections[i].type);
        put<std::uint64_t>(b, h + 0x18, isNames ? namesAt : offsets[i]);
        put<std::uint64_t>(b, h + 0x20, isNames ? names.size()
                                        : sections[i].type == 8 ? sections[i].noBitsSize
                                                                : sections[i].contents.size());
    }
    const std::uint64_t programAt = b.size();
    b.resize(b.size() + 56, 0);  // one segment: the sections' contents
    put<std::uint32_t>(b, programAt, 1);
    put<std::uint64_t>(b, programAt + 0x08, 64);
    put<std::uint64_t>(b, programAt + 0x20, namesAt - 64);
    put<std::uint64_t>(b, 0x20, programAt);
    put<std::uint64_t>(b, 0x28, headersAt);
    put<std::uint16_t>(b, 0x36, 56);
    put<std::uint16_t>(b, 0x38, 1);
    put<std::uint16_t>(b, 0x3a, 64);
    put<std::uint16_t>(b, 0x3c, static_cast<std::uint16_t>(count));
    put<std::uint16_t>(b, 0x3e, static_cast<std::uint16_t>(count - 1));
    return b;
}

// .nv.info records: the CUDA release (x10) and each parameter as ptxas writes them.
inline Bytes kernelInfo(std::uint32_t release, const std::vector<std::pair<int, int>>& params) {
    Bytes b;
    put<std::uint32_t>(b, 0, 0x00043704);  // format 4, attribute 0x37, 4 bytes
    put<std::uint32_t>(b, 4, release);
    put<std::uint32_t>(b, 8, 0x00003001);  // a valueless record, as ptxas writes
    for (std::size_t i = params.size(); i-- > 0;) {  // ptxas lists them backwards
        const std::size_t at = b.size();
        put<std::uint32_t>(b, at, 0x000c1704);
        put<std::uint32_t>(b, at + 4, 0);
        put<std::uint16_t>(b, at + 8, static_cast<std::uint16_t>(i));
        put<std::uint16_t>(b, at + 10, static_cast<std::uint16_t>(params[i].first));
        put<std::uint32_t>(b, at + 12, static_cast<std::uint32_t>(params[i].second) << 18 | 0x1f000);
    }
    return b;
}

// A cubin defining one kernel of the given parameters, made by CUDA release/10.
inline Bytes kernelCubin(int arch, std::uint32_t release, const char* kernel,
                         const std::vector<std::pair<int, int>>& params) {
    const std::string name(kernel);
    return cubin(arch, arch >= 100 || release >= 130 ? 8 : 7,
                 {{".text." + name, 1, Bytes(32, 0)}, {".nv.info." + name, 0x70000000, kernelInfo(release, params)}});
}

}  // namespace imagetest
