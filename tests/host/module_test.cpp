// The built modules, loaded with dlopen and driven as the host drives them.
#include <gtest/gtest.h>

#include <elf.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <string>

#include "gpu/context_state.h"
#include "tests/host/drive.h"

namespace {

// Each module under a name and description of its own, so that a host that
// keeps its filter chain by name tells them apart; the CUDA module's are the
// ones hosts already know it by.
struct ModuleIdentity {
    const char* path;
    const char* name;
    const char* description;
};
const ModuleIdentity kModules[] = {
    {QUELMAR_CPU_MODULE, "Quelmar CPU",
     "Denoise/degrain/deblock. Runs on the processor (CPU): needs no GPU. Auto noise profiling."},
    {QUELMAR_CUDA_MODULE, "Quelmar CUDA (RTX 5050)",
     "CUDA denoise/degrain/deblock (Ostrel-like). Auto noise profiling. Designed for RTX 5050 "
     "(sm_120)."},
};

TEST(Registration, DefinitionVersionsAndWithdrawal) {
    for (const ModuleIdentity& want : kModules) {
        SCOPED_TRACE(want.path);
        modhost::Module m{};
        ASSERT_TRUE(modhost::OpenModule(&m, want.path)) << m.error;
        ASSERT_EQ(modhost::RegisterModule(&m), 0);
        EXPECT_EQ(m.version, 8);
        EXPECT_EQ(m.compatibility, 4);
        EXPECT_EQ(m.calls.addFilter, 1);
        EXPECT_EQ(m.calls.lastDefinitionSize, 176);
        EXPECT_EQ(m.calls.lastAddModule, modhost::ModuleRecord(&m));

        const FilterDefinition* def = modhost::Definition(&m);
        ASSERT_NE(def, nullptr);
        EXPECT_STREQ(def->name, want.name);
        EXPECT_STREQ(def->description, want.description);
        EXPECT_STREQ(def->maker, "Quelmar");
        EXPECT_EQ(def->instanceDataSize, 104);
        EXPECT_TRUE(def->init && def->deinit && def->run && def->param && def->config && def->start &&
                    def->end);
        EXPECT_FALSE(def->next || def->prev || def->module || def->privateData || def->stringProc ||
                     def->scriptObject || def->scriptString || def->stringProc2 || def->serialize ||
                     def->deserialize || def->copy);

        modhost::UnregisterModule(&m);
        EXPECT_EQ(m.calls.removeFilter, 1);
        EXPECT_EQ(m.calls.lastRemoved, &m.registered);
        modhost::UnregisterModule(&m);  // nothing left to withdraw
        EXPECT_EQ(m.calls.removeFilter, 1);
        modhost::CloseModule(&m);
    }
}

// Installed side by side, both modules are loaded into one host: each keeps
// its own definition, name and callbacks, and withdrawing one leaves the
// other's registration and instances working.
TEST(Registration, BothModulesSideBySide) {
    DrivenFilter cpu;
    ASSERT_TRUE(cpu.loadPath(QUELMAR_CPU_MODULE)) << cpu.module->error;
    modhost::Module cuda{};
    ASSERT_TRUE(modhost::LoadModule(&cuda, QUELMAR_CUDA_MODULE)) << cuda.error;
    const FilterDefinition* cpuDef = modhost::Definition(cpu.module.get());
    const FilterDefinition* cudaDef = modhost::Definition(&cuda);
    EXPECT_STREQ(cpuDef->name, "Quelmar CPU");
    EXPECT_STREQ(cudaDef->name, "Quelmar CUDA (RTX 5050)");
    EXPECT_NE(cpuDef->run, cudaDef->run);

    const int w = 32, h = 16;
    auto src = NoisyFrame(w * 4 * h, 18);
    GuardedBuffer out(w * 4 * h);
    cpu.run(src, out, 32, w, h, 0, 0);
    EXPECT_NE(out.body(), src.body()) << "the CPU module filters";
    ASSERT_NE(cpu.fd()->gpu, nullptr);

    modhost::UnloadModule(&cuda);
    EXPECT_EQ(cuda.calls.removeFilter, 1);
    EXPECT_EQ(cpu.module->calls.removeFilter, 0);
    EXPECT_NE(cpu.fd()->gpu, nullptr) << "the other module's exit releases only its own";
    EXPECT_STREQ(modhost::Definition(cpu.module.get())->name, "Quelmar CPU");
    std::memset(out.data(), 0, out.size());
    cpu.run(src, out, 32, w, h, 0, 0);
    EXPECT_NE(out.body(), src.body());
    EXPECT_EQ(cpu.fd()->frameCounter, 2);
}

TEST(Registration, RefusedOrWithoutModuleRecord) {
    modhost::Module m{};
    m.failAddFilter = true;
    m.version = m.compatibility = -7;
    ASSERT_TRUE(modhost::OpenModule(&m, QUELMAR_CPU_MODULE)) << m.error;
    EXPECT_EQ(modhost::RegisterModule(&m), 1);
    EXPECT_EQ(m.version, -7);
    EXPECT_EQ(m.compatibility, -7);
    modhost::UnregisterModule(&m);
    EXPECT_EQ(m.calls.removeFilter, 0);

    m.failAddFilter = false;
    m.passNullModuleRecord = true;
    EXPECT_EQ(modhost::RegisterModule(&m), 0);
    EXPECT_EQ(m.calls.lastAddModule, nullptr);
    modhost::UnloadModule(&m);
    EXPECT_EQ(m.calls.removeFilter, 1);
}

// Names of the symbols a shared object defines in its dynamic symbol table.
std::set<std::string> ExportedSymbols(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> names;
    if (file.size() < sizeof(Elf64_Ehdr)) return names;
    Elf64_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof eh);
    for (int i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, file.data() + eh.e_shoff + i * sizeof sh, sizeof sh);
        if (sh.sh_type != SHT_DYNSYM) continue;
        Elf64_Shdr strtab;
        std::memcpy(&strtab, file.data() + eh.e_shoff + sh.sh_link * sizeof strtab, sizeof strtab);
        for (std::size_t off = sizeof(Elf64_Sym); off < sh.sh_size; off += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            std::memcpy(&sym, file.data() + sh.sh_offset + off, sizeof sym);
            if (sym.st_shndx == SHN_UNDEF) continue;
            names.insert(file.data() + strtab.sh_offset + sym.st_name);
        }
    }
    return names;
}

TEST(Exports, OnlyTheTwoEntryPoints) {
    const std::set<std::string> expected = {"VirtualdubFilterModuleInit2",
                                            "VirtualdubFilterModuleDeinit"};
    EXPECT_EQ(ExportedSymbols(QUELMAR_CPU_MODULE), expected);
    EXPECT_EQ(ExportedSymbols(QUELMAR_CUDA_MODULE), expected);
}

class CpuModule : public ::testing::Test {
protected:
    DrivenFilter f;
    void SetUp() override { ASSERT_TRUE(f.loadPath(QUELMAR_CPU_MODULE)) << f.module->error; }
    void openDialogUnfiltered() {
        std::atomic_ref<int32_t>(f.fd()->dialogOpen).store(1);
        f.fd()->showFiltered = 0;
    }
};

TEST_F(CpuModule, InitDeinitAndACallbackAfterDeinit) {
    NRFilterData* fd = f.fd();
    EXPECT_EQ(f.module->calls.initVTables, 1);
    std::memset(fd, 0x77, sizeof *fd);  // init must zero the whole record
    ASSERT_EQ(modhost::CallInit(&f.inst), 0);
    EXPECT_EQ(fd->marker, kNRMarker);
    EXPECT_EQ(fd->lastProfiledFrame, kNRNeverProfiled);
    EXPECT_EQ(fd->params.denoise, 1.8f);
    EXPECT_EQ(fd->params.sigmaY, 0.0f);
    EXPECT_EQ(fd->autoProfile, 1);
    EXPECT_EQ(fd->showFiltered, 1);
    EXPECT_TRUE(fd->gpu == nullptr && fd->stageIn == nullptr && fd->stageOut == nullptr);
    EXPECT_EQ(fd->frameCounter | fd->dialogOpen | fd->stageInWidth | fd->stageOutPitch, 0);

    auto src = NoisyFrame(16 * 8 * 4, 1);
    GuardedBuffer dst(16 * 8 * 4);
    EXPECT_EQ(f.run(src, dst, 32, 16, 8, 0, 0), 0);
    ASSERT_NE(fd->gpu, nullptr);
    ASSERT_NE(fd->stageIn, nullptr);

    modhost::CallDeinit(&f.inst);
    EXPECT_EQ(fd->marker, 0u);
    EXPECT_TRUE(fd->gpu == nullptr && fd->stageIn == nullptr && fd->stageOut == nullptr);
    EXPECT_EQ(fd->stageInWidth, 16);  // sizes are kept
    EXPECT_EQ(fd->stageOutPitch, 64);
    modhost::CallDeinit(&f.inst);  // nothing held: only the marker
    EXPECT_EQ(fd->marker, 0u);

    // A run after deinit restores the defaults and builds everything again.
    fd->params.denoise = 3.0f;
    EXPECT_EQ(f.run(src, dst, 32, 16, 8, 0, 0), 0);
    EXPECT_EQ(fd->marker, kNRMarker);
    EXPECT_EQ(fd->params.denoise, 1.8f);
    EXPECT_NE(fd->gpu, nullptr);
    EXPECT_NE(fd->stageIn, nullptr);
    EXPECT_EQ(fd->frameCounter, 1);
}

TEST_F(CpuModule, ParamCopiesTheSizeForAnyDepth) {
    GuardedBuffer any(0);
    for (int depth : {32, 16, 24, 8}) {
        Describe(f.inst.src, any, depth, 7, 5, 0);
        std::memset(static_cast<void*>(f.inst.dst), 0, sizeof *f.inst.dst);
        f.inst.dst->depth = 99;
        f.inst.dst->pitch = 123;
        EXPECT_EQ(modhost::CallParam(&f.inst) & 0xFFFFFFFF, 1);
        EXPECT_EQ(f.inst.dst->w, 7);
        EXPECT_EQ(f.inst.dst->h, 5);
        EXPECT_EQ(f.inst.dst->depth, 99);
        EXPECT_EQ(f.inst.dst->pitch, 123);
    }
}

TEST_F(CpuModule, StartCreatesTheContextOnceAndEndKeepsIt) {
    EXPECT_EQ(modhost::CallStart(&f.inst), 0);
    CudaNRContext* ctx = f.fd()->gpu;
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(modhost::CallStart(&f.inst), 0);
    EXPECT_EQ(f.fd()->gpu, ctx);
    EXPECT_EQ(modhost::CallEnd(&f.inst), 0);
    EXPECT_EQ(f.fd()->gpu, ctx);
}

// Linux has no dialog to show: config only restores a record without its
// marker and leaves the dialog marked closed, even in a record copied while
// one was open. (The Windows dialog tests see the mark while the dialog runs.)
TEST_F(CpuModule, ConfigLeavesTheDialogMarkedClosed) {
    f.fd()->marker = 0;
    f.fd()->dialogOpen = 1;
    EXPECT_EQ(modhost::CallConfig(&f.inst, nullptr), 0);
    EXPECT_EQ(f.fd()->marker, kNRMarker);
    EXPECT_EQ(f.fd()->dialogOpen, 0);
}

TEST_F(CpuModule, FramesOfEachDepth) {
    const int w = 32, h = 24;
    auto bgra = NoisyFrame(w * 4 * h, 2);
    GuardedBuffer out32(w * 4 * h);
    f.run(bgra, out32, 32, w, h, 0, 0);
    EXPECT_TRUE(out32.guardsIntact());
    EXPECT_NE(out32.body(), bgra.body()) << "a noisy frame is filtered";
    EXPECT_EQ(f.fd()->frameCounter, 1);
    EXPECT_GE(f.fd()->params.sigmaY, 0.5f) << "the first frame is profiled";

    // YUY2 with a padded source pitch into packed rows.
    auto yuy2 = NoisyFrame(80 * h, 3);
    GuardedBuffer out16(64 * h);
    f.run(yuy2, out16, 16, w, h, 80, 0);
    EXPECT_TRUE(out16.guardsIntact());
    EXPECT_EQ(f.fd()->frameCounter, 2);

    // 24-bit: copied through, 21 bytes of each 24-byte row; nothing staged for it.
    DrivenFilter other;
    ASSERT_TRUE(other.loadPath(QUELMAR_CPU_MODULE));
    auto rgb = NoisyFrame(24 * 3, 4);
    GuardedBuffer out24(24 * 3);
    std::memset(out24.data(), 0x11, out24.size());
    other.run(rgb, out24, 24, 7, 3, 24, 24);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(std::memcmp(out24.data() + 24 * r, rgb.data() + 24 * r, 21), 0);
        EXPECT_EQ(out24.data()[24 * r + 21], 0x11);
    }
    EXPECT_TRUE(other.fd()->gpu == nullptr && other.fd()->stageIn == nullptr);
}

TEST_F(CpuModule, OtherDepthsCopyTheirRowBitsAndUnknownDepthsNothing) {
    const int w = 7, h = 3, pitch = 64;
    auto src = NoisyFrame(pitch * h, 15);
    GuardedBuffer dst(pitch * h);
    // Rows of ceil(w x depth / 8) bytes; the row padding is the host's.
    const std::pair<int, int> rowBytes[] = {{1, 1}, {2, 2}, {4, 4}, {12, 11}, {33, 29}, {64, 56}};
    for (auto [depth, bytes] : rowBytes) {
        std::memset(dst.data(), 0x11, dst.size());
        f.run(src, dst, depth, w, h, pitch, pitch);
        for (int r = 0; r < h; ++r) {
            EXPECT_EQ(std::memcmp(dst.data() + pitch * r, src.data() + pitch * r, bytes), 0) << depth;
            EXPECT_EQ(dst.data()[pitch * r + bytes], 0x11) << depth << " row " << r;
        }
    }
    for (int depth : {0, -8, 65, 256, INT32_MIN}) {
        std::memset(dst.data(), 0x11, dst.size());
        f.run(src, dst, depth, w, h, pitch, pitch);
        EXPECT_EQ(dst.body(), std::vector<uint8_t>(dst.size(), 0x11)) << depth;
    }
    EXPECT_TRUE(dst.guardsIntact());
}

// A record's settings hold whatever the host's memory holds. Frames filtered
// with a hostile value must match those filtered with the dialog's nearest
// value, and the record keeps what it held.
TEST(HostileSettings, FilterAsTheNearestValueTheDialogKeeps) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float CudaNRParams::*field;
        float hostile;
        float sane;
    };
    const Case cases[] = {
        {&CudaNRParams::temporal, 1e30f, 1.0f},   {&CudaNRParams::temporal, inf, 1.0f},
        {&CudaNRParams::temporal, nan, 0.78f},    {&CudaNRParams::stabilize, -inf, 0.0f},
        {&CudaNRParams::stabilize, 7.0f, 1.0f},   {&CudaNRParams::denoise, nan, 1.8f},
        {&CudaNRParams::deblock, 1e30f, 2.0f},    {&CudaNRParams::sharpen, -5.0f, 0.0f},
        {&CudaNRParams::sharpen, inf, 1.0f},      {&CudaNRParams::sigmaY, nan, 0.0f},
        {&CudaNRParams::sigmaY, inf, 0.0f},       {&CudaNRParams::sigmaY, -inf, 0.0f},
    };
    const int w = 32, h = 16;
    for (int autoProfile : {0, 1}) {
        for (const Case& c : cases) {
            DrivenFilter hostile, sane;
            ASSERT_TRUE(hostile.loadPath(QUELMAR_CPU_MODULE) && sane.loadPath(QUELMAR_CPU_MODULE));
            hostile.fd()->params.*c.field = c.hostile;
            sane.fd()->params.*c.field = c.sane;
            hostile.fd()->autoProfile = sane.fd()->autoProfile = autoProfile;
            for (uint32_t frame = 0; frame < 3; ++frame) {
                auto src = NoisyFrame(w * 4 * h, 40 + frame);
                GuardedBuffer a(w * 4 * h), b(w * 4 * h);
                hostile.run(src, a, 32, w, h, 0, 0);
                sane.run(src, b, 32, w, h, 0, 0);
                EXPECT_EQ(a.body(), b.body()) << c.hostile << " auto " << autoProfile << " frame " << frame;
            }
            EXPECT_EQ(hostile.fd()->lastProfiledFrame, sane.fd()->lastProfiledFrame) << c.hostile;
            if (c.field == &CudaNRParams::sigmaY) continue;  // the schedule replaces an unknown one
            const float kept = hostile.fd()->params.*c.field;
            EXPECT_EQ(std::memcmp(&kept, &c.hostile, sizeof kept), 0) << "the record is left as it is";
        }
    }
}

TEST_F(CpuModule, UnfilteredWhileTheDialogShowsTheSource) {
    const int w = 32, h = 16;
    auto first = NoisyFrame(w * 4 * h, 5);
    GuardedBuffer out(w * 4 * h);
    f.run(first, out, 32, w, h, 0, 0);
    const int ring = f.fd()->gpu->ringIndex;

    openDialogUnfiltered();
    auto second = NoisyFrame(w * 4 * h, 6);
    f.run(second, out, 32, w, h, 0, 0);
    EXPECT_EQ(out.body(), second.body()) << "byte-identical, alpha included";
    auto yuy2 = NoisyFrame(w * 2 * h, 7);
    GuardedBuffer out16(w * 2 * h);
    f.run(yuy2, out16, 16, w, h, 0, 0);
    EXPECT_EQ(out16.body(), RoundTripYUY2(yuy2.body(), w, h));
    EXPECT_EQ(f.fd()->frameCounter, 1);
    EXPECT_EQ(f.fd()->gpu->ringIndex, ring);

    f.fd()->showFiltered = 1;  // dialog open but showing the filtered frame
    f.run(second, out, 32, w, h, 0, 0);
    EXPECT_NE(out.body(), second.body());
    EXPECT_EQ(f.fd()->frameCounter, 2);

    // Unchecked with the dialog closed (a record saved so): frames are filtered.
    std::atomic_ref<int32_t>(f.fd()->dialogOpen).store(0);
    f.fd()->showFiltered = 0;
    f.run(second, out, 32, w, h, 0, 0);
    EXPECT_NE(out.body(), second.body());
    EXPECT_EQ(f.fd()->frameCounter, 3);
}

TEST_F(CpuModule, ZeroAndNegativePitches) {
    const int w = 8, h = 4;
    openDialogUnfiltered();
    // Bottom-up source (first row last in memory) into packed rows.
    auto src = NoisyFrame(w * 4 * h, 8);
    GuardedBuffer dst(w * 4 * h);
    f.run(src, dst, 32, w, h, -w * 4, 0, w * 4 * (h - 1), 0);
    for (int r = 0; r < h; ++r) {
        EXPECT_EQ(std::memcmp(dst.data() + r * w * 4, src.data() + (h - 1 - r) * w * 4, w * 4), 0);
    }
    // Odd-width YUY2 rows of whole pairs, 12 bytes for w = 5.
    auto yuy2 = NoisyFrame(12 * 3, 9);
    GuardedBuffer out(12 * 3);
    f.run(yuy2, out, 16, 5, 3, 12, 12);
    EXPECT_TRUE(out.guardsIntact());
    EXPECT_EQ(out.body(), RoundTripYUY2(yuy2.body(), 5, 3));
    // The same, filtered.
    f.fd()->showFiltered = 1;
    f.run(yuy2, out, 16, 5, 3, 12, -12, 0, 24);
    EXPECT_TRUE(out.guardsIntact());
}

TEST_F(CpuModule, OddWidthYUY2WithAZeroPitchIsLeftAlone) {
    // A zero pitch may mean rows of w x 2 bytes or of whole pairs; w 3, h 4 in a
    // 26-byte bitmap fits only the first. Neither is assumed: nothing is done.
    auto src = NoisyFrame(26, 16);
    GuardedBuffer dst(26);
    for (auto [srcPitch, dstPitch] : {std::pair{0, 0}, std::pair{0, 8}, std::pair{8, 0}}) {
        f.run(src, dst, 16, 3, 4, srcPitch, dstPitch);
        EXPECT_EQ(dst.body(), std::vector<uint8_t>(26, kGuardByte)) << srcPitch << " " << dstPitch;
    }
    EXPECT_EQ(f.fd()->frameCounter, 0);
}

TEST_F(CpuModule, UnsafeGeometryNeverWritesOutsideEitherBitmap) {
    // A zero pitch whose packed row exceeds a 32-bit pitch: nothing is done.
    GuardedBuffer tiny(64);
    GuardedBuffer tinyOut(64);
    f.run(tiny, tinyOut, 32, 0x40000000, 1, 0, 0);
    EXPECT_EQ(tinyOut.body(), std::vector<uint8_t>(64, kGuardByte));
    // w x 4 overflows 32 bits: passed through within the pitch, never staged.
    auto wide = NoisyFrame(128, 10);
    GuardedBuffer wideOut(128);
    f.run(wide, wideOut, 32, 0x20000000, 2, 64, 64);
    EXPECT_EQ(wideOut.body(), wide.body());
    EXPECT_EQ(f.fd()->stageIn, nullptr);
    // Rows wider than the pitch (other depth): at most the pitch per row.
    auto rgb = NoisyFrame(16 * 3, 11);
    GuardedBuffer rgbOut(16 * 3);
    f.run(rgb, rgbOut, 24, 10, 3, 16, 16);
    EXPECT_EQ(rgbOut.body(), rgb.body());
    EXPECT_TRUE(rgbOut.guardsIntact());
    // BGRA rows closer than a row's width, in either bitmap: never staged, each
    // row gets the bytes its pitch holds and nothing past the last pitch.
    auto bgra = NoisyFrame(8 * 4 * 4, 17);
    for (auto [srcPitch, dstPitch] : {std::pair{32, 16}, std::pair{16, 32}}) {
        GuardedBuffer out(32 * 4);
        std::memset(out.data(), 0x11, out.size());
        std::vector<uint8_t> expected = out.body();
        for (int r = 0; r < 4; ++r) std::memcpy(&expected[dstPitch * r], bgra.data() + srcPitch * r, 16);
        f.run(bgra, out, 32, 8, 4, srcPitch, dstPitch);
        EXPECT_EQ(out.body(), expected) << srcPitch << " " << dstPitch;
    }
    EXPECT_EQ(f.fd()->stageIn, nullptr);
    // A destination smaller than the source gets only what fits in it.
    auto big = NoisyFrame(8 * 4 * 8, 12);
    GuardedBuffer small(4 * 4 * 4);
    Describe(f.inst.src, big, 32, 8, 8, 0);
    Describe(f.inst.dst, small, 32, 4, 4, 0);
    modhost::CallRun(&f.inst);
    EXPECT_TRUE(small.guardsIntact());
    for (int r = 0; r < 4; ++r) EXPECT_EQ(std::memcmp(small.data() + 16 * r, big.data() + 32 * r, 16), 0);
}

TEST(CudaModule, RegistersAndPassesFramesThroughWithoutADriver) {
    DrivenFilter f;
    ASSERT_TRUE(f.loadPath(QUELMAR_CUDA_MODULE)) << f.module->error;
    modhost::CallStart(&f.inst);
    if (f.fd()->gpu) GTEST_SKIP() << "a CUDA device is present";
    auto bgra = NoisyFrame(16 * 4 * 8, 13);
    GuardedBuffer out(16 * 4 * 8);
    f.run(bgra, out, 32, 16, 8, 0, 0);
    EXPECT_EQ(out.body(), bgra.body());
    auto yuy2 = NoisyFrame(12 * 4, 14);
    GuardedBuffer out16(12 * 4);
    f.run(yuy2, out16, 16, 5, 4, 12, 12);
    EXPECT_EQ(out16.body(), yuy2.body()) << "odd-width rows copied whole";
    EXPECT_EQ(f.fd()->stageIn, nullptr);
}

}  // namespace
