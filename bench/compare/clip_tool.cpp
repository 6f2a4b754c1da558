// The side-by-side benchmark's clip and its score: writes the synthetic clip
// (clean and noisy, raw BGRA frames) and measures a filtered clip's luma PSNR
// against the clean one.
//   quelmar_clip make WIDTH HEIGHT FRAMES SIGMA CLEAN.bgra NOISY.bgra
//   quelmar_clip psnr WIDTH HEIGHT bgra|gbrp CLEAN.bgra FILTERED
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image_metrics.h"
#include "synthetic_clip.h"

namespace {

bool WriteFrame(std::FILE* f, const std::vector<uint8_t>& bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

bool ReadFrame(std::FILE* f, std::vector<uint8_t>& bytes) {
    return std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

int Make(int width, int height, int frames, float sigma, const char* cleanPath, const char* noisyPath) {
    const SyntheticClip clip{width, height, sigma};
    std::vector<uint8_t> clean(static_cast<std::size_t>(width) * height * 4), noisy(clean.size());
    std::FILE* cleanFile = std::fopen(cleanPath, "wb");
    std::FILE* noisyFile = std::fopen(noisyPath, "wb");
    bool ok = cleanFile && noisyFile;
    for (int i = 0; ok && i < frames; ++i) {
        RenderCleanFrame(clip, i, clean.data());
        AddGaussianNoise(clip, i, clean.data(), noisy.data());
        ok = WriteFrame(cleanFile, clean) && WriteFrame(noisyFile, noisy);
    }
    if (cleanFile && std::fclose(cleanFile) != 0) ok = false;
    if (noisyFile && std::fclose(noisyFile) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "quelmar_clip: cannot write the clip\n");
    return ok ? 0 : 1;
}

// ffmpeg's planar gbrp (planes G, B, R) as packed BGRA.
void PlanarToBgra(const std::vector<uint8_t>& planar, std::size_t pixels, std::vector<uint8_t>& bgra) {
    for (std::size_t i = 0; i < pixels; ++i) {
        bgra[4 * i + 0] = planar[pixels + i];
        bgra[4 * i + 1] = planar[i];
        bgra[4 * i + 2] = planar[2 * pixels + i];
        bgra[4 * i + 3] = 255;
    }
}

int Psnr(int width, int height, const std::string& format, const char* cleanPath, const char* filteredPath) {
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    std::vector<uint8_t> clean(pixels * 4), filtered(pixels * 4), planar(pixels * 3);
    std::FILE* cleanFile = std::fopen(cleanPath, "rb");
    std::FILE* filteredFile = std::fopen(filteredPath, "rb");
    ErrorTally tally;
    int frames = 0;
    while (cleanFile && filteredFile && ReadFrame(cleanFile, clean)) {
        const bool read = format == "gbrp" ? ReadFrame(filteredFile, planar) : ReadFrame(filteredFile, filtered);
        if (!read) break;
        if (format == "gbrp") PlanarToBgra(planar, pixels, filtered);
        AddFrameError(tally, filtered.data(), clean.data(), pixels);
        ++frames;
    }
    if (cleanFile) std::fclose(cleanFile);
    if (filteredFile) std::fclose(filteredFile);
    if (frames == 0) {
        std::fprintf(stderr, "quelmar_clip: no frames to compare\n");
        return 1;
    }
    std::printf("%.2f\n", LumaPsnr(tally));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "make" && argc == 8)
        return Make(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::strtof(argv[5], nullptr), argv[6],
                    argv[7]);
    if (mode == "psnr" && argc == 7 && (std::string(argv[4]) == "bgra" || std::string(argv[4]) == "gbrp"))
        return Psnr(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5], argv[6]);
    std::fprintf(stderr,
                 "usage: quelmar_clip make WIDTH HEIGHT FRAMES SIGMA CLEAN.bgra NOISY.bgra\n"
                 "       quelmar_clip psnr WIDTH HEIGHT bgra|gbrp CLEAN.bgra FILTERED\n");
    return 2;
}
