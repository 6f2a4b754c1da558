#include "gpu/fatbin_image.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace fatbin {
namespace {

using Bytes = std::span<const unsigned char>;

template <typename T>
std::optional<T> load(Bytes bytes, std::size_t at) {
    if (at > bytes.size() || bytes.size() - at < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

// ---- the container ----

constexpr std::uint32_t kMagic = 0xBA55ED50u;
constexpr std::size_t kContainerHeader = 16;
constexpr std::size_t kEntryHeader = 64;
constexpr std::uint16_t kEntryPtx = 1;
constexpr std::uint16_t kEntryElf = 2;
// Entry flags: payload compressed with LZ4 (older toolkits) or Zstandard.
constexpr std::uint64_t kCompressedFlags = 0x2000 | 0x8000;

// The options block of an entry: at the offset the header names, the offset
// and length of the options text, both from the start of the entry.
std::string_view entryOptions(Bytes entry, std::size_t headerSize) {
    const auto block = load<std::uint32_t>(entry, 20);
    if (!block || *block < kEntryHeader || *block > headerSize) return {};
    const auto at = load<std::uint32_t>(entry, *block);
    const auto length = load<std::uint32_t>(entry, *block + 4);
    if (!at || !length || *at > headerSize || *length > headerSize - *at) return {};
    std::string_view text(reinterpret_cast<const char*>(entry.data()) + *at, *length);
    return text.substr(0, text.find('\0'));
}

void readPayload(Image* image);

// Reads the entry at the start of rest; returns its whole size, 0 when malformed.
std::size_t readEntry(Bytes rest, Image* image) {
    const auto kind = load<std::uint16_t>(rest, 0);
    const auto headerSize = load<std::uint32_t>(rest, 4);
    const auto payloadSize = load<std::uint64_t>(rest, 8);
    const auto minor = load<std::uint16_t>(rest, 24);
    const auto major = load<std::uint16_t>(rest, 26);
    const auto arch = load<std::uint32_t>(rest, 28);
    const auto flags = load<std::uint64_t>(rest, 40);
    if (!kind || !headerSize || !payloadSize || !minor || !major || !arch || !flags) return 0;
    if (*headerSize < kEntryHeader || *headerSize > rest.size() ||
        *payloadSize > rest.size() - *headerSize || *arch > 10000) {
        return 0;
    }
    image->kind = *kind == kEntryPtx ? Kind::Ptx : *kind == kEntryElf ? Kind::Sass : Kind::Other;
    image->arch = static_cast<int>(*arch);
    image->entryVersion = Version{*major, *minor};
    image->compressed = (*flags & kCompressedFlags) != 0;
    if (image->kind == Kind::Ptx) image->jitOptions = entryOptions(rest, *headerSize);
    if (!image->compressed) {
        image->payload = rest.subspan(*headerSize, static_cast<std::size_t>(*payloadSize));
        readPayload(image);
    }
    return *headerSize + static_cast<std::size_t>(*payloadSize);
}

// ---- PTX text ----

std::string_view ptxText(Bytes payload) {
    std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    return text.substr(0, text.find('\0'));
}

// Calls fn(line) for each line with its leading white space removed, until fn returns true.
template <typename Fn>
void forEachLine(std::string_view text, Fn fn) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        if (fn(line)) return;
    }
}

int parseInt(std::string_view digits) {
    int value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end != digits.data() ? value : 0;
}

// "12.8" (followed by anything) as a version.
Version parseVersion(std::string_view text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) return {};
    std::string_view minor = text.substr(dot + 1);
    minor = minor.substr(0, std::min(minor.find_first_not_of("0123456789"), minor.size()));
    return Version{parseInt(text.substr(0, dot)), parseInt(minor)};
}

// "sm_75" (followed by anything) as 75.
int parseArch(std::string_view text) {
    if (text.substr(0, 3) != "sm_") return 0;
    text.remove_prefix(3);
    return parseInt(text.substr(0, std::min(text.find_first_not_of("0123456789"), text.size())));
}

void readPtx(Image* image) {
    forEachLine(ptxText(image->payload), [image](std::string_view line) {
        if (line.starts_with(".version ")) image->ptxIsa = parseVersion(line.substr(9));
        if (line.starts_with(".target ")) image->ptxTarget = parseArch(line.substr(8));
        return image->ptxTarget != 0;  // the header ends with the target
    });
    image->toolkit = ReleaseOfPtxIsa(image->ptxIsa);
}

// ---- ELF machine code ----

struct Section {
    std::string_view name;
    std::uint64_t size = 0;  // from the header: also given for sections without contents
    Bytes bytes;             // file contents; empty for those
};

constexpr std::uint32_t kNoBits = 8;

std::string_view cString(Bytes table, std::size_t at) {
    if (at >= table.size()) return {};
    std::string_view text(reinterpret_cast<const char*>(table.data()) + at, table.size() - at);
    return text.substr(0, text.find('\0'));
}

// The sections of a 64-bit little-endian ELF file; false when malformed.
bool readSections(Bytes elf, std::vector<Section>* sections) {
    const auto ident = load<std::uint32_t>(elf, 0);
    const auto shoff = load<std::uint64_t>(elf, 0x28);
    const auto shentsize = load<std::uint16_t>(elf, 0x3a);
    const auto shnum = load<std::uint16_t>(elf, 0x3c);
    const auto shstrndx = load<std::uint16_t>(elf, 0x3e);
    if (elf.size() < 64 || !ident || *ident != 0x464C457Fu || elf[4] != 2 || elf[5] != 1 || !shoff || !shentsize ||
        !shnum || !shstrndx || *shentsize != 64 || *shstrndx >= *shnum || *shoff > elf.size() ||
        (elf.size() - *shoff) / 64 < *shnum) {
        return false;
    }
    std::vector<std::uint32_t> nameOffsets;
    for (std::size_t i = 0; i < *shnum; ++i) {
        const std::size_t header = static_cast<std::size_t>(*shoff) + i * 64;
        const auto type = load<std::uint32_t>(elf, header + 4);
        const auto offset = load<std::uint64_t>(elf, header + 0x18);
        const auto size = load<std::uint64_t>(elf, header + 0x20);
        Section s;
        s.size = *size;
        if (*type != kNoBits) {
            if (*offset > elf.size() || *size > elf.size() - *offset) return false;
            s.bytes = elf.subspan(static_cast<std::size_t>(*offset), static_cast<std::size_t>(*size));
        }
        nameOffsets.push_back(*load<std::uint32_t>(elf, header));
        sections->push_back(s);
    }
    const Bytes names = (*sections)[*shstrndx].bytes;
    for (std::size_t i = 0; i < sections->size(); ++i) {
        (*sections)[i].name = cString(names, nameOffsets[i]);
        if ((*sections)[i].name.empty() && i != 0) return false;
    }
    return true;
}

const Section* findSection(const std::vector<Section>& sections, std::string_view name) {
    for (const Section& s : sections) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

// The attributes of an .nv.info section: fn(attribute, value) for each, in
// order; false when the section is malformed. Formats 1 to 3 carry a value of
// at most two bytes in a 4-byte record; format 4 a 16-bit length and the value.
template <typename Fn>
bool forEachAttribute(Bytes info, Fn fn) {
    std::size_t at = 0;
    while (at < info.size()) {
        const auto format = load<std::uint8_t>(info, at);
        const auto attribute = load<std::uint8_t>(info, at + 1);
        if (!format || !attribute || *format < 1 || *format > 4) return false;
        Bytes value;
        std::size_t next = at + 4;
        if (*format == 4) {
            const auto length = load<std::uint16_t>(info, at + 2);
            if (!length || *length > info.size() - std::min(info.size(), at + 4)) return false;
            value = info.subspan(at + 4, *length);
            next += *length;
        } else {
            if (info.size() - at < 4) return false;
            value = info.subspan(at + 2, 2);
        }
        fn(*attribute, value);
        at = next;
    }
    return true;
}

constexpr std::uint8_t kAttrParamInfo = 0x17;    // one kernel parameter
constexpr std::uint8_t kAttrApiVersion = 0x37;   // CUDA release x 10 of the compiler

void readMachineCode(Image* image) {
    std::vector<Section> sections;
    if (!readSections(image->payload, &sections)) return;
    for (const Section& s : sections) {
        if (!s.name.starts_with(".nv.info.")) continue;
        forEachAttribute(s.bytes, [image](std::uint8_t attribute, Bytes value) {
            const auto release = load<std::uint32_t>(value, 0);
            if (attribute == kAttrApiVersion && value.size() == 4 && release) {
                image->toolkit = Version{static_cast<int>(*release / 10),
                                         static_cast<int>(*release % 10)};
            }
        });
        if (image->toolkit != Version{}) return;
    }
}

void readPayload(Image* image) {
    if (image->kind == Kind::Ptx) readPtx(image);
    if (image->kind == Kind::Sass) readMachineCode(image);
}

// ---- kernel layouts ----

bool readMachineCodeLayout(Bytes elf, std::string_view kernel, KernelLayout* layout) {
    std::vector<Section> sections;
    if (!readSections(elf, &sections)) return false;
    const std::string name(kernel);
    const Section* info = findSection(sections, ".nv.info." + name);
    if (info == nullptr) return false;
    // Records: u32 index, u16 ordinal, u16 offset, u32 with the size in its top 14 bits.
    std::vector<std::pair<std::size_t, KernelParam>> params;
    bool wellFormed = forEachAttribute(info->bytes, [&params](std::uint8_t attribute, Bytes value) {
        if (attribute != kAttrParamInfo || value.size() != 12) return;
        const std::size_t ordinal = *load<std::uint16_t>(value, 4);
        const std::size_t offset = *load<std::uint16_t>(value, 6);
        const std::size_t size = *load<std::uint32_t>(value, 8) >> 18;
        params.push_back({ordinal, KernelParam{offset, size}});
    });
    std::sort(params.begin(), params.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].first != i) return false;  // every ordinal exactly once
        layout->params.push_back(params[i].second);
    }
    const Section* shared = findSection(sections, ".nv.shared." + name);
    layout->staticSharedBytes = shared ? static_cast<std::size_t>(shared->size) : 0;
    return wellFormed;
}

std::size_t alignUp(std::size_t value, std::size_t alignment) {
    return alignment == 0 ? value : (value + alignment - 1) / alignment * alignment;
}

// A PTX variable declaration such as ".param .align 4 .b8 name[24]",
// ".shared .align 8 .b8 name[2048];" or ".param .u64 name,": its size and alignment.
bool declarationSize(std::string_view decl, std::size_t* size, std::size_t* alignment) {
    std::size_t element = 0;
    std::size_t align = 0;
    std::size_t count = 1;
    bool alignFollows = false;
    while (!decl.empty()) {
        decl.remove_prefix(std::min(decl.find_first_not_of(" \t"), decl.size()));
        const std::string_view token = decl.substr(0, std::min(decl.find_first_of(" \t"), decl.size()));
        decl.remove_prefix(token.size());
        if (alignFollows) {
            align = static_cast<std::size_t>(parseInt(token));
            alignFollows = false;
        } else if (token == ".align") {
            alignFollows = true;
        } else if (token.size() >= 3 && token[0] == '.' &&
                   std::string_view("bsuf").find(token[1]) != std::string_view::npos &&
                   token[2] >= '0' && token[2] <= '9') {  // .b8, .u32, .f64, ...
            element = static_cast<std::size_t>(parseInt(token.substr(2))) / 8;
        } else if (const std::size_t bracket = token.find('['); bracket != std::string_view::npos) {
            count = static_cast<std::size_t>(parseInt(token.substr(bracket + 1)));
        }
    }
    *size = element * count;
    *alignment = align != 0 ? align : element;
    return element != 0 && count != 0;
}

bool readPtxLayout(std::string_view text, std::string_view kernel, KernelLayout* layout) {
    enum { Before, Params, Body, Done } state = Before;
    bool ok = true;
    int depth = 0;
    std::size_t end = 0;
    forEachLine(text, [&](std::string_view line) {
        std::size_t size = 0, alignment = 0;
        if (state == Before) {
            const std::size_t entry = line.find(".entry ");
            if (entry != std::string_view::npos && line.substr(entry + 7, kernel.size()) == kernel &&
                line.substr(entry + 7 + kernel.size(), 1) == "(") {
                state = Params;
            }
        } else if (state == Params && line.starts_with(".param ")) {
            ok = ok && declarationSize(line, &size, &alignment);
            end = alignUp(end, alignment);
            layout->params.push_back(KernelParam{end, size});
            end += size;
        } else if (state == Params && line.starts_with("{")) {
            state = Body;
            depth = 1;
        } else if (state == Body) {
            if (line.starts_with(".shared ")) {
                ok = ok && declarationSize(line, &size, &alignment);
                layout->staticSharedBytes = alignUp(layout->staticSharedBytes, alignment) + size;
            }
            depth += static_cast<int>(std::count(line.begin(), line.end(), '{')) -
                     static_cast<int>(std::count(line.begin(), line.end(), '}'));
            if (depth <= 0) state = Done;
        }
        return state == Done || !ok;
    });
    return ok && state == Done;
}

}  // namespace

bool MachineCodeRunsOn(const Image& image, int arch) {
    return image.kind == Kind::Sass && image.arch / 10 == arch / 10 && image.arch % 10 <= arch % 10;
}

bool PtxServes(const Image& image, int arch) { return image.kind == Kind::Ptx && image.ptxTarget <= arch; }

bool MadeForRelease(const Image& image, Version driverRelease) {
    return image.toolkit != Version{} && image.toolkit <= driverRelease;
}

Version ReleaseOfPtxIsa(Version isa) {
    // ISA 7.0 to 7.8 came with CUDA 11.0 to 11.8, 8.0 to 8.5 with 12.0 to
    // 12.5 (12.6 kept 8.5); then 12.7, 12.8, 12.9 and 13.0 brought 8.6 to 9.0.
    struct Pair {
        Version isa, release;
    };
    constexpr Pair kLater[] = {{{8, 6}, {12, 7}}, {{8, 7}, {12, 8}}, {{8, 8}, {12, 9}}, {{9, 0}, {13, 0}}};
    if (isa.major == 7 && isa.minor <= 8) return Version{11, isa.minor};
    if (isa.major == 8 && isa.minor <= 5) return Version{12, isa.minor};
    for (const Pair& p : kLater) {
        if (p.isa == isa) return p.release;
    }
    return {};
}

std::size_t ContainerSize(const void* data) {
    const Bytes bytes(static_cast<const unsigned char*>(data), kContainerHeader);
    const auto headerSize = *load<std::uint16_t>(bytes, 6);
    const auto bodySize = *load<std::uint64_t>(bytes, 8);
    if (*load<std::uint32_t>(bytes, 0) != kMagic || headerSize < kContainerHeader ||
        bodySize > SIZE_MAX - headerSize) {
        return 0;
    }
    return headerSize + static_cast<std::size_t>(bodySize);
}

bool ReadImages(const void* data, std::size_t size, std::vector<Image>* images) {
    images->clear();
    const Bytes all(static_cast<const unsigned char*>(data), data ? size : 0);
    const std::size_t total = all.size() < kContainerHeader ? 0 : ContainerSize(data);
    if (total == 0 || total > all.size()) return false;
    const std::size_t headerSize = *load<std::uint16_t>(all, 6);
    Bytes rest = all.subspan(headerSize, total - headerSize);
    while (!rest.empty()) {
        Image image;
        const std::size_t used = readEntry(rest, &image);
        if (used == 0) {
            images->clear();
            return false;
        }
        images->push_back(image);
        rest = rest.subspan(used);
    }
    return true;
}

bool ReadKernelLayout(const Image& image, std::string_view kernel, KernelLayout* layout) {
    *layout = KernelLayout{};
    bool found = false;
    if (image.kind == Kind::Sass) found = readMachineCodeLayout(image.payload, kernel, layout);
    if (image.kind == Kind::Ptx) found = readPtxLayout(ptxText(image.payload), kernel, layout);
    if (!found) *layout = KernelLayout{};
    return found;
}

}  // namespace fatbin
