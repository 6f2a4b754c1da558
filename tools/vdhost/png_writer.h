// PNG files of BGRA frames, encoded by stb_image_write.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Writes a packed BGRA image (pitch = width * 4) as an 8-bit RGB PNG (alpha
// is dropped) to a temporary name beside path and renames it into place, so a
// failure never leaves a truncated file under the final name.
bool WritePngFile(const std::string& path, const uint8_t* bgra, int width, int height, std::string& error);

// Writes bytes to path through a temporary name and a rename.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);
