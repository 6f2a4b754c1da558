// Command-line parsing: each mode is recognised, settings reach the record
// untouched, and every malformed command line is refused with a reason.
#include <gtest/gtest.h>

#include "filter_session.h"
#include "host/filter_data.h"
#include "options.h"

namespace {

bool Parse(std::vector<std::string> args, VdhostOptions& options, std::string& error) {
    return ParseOptions(args, options, error);
}

TEST(VdhostOptions, ModesAndTheirArguments) {
    VdhostOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--size", "64x48", "--denoise", "2.5"}, options, error)) << error;
    EXPECT_EQ(options.mode, VdhostMode::Raw);
    EXPECT_EQ(options.rawSize.width, 64);
    EXPECT_EQ(options.rawSize.height, 48);
    EXPECT_FLOAT_EQ(*options.settings.denoise, 2.5f);
    EXPECT_FALSE(options.settings.temporal.has_value());

    ASSERT_TRUE(Parse({"in.mp4", "--no-audio", "out.mkv", "--module", "m.so"}, options, error)) << error;
    EXPECT_EQ(options.mode, VdhostMode::File);
    EXPECT_EQ(options.inputPath, "in.mp4");
    EXPECT_EQ(options.outputPath, "out.mkv");
    EXPECT_EQ(options.modulePath, "m.so");
    EXPECT_FALSE(options.keepAudio);

    ASSERT_TRUE(Parse({"--sharpen", "0", "demo", "--out", "d", "--frames", "5", "--size", "32x16", "--noise", "3"},
                      options, error))
        << error;
    EXPECT_EQ(options.mode, VdhostMode::Demo);
    EXPECT_EQ(options.demo.outDir, "d");
    EXPECT_EQ(options.demo.frames, 5);
    EXPECT_EQ(options.demo.size.width, 32);
    EXPECT_EQ(options.demo.size.height, 16);
    EXPECT_FLOAT_EQ(options.demo.noiseSigma, 3.0f);
    EXPECT_FLOAT_EQ(*options.settings.sharpen, 0.0f);

    ASSERT_TRUE(Parse({"--size", "4x4", "--help"}, options, error));
    EXPECT_EQ(options.mode, VdhostMode::Help);
}

TEST(VdhostOptions, RefusesMalformedCommandLines) {
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
        {"--stabilize", "0.5x", "--size", "8x8"},  // trailing text
        {"--auto-profile", "2", "--size", "8x8"},  // not a switch
        {"--sigma", "0.2", "--size", "8x8"},       // below "known"
        {"--sigma", "3", "--auto-profile", "1", "--size", "8x8"},
        {"--bogus", "--size", "8x8"},
        {"demo", "--frames", "0"},
        {"demo", "--noise", "65"},
        {"demo", "extra"},
        {"demo", "--out", ""},
        {"demo", "--frames"},
    };
    for (const auto& args : bad) {
        VdhostOptions options;
        std::string error;
        std::string line;
        for (const auto& arg : args) line += arg + " ";
        EXPECT_FALSE(ParseOptions(args, options, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(VdhostOptions, SettingsLandInTheInstanceRecord) {
    NRFilterData record{};
    record.params = {1.8f, 0.78f, 1.25f, 0.08f, 0.2f, 0.0f};
    record.autoProfile = 1;
    SettingOverrides none;
    ApplySettings(record, none);
    EXPECT_FLOAT_EQ(record.params.denoise, 1.8f);
    EXPECT_EQ(record.autoProfile, 1);

    SettingOverrides all;
    all.denoise = 4.0f;
    all.temporal = 0.5f;
    all.deblock = 0.0f;
    all.sharpen = 1.0f;
    all.stabilize = 0.25f;
    all.sigma = 7.5f;
    ApplySettings(record, all);
    EXPECT_FLOAT_EQ(record.params.denoise, 4.0f);
    EXPECT_FLOAT_EQ(record.params.temporal, 0.5f);
    EXPECT_FLOAT_EQ(record.params.deblock, 0.0f);
    EXPECT_FLOAT_EQ(record.params.sharpen, 1.0f);
    EXPECT_FLOAT_EQ(record.params.stabilize, 0.25f);
    EXPECT_FLOAT_EQ(record.params.sigmaY, 7.5f);
    EXPECT_EQ(record.autoProfile, 0);  // a fixed noise level turns profiling off

    SettingOverrides profileOff;
    profileOff.autoProfile = 0;
    record.autoProfile = 1;
    ApplySettings(record, profileOff);
    EXPECT_EQ(record.autoProfile, 0);
    EXPECT_FLOAT_EQ(record.params.sigmaY, 7.5f);
}

}  // namespace
