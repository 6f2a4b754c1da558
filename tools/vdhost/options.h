// Command-line options of vdhost: ParseOptions fills one record, or prints the
// help, the version or a usage error and says how to exit.
#pragma once
#include <array>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "host/settings.h"

enum class VdhostMode { GpuInfo, Raw, File, Demo };

// The exit status of a command line that cannot be run; a run that fails ends with 1.
constexpr int kUsageErrorExit = 2;

struct FrameSize {
    int width = 0;
    int height = 0;
};

// Settings the user asked for; anything absent keeps the filter's default.
struct SettingOverrides {
    std::array<std::optional<float>, kNRStrengthCount> strengths;  // in the order of kNRStrengths
    std::optional<float> sigma;       // fixed sigmaY; implies auto profile off
    std::optional<int> autoProfile;   // 0 or 1
};

struct DemoOptions {
    std::string outDir = "demo";
    int frames = 48;
    FrameSize size{512, 288};
    float noiseSigma = 12.0f;
};

struct VdhostOptions {
    VdhostMode mode = VdhostMode::Raw;
    std::string modulePath;  // empty: choose by the presence of a CUDA device
    SettingOverrides settings;
    FrameSize rawSize;       // raw mode only
    std::string inputPath;   // file mode only
    std::string outputPath;  // file mode only
    bool keepAudio = true;   // file mode only
    DemoOptions demo;
};

// Largest accepted frame side; keeps every byte count of a frame within 31 bits.
constexpr int kMaxFrameSide = 16384;

// Reads the command line (without the program's name) into options. Returns
// nothing when vdhost should go on and run options.mode; otherwise the status
// to exit with at once, after the help or the version went to out (0), or a
// usage error and a hint to err (kUsageErrorExit).
std::optional<int> ParseOptions(const std::vector<std::string>& args, VdhostOptions& options, std::ostream& out,
                                std::ostream& err);

// Strict parsers: the whole text, nothing around it.
bool ParseFrameSize(const std::string& text, FrameSize& size);
bool ParseFloatArg(const std::string& text, float& value);  // finite numbers only
bool ParseIntArg(const std::string& text, int& value);
