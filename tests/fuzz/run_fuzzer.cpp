// libFuzzer target: the module in the hands of a hostile host. Each input is a
// script of host actions on three instance records: frames of fuzzed geometry
// (depth, size, pitch with its upper 32 bits and its sign, offset, source and
// destination apart), every bitmap between guard pages and exactly as large as
// its geometry says; fuzzed bytes written into the records (settings, pointers,
// sizes); callbacks in any order, records copied byte for byte or freed without
// deinit, the module deinit'ed and registered again; faults armed in the device
// and the page allocator. Each input ends with module deinit, after which the
// module must hold nothing. A broken rule aborts, which libFuzzer reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <unistd.h>

#include "gpu/device_cpu_testing.h"
#include "host/filter_data.h"
#include "host/module.h"
#include "tests/kernels/testing/cpu_executor_testing.h"
#include "platform/virtual_memory_testing.h"
#include "tests/fuzz/hostile_host.h"
#include "tools/modhost/modhost.h"

namespace {

// The input read front to back; past its end every value is 0.
class Script {
public:
    Script(const uint8_t* data, std::size_t size) : next_(data), end_(data + size) {}
    bool done() const { return next_ >= end_; }
    template <typename T>
    T read() {
        T value{};
        const std::size_t n = std::min(sizeof value, static_cast<std::size_t>(end_ - next_));
        std::memcpy(&value, next_, n);
        next_ += n;
        return value;
    }
    uint8_t byte() { return read<uint8_t>(); }
    template <typename T>
    T oneOf(std::initializer_list<T> values) {
        return values.begin()[byte() % values.size()];
    }

private:
    const uint8_t* next_;
    const uint8_t* end_;
};

// The run closes the module's standard error (its debug lines, one per
// instance, would fill the log); findings go where it pointed at the start.
int g_findings = STDERR_FILENO;

[[noreturn]] void Finding(const char* what) {
    dprintf(g_findings, "hostile host: %s\n", what);
    std::abort();
}

constexpr int kSlots = 3;
constexpr uint8_t kUninitialised = 0xCB;  // what a record holds before init

struct Slot {
    FilterActivation* fa;
    FilterBitmap* src;
    FilterBitmap* dst;
    NRFilterData* record;
};

NRFilterData* NewRecord() {
    auto* record = static_cast<NRFilterData*>(std::malloc(sizeof(NRFilterData)));
    std::memset(static_cast<void*>(record), kUninitialised, sizeof(NRFilterData));
    return record;
}

// Activation and bitmap records live across inputs, as a host's would.
struct Host {
    modhost::Module module{};
    Slot slots[kSlots]{};

    Host() {
        for (Slot& s : slots) {
            s.fa = static_cast<FilterActivation*>(std::calloc(1, modhost::kRecordBytes));
            s.src = static_cast<FilterBitmap*>(std::calloc(1, modhost::kRecordBytes));
            s.dst = static_cast<FilterBitmap*>(std::calloc(1, modhost::kRecordBytes));
            s.fa->filter = const_cast<FilterDefinition*>(NRFilterDefinition());
            s.fa->src = s.src;
            s.fa->dst = s.dst;
        }
        modhost::AttachModule(&module, VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit);
    }
    ~Host() {
        for (Slot& s : slots) {
            std::free(s.fa);
            std::free(s.src);
            std::free(s.dst);
        }
    }
    Slot& slot(Script& script) { return slots[script.byte() % kSlots]; }
    const FilterFunctions* functions() const { return modhost::Functions(&module); }
};

int32_t Depth(Script& s) {
    if (s.byte() >= 240) return s.read<int32_t>();
    return s.oneOf<int32_t>({32, 16, 32, 16, 24, 8, 1, 2, 4, 12, 33, 64, 0, -1, 65, INT32_MIN});
}

int32_t Size(Script& s) {
    const uint8_t pick = s.byte();
    if (pick < 160) return pick % 24;
    if (pick < 224) return s.read<uint16_t>() % 512;
    if (pick < 240) return s.oneOf<int32_t>({-1, -7, INT32_MIN, INT32_MAX, 0x20000000, 0x40000000});
    return s.read<int32_t>();
}

int64_t Pitch(Script& s, int32_t depth, int32_t w) {
    const int64_t row = std::max<int64_t>(hostile::RowsOf({depth, w, 1, 1, 0, false}).bytes, 1);
    switch (s.byte() % 8) {
        case 0: return 0;
        case 1: return row;
        case 2: return row + s.byte();
        case 3: return -row;
        case 4: return -(row + s.byte());
        case 5: return s.read<int32_t>();
        case 6: return s.read<int64_t>();
        default: return row + static_cast<int64_t>(static_cast<uint64_t>(s.read<uint32_t>()) << 32);
    }
}

int64_t Offset(Script& s) {
    switch (s.byte() % 4) {
        case 0: return 0;
        case 1: return s.read<uint16_t>();
        case 2: return -int64_t{s.read<uint16_t>()};
        default: return s.read<int64_t>();
    }
}

hostile::Geometry Bitmap(Script& s, int32_t depth, int32_t w, int32_t h) {
    hostile::Geometry g{depth, w, h, 0, 0, false};
    g.pitch = Pitch(s, depth, w);
    g.offset = Offset(s);
    g.guardAfter = s.byte() & 1;
    return g;
}

// Bitmaps and frames the machine can afford: the module filters w x h pixels.
bool Affordable(const hostile::Geometry& g) {
    const hostile::Rows rows = hostile::RowsOf(g);
    const bool filtered = g.depth == 32 || g.depth == 16;
    return rows.span() <= (int64_t{8} << 20) &&
           (!filtered || rows.count == 0 || int64_t{g.w} * g.h <= 8192);
}

void RunFrame(Host& host, Script& s) {
    Slot& slot = host.slot(s);
    const int32_t depth = Depth(s);
    const int32_t w = Size(s), h = Size(s);
    const hostile::Geometry src = Bitmap(s, depth, w, h);
    const bool sameSize = s.byte() & 1;
    const int32_t dstW = sameSize ? w : Size(s), dstH = sameSize ? h : Size(s);
    const hostile::Geometry dst = Bitmap(s, depth, dstW, dstH);
    if (!Affordable(src) || !Affordable(dst)) return;
    const bool filtered = depth == 32 || depth == 16;
    if (!hostile::RunGuarded(NRFilterDefinition()->run, slot.fa, host.functions(), src, dst, s.byte(),
                             filtered ? nullptr : hostile::RowsCopiedThrough))
        Finding("a destination it had to leave alone changed, or rows were not copied through whole");
}

float Setting(Script& s) {
    if (s.byte() >= 128) return s.read<float>();
    return s.oneOf<float>({__builtin_nanf(""), __builtin_inff(), -__builtin_inff(), 1e30f, -1e30f,
                           3e38f, -0.0f, 1e-40f, 0.49f, 0.5f, 4.0f, 40.0f});
}

// Any 32-bit word of the record: settings, counters, flags, halves of pointers.
void Scribble(Script& s, NRFilterData* record) {
    const std::size_t word = s.byte() % (sizeof(NRFilterData) / 4);
    const uint32_t value = s.read<uint32_t>();
    std::memcpy(reinterpret_cast<uint8_t*>(record) + 4 * word, &value, 4);
}

void SetStrength(Script& s, NRFilterData* record) {
    float* fields = &record->params.denoise;
    const float value = Setting(s);
    fields[s.byte() % 6] = value;
}

void ArmDeviceFault(Script& s) {
    const auto op = static_cast<dev::cputest::Op>(s.byte() % static_cast<int>(dev::cputest::Op::Count));
    dev::cputest::failNthCall(op, 1 + s.byte() % 16);
}

void Step(Host& host, Script& s) {
    const FilterDefinition* def = NRFilterDefinition();
    const FilterFunctions* ff = host.functions();
    switch (s.byte() % 16) {
        case 0: case 1: case 2: case 3: RunFrame(host, s); break;
        case 4: def->init(host.slot(s).fa, ff); break;
        case 5: def->deinit(host.slot(s).fa, ff); break;
        case 6: def->start(host.slot(s).fa, ff); break;
        case 7: def->end(host.slot(s).fa, ff); break;
        case 8: def->config(host.slot(s).fa, ff, nullptr); break;
        case 9: def->param(host.slot(s).fa, ff); break;
        case 10: {  // a record copied byte for byte over another
            const Slot& from = host.slot(s);
            Slot& to = host.slot(s);
            if (&from != &to) std::memcpy(to.record, from.record, sizeof(NRFilterData));
            break;
        }
        case 11: {  // freed without deinit; a new record takes its place
            Slot& slot = host.slot(s);
            std::free(slot.record);
            slot.fa->filterData = slot.record = NewRecord();
            break;
        }
        case 12: Scribble(s, host.slot(s).record); break;
        case 13: SetStrength(s, host.slot(s).record); break;
        case 14:
            if (s.byte() & 1) {
                ArmDeviceFault(s);
            } else {
                platform::memtest::failNthAllocation(1 + s.byte() % 8);
            }
            break;
        default:
            if (s.byte() & 1) {
                dev::cputest::setDeviceCount(s.byte() % 3);
            } else {  // module deinit, then registered again
                modhost::UnregisterModule(&host.module);
                modhost::RegisterModule(&host.module);
            }
            break;
    }
}

void ExpectNothingHeld() {
    if (dev::cputest::liveAllocations() != 0) Finding("device memory held after module deinit");
    if (dev::cputest::liveStreams() != 0) Finding("a stream held after module deinit");
    if (platform::memtest::liveBlocks() != 0) Finding("staging memory held after module deinit");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_findings = dup(STDERR_FILENO);
    cpuexec::setWorkerLimit(1);  // inputs, not kernel threads, are what the cores are for
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static Host host;
    dev::cputest::reset();
    platform::memtest::reset();
    for (Slot& slot : host.slots) slot.fa->filterData = slot.record = NewRecord();
    modhost::RegisterModule(&host.module);

    Script script(data, size);
    while (!script.done()) Step(host, script);

    modhost::UnregisterModule(&host.module);
    dev::cputest::reset();
    ExpectNothingHeld();
    for (Slot& slot : host.slots) std::free(slot.record);
    return 0;
}
