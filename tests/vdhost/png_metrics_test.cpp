// The PNG writer, checked by decoding what it writes, and the error metrics
// and synthetic clip the demo's numbers rest on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "image_metrics.h"
#include "png_writer.h"
#include "synthetic_clip.h"

namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

struct PngChunk {
    std::string type;
    std::vector<uint8_t> body;
};

// Splits a PNG into chunks, failing the test on a bad signature or CRC.
std::vector<PngChunk> ReadChunks(const std::vector<uint8_t>& png) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<PngChunk> chunks;
    EXPECT_GE(png.size(), 8u);
    EXPECT_EQ(std::memcmp(png.data(), kSignature, 8), 0);
    size_t at = 8;
    while (at + 12 <= png.size()) {
        uint32_t length = BigEndian32(&png[at]);
        EXPECT_LE(at + 12 + length, png.size());
        if (at + 12 + length > png.size()) break;
        uint32_t crc = BigEndian32(&png[at + 8 + length]);
        EXPECT_EQ(crc, Crc32(&png[at + 4], length + 4)) << "chunk at " << at;
        chunks.push_back({std::string(png.begin() + at + 4, png.begin() + at + 8),
                          std::vector<uint8_t>(png.begin() + at + 8, png.begin() + at + 8 + length)});
        at += 12 + length;
    }
    EXPECT_EQ(at, png.size());
    return chunks;
}

// Inflates a zlib stream made only of stored blocks and checks its Adler-32.
std::vector<uint8_t> InflateStored(const std::vector<uint8_t>& zlib) {
    std::vector<uint8_t> out;
    EXPECT_EQ((zlib[0] * 256 + zlib[1]) % 31, 0);  // header check bits
    EXPECT_EQ(zlib[0] & 0x0F, 8);                  // deflate
    size_t at = 2;
    bool last = false;
    while (!last && at + 5 <= zlib.size()) {
        last = zlib[at] & 1;
        EXPECT_EQ(zlib[at] >> 1, 0);  // stored block
        uint16_t length = zlib[at + 1] | (zlib[at + 2] << 8);
        uint16_t inverse = zlib[at + 3] | (zlib[at + 4] << 8);
        EXPECT_EQ(uint16_t(~length), inverse);
        out.insert(out.end(), zlib.begin() + at + 5, zlib.begin() + at + 5 + length);
        at += 5 + length;
    }
    EXPECT_TRUE(last);
    EXPECT_EQ(at + 4, zlib.size());
    EXPECT_EQ(BigEndian32(&zlib[at]), Adler32(out.data(), out.size()));
    return out;
}

TEST(VdhostPng, ChecksumsMatchKnownValues) {
    const char* text = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
    const char* wiki = "Wikipedia";
    EXPECT_EQ(Adler32(reinterpret_cast<const uint8_t*>(wiki), 9), 0x11E60398u);
    // Large inputs: Adler's sums must be reduced before they overflow.
    std::vector<uint8_t> ones(1 << 20, 0xFF);
    uint64_t a = 1, b = 0;
    for (uint8_t byte : ones) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    EXPECT_EQ(Adler32(ones.data(), ones.size()), uint32_t((b << 16) | a));
}

TEST(VdhostPng, DecodesBackToTheImageAcrossSeveralBlocks) {
    // 200 x 120 RGB rows are 72 120 bytes: more than one stored block.
    const int width = 200;
    const int height = 120;
    std::vector<uint8_t> bgra(width * height * 4);
    for (size_t i = 0; i < bgra.size(); ++i) bgra[i] = uint8_t(i * 7 + (i >> 9));
    std::vector<PngChunk> chunks = ReadChunks(EncodePng(bgra.data(), width, height));
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(chunks[2].type, "IEND");
    ASSERT_EQ(chunks[0].body.size(), 13u);
    EXPECT_EQ(BigEndian32(&chunks[0].body[0]), uint32_t(width));
    EXPECT_EQ(BigEndian32(&chunks[0].body[4]), uint32_t(height));
    EXPECT_EQ(chunks[0].body[8], 8);  // bit depth
    EXPECT_EQ(chunks[0].body[9], 2);  // RGB
    ASSERT_EQ(chunks[1].type, "IDAT");
    std::vector<uint8_t> raw = InflateStored(chunks[1].body);
    ASSERT_EQ(raw.size(), size_t(height) * (width * 3 + 1));
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = &raw[y * (width * 3 + 1)];
        ASSERT_EQ(row[0], 0) << "filter byte of row " << y;
        for (int x = 0; x < width; ++x) {
            const uint8_t* pixel = &bgra[(y * width + x) * 4];
            ASSERT_EQ(row[1 + x * 3], pixel[2]);
            ASSERT_EQ(row[2 + x * 3], pixel[1]);
            ASSERT_EQ(row[3 + x * 3], pixel[0]);
        }
    }
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
    // A pure colour shift that keeps luma shows up in RGB only.
    std::vector<uint8_t> c = a;
    c[0] = 100 + 2;  // +2 blue on the first pixel, luma changes by 0.1444
    ErrorTally small;
    AddFrameError(small, a.data(), c.data(), 16);
    EXPECT_GT(LumaPsnr(small), RgbPsnr(small));
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
