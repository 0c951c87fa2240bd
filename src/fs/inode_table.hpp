#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>

#include "fs/inode.hpp"

namespace ovaline::fs {

// The concurrent map from inode id to inode: a fixed number of shards, each a
// reader/writer lock over an open-addressing table. A lookup hands out a guard (a
// shared_ptr copy) taken under the shard's lock and usable after it is released, so a
// thread holding guards may insert, remove and grow freely.
class InodeTable {
  public:
    explicit InodeTable(std::size_t initial_buckets);
    ~InodeTable();
    InodeTable(const InodeTable&) = delete;
    InodeTable& operator=(const InodeTable&) = delete;

    INodeGuard get(InodeId id) const;
    // Returns the inode the id held before, if any.
    INodeGuard insert(INodeGuard node);
    // Returns the inode taken out, if any.
    INodeGuard remove(InodeId id);
    // Takes out every inode of `nodes` still in the table and drops the table's hold on
    // it, in the order given. A large batch keeps all shards locked meanwhile. No inode
    // of `nodes` may be in use by the caller afterwards.
    void remove_all(std::span<INode* const> nodes);
    // Visits every entry in the table's own order, one shard locked at a time.
    void for_each(const std::function<void(const INodeGuard&)>& visit) const;
    std::size_t size() const;

  private:
    static constexpr std::size_t kShards = 16;
    // Batches smaller than this lock one shard at a time rather than all at once.
    static constexpr std::size_t kFew = 4 * kShards;
    struct Shard;
    Shard& shard_of(InodeId id) const;

    std::unique_ptr<Shard[]> shards_;
};

} // namespace ovaline::fs
