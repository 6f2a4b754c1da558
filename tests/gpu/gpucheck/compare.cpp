// The CUDA module against the CPU module, through the plug-in ABI.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "filter_session.h"
#include "gpu/diagnosis.h"
#include "host/filter_data.h"
#include "tests/gpu/gpucheck/gpucheck.h"
#include "tests/support/tolerance.h"

namespace gpucheck {
namespace {

// Settings that take the spatial denoise to each of its radii (through the
// noise level and the denoise strength), and the noise measured by the
// filter itself, as by default.
struct ParameterSet {
    const char* name;
    SettingOverrides settings;
};
SettingOverrides Fixed(std::optional<float> denoise, float sigma) {
    SettingOverrides s;
    s.strengths[NRStrengthIndex(&CudaNRParams::denoise)] = denoise;
    s.sigma = sigma;
    return s;
}
const ParameterSet kSets[] = {
    {"radius 3", Fixed(1.0f, 3.0f)},
    {"radius 4", Fixed(std::nullopt, 6.0f)},
    {"radius 5", Fixed(3.0f, 20.0f)},
    {"profiled", SettingOverrides{}},
};

// Where the first byte of two outputs differs: "frame F row Y byte B", or ""
// where they agree over the bytes both hold.
std::string FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, const qtest::Sequence& s) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    if (i == n) return "";
    const std::size_t frameBytes = qtest::FrameBytes(s), rowBytes = static_cast<std::size_t>(qtest::RowBytes(s));
    const std::size_t inFrame = i % frameBytes;
    return "frame " + std::to_string(i / frameBytes) + " row " + std::to_string(inFrame / rowBytes) + " byte " +
           std::to_string(inFrame % rowBytes);
}

bool Load(modhost::Module* m, const std::string& path) {
    if (modhost::LoadModule(m, path.c_str())) return true;
    std::fprintf(stderr, "gpucheck: FAILED: cannot load %s: %s\n", path.c_str(), m->error);
    return false;
}

}  // namespace

bool ParseSizes(const std::string& text, std::vector<Size>* sizes) {
    sizes->clear();
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        Size s{};
        char tail = 0;
        if (std::sscanf(text.substr(start, comma - start).c_str(), "%dx%d%c", &s.width, &s.height, &tail) != 2 ||
            s.width < 1 || s.height < 1 || s.width > 16384 || s.height > 16384) {
            return false;
        }
        sizes->push_back(s);
        start = comma + 1;
    }
    return !sizes->empty();
}

int CheckGpuReady(bool skipWithoutGpu) {
    const diag::Report report = diag::Diagnose();
    if (report.filters) return 0;
    const bool skip = skipWithoutGpu && report.devices.empty();
    std::fprintf(stderr, "gpucheck: %s: Quelmar_CUDA.so %s\n", skip ? "skipped" : "FAILED",
                 diag::Verdict(report).c_str());
    return skip ? 77 : 2;
}

int Compare(const std::string& cudaPath, const std::string& cpuPath, const std::vector<Size>& sizes, int frames) {
    static modhost::Module cuda, cpu;
    if (!Load(&cuda, cudaPath) || !Load(&cpu, cpuPath)) return 2;
    bool agree = true;
    std::printf("%-11s %-5s %-9s %6s %16s\n", "size", "frame", "settings", "max|d|", "share differing");
    for (const Size& size : sizes) {
        for (int depth : {32, 16}) {
            for (const ParameterSet& set : kSets) {
                const qtest::Sequence s{depth, size.width, size.height, frames};
                const auto configure = [&set](void* record) {
                    ApplySettings(*static_cast<NRFilterData*>(record), set.settings);
                };
                std::vector<uint8_t> inputs;
                const auto onGpu = qtest::FilterSequence(&cuda, s, &inputs, configure);
                const auto onCpu = qtest::FilterSequence(&cpu, s, nullptr, configure);
                const qtest::Difference d = qtest::CompareBytes(onGpu, onCpu, depth == 32 ? 4 : 1);
                // The two modules compute the same bytes: any difference is a fault.
                const bool ok = onGpu.size() == inputs.size() && onCpu.size() == inputs.size() && onGpu == onCpu;
                agree = agree && ok;
                const std::string where = FirstDifference(onGpu, onCpu, s);
                std::printf("%5dx%-5d %-5s %-9s %6d %15.4f%%%s%s%s\n", size.width, size.height,
                            depth == 32 ? "BGRA" : "YUY2", set.name, d.largest, 100.0 * d.share(),
                            ok ? "" : "  MISMATCH", where.empty() ? "" : ("  first at " + where).c_str(),
                            onGpu == inputs ? "  (the CUDA module passed it through)" : "");
                std::fflush(stdout);
            }
        }
    }
    modhost::UnloadModule(&cuda);
    modhost::UnloadModule(&cpu);
    std::printf("%s\n", agree ? "the modules agree" : "the modules DISAGREE");
    return agree ? 0 : 1;
}

}  // namespace gpucheck
