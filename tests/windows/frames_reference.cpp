// Filters the shared test frames with a Linux module and writes every output
// frame, in order, to a file: the reference the Windows module must match.
//   quelmar_frames_reference MODULE.so OUTPUT
#include <cstdio>
#include <vector>

#include "tests/support/sequences.h"
#include "tools/modhost/modhost.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MODULE OUTPUT\n", argv[0]);
        return 2;
    }
    static modhost::Module module{};
    if (!modhost::LoadModule(&module, argv[1])) {
        std::fprintf(stderr, "%s\n", module.error);
        return 1;
    }
    std::FILE* out = std::fopen(argv[2], "wb");
    bool ok = out != nullptr;
    for (const qtest::Sequence& s : qtest::kCompared) {
        const std::vector<uint8_t> frames = qtest::FilterSequence(&module, s);
        ok = ok && frames.size() == qtest::SequenceBytes(s) &&
             std::fwrite(frames.data(), 1, frames.size(), out) == frames.size();
    }
    if (out && std::fclose(out) != 0) ok = false;
    modhost::UnloadModule(&module);
    return ok ? 0 : 1;
}
