#include "tests/simdriver/device_image_reader.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace deviceimage {
namespace {

using Bytes = std::span<const unsigned char>;

template <typename T>
std::optional<T> load(Bytes bytes, std::size_t at) {
    if (at > bytes.size() || bytes.size() - at < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

// Compares the start of data with prefix a byte at a time, stopping at the
// first difference: never reads past a NUL that ends a shorter string.
bool startsWith(const unsigned char* data, std::span<const unsigned char> prefix) {
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (data[i] != prefix[i]) return false;
    }
    return true;
}

constexpr unsigned char kElfMagic[] = {0x7f, 'E', 'L', 'F'};
constexpr unsigned char kFatbinMagic[] = {0x50, 0xED, 0x55, 0xBA};

// ---- ELF ----

constexpr std::size_t kElfHeader = 64;
constexpr std::size_t kSectionHeader = 64;
constexpr std::size_t kProgramHeader = 56;
constexpr std::uint16_t kMachineCuda = 190;
constexpr std::uint32_t kNoBits = 8;
// No cubin comes near this; a larger extent is a corrupt header, never a size.
constexpr std::uint64_t kLargestImage = std::uint64_t{1} << 31;

struct ElfTables {
    std::uint64_t shoff = 0, phoff = 0;
    std::uint16_t shnum = 0, phnum = 0, shstrndx = 0;
};

// The 64-bit little-endian CUDA ELF header's table positions; false when
// malformed, or when a table would end past kLargestImage.
bool readElfHeader(Bytes elf, ElfTables* t) {
    if (elf.size() < kElfHeader || !std::equal(std::begin(kElfMagic), std::end(kElfMagic), elf.begin()) ||
        elf[4] != 2 || elf[5] != 1) {
        return false;
    }
    const auto machine = load<std::uint16_t>(elf, 0x12);
    const auto phentsize = load<std::uint16_t>(elf, 0x36);
    const auto shentsize = load<std::uint16_t>(elf, 0x3a);
    t->phoff = *load<std::uint64_t>(elf, 0x20);
    t->shoff = *load<std::uint64_t>(elf, 0x28);
    t->phnum = *load<std::uint16_t>(elf, 0x38);
    t->shnum = *load<std::uint16_t>(elf, 0x3c);
    t->shstrndx = *load<std::uint16_t>(elf, 0x3e);
    return *machine == kMachineCuda && t->shnum > 0 && *shentsize == kSectionHeader &&
           (t->phnum == 0 || *phentsize == kProgramHeader) && t->shstrndx < t->shnum &&
           t->shoff <= kLargestImage && t->phoff <= kLargestImage;
}

// Where the header tables end.
std::uint64_t tablesEnd(const ElfTables& t) {
    return std::max({std::uint64_t{kElfHeader}, t.shoff + std::uint64_t{t.shnum} * kSectionHeader,
                     t.phoff + std::uint64_t{t.phnum} * kProgramHeader});
}

// Where the ELF file ends: its header tables and everything they place (a
// section without contents takes no bytes). 0 when malformed or when the
// tables are not inside elf.
std::uint64_t elfExtent(Bytes elf) {
    ElfTables t;
    if (!readElfHeader(elf, &t)) return 0;
    std::uint64_t end = tablesEnd(t);
    if (end > elf.size()) return 0;
    for (std::size_t i = 0; i < t.shnum; ++i) {
        const std::size_t h = static_cast<std::size_t>(t.shoff) + i * kSectionHeader;
        const auto type = *load<std::uint32_t>(elf, h + 4);
        const auto offset = *load<std::uint64_t>(elf, h + 0x18);
        const auto size = *load<std::uint64_t>(elf, h + 0x20);
        if (type == kNoBits) continue;
        if (offset > kLargestImage || size > kLargestImage) return 0;
        end = std::max(end, offset + size);
    }
    for (std::size_t i = 0; i < t.phnum; ++i) {
        const std::size_t h = static_cast<std::size_t>(t.phoff) + i * kProgramHeader;
        const auto offset = *load<std::uint64_t>(elf, h + 0x08);
        const auto fileSize = *load<std::uint64_t>(elf, h + 0x20);
        if (offset > kLargestImage || fileSize > kLargestImage) return 0;
        end = std::max(end, offset + fileSize);
    }
    return end <= kLargestImage ? end : 0;
}

struct Section {
    std::string_view name;
    std::uint64_t size = 0;  // from the header: also given for sections without contents
    Bytes bytes;             // file contents; empty for those
};

std::string_view cString(Bytes table, std::size_t at) {
    if (at >= table.size()) return {};
    std::string_view text(reinterpret_cast<const char*>(table.data()) + at, table.size() - at);
    return text.substr(0, text.find('\0'));
}

// The sections of an ELF file that lies whole in elf; false when malformed.
bool readSections(Bytes elf, std::vector<Section>* sections) {
    ElfTables t;
    const std::uint64_t extent = elfExtent(elf);
    if (extent == 0 || extent > elf.size() || !readElfHeader(elf, &t)) return false;
    std::vector<std::uint32_t> nameOffsets;
    for (std::size_t i = 0; i < t.shnum; ++i) {
        const std::size_t h = static_cast<std::size_t>(t.shoff) + i * kSectionHeader;
        Section s;
        s.size = *load<std::uint64_t>(elf, h + 0x20);
        if (*load<std::uint32_t>(elf, h + 4) != kNoBits) {
            s.bytes = elf.subspan(static_cast<std::size_t>(*load<std::uint64_t>(elf, h + 0x18)),
                                  static_cast<std::size_t>(s.size));
        }
        nameOffsets.push_back(*load<std::uint32_t>(elf, h));
        sections->push_back(s);
    }
    const Bytes names = (*sections)[t.shstrndx].bytes;
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

constexpr std::uint8_t kAttrParamInfo = 0x17;   // one kernel parameter
constexpr std::uint8_t kAttrApiVersion = 0x37;  // CUDA release x 10 of the compiler

// The architecture in e_flags: ELF ABI 7 (CUDA up to 12.x for GPUs before
// sm_100) keeps it in the low byte, ABI 8 (sm_100 on, and all of CUDA 13) in
// the next one. 0 for an ABI this reader does not know.
int cubinArch(Bytes elf) {
    const auto flags = *load<std::uint32_t>(elf, 0x30);
    switch (elf[8]) {  // EI_ABIVERSION
        case 7: return static_cast<int>(flags & 0xff);
        case 8: return static_cast<int>((flags >> 8) & 0xff);
        default: return 0;
    }
}

bool readCubin(Bytes elf, Image* image) {
    std::vector<Section> sections;
    const int arch = elf.size() >= kElfHeader ? cubinArch(elf) : 0;
    if (arch == 0 || !readSections(elf, &sections)) return false;
    Version made;
    for (const Section& s : sections) {
        if (!s.name.starts_with(".nv.info.")) continue;
        const bool wellFormed = forEachAttribute(s.bytes, [&made](std::uint8_t attribute, Bytes value) {
            const auto release = load<std::uint32_t>(value, 0);
            if (attribute == kAttrApiVersion && value.size() == 4 && release && *release < 10000) {
                made = Version{static_cast<int>(*release / 10), static_cast<int>(*release % 10)};
            }
        });
        if (!wellFormed) return false;
        if (made != Version{}) break;
    }
    if (made == Version{}) return false;
    *image = Image{Kind::Cubin, arch, made, {}, elf.first(static_cast<std::size_t>(elfExtent(elf)))};
    return true;
}

// ---- PTX text ----

std::string_view textOf(Bytes bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return text.substr(0, text.find('\0'));
}

bool isText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u >= 0x20 && u < 0x7f) || c == '\n' || c == '\t' || c == '\r';
    });
}

// Calls fn(line) for each line with its leading white space removed, until fn returns true.
template <typename Fn>
void forEachLine(std::string_view text, Fn fn) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        line.remove_prefix(std::min(line.find_first_not_of(" \t\r"), line.size()));
        if (fn(line)) return;
    }
}

int parseInt(std::string_view digits) {
    int value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end != digits.data() ? value : 0;
}

std::string_view leadingDigits(std::string_view text) {
    return text.substr(0, std::min(text.find_first_not_of("0123456789"), text.size()));
}

// "12.8" (followed by anything) as a version.
Version parseVersion(std::string_view text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) return {};
    return Version{parseInt(leadingDigits(text.substr(0, dot))), parseInt(leadingDigits(text.substr(dot + 1)))};
}

// "sm_75" (followed by anything) as 75.
int parseArch(std::string_view text) {
    if (text.substr(0, 3) != "sm_") return 0;
    return parseInt(leadingDigits(text.substr(3)));
}

// The header: .version, then .target; comments and blank lines may come first.
bool readPtx(std::string_view text, Image* image) {
    if (!isText(text)) return false;
    Version isa;
    int target = 0;
    bool wellFormed = true;
    forEachLine(text, [&](std::string_view line) {
        if (line.empty() || line.starts_with("//")) return false;
        if (isa == Version{}) {
            wellFormed = line.starts_with(".version ");
            if (wellFormed) isa = parseVersion(line.substr(9));
            return !wellFormed || isa == Version{};
        }
        wellFormed = line.starts_with(".target ");
        if (wellFormed) target = parseArch(line.substr(8));
        return true;
    });
    if (!wellFormed || isa == Version{} || target == 0) return false;
    *image = Image{Kind::Ptx, target, ReleaseOfPtxIsa(isa), isa,
                   Bytes(reinterpret_cast<const unsigned char*>(text.data()), text.size())};
    return true;
}

// ---- kernel layouts ----

bool readCubinLayout(Bytes elf, std::string_view kernel, KernelLayout* layout) {
    std::vector<Section> sections;
    if (!readSections(elf, &sections)) return false;
    const std::string name(kernel);
    const Section* info = findSection(sections, ".nv.info." + name);
    if (info == nullptr) return false;
    // Records: u32 index, u16 ordinal, u16 offset, u32 with the size in its top 14 bits.
    std::vector<std::pair<std::size_t, KernelParam>> params;
    const bool wellFormed = forEachAttribute(info->bytes, [&params](std::uint8_t attribute, Bytes value) {
        if (attribute != kAttrParamInfo || value.size() != 12) return;
        const std::size_t ordinal = *load<std::uint16_t>(value, 4);
        const std::size_t offset = *load<std::uint16_t>(value, 6);
        const std::size_t size = *load<std::uint32_t>(value, 8) >> 18;
        params.push_back({ordinal, KernelParam{offset, size}});
    });
    std::sort(params.begin(), params.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
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
                   std::string_view("bsuf").find(token[1]) != std::string_view::npos && token[2] >= '0' &&
                   token[2] <= '9') {  // .b8, .u32, .f64, ...
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

Format Identify(const void* data) {
    if (data == nullptr) return Format::Other;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (startsWith(bytes, kElfMagic)) return Format::Cubin;
    if (startsWith(bytes, kFatbinMagic)) return Format::FatBinary;
    const char first = static_cast<char>(bytes[0]);
    return first != '\0' && isText(std::string_view(&first, 1)) ? Format::Ptx : Format::Other;
}

std::size_t ImageSize(const void* data) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    switch (Identify(data)) {
        case Format::Cubin: {
            ElfTables t;
            if (!readElfHeader(Bytes(bytes, kElfHeader), &t)) return 0;
            // The tables first, from the header alone; then what they place.
            return static_cast<std::size_t>(elfExtent(Bytes(bytes, static_cast<std::size_t>(tablesEnd(t)))));
        }
        case Format::Ptx:
            return std::strlen(reinterpret_cast<const char*>(bytes));
        default:
            return 0;
    }
}

bool ReadImage(std::span<const unsigned char> bytes, Image* image) {
    if (bytes.empty()) return false;
    if (bytes.size() >= sizeof kElfMagic && std::equal(std::begin(kElfMagic), std::end(kElfMagic), bytes.begin())) {
        return readCubin(bytes, image);
    }
    if (bytes.size() >= sizeof kFatbinMagic &&
        std::equal(std::begin(kFatbinMagic), std::end(kFatbinMagic), bytes.begin())) {
        return false;
    }
    return readPtx(textOf(bytes), image);
}

Version ReleaseOfPtxIsa(Version isa) {
    // ISA 7.0 to 7.8 came with CUDA 11.0 to 11.8, 8.0 to 8.5 with 12.0 to
    // 12.5 (12.6 kept 8.5); then 12.7, 12.8, 12.9, 13.0 and 13.1 brought 8.6,
    // 8.7, 8.8, 9.0 and 9.1.
    struct Pair {
        Version isa, release;
    };
    constexpr Pair kLater[] = {
        {{8, 6}, {12, 7}}, {{8, 7}, {12, 8}}, {{8, 8}, {12, 9}}, {{9, 0}, {13, 0}}, {{9, 1}, {13, 1}}};
    if (isa.major == 7 && isa.minor <= 8) return Version{11, isa.minor};
    if (isa.major == 8 && isa.minor <= 5) return Version{12, isa.minor};
    for (const Pair& p : kLater) {
        if (p.isa == isa) return p.release;
    }
    return {};
}

bool ReadKernelLayout(const Image& image, std::string_view kernel, KernelLayout* layout) {
    *layout = KernelLayout{};
    const bool found = image.kind == Kind::Cubin ? readCubinLayout(image.bytes, kernel, layout)
                                                 : readPtxLayout(textOf(image.bytes), kernel, layout);
    if (!found) *layout = KernelLayout{};
    return found;
}

}  // namespace deviceimage
