// Command-line parsing: each mode is recognised, each setting reaches the
// record as given, help and version go to stdout, and every malformed command
// line is refused on stderr with its own exit status.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "filter_session.h"
#include "host/settings.h"
#include "options.h"

namespace {

struct Parsed {
    std::optional<int> exit;
    VdhostOptions options;
    std::string out;
    std::string err;
};

Parsed Parse(const std::vector<std::string>& args) {
    Parsed parsed;
    std::ostringstream out, err;
    parsed.exit = ParseOptions(args, parsed.options, out, err);
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

std::string Joined(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& arg : args) line += arg + " ";
    return line;
}

// The record a parsed command line leaves behind a fresh instance's defaults.
NRFilterData RecordAfter(const VdhostOptions& options) {
    NRFilterData record;
    NRInitRecord(&record);
    ApplySettings(record, options.settings);
    return record;
}

TEST(VdhostOptions, ModesAndTheirArguments) {
    Parsed raw = Parse({"--size", "64x48", "--denoise", "2.5"});
    ASSERT_FALSE(raw.exit) << raw.err;
    EXPECT_EQ(raw.options.mode, VdhostMode::Raw);
    EXPECT_EQ(raw.options.rawSize.width, 64);
    EXPECT_EQ(raw.options.rawSize.height, 48);

    Parsed file = Parse({"in.mp4", "--no-audio", "out.mkv", "--module", "m.so"});
    ASSERT_FALSE(file.exit) << file.err;
    EXPECT_EQ(file.options.mode, VdhostMode::File);
    EXPECT_EQ(file.options.inputPath, "in.mp4");
    EXPECT_EQ(file.options.outputPath, "out.mkv");
    EXPECT_EQ(file.options.modulePath, "m.so");
    EXPECT_FALSE(file.options.keepAudio);
    EXPECT_TRUE(Parse({"a.mov", "b.mp4"}).options.keepAudio);

    // Filter options before and after demo; demo's own --size is the clip's.
    Parsed demo = Parse({"--sharpen", "0", "demo", "--out", "d", "--frames", "5", "--size", "32x16", "--noise", "3",
                         "--denoise", "3"});
    ASSERT_FALSE(demo.exit) << demo.err;
    EXPECT_EQ(demo.options.mode, VdhostMode::Demo);
    EXPECT_EQ(demo.options.demo.outDir, "d");
    EXPECT_EQ(demo.options.demo.frames, 5);
    EXPECT_EQ(demo.options.demo.size.width, 32);
    EXPECT_EQ(demo.options.demo.size.height, 16);
    EXPECT_EQ(demo.options.demo.noiseSigma, 3.0f);
    EXPECT_EQ(RecordAfter(demo.options).params.sharpen, 0.0f);
    EXPECT_EQ(RecordAfter(demo.options).params.denoise, 3.0f);

    EXPECT_EQ(Parse({"--gpu-info"}).options.mode, VdhostMode::GpuInfo);
    EXPECT_EQ(Parse({"--denoise", "1", "--denoise", "2", "--size", "8x8"})
                  .options.settings.strengths[NRStrengthIndex(&CudaNRParams::denoise)],
              2.0f)
        << "the last one given counts";
}

// Distinct values, so that two settings swapped on the way show.
TEST(VdhostOptions, EachSettingReachesItsField) {
    Parsed parsed = Parse({"--denoise", "0.5", "--temporal", "0.25", "--deblock", "1.5", "--sharpen", "0.75",
                           "--stabilize", "0.125", "--sigma", "7.5", "--size", "8x8"});
    ASSERT_FALSE(parsed.exit) << parsed.err;
    NRFilterData record = RecordAfter(parsed.options);
    EXPECT_EQ(record.params.denoise, 0.5f);
    EXPECT_EQ(record.params.temporal, 0.25f);
    EXPECT_EQ(record.params.deblock, 1.5f);
    EXPECT_EQ(record.params.sharpen, 0.75f);
    EXPECT_EQ(record.params.stabilize, 0.125f);
    EXPECT_EQ(record.params.sigmaY, 7.5f);
    EXPECT_EQ(record.autoProfile, 0) << "a fixed noise level turns profiling off";

    // Nothing given: the instance keeps its defaults.
    NRFilterData fresh;
    NRInitRecord(&fresh);
    NRFilterData untouched = RecordAfter(Parse({"--size", "8x8"}).options);
    EXPECT_EQ(std::memcmp(&untouched, &fresh, sizeof fresh), 0);

    NRFilterData off = RecordAfter(Parse({"--auto-profile", "0", "--size", "8x8"}).options);
    EXPECT_EQ(off.autoProfile, 0);
    EXPECT_EQ(off.params.sigmaY, fresh.params.sigmaY);

    // A fixed level with profiling said off in so many words agrees with itself.
    for (const auto& args : {std::vector<std::string>{"--sigma", "7.5", "--auto-profile", "0", "--size", "8x8"},
                             std::vector<std::string>{"--auto-profile", "0", "--sigma", "7.5", "--size", "8x8"}}) {
        Parsed both = Parse(args);
        ASSERT_FALSE(both.exit) << Joined(args) << ": " << both.err;
        NRFilterData fixed = RecordAfter(both.options);
        EXPECT_EQ(fixed.params.sigmaY, 7.5f) << Joined(args);
        EXPECT_EQ(fixed.autoProfile, 0) << Joined(args);
    }
}

// The dialog's ranges, as the documentation gives them.
TEST(VdhostOptions, EverySettingTakesItsWholeRangeAndNoMore) {
    struct Range {
        const char* option;
        float CudaNRParams::*field;
        float low;
        float high;
    };
    const Range ranges[] = {
        {"--denoise", &CudaNRParams::denoise, 0.0f, 4.0f},   {"--temporal", &CudaNRParams::temporal, 0.0f, 1.0f},
        {"--deblock", &CudaNRParams::deblock, 0.0f, 2.0f},   {"--sharpen", &CudaNRParams::sharpen, 0.0f, 1.0f},
        {"--stabilize", &CudaNRParams::stabilize, 0.0f, 1.0f}, {"--sigma", &CudaNRParams::sigmaY, 0.5f, 255.0f},
    };
    for (const Range& r : ranges) {
        for (float edge : {r.low, r.high}) {
            char text[32];
            std::snprintf(text, sizeof text, "%.9g", edge);
            Parsed parsed = Parse({r.option, text, "--size", "8x8"});
            ASSERT_FALSE(parsed.exit) << r.option << " " << text << ": " << parsed.err;
            EXPECT_EQ(RecordAfter(parsed.options).params.*r.field, edge) << r.option;
        }
        for (float outside : {std::nextafter(r.low, -1.0f), std::nextafter(r.high, 1000.0f)}) {
            char text[32];
            std::snprintf(text, sizeof text, "%.9g", outside);
            EXPECT_EQ(Parse({r.option, text, "--size", "8x8"}).exit, kUsageErrorExit) << r.option << " " << text;
        }
    }
}

TEST(VdhostOptions, RefusesMalformedCommandLinesWithAUsageError) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                        // nothing to do
        {"in.mp4"},                                // no output
        {"a", "b", "c"},                           // too many files
        {"--size", "64x48", "in", "out"},          // raw size with files
        {"--size"},                                // missing value
        {"--size", "0x48"},                        // empty frame
        {"--size", "64x"},                         // half a size
        {"--size", "16385x2"},                     // too wide
        {"--size", "8x8x8"},                       // not a size
        {"--size", " 8x8"},                        // stray space
        {"--denoise", "4.01", "--size", "8x8"},    // above the dialog's range
        {"--temporal", "-0.1", "--size", "8x8"},   // negative
        {"--deblock", "nan", "--size", "8x8"},     // not finite
        {"--sharpen", "inf", "--size", "8x8"},     // not finite
        {"--stabilize", "0.5x", "--size", "8x8"},  // trailing text
        {"--auto-profile", "2", "--size", "8x8"},  // not a switch
        {"--sigma", "0.2", "--size", "8x8"},       // below "known"
        {"--sigma", "3", "--auto-profile", "1", "--size", "8x8"},
        {"--bogus", "--size", "8x8"},
        {"--no-audio", "--size", "8x8"},           // audio is a video file's
        {"--gpu-info", "--size", "8x8"},
        {"--size", "8x8", "demo"},                 // raw size, then demo
        {"demo", "--frames", "0"},
        {"demo", "--noise", "65"},
        {"demo", "extra"},
        {"demo", "--out", ""},
        {"demo", "--frames"},
        {"--frames", "3", "demo"},                 // a demo option before demo
    };
    for (const auto& args : bad) {
        Parsed parsed = Parse(args);
        EXPECT_EQ(parsed.exit, kUsageErrorExit) << Joined(args);
        EXPECT_TRUE(parsed.out.empty()) << Joined(args);
        EXPECT_EQ(parsed.err.rfind("vdhost: ", 0), 0u) << Joined(args) << ": " << parsed.err;
        EXPECT_NE(parsed.err.find("\nTry 'vdhost --help'"), std::string::npos) << Joined(args) << ": " << parsed.err;
    }
    EXPECT_NE(Parse({"--denoise", "9", "--size", "8x8"}).err.find("--denoise: takes a number from 0 to 4, not '9'"),
              std::string::npos);
}

// Help wins over a command line that would otherwise run; the strengths'
// lines carry the dialog's ranges and recommended values.
TEST(VdhostOptions, HelpAndVersionGoToStdoutAndSucceed) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--size", "4x4", "--help"}, {"in.mp4", "-h"}}) {
        Parsed help = Parse(args);
        EXPECT_EQ(help.exit, 0) << Joined(args);
        EXPECT_TRUE(help.err.empty()) << help.err;
        EXPECT_NE(help.out.find("usage:"), std::string::npos) << Joined(args);
    }
    const std::string help = Parse({"--help"}).out;
    for (const char* line : {"--denoise X         spatial denoise, 0..4 (default 1.8)",
                             "0..1 (default 0.78)", "0..2 (default 1.25)", "0..1 (default 0.08)",
                             "0..1 (default 0.2)", "--auto-profile 0|1", "(default 1)", "--sigma S",
                             "0.5..255", "--frames N", "--no-audio", "--gpu-info", "--version"}) {
        EXPECT_NE(help.find(line), std::string::npos) << line << " in\n" << help;
    }
    EXPECT_NE(Parse({"demo", "--help"}).out.find("usage: vdhost demo"), std::string::npos);

    Parsed version = Parse({"--version"});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out.rfind("vdhost ", 0), 0u) << version.out;
    EXPECT_TRUE(version.err.empty());
}

}  // namespace
