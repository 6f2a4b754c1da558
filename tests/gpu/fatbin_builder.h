// Fat binaries built byte by byte for tests, laid out as fatbinary and ptxas
// lay them out: a container of entries, machine code as an ELF file with the
// driver's info sections, PTX as text.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace fatbintest {

using Bytes = std::vector<unsigned char>;

template <typename T>
void put(Bytes& b, std::size_t at, T value) {
    if (b.size() < at + sizeof value) b.resize(at + sizeof value);
    std::memcpy(b.data() + at, &value, sizeof value);
}

// Text as a payload, with the NUL padding fatbinary adds.
inline Bytes text(const std::string& s, std::size_t padding = 0) {
    Bytes b(s.size() + padding, 0);
    std::memcpy(b.data(), s.data(), s.size());
    return b;
}

// ---- ELF with the sections the reader looks at ----

struct ElfSection {
    std::string name;
    std::uint32_t type;  // 1 PROGBITS, 8 NOBITS, 0x70000000 the driver's info
    Bytes contents;
    std::uint64_t noBitsSize = 0;
};

inline Bytes elf(const std::vector<ElfSection>& sections) {
    Bytes b(64, 0);
    const unsigned char ident[] = {0x7f, 'E', 'L', 'F', 2, 1, 1, 0x33, 7};
    std::memcpy(b.data(), ident, sizeof ident);
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
    put<std::uint64_t>(b, 0x28, headersAt);
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

// ---- the container ----

struct Entry {
    std::uint16_t kind;  // 1 PTX, 2 ELF
    std::uint32_t arch;
    std::uint16_t major, minor;
    Bytes payload;
    std::string options = {};
    std::uint64_t flags = 0x11;
};

inline Bytes container(const std::vector<Entry>& entries) {
    Bytes body;
    for (const Entry& e : entries) {
        const std::size_t at = body.size();
        const std::size_t header = e.options.empty() ? 64 : 72 + (e.options.size() + 8) / 8 * 8;
        body.resize(at + header, 0);
        put<std::uint16_t>(body, at, e.kind);
        put<std::uint16_t>(body, at + 2, 0x0101);
        put<std::uint32_t>(body, at + 4, static_cast<std::uint32_t>(header));
        put<std::uint64_t>(body, at + 8, e.payload.size());
        put<std::uint16_t>(body, at + 24, e.minor);
        put<std::uint16_t>(body, at + 26, e.major);
        put<std::uint32_t>(body, at + 28, e.arch);
        put<std::uint64_t>(body, at + 40, e.flags);
        if (!e.options.empty()) {
            put<std::uint32_t>(body, at + 20, 64);
            put<std::uint32_t>(body, at + 64, 72);
            put<std::uint32_t>(body, at + 68, static_cast<std::uint32_t>(e.options.size()));
            std::memcpy(body.data() + at + 72, e.options.data(), e.options.size());
        }
        body.insert(body.end(), e.payload.begin(), e.payload.end());
    }
    Bytes b;
    put<std::uint32_t>(b, 0, 0xBA55ED50u);
    put<std::uint16_t>(b, 4, 1);
    put<std::uint16_t>(b, 6, 16);
    put<std::uint64_t>(b, 8, body.size());
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

}  // namespace fatbintest
