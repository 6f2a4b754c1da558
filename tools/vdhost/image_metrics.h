// Error statistics between two BGRA frames, accumulated over a clip.
#pragma once
#include <cstddef>
#include <cstdint>

struct ErrorTally {
    double rgbSquaredError = 0.0;  // over B, G, R; alpha ignored
    uint64_t rgbSamples = 0;
    double lumaSquaredError = 0.0;  // BT.709 luma on the 0..255 scale
    uint64_t lumaSamples = 0;
};

void AddFrameError(ErrorTally& tally, const uint8_t* a, const uint8_t* b, size_t pixels);

// Peak signal-to-noise ratio for 8-bit samples; +infinity for identical frames.
double PsnrFromTally(double squaredError, uint64_t samples);
double RgbPsnr(const ErrorTally& tally);
double LumaPsnr(const ErrorTally& tally);
