#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/io_error.hpp"
#include "fs/change_feed.hpp"
#include "fs/detached_tree.hpp"
#include "fs/inode.hpp"
#include "fs/inode_table.hpp"
#include "fs/namespace_gate.hpp"
#include "fs/space_account.hpp"

namespace ovaline::fs {

using error::IoError;
using error::IoErrorKind;

template <class T> using IoResult = std::expected<T, IoError>;

// What ls_raw finds in a directory, each list in creation order.
// `stamp` is nonzero when the same stamp always means the same listing: no links (whose
// kind follows their targets) and some entries. Asked with that stamp, ls_raw leaves
// both lists empty and sets `unchanged` while the directory stays as it was.
struct Listing {
    std::vector<std::string> files;
    std::vector<std::string> directories;
    std::uint64_t stamp = 0;
    bool unchanged = false;
};

// Which directory list_with visited, and its stamp (see Listing).
struct ListedDirectory {
    InodeId id;
    std::uint64_t stamp = 0;
    bool unchanged = false;
};

// The kind of what a path leads to, links followed.
enum class NodeKind : std::uint8_t { File, Directory };

// A snapshot of one inode: `size` counts a file's bytes and `entries` a directory's
// entries; the other is zero.
struct Stat {
    InodeId id;
    NodeKind kind;
    std::uint64_t size;
    std::uint64_t entries;
    // Nanoseconds since the epoch.
    std::int64_t mtime_ns;
};

class FileHandle;
class FileHandleType;

// How an open treats a missing or existing file.
struct OpenOptions {
    // A missing file in an existing directory is made.
    bool create = false;
    // With `create`: an existing file is refused.
    bool exclusive = false;
    // An existing file is emptied once the handle holds its lock (needs the write mode).
    bool truncate = false;
};

struct OpenedFile;

// One in-memory filesystem: a tree of inodes in one table, shared by reference count
// between its Python object, terminals and open file handles. Every operation may be
// called from any thread.
class FileSystem {
  public:
    static constexpr std::uint64_t kMaxDepth = 64;
    static constexpr InodeId kRoot = 0;

    // A filesystem holding only the root directory.
    static std::shared_ptr<FileSystem> create(Limits limits = {});
    // `expected_inodes` sizes the inode table up front.
    explicit FileSystem(Limits limits = {}, std::size_t expected_inodes = 0);

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
    // The inode a path leads to, held by its guard.
    IoResult<INodeGuard> resolve_path(std::string_view path) const;
    // The same from the directory `dir`; a path starting with a separator starts from
    // the root instead, and then `dir` is not looked up.
    IoResult<INodeGuard> resolve_at(InodeId dir, std::string_view path) const;
    // The entry `name` of `dir`, links followed; "", "." and ".." as in a path.
    IoResult<INodeGuard> find_child(const INode& dir, std::string_view name) const;
    IoResult<std::string> get_path_by_inode(InodeId id) const;

    // Namespace operations.
    IoResult<void> mkdir(std::string_view path);
    IoResult<void> touch(std::string_view path);
    IoResult<void> rm(std::string_view path, bool recursive);
    IoResult<void> rm_raw(InodeId id, bool recursive);
    IoResult<Listing> ls_raw(InodeId id, std::uint64_t known_stamp = 0) const;
    // Calls `visit(name, is_directory)` for each entry of the directory at `path`, in
    // creation order, under the directory's read lock: `visit` must not call back into
    // the filesystem. When `known_stamp(id)` gives the stamp the directory still has, it
    // visits nothing.
    template <class KnownStamp, class Visit>
    IoResult<ListedDirectory> list_path(std::string_view path, KnownStamp&& known_stamp,
                                        Visit&& visit) const {
        auto node = resolve_path(path);
        if (!node) {
            return std::unexpected(node.error());
        }
        return list_with(**node, known_stamp((*node)->id), visit);
    }
    // Creates every missing directory of the path; an existing directory at its end is an
    // error unless `exist_ok`. The missing directories appear all at once or not at all.
    IoResult<void> makedirs(std::string_view path, bool exist_ok);
    // Moves a file or directory in one step, keeping its id and open handles. `replace`
    // lets it take the place of a file or an empty directory of its own kind. Relative
    // paths start from `dir`, as resolve_at takes them.
    IoResult<void> rename(std::string_view src, std::string_view dst, bool replace,
                          InodeId dir = kRoot);
    // The same for the entry `src_name` of one directory, given by id, moving to the
    // name `dst_name` in another.
    IoResult<void> rename_at(InodeId src_dir, std::string_view src_name, InodeId dst_dir,
                             std::string_view dst_name, bool replace);
    // Copies a file, or with `recursive` a directory tree, under new ids; the copy appears
    // all at once. Each file is copied as one consistent state. Relative paths start from
    // `dir`.
    IoResult<void> copy(std::string_view src, std::string_view dst, bool recursive,
                        InodeId dir = kRoot);

    // Queries.
    IoResult<NodeKind> kind(std::string_view path) const;
    IoResult<Stat> stat(std::string_view path) const;

    // Whole files, read by path or by id. Each respects the file's open-handle lock:
    // reading fails while a writer holds the file, writing while anyone does.
    IoResult<std::vector<std::uint8_t>> read_file(std::string_view path) const;
    IoResult<std::vector<std::uint8_t>> read_file_raw(InodeId id) const;
    // Creates the file or replaces its contents.
    IoResult<void> write_file(std::string_view path, std::span<const std::uint8_t> bytes);

    // Opening files; the handle keeps `fs` alive.
    static IoResult<FileHandle> open_raw(std::shared_ptr<FileSystem> fs, InodeId id,
                                         FileHandleType type);
    static IoResult<FileHandle> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                     FileHandleType type, bool create);
    // The same with every option, saying whether the file was made by this open.
    static IoResult<OpenedFile> open_with(std::shared_ptr<FileSystem> fs, std::string_view path,
                                          FileHandleType type, OpenOptions options);
    // The same for the entry `name` of the directory `dir`.
    static IoResult<OpenedFile> open_in(std::shared_ptr<FileSystem> fs, InodeId dir,
                                        std::string_view name, FileHandleType type,
                                        OpenOptions options);

    // Whole trees in and out. Each sees the tree as it stood at one moment, however
    // many threads change it meanwhile, and each file as one write left it.
    // An independent filesystem holding the same tree; every entry keeps its id.
    std::shared_ptr<FileSystem> clone() const;
    // A copy of the directory's entries.
    IoResult<std::vector<DetachedNode>> copy_out(InodeId dir) const;
    // Adds the entries to the directory all at once, with new ids, or changes nothing.
    IoResult<void> attach_detached(InodeId dir, std::vector<DetachedNode> entries);

    // The diagnostic text of the whole filesystem.
    std::string debug_string() const;

    std::uint64_t next_inode_id() const { return next_inode_id_.load(std::memory_order_relaxed); }
    std::size_t inode_count() const { return inodes_.size(); }
    Usage usage() const { return space_.usage(); }
    Limits limits() const { return space_.limits(); }
    // Every change of a file's size goes through here, under the file's write lock.
    SpaceAccount& space() { return space_; }

    // Observers hear of every change once it is complete (see ChangeObserver).
    void add_observer(ChangeObserver* observer);
    // Returns once nothing is being told to the observer any more.
    void remove_observer(ChangeObserver* observer);
    // Notes a change for the observers, within a ChangeBatch.
    void note_changed(InodeId id) {
        if (observed_.load(std::memory_order_relaxed) && ChangeBatch::depth_ > 0) {
            ChangeBatch::pending_.push_back({id, {}, this});
        }
    }
    void note_gone(InodeId dir, std::string_view name) {
        if (observed_.load(std::memory_order_relaxed) && ChangeBatch::depth_ > 0) {
            ChangeBatch::pending_.push_back({dir, std::string(name), this});
        }
    }

  private:
    template <class Visit>
    IoResult<ListedDirectory> list_with(const INode& dir, std::uint64_t known_stamp,
                                        Visit& visit) const {
        ReadLocked locked(dir);
        const auto* entries = std::get_if<Directory>(&dir.data);
        if (entries == nullptr) {
            return std::unexpected(IoErrorKind::NotADirectory);
        }
        ListedDirectory listed{dir.id, entries->stamp()};
        if (listed.stamp != 0 && listed.stamp == known_stamp) {
            listed.unchanged = true;
            return listed;
        }
        entries->for_each([&](const INode& child) {
            // A link is listed under its own name as the kind of what it stands for, and
            // makes the listing's stamp say nothing.
            bool directory = std::holds_alternative<Directory>(child.data);
            if (std::holds_alternative<Symlink>(child.data)) {
                listed.stamp = 0;
                auto target = resolve(child.id);
                if (!target) {
                    return;
                }
                directory = std::holds_alternative<Directory>((*target)->data);
            }
            visit(child.name.view(), directory);
        });
        return listed;
    }

    IoResult<void> create_at_path(std::string_view path, INodeKind kind);
    // Lists a new inode with the spent `id` in `dir`, reserving its space.
    IoResult<INodeGuard> link_new(const INodeGuard& dir, InodeId id, std::string name,
                                  INodeKind kind);
    struct FoundFile {
        INodeGuard node;
        bool created;
    };
    // What exists at `path`, or with `create` a new file holding `contents`.
    IoResult<FoundFile> find_or_create_file(std::string_view path, bool create,
                                            std::span<const std::uint8_t> contents);
    IoResult<FoundFile> find_or_create_in(const INodeGuard& parent, std::string_view name,
                                          bool create, std::span<const std::uint8_t> contents);
    // Claims the lock of what open_with or open_in found, as the options say.
    static IoResult<OpenedFile> open_found(std::shared_ptr<FileSystem> fs, FoundFile found,
                                           FileHandleType type, OpenOptions options);
    // Paths from two directories, each as resolve_at takes it.
    IoResult<void> rename_between(InodeId src_dir, std::string_view src, InodeId dst_dir,
                                  std::string_view dst, bool replace);
    // Publishes inodes built apart from the tree under `parent`: the first `tops` of
    // `nodes` join it, all at once, and the rest hang below them; `bytes` and
    // `nodes.size()` are reserved here and given back on failure.
    IoResult<void> attach(const INodeGuard& parent, std::vector<INodeGuard> nodes,
                          std::uint64_t bytes, std::size_t tops = 1);
    // The entry a path from `dir` names, itself rather than what it links to.
    IoResult<INodeGuard> entry_at(InodeId dir, std::string_view path) const;
    // Builds an unpublished copy of `source` and everything below it into `nodes`, its
    // top first, adding up the bytes of its files; a null guard when `source` was removed.
    IoResult<INodeGuard> copy_tree(const INode& source, InodeId parent, std::uint16_t depth,
                                   std::string name, std::vector<INodeGuard>& nodes,
                                   std::uint64_t& bytes);
    // Whether `ancestor` is `id` or one of the directories above it.
    bool is_within(InodeId id, InodeId ancestor) const;
    // The entries a removal has marked and unlisted; they leave the inode table, which
    // holds them alive until then, and the space account together once it ends.
    struct Removal {
        // How many entries' room a thread keeps for its next removal.
        static constexpr std::size_t kKept = 1 << 15;
        std::vector<INode*> gone;
        std::uint64_t bytes = 0;
    };
    // Removes everything below the write-locked `dir`, entries before their directories,
    // in listing order; stops at the first entry that cannot go.
    IoResult<void> empty_tree(INode& dir, Removal& removal);
    // Takes a removed entry out of the directory listing it.
    void unlist(INode& node);

    // Fills the unpublished directory `to` of this filesystem with a copy of `from`'s
    // entries, which keep their ids.
    void copy_children(const INode& from, INode& to);

    friend class ChangeBatch;
    void deliver(const ChangeBatch::Change& change) const;

    InodeTable inodes_;
    // Never leaves the table, so every path starts here without a lookup.
    const INodeGuard root_;
    std::atomic<std::uint64_t> next_inode_id_{1};
    SpaceAccount space_;
    // Held by every rename, so no directory's place changes while a rename checks that
    // it does not move a directory into itself.
    std::mutex rename_mutex_;
    // Every change to the namespace passes it, so a snapshot can stop them all.
    mutable NamespaceGate gate_;
    // Shared while changes are told, so an observer leaves only once none is under way.
    mutable std::shared_mutex observers_mutex_;
    std::vector<ChangeObserver*> observers_;
    std::atomic<bool> observed_{false};
};

// Splits a path at its last separator ("/" or "\\"): the parent path and the name.
std::pair<std::string_view, std::string_view> split_last_separator(std::string_view path);

} // namespace ovaline::fs
