#include <unistd.h>

#include <vector>

#include "child_process.h"
#include "modes.h"
#include "kernels/common.h"

int RunRawMode(const VdhostOptions& options) {
    const int width = options.rawSize.width;
    const int height = options.rawSize.height;
    const size_t frameBytes = static_cast<size_t>(width) * height * kBgraPixelBytes;
    std::vector<uint8_t> input(frameBytes);
    std::vector<uint8_t> output(frameBytes);
    FilterSession session;
    std::string error;
    if (!OpenSessionForFrames(options, width, height, session, error)) {
        CloseFilterSession(session);
        return Fail(error);
    }
    int status = 0;
    long frames = 0;
    for (;;) {
        size_t got = 0;
        if (!ReadFully(STDIN_FILENO, input.data(), frameBytes, got)) {
            status = Fail("cannot read stdin");
            break;
        }
        if (g_interrupted) {
            status = Fail("interrupted");
            break;
        }
        if (got == 0) break;
        if (got < frameBytes) {
            status = Fail("stdin ended inside frame " + std::to_string(frames + 1) + ": " + std::to_string(got) +
                          " of " + std::to_string(frameBytes) + " bytes (is --size " + std::to_string(width) + "x" +
                          std::to_string(height) + " right?)");
            break;
        }
        FilterFrame(session, input.data(), output.data());
        if (!WriteFully(STDOUT_FILENO, output.data(), frameBytes)) {
            status = Fail("cannot write frame " + std::to_string(frames + 1) + " to stdout");
            break;
        }
        ++frames;
    }
    CloseFilterSession(session);
    return status;
}
