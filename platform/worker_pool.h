// Parallel loops over independent iterations, on worker threads that live as
// long as the module (POSIX: the module's own threads, one per hardware thread
// beside the caller's; Windows: the process thread pool, which the system owns,
// so unloading the DLL never waits on or strands a thread of ours). The calling
// thread always works along.
#pragma once

namespace platform {

// Hardware threads of the machine, at least 1: the most threads a loop uses.
unsigned HardwareThreads();

using LoopBody = void (*)(void* context, unsigned index);

// Calls body(context, i) once for every i in [0, count), on up to `threads`
// threads at a time (0: HardwareThreads()), the calling thread among them, and
// returns when every call has returned. Indices are handed out one at a time
// in increasing order. A loop started from inside a loop body, one started
// while the POSIX pool serves another caller, and every loop when no worker
// thread can be had, runs on the calling thread alone. Bodies must not throw.
void ParallelFor(unsigned count, unsigned threads, LoopBody body, void* context);

template <class Body>
void ParallelFor(unsigned count, unsigned threads, const Body& body) {
    ParallelFor(
        count, threads, [](void* context, unsigned i) { (*static_cast<const Body*>(context))(i); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

}  // namespace platform
