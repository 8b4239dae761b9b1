#pragma once

#include <atomic>
#include <csignal>

namespace tarn {

// Non-zero while the daemon runs; only the stop-signal handler stores 0. The collectors and the
// scrape server read it from other threads, so it is a lock-free atomic of the signal-safe type:
// as safe in a handler as a plain sig_atomic_t, and free of data races between threads.
using RunFlag = std::atomic<std::sig_atomic_t>;
static_assert(RunFlag::is_always_lock_free, "the run flag must be usable from a signal handler");

extern RunFlag g_run_flag;

inline bool running(const RunFlag& flag = g_run_flag) {
    return flag.load(std::memory_order_relaxed) != 0;
}

} // namespace tarn
