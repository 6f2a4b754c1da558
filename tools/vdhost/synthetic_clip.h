// The demo's built-in clip: a textured scene seen by a moving camera, and
// Gaussian noise of a known standard deviation on top. Fully deterministic.
#pragma once
#include <cstddef>
#include <cstdint>

struct SyntheticClip {
    int width = 640;
    int height = 360;
    float noiseSigma = 12.0f;  // on the 0..255 scale
    uint64_t seed = 0x5eed0f5ce7e5ull;
};

// Packed BGRA frames (pitch = width * 4), alpha 255.
void RenderCleanFrame(const SyntheticClip& clip, int frameIndex, uint8_t* bgra);

// noisy = clean + one Gaussian sample per pixel, the same on B, G and R
// (grain without colour), rounded and clamped to 0..255.
void AddGaussianNoise(const SyntheticClip& clip, int frameIndex, const uint8_t* clean, uint8_t* noisy);

// Deterministic pseudo-random numbers: splitmix64 and standard normals.
struct Prng {
    uint64_t state;
};
uint64_t NextU64(Prng& prng);
double NextUniform(Prng& prng);  // in (0, 1)
double NextGaussian(Prng& prng);
