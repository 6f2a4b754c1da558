// The BT.709 luma weights: the decimals, for measurements on the host, and
// the floats the kernels compute with (each decimal rounded to a float).
#pragma once

namespace bt709 {

constexpr double kRed = 0.2126, kGreen = 0.7152, kBlue = 0.0722;

}  // namespace bt709

namespace qnr {

constexpr float kLumaR = static_cast<float>(bt709::kRed);
constexpr float kLumaG = static_cast<float>(bt709::kGreen);
constexpr float kLumaB = static_cast<float>(bt709::kBlue);
// The colour differences' scales, 2 (1 - weight); both are exact in float.
constexpr float kBlueDifferenceScale = 2.0f * (1.0f - kLumaB);  // 1.8556
constexpr float kRedDifferenceScale = 2.0f * (1.0f - kLumaR);   // 1.5748

}  // namespace qnr
