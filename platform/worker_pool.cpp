#include "platform/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#include <exception>
#include <vector>
#endif

namespace platform {
namespace {

// One loop: its indices, taken by whichever threads work on it.
struct Loop {
    LoopBody body;
    void* context;
    unsigned count;
    std::atomic<unsigned> next{0};

    void Run() {
        for (unsigned i = next.fetch_add(1, std::memory_order_relaxed); i < count;
             i = next.fetch_add(1, std::memory_order_relaxed))
            body(context, i);
    }
};

// Set while a thread runs loop bodies: a loop started there runs inline.
thread_local bool t_inLoop = false;

void RunMarked(Loop& loop) {
    t_inLoop = true;
    loop.Run();
    t_inLoop = false;
}

#if defined(_WIN32)

VOID CALLBACK RunLoopCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
    RunMarked(*static_cast<Loop*>(context));
}

// The helpers are callbacks of the process thread pool; waiting for the
// callbacks before returning keeps the loop record alive while they use it.
// Once the caller's own run is over no index is left, so callbacks that have
// not started yet are cancelled rather than waited for.
void RunWithHelpers(Loop& loop, unsigned helpers) {
    PTP_WORK work = CreateThreadpoolWork(RunLoopCallback, &loop, nullptr);
    if (work == nullptr) {
        RunMarked(loop);
        return;
    }
    for (unsigned i = 0; i < helpers; ++i) SubmitThreadpoolWork(work);
    RunMarked(loop);
    WaitForThreadpoolWorkCallbacks(work, TRUE);
    CloseThreadpoolWork(work);
}

#else

// Worker threads started on first use and joined when the module goes away.
// One loop at a time: each worker joins it at most once, and the caller waits
// until every worker that joined has left it.
class Pool {
public:
    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    // False when another caller's loop is running.
    bool Run(Loop& loop, unsigned helpers) {
        std::unique_lock busy(busy_, std::try_to_lock);
        if (!busy.owns_lock()) return false;
        {
            std::lock_guard lock(mutex_);
            StartThreads(helpers);
            loop_ = &loop;
            seats_ = std::min<std::size_t>(helpers, threads_.size());
            ++generation_;
        }
        wake_.notify_all();
        RunMarked(loop);
        std::unique_lock lock(mutex_);
        seats_ = 0;
        left_.wait(lock, [this] { return working_ == 0; });
        loop_ = nullptr;
        return true;
    }

private:
    // Lock held. A thread that cannot be started, or kept, leaves the pool smaller.
    void StartThreads(unsigned wanted) {
        while (threads_.size() < wanted) {
            try {
                threads_.emplace_back([this] { Work(); });
            } catch (const std::exception&) {  // no thread, or no room to keep one
                return;
            }
        }
    }

    void Work() {
        unsigned long long joined = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || (seats_ > 0 && generation_ != joined); });
            if (stopping_) return;
            joined = generation_;
            --seats_;
            ++working_;
            Loop* loop = loop_;
            lock.unlock();
            RunMarked(*loop);
            lock.lock();
            if (--working_ == 0) left_.notify_all();
        }
    }

    std::mutex busy_;  // held by the caller whose loop runs
    std::mutex mutex_;
    std::condition_variable wake_, left_;
    std::vector<std::thread> threads_;
    Loop* loop_ = nullptr;
    std::size_t seats_ = 0;   // workers that may still join the loop
    unsigned working_ = 0;    // workers inside the loop
    unsigned long long generation_ = 0;
    bool stopping_ = false;
};

void RunWithHelpers(Loop& loop, unsigned helpers) {
    static Pool pool;
    if (!pool.Run(loop, helpers)) RunMarked(loop);
}

#endif

}  // namespace

unsigned HardwareThreads() {
    static const unsigned threads = std::max(1u, std::thread::hardware_concurrency());  // asked once
    return threads;
}

void ParallelFor(unsigned count, unsigned threads, LoopBody body, void* context) {
    Loop loop{body, context, count};
    const unsigned use = std::min(threads == 0 ? HardwareThreads() : threads, count);
    if (use <= 1 || t_inLoop) {
        loop.Run();
        return;
    }
    RunWithHelpers(loop, use - 1);
}

}  // namespace platform
