#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace ovaline::fs {

// Caps on what one filesystem may hold; the root counts as one inode.
struct Limits {
    static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t max_bytes = kUnlimited;
    std::uint64_t max_inodes = kUnlimited;
};

// What one filesystem holds: the bytes of all file contents and the inodes, root included.
struct Usage {
    std::uint64_t bytes = 0;
    std::uint64_t inodes = 0;
};

// The running totals of a filesystem against its limits. A change is reserved before it
// is made and released when it is undone, so a limit is never passed, not even briefly
// by concurrent writers. Without a limit a reservation is one relaxed addition.
class SpaceAccount {
  public:
    explicit SpaceAccount(Limits limits) : limits_(limits) {}

    bool reserve_bytes(std::uint64_t count) { return reserve(bytes_, count, limits_.max_bytes); }
    void release_bytes(std::uint64_t count) { bytes_.fetch_sub(count, std::memory_order_relaxed); }
    bool reserve_inodes(std::uint64_t count) { return reserve(inodes_, count, limits_.max_inodes); }
    void release_inodes(std::uint64_t count) {
        inodes_.fetch_sub(count, std::memory_order_relaxed);
    }
    // For contents going from `from` to `to` bytes: reserves the growth or releases the
    // shrinkage; false, with nothing reserved, when the growth would pass the limit.
    bool resize(std::uint64_t from, std::uint64_t to) {
        if (to > from) {
            return reserve_bytes(to - from);
        }
        release_bytes(from - to);
        return true;
    }
    // Both or neither.
    bool reserve(std::uint64_t bytes, std::uint64_t inodes) {
        if (!reserve_bytes(bytes)) {
            return false;
        }
        if (!reserve_inodes(inodes)) {
            release_bytes(bytes);
            return false;
        }
        return true;
    }
    void release(std::uint64_t bytes, std::uint64_t inodes) {
        release_bytes(bytes);
        release_inodes(inodes);
    }

    Limits limits() const { return limits_; }
    Usage usage() const {
        return {bytes_.load(std::memory_order_relaxed), inodes_.load(std::memory_order_relaxed)};
    }

  private:
    static bool reserve(std::atomic<std::uint64_t>& total, std::uint64_t count,
                        std::uint64_t limit) {
        if (limit == Limits::kUnlimited) {
            total.fetch_add(count, std::memory_order_relaxed);
            return true;
        }
        std::uint64_t current = total.load(std::memory_order_relaxed);
        do {
            if (count > limit || current > limit - count) {
                return false;
            }
        } while (!total.compare_exchange_weak(current, current + count, std::memory_order_relaxed));
        return true;
    }

    const Limits limits_;
    std::atomic<std::uint64_t> bytes_{0};
    // The root, which is always there whatever the limit.
    std::atomic<std::uint64_t> inodes_{1};
};

} // namespace ovaline::fs
