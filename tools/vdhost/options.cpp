#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "host/settings.h"

namespace {

struct StrengthOption {
    const char* name;
    float maximum;  // the dialog's upper limit for the same setting
    std::optional<float> SettingOverrides::*field;
};

const StrengthOption kStrengths[] = {
    {"--denoise", NRStrengthFor(&CudaNRParams::denoise).maximum, &SettingOverrides::denoise},
    {"--temporal", NRStrengthFor(&CudaNRParams::temporal).maximum, &SettingOverrides::temporal},
    {"--deblock", NRStrengthFor(&CudaNRParams::deblock).maximum, &SettingOverrides::deblock},
    {"--sharpen", NRStrengthFor(&CudaNRParams::sharpen).maximum, &SettingOverrides::sharpen},
    {"--stabilize", NRStrengthFor(&CudaNRParams::stabilize).maximum, &SettingOverrides::stabilize},
};

// Walks the argument list; every option that takes a value checks it exists.
struct ArgCursor {
    const std::vector<std::string>& args;
    size_t index = 0;

    bool Done() const { return index >= args.size(); }
    const std::string& Current() const { return args[index]; }
    bool TakeValue(std::string& value, std::string& error) {
        if (index + 1 >= args.size()) {
            error = "option " + args[index] + " needs a value";
            return false;
        }
        value = args[++index];
        return true;
    }
};

bool ParseStrength(const StrengthOption& option, const std::string& text, SettingOverrides& settings,
                   std::string& error) {
    float value = 0.0f;
    if (!ParseFloatArg(text, value) || value < 0.0f || value > option.maximum) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", option.maximum);
        error = std::string(option.name) + " takes a number from 0 to " + limit + ", not '" + text + "'";
        return false;
    }
    settings.*option.field = value;
    return true;
}

bool ParseSizeOption(const std::string& name, const std::string& text, FrameSize& size, std::string& error) {
    if (ParseFrameSize(text, size)) return true;
    error = name + " takes WIDTHxHEIGHT with each side from 1 to " + std::to_string(kMaxFrameSide) +
            ", not '" + text + "'";
    return false;
}

// Options shared by every mode: module choice and filter settings.
// Returns true when the argument was one of them (consumed, value included).
bool ParseCommonOption(ArgCursor& cursor, VdhostOptions& options, std::string& error, bool& handled) {
    handled = true;
    const std::string& arg = cursor.Current();
    std::string value;
    for (const StrengthOption& option : kStrengths) {
        if (arg == option.name) {
            return cursor.TakeValue(value, error) && ParseStrength(option, value, options.settings, error);
        }
    }
    if (arg == "--module") {
        if (!cursor.TakeValue(value, error)) return false;
        options.modulePath = value;
        return true;
    }
    if (arg == "--auto-profile") {
        if (!cursor.TakeValue(value, error)) return false;
        if (value != "0" && value != "1") {
            error = "--auto-profile takes 0 or 1, not '" + value + "'";
            return false;
        }
        options.settings.autoProfile = value == "1" ? 1 : 0;
        return true;
    }
    if (arg == "--sigma") {
        if (!cursor.TakeValue(value, error)) return false;
        float sigma = 0.0f;
        if (!ParseFloatArg(value, sigma) || sigma < 0.5f || sigma > 255.0f) {
            error = "--sigma takes a noise level from 0.5 to 255, not '" + value + "'";
            return false;
        }
        options.settings.sigma = sigma;
        return true;
    }
    handled = false;
    return true;
}

bool ParseDemoOption(ArgCursor& cursor, DemoOptions& demo, std::string& error, bool& handled) {
    handled = true;
    const std::string& arg = cursor.Current();
    std::string value;
    if (arg == "--out") {
        if (!cursor.TakeValue(value, error)) return false;
        if (value.empty()) {
            error = "--out needs a folder name";
            return false;
        }
        demo.outDir = value;
        return true;
    }
    if (arg == "--frames") {
        if (!cursor.TakeValue(value, error)) return false;
        if (!ParseIntArg(value, demo.frames) || demo.frames < 1 || demo.frames > 100000) {
            error = "--frames takes a count from 1 to 100000, not '" + value + "'";
            return false;
        }
        return true;
    }
    if (arg == "--noise") {
        if (!cursor.TakeValue(value, error)) return false;
        if (!ParseFloatArg(value, demo.noiseSigma) || demo.noiseSigma < 0.0f || demo.noiseSigma > 64.0f) {
            error = "--noise takes a standard deviation from 0 to 64, not '" + value + "'";
            return false;
        }
        return true;
    }
    if (arg == "--size") {
        return cursor.TakeValue(value, error) && ParseSizeOption("--size", value, demo.size, error);
    }
    handled = false;
    return true;
}

bool CheckSettingsAgree(const SettingOverrides& settings, std::string& error) {
    if (settings.sigma && settings.autoProfile && *settings.autoProfile == 1) {
        error = "--sigma fixes the noise level, so it cannot be combined with --auto-profile 1";
        return false;
    }
    return true;
}

bool FinishMode(VdhostOptions& options, std::vector<std::string>& positional, bool hasRawSize,
                std::string& error) {
    if (options.mode == VdhostMode::Demo) {
        if (!positional.empty()) {
            error = "unexpected argument '" + positional.front() + "' after demo";
            return false;
        }
        return true;
    }
    if (positional.empty()) {
        if (!hasRawSize) {
            error = "nothing to do: give INPUT OUTPUT, --size WxH for raw frames, or demo (see --help)";
            return false;
        }
        options.mode = VdhostMode::Raw;
        return true;
    }
    if (hasRawSize) {
        error = "--size applies to raw frames on stdin; a video file's size is read from the file";
        return false;
    }
    if (positional.size() != 2) {
        error = positional.size() == 1 ? "missing OUTPUT after INPUT '" + positional[0] + "'"
                                       : "too many arguments: '" + positional[2] + "'";
        return false;
    }
    options.mode = VdhostMode::File;
    options.inputPath = positional[0];
    options.outputPath = positional[1];
    return true;
}

}  // namespace

bool ParseFloatArg(const std::string& text, float& value) {
    const char* end = text.data() + text.size();
    float parsed = 0.0f;
    auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
    if (ec != std::errc() || ptr != end || text.empty() || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool ParseIntArg(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    int parsed = 0;
    auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
    if (ec != std::errc() || ptr != end || text.empty()) return false;
    value = parsed;
    return true;
}

bool ParseFrameSize(const std::string& text, FrameSize& size) {
    size_t cross = text.find('x');
    if (cross == std::string::npos) return false;
    int width = 0;
    int height = 0;
    if (!ParseIntArg(text.substr(0, cross), width) || !ParseIntArg(text.substr(cross + 1), height)) return false;
    if (width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide) return false;
    size = {width, height};
    return true;
}

bool ParseOptions(const std::vector<std::string>& args, VdhostOptions& options, std::string& error) {
    options = VdhostOptions{};
    std::vector<std::string> positional;
    bool hasRawSize = false;
    ArgCursor cursor{args};
    for (; !cursor.Done(); ++cursor.index) {
        const std::string& arg = cursor.Current();
        if (arg == "-h" || arg == "--help") {
            options.mode = VdhostMode::Help;
            return true;
        }
        if (arg == "--gpu-info") {
            options.mode = VdhostMode::GpuInfo;
            if (args.size() == 1) return true;
            error = "--gpu-info takes no other arguments";
            return false;
        }
        bool handled = false;
        if (!ParseCommonOption(cursor, options, error, handled)) return false;
        if (handled) continue;
        if (options.mode == VdhostMode::Demo) {
            if (!ParseDemoOption(cursor, options.demo, error, handled)) return false;
            if (handled) continue;
        } else if (arg == "--size") {
            std::string value;
            if (!cursor.TakeValue(value, error) || !ParseSizeOption("--size", value, options.rawSize, error)) {
                return false;
            }
            hasRawSize = true;
            continue;
        } else if (arg == "--no-audio") {
            options.keepAudio = false;
            continue;
        } else if (arg == "demo" && positional.empty() && !hasRawSize) {
            options.mode = VdhostMode::Demo;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        }
        positional.push_back(arg);
    }
    return CheckSettingsAgree(options.settings, error) && FinishMode(options, positional, hasRawSize, error);
}

const char* UsageText() {
    return R"(usage:
  vdhost [FILTER OPTIONS] INPUT OUTPUT
      Filter a video file. ffmpeg decodes INPUT and encodes OUTPUT: lossless
      FFV1 for .mkv, otherwise what OUTPUT's extension implies. Audio is copied
      unless --no-audio. OUTPUT appears only once it is complete.
  vdhost [FILTER OPTIONS] --size WxH < in.bgra > out.bgra
      Filter raw BGRA frames (W*H*4 bytes each) from stdin to stdout.
  vdhost demo [--out DIR] [--frames N] [--size WxH] [--noise SIGMA] [FILTER OPTIONS]
      Filter a built-in synthetic clip with Gaussian noise of a known sigma;
      writes DIR/demo.mkv (noisy left, filtered right) and DIR/before_after.png
      and prints PSNR and throughput. Defaults: demo, 48, 512x288, 12.
  vdhost --gpu-info
      Say whether Quelmar_CUDA.so can filter on this machine, and if not why:
      the NVIDIA driver, each GPU (name, compute capability, memory, whether
      our kernels load and 1920x1080 frames fit) and the module vdhost would
      use. Exit status 0 when Quelmar_CUDA.so filters here, 1 when it would
      pass frames through.

filter options:
  --module PATH      module to load (default: Quelmar_CUDA.so next to vdhost
                     where it filters, see --gpu-info; else Quelmar_CPU.so)
  --denoise X        spatial strength, 0..4 (default 1.8)
  --temporal X       temporal blend, 0..1 (default 0.78)
  --deblock X        deblocking, 0..2 (default 1.25)
  --sharpen X        sharpening, 0..1 (default 0.08)
  --stabilize X      pull toward the previous output, 0..1 (default 0.2)
  --auto-profile 0|1 estimate the noise level from the video (default 1)
  --sigma S          fixed noise level 0.5..255 on the 0..255 scale;
                     turns automatic profiling off
  -h, --help         this text
)";
}
