#include "tests/simdriver/machine.h"

#include <algorithm>
#include <charconv>

namespace sim {
namespace {

constexpr int kNoBinaryForGpu = 209;        // CUDA_ERROR_NO_BINARY_FOR_GPU
constexpr int kUnsupportedPtxVersion = 222;  // CUDA_ERROR_UNSUPPORTED_PTX_VERSION

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

bool parseDevices(std::string_view list, std::vector<DeviceModel>* devices) {
    devices->clear();
    if (list == "none") return true;
    while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        DeviceModel d;
        if (!parseComputeCapability(list.substr(0, comma), &d.cc)) return false;
        devices->push_back(d);
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    return true;
}

bool parseDriver(std::string_view text, DriverModel* driver) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || !parseNumber(text.substr(0, dot), &driver->branch) ||
        !parseNumber(text.substr(dot + 1), &driver->build)) {
        return false;
    }
    switch (driver->branch) {
        case 560: driver->cuda = {12, 6}; return true;
        case 570: driver->cuda = {12, 8}; return true;
        case 575: driver->cuda = {12, 9}; return true;
        case 580: driver->cuda = {13, 0}; return true;
        default: return false;
    }
}

bool parseFail(std::string_view text, Machine* m) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    m->failEntry = std::string(text.substr(0, colon));
    return parseNumber(text.substr(colon + 1), &m->failNth) && m->failNth > 0;
}

bool applyKey(std::string_view key, std::string_view value, Machine* m, std::string* name,
              int* memoryMib) {
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

std::string versionText(fatbin::Version v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor);
}

std::string driverText(const DriverModel& d) {
    return "driver " + std::to_string(d.branch) + " (CUDA " + versionText(d.cuda) + ")";
}

bool made(const fatbin::Image& image, const DriverModel& driver) {
    return fatbin::MadeForRelease(image, driver.cuda);
}

// Why no image serves: each candidate and what it lacks.
LoadChoice refuse(const std::vector<fatbin::Image>& images, int cc, const DriverModel& driver) {
    LoadChoice c;
    c.status = kNoBinaryForGpu;
    std::string sass, ptx;
    for (const fatbin::Image& i : images) {
        if (i.kind == fatbin::Kind::Sass) {
            sass += (sass.empty() ? "" : ", ") + ArchName(i.arch);
            if (fatbin::MachineCodeRunsOn(i, cc)) sass += " (made by CUDA " + versionText(i.toolkit) + ", too new)";
        } else if (i.kind == fatbin::Kind::Ptx) {
            ptx += (ptx.empty() ? "" : ", ") + ("compute_" + std::to_string(i.arch)) + " ISA " +
                   versionText(i.ptxIsa);
            if (fatbin::PtxServes(i, cc) && !made(i, driver)) c.status = kUnsupportedPtxVersion;
        }
    }
    c.account = "no image loads on " + ArchName(cc) + " with " + driverText(driver) +
                ": machine code for " + (sass.empty() ? "nothing" : sass) + "; PTX " +
                (ptx.empty() ? "none" : ptx);
    return c;
}

}  // namespace

std::string ArchName(int cc) { return "sm_" + std::to_string(cc); }

bool ParseMachine(std::string_view description, Machine* machine, std::string* error) {
    Machine m;
    m.devices = {DeviceModel{}};
    std::string name;
    int memoryMib = 8192;
    while (!description.empty()) {
        description.remove_prefix(std::min(description.find_first_not_of(' '), description.size()));
        const std::string_view item = description.substr(0, std::min(description.find(' '), description.size()));
        description.remove_prefix(item.size());
        if (item.empty()) break;
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos ||
            !applyKey(item.substr(0, eq), item.substr(eq + 1), &m, &name, &memoryMib)) {
            *error = "cannot use '" + std::string(item) + "'";
            return false;
        }
    }
    for (DeviceModel& d : m.devices) {
        d.name = name.empty() ? "Simulated GPU " + ArchName(d.cc) : name;
        d.memoryBytes = static_cast<std::uint64_t>(memoryMib) << 20;
    }
    *machine = m;
    return true;
}

bool DriverKnows(const DriverModel& driver, int cc) {
    // CUDA 12.8 added sm_100, sm_101 and sm_120; 12.9 sm_103 and sm_121;
    // 13.0 renamed sm_101 to sm_110. R580 is the last branch for Pascal and Volta.
    constexpr int kOlder[] = {50, 52, 53, 60, 61, 62, 70, 72, 75, 80, 86, 87, 89, 90};
    if (std::find(std::begin(kOlder), std::end(kOlder), cc) != std::end(kOlder)) return true;
    const bool at128 = driver.cuda >= fatbin::Version{12, 8};
    const bool at129 = driver.cuda >= fatbin::Version{12, 9};
    const bool at130 = driver.cuda >= fatbin::Version{13, 0};
    return ((cc == 100 || cc == 120) && at128) || (cc == 101 && at128 && !at130) ||
           ((cc == 103 || cc == 121) && at129) || ((cc == 110 || cc == 88) && at130);
}

int DriverApiVersion(const DriverModel& driver) {
    return 1000 * driver.cuda.major + 10 * driver.cuda.minor;
}

LoadChoice ChooseImage(const std::vector<fatbin::Image>& images, int cc, const DriverModel& driver) {
    LoadChoice best;
    for (std::size_t i = 0; i < images.size(); ++i) {
        const fatbin::Image& image = images[i];
        const bool better = best.image < 0 || image.arch > images[best.image].arch;
        if (fatbin::MachineCodeRunsOn(image, cc) && made(image, driver) && better) {
            best.image = static_cast<int>(i);
        }
    }
    if (best.image >= 0) {
        const fatbin::Image& image = images[best.image];
        best.account = ArchName(image.arch) + " machine code made by CUDA " +
                       versionText(image.toolkit) + ", on " + ArchName(cc);
        return best;
    }
    for (std::size_t i = 0; i < images.size(); ++i) {
        const fatbin::Image& image = images[i];
        const bool better = best.image < 0 || image.ptxTarget > images[best.image].ptxTarget;
        if (fatbin::PtxServes(image, cc) && !image.compressed && made(image, driver) && better) {
            best.image = static_cast<int>(i);
        }
    }
    if (best.image < 0) return refuse(images, cc, driver);
    const fatbin::Image& image = images[best.image];
    best.account = "compute_" + std::to_string(image.ptxTarget) + " PTX (ISA " +
                   versionText(image.ptxIsa) + ") compiled for " + ArchName(cc) + " by " +
                   driverText(driver);
    return best;
}

}  // namespace sim
