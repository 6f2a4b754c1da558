#include "synthetic_clip.h"
#include "kernels/common.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rgb {
    double r, g, b;
};

uint32_t HashCell(int64_t x, int64_t y, uint64_t seed) {
    uint64_t h = seed ^ (static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ull) ^
                 (static_cast<uint64_t>(y) * 0xC2B2AE3D27D4EB4Full);
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    return static_cast<uint32_t>(h >> 32);
}

double Unit(uint32_t h) { return h / 4294967296.0; }

double SmoothStep(double t) { return t * t * (3.0 - 2.0 * t); }

// Smoothly interpolated lattice noise in [0, 1) with cells of `scale` pixels.
double ValueNoise(double u, double v, double scale, uint64_t seed) {
    double fu = u / scale;
    double fv = v / scale;
    double cu = std::floor(fu);
    double cv = std::floor(fv);
    auto ix = static_cast<int64_t>(cu);
    auto iy = static_cast<int64_t>(cv);
    double tu = SmoothStep(fu - cu);
    double tv = SmoothStep(fv - cv);
    double a = Unit(HashCell(ix, iy, seed));
    double b = Unit(HashCell(ix + 1, iy, seed));
    double c = Unit(HashCell(ix, iy + 1, seed));
    double d = Unit(HashCell(ix + 1, iy + 1, seed));
    return (a + (b - a) * tu) + ((c + (d - c) * tu) - (a + (b - a) * tu)) * tv;
}

// Discs on a 96-pixel grid, each with its own colour and radius; soft 1-pixel rim.
double DiscCoverage(double u, double v, uint64_t seed, Rgb& colour) {
    constexpr double kCell = 96.0;
    double cu = std::floor(u / kCell);
    double cv = std::floor(v / kCell);
    uint32_t h = HashCell(static_cast<int64_t>(cu), static_cast<int64_t>(cv), seed ^ 0xD15Cull);
    double radius = 14.0 + 26.0 * Unit(h);
    double du = u - (cu + 0.5) * kCell;
    double dv = v - (cv + 0.5) * kCell;
    double edge = radius - std::sqrt(du * du + dv * dv);
    colour = {40.0 + 170.0 * Unit(h * 2654435761u), 40.0 + 170.0 * Unit(h ^ 0x5bd1e995u),
              40.0 + 170.0 * Unit(h * 40503u + 7u)};
    return std::fmin(1.0, std::fmax(0.0, edge + 0.5));
}

// The scene at world position (u, v): soft colour fields, fine texture,
// stripes, a checkerboard band and discs, all within 24..232.
Rgb Scene(double u, double v, uint64_t seed) {
    double low = ValueNoise(u, v, 80.0, seed);
    double hue = ValueNoise(u, v, 120.0, seed ^ 0xA5A5ull);
    double fine = ValueNoise(u, v, 6.0, seed ^ 0x3C3Cull) - 0.5;
    double base = 70.0 + 100.0 * low + 36.0 * fine;
    Rgb pixel{base + 40.0 * (hue - 0.5), base, base - 40.0 * (hue - 0.5)};
    double band = std::fmod(std::fabs(v), 240.0);
    if (band < 40.0) {
        double stripes = 0.5 + 0.5 * std::sin(u * 2.0 * kPi / 11.0);
        pixel = {pixel.r * 0.6 + 60.0 * stripes, pixel.g * 0.6 + 60.0 * stripes, pixel.b * 0.6 + 60.0 * stripes};
    } else if (band >= 120.0 && band < 144.0) {
        bool dark = (static_cast<int64_t>(std::floor(u / 12.0)) + static_cast<int64_t>(std::floor(v / 12.0))) & 1;
        double level = dark ? 50.0 : 200.0;
        pixel = {level, level, level};
    }
    Rgb disc{};
    double cover = DiscCoverage(u, v, seed, disc);
    pixel = {pixel.r + (disc.r - pixel.r) * cover, pixel.g + (disc.g - pixel.g) * cover,
             pixel.b + (disc.b - pixel.b) * cover};
    return pixel;
}

uint8_t ToByte(double value) {
    double rounded = std::nearbyint(value);
    return static_cast<uint8_t>(std::fmin(255.0, std::fmax(0.0, rounded)));
}

// A slow pan with some sway, in whole and fractional pixels.
void CameraAt(int frameIndex, double& u, double& v) {
    double t = frameIndex;
    u = 1.5 * t + 5.0 * std::sin(t * 0.23);
    v = 0.75 * t + 3.0 * std::sin(t * 0.17 + 1.0);
}

}  // namespace

uint64_t NextU64(Prng& prng) {
    uint64_t z = (prng.state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double NextUniform(Prng& prng) { return (static_cast<double>(NextU64(prng) >> 11) + 0.5) / 9007199254740992.0; }

double NextGaussian(Prng& prng) {
    double radius = std::sqrt(-2.0 * std::log(NextUniform(prng)));
    return radius * std::cos(2.0 * kPi * NextUniform(prng));
}

void RenderCleanFrame(const SyntheticClip& clip, int frameIndex, uint8_t* bgra) {
    double camU = 0.0;
    double camV = 0.0;
    CameraAt(frameIndex, camU, camV);
    for (int y = 0; y < clip.height; ++y) {
        uint8_t* row = bgra + static_cast<size_t>(y) * clip.width * kBgraPixelBytes;
        for (int x = 0; x < clip.width; ++x) {
            Rgb pixel = Scene(x + camU, y + camV, clip.seed);
            row[x * kBgraPixelBytes + 0] = ToByte(pixel.b);
            row[x * kBgraPixelBytes + 1] = ToByte(pixel.g);
            row[x * kBgraPixelBytes + 2] = ToByte(pixel.r);
            row[x * kBgraPixelBytes + 3] = 255;
        }
    }
}

void AddGaussianNoise(const SyntheticClip& clip, int frameIndex, const uint8_t* clean, uint8_t* noisy) {
    Prng prng{clip.seed ^ (0x6A09E667F3BCC909ull * static_cast<uint64_t>(frameIndex + 1))};
    size_t pixels = static_cast<size_t>(clip.width) * clip.height;
    for (size_t i = 0; i < pixels; ++i) {
        double grain = clip.noiseSigma * NextGaussian(prng);
        for (int c = 0; c < 3; ++c) noisy[i * kBgraPixelBytes + c] = ToByte(clean[i * kBgraPixelBytes + c] + grain);
        noisy[i * kBgraPixelBytes + 3] = clean[i * kBgraPixelBytes + 3];
    }
}
