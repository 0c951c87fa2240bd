#pragma once

#include <atomic>
#include <exception>
#include <mutex>

#include "error/internal_error.hpp"

namespace ovaline {

// A mutex that stays unusable once an InternalError has left a scope holding it:
// the state it guards may be half-changed, so every later lock attempt throws.
class PoisonableMutex {
  public:
    class Guard {
      public:
        explicit Guard(PoisonableMutex& m)
            : mutex_(m), lock_(m.mutex_), exceptions_(std::uncaught_exceptions()) {
            if (mutex_.poisoned_.load(std::memory_order_acquire)) {
                lock_.unlock();
                throw InternalError("PoisonError: the mutex was poisoned by an earlier failure");
            }
        }
        ~Guard() {
            if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_) {
                mutex_.poisoned_.store(true, std::memory_order_release);
            }
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

      private:
        PoisonableMutex& mutex_;
        std::unique_lock<std::mutex> lock_;
        int exceptions_;
    };

    Guard lock() { return Guard(*this); }
    bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

  private:
    std::mutex mutex_;
    std::atomic<bool> poisoned_{false};
};

} // namespace ovaline
