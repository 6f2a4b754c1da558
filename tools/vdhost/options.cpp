#include "options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <ostream>
#include <span>

namespace {

constexpr float kLargestSigma = 255.0f;  // a noise level on the channels' 0..255 scale
constexpr int kMostDemoFrames = 100000;
constexpr float kMostDemoNoise = 64.0f;

const char* const kFilterGroup = "filter options";
const char* const kRawGroup = "raw frames";
const char* const kFileGroup = "video files";
const char* const kDemoGroup = "demo options (after demo)";
const char* const kOtherGroup = "other options";

const char* const kUsage = R"(usage:
  vdhost [FILTER OPTIONS] INPUT OUTPUT
      Filter a video file. ffmpeg decodes INPUT and encodes OUTPUT: lossless
      FFV1 for .mkv, otherwise what OUTPUT's extension implies. Audio is copied
      unless --no-audio. OUTPUT appears only once it is complete.
  vdhost [FILTER OPTIONS] --size WxH < in.bgra > out.bgra
      Filter raw BGRA frames (W*H*4 bytes each) from stdin to stdout.
  vdhost demo [DEMO OPTIONS] [FILTER OPTIONS]
      Filter a built-in synthetic clip with Gaussian noise of a known sigma;
      writes DIR/demo.mkv (noisy left, filtered right) and DIR/before_after.png
      and prints PSNR and throughput.
  vdhost --gpu-info
      Say whether Quelmar_CUDA.so can filter on this machine, and if not why:
      the NVIDIA driver, each GPU (name, compute capability, memory, whether
      our kernels load and 1920x1080 frames fit) and the module vdhost would
      use. Exit status 0 when Quelmar_CUDA.so filters here, 1 when it would
      pass frames through.
)";

const char* const kDemoUsage = "usage: vdhost demo [DEMO OPTIONS] [FILTER OPTIONS]\n";

const char* const kExitStatus =
    "Exit status: 0 when done, 1 when the run failed, 2 for a wrong command line.";

// Which groups of options a help lists, in order, and from which command.
struct HelpGroup {
    bool demo;  // the demo's own options, else the main command's
    const char* name;
};
constexpr HelpGroup kMainHelp[] = {
    {false, kFilterGroup}, {false, kRawGroup}, {false, kFileGroup}, {true, kDemoGroup}, {false, kOtherGroup}};
constexpr HelpGroup kDemoHelp[] = {{true, kDemoGroup}, {false, kFilterGroup}, {true, kOtherGroup}};

// The help: the modes, then the groups of options, the demo's included.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter() { column_width(22); }
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
        const bool forDemo = app->get_parent() != nullptr;
        const CLI::App* main = forDemo ? app->get_parent() : app;
        const CLI::App* demo = main->get_subcommand("demo");
        std::span<const HelpGroup> groups = kMainHelp;
        if (forDemo) groups = kDemoHelp;
        std::string text = forDemo ? kDemoUsage : kUsage;
        for (const HelpGroup& group : groups) {
            const std::string name = group.name;
            auto inGroup = [&name](const CLI::Option* option) { return option->get_group() == name; };
            text += make_group(name, false, (group.demo ? demo : main)->get_options(inGroup));
        }
        return text + "\n" + main->get_footer() + "\n";
    }
};

std::string Decimal(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}
std::string Decimal(int value) { return std::to_string(value); }

bool ParseNumber(const std::string& text, float& value) { return ParseFloatArg(text, value); }
bool ParseNumber(const std::string& text, int& value) { return ParseIntArg(text, value); }

// CLI11 reports it as "NAME: takes WANTS, not 'TEXT'".
[[noreturn]] void Refuse(const std::string& name, const std::string& wants, const std::string& text) {
    throw CLI::ValidationError(name, "takes " + wants + ", not '" + text + "'");
}

// An option whose value is a number from low to high, handed to store.
// The help line tells the range and, when given, the default.
template <typename T>
CLI::Option* AddNumber(CLI::App& app, const std::string& name, const char* valueName, T low, T high,
                       std::function<void(T)> store, const std::string& what, const std::string& byDefault) {
    const std::string wants = "a number from " + Decimal(low) + " to " + Decimal(high);
    auto parse = [=](const std::string& text) {
        T value{};
        if (!ParseNumber(text, value) || value < low || value > high) Refuse(name, wants, text);
        store(value);
    };
    std::string help = what + ", " + Decimal(low) + ".." + Decimal(high);
    if (!byDefault.empty()) help += " (default " + byDefault + ")";
    return app.add_option_function<std::string>(name, parse, help)->type_name(valueName);
}

CLI::Option* AddFrameSize(CLI::App& app, FrameSize& size, const std::string& what) {
    auto parse = [&size](const std::string& text) {
        if (ParseFrameSize(text, size)) return;
        Refuse("--size", "WIDTHxHEIGHT with each side from 1 to " + std::to_string(kMaxFrameSide), text);
    };
    return app.add_option_function<std::string>("--size", parse, what)->type_name("WxH");
}

// Every strength as the settings table has it: name, range, default.
void AddStrengths(CLI::App& app, SettingOverrides& settings) {
    for (size_t i = 0; i < kNRStrengthCount; ++i) {
        const NRStrength& s = kNRStrengths[i];
        AddNumber<float>(app, std::string("--") + s.name, "X", 0.0f, s.maximum,
                         [&settings, i](float value) { settings.strengths[i] = value; }, s.summary,
                         Decimal(s.recommended))
            ->group(kFilterGroup);
    }
}

void AddFilterOptions(CLI::App& app, VdhostOptions& options) {
    SettingOverrides& settings = options.settings;
    app.add_option("--module", options.modulePath,
                   "module to load (default: Quelmar_CUDA.so beside vdhost\n"
                   "where it filters, see --gpu-info; else Quelmar_CPU.so)")
        ->type_name("PATH")
        ->group(kFilterGroup);
    AddStrengths(app, settings);
    auto autoProfile = [&settings](const std::string& text) {
        if (text != "0" && text != "1") Refuse("--auto-profile", "0 or 1", text);
        settings.autoProfile = text == "1" ? 1 : 0;
    };
    app.add_option_function<std::string>("--auto-profile", autoProfile,
                                         "estimate the noise level from the video (default " +
                                             Decimal(kNRRecommendedAutoProfile) + ")")
        ->type_name("0|1")
        ->group(kFilterGroup);
    AddNumber<float>(app, "--sigma", "S", kCudaNRSigmaKnown, kLargestSigma,
                     [&settings](float value) { settings.sigma = value; },
                     "fixed noise level (auto profile off)", "")
        ->group(kFilterGroup);
}

void AddDemoOptions(CLI::App& demo, DemoOptions& options) {
    const DemoOptions defaults;
    demo.add_option("--out", options.outDir, "folder for the results (default " + defaults.outDir + ")")
        ->type_name("DIR")
        ->check([](const std::string& text) { return text.empty() ? "needs a folder name" : ""; });
    AddNumber<int>(demo, "--frames", "N", 1, kMostDemoFrames, [&options](int value) { options.frames = value; },
                   "frames in the clip", Decimal(defaults.frames));
    AddFrameSize(demo, options.size, "size of the clip (default " + Decimal(defaults.size.width) + "x" +
                                         Decimal(defaults.size.height) + ")");
    AddNumber<float>(demo, "--noise", "SIGMA", 0.0f, kMostDemoNoise,
                     [&options](float value) { options.noiseSigma = value; }, "standard deviation of the grain",
                     Decimal(defaults.noiseSigma));
    for (CLI::Option* option : demo.get_options()) option->group(kDemoGroup);
    demo.set_help_flag("-h,--help", "this text")->group(kOtherGroup);
}

// The parser, bound to the record it fills; what is left to check afterwards.
struct CommandLine {
    CLI::App app{"", "vdhost"};
    CLI::App* demo = nullptr;
    CLI::Option* rawSize = nullptr;
    bool noAudio = false;
    bool gpuInfo = false;
    std::vector<std::string> files;
};

void Build(CommandLine& cli, VdhostOptions& options) {
    CLI::App& app = cli.app;
    app.formatter(std::make_shared<HelpFormatter>());
    app.footer(kExitStatus);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // the last one given counts
    AddFilterOptions(app, options);
    cli.rawSize = AddFrameSize(app, options.rawSize, "frame size of raw BGRA frames on stdin")->group(kRawGroup);
    app.add_flag("--no-audio", cli.noAudio, "leave the audio out of OUTPUT")->group(kFileGroup);
    app.add_option("files", cli.files)->group("");  // INPUT OUTPUT, shown in the usage
    cli.demo = app.add_subcommand("demo", "Filter a built-in synthetic clip of known noise.");
    cli.demo->fallthrough();  // filter options may follow demo
    AddDemoOptions(*cli.demo, options.demo);
    app.add_flag("--gpu-info", cli.gpuInfo, "whether the CUDA module filters here, and why not")->group(kOtherGroup);
    app.set_version_flag("--version", "vdhost " QUELMAR_VERSION, "vdhost's version")->group(kOtherGroup);
    app.set_help_flag("-h,--help", "this text")->group(kOtherGroup);
}

std::string SettleDemo(const CommandLine& cli, VdhostOptions& options) {
    options.mode = VdhostMode::Demo;
    if (!cli.files.empty()) return "demo takes no files, not '" + cli.files.front() + "'";
    if (cli.rawSize->count()) return "--size before demo is for raw frames; give the clip's size after demo";
    return "";
}

std::string SettleFiles(const CommandLine& cli, VdhostOptions& options) {
    if (cli.rawSize->count()) return "--size applies to raw frames on stdin; a video file's size is read from the file";
    if (cli.files.size() != 2) {
        return cli.files.size() == 1 ? "missing OUTPUT after INPUT '" + cli.files[0] + "'"
                                     : "too many arguments: '" + cli.files[2] + "'";
    }
    options.mode = VdhostMode::File;
    options.inputPath = cli.files[0];
    options.outputPath = cli.files[1];
    options.keepAudio = !cli.noAudio;
    return "";
}

// The mode the arguments name, and what CLI11 cannot see wrong with them.
std::string SettleMode(const CommandLine& cli, VdhostOptions& options, size_t argumentCount) {
    if (cli.gpuInfo) {
        options.mode = VdhostMode::GpuInfo;
        return argumentCount == 1 ? "" : "--gpu-info takes no other arguments";
    }
    if (options.settings.sigma && options.settings.autoProfile == 1)
        return "--sigma fixes the noise level, so it cannot be combined with --auto-profile 1";
    if (cli.noAudio && (cli.demo->parsed() || cli.files.empty()))
        return "--no-audio applies to a video file (INPUT OUTPUT)";
    if (cli.demo->parsed()) return SettleDemo(cli, options);
    if (!cli.files.empty()) return SettleFiles(cli, options);
    if (!cli.rawSize->count()) return "nothing to do: give INPUT OUTPUT, --size WxH for raw frames, or demo";
    options.mode = VdhostMode::Raw;
    return "";
}

int UsageError(std::ostream& err, const std::string& message) {
    err << "vdhost: " << message << "\nTry 'vdhost --help' for more information.\n";
    return kUsageErrorExit;
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

std::optional<int> ParseOptions(const std::vector<std::string>& args, VdhostOptions& options, std::ostream& out,
                                std::ostream& err) {
    options = VdhostOptions{};
    CommandLine cli;
    Build(cli, options);
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes the last first
        cli.app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return cli.app.exit(e, out, err);  // --help, --version
        return UsageError(err, e.what());
    }
    const std::string problem = SettleMode(cli, options, args.size());
    if (!problem.empty()) return UsageError(err, problem);
    return std::nullopt;
}
