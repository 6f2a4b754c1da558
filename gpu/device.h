// The device layer: one operation per CUDA runtime call the filter makes.
// Status 0 is success, anything else failure. Exactly one backend (CUDA driver
// or CPU) is linked into each module.
#pragma once
#include <cstddef>

#include "kernels/common.h"
#include "kernels/kernel_args.h"
#include "kernels/launch_geometry.h"
#include "kernels/params.h"

namespace dev {

using Status = int;
constexpr Status kSuccess = 0;

using Stream = struct StreamImpl*;

enum class CopyKind { HostToDevice, DeviceToHost, DeviceToDevice };

using Dim3 = qnr::Dim3;

Status getDeviceCount(int* count);
Status setDevice(int device);
Status streamCreateNonBlocking(Stream* stream);
Status streamSynchronize(Stream stream);
Status streamDestroy(Stream stream);
Status mallocPitch(void** ptr, std::size_t* pitch, std::size_t widthBytes, std::size_t height);
Status malloc(void** ptr, std::size_t bytes);
Status free(void* ptr);
Status memset2DAsync(void* ptr, std::size_t pitch, int value, std::size_t widthBytes,
                     std::size_t height, Stream stream);
Status memsetAsync(void* ptr, int value, std::size_t bytes, Stream stream);
Status memcpy2DAsync(void* dst, std::size_t dstPitch, const void* src, std::size_t srcPitch,
                     std::size_t widthBytes, std::size_t height, CopyKind kind, Stream stream);
Status memcpyAsync(void* dst, const void* src, std::size_t bytes, CopyKind kind, Stream stream);
Status getLastError();

// Launches: like the runtime's, they return nothing; a refused or failed launch
// shows in the next getLastError().
void launchEstimateMV16(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                        const qnr::MotionArgs& args);
void launchProcess(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                   const qnr::ProcessArgs& args);
// kProfileAuto writes each thread block's totals to its slot of
// args.blockSums and args.blockWeights (grid.x * grid.y doubles each, block
// by * grid.x + bx); the caller adds them in block order.
void launchProfileAuto(Dim3 grid, Dim3 block, std::size_t dynamicSharedBytes, Stream stream,
                       const qnr::ProfileArgs& args);

}  // namespace dev
