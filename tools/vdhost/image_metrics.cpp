#include "image_metrics.h"

#include <cmath>
#include <limits>

#include "kernels/luma_weights.h"
#include "kernels/common.h"

namespace {

double Luma(const uint8_t* pixel) {
    return bt709::kRed * pixel[2] + bt709::kGreen * pixel[1] + bt709::kBlue * pixel[0];
}

}  // namespace

void AddFrameError(ErrorTally& tally, const uint8_t* a, const uint8_t* b, size_t pixels) {
    double rgb = 0.0;
    double luma = 0.0;
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* pa = a + i * kBgraPixelBytes;
        const uint8_t* pb = b + i * kBgraPixelBytes;
        for (int c = 0; c < 3; ++c) {
            double d = static_cast<double>(pa[c]) - pb[c];
            rgb += d * d;
        }
        double dy = Luma(pa) - Luma(pb);
        luma += dy * dy;
    }
    tally.rgbSquaredError += rgb;
    tally.rgbSamples += pixels * 3;
    tally.lumaSquaredError += luma;
    tally.lumaSamples += pixels;
}

double PsnrFromTally(double squaredError, uint64_t samples) {
    if (samples == 0 || squaredError <= 0.0) return std::numeric_limits<double>::infinity();
    double mse = squaredError / static_cast<double>(samples);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

double RgbPsnr(const ErrorTally& tally) { return PsnrFromTally(tally.rgbSquaredError, tally.rgbSamples); }

double LumaPsnr(const ErrorTally& tally) { return PsnrFromTally(tally.lumaSquaredError, tally.lumaSamples); }
