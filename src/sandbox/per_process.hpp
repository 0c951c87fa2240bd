#pragma once

#include <atomic>
#include <pthread.h>

namespace ovaline::sandbox {

// The one T of this process, made on first use and never destroyed, since exit handlers
// and detached threads may still use it late. A process forked from this one has none
// of the threads that T may serve or whose locks it may hold, so it gets a fresh T and
// leaves the copy untouched.
template <class T> T& per_process() {
    static std::atomic<T*> current{nullptr};
    static const bool ready = [] {
        current.store(new T(), std::memory_order_release);
        ::pthread_atfork(nullptr, nullptr,
                         [] { current.store(new T(), std::memory_order_release); });
        return true;
    }();
    (void)ready;
    return *current.load(std::memory_order_acquire);
}

} // namespace ovaline::sandbox
