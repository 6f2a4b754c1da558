// A minimal PNG encoder: 8-bit RGB from BGRA rows, stored (uncompressed)
// deflate blocks, so no compression library is needed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);
uint32_t Adler32(const uint8_t* data, size_t size);

// Encodes a packed BGRA image (pitch = width * 4); alpha is dropped.
std::vector<uint8_t> EncodePng(const uint8_t* bgra, int width, int height);

// Writes the PNG to a temporary name beside path and renames it into place,
// so a failure never leaves a truncated file under the final name.
bool WritePngFile(const std::string& path, const uint8_t* bgra, int width, int height, std::string& error);

// Writes bytes to path through a temporary name and a rename.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);
