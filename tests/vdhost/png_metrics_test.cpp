// The PNG files, checked by decoding what was written, and the error metrics
// and synthetic clip the demo's numbers rest on.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include "image_metrics.h"
#include "png_writer.h"
#include "synthetic_clip.h"

namespace {

class VdhostPng : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vdhost-png-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }

    std::vector<std::string> Files() {
        std::vector<std::string> names;
        if (DIR* dir = opendir(folder.c_str())) {
            while (dirent* entry = readdir(dir)) {
                if (entry->d_name[0] != '.') names.push_back(entry->d_name);
            }
            closedir(dir);
        }
        return names;
    }

    std::string folder;
};

// What a PNG reader finds in the file: the image's colours, alpha dropped,
// and nothing left under a temporary name.
TEST_F(VdhostPng, WrittenFileDecodesToTheImage) {
    const int width = 200;
    const int height = 120;
    std::vector<uint8_t> bgra(width * height * 4);
    for (size_t i = 0; i < bgra.size(); ++i) bgra[i] = uint8_t(i * 7 + (i >> 9));
    const std::string path = folder + "/picture.png";
    std::string error;
    ASSERT_TRUE(WritePngFile(path, bgra.data(), width, height, error)) << error;

    int w = 0, h = 0, channels = 0;
    uint8_t* rgb = stbi_load(path.c_str(), &w, &h, &channels, 0);
    ASSERT_NE(rgb, nullptr) << stbi_failure_reason();
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    EXPECT_EQ(channels, 3);
    for (int i = 0; i < width * height && channels == 3; ++i) {
        ASSERT_EQ(rgb[i * 3 + 0], bgra[i * 4 + 2]) << "red of pixel " << i;
        ASSERT_EQ(rgb[i * 3 + 1], bgra[i * 4 + 1]) << "green of pixel " << i;
        ASSERT_EQ(rgb[i * 3 + 2], bgra[i * 4 + 0]) << "blue of pixel " << i;
    }
    stbi_image_free(rgb);
    EXPECT_EQ(Files(), std::vector<std::string>{"picture.png"});
}

TEST_F(VdhostPng, UnwritablePlaceFailsWithItsNameAndLeavesNothing) {
    std::vector<uint8_t> bgra(4 * 4 * 4, 90);
    const std::string path = folder + "/missing/picture.png";
    std::string error;
    EXPECT_FALSE(WritePngFile(path, bgra.data(), 4, 4, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_TRUE(Files().empty());

    // A folder in the way of the final name: written, then not renamed.
    ASSERT_EQ(mkdir((folder + "/taken.png").c_str(), 0755), 0);
    EXPECT_FALSE(WritePngFile(folder + "/taken.png", bgra.data(), 4, 4, error));
    EXPECT_EQ(Files(), std::vector<std::string>{"taken.png"});
}

TEST(VdhostMetrics, PsnrOfKnownErrors) {
    std::vector<uint8_t> a(16 * 4, 100);
    std::vector<uint8_t> b = a;
    ErrorTally same;
    AddFrameError(same, a.data(), b.data(), 16);
    EXPECT_TRUE(std::isinf(RgbPsnr(same)));
    // Every channel off by 2, alpha wildly off (ignored): MSE 4.
    for (size_t i = 0; i < b.size(); ++i) b[i] = (i % 4 == 3) ? 0 : 102;
    ErrorTally tally;
    AddFrameError(tally, a.data(), b.data(), 16);
    double expected = 10.0 * std::log10(255.0 * 255.0 / 4.0);
    EXPECT_NEAR(RgbPsnr(tally), expected, 1e-9);
    EXPECT_NEAR(LumaPsnr(tally), expected, 1e-6);
    EXPECT_EQ(tally.rgbSamples, 48u);
    // One channel of one pixel of 16 off by 3: luma is off by 3 x the
    // channel's BT.709 weight (0.0722, 0.7152, 0.2126), RGB by 3 in 48 samples.
    const double lumaPsnr[3] = {73.458834, 53.541028, 64.078313};
    for (int channel = 0; channel < 3; ++channel) {
        std::vector<uint8_t> c = a;
        c[channel] = 103;
        ErrorTally one;
        AddFrameError(one, a.data(), c.data(), 16);
        EXPECT_NEAR(LumaPsnr(one), lumaPsnr[channel], 1e-5) << "channel " << channel;
        EXPECT_NEAR(RgbPsnr(one), 10.0 * std::log10(255.0 * 255.0 * 48 / 9), 1e-9);
    }
}

TEST(VdhostSyntheticClip, DeterministicMovingAndNoisyAsPromised) {
    SyntheticClip clip{96, 64, 12.0f};
    const size_t pixels = size_t(clip.width) * clip.height;
    std::vector<uint8_t> first(pixels * 4), again(pixels * 4), later(pixels * 4);
    RenderCleanFrame(clip, 3, first.data());
    RenderCleanFrame(clip, 3, again.data());
    RenderCleanFrame(clip, 4, later.data());
    EXPECT_EQ(first, again);
    EXPECT_NE(first, later);  // the camera moves
    for (size_t i = 0; i < pixels; ++i) ASSERT_EQ(first[i * 4 + 3], 255);

    std::vector<uint8_t> noisy(pixels * 4), noisyAgain(pixels * 4), otherFrame(pixels * 4);
    AddGaussianNoise(clip, 3, first.data(), noisy.data());
    AddGaussianNoise(clip, 3, first.data(), noisyAgain.data());
    AddGaussianNoise(clip, 4, first.data(), otherFrame.data());
    EXPECT_EQ(noisy, noisyAgain);
    EXPECT_NE(noisy, otherFrame);  // fresh noise every frame

    // Mid-grey content keeps clamping out of the way: the measured deviation is sigma,
    // and the grain is the same on the three colour channels.
    SyntheticClip grey{256, 256, 12.0f};
    std::vector<uint8_t> flat(256 * 256 * 4, 128), grain(256 * 256 * 4);
    AddGaussianNoise(grey, 0, flat.data(), grain.data());
    double sum = 0.0, squares = 0.0;
    for (size_t i = 0; i < 256 * 256; ++i) {
        ASSERT_EQ(grain[i * 4], grain[i * 4 + 1]);
        ASSERT_EQ(grain[i * 4], grain[i * 4 + 2]);
        double d = grain[i * 4] - 128.0;
        sum += d;
        squares += d * d;
    }
    double mean = sum / (256 * 256);
    EXPECT_NEAR(mean, 0.0, 0.2);
    EXPECT_NEAR(std::sqrt(squares / (256 * 256) - mean * mean), 12.0, 0.25);
}

}  // namespace
