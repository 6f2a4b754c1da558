// Time per frame of a module's run callback on raw BGRA frames, driven as a
// host drives it (one instance, the frames in order). The same program is
// built for Linux and Windows, so that the Windows module can be timed under
// Wine against the Linux one on the same frames.
//   quelmar_frametime MODULE WIDTH HEIGHT FRAMES.bgra
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/modhost/modhost.h"

namespace {

// Seconds spent in the run callback for each frame of the file.
bool TimeFrames(modhost::Module* module, int width, int height, std::FILE* frames, std::vector<double>& seconds) {
    modhost::Instance inst{};
    if (!modhost::CreateInstance(&inst, module)) return false;
    modhost::CallInit(&inst);
    modhost::CallStart(&inst);
    std::vector<uint8_t> in(static_cast<std::size_t>(width) * height * 4), out(in.size());
    while (std::fread(in.data(), 1, in.size(), frames) == in.size()) {
        modhost::SetBitmap(inst.src, in.data(), 32, width, height, width * 4);
        modhost::SetBitmap(inst.dst, out.data(), 32, width, height, width * 4);
        const auto start = std::chrono::steady_clock::now();
        modhost::CallRun(&inst);
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    modhost::CallEnd(&inst);
    modhost::CallDeinit(&inst);
    modhost::DestroyInstance(&inst);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s MODULE WIDTH HEIGHT FRAMES.bgra\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    static modhost::Module module{};
    if (width <= 0 || height <= 0 || !modhost::LoadModule(&module, argv[1])) {
        std::fprintf(stderr, "%s\n", width <= 0 || height <= 0 ? "bad frame size" : module.error);
        return 1;
    }
    std::FILE* frames = std::fopen(argv[4], "rb");
    std::vector<double> seconds;
    const bool ok = frames && TimeFrames(&module, width, height, frames, seconds);
    if (frames) std::fclose(frames);
    modhost::UnloadModule(&module);
    if (!ok || seconds.size() < 2) {
        std::fprintf(stderr, "cannot time frames from %s\n", argv[4]);
        return 1;
    }
    // The first frame allocates the device buffers and profiles the noise.
    double later = 0.0;
    for (std::size_t i = 1; i < seconds.size(); ++i) later += seconds[i];
    std::printf("%zu frames: first %.1f ms, then %.1f ms per frame\n", seconds.size(), seconds[0] * 1e3,
                later / static_cast<double>(seconds.size() - 1) * 1e3);
    return 0;
}
