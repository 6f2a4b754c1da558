// The machine the CPU backend emulates, asked at each operation with the
// backend's lock held. The modules get the plain machine
// (gpu/device_cpu_machine.cpp): one device, every call served. Tests link the
// object of gpu/device_cpu_testing.cpp instead, whose machine can lose its
// devices or fail chosen calls (gpu/device_cpu_testing.h).
#pragma once

namespace dev::cpumachine {

// The backend's operations, as the machine counts them.
enum class Op {
    GetDeviceCount,
    SetDevice,
    StreamCreate,
    StreamSynchronize,
    StreamDestroy,
    MallocPitch,
    Malloc,
    Free,
    Memset2DAsync,
    MemsetAsync,
    Memcpy2DAsync,
    MemcpyAsync,
    GetLastError,
    LaunchEstimateMV16,
    LaunchProcess,
    LaunchProfileAuto,
    Count
};

// False when the machine fails this call.
bool serves(Op op);

// The devices the machine has; negative when counting them fails.
int devices();

}  // namespace dev::cpumachine
