#include "png_writer.h"
#include "kernels/common.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

namespace {

void AppendToVector(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

std::vector<uint8_t> RgbFromBgra(const uint8_t* bgra, size_t pixels) {
    std::vector<uint8_t> rgb(pixels * 3);
    for (size_t i = 0; i < pixels; ++i) {
        rgb[i * 3 + 0] = bgra[i * kBgraPixelBytes + 2];
        rgb[i * 3 + 1] = bgra[i * kBgraPixelBytes + 1];
        rgb[i * 3 + 2] = bgra[i * kBgraPixelBytes + 0];
    }
    return rgb;
}

// Empty when the encoder fails.
std::vector<uint8_t> EncodePng(const uint8_t* bgra, int width, int height) {
    const std::vector<uint8_t> rgb = RgbFromBgra(bgra, static_cast<size_t>(width) * height);
    std::vector<uint8_t> png;
    if (!stbi_write_png_to_func(AppendToVector, &png, width, height, 3, rgb.data(), width * 3)) png.clear();
    return png;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    std::string temporary = path + ".part-" + std::to_string(getpid());
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = (std::fclose(file) == 0) && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    error = "cannot write '" + path + "': " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
}

bool WritePngFile(const std::string& path, const uint8_t* bgra, int width, int height, std::string& error) {
    const std::vector<uint8_t> png = EncodePng(bgra, width, height);
    if (png.empty()) {
        error = "cannot encode '" + path + "' as PNG";
        return false;
    }
    return WriteFileAtomically(path, png, error);
}
