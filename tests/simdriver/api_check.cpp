// The backend's own declarations of the driver API (gpu/cuda_driver_api.h)
// and the status table (gpu/cuda_status.h), checked against the toolkit's
// cuda.h when the simulated driver is built: a layout, constant or signature
// slip fails the build.
#include <cuda.h>
#include <cudaTypedefs.h>

#include <cstddef>
#include <type_traits>

#include "gpu/cuda_driver_api.h"

namespace {

template <typename T, typename = void>
struct complete : std::false_type {};
template <typename T>
struct complete<T, std::void_t<decltype(sizeof(T))>> : std::true_type {};

// The same at the machine level: pointers to the same kind of thing (or to
// opaque handles), or scalars of one size and kind.
template <typename A, typename B>
constexpr bool sameAbi() {
    if constexpr (std::is_pointer_v<A> || std::is_pointer_v<B>) {
        if constexpr (std::is_pointer_v<A> && std::is_pointer_v<B>) {
            using PA = std::remove_pointer_t<A>;
            using PB = std::remove_pointer_t<B>;
            if constexpr (std::is_const_v<PA> != std::is_const_v<PB>) return false;
            else if constexpr (std::is_void_v<PA> || std::is_void_v<PB>) return std::is_void_v<PA> == std::is_void_v<PB>;
            else if constexpr (complete<PA>::value && complete<PB>::value) return sameAbi<std::remove_cv_t<PA>, std::remove_cv_t<PB>>();
            else return complete<PA>::value == complete<PB>::value;
        } else {
            return false;
        }
    } else if constexpr (std::is_class_v<A> || std::is_class_v<B>) {
        return sizeof(A) == sizeof(B) && alignof(A) == alignof(B);
    } else {
        constexpr bool intA = std::is_integral_v<A> || std::is_enum_v<A>;
        constexpr bool intB = std::is_integral_v<B> || std::is_enum_v<B>;
        return sizeof(A) == sizeof(B) && intA == intB;
    }
}

template <typename A, typename B>
struct sameSignature : std::false_type {};
template <typename RA, typename... A, typename RB, typename... B>
struct sameSignature<RA (*)(A...), RB (*)(B...)> {
    static constexpr bool value = sizeof...(A) == sizeof...(B) && sameAbi<RA, RB>() && (sameAbi<A, B>() && ...);
};

using Ours = cudrv::Driver;

// Each entry point as cuda.h declares it, and as the version we ask
// cuGetProcAddress for gives it (cudaTypedefs.h's PFN_<base>_v<version>).
#define QUELMAR_CHECK_ENTRY(member, symbol, base, version, params)                              \
    static_assert(sameSignature<decltype(Ours::member), decltype(&symbol)>::value,             \
                  #symbol ": our declaration differs from cuda.h's");                          \
    static_assert(sameSignature<decltype(Ours::member), PFN_##base##_v##version>::value,       \
                  #base " " #version ": not the variant cuda.h names " #symbol);
QUELMAR_CUDA_ENTRY_POINTS(QUELMAR_CHECK_ENTRY)
QUELMAR_CUDA_OPTIONAL_ENTRY_POINTS(QUELMAR_CHECK_ENTRY)
#undef QUELMAR_CHECK_ENTRY
static_assert(sameSignature<cudrv::GetProcAddress, decltype(&cuGetProcAddress_v2)>::value);
static_assert(cudrv::CU_GET_PROC_ADDRESS_LEGACY_STREAM == CU_GET_PROC_ADDRESS_LEGACY_STREAM);

#define QUELMAR_CHECK_STATUS(name, value)                                                        \
    static_assert(static_cast<int>(::name) == (value) && cudrv::name == static_cast<int>(::name), \
                  #name ": value differs from cuda.h's");
QUELMAR_CUDA_STATUSES(QUELMAR_CHECK_STATUS)
#undef QUELMAR_CHECK_STATUS

static_assert(cudrv::CU_STREAM_NON_BLOCKING == CU_STREAM_NON_BLOCKING);
static_assert(cudrv::CU_EVENT_DEFAULT == CU_EVENT_DEFAULT);
static_assert(cudrv::CU_EVENT_BLOCKING_SYNC == CU_EVENT_BLOCKING_SYNC);
static_assert(cudrv::CU_EVENT_DISABLE_TIMING == CU_EVENT_DISABLE_TIMING);
static_assert(cudrv::kMemHostRegisterPortable == CU_MEMHOSTREGISTER_PORTABLE);
static_assert(cudrv::CU_MEMORYTYPE_HOST == CU_MEMORYTYPE_HOST);
static_assert(cudrv::CU_MEMORYTYPE_DEVICE == CU_MEMORYTYPE_DEVICE);
static_assert(cudrv::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR == CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR);
static_assert(cudrv::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR == CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR);
static_assert(cudrv::CU_JIT_ERROR_LOG_BUFFER == CU_JIT_ERROR_LOG_BUFFER);
static_assert(cudrv::CU_JIT_ERROR_LOG_BUFFER_SIZE_BYTES == CU_JIT_ERROR_LOG_BUFFER_SIZE_BYTES);
static_assert(sameAbi<cudrv::CUjit_option, ::CUjit_option>());
static_assert(std::is_same_v<cudrv::CUdeviceptr, ::CUdeviceptr>);
static_assert(sameAbi<cudrv::CUresult, ::CUresult>() && sameAbi<cudrv::CUdevice, ::CUdevice>());

#define QUELMAR_CHECK_FIELD(field)                                                         \
    static_assert(offsetof(cudrv::CUDA_MEMCPY2D, field) == offsetof(::CUDA_MEMCPY2D, field) && \
                  sameAbi<decltype(cudrv::CUDA_MEMCPY2D::field), decltype(::CUDA_MEMCPY2D::field)>(), \
                  "CUDA_MEMCPY2D::" #field);
QUELMAR_CHECK_FIELD(srcXInBytes) QUELMAR_CHECK_FIELD(srcY) QUELMAR_CHECK_FIELD(srcMemoryType)
QUELMAR_CHECK_FIELD(srcHost) QUELMAR_CHECK_FIELD(srcDevice) QUELMAR_CHECK_FIELD(srcArray)
QUELMAR_CHECK_FIELD(srcPitch) QUELMAR_CHECK_FIELD(dstXInBytes) QUELMAR_CHECK_FIELD(dstY)
QUELMAR_CHECK_FIELD(dstMemoryType) QUELMAR_CHECK_FIELD(dstHost) QUELMAR_CHECK_FIELD(dstDevice)
QUELMAR_CHECK_FIELD(dstArray) QUELMAR_CHECK_FIELD(dstPitch) QUELMAR_CHECK_FIELD(WidthInBytes)
QUELMAR_CHECK_FIELD(Height)
#undef QUELMAR_CHECK_FIELD
static_assert(sizeof(cudrv::CUDA_MEMCPY2D) == sizeof(::CUDA_MEMCPY2D));

}  // namespace
