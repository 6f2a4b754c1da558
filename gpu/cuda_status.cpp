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
