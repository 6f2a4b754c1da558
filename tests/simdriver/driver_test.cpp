// The simulated driver itself: as strict as a real one, stricter where a real
// one would go wrong silently, and every misuse counted as a violation.
#include <gtest/gtest.h>

#include <cuda.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernels/common.h"
#include "kernels/fatbin.h"
#include "tests/gpu/fatbin_builder.h"
#include "tests/simdriver/control.h"
#include "tests/simdriver/machine.h"

namespace {

using namespace fatbintest;

class SimDriver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(quelmarSimReset("devices=12.0,8.6 driver=580.65"), 1);
        ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
    }
    void TearDown() override { EXPECT_EQ(quelmarSimTakeViolations(), 0) << "unexpected violations"; }

    // The device's primary context, retained and made current.
    CUcontext enter(int device) {
        CUcontext c = nullptr;
        EXPECT_EQ(cuDevicePrimaryCtxRetain(&c, device), CUDA_SUCCESS);
        EXPECT_EQ(cuCtxPushCurrent(c), CUDA_SUCCESS);
        return c;
    }
    void leave(int device) {
        CUcontext popped = nullptr;
        EXPECT_EQ(cuCtxPopCurrent(&popped), CUDA_SUCCESS);
        EXPECT_EQ(cuDevicePrimaryCtxRelease(device), CUDA_SUCCESS);
    }
    CUstream stream() {
        CUstream s = nullptr;
        EXPECT_EQ(cuStreamCreate(&s, CU_STREAM_NON_BLOCKING), CUDA_SUCCESS);
        return s;
    }
    CUdeviceptr alloc(std::size_t bytes) {
        CUdeviceptr p = 0;
        EXPECT_EQ(cuMemAlloc(&p, bytes), CUDA_SUCCESS);
        return p;
    }
};

// Each misuse: the real driver's error, one violation.
#define EXPECT_VIOLATION(call, status)             \
    do {                                           \
        EXPECT_EQ((call), status);                 \
        EXPECT_EQ(quelmarSimTakeViolations(), 1);  \
    } while (0)

TEST_F(SimDriver, EveryCallNeedsAnActiveContextCurrentOnItsThread) {
    CUdeviceptr p = 0;
    EXPECT_VIOLATION(cuMemAlloc(&p, 64), CUDA_ERROR_INVALID_CONTEXT);
    CUcontext none = nullptr;
    EXPECT_VIOLATION(cuCtxPopCurrent(&none), CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_VIOLATION(cuCtxPushCurrent(reinterpret_cast<CUcontext>(&p)), CUDA_ERROR_INVALID_CONTEXT);

    CUcontext c = enter(0);
    p = alloc(64);
    // Another thread has its own stack: nothing is current there.
    CUresult elsewhere = CUDA_SUCCESS;
    std::thread([&] { elsewhere = cuMemFree(p); }).join();
    EXPECT_VIOLATION(elsewhere, CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(cuMemFree(p), CUDA_SUCCESS);
    CUcontext current = nullptr;
    EXPECT_EQ(cuCtxGetCurrent(&current), CUDA_SUCCESS);
    EXPECT_EQ(current, c);
    leave(0);
    EXPECT_EQ(cuCtxGetCurrent(&current), CUDA_SUCCESS);
    EXPECT_EQ(current, nullptr);
    EXPECT_VIOLATION(cuCtxPushCurrent(c), CUDA_ERROR_INVALID_CONTEXT);  // released, so inactive
}

TEST_F(SimDriver, MemoryStreamsAndModulesBelongToTheirContext) {
    enter(0);
    const CUdeviceptr p0 = alloc(256);
    CUstream s0 = stream();
    enter(1);  // device 1's context on top
    CUstream s1 = stream();
    EXPECT_VIOLATION(cuMemsetD8Async(p0, 0, 256, s0), CUDA_ERROR_INVALID_HANDLE);
    EXPECT_VIOLATION(cuMemsetD8Async(p0, 0, 256, s1), CUDA_ERROR_INVALID_VALUE);
    EXPECT_VIOLATION(cuStreamSynchronize(s0), CUDA_ERROR_INVALID_HANDLE);
    EXPECT_VIOLATION(cuMemFree(p0), CUDA_ERROR_INVALID_VALUE);
    EXPECT_VIOLATION(cuMemsetD8Async(p0, 0, 256, nullptr), CUDA_ERROR_INVALID_HANDLE);  // default stream
    EXPECT_EQ(cuStreamDestroy(s1), CUDA_SUCCESS);
    leave(1);
    EXPECT_EQ(cuStreamDestroy(s0), CUDA_SUCCESS);
    EXPECT_EQ(cuMemFree(p0), CUDA_SUCCESS);
    leave(0);
    EXPECT_EQ(quelmarSimLiveAllocations() + quelmarSimLiveStreams(), 0);
}

TEST_F(SimDriver, CopiesAndClearsStayInsideAllocationsAndPitches) {
    enter(0);
    CUstream s = stream();
    CUdeviceptr p = 0;
    std::size_t pitch = 0;
    ASSERT_EQ(cuMemAllocPitch(&p, &pitch, 100, 4, 16), CUDA_SUCCESS);
    EXPECT_GT(pitch, 100u) << "always padded";
    EXPECT_EQ(cuMemsetD2D8Async(p, pitch, 7, 100, 4, s), CUDA_SUCCESS);
    EXPECT_VIOLATION(cuMemsetD2D8Async(p, 90, 0, 100, 4, s), CUDA_ERROR_INVALID_VALUE);
    // The last row would end past the allocation.
    EXPECT_VIOLATION(cuMemsetD2D8Async(p + 450, pitch, 0, 100, 4, s), CUDA_ERROR_INVALID_VALUE);

    // A 2D upload with offsets lands where its descriptor says, once the stream runs.
    std::vector<unsigned char> host(8 * 3);
    for (std::size_t i = 0; i < host.size(); ++i) host[i] = static_cast<unsigned char>(i + 1);
    CUDA_MEMCPY2D up{};
    up.srcMemoryType = CU_MEMORYTYPE_HOST;
    up.srcHost = host.data();
    up.srcPitch = 8;
    up.dstMemoryType = CU_MEMORYTYPE_DEVICE;
    up.dstDevice = p;
    up.dstPitch = pitch;
    up.dstXInBytes = 10;
    up.dstY = 1;
    up.WidthInBytes = 8;
    up.Height = 3;
    EXPECT_EQ(cuMemcpy2DAsync(&up, s), CUDA_SUCCESS);
    std::fill(host.begin(), host.end(), 0);  // taken at the call, as pageable uploads are
    std::vector<unsigned char> back(pitch * 4, 0);
    EXPECT_EQ(cuMemcpyDtoHAsync(back.data(), p, back.size(), s), CUDA_SUCCESS);
    EXPECT_EQ(back[0], 0) << "nothing lands before the stream runs";
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    EXPECT_EQ(back[0], 7);
    EXPECT_EQ(back[pitch + 10], 1);
    EXPECT_EQ(back[3 * pitch + 17], 24);
    EXPECT_EQ(back[3 * pitch + 18], 7);

    up.dstY = 2;  // three rows from row 2 run past the last row
    EXPECT_VIOLATION(cuMemcpy2DAsync(&up, s), CUDA_ERROR_INVALID_VALUE);
    up.dstY = 0;
    up.srcHost = reinterpret_cast<const void*>(p);  // a "host" end inside device memory
    EXPECT_VIOLATION(cuMemcpy2DAsync(&up, s), CUDA_ERROR_INVALID_VALUE);
    up.srcHost = host.data();
    up.WidthInBytes = pitch + 1;
    EXPECT_VIOLATION(cuMemcpy2DAsync(&up, s), CUDA_ERROR_INVALID_VALUE);
    EXPECT_VIOLATION(cuMemcpyDtoDAsync(p + 8, p, 64, s), CUDA_ERROR_INVALID_VALUE);  // overlap
    EXPECT_VIOLATION(cuMemcpyHtoDAsync(p, nullptr, 8, s), CUDA_ERROR_INVALID_VALUE);

    EXPECT_EQ(cuStreamDestroy(s), CUDA_SUCCESS);
    EXPECT_EQ(cuMemFree(p), CUDA_SUCCESS);
    leave(0);
}

TEST_F(SimDriver, RetainsAndReleasesBalanceAndNothingOutlivesItsContext) {
    EXPECT_VIOLATION(cuDevicePrimaryCtxRelease(0), CUDA_ERROR_INVALID_CONTEXT);
    enter(0);
    alloc(64);  // never freed
    leave(0);
    EXPECT_EQ(quelmarSimTakeViolations(), 1) << "the release found a leak";
    EXPECT_EQ(quelmarSimLiveAllocations(), 0) << "and reclaimed it";

    // What a failed destruction leaves is reclaimed without complaint.
    enter(0);
    CUstream s = stream();
    const CUdeviceptr p = alloc(64);
    quelmarSimFailCall("cuMemFree_v2", 1);
    quelmarSimFailCall("cuStreamDestroy_v2", 1);
    EXPECT_EQ(cuMemFree(p), CUDA_ERROR_UNKNOWN);
    EXPECT_EQ(cuStreamDestroy(s), CUDA_ERROR_UNKNOWN);
    EXPECT_EQ(quelmarSimRetains(0), 1);
    leave(0);
    EXPECT_EQ(quelmarSimRetains(0), 0);
    EXPECT_EQ(quelmarSimLiveAllocations() + quelmarSimLiveStreams(), 0);
}

// Page-locked memory is host memory to every copy, belongs to its context,
// is freed only as such, and is reclaimed (and counted) with the context.
TEST_F(SimDriver, PageLockedMemoryIsTheContextsHostMemory) {
    enter(0);
    CUstream s = stream();
    const CUdeviceptr p = alloc(64);
    void* locked = nullptr;
    ASSERT_EQ(cuMemAllocHost(&locked, 64), CUDA_SUCCESS);
    std::memset(locked, 9, 64);
    EXPECT_EQ(cuMemcpyHtoDAsync(p, locked, 64, s), CUDA_SUCCESS);
    std::vector<unsigned char> back(64);
    EXPECT_EQ(cuMemcpyDtoHAsync(back.data(), p, 64, s), CUDA_SUCCESS);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    EXPECT_EQ(back[63], 9);
    EXPECT_EQ(quelmarSimLiveAllocations(), 2);
    std::vector<unsigned char> pageable(64);
    EXPECT_VIOLATION(cuMemFreeHost(pageable.data()), CUDA_ERROR_INVALID_VALUE);
    EXPECT_VIOLATION(cuMemFreeHost(reinterpret_cast<void*>(p)), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(cuMemFreeHost(locked), CUDA_SUCCESS);
    ASSERT_EQ(cuMemAllocHost(&locked, 64), CUDA_SUCCESS);  // never freed
    EXPECT_EQ(cuStreamDestroy(s), CUDA_SUCCESS);
    EXPECT_EQ(cuMemFree(p), CUDA_SUCCESS);
    leave(0);
    EXPECT_EQ(quelmarSimTakeViolations(), 1) << "the release found it";
    EXPECT_EQ(quelmarSimLiveAllocations(), 0) << "and reclaimed it";
}

TEST_F(SimDriver, PrimaryContextFlagsChangeOnlyWhileInactive) {
    unsigned flags = 99;
    int active = 1;
    ASSERT_EQ(cuDevicePrimaryCtxGetState(0, &flags, &active), CUDA_SUCCESS);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(active, 0);
    EXPECT_EQ(cuDevicePrimaryCtxSetFlags(0, 3), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(cuDevicePrimaryCtxSetFlags(0, CU_CTX_SCHED_BLOCKING_SYNC), CUDA_SUCCESS);
    CUcontext c = nullptr;
    ASSERT_EQ(cuDevicePrimaryCtxRetain(&c, 0), CUDA_SUCCESS);
    EXPECT_VIOLATION(cuDevicePrimaryCtxSetFlags(0, CU_CTX_SCHED_SPIN), CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE);
    ASSERT_EQ(cuDevicePrimaryCtxGetState(0, &flags, &active), CUDA_SUCCESS);
    EXPECT_EQ(flags, static_cast<unsigned>(CU_CTX_SCHED_BLOCKING_SYNC));
    EXPECT_EQ(active, 1);
    EXPECT_EQ(cuDevicePrimaryCtxRelease(0), CUDA_SUCCESS);
}

TEST_F(SimDriver, InjectedFailuresHitTheNthCallOnly) {
    enter(0);
    quelmarSimFailCall("cuMemAlloc_v2", 2);
    CUdeviceptr a = 0, b = 0, c = 0;
    EXPECT_EQ(cuMemAlloc(&a, 8), CUDA_SUCCESS);
    EXPECT_EQ(cuMemAlloc(&b, 8), CUDA_ERROR_UNKNOWN);
    EXPECT_EQ(b, 0u) << "a failed call changes nothing";
    EXPECT_EQ(cuMemAlloc(&c, 8), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimCalls("cuMemAlloc_v2"), 3);
    EXPECT_EQ(cuMemFree(a), CUDA_SUCCESS);
    EXPECT_EQ(cuMemFree(c), CUDA_SUCCESS);
    leave(0);
    EXPECT_EQ(quelmarSimReset("devices=12.0 frobnicate=1"), 0) << "a bad description changes nothing";
    EXPECT_EQ(quelmarSimCalls("cuMemAlloc_v2"), 3);
}

TEST(SimDriverInit, ADriverOlderThanTheGpuEnumeratesNothing) {
    ASSERT_EQ(quelmarSimReset("devices=11.0 driver=575.51"), 1);
    EXPECT_EQ(cuInit(0), CUDA_ERROR_NO_DEVICE);
    EXPECT_STREQ(quelmarSimLoadAccount(), "driver 575 does not support sm_110: not enumerated");
    int count = -1;
    EXPECT_VIOLATION(cuDeviceGetCount(&count), CUDA_ERROR_NOT_INITIALIZED);  // no successful cuInit

    ASSERT_EQ(quelmarSimReset("devices=11.0,8.6 driver=575.51 memory-mib=1 name=Test_GPU"), 1);
    ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
    ASSERT_EQ(cuDeviceGetCount(&count), CUDA_SUCCESS);
    EXPECT_EQ(count, 1) << "only the GPU the driver knows";
    int major = 0, minor = 0, version = 0;
    char name[32];
    std::size_t memory = 0;
    EXPECT_EQ(cuDeviceGetAttribute(&major, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, 0), CUDA_SUCCESS);
    EXPECT_EQ(cuDeviceGetAttribute(&minor, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, 0), CUDA_SUCCESS);
    EXPECT_EQ(major * 10 + minor, 86);
    EXPECT_EQ(cuDriverGetVersion(&version), CUDA_SUCCESS);
    EXPECT_EQ(version, 12090);
    EXPECT_EQ(cuDeviceGetName(name, sizeof name, 0), CUDA_SUCCESS);
    EXPECT_STREQ(name, "Test GPU");
    EXPECT_EQ(cuDeviceTotalMem(&memory, 0), CUDA_SUCCESS);
    EXPECT_EQ(memory, 1u << 20);

    // The memory is the GPU's, and it runs out.
    CUcontext c = nullptr;
    ASSERT_EQ(cuDevicePrimaryCtxRetain(&c, 0), CUDA_SUCCESS);
    ASSERT_EQ(cuCtxPushCurrent(c), CUDA_SUCCESS);
    CUdeviceptr p = 0;
    EXPECT_EQ(cuMemAlloc(&p, (1u << 20) + 1), CUDA_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(cuCtxPopCurrent(&c), CUDA_SUCCESS);
    EXPECT_EQ(cuDevicePrimaryCtxRelease(0), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 0);
}

// ---- modules and launches ----

// The kernels' PTX entries, declared as the compiler writes them, and one the
// executor does not know.
std::string ptxWith(const char* version, const char* processParams) {
    return std::string(".version ") + version + "\n.target sm_60\n.address_size 64\n\n" +
           ".visible .entry kProcess(\n" + processParams + "\n)\n{\n\tret;\n}\n" +
           ".visible .entry kMystery(\n\t.param .u32 p\n)\n{\n\tret;\n}\n";
}

TEST_F(SimDriver, ModulesFollowTheImageRulesAndTheExecutorsParameters) {
    enter(0);  // sm_120 with driver 580
    CUmodule m = nullptr;
    unsigned char notAFatbin[16] = {0x7f, 'E', 'L', 'F'};
    EXPECT_EQ(cuModuleLoadData(&m, notAFatbin), CUDA_ERROR_INVALID_IMAGE);

    // Machine code made by CUDA 13.0 and ISA 9.0 PTX: refused by driver 575.
    const Bytes newer = container({{2, 120, 1, 8, elf({{".nv.info.kProcess", 0x70000000, kernelInfo(130, {})}})},
                                   {1, 60, 9, 0, text(ptxWith("9.0", "\t.param .u32 p"), 1)}});
    leave(0);
    ASSERT_EQ(quelmarSimReset("devices=12.0 driver=575.51"), 1);
    ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
    enter(0);
    EXPECT_EQ(cuModuleLoadData(&m, newer.data()), CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
    const std::string account = quelmarSimLoadAccount();
    EXPECT_NE(account.find("sm_120 (made by CUDA 13.0, too new)"), std::string::npos) << account;
    EXPECT_NE(account.find("compute_60 ISA 9.0"), std::string::npos) << account;
    leave(0);

    // ISA 8.7 PTX compiles; its kernels must take what the executor takes.
    const char* wrong = "\t.param .u64 a,\n\t.param .u32 b";
    const Bytes older = container({{1, 60, 8, 7, text(ptxWith("8.7", wrong), 1)}});
    enter(0);
    ASSERT_EQ(cuModuleLoadData(&m, older.data()), CUDA_SUCCESS);
    EXPECT_EQ(std::string(quelmarSimLoadAccount()).rfind("compute_60 PTX (ISA 8.7) compiled for sm_120", 0), 0u);
    CUfunction f = nullptr;
    EXPECT_VIOLATION(cuModuleGetFunction(&f, m, "kProcess"), CUDA_ERROR_INVALID_IMAGE);
    EXPECT_VIOLATION(cuModuleGetFunction(&f, m, "kMystery"), CUDA_ERROR_NOT_FOUND);
    EXPECT_EQ(cuModuleGetFunction(&f, m, "kEstimateMV16"), CUDA_ERROR_NOT_FOUND);
    EXPECT_EQ(cuModuleUnload(m), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimLiveModules(), 0);
    leave(0);
}

class SimLaunch : public SimDriver {
protected:
    void SetUp() override {
        if (quelmarFatbinSize == 0) GTEST_SKIP() << "the build embedded no device code";
        SimDriver::SetUp();
        enter(0);
        s = stream();
        ASSERT_EQ(cuModuleLoadData(&module, quelmarFatbin), CUDA_SUCCESS);
        ASSERT_EQ(cuModuleGetFunction(&profile, module, "kProfileAuto"), CUDA_SUCCESS);
        ASSERT_EQ(cuModuleGetFunction(&motion, module, "kEstimateMV16"), CUDA_SUCCESS);
        frame = alloc(64 * 64 * 4);
        sums = alloc(16);
        ASSERT_EQ(cuMemsetD8Async(frame, 128, 64 * 64 * 4, s), CUDA_SUCCESS);
        ASSERT_EQ(cuMemsetD8Async(sums, 0, 16, s), CUDA_SUCCESS);
    }
    void TearDown() override {
        if (module == nullptr) return;
        EXPECT_EQ(cuModuleUnload(module), CUDA_SUCCESS);
        EXPECT_EQ(cuStreamDestroy(s), CUDA_SUCCESS);
        EXPECT_EQ(cuMemFree(frame), CUDA_SUCCESS);
        EXPECT_EQ(cuMemFree(sums), CUDA_SUCCESS);
        leave(0);
        SimDriver::TearDown();
    }
    CUresult launchProfile(unsigned gridY, unsigned blockX, unsigned shared, CUdeviceptr weights) {
        CUdeviceptr src = frame, sum = sums;
        int width = 64, height = 64, pitch = 64, step = 4;
        void* args[] = {&src, &width, &height, &pitch, &step, &sum, &weights};
        return cuLaunchKernel(profile, 1, gridY, 1, blockX, 16, 1, shared, s, args, nullptr);
    }
    CUstream s = nullptr;
    CUmodule module = nullptr;
    CUfunction profile = nullptr, motion = nullptr;
    CUdeviceptr frame = 0, sums = 0;
};

TEST_F(SimLaunch, ConfigurationsAGpuRefusesAreErrorsNotViolations) {
    EXPECT_EQ(launchProfile(1, 65, 0, sums + 8), CUDA_ERROR_INVALID_VALUE) << "1040 threads";
    EXPECT_EQ(launchProfile(1, 17, 0, sums + 8), CUDA_ERROR_INVALID_VALUE) << "over its launch bound of 256";
    EXPECT_EQ(launchProfile(65536, 16, 0, sums + 8), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(launchProfile(1, 16, 48 * 1024, sums + 8), CUDA_ERROR_INVALID_VALUE)
        << "with its 4 KiB of static shared memory";
    EXPECT_EQ(quelmarSimTakeViolations(), 0);
    ASSERT_EQ(launchProfile(1, 16, 0, sums + 8), CUDA_SUCCESS);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    double result[2] = {};
    EXPECT_EQ(cuMemcpyDtoHAsync(result, sums, 16, s), CUDA_SUCCESS);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    EXPECT_LT(result[0], 0.01) << "a flat frame has no residuals but roundings";
    EXPECT_EQ(result[1], 256.0) << "and full weight at each of its 16 x 16 sample points";
}

TEST_F(SimLaunch, ArgumentsAGpuWouldFaultOnAreViolations) {
    EXPECT_EQ(launchProfile(1, 16, 0, sums + 12), CUDA_SUCCESS) << "faults when it runs, as on a GPU";
    EXPECT_EQ(quelmarSimTakeViolations(), 1);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_ILLEGAL_ADDRESS);

    CUdeviceptr cur = frame, mv = sums;
    int width = 16, height = 16, pitch = 16, blocks = 1, radius = 4, step = 2;
    void* args[] = {&cur, &cur, &width, &height, &pitch, &mv, &blocks, &blocks, &radius, &step};
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 0, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 1) << "no dynamic shared memory for its 64 floats";
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 4, 8, 1, 256, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 1) << "half its 8x8 thread block";
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_VIOLATION(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, args), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
}

// ---- the rules, on image descriptions alone ----

fatbin::Image sass(int arch, fatbin::Version made) {
    fatbin::Image i;
    i.kind = fatbin::Kind::Sass;
    i.arch = arch;
    i.toolkit = made;
    return i;
}

fatbin::Image ptx(int target, fatbin::Version isa) {
    fatbin::Image i;
    i.kind = fatbin::Kind::Ptx;
    i.arch = i.ptxTarget = target;
    i.ptxIsa = isa;
    i.toolkit = fatbin::ReleaseOfPtxIsa(isa);
    return i;
}

TEST(SimImageRules, NewestMachineCodeOfTheSameMajorThenPtx) {
    sim::DriverModel r570{570, 86, {12, 8}}, r580{580, 65, {13, 0}};
    const std::vector<fatbin::Image> images = {sass(80, {12, 8}), sass(86, {12, 8}), sass(90, {13, 0}),
                                               ptx(75, {8, 7}), ptx(80, {9, 0})};
    EXPECT_EQ(sim::ChooseImage(images, 89, r570).image, 1) << "sm_86 code on sm_89";
    EXPECT_EQ(sim::ChooseImage(images, 86, r570).image, 1);
    EXPECT_EQ(sim::ChooseImage(images, 80, r570).image, 0) << "never code of a higher minor";
    EXPECT_EQ(sim::ChooseImage(images, 90, r580).image, 2);
    EXPECT_EQ(sim::ChooseImage(images, 90, r570).image, 3) << "CUDA 13 code refused; ISA 8.7 PTX";
    EXPECT_EQ(sim::ChooseImage(images, 100, r580).image, 4) << "no sm_10x code: the newest PTX";
    EXPECT_EQ(sim::ChooseImage(images, 75, r580).image, 3) << "compute_80 PTX is too high for sm_75";
    const sim::LoadChoice none = sim::ChooseImage(images, 70, r580);
    EXPECT_EQ(none.image, -1);
    EXPECT_EQ(none.status, CUDA_ERROR_NO_BINARY_FOR_GPU);
    EXPECT_EQ(sim::ChooseImage({ptx(75, {9, 0})}, 86, r570).status, CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
    EXPECT_EQ(sim::ChooseImage({ptx(75, {9, 1})}, 86, r580).status, CUDA_ERROR_UNSUPPORTED_PTX_VERSION)
        << "an ISA newer than any release known here";
}

TEST(SimMachine, DescriptionsAndWhatEachDriverKnows) {
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine("devices=6.1,12.1 driver=575.51 memory-mib=512 fail=cuInit:2", &m, &error));
    ASSERT_EQ(m.devices.size(), 2u);
    EXPECT_EQ(m.devices[1].cc, 121);
    EXPECT_EQ(m.devices[0].memoryBytes, 512u << 20);
    EXPECT_EQ(m.driver.cuda, (fatbin::Version{12, 9}));
    EXPECT_EQ(m.failEntry, "cuInit");
    EXPECT_EQ(m.failNth, 2);
    ASSERT_TRUE(sim::ParseMachine("devices=none", &m, &error));
    EXPECT_TRUE(m.devices.empty());
    for (const char* bad : {"devices=12", "devices=12.x", "driver=550.54", "driver=580", "fail=cuInit",
                            "memory-mib=0", "colour=blue", "devices"}) {
        EXPECT_FALSE(sim::ParseMachine(bad, &m, &error)) << bad;
        EXPECT_NE(error.find("cannot use"), std::string::npos) << bad;
    }
    const sim::DriverModel r570{570, 86, {12, 8}}, r575{575, 51, {12, 9}}, r580{580, 65, {13, 0}};
    for (int cc : {60, 61, 70, 75, 80, 86, 89, 90, 100, 120}) {
        EXPECT_TRUE(sim::DriverKnows(r570, cc) && sim::DriverKnows(r575, cc) && sim::DriverKnows(r580, cc)) << cc;
    }
    // R560 (CUDA 12.6), older than the first driver for Blackwell.
    ASSERT_TRUE(sim::ParseMachine("driver=560.94", &m, &error));
    EXPECT_EQ(m.driver.cuda, (fatbin::Version{12, 6}));
    EXPECT_TRUE(sim::DriverKnows(m.driver, 90));
    EXPECT_FALSE(sim::DriverKnows(m.driver, 100) || sim::DriverKnows(m.driver, 120));
    EXPECT_FALSE(sim::DriverKnows(r570, 103));
    EXPECT_TRUE(sim::DriverKnows(r575, 121));
    EXPECT_FALSE(sim::DriverKnows(r575, 110));
    EXPECT_TRUE(sim::DriverKnows(r580, 110));
    EXPECT_FALSE(sim::DriverKnows(r580, 130));
}

}  // namespace
