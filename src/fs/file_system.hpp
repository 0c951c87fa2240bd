#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error/io_error.hpp"
#include "fs/detached_tree.hpp"
#include "fs/inode.hpp"
#include "fs/inode_table.hpp"
#include "fs/namespace_gate.hpp"

namespace ovaline::fs {

using error::IoError;
using error::IoErrorKind;

template <class T> using IoResult = std::expected<T, IoError>;

// What ls_raw finds in a directory, each list in creation order.
struct Listing {
    std::vector<std::string> files;
    std::vector<std::string> directories;
};

class FileHandle;
class FileHandleType;

// One in-memory filesystem: a tree of inodes in one table, shared by reference count
// between its Python object, terminals and open file handles. Every operation may be
// called from any thread.
class FileSystem {
  public:
    static constexpr std::uint64_t kMaxDepth = 64;
    static constexpr InodeId kRoot = 0;

    // A filesystem holding only the root directory.
    static std::shared_ptr<FileSystem> create();
    FileSystem();
    // With room in the inode table for about `expected_inodes` entries.
    explicit FileSystem(std::size_t expected_inodes);

    // Primitives of the inode table.
    IoResult<InodeId> create_inode(InodeId parent, std::string name, INodeKind kind);
    void release_inode_id(InodeId id);
    IoResult<InodeId> get_inode_raw(InodeId id) const;
    // get_inode_raw followed by the table lookup of its answer.
    IoResult<INodeGuard> resolve(InodeId id) const;
    INodeGuard lookup(InodeId id) const { return inodes_.get(id); }

    // Lookup by name and path.
    IoResult<InodeId> find_inode_by_name_with_handle(const INode& dir, std::string_view name) const;
    IoResult<InodeId> find_inode_by_name(InodeId dir, std::string_view name) const;
    IoResult<bool> is_file_raw(InodeId id) const;
    IoResult<bool> is_directory_raw(InodeId id) const;
    IoResult<InodeId> get_inode_by_path_raw(std::string_view path) const;
    IoResult<std::string> get_path_by_inode(InodeId id) const;

    // Namespace operations.
    IoResult<void> mkdir(std::string_view path);
    IoResult<void> touch(std::string_view path);
    IoResult<void> rm(std::string_view path, bool recursive);
    IoResult<void> rm_raw(InodeId id, bool recursive);
    IoResult<Listing> ls_raw(InodeId id) const;

    // Opening files; the handle keeps `fs` alive.
    static IoResult<FileHandle> open_raw(std::shared_ptr<FileSystem> fs, InodeId id,
                                         FileHandleType type);
    static IoResult<FileHandle> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                     FileHandleType type, bool create);

    // Whole trees in and out. Each sees the tree as it stood at one moment, however
    // many threads change it meanwhile, and each file as one write left it.
    // An independent filesystem holding the same tree; every entry keeps its id.
    std::shared_ptr<FileSystem> clone() const;
    // A copy of the directory's entries.
    IoResult<std::vector<DetachedNode>> copy_out(InodeId dir) const;
    // Adds the entries to the directory all at once, with new ids, or changes nothing.
    IoResult<void> attach(InodeId dir, std::vector<DetachedNode> entries);

    // The diagnostic text of the whole filesystem.
    std::string debug_string() const;

    std::uint64_t next_inode_id() const { return next_inode_id_.load(std::memory_order_relaxed); }
    std::size_t inode_count() const { return inodes_.size(); }

  private:
    IoResult<void> create_at_path(std::string_view path, INodeKind kind);
    // Removal of a looked-up inode; `parent` is its directory's guard when the caller
    // already holds it.
    IoResult<void> remove_node(InodeId id, const INodeGuard& node, bool recursive,
                               const INodeGuard* parent);
    IoResult<void> unlink(InodeId id, const INodeGuard& node, const INodeGuard* parent);

    // Fills the unpublished directory `to` of this filesystem with a copy of `from`'s
    // entries, which keep their ids.
    void copy_children(const INode& from, INode& to);

    InodeTable inodes_;
    std::atomic<std::uint64_t> next_inode_id_{1};
    // Every change to the namespace passes it, so a snapshot can stop them all.
    mutable NamespaceGate gate_;
};

// Splits a path at its last separator ("/" or "\\"): the parent path and the name.
std::pair<std::string_view, std::string_view> split_last_separator(std::string_view path);

} // namespace ovaline::fs
