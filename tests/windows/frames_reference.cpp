// Filters the shared test frames with a Linux module and writes every output
// frame, in order, to a file: the reference the Windows module must match.
//   quelmar_frames_reference MODULE.so OUTPUT
#include <cstdio>
#include <vector>

#include "tests/windows/test_frames.h"
#include "tools/modhost/modhost.h"

namespace {

bool RunSequence(modhost::Module* module, const testframes::Sequence& s, std::FILE* out) {
    modhost::Instance inst{};
    if (!modhost::CreateInstance(&inst, module)) return false;
    modhost::CallInit(&inst);
    modhost::CallStart(&inst);
    bool written = true;
    std::vector<uint8_t> result(testframes::FrameBytes(s));
    for (int f = 0; f < s.count && written; ++f) {
        std::vector<uint8_t> frame = testframes::MakeFrame(s, f);
        modhost::SetBitmap(inst.src, frame.data(), s.depth, s.width, s.height, testframes::RowBytes(s));
        modhost::SetBitmap(inst.dst, result.data(), s.depth, s.width, s.height, testframes::RowBytes(s));
        modhost::CallRun(&inst);
        written = std::fwrite(result.data(), 1, result.size(), out) == result.size();
    }
    modhost::CallEnd(&inst);
    modhost::CallDeinit(&inst);
    modhost::DestroyInstance(&inst);
    return written;
}

}  // namespace

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
    for (const testframes::Sequence& s : testframes::kCompared)
        ok = ok && RunSequence(&module, s, out);
    if (out && std::fclose(out) != 0) ok = false;
    modhost::UnloadModule(&module);
    return ok ? 0 : 1;
}
