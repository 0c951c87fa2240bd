#pragma once

#include <atomic>
#include <cstdint>

namespace ovaline::fs {

// A four-byte reader/writer lock: there is one per inode, so its size matters more
// than fairness. The low bits count readers; the top bit marks a writer.
class RwLock {
  public:
    void lock_shared() {
        std::uint32_t s = state_.load(std::memory_order_relaxed);
        for (;;) {
            if (s & kWriter) {
                state_.wait(s, std::memory_order_relaxed);
                s = state_.load(std::memory_order_relaxed);
            } else if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                return;
            }
        }
    }
    bool try_lock_shared() {
        std::uint32_t s = state_.load(std::memory_order_relaxed);
        while (!(s & kWriter)) {
            if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    void unlock_shared() {
        if (state_.fetch_sub(1, std::memory_order_release) == 1) {
            state_.notify_all();
        }
    }
    void lock() {
        std::uint32_t s = 0;
        while (!state_.compare_exchange_weak(s, kWriter, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
            if (s != 0) {
                state_.wait(s, std::memory_order_relaxed);
            }
            s = 0;
        }
    }
    void unlock() {
        state_.store(0, std::memory_order_release);
        state_.notify_all();
    }

  private:
    static constexpr std::uint32_t kWriter = 0x8000'0000u;
    std::atomic<std::uint32_t> state_{0};
};

} // namespace ovaline::fs
