// Command-line options of vdhost: one record filled by ParseOptions, which
// either succeeds or explains the first problem in one sentence.
#pragma once
#include <optional>
#include <string>
#include <vector>

enum class VdhostMode { Help, GpuInfo, Raw, File, Demo };

struct FrameSize {
    int width = 0;
    int height = 0;
};

// Settings the user asked for; anything absent keeps the filter's default.
struct SettingOverrides {
    std::optional<float> denoise;
    std::optional<float> temporal;
    std::optional<float> deblock;
    std::optional<float> sharpen;
    std::optional<float> stabilize;
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
    VdhostMode mode = VdhostMode::Help;
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

bool ParseOptions(const std::vector<std::string>& args, VdhostOptions& options, std::string& error);
bool ParseFrameSize(const std::string& text, FrameSize& size);
bool ParseFloatArg(const std::string& text, float& value);
bool ParseIntArg(const std::string& text, int& value);
const char* UsageText();
