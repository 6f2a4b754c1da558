#include "gpu/cuda_status.h"

#include <cstdio>

namespace {

struct NamedStatus {
    int value;
    const char* name;
};

#define QUELMAR_NAMED_STATUS(name, value) {value, #name},
constexpr NamedStatus kStatuses[] = {QUELMAR_CUDA_STATUSES(QUELMAR_NAMED_STATUS)};
#undef QUELMAR_NAMED_STATUS

}  // namespace

const char* CudaStatusName(int status) {
    for (const NamedStatus& s : kStatuses) {
        if (s.value == status) return s.name;
    }
    // Statuses a newer driver may add: still say which one it was.
    thread_local char unknown[32];
    std::snprintf(unknown, sizeof unknown, "CUDA status %d", status);
    return unknown;
}

bool CudaStatusIsSticky(int status) {
    using namespace cudrv;
    switch (status) {
        case CUDA_ERROR_CONTAINED:
        case CUDA_ERROR_ILLEGAL_ADDRESS:
        case CUDA_ERROR_LAUNCH_TIMEOUT:
        case CUDA_ERROR_HARDWARE_STACK_ERROR:
        case CUDA_ERROR_ILLEGAL_INSTRUCTION:
        case CUDA_ERROR_MISALIGNED_ADDRESS:
        case CUDA_ERROR_INVALID_ADDRESS_SPACE:
        case CUDA_ERROR_INVALID_PC:
        case CUDA_ERROR_LAUNCH_FAILED:
        case CUDA_ERROR_TENSOR_MEMORY_LEAK:
        case CUDA_ERROR_MPS_CLIENT_TERMINATED:
        case CUDA_ERROR_EXTERNAL_DEVICE:
            return true;
        default:
            return false;
    }
}
