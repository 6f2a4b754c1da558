// The kernels the simulated driver can run: each one's single parameter (a
// struct, by value) with the size its documented layout gives, the thread
// block and shared memory it is written for, the checks a GPU would fail at
// run time (every pointer inside the launching context's memory, read at this
// driver's own offsets), and the run itself on the CPU executor.
#pragma once
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/launch_geometry.h"
#include "tests/simdriver/state.h"

namespace sim {

struct Launch {
    qnr::Dim3 grid;
    qnr::Dim3 block;
    std::size_t dynamicShared;
    const deviceimage::KernelLayout* layout;
    std::vector<unsigned char> params;  // packed at the layout's offsets

    // The field at `offset` of the one parameter, whose size was checked
    // against the kernel's when the function was found.
    template <typename T>
    T field(std::size_t offset) const {
        T value;
        std::memcpy(&value, params.data() + layout->params[0].offset + offset, sizeof value);
        return value;
    }
};

struct KernelSignature {
    const char* name;
    std::vector<std::size_t> paramSizes;  // the documented layout's, in order
    qnr::KernelShape shape;
    // Checks the arguments and queues the run on s. An argument a GPU would
    // fault on is a violation and makes the stream fail when it runs.
    void (*queue)(Driver& d, const char* entry, Context* c, Stream* s, Launch launch);
};

// What a GPU does with a kernel that reads outside its memory: the stream fails.
void queueFault(Stream* s);

// Why a launch that a GPU would run is not what the kernel is written for.
std::string misfitReason(const KernelSignature& kernel, const Launch& launch);

// The kernel of that name, or null when the executor has none.
const KernelSignature* FindKernel(std::string_view name, int* index);
const KernelSignature& KernelAt(int index);

}  // namespace sim
