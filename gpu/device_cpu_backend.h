// Inside the CPU backend: what it holds (allocations, streams and their queued
// work, events), for its operations and for the tests' view of it.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "gpu/device.h"

namespace dev {

struct Work {
    std::function<Status()> run;
    bool writesHost = false;  // a copy into host memory
};

struct StreamImpl {
    std::deque<Work> queue;
    Status pendingError = kSuccess;
};

struct EventImpl {
    StreamImpl* stream = nullptr;
    bool done = false;
    std::chrono::steady_clock::time_point when{};
};

namespace cpu {

struct Backend {
    std::mutex mutex;
    std::map<std::uintptr_t, std::size_t> allocations;  // start -> bytes
    std::set<StreamImpl*> streams;
    std::set<EventImpl*> events;
    int current = 0;
    Status lastError = kSuccess;
};

Backend& backend();

}  // namespace cpu
}  // namespace dev
