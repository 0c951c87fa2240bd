#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fs/name.hpp"
#include "fs/name_index.hpp"
#include "fs/rw_lock.hpp"

namespace ovaline::fs {

using InodeId = std::uint64_t;

// The contents of a file.
struct FileData {
    std::vector<std::uint8_t> data;
};

// The open-handle state of one file: 0 free, n > 0 readers, WRITE_EXCLUSIVE for one
// writer, REMOVED once the file has left the namespace. Changed only by atomic
// operations while the inode's lock is held for reading.
struct FileLock {
    static constexpr std::int64_t WRITE_EXCLUSIVE = -1;
    static constexpr std::int64_t REMOVED = -2;

    FileLock() = default;
    // Only an unpublished inode is ever moved, so no other thread sees the flag yet.
    FileLock(FileLock&& other) noexcept : flag(other.flag.load(std::memory_order_relaxed)) {}

    std::atomic<std::int64_t> flag{0};
};

struct File {
    FileData data;
    FileLock lock;
};

// A directory's entries, in creation order, and an index of them by name, so finding
// or adding an entry costs the same in a directory of any size. It lists the entries
// themselves, not only their ids: an entry leaves the list under the directory's write
// lock before its table entry can go, so whoever holds the directory's lock may read an
// entry's id, name and kind without a table lookup. Guarded by the directory's lock.
class Directory {
  public:
    INode* find(std::string_view name) const { return index_.find(name); }
    bool empty() const { return index_.size() == 0; }
    std::size_t size() const { return index_.size(); }
    // See NameIndex::stamp: renaming an entry takes it out and adds it again.
    std::uint64_t stamp() const { return index_.stamp(); }
    // The entry's name must not be listed yet.
    void add(INode* entry);
    // Takes the entry out, if it is listed here.
    void remove(INode* entry);
    // Takes out `taken`, distinct entries all listed here, at once when they are every
    // entry.
    void remove_all(std::span<INode* const> taken);
    template <class Visit> void for_each(Visit&& visit) const {
        for_each_while([&](INode& entry) {
            visit(entry);
            return true;
        });
    }
    // Visits entries until `visit` returns false.
    template <class Visit> void for_each_while(Visit&& visit) const {
        const std::size_t count = entries_.size();
        for (std::size_t i = 0; i < count; ++i) {
            // Entries lie all over the heap; fetching a few ahead overlaps their misses.
            if (i + kAhead < count) {
                __builtin_prefetch(entries_[i + kAhead]);
            }
            if (INode* entry = entries_[i]; entry != nullptr && !visit(*entry)) {
                return;
            }
        }
    }

  private:
    static constexpr std::size_t kAhead = 8;
    // A removal leaves a hole, so removing entries in creation order does not move the
    // rest each time; the holes go once they outnumber the entries.
    std::vector<INode*> entries_;
    NameIndex index_;
};

struct Symlink {
    InodeId target;
};

using INodeKind = std::variant<File, Directory, Symlink>;

// The wall-clock time in nanoseconds since the epoch, as entries record changes.
inline std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Laid out tightly: a million inodes should stay well below 200 MB. The members are
// ordered so that those after `data` fill the variant's tail padding, which
// [[no_unique_address]] lets them use: 88 bytes in all.
struct INode {
    INode(InodeId id, InodeId parent, std::uint16_t depth, std::string_view name, INodeKind kind)
        : data(std::move(kind)), name(name), depth(depth), id(id), parent(parent) {}

    // Which kind the inode is never changes after creation, and neither does a link's
    // target, so both are read without the lock; the contents of a file or directory
    // are read and changed only under it.
    [[no_unique_address]] INodeKind data;
    // Read under the lock of the directory listing the inode, or under the inode's own.
    Name name;
    // Set under the write lock when the inode is unlinked, so that a creation racing
    // with the removal of its directory cannot leave an entry nobody lists.
    bool removed = false;
    // At most 64, so two bytes hold it. A rename updates it for the moved subtree.
    std::atomic<std::uint16_t> depth;
    // Guards `data` and `removed`.
    mutable RwLock lock;
    // When the contents last changed: a file's bytes, a directory's entries, or the
    // entry's own place. Atomic, so a stat reads it without the lock.
    std::atomic<std::int64_t> mtime_ns{now_ns()};
    // The guards held on the inode, the inode table's own included; see INodeGuard.
    mutable std::atomic<std::uint32_t> refs{0};
    // Where its directory lists it; guarded by the directory's lock.
    std::uint32_t slot = 0;
    const InodeId id;
    // Where the inode sits changes only by a rename, which holds the inode's write lock
    // and those of both directories while it changes `parent` and `name`.
    std::atomic<InodeId> parent;

    void touch(std::int64_t when = now_ns()) { mtime_ns.store(when, std::memory_order_relaxed); }
    std::int64_t mtime() const { return mtime_ns.load(std::memory_order_relaxed); }
};

static_assert(sizeof(INode) <= 88, "an inode grew: every empty file pays for it");

// A lookup guard: keeps the inode alive and readable after the table's lock is gone.
// The count lives in the inode itself, so an inode is one allocation, and a guard can
// be taken from any inode reachable under a lock (a directory's entry, say) without
// going through the table.
class INodeGuard {
  public:
    INodeGuard() noexcept = default;
    INodeGuard(std::nullptr_t) noexcept {}
    // A new guard on a live inode.
    explicit INodeGuard(INode* node) noexcept : node_(node) {
        if (node_ != nullptr) {
            node_->refs.fetch_add(1, std::memory_order_relaxed);
        }
    }
    INodeGuard(const INodeGuard& other) noexcept : INodeGuard(other.node_) {}
    INodeGuard(INodeGuard&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    INodeGuard& operator=(INodeGuard other) noexcept {
        std::swap(node_, other.node_);
        return *this;
    }
    ~INodeGuard() { reset(); }

    // Takes over a count already held, as the table's own is when the entry leaves it.
    static INodeGuard adopt(INode* node) noexcept {
        INodeGuard guard;
        guard.node_ = node;
        return guard;
    }
    // Gives up the count without dropping it.
    INode* release() noexcept { return std::exchange(node_, nullptr); }
    void reset() noexcept {
        if (INode* node = std::exchange(node_, nullptr);
            node != nullptr && node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete node;
        }
    }

    INode* get() const noexcept { return node_; }
    INode& operator*() const noexcept { return *node_; }
    INode* operator->() const noexcept { return node_; }
    explicit operator bool() const noexcept { return node_ != nullptr; }
    friend bool operator==(const INodeGuard& a, std::nullptr_t) noexcept {
        return a.node_ == nullptr;
    }

  private:
    INode* node_ = nullptr;
};

// A new inode, held by the guard returned.
template <class... Args> INodeGuard make_inode(Args&&... args) {
    return INodeGuard(new INode(std::forward<Args>(args)...));
}

// Scoped holders of an inode's lock, shared or exclusive.
template <void (RwLock::*Lock)(), void (RwLock::*Unlock)()> class ScopedLock {
  public:
    explicit ScopedLock(const INode& node) : lock_(node.lock) { (lock_.*Lock)(); }
    ~ScopedLock() { (lock_.*Unlock)(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    RwLock& lock_;
};

using ReadLocked = ScopedLock<&RwLock::lock_shared, &RwLock::unlock_shared>;
using WriteLocked = ScopedLock<&RwLock::lock, &RwLock::unlock>;

} // namespace ovaline::fs
