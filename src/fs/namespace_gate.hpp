#pragma once

#include <atomic>
#include <cstdint>

namespace ovaline::fs {

// Lets any number of namespace changes (creating, unlinking, moving entries) run at
// once, or one snapshot see the whole tree standing still. A snapshot that asks waits
// for the changes under way to finish and keeps new ones out until it is done, so
// changes that never stop cannot starve it. Four bytes: the low bits count the changes
// under way, the top bit marks a snapshot holding or waiting for the gate.
class NamespaceGate {
  public:
    void enter() {
        std::uint32_t s = state_.load(std::memory_order_relaxed);
        for (;;) {
            if (s & kFrozen) {
                state_.wait(s, std::memory_order_relaxed);
                s = state_.load(std::memory_order_relaxed);
            } else if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                return;
            }
        }
    }
    void leave() {
        // The last change out wakes the snapshot that waits for it.
        if (state_.fetch_sub(1, std::memory_order_release) == (kFrozen | 1u)) {
            state_.notify_all();
        }
    }
    void freeze() {
        std::uint32_t s = state_.load(std::memory_order_relaxed);
        for (;;) {
            if (s & kFrozen) {
                state_.wait(s, std::memory_order_relaxed);
                s = state_.load(std::memory_order_relaxed);
            } else if (state_.compare_exchange_weak(s, s | kFrozen, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
                break;
            }
        }
        s = state_.load(std::memory_order_acquire);
        while (s != kFrozen) {
            state_.wait(s, std::memory_order_acquire);
            s = state_.load(std::memory_order_acquire);
        }
    }
    void thaw() {
        state_.store(0, std::memory_order_release);
        state_.notify_all();
    }

    // Scoped holders: one change under way, or the tree standing still.
    class Change {
      public:
        explicit Change(NamespaceGate& gate) : gate_(gate) { gate_.enter(); }
        ~Change() { gate_.leave(); }
        Change(const Change&) = delete;
        Change& operator=(const Change&) = delete;

      private:
        NamespaceGate& gate_;
    };
    class Frozen {
      public:
        explicit Frozen(NamespaceGate& gate) : gate_(gate) { gate_.freeze(); }
        ~Frozen() { gate_.thaw(); }
        Frozen(const Frozen&) = delete;
        Frozen& operator=(const Frozen&) = delete;

      private:
        NamespaceGate& gate_;
    };

  private:
    static constexpr std::uint32_t kFrozen = 0x8000'0000u;
    std::atomic<std::uint32_t> state_{0};
};

} // namespace ovaline::fs
