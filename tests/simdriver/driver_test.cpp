// The simulated driver itself: as strict as a real one, stricter where a real
// one would go wrong silently, and every misuse counted as a violation.
#include <gtest/gtest.h>

#include <cuda.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernels/common.h"
#include "kernels/device_images.h"
#include "tests/gpu/device_image_builder.h"
#include "tests/simdriver/control.h"
#include "tests/simdriver/machine.h"

namespace {

using namespace imagetest;

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
    EXPECT_STREQ(quelmarSimLoadAccount(), "driver 575.51 does not list Simulated GPU sm_110 (sm_110): not enumerated");
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
std::string ptxWith(const char* version, const char* target, const char* processParams) {
    return std::string("//\n// Generated by a test\n//\n\n.version ") + version + "\n.target " + target +
           "\n.address_size 64\n\n.visible .entry kProcess(\n" + processParams + "\n)\n{\n\tret;\n}\n" +
           ".visible .entry kMystery(\n\t.param .u32 p\n)\n{\n\tret;\n}\n";
}

const char* const kWrongProcessParams = "\t.param .u64 a,\n\t.param .u32 b";

// The load account, for messages and searches.
std::string account() { return quelmarSimLoadAccount(); }

// One image at a time, as the driver reads it: a cubin sized by its own
// headers, PTX up to its NUL; a fat-binary container or anything else is no
// image it is handed here.
TEST_F(SimDriver, ModulesLoadOneCubinOrPtxForTheContextsGpu) {
    enter(0);  // sm_120 with driver 580
    CUmodule m = nullptr;
    const unsigned char container[16] = {0x50, 0xED, 0x55, 0xBA, 1, 0, 16, 0};
    EXPECT_EQ(cuModuleLoadData(&m, container), CUDA_ERROR_INVALID_IMAGE);
    EXPECT_NE(account().find("fat-binary container"), std::string::npos) << account();
    const unsigned char binary[] = {1, 2, 3, 0};
    EXPECT_EQ(cuModuleLoadData(&m, binary), CUDA_ERROR_INVALID_IMAGE);
    Bytes newerAbi = kernelCubin(120, 128, "kProcess", {});
    newerAbi[8] = 9;
    EXPECT_EQ(cuModuleLoadData(&m, newerAbi.data()), CUDA_ERROR_INVALID_IMAGE);
    EXPECT_EQ(cuModuleLoadData(&m, text("not PTX at all\n").data()), CUDA_ERROR_INVALID_PTX);
    EXPECT_EQ(m, nullptr) << "a refused image makes no module";
    EXPECT_EQ(cuModuleLoadData(nullptr, binary), CUDA_ERROR_INVALID_VALUE);

    // Machine code of the GPU's major and no higher minor.
    auto code = std::make_unique<Bytes>(kernelCubin(120, 128, "kProcess", {{0, 8}, {8, 4}}));
    ASSERT_EQ(cuModuleLoadData(&m, code->data()), CUDA_SUCCESS);
    EXPECT_EQ(account(), "sm_120 machine code made by CUDA 12.8, on sm_120");
    code.reset();  // the driver holds its own copy
    CUfunction f = nullptr;
    // Its parameters are not the executor's.
    EXPECT_VIOLATION(cuModuleGetFunction(&f, m, "kProcess"), CUDA_ERROR_INVALID_IMAGE);
    EXPECT_EQ(cuModuleGetFunction(&f, m, "kEstimateMV16"), CUDA_ERROR_NOT_FOUND);
    EXPECT_EQ(cuModuleUnload(m), CUDA_SUCCESS);
    EXPECT_EQ(cuModuleLoadData(&m, kernelCubin(121, 128, "kProcess", {}).data()), CUDA_ERROR_NO_BINARY_FOR_GPU);
    EXPECT_EQ(account(), "sm_121 machine code made by CUDA 12.8 does not run on sm_120");
    leave(0);

    enter(1);  // sm_86
    const Bytes ampere = kernelCubin(80, 128, "kProcess", {});
    EXPECT_EQ(cuModuleLoadData(&m, ampere.data()), CUDA_SUCCESS);
    EXPECT_EQ(account(), "sm_80 machine code made by CUDA 12.8, on sm_86");
    EXPECT_EQ(cuModuleUnload(m), CUDA_SUCCESS);
    EXPECT_EQ(cuModuleLoadData(&m, kernelCubin(120, 128, "kProcess", {}).data()), CUDA_ERROR_NO_BINARY_FOR_GPU);
    EXPECT_EQ(cuModuleLoadData(&m, kernelCubin(75, 128, "kProcess", {}).data()), CUDA_ERROR_NO_BINARY_FOR_GPU)
        << "another major";

    // PTX is compiled for the GPU; its kernels must take what the executor takes.
    const Bytes ptx = text(ptxWith("8.7", "sm_60", kWrongProcessParams));
    ASSERT_EQ(cuModuleLoadData(&m, ptx.data()), CUDA_SUCCESS);
    EXPECT_EQ(account(), "compute_60 PTX (ISA 8.7) compiled for sm_86 by driver 580 (CUDA 13.0)");
    EXPECT_VIOLATION(cuModuleGetFunction(&f, m, "kProcess"), CUDA_ERROR_INVALID_IMAGE);
    EXPECT_VIOLATION(cuModuleGetFunction(&f, m, "kMystery"), CUDA_ERROR_NOT_FOUND);
    EXPECT_EQ(cuModuleUnload(m), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimLiveModules(), 0);
    leave(1);
}

// cuModuleLoadDataEx: the compiler's words land in the caller's buffer, cut
// to its size and NUL-terminated, and the size option comes back as what was
// written; other options cuda.h defines are accepted.
TEST_F(SimDriver, JitLogsReachTheCallersBuffers) {
    ASSERT_EQ(quelmarSimReset("devices=12.0,8.6 driver=570.86"), 1);
    ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
    enter(0);
    char error[256], info[256];
    std::memset(error, '#', sizeof error);
    std::memset(info, '#', sizeof info);
    CUjit_option options[] = {CU_JIT_ERROR_LOG_BUFFER, CU_JIT_ERROR_LOG_BUFFER_SIZE_BYTES, CU_JIT_INFO_LOG_BUFFER,
                              CU_JIT_INFO_LOG_BUFFER_SIZE_BYTES, CU_JIT_OPTIMIZATION_LEVEL};
    auto sized = [](std::size_t n) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(n)); };
    void* values[] = {error, sized(sizeof error), info, sized(sizeof info), sized(4)};
    CUmodule m = nullptr;

    // ISA 9.0 is CUDA 13.0's: driver 570 (CUDA 12.8) reads up to 8.7.
    const Bytes newer = text(ptxWith("9.0", "sm_75", kWrongProcessParams));
    EXPECT_EQ(cuModuleLoadDataEx(&m, newer.data(), 5, options, values), CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
    const std::string log = error;
    EXPECT_NE(log.find("line 5: .version 9.0"), std::string::npos) << log;
    EXPECT_NE(log.find("8.7"), std::string::npos) << log;
    EXPECT_EQ(values[1], sized(log.size()));
    EXPECT_EQ(error[log.size() + 1], '#') << "nothing written past the NUL";
    EXPECT_NE(account().find("reads PTX up to ISA 8.7"), std::string::npos) << account();

    // Cut to the buffer, NUL included; a buffer of size 0 is left alone.
    std::memset(error, '#', sizeof error);
    std::memset(info, '#', sizeof info);
    values[1] = sized(8);
    values[3] = sized(0);
    EXPECT_EQ(cuModuleLoadDataEx(&m, newer.data(), 4, options, values), CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
    EXPECT_EQ(std::string(error), log.substr(0, 7));
    EXPECT_EQ(values[1], sized(7));
    EXPECT_EQ(info[0], '#');

    // A target above the GPU's is a compile error; a fitting one compiles.
    values[1] = sized(sizeof error);
    leave(0);
    enter(1);  // sm_86
    EXPECT_EQ(cuModuleLoadDataEx(&m, text(ptxWith("8.7", "sm_90", "")).data(), 2, options, values),
              CUDA_ERROR_INVALID_PTX);
    EXPECT_NE(std::string(error).find(".target sm_90"), std::string::npos) << error;
    values[3] = sized(sizeof info);
    ASSERT_EQ(cuModuleLoadDataEx(&m, text(ptxWith("8.7", "sm_60", "")).data(), 5, options, values), CUDA_SUCCESS);
    EXPECT_STREQ(error, "");
    EXPECT_EQ(values[1], sized(0));
    EXPECT_STREQ(info, "compiled for sm_86");
    EXPECT_EQ(account(), "compute_60 PTX (ISA 8.7) compiled for sm_86 by driver 570 (CUDA 12.8)");
    EXPECT_EQ(cuModuleUnload(m), CUDA_SUCCESS);

    // Options cuda.h does not define, or values missing, are refused.
    CUjit_option unknown[] = {static_cast<CUjit_option>(CU_JIT_NUM_OPTIONS)};
    EXPECT_VIOLATION(cuModuleLoadDataEx(&m, newer.data(), 1, unknown, values), CUDA_ERROR_INVALID_VALUE);
    EXPECT_VIOLATION(cuModuleLoadDataEx(&m, newer.data(), 2, options, nullptr), CUDA_ERROR_INVALID_VALUE);
    void* noBuffer[] = {nullptr, sized(64)};
    EXPECT_VIOLATION(cuModuleLoadDataEx(&m, newer.data(), 2, options, noBuffer), CUDA_ERROR_INVALID_VALUE);
    leave(1);
}

// A cubin loads on a driver of its maker's major release or later (12.x from
// R525, 13.x from R580); PTX when the driver reads its ISA.
TEST(SimDriverModules, MinorVersionCompatibilityThroughTheApi) {
    const Bytes made128 = kernelCubin(86, 128, "kProcess", {});
    const Bytes made130 = kernelCubin(86, 130, "kProcess", {});
    const Bytes isa87 = text(ptxWith("8.7", "sm_60", ""));
    const struct {
        const char* driver;
        CUresult cubin128, cubin130, ptx87;
    } drivers[] = {
        {"525.60", CUDA_SUCCESS, CUDA_ERROR_NO_BINARY_FOR_GPU, CUDA_ERROR_UNSUPPORTED_PTX_VERSION},
        {"565.57", CUDA_SUCCESS, CUDA_ERROR_NO_BINARY_FOR_GPU, CUDA_ERROR_UNSUPPORTED_PTX_VERSION},
        {"570.86", CUDA_SUCCESS, CUDA_ERROR_NO_BINARY_FOR_GPU, CUDA_SUCCESS},
        {"580.65", CUDA_SUCCESS, CUDA_SUCCESS, CUDA_SUCCESS},
        {"590.44", CUDA_SUCCESS, CUDA_SUCCESS, CUDA_SUCCESS},
    };
    for (const auto& row : drivers) {
        ASSERT_EQ(quelmarSimReset(("devices=8.6 driver=" + std::string(row.driver)).c_str()), 1);
        ASSERT_EQ(cuInit(0), CUDA_SUCCESS);
        CUcontext c = nullptr;
        ASSERT_EQ(cuDevicePrimaryCtxRetain(&c, 0), CUDA_SUCCESS);
        ASSERT_EQ(cuCtxPushCurrent(c), CUDA_SUCCESS);
        const std::pair<const Bytes*, CUresult> cases[] = {
            {&made128, row.cubin128}, {&made130, row.cubin130}, {&isa87, row.ptx87}};
        for (const auto& [image, expected] : cases) {
            CUmodule m = nullptr;
            EXPECT_EQ(cuModuleLoadData(&m, image->data()), expected) << row.driver << ": " << account();
            if (m != nullptr) {
                EXPECT_EQ(cuModuleUnload(m), CUDA_SUCCESS);
            }
        }
        if (row.cubin130 != CUDA_SUCCESS) {
            CUmodule m = nullptr;
            cuModuleLoadData(&m, made130.data());
            EXPECT_NE(account().find("needs driver R580 or newer"), std::string::npos) << account();
        }
        EXPECT_EQ(cuCtxPopCurrent(&c), CUDA_SUCCESS);
        EXPECT_EQ(cuDevicePrimaryCtxRelease(0), CUDA_SUCCESS);
        EXPECT_EQ(quelmarSimTakeViolations(), 0);
    }
}

class SimLaunch : public SimDriver {
protected:
    void SetUp() override {
        const QuelmarDeviceImage* sm120 = nullptr;
        for (std::size_t i = 0; i < quelmarDeviceImageCount; ++i) {
            const QuelmarDeviceImage& image = quelmarDeviceImages[i];
            if (image.kind == kQuelmarCubin && image.arch == 120) sm120 = &image;
        }
        if (sm120 == nullptr) GTEST_SKIP() << "the build embedded no device code";
        SimDriver::SetUp();
        enter(0);
        s = stream();
        ASSERT_EQ(cuModuleLoadData(&module, sm120->bytes), CUDA_SUCCESS);
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
    // After a sticky fault only the context's release reclaims what is left.
    void forgetAfterFault() {
        leave(0);
        module = nullptr;
    }
    // Each kernel's one parameter, laid out as kernels.cu documents it.
    struct ProfileParam {
        CUdeviceptr src, sums, weights;
        int width, height, pitch, step;
    };
    struct MotionParam {
        CUdeviceptr cur, ref, mv;
        int width, height, pitch, blocksX, blocksY, radius, step;
    };
    CUresult launchProfile(unsigned gridY, unsigned blockX, unsigned shared, CUdeviceptr weights) {
        ProfileParam param{frame, sums, weights, 64, 64, 64, 4};
        void* args[] = {&param};
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

    MotionParam param{frame, frame, sums, 16, 16, 16, 1, 1, 4, 2};
    void* args[] = {&param};
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 0, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 1) << "no dynamic shared memory for its 64 floats";
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 4, 8, 1, 256, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 1) << "half its 8x8 thread block";
    EXPECT_VIOLATION(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, args), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_ILLEGAL_ADDRESS);
    forgetAfterFault();
}

// The driver reads each pointer and extent at the offset the kernel's
// documented layout gives it, and the run writes where that pointer says.
TEST_F(SimLaunch, TheOneParameterIsReadAtItsDocumentedOffsets) {
    ASSERT_EQ(cuMemsetD8Async(sums, 0xff, 16, s), CUDA_SUCCESS);
    MotionParam param{frame, frame, sums + 8, 16, 16, 64, 1, 1, 4, 2};
    void* args[] = {&param};
    ASSERT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, nullptr), CUDA_SUCCESS);
    int back[4] = {};
    ASSERT_EQ(cuMemcpyDtoHAsync(back, sums, sizeof back, s), CUDA_SUCCESS);
    ASSERT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 0);
    EXPECT_EQ(back[0], -1) << "nothing before the vector's slot";
    EXPECT_EQ(back[1], -1);
    EXPECT_TRUE(back[2] >= -4 && back[2] <= 4 && back[3] >= -4 && back[3] <= 4)
        << "a vector within the search radius: " << back[2] << ", " << back[3];

    param.mv = sums + 12;  // the vector would end past the allocation
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 1);
    param.mv = sums + 8;
    param.height = 65;  // one row more than the 64 the frame holds
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 1);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_ILLEGAL_ADDRESS);
    forgetAfterFault();
}

// A launch can be failed by kernel: the motion search's second launch, with
// the profile's launches counted apart; disarming leaves the counts.
TEST_F(SimLaunch, LaunchesFailByKernelAndQueuedWorkIsCounted) {
    quelmarSimFailCall("cuLaunchKernel:kEstimateMV16", 2);
    MotionParam param{frame, frame, sums + 8, 16, 16, 64, 1, 1, 4, 2};
    void* args[] = {&param};
    EXPECT_EQ(launchProfile(1, 16, 0, sums), CUDA_SUCCESS);
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimQueuedWork(), 4) << "the two clears of the set-up and two launches";
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, nullptr), CUDA_ERROR_UNKNOWN);
    EXPECT_EQ(quelmarSimQueuedWork(), 0) << "a failing call finds the queued work done";
    quelmarSimFailCall("cuLaunchKernel:kEstimateMV16", 1);
    quelmarSimDisarm();
    EXPECT_EQ(cuLaunchKernel(motion, 1, 1, 1, 8, 8, 1, 256, s, args, nullptr), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimCalls("cuLaunchKernel:kEstimateMV16"), 3);
    EXPECT_EQ(quelmarSimCalls("cuLaunchKernel"), 4);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 0);
}

// As cuda.h says of an illegal address: "any further CUDA work will return
// the same error". Only taking the context off the thread and releasing it go on.
TEST_F(SimLaunch, AFaultInQueuedWorkIsStickyForEveryLaterCall) {
    EXPECT_EQ(launchProfile(1, 16, 0, sums + 12), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimTakeViolations(), 1);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_EQ(quelmarSimStickyFault(), CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_EQ(launchProfile(1, 16, 0, sums + 8), CUDA_ERROR_ILLEGAL_ADDRESS) << "a launch that would be fine";
    CUdeviceptr p = 0;
    EXPECT_EQ(cuMemAlloc(&p, 64), CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_EQ(cuMemsetD8Async(frame, 0, 16, s), CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_ILLEGAL_ADDRESS);
    EXPECT_EQ(cuModuleUnload(module), CUDA_ERROR_ILLEGAL_ADDRESS);
    forgetAfterFault();
    EXPECT_EQ(quelmarSimTakeViolations(), 0) << "what the fault stranded is no leak";
    ASSERT_EQ(quelmarSimReset("devices=12.0"), 1);
    EXPECT_EQ(quelmarSimStickyFault(), 0) << "until the process starts again";
}

// An upload from pageable memory has its data when the call returns; one from
// page-locked memory reads it when it runs, so that memory reused before the
// wait uploads what it holds by then, as a GPU's direct transfer does.
TEST_F(SimDriver, PageLockedMemoryIsReadWhenTheCopyRuns) {
    enter(0);
    CUstream s = stream();
    const CUdeviceptr dev = alloc(64);
    std::vector<unsigned char> pageable(64, 1), locked(64, 1), back(64, 0);
    ASSERT_EQ(cuMemHostRegister(locked.data(), locked.size(), CU_MEMHOSTREGISTER_PORTABLE), CUDA_SUCCESS);
    EXPECT_EQ(cuMemHostRegister(locked.data() + 8, 8, 0), CUDA_ERROR_HOST_MEMORY_ALREADY_REGISTERED);

    ASSERT_EQ(cuMemcpyHtoDAsync(dev, pageable.data(), 64, s), CUDA_SUCCESS);
    pageable.assign(64, 2);
    ASSERT_EQ(cuMemcpyDtoHAsync(back.data(), dev, 64, s), CUDA_SUCCESS);
    ASSERT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    EXPECT_EQ(back, std::vector<unsigned char>(64, 1)) << "pageable: taken at the call";

    ASSERT_EQ(cuMemcpyHtoDAsync(dev, locked.data(), 64, s), CUDA_SUCCESS);
    locked.assign(64, 3);  // same storage: assign keeps the capacity
    ASSERT_EQ(cuMemcpyDtoHAsync(back.data(), dev, 64, s), CUDA_SUCCESS);
    ASSERT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    EXPECT_EQ(back, std::vector<unsigned char>(64, 3)) << "page-locked: read when it runs";

    EXPECT_EQ(quelmarSimLiveAllocations(), 2) << "the device block and the registration";
    EXPECT_EQ(cuMemHostUnregister(locked.data()), CUDA_SUCCESS);
    EXPECT_EQ(cuMemHostUnregister(locked.data()), CUDA_ERROR_HOST_MEMORY_NOT_REGISTERED);
    EXPECT_EQ(cuMemFree(dev), CUDA_SUCCESS);
    EXPECT_EQ(cuStreamDestroy(s), CUDA_SUCCESS);
    leave(0);
}

// Device memory is not the host's: reading it through a pointer faults, as
// it does with a real GPU, while the driver's own copies reach it.
TEST_F(SimDriver, DeviceMemoryIsUnreadableFromTheHost) {
    enter(0);
    CUstream s = stream();
    const CUdeviceptr p = alloc(4096);
    ASSERT_EQ(cuMemsetD8Async(p, 7, 4096, s), CUDA_SUCCESS);
    unsigned char back = 0;
    ASSERT_EQ(cuMemcpyDtoHAsync(&back, p + 100, 1, s), CUDA_SUCCESS);
    ASSERT_EQ(cuStreamSynchronize(s), CUDA_SUCCESS);
    EXPECT_EQ(back, 7);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            const volatile unsigned char* host = reinterpret_cast<const volatile unsigned char*>(p);
            back = host[100];
        },
        "");
    EXPECT_EQ(cuMemFree(p), CUDA_SUCCESS);
    EXPECT_EQ(cuStreamDestroy(s), CUDA_SUCCESS);
    leave(0);
}

// cuGetProcAddress hands out the variant of the version asked for, and
// nothing for a version newer than the driver.
TEST_F(SimDriver, ProcAddressGivesTheVariantOfTheVersionAskedFor) {
    ASSERT_EQ(quelmarSimReset("devices=12.0 driver=570.86"), 1);
    void* f = nullptr;
    CUdriverProcAddressQueryResult found{};
    EXPECT_EQ(cuGetProcAddress_v2("cuMemAlloc", &f, 3020, CU_GET_PROC_ADDRESS_LEGACY_STREAM, &found), CUDA_SUCCESS);
    EXPECT_EQ(f, reinterpret_cast<void*>(&cuMemAlloc_v2));
    EXPECT_EQ(cuGetProcAddress_v2("cuEventElapsedTime", &f, 12080, CU_GET_PROC_ADDRESS_LEGACY_STREAM, &found),
              CUDA_SUCCESS);
    EXPECT_EQ(f, reinterpret_cast<void*>(&cuEventElapsedTime_v2));
    EXPECT_EQ(cuGetProcAddress_v2("cuEventElapsedTime", &f, 12000, CU_GET_PROC_ADDRESS_LEGACY_STREAM, &found),
              CUDA_SUCCESS);
    EXPECT_NE(f, reinterpret_cast<void*>(&cuEventElapsedTime_v2)) << "the original, for an older caller";
    EXPECT_EQ(cuGetProcAddress_v2("cuMemAlloc", &f, 12090, CU_GET_PROC_ADDRESS_LEGACY_STREAM, &found),
              CUDA_ERROR_INVALID_VALUE) << "newer than the driver's 12.8";
    EXPECT_EQ(cuGetProcAddress_v2("cuNoSuchThing", &f, 3020, CU_GET_PROC_ADDRESS_LEGACY_STREAM, &found), CUDA_SUCCESS);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(found, CU_GET_PROC_ADDRESS_SYMBOL_NOT_FOUND);
    EXPECT_EQ(cuGetProcAddress_v2("cuMemHostRegister", &f, 4000, CU_GET_PROC_ADDRESS_LEGACY_STREAM, &found),
              CUDA_SUCCESS);
    EXPECT_EQ(found, CU_GET_PROC_ADDRESS_VERSION_NOT_SUFFICIENT) << "no variant that old is emulated";
}

// A failure armed with a status: at once, or at the next synchronisation as
// a fault in queued work reaches the host. Only the faults cuda.h calls
// sticky stay.
TEST_F(SimDriver, InjectedFailuresCarryTheirStatusAtOnceOrLater) {
    enter(0);
    CUstream s = stream();
    const CUdeviceptr p = alloc(256);
    quelmarSimFailCallWith("cuMemsetD8Async", 1, CUDA_ERROR_INVALID_VALUE, 0);
    EXPECT_EQ(cuMemsetD8Async(p, 0, 256, s), CUDA_ERROR_INVALID_VALUE);
    EXPECT_EQ(cuMemsetD8Async(p, 0, 256, s), CUDA_SUCCESS) << "not sticky";

    quelmarSimFailCallWith("cuMemsetD8Async", 1, CUDA_ERROR_LAUNCH_TIMEOUT, 1);
    EXPECT_EQ(cuMemsetD8Async(p, 0, 256, s), CUDA_SUCCESS) << "the fault comes later";
    EXPECT_EQ(quelmarSimStickyFault(), 0);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_LAUNCH_TIMEOUT);
    EXPECT_EQ(cuStreamSynchronize(s), CUDA_ERROR_LAUNCH_TIMEOUT) << "and stays";
    EXPECT_EQ(cuMemFree(p), CUDA_ERROR_LAUNCH_TIMEOUT);
    CUcontext popped = nullptr;
    EXPECT_EQ(cuCtxPopCurrent(&popped), CUDA_SUCCESS);
    EXPECT_EQ(cuDevicePrimaryCtxRelease(0), CUDA_SUCCESS);
    EXPECT_EQ(quelmarSimLiveAllocations() + quelmarSimLiveStreams(), 0) << "reclaimed with the context";
}

// ---- the rules, on image descriptions alone ----

deviceimage::Image cubinImage(int arch, deviceimage::Version made) {
    return deviceimage::Image{deviceimage::Kind::Cubin, arch, made, {}, {}};
}

deviceimage::Image ptxImage(int target, deviceimage::Version isa) {
    return deviceimage::Image{deviceimage::Kind::Ptx, target, deviceimage::ReleaseOfPtxIsa(isa), isa, {}};
}

sim::DriverModel driverOf(const char* text) {
    sim::Machine m;
    std::string error;
    EXPECT_TRUE(sim::ParseMachine(std::string("driver=") + text, &m, &error)) << text;
    return m.driver;
}

TEST(SimImageRules, CubinsRunOnTheirMajorAndLaterMinorsFromTheirMakersFirstDriver) {
    const sim::DriverModel r525 = driverOf("R525"), r575 = driverOf("R575"), r580 = driverOf("R580");
    EXPECT_EQ(sim::LoadImage(cubinImage(86, {12, 8}), 89, r525).status, CUDA_SUCCESS) << "sm_86 code on sm_89";
    EXPECT_EQ(sim::LoadImage(cubinImage(86, {12, 8}), 86, r525).status, CUDA_SUCCESS);
    EXPECT_EQ(sim::LoadImage(cubinImage(86, {12, 8}), 80, r580).status, CUDA_ERROR_NO_BINARY_FOR_GPU)
        << "never code of a higher minor";
    EXPECT_EQ(sim::LoadImage(cubinImage(90, {12, 8}), 100, r580).status, CUDA_ERROR_NO_BINARY_FOR_GPU)
        << "nor of another major";
    EXPECT_EQ(sim::LoadImage(cubinImage(120, {12, 8}), 121, r575).status, CUDA_SUCCESS);
    EXPECT_EQ(sim::LoadImage(cubinImage(75, {11, 8}), 75, r525).status, CUDA_SUCCESS) << "an older major";
    EXPECT_EQ(sim::LoadImage(cubinImage(75, {12, 9}), 75, r525).status, CUDA_SUCCESS) << "a later 12.x minor";
    const sim::LoadResult refused = sim::LoadImage(cubinImage(75, {13, 0}), 75, r575);
    EXPECT_EQ(refused.status, CUDA_ERROR_NO_BINARY_FOR_GPU);
    EXPECT_EQ(refused.account, "sm_75 machine code made by CUDA 13.0 needs driver R580 or newer; "
                               "driver 575 (CUDA 12.9) refused it");
    EXPECT_EQ(sim::LoadImage(cubinImage(75, {13, 0}), 75, r580).status, CUDA_SUCCESS);
}

TEST(SimImageRules, PtxNeedsADriverThatReadsItsIsaAndATargetAtMostTheGpus) {
    const struct {
        const char* driver;
        deviceimage::Version newestIsa;
    } drivers[] = {{"R525", {8, 0}}, {"R535", {8, 2}}, {"R550", {8, 4}}, {"R560", {8, 5}}, {"R565", {8, 6}},
                   {"R570", {8, 7}}, {"R575", {8, 8}}, {"R580", {9, 0}}, {"R590", {9, 1}}};
    for (const auto& d : drivers) {
        const sim::DriverModel driver = driverOf(d.driver);
        EXPECT_EQ(sim::NewestPtxIsa(driver), d.newestIsa) << d.driver;
        for (deviceimage::Version isa : {deviceimage::Version{8, 7}, {9, 0}, {9, 1}, {9, 2}}) {
            const sim::LoadResult r = sim::LoadImage(ptxImage(60, isa), 110, driver);
            const bool reads = isa <= d.newestIsa && isa != deviceimage::Version{9, 2};
            EXPECT_EQ(r.status, reads ? CUDA_SUCCESS : CUDA_ERROR_UNSUPPORTED_PTX_VERSION)
                << d.driver << " ISA " << isa.major << "." << isa.minor;
            EXPECT_EQ(r.jitLog.empty(), reads) << r.jitLog;
        }
    }
    const sim::LoadResult high = sim::LoadImage(ptxImage(90, {8, 7}), 86, driverOf("R580"));
    EXPECT_EQ(high.status, CUDA_ERROR_INVALID_PTX);
    EXPECT_EQ(sim::LoadImage(ptxImage(75, {9, 0}), 75, driverOf("R580")).status, CUDA_SUCCESS) << "equal";
}

TEST(SimMachine, DescriptionsBoardsAndTheBuildsThatListThem) {
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine("devices=6.1,12.1 driver=575.51 memory-mib=512 fail=cuInit:2", &m, &error));
    ASSERT_EQ(m.devices.size(), 2u);
    EXPECT_EQ(m.devices[1].cc, 121);
    EXPECT_EQ(m.devices[1].name, "Simulated GPU sm_121") << "a bare compute capability keeps its plain name";
    EXPECT_EQ(m.devices[0].memoryBytes, 512u << 20);
    EXPECT_EQ(m.driver.cuda, (deviceimage::Version{12, 9}));
    EXPECT_EQ(m.failEntry, "cuInit");
    EXPECT_EQ(m.failNth, 2);
    ASSERT_TRUE(sim::ParseMachine("devices=none", &m, &error));
    EXPECT_TRUE(m.devices.empty());
    ASSERT_TRUE(sim::ParseMachine("", &m, &error));
    EXPECT_EQ(m.devices.size(), 1u);
    EXPECT_EQ(m.devices[0].cc, 120);
    EXPECT_EQ(sim::DriverApiVersion(m.driver), 13000) << "580.65 by default";

    // A board by its key or its device ID, with the name a driver gives it.
    ASSERT_TRUE(sim::ParseMachine("devices=rtx5050,0x2B85,0x2b85 driver=R590", &m, &error));
    ASSERT_EQ(m.devices.size(), 3u);
    EXPECT_EQ(m.devices[0].name, "NVIDIA GeForce RTX 5050");
    EXPECT_EQ(m.devices[0].cc, 120);
    EXPECT_EQ(m.devices[1].name, "NVIDIA GeForce RTX 5090");
    EXPECT_EQ(m.devices[2].deviceId, 0x2B85u);
    EXPECT_EQ(sim::DeviceText(m.devices[0]), "NVIDIA GeForce RTX 5050 (sm_120, device 0x2D83)");
    EXPECT_EQ(m.driver.branch, 590);
    EXPECT_EQ(sim::DriverApiVersion(m.driver), 13010);

    for (const char* bad : {"devices=12", "devices=12.x", "devices=13.0", "devices=rtx9999", "devices=0x1", "devices=0x0",
                            "devices=8.6,", "devices=", "driver=540.10", "driver=R", "driver=580.x",
                            "fail=cuInit", "memory-mib=0", "colour=blue", "devices"}) {
        EXPECT_FALSE(sim::ParseMachine(bad, &m, &error)) << bad;
        EXPECT_NE(error.find("cannot use"), std::string::npos) << bad;
    }
}

TEST(SimMachine, DriversListBoardsByDeviceIdNotComputeCapability) {
    auto lists = [](const char* driver, const char* device) {
        sim::Machine m;
        std::string error;
        EXPECT_TRUE(sim::ParseMachine(std::string("driver=") + driver + " devices=" + device, &m, &error));
        return sim::DriverLists(m.driver, m.devices[0]);
    };
    // Two sm_120 boards: the RTX 5050 only from a late R575 build.
    EXPECT_TRUE(lists("570.86", "rtx5090"));
    EXPECT_FALSE(lists("570.86", "rtx5050"));
    EXPECT_FALSE(lists("575.51", "rtx5050"));
    EXPECT_TRUE(lists("575.64", "rtx5050"));
    EXPECT_TRUE(lists("R580", "rtx5050"));
    EXPECT_FALSE(lists("R560", "12.0")) << "older than the first driver for Blackwell";
    EXPECT_FALSE(lists("R565", "10.0"));
    EXPECT_TRUE(lists("R570", "10.0"));
    EXPECT_FALSE(lists("R570", "10.3"));
    EXPECT_TRUE(lists("R575", "10.3"));
    EXPECT_FALSE(lists("R575", "11.0"));
    EXPECT_TRUE(lists("R580", "11.0"));
    // R580 is the last branch for Maxwell, Pascal and Volta.
    for (const char* old : {"5.0", "6.0", "6.1", "6.2", "7.0", "7.2", "gtx1080", "v100"}) {
        EXPECT_TRUE(lists("R525", old) && lists("R580", old)) << old;
        EXPECT_FALSE(lists("R590", old)) << old;
    }
    for (const char* kept : {"7.5", "8.0", "8.6", "8.7", "8.9", "9.0", "10.0", "12.0"}) {
        EXPECT_TRUE(lists("R590", kept)) << kept;
    }
}

}  // namespace
