// The machine the CUDA module tests emulate, for whichever device binary the
// build made (QUELMAR_DEVICE_COVERAGE).
#pragma once
#include <string>

// The oldest driver branch that both lists the emulated sm_120 GPU and loads
// this build's images: R570 for the pinned build's 12.8 machine code, R580
// for the fallback build's 13.0 images. more: further QUELMAR_SIMDRIVER keys.
inline std::string EmulatedMachine(const std::string& more = "", const std::string& devices = "12.0") {
    const std::string driver = std::string(QUELMAR_DEVICE_COVERAGE) == "r570" ? "570.86" : "580.65";
    return "devices=" + devices + " driver=" + driver + (more.empty() ? "" : " " + more);
}
