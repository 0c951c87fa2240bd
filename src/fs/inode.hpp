#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

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

struct Directory {
    // Entry ids in creation order.
    std::vector<InodeId> children;
    // Name to entry, beside the ordered list, so lookups cost the same in any size.
    NameIndex index;
};

struct Symlink {
    InodeId target;
};

using INodeKind = std::variant<File, Directory, Symlink>;

// Laid out tightly: a million inodes should stay well below 200 MB.
struct INode {
    INode(InodeId id, InodeId parent, std::uint16_t depth, std::string name, INodeKind kind)
        : id(id), parent(parent), depth(depth), name(std::move(name)), data(std::move(kind)) {}

    const InodeId id;
    const InodeId parent;
    // Guards `data` and `removed`.
    mutable RwLock lock;
    // At most 64, so two bytes hold it.
    const std::uint16_t depth;
    // Set under the write lock when the inode is unlinked, so that a creation racing
    // with the removal of its directory cannot leave an entry nobody lists.
    bool removed = false;
    const std::string name;
    // Which kind the inode is never changes after creation, and neither does a link's
    // target, so both are read without the lock; the contents of a file or directory
    // are read and changed only under it.
    INodeKind data;
};

// A lookup guard: keeps the inode alive and readable after the table's lock is gone.
using INodeGuard = std::shared_ptr<INode>;

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
