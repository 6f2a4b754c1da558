#include "tests/simdriver/machine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace sim {
namespace {

using deviceimage::Image;
using deviceimage::Kind;
using deviceimage::Version;

// CUresults, as cuda.h numbers them (this file is built without it).
constexpr int kNoBinaryForGpu = 209;         // CUDA_ERROR_NO_BINARY_FOR_GPU
constexpr int kInvalidPtx = 218;             // CUDA_ERROR_INVALID_PTX
constexpr int kUnsupportedPtxVersion = 222;  // CUDA_ERROR_UNSUPPORTED_PTX_VERSION

// Each branch's CUDA release and the first build published from it.
struct Branch {
    int branch;
    Version cuda;
    int firstBuild;
};
constexpr Branch kBranches[] = {
    {525, {12, 0}, 60},  {530, {12, 1}, 30}, {535, {12, 2}, 54}, {545, {12, 3}, 23},
    {550, {12, 4}, 54},  {555, {12, 5}, 42}, {560, {12, 6}, 28}, {565, {12, 7}, 57},
    {570, {12, 8}, 86},  {575, {12, 9}, 51}, {580, {13, 0}, 65}, {590, {13, 1}, 44},
};

const Branch* findBranch(int branch) {
    for (const Branch& b : kBranches) {
        if (b.branch == branch) return &b;
    }
    return nullptr;
}

// Drivers before our oldest branch listed the older boards already.
constexpr DriverBuild kAlways{0, 0};
// R580 is the last branch for Maxwell, Pascal and Volta.
constexpr int kLastForMaxwellToVolta = 580;

bool parseNumber(std::string_view text, int* value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

// "12.0" as 120, "8.6" as 86.
bool parseComputeCapability(std::string_view text, int* cc) {
    const std::size_t dot = text.find('.');
    int major = 0, minor = 0;
    if (dot == std::string_view::npos || !parseNumber(text.substr(0, dot), &major) ||
        !parseNumber(text.substr(dot + 1), &minor) || major < 1 || minor < 0 || minor > 9) {
        return false;
    }
    *cc = 10 * major + minor;
    return true;
}

DeviceModel modelOf(const Board& b, std::string name) {
    DeviceModel d;
    d.cc = b.cc;
    d.name = std::move(name);
    d.deviceId = b.deviceId;
    d.firstListed = b.firstListed;
    d.lastBranch = b.lastBranch;
    return d;
}

// A compute capability (its generation's first board, under a name that says
// only that), a board's key or its device ID.
bool parseDevice(std::string_view text, DeviceModel* device) {
    int cc = 0;
    const bool byCc = parseComputeCapability(text, &cc);
    unsigned id = 0;
    const auto [end, failed] = std::from_chars(text.data() + std::min<std::size_t>(2, text.size()),
                                               text.data() + text.size(), id, 16);
    // Integrated GPUs have no device ID (0 in the table): never named so.
    const bool byId = text.starts_with("0x") && failed == std::errc() && end == text.data() + text.size() && id != 0;
    for (const Board& b : Boards()) {
        if (byCc && b.cc == cc) {
            *device = modelOf(b, "Simulated GPU " + ArchName(cc));
            return true;
        }
        if ((byId && b.deviceId == id) || (!byCc && !byId && text == b.key)) {
            *device = modelOf(b, b.name);
            return true;
        }
    }
    return false;
}

bool parseDevices(std::string_view list, std::vector<DeviceModel>* devices) {
    devices->clear();
    if (list == "none") return true;
    while (true) {
        const std::size_t comma = list.find(',');
        DeviceModel d;
        if (!parseDevice(list.substr(0, comma), &d)) return false;
        devices->push_back(d);
        if (comma == std::string_view::npos) return true;
        list.remove_prefix(comma + 1);
    }
}

// "575.51", "R575" or "575".
bool parseDriver(std::string_view text, DriverModel* driver) {
    if (text.starts_with("R")) text.remove_prefix(1);
    const std::size_t dot = text.find('.');
    int branch = 0, build = 0;
    if (!parseNumber(text.substr(0, dot), &branch)) return false;
    const Branch* known = findBranch(branch);
    if (known == nullptr) return false;
    if (dot == std::string_view::npos) {
        build = known->firstBuild;
    } else if (!parseNumber(text.substr(dot + 1), &build) || build < 0) {
        return false;
    }
    *driver = DriverModel{branch, build, known->cuda};
    return true;
}

bool parseFail(std::string_view text, Machine* m) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    m->failEntry = std::string(text.substr(0, colon));
    return parseNumber(text.substr(colon + 1), &m->failNth) && m->failNth > 0;
}

bool applyKey(std::string_view key, std::string_view value, Machine* m, std::string* name, int* memoryMib) {
    if (key == "devices") return parseDevices(value, &m->devices);
    if (key == "driver") return parseDriver(value, &m->driver);
    if (key == "memory-mib") return parseNumber(value, memoryMib) && *memoryMib > 0;
    if (key == "fail") return parseFail(value, m);
    if (key == "workers") {
        int n = 0;
        if (!parseNumber(value, &n) || n < 0) return false;
        m->workers = static_cast<unsigned>(n);
        return true;
    }
    if (key == "trace") {
        m->trace = value == "1";
        return value == "0" || value == "1";
    }
    if (key == "report") {
        m->reportPath = std::string(value);
        return true;
    }
    if (key == "name") {
        *name = std::string(value);
        std::replace(name->begin(), name->end(), '_', ' ');
        return true;
    }
    return false;
}

std::string versionText(Version v) { return std::to_string(v.major) + "." + std::to_string(v.minor); }

// The first branch of a major CUDA release: what its cubins need.
int firstBranchOf(int cudaMajor) {
    for (const Branch& b : kBranches) {
        if (b.cuda.major == cudaMajor) return b.branch;
    }
    return 0;
}

// The first line of the text that starts with directive, counted from 1.
int lineOf(std::string_view text, std::string_view directive) {
    int line = 1;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view l = text.substr(0, end);
        l.remove_prefix(std::min(l.find_first_not_of(" \t"), l.size()));
        if (l.starts_with(directive)) return line;
        text.remove_prefix(std::min(end + 1, text.size()));
        ++line;
    }
    return 1;
}

LoadResult loadCubin(const Image& image, int cc, const DriverModel& driver) {
    LoadResult r;
    const std::string what = ArchName(image.arch) + " machine code made by CUDA " + versionText(image.toolkit);
    if (image.arch / 10 != cc / 10 || image.arch % 10 > cc % 10) {
        r.status = kNoBinaryForGpu;
        r.account = what + " does not run on " + ArchName(cc);
    } else if (image.toolkit.major > driver.cuda.major) {
        // Minor-version compatibility holds within a major release only.
        r.status = kNoBinaryForGpu;
        r.account = what + " needs driver R" + std::to_string(firstBranchOf(image.toolkit.major)) +
                    " or newer; " + DriverText(driver) + " refused it";
    } else {
        r.account = what + ", on " + ArchName(cc);
    }
    return r;
}

LoadResult loadPtx(const Image& image, int cc, const DriverModel& driver) {
    LoadResult r;
    const std::string_view text(reinterpret_cast<const char*>(image.bytes.data()), image.bytes.size());
    const std::string what = "compute_" + std::to_string(image.arch) + " PTX (ISA " + versionText(image.ptxIsa) + ")";
    const Version newest = NewestPtxIsa(driver);
    if (image.toolkit == Version{} || image.ptxIsa > newest) {
        r.status = kUnsupportedPtxVersion;
        r.jitLog = "ptx line " + std::to_string(lineOf(text, ".version")) + ": .version " +
                   versionText(image.ptxIsa) + " is newer than this compiler's ISA " + versionText(newest);
        r.account = what + " not compiled by " + DriverText(driver) + ": it reads PTX up to ISA " +
                    versionText(newest);
    } else if (image.arch > cc) {
        r.status = kInvalidPtx;
        r.jitLog = "ptx line " + std::to_string(lineOf(text, ".target")) + ": .target " + ArchName(image.arch) +
                   " is above the device's " + ArchName(cc);
        r.account = what + " not compiled for " + ArchName(cc) + ": its target is higher";
    } else {
        r.jitInfo = "compiled for " + ArchName(cc);
        r.account = what + " compiled for " + ArchName(cc) + " by " + DriverText(driver);
    }
    return r;
}

}  // namespace

const std::vector<Board>& Boards() {
    constexpr int kLast = kLastForMaxwellToVolta;
    // Integrated GPUs (Jetson, GB10) have no PCI device ID: 0.
    static const std::vector<Board> boards = {
        {"gtx750ti", "NVIDIA GeForce GTX 750 Ti", 50, 0x1380, kAlways, kLast},
        {"gtx980", "NVIDIA GeForce GTX 980", 52, 0x13C0, kAlways, kLast},
        {"p100", "Tesla P100-PCIE-16GB", 60, 0x15F8, kAlways, kLast},
        {"gtx1080", "NVIDIA GeForce GTX 1080", 61, 0x1B80, kAlways, kLast},
        {"jetson-tx2", "NVIDIA Jetson TX2", 62, 0, kAlways, kLast},
        {"v100", "Tesla V100-SXM2-16GB", 70, 0x1DB1, kAlways, kLast},
        {"jetson-xavier", "NVIDIA Jetson AGX Xavier", 72, 0, kAlways, kLast},
        {"t4", "Tesla T4", 75, 0x1EB8, kAlways, 0},
        {"a100", "NVIDIA A100-SXM4-40GB", 80, 0x20B0, kAlways, 0},
        {"rtx3080", "NVIDIA GeForce RTX 3080", 86, 0x2206, kAlways, 0},
        {"jetson-orin", "NVIDIA Jetson AGX Orin", 87, 0, kAlways, 0},
        {"rtx4090", "NVIDIA GeForce RTX 4090", 89, 0x2684, kAlways, 0},
        {"h100", "NVIDIA H100 PCIe", 90, 0x2331, kAlways, 0},
        {"b200", "NVIDIA B200", 100, 0x2901, {570, 86}, 0},
        {"b300", "NVIDIA B300 SXM6 AC", 103, 0x3182, {575, 51}, 0},
        {"jetson-thor", "NVIDIA Jetson AGX Thor", 110, 0, {580, 65}, 0},
        {"rtx5090", "NVIDIA GeForce RTX 5090", 120, 0x2B85, {570, 86}, 0},
        {"rtx5050", "NVIDIA GeForce RTX 5050", 120, 0x2D83, {575, 64}, 0},
        {"gb10", "NVIDIA GB10", 121, 0, {575, 51}, 0},
    };
    return boards;
}

std::string ArchName(int cc) { return "sm_" + std::to_string(cc); }

std::string DriverText(const DriverModel& d) {
    return "driver " + std::to_string(d.branch) + " (CUDA " + versionText(d.cuda) + ")";
}

std::string DeviceText(const DeviceModel& device) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%04X", device.deviceId);
    return device.name + " (" + ArchName(device.cc) + (device.deviceId != 0 ? std::string(", device ") + id : "") +
           ")";
}

bool ParseMachine(std::string_view description, Machine* machine, std::string* error) {
    Machine m;
    parseDevices("12.0", &m.devices);
    std::string name;
    int memoryMib = 8192;
    while (!description.empty()) {
        description.remove_prefix(std::min(description.find_first_not_of(' '), description.size()));
        const std::string_view item = description.substr(0, std::min(description.find(' '), description.size()));
        description.remove_prefix(item.size());
        if (item.empty()) break;
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos || !applyKey(item.substr(0, eq), item.substr(eq + 1), &m, &name, &memoryMib)) {
            *error = "cannot use '" + std::string(item) + "'";
            return false;
        }
    }
    for (DeviceModel& d : m.devices) {
        if (!name.empty()) d.name = name;
        d.memoryBytes = static_cast<std::uint64_t>(memoryMib) << 20;
    }
    *machine = m;
    return true;
}

bool DriverLists(const DriverModel& driver, const DeviceModel& device) {
    return DriverBuild{driver.branch, driver.build} >= device.firstListed &&
           (device.lastBranch == 0 || driver.branch <= device.lastBranch);
}

int DriverApiVersion(const DriverModel& driver) { return 1000 * driver.cuda.major + 10 * driver.cuda.minor; }

Version NewestPtxIsa(const DriverModel& driver) {
    // The inverse of deviceimage::ReleaseOfPtxIsa: each release reads the ISA
    // it introduced and every older one (12.6 kept 8.5).
    Version newest;
    for (int major : {7, 8, 9}) {
        for (int minor = 0; minor <= 9; ++minor) {
            const Version release = deviceimage::ReleaseOfPtxIsa({major, minor});
            if (release != Version{} && release <= driver.cuda) newest = std::max(newest, Version{major, minor});
        }
    }
    return newest;
}

LoadResult LoadImage(const Image& image, int cc, const DriverModel& driver) {
    return image.kind == Kind::Cubin ? loadCubin(image, cc, driver) : loadPtx(image, cc, driver);
}

}  // namespace sim
