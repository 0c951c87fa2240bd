#include "fs/file_system.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "fs/file_handle.hpp"

namespace ovaline::fs {

namespace {

constexpr std::size_t kInitialBuckets = 256;

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// Names that no entry may have: they would be read as a path step or a separator.
bool is_valid_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string_view::npos;
}

// Calls `visit` with each component of `path`, left to right; stops at its first error.
template <class Visit> IoResult<void> for_each_component(std::string_view path, Visit visit) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || is_separator(path[i])) {
            if (auto r = visit(path.substr(start, i - start)); !r) {
                return r;
            }
            start = i + 1;
        }
    }
    return {};
}

// The part of `path` before its last component, where that component's directory is
// found: "x" gives "" (the start itself) and "/x" keeps "/", so it starts from the root.
std::string_view parent_part(std::string_view path) {
    const std::size_t pos = path.find_last_of("/\\");
    return pos == std::string_view::npos ? std::string_view{}
                                         : path.substr(0, std::max<std::size_t>(pos, 1));
}

} // namespace

std::pair<std::string_view, std::string_view> split_last_separator(std::string_view path) {
    const std::size_t pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos) {
        return {std::string_view{}, path};
    }
    return {path.substr(0, pos), path.substr(pos + 1)};
}

std::shared_ptr<FileSystem> FileSystem::create(Limits limits) {
    return std::make_shared<FileSystem>(limits);
}

FileSystem::FileSystem(Limits limits, std::size_t expected_inodes)
    : inodes_(std::max(kInitialBuckets, expected_inodes * 2)),
      root_(make_inode(kRoot, kRoot, 0, std::string_view{}, Directory{})), space_(limits) {
    // The root's parent is itself.
    inodes_.insert(root_);
}

IoResult<InodeId> FileSystem::create_inode(InodeId parent, std::string name, INodeKind kind) {
    ChangeBatch batch(*this);
    if (!is_valid_name(name)) {
        return std::unexpected(IoErrorKind::ResourceAlreadyExists);
    }
    // From here on the id is spent, whatever happens.
    const InodeId id = next_inode_id_.fetch_add(1, std::memory_order_relaxed);
    auto dir = resolve(parent);
    if (!dir) {
        return std::unexpected(dir.error());
    }
    auto created = link_new(*dir, id, std::move(name), std::move(kind));
    if (!created) {
        return std::unexpected(created.error());
    }
    return id;
}

IoResult<INodeGuard> FileSystem::link_new(const INodeGuard& dir, InodeId id, std::string name,
                                          INodeKind kind) {
    const std::uint64_t depth = dir->depth + 1u;
    const auto* file = std::get_if<File>(&kind);
    const std::uint64_t bytes = file != nullptr ? file->data.data.size() : 0;
    auto node = make_inode(id, dir->id, static_cast<std::uint16_t>(depth), std::move(name),
                           std::move(kind));
    NamespaceGate::Change change(gate_);
    {
        // The duplicate check and the append happen under one write lock, so two
        // creators of one name never both succeed.
        WriteLocked locked(*dir);
        auto* entries = std::get_if<Directory>(&dir->data);
        if (entries != nullptr && entries->find(node->name) != nullptr) {
            return std::unexpected(IoErrorKind::ResourceAlreadyExists);
        }
        if (depth > kMaxDepth) {
            return std::unexpected(IoErrorKind::MaxRecursionDepthExceeded);
        }
        if (entries == nullptr) {
            return std::unexpected(IoErrorKind::NotADirectory);
        }
        if (dir->removed) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        if (!space_.reserve(bytes, 1)) {
            return std::unexpected(IoErrorKind::NoSpaceLeft);
        }
        // Both under the directory's lock: whoever finds the entry can resolve its id.
        entries->add(node.get());
        inodes_.insert(node);
        dir->touch();
        note_changed(dir->id);
    }
    return node;
}

void FileSystem::release_inode_id(InodeId id) {
    inodes_.remove(id);
}

IoResult<INodeGuard> FileSystem::resolve(InodeId id) const {
    for (;;) {
        INodeGuard node = inodes_.get(id);
        if (!node) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        const auto* link = std::get_if<Symlink>(&node->data);
        if (link == nullptr) {
            return node;
        }
        id = link->target;
    }
}

IoResult<InodeId> FileSystem::get_inode_raw(InodeId id) const {
    auto node = resolve(id);
    if (!node) {
        return std::unexpected(node.error());
    }
    return (*node)->id;
}

IoResult<InodeId> FileSystem::find_inode_by_name_with_handle(const INode& dir,
                                                             std::string_view name) const {
    if (name.empty() || name == ".") {
        return dir.id;
    }
    if (name == "..") {
        return dir.parent;
    }
    ReadLocked locked(dir);
    const auto* entries = std::get_if<Directory>(&dir.data);
    if (entries == nullptr) {
        return std::unexpected(IoErrorKind::NotADirectory);
    }
    const INode* entry = entries->find(name);
    if (entry == nullptr) {
        return std::unexpected(IoErrorKind::InodeNotFound);
    }
    return entry->id;
}

IoResult<INodeGuard> FileSystem::find_child(const INode& dir, std::string_view name) const {
    if (name.empty() || name == "." || name == "..") {
        return resolve(name == ".." ? dir.parent.load() : dir.id);
    }
    InodeId link;
    {
        ReadLocked locked(dir);
        const auto* entries = std::get_if<Directory>(&dir.data);
        if (entries == nullptr) {
            return std::unexpected(IoErrorKind::NotADirectory);
        }
        INode* entry = entries->find(name);
        if (entry == nullptr) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        // A listed entry is alive, and in the table, while the directory's lock is held,
        // so its guard is taken here rather than looked up again.
        if (!std::holds_alternative<Symlink>(entry->data)) {
            return INodeGuard(entry);
        }
        link = entry->id;
    }
    return resolve(link);
}

IoResult<InodeId> FileSystem::find_inode_by_name(InodeId dir, std::string_view name) const {
    auto node = resolve(dir);
    if (!node) {
        return std::unexpected(node.error());
    }
    return find_inode_by_name_with_handle(**node, name);
}

IoResult<bool> FileSystem::is_file_raw(InodeId id) const {
    auto dir = is_directory_raw(id);
    if (!dir) {
        return std::unexpected(dir.error());
    }
    return !*dir;
}

IoResult<bool> FileSystem::is_directory_raw(InodeId id) const {
    auto node = resolve(id);
    if (!node) {
        return std::unexpected(node.error());
    }
    return std::holds_alternative<Directory>((*node)->data);
}

IoResult<InodeId> FileSystem::get_inode_by_path_raw(std::string_view path) const {
    auto node = resolve_path(path);
    if (!node) {
        return std::unexpected(node.error());
    }
    return (*node)->id;
}

IoResult<INodeGuard> FileSystem::resolve_path(std::string_view path) const {
    return resolve_at(kRoot, path);
}

IoResult<INodeGuard> FileSystem::resolve_at(InodeId dir, std::string_view path) const {
    // Every path from the root starts from the guard kept here, without a lookup.
    INodeGuard current = root_;
    if (dir != kRoot && (path.empty() || !is_separator(path.front()))) {
        auto start = resolve(dir);
        if (!start) {
            return std::unexpected(start.error());
        }
        current = std::move(*start);
    }
    // Hand over hand: the next guard is taken before the current one is dropped.
    auto walked = for_each_component(path, [&](std::string_view part) -> IoResult<void> {
        if (part.empty() || part == ".") {
            return {};
        }
        auto next = find_child(*current, part);
        if (!next) {
            return std::unexpected(next.error());
        }
        current = std::move(*next);
        return {};
    });
    if (!walked) {
        return std::unexpected(walked.error());
    }
    return current;
}

IoResult<std::string> FileSystem::get_path_by_inode(InodeId id) const {
    if (id == kRoot) {
        return std::string("/");
    }
    std::vector<std::string> names;
    for (;;) {
        auto node = resolve(id);
        if (!node) {
            return std::unexpected(node.error());
        }
        // A rename changes both under the inode's write lock.
        ReadLocked locked(**node);
        names.emplace_back((*node)->name.view());
        id = (*node)->parent;
        if (id == kRoot) {
            break;
        }
    }
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        path += '/';
        path += *it;
    }
    return path;
}

IoResult<void> FileSystem::create_at_path(std::string_view path, INodeKind kind) {
    ChangeBatch batch(*this);
    const auto [parent_path, name] = split_last_separator(path);
    auto parent = resolve_path(parent_path);
    if (!parent) {
        return std::unexpected(parent.error());
    }
    // As create_inode does, with the directory already at hand.
    if (!is_valid_name(name)) {
        return std::unexpected(IoErrorKind::ResourceAlreadyExists);
    }
    const InodeId id = next_inode_id_.fetch_add(1, std::memory_order_relaxed);
    auto created = link_new(*parent, id, std::string(name), std::move(kind));
    if (!created) {
        return std::unexpected(created.error());
    }
    return {};
}

IoResult<void> FileSystem::mkdir(std::string_view path) {
    return create_at_path(path, Directory{});
}

IoResult<void> FileSystem::touch(std::string_view path) {
    return create_at_path(path, File{});
}

IoResult<void> FileSystem::rm(std::string_view path, bool recursive) {
    auto id = get_inode_by_path_raw(path);
    if (!id) {
        return std::unexpected(id.error());
    }
    return rm_raw(*id, recursive);
}

namespace {

// Marks an entry, write-locked by the caller, as gone from the namespace: a directory
// only when empty, a file only when no handle holds it. Adds the bytes it held to `bytes`.
IoResult<void> mark_removed(INode& node, std::uint64_t& bytes) {
    if (node.removed) {
        return std::unexpected(IoErrorKind::InodeNotFound);
    }
    if (auto* entries = std::get_if<Directory>(&node.data)) {
        // Entries created since the first look keep the directory in place.
        if (!entries->empty()) {
            return std::unexpected(IoErrorKind::DirectoryIsNotEmpty);
        }
    } else if (auto* file = std::get_if<File>(&node.data)) {
        std::int64_t expected = 0;
        if (!file->lock.flag.compare_exchange_strong(expected, FileLock::REMOVED,
                                                     std::memory_order_acq_rel)) {
            return std::unexpected(IoErrorKind::ResourceCurrentInUse);
        }
        bytes += file->data.data.size();
    }
    node.removed = true;
    return {};
}

} // namespace

IoResult<void> FileSystem::rm_raw(InodeId id, bool recursive) {
    ChangeBatch batch(*this);
    auto node = resolve(id);
    if (!node) {
        return std::unexpected(node.error());
    }
    INode& target = **node;
    // One change for the whole removal: a snapshot sees the tree before or after it.
    NamespaceGate::Change change(gate_);
    // The list of what went is kept from one removal to the next in the same thread, so a
    // large removal does not end by freeing a large block of it, which makes the heap
    // merge every entry just freed at once.
    thread_local std::vector<INode*> kept;
    Removal removal{std::exchange(kept, {})};
    IoResult<void> removed;
    {
        // Held until the target is marked, so nothing is created in it meanwhile.
        WriteLocked locked(target);
        if (recursive) {
            removed = empty_tree(target, removal);
        }
        // The root stays in place, emptied, so the filesystem remains usable.
        if (removed && target.id != kRoot) {
            removed = mark_removed(target, removal.bytes);
        } else if (removed && !std::get<Directory>(target.data).empty()) {
            removed = std::unexpected(IoErrorKind::DirectoryIsNotEmpty);
        }
    }
    if (removed && target.id != kRoot) {
        unlist(target);
        removal.gone.push_back(&target);
    }
    // What went before a failure stays gone, as if removed one entry at a time.
    space_.release(removal.bytes, removal.gone.size());
    inodes_.remove_all(removal.gone);
    if (removal.gone.capacity() <= Removal::kKept) {
        removal.gone.clear();
        kept = std::move(removal.gone);
    }
    return removed;
}

IoResult<void> FileSystem::empty_tree(INode& dir, Removal& removal) {
    auto* entries = std::get_if<Directory>(&dir.data);
    if (entries == nullptr) {
        return {};
    }
    // Locks go from a directory to its entries, as everywhere. Every entry listed here is
    // alive while the directory's lock is held, and once marked it is this removal's
    // alone: nobody else takes it out of the listing or the table. A link is an entry
    // like a file: what it leads to stays.
    std::vector<INode*> taken;
    taken.reserve(entries->size());
    IoResult<void> result;
    entries->for_each_while([&](INode& child) {
        WriteLocked locked(child);
        result = child.removed ? IoResult<void>(std::unexpected(IoErrorKind::InodeNotFound))
                               : empty_tree(child, removal);
        if (result) {
            result = mark_removed(child, removal.bytes);
        }
        if (result) {
            taken.push_back(&child);
        }
        return result.has_value();
    });
    if (!taken.empty()) {
        for (const INode* child : taken) {
            note_gone(dir.id, child->name);
        }
        entries->remove_all(taken);
        dir.touch();
        note_changed(dir.id);
    }
    removal.gone.insert(removal.gone.end(), taken.begin(), taken.end());
    return result;
}

void FileSystem::unlist(INode& node) {
    // Read only now: a removed inode is never moved, so this is the directory listing it.
    // A rename that replaced the inode has already taken it out of its directory.
    if (INodeGuard parent = inodes_.get(node.parent)) {
        WriteLocked locked(*parent);
        if (auto* entries = std::get_if<Directory>(&parent->data)) {
            entries->remove(&node);
            parent->touch();
            note_gone(parent->id, node.name);
            note_changed(parent->id);
        }
    }
}

IoResult<Listing> FileSystem::ls_raw(InodeId id, std::uint64_t known_stamp) const {
    auto node = resolve(id);
    if (!node) {
        return std::unexpected(node.error());
    }
    Listing listing;
    auto collect = [&](std::string_view name, bool directory) {
        (directory ? listing.directories : listing.files).emplace_back(name);
    };
    auto listed = list_with(**node, known_stamp, collect);
    if (!listed) {
        return std::unexpected(listed.error());
    }
    listing.stamp = listed->stamp;
    listing.unchanged = listed->unchanged;
    return listing;
}

IoResult<FileHandle> FileSystem::open_raw(std::shared_ptr<FileSystem> fs, InodeId id,
                                          FileHandleType type) {
    auto node = fs->resolve(id);
    if (!node) {
        return std::unexpected(node.error());
    }
    if (!std::holds_alternative<File>((*node)->data)) {
        return std::unexpected(IoErrorKind::NotAFile);
    }
    return FileHandle::create(std::move(fs), *node, type);
}

IoResult<FileHandle> FileSystem::open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                      FileHandleType type, bool create) {
    auto opened = open_with(std::move(fs), path, type, OpenOptions{.create = create});
    if (!opened) {
        return std::unexpected(opened.error());
    }
    return std::move(opened->handle);
}

IoResult<OpenedFile> FileSystem::open_with(std::shared_ptr<FileSystem> fs, std::string_view path,
                                           FileHandleType type, OpenOptions options) {
    ChangeBatch batch(*fs);
    auto found = fs->find_or_create_file(path, options.create, {});
    if (!found) {
        return std::unexpected(found.error());
    }
    return open_found(std::move(fs), std::move(*found), type, options);
}

IoResult<OpenedFile> FileSystem::open_found(std::shared_ptr<FileSystem> fs, FoundFile found,
                                            FileHandleType type, OpenOptions options) {
    if (options.exclusive && !found.created) {
        return std::unexpected(IoErrorKind::ResourceAlreadyExists);
    }
    auto handle = FileHandle::create(std::move(fs), found.node, type);
    if (!handle) {
        return std::unexpected(handle.error());
    }
    // Emptied only once the lock is held, so a file in use is never emptied.
    if (options.truncate && !found.created) {
        if (auto emptied = handle->truncate(0); !emptied) {
            return std::unexpected(emptied.error());
        }
    }
    return OpenedFile{std::move(*handle), found.created};
}

IoResult<OpenedFile> FileSystem::open_in(std::shared_ptr<FileSystem> fs, InodeId dir,
                                         std::string_view name, FileHandleType type,
                                         OpenOptions options) {
    ChangeBatch batch(*fs);
    auto parent = fs->resolve(dir);
    if (!parent) {
        return std::unexpected(parent.error());
    }
    auto found = fs->find_or_create_in(*parent, name, options.create, {});
    if (!found) {
        return std::unexpected(found.error());
    }
    return open_found(std::move(fs), std::move(*found), type, options);
}

IoResult<FileSystem::FoundFile>
FileSystem::find_or_create_file(std::string_view path, bool create,
                                std::span<const std::uint8_t> contents) {
    const auto [parent_path, name] = split_last_separator(path);
    auto parent = resolve_path(parent_path);
    if (!parent) {
        return std::unexpected(parent.error());
    }
    return find_or_create_in(*parent, name, create, contents);
}

IoResult<FileSystem::FoundFile>
FileSystem::find_or_create_in(const INodeGuard& parent, std::string_view name, bool create,
                              std::span<const std::uint8_t> contents) {
    // A second look covers another thread creating the same file between our lookup
    // and our creation.
    for (int attempt = 0;; ++attempt) {
        auto found = find_child(*parent, name);
        if (found) {
            return FoundFile{std::move(*found), false};
        }
        if (!create || found.error().kind() != IoErrorKind::InodeNotFound) {
            return std::unexpected(found.error());
        }
        if (!is_valid_name(name)) {
            return std::unexpected(IoErrorKind::ResourceAlreadyExists);
        }
        const InodeId id = next_inode_id_.fetch_add(1, std::memory_order_relaxed);
        auto created = link_new(parent, id, std::string(name),
                                File{FileData{{contents.begin(), contents.end()}}, {}});
        if (created) {
            return FoundFile{std::move(*created), true};
        }
        if (created.error().kind() != IoErrorKind::ResourceAlreadyExists || attempt > 0) {
            return std::unexpected(created.error());
        }
    }
}

IoResult<NodeKind> FileSystem::kind(std::string_view path) const {
    auto node = resolve_path(path);
    if (!node) {
        return std::unexpected(node.error());
    }
    // Which kind an inode is never changes, so no lock is needed.
    return std::holds_alternative<Directory>((*node)->data) ? NodeKind::Directory : NodeKind::File;
}

IoResult<Stat> FileSystem::stat(std::string_view path) const {
    auto node = resolve_path(path);
    if (!node) {
        return std::unexpected(node.error());
    }
    ReadLocked locked(**node);
    if (const auto* entries = std::get_if<Directory>(&(*node)->data)) {
        return Stat{(*node)->id, NodeKind::Directory, 0, entries->size(), (*node)->mtime()};
    }
    const auto& file = std::get<File>((*node)->data);
    return Stat{(*node)->id, NodeKind::File, file.data.data.size(), 0, (*node)->mtime()};
}

namespace {

IoResult<std::vector<std::uint8_t>> contents_of(const IoResult<INodeGuard>& node) {
    if (!node) {
        return std::unexpected(node.error());
    }
    ReadLocked locked(**node);
    const auto* file = std::get_if<File>(&(*node)->data);
    if (file == nullptr) {
        return std::unexpected(IoErrorKind::NotAFile);
    }
    // A handle opened for reading now would be refused for the same reasons.
    const std::int64_t flag = file->lock.flag.load(std::memory_order_acquire);
    if (flag == FileLock::REMOVED) {
        return std::unexpected(IoErrorKind::InodeNotFound);
    }
    if (flag < 0) {
        return std::unexpected(IoErrorKind::ResourceCurrentInUse);
    }
    return file->data.data;
}

} // namespace

IoResult<std::vector<std::uint8_t>> FileSystem::read_file(std::string_view path) const {
    return contents_of(resolve_path(path));
}

IoResult<std::vector<std::uint8_t>> FileSystem::read_file_raw(InodeId id) const {
    return contents_of(resolve(id));
}

IoResult<void> FileSystem::write_file(std::string_view path, std::span<const std::uint8_t> bytes) {
    ChangeBatch batch(*this);
    // A new file appears with its contents, never empty first.
    auto found = find_or_create_file(path, true, bytes);
    if (!found) {
        return std::unexpected(found.error());
    }
    if (found->created) {
        return {};
    }
    const INodeGuard& node = found->node;
    WriteLocked locked(*node);
    auto* file = std::get_if<File>(&node->data);
    if (file == nullptr) {
        return std::unexpected(IoErrorKind::NotAFile);
    }
    // Under the write lock no handle can be opened or closed, so the flag holds.
    const std::int64_t flag = file->lock.flag.load(std::memory_order_acquire);
    if (flag != 0) {
        return std::unexpected(flag == FileLock::REMOVED ? IoErrorKind::InodeNotFound
                                                         : IoErrorKind::ResourceCurrentInUse);
    }
    auto& data = file->data.data;
    if (!space_.resize(data.size(), bytes.size())) {
        return std::unexpected(IoErrorKind::NoSpaceLeft);
    }
    data.assign(bytes.begin(), bytes.end());
    node->touch();
    note_changed(node->id);
    return {};
}

bool FileSystem::is_within(InodeId id, InodeId ancestor) const {
    for (;;) {
        if (id == ancestor) {
            return true;
        }
        if (id == kRoot) {
            return false;
        }
        INodeGuard node = inodes_.get(id);
        if (!node) {
            return false;
        }
        id = node->parent;
    }
}

IoResult<void> FileSystem::attach(const INodeGuard& parent, std::vector<INodeGuard> nodes,
                                  std::uint64_t bytes, std::size_t tops) {
    if (!space_.reserve(bytes, nodes.size())) {
        return std::unexpected(IoErrorKind::NoSpaceLeft);
    }
    NamespaceGate::Change change(gate_);
    // In the table first, so that an entry is never listed before its id resolves.
    for (const INodeGuard& node : nodes) {
        inodes_.insert(node);
    }
    IoResult<void> linked;
    {
        WriteLocked locked(*parent);
        auto* entries = std::get_if<Directory>(&parent->data);
        if (entries == nullptr) {
            linked = std::unexpected(IoErrorKind::NotADirectory);
        } else if (parent->removed) {
            linked = std::unexpected(IoErrorKind::InodeNotFound);
        } else if (std::any_of(nodes.begin(), nodes.begin() + static_cast<std::ptrdiff_t>(tops),
                               [&](const INodeGuard& top) { return entries->find(top->name); })) {
            linked = std::unexpected(IoErrorKind::ResourceAlreadyExists);
        } else {
            for (std::size_t i = 0; i < tops; ++i) {
                entries->add(nodes[i].get());
            }
            parent->touch();
            note_changed(parent->id);
        }
    }
    if (!linked) {
        for (const INodeGuard& node : nodes) {
            inodes_.remove(node->id);
        }
        space_.release(bytes, nodes.size());
    }
    return linked;
}

namespace {

// The components of a path that name something: empty ones and "." dropped.
std::vector<std::string_view> path_steps(std::string_view path) {
    std::vector<std::string_view> steps;
    (void)for_each_component(path, [&](std::string_view part) -> IoResult<void> {
        if (!part.empty() && part != ".") {
            steps.push_back(part);
        }
        return {};
    });
    return steps;
}

// Adds `child`, not yet published, to the directory `dir`, not yet published either.
void add_unpublished(INode& dir, INode& child) {
    std::get<Directory>(dir.data).add(&child);
}

} // namespace

IoResult<void> FileSystem::makedirs(std::string_view path, bool exist_ok) {
    ChangeBatch batch(*this);
    const std::vector<std::string_view> steps = path_steps(path);
    // Another thread creating a directory of the path first sends us round again.
    for (;;) {
        auto root = resolve(kRoot);
        if (!root) {
            return std::unexpected(root.error());
        }
        INodeGuard current = std::move(*root);
        std::size_t i = 0;
        for (; i < steps.size(); ++i) {
            auto next = find_child(*current, steps[i]);
            if (!next) {
                if (next.error().kind() != IoErrorKind::InodeNotFound) {
                    return std::unexpected(next.error());
                }
                break;
            }
            if (!std::holds_alternative<Directory>((*next)->data)) {
                return std::unexpected(i + 1 == steps.size() ? IoErrorKind::ResourceAlreadyExists
                                                             : IoErrorKind::NotADirectory);
            }
            current = std::move(*next);
        }
        if (i == steps.size()) {
            return exist_ok ? IoResult<void>{}
                            : std::unexpected(IoErrorKind::ResourceAlreadyExists);
        }
        // A ".." below a missing directory needs that directory in place first, so such a
        // path is created one directory at a time.
        const bool climbs = std::find(steps.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                      steps.end(), "..") != steps.end();
        const std::size_t end = climbs ? i + 1 : steps.size();
        std::vector<INodeGuard> chain;
        std::uint64_t depth = current->depth;
        for (std::size_t j = i; j < end; ++j) {
            if (++depth > kMaxDepth) {
                return std::unexpected(IoErrorKind::MaxRecursionDepthExceeded);
            }
            const InodeId parent = chain.empty() ? current->id : chain.back()->id;
            chain.push_back(make_inode(next_inode_id_.fetch_add(1, std::memory_order_relaxed),
                                       parent, static_cast<std::uint16_t>(depth),
                                       std::string(steps[j]), Directory{}));
            if (chain.size() > 1) {
                add_unpublished(*chain[chain.size() - 2], *chain.back());
            }
        }
        auto attached = attach(current, std::move(chain), 0);
        if (!attached && attached.error().kind() != IoErrorKind::ResourceAlreadyExists) {
            return attached;
        }
        if (attached && !climbs) {
            return {};
        }
    }
}

IoResult<INodeGuard> FileSystem::entry_at(InodeId dir, std::string_view path) const {
    const std::string_view name = split_last_separator(path).second;
    if (!is_valid_name(name)) {
        // "a/", "a/." and the like name the directory itself; links are followed.
        return resolve_at(dir, path);
    }
    auto parent = resolve_at(dir, parent_part(path));
    if (!parent) {
        return std::unexpected(parent.error());
    }
    INodeGuard entry;
    {
        ReadLocked locked(**parent);
        const auto* entries = std::get_if<Directory>(&(*parent)->data);
        if (entries == nullptr) {
            return std::unexpected(IoErrorKind::NotADirectory);
        }
        const INode* found = entries->find(name);
        if (found == nullptr) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        entry = inodes_.get(found->id);
    }
    if (!entry) {
        return std::unexpected(IoErrorKind::InodeNotFound);
    }
    return entry;
}

namespace {

// How many levels of directories lie below `node`. Each directory is read-locked while
// its entries are visited; nothing takes a child's lock and then its parent's.
std::uint16_t height_below(const INode& node) {
    ReadLocked locked(node);
    std::uint16_t height = 0;
    if (const auto* entries = std::get_if<Directory>(&node.data)) {
        entries->for_each([&](const INode& child) {
            height = std::max<std::uint16_t>(height, 1 + height_below(child));
        });
    }
    return height;
}

void set_depths(INode& node, std::uint16_t depth) {
    node.depth.store(depth, std::memory_order_relaxed);
    ReadLocked locked(node);
    if (const auto* entries = std::get_if<Directory>(&node.data)) {
        entries->for_each([&](INode& child) { set_depths(child, depth + 1); });
    }
}

// Takes both directories' write locks in id order, once when they are the same.
class BothLocked {
  public:
    BothLocked(INode& a, INode& b) : first_(a.id <= b.id ? a : b), second_(a.id <= b.id ? b : a) {
        first_.lock.lock();
        if (&second_ != &first_) {
            second_.lock.lock();
        }
    }
    ~BothLocked() {
        if (&second_ != &first_) {
            second_.lock.unlock();
        }
        first_.lock.unlock();
    }
    BothLocked(const BothLocked&) = delete;
    BothLocked& operator=(const BothLocked&) = delete;

  private:
    INode& first_;
    INode& second_;
};

// Makes `victim`, listed in `entries`, leave the namespace so that a rename can take its
// place: a file nobody holds, or an empty directory, of the moved entry's kind. Returns
// the bytes it held, or nothing when a removal of its own is already under way and will
// give them back.
IoResult<std::optional<std::uint64_t>> take_out(INode& victim, bool moving_directory,
                                                Directory& entries) {
    WriteLocked locked(victim);
    std::optional<std::uint64_t> bytes;
    if (!victim.removed) {
        bytes = 0;
        if (auto* dir = std::get_if<Directory>(&victim.data)) {
            if (!moving_directory) {
                return std::unexpected(IoErrorKind::NotAFile);
            }
            if (!dir->empty()) {
                return std::unexpected(IoErrorKind::DirectoryIsNotEmpty);
            }
        } else if (moving_directory) {
            return std::unexpected(IoErrorKind::NotADirectory);
        } else if (auto* file = std::get_if<File>(&victim.data)) {
            std::int64_t expected = 0;
            if (!file->lock.flag.compare_exchange_strong(expected, FileLock::REMOVED,
                                                         std::memory_order_acq_rel)) {
                return std::unexpected(IoErrorKind::ResourceCurrentInUse);
            }
            bytes = file->data.data.size();
        }
        victim.removed = true;
    }
    entries.remove(&victim);
    return bytes;
}

} // namespace

IoResult<void> FileSystem::rename(std::string_view src, std::string_view dst, bool replace,
                                  InodeId dir) {
    return rename_between(dir, src, dir, dst, replace);
}

IoResult<void> FileSystem::rename_at(InodeId src_dir, std::string_view src_name, InodeId dst_dir,
                                     std::string_view dst_name, bool replace) {
    if (!is_valid_name(src_name)) {
        return std::unexpected(IoErrorKind::InodeNotFound);
    }
    return rename_between(src_dir, src_name, dst_dir, dst_name, replace);
}

IoResult<void> FileSystem::rename_between(InodeId src_dir, std::string_view src, InodeId dst_dir,
                                          std::string_view dst, bool replace) {
    ChangeBatch batch(*this);
    const std::string_view dst_name = split_last_separator(dst).second;
    if (!is_valid_name(dst_name)) {
        return std::unexpected(IoErrorKind::ResourceAlreadyExists);
    }
    std::lock_guard serial(rename_mutex_);
    NamespaceGate::Change change(gate_);
    auto node = entry_at(src_dir, src);
    if (!node) {
        return std::unexpected(node.error());
    }
    if ((*node)->id == kRoot) {
        return std::unexpected(IoErrorKind::MoveIntoItself);
    }
    auto dst_parent = resolve_at(dst_dir, parent_part(dst));
    if (!dst_parent) {
        return std::unexpected(dst_parent.error());
    }
    // Only renames change an inode's place, and they take turns.
    INodeGuard src_parent = inodes_.get((*node)->parent);
    if (!src_parent) {
        return std::unexpected(IoErrorKind::InodeNotFound);
    }
    const bool directory = std::holds_alternative<Directory>((*node)->data);
    if (directory && is_within((*dst_parent)->id, (*node)->id)) {
        return std::unexpected(IoErrorKind::MoveIntoItself);
    }
    const auto depth = static_cast<std::uint16_t>((*dst_parent)->depth + 1);
    const bool deeper = depth != (*node)->depth;
    if (deeper && depth + height_below(**node) > kMaxDepth) {
        return std::unexpected(IoErrorKind::MaxRecursionDepthExceeded);
    }
    std::uint64_t replaced_bytes = 0;
    std::optional<InodeId> replaced;
    {
        BothLocked parents(*src_parent, **dst_parent);
        auto* from = std::get_if<Directory>(&src_parent->data);
        auto* to = std::get_if<Directory>(&(*dst_parent)->data);
        if (to == nullptr) {
            return std::unexpected(IoErrorKind::NotADirectory);
        }
        if ((*dst_parent)->removed) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        if (from == nullptr || from->find((*node)->name) != node->get()) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        INode* victim = to->find(dst_name);
        if (victim == node->get()) {
            return {};
        }
        WriteLocked moving(**node);
        if ((*node)->removed) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        if (victim != nullptr) {
            if (!replace) {
                return std::unexpected(IoErrorKind::ResourceAlreadyExists);
            }
            // The source's own directory, locked above, is never empty: it holds the source.
            if (victim == src_parent.get()) {
                return std::unexpected(directory ? IoErrorKind::DirectoryIsNotEmpty
                                                 : IoErrorKind::NotAFile);
            }
            auto bytes = take_out(*victim, directory, *to);
            if (!bytes) {
                return std::unexpected(bytes.error());
            }
            if (*bytes) {
                replaced = victim->id;
                replaced_bytes = **bytes;
            }
        }
        from->remove(node->get());
        note_gone(src_parent->id, (*node)->name);
        note_gone((*dst_parent)->id, dst_name);
        note_changed(src_parent->id);
        note_changed((*dst_parent)->id);
        note_changed((*node)->id);
        (*node)->name = dst_name;
        (*node)->parent = (*dst_parent)->id;
        to->add(node->get());
        const std::int64_t now = now_ns();
        src_parent->touch(now);
        (*dst_parent)->touch(now);
        (*node)->touch(now);
    }
    if (replaced) {
        release_inode_id(*replaced);
        space_.release(replaced_bytes, 1);
    }
    if (deeper) {
        set_depths(**node, depth);
    }
    return {};
}

IoResult<INodeGuard> FileSystem::copy_tree(const INode& source, InodeId parent, std::uint16_t depth,
                                           std::string name, std::vector<INodeGuard>& nodes,
                                           std::uint64_t& bytes) {
    if (depth > kMaxDepth) {
        return std::unexpected(IoErrorKind::MaxRecursionDepthExceeded);
    }
    const InodeId id = next_inode_id_.fetch_add(1, std::memory_order_relaxed);
    // Held while the entries below are copied: a directory copied whole, a file in
    // one state.
    ReadLocked locked(source);
    if (source.removed) {
        return INodeGuard{};
    }
    auto kind = [&]() -> INodeKind {
        if (const auto* file = std::get_if<File>(&source.data)) {
            bytes += file->data.data.size();
            return File{file->data, {}};
        }
        if (const auto* link = std::get_if<Symlink>(&source.data)) {
            return *link;
        }
        return Directory{};
    };
    auto node = make_inode(id, parent, depth, std::move(name), kind());
    nodes.push_back(node);
    if (const auto* entries = std::get_if<Directory>(&source.data)) {
        IoResult<void> copied;
        entries->for_each([&](const INode& child) {
            if (!copied) {
                return;
            }
            auto child_copy =
                copy_tree(child, id, depth + 1, std::string(child.name.view()), nodes, bytes);
            if (!child_copy) {
                copied = std::unexpected(child_copy.error());
            } else if (*child_copy) {
                add_unpublished(*node, **child_copy);
            }
        });
        if (!copied) {
            return std::unexpected(copied.error());
        }
    }
    return node;
}

IoResult<void> FileSystem::copy(std::string_view src, std::string_view dst, bool recursive,
                                InodeId dir) {
    ChangeBatch batch(*this);
    const std::string_view dst_name = split_last_separator(dst).second;
    auto node = resolve_at(dir, src);
    if (!node) {
        return std::unexpected(node.error());
    }
    const bool directory = std::holds_alternative<Directory>((*node)->data);
    if (directory && !recursive) {
        return std::unexpected(IoErrorKind::NotAFile);
    }
    auto dst_parent = resolve_at(dir, parent_part(dst));
    if (!dst_parent) {
        return std::unexpected(dst_parent.error());
    }
    // Into itself is told before a file in the way, as rename tells it.
    if (directory && is_within((*dst_parent)->id, (*node)->id)) {
        return std::unexpected(IoErrorKind::MoveIntoItself);
    }
    if (!std::holds_alternative<Directory>((*dst_parent)->data)) {
        return std::unexpected(IoErrorKind::NotADirectory);
    }
    if (!is_valid_name(dst_name)) {
        return std::unexpected(IoErrorKind::ResourceAlreadyExists);
    }
    std::vector<INodeGuard> nodes;
    std::uint64_t bytes = 0;
    auto top = copy_tree(**node, (*dst_parent)->id, (*dst_parent)->depth + 1, std::string(dst_name),
                         nodes, bytes);
    if (!top) {
        return std::unexpected(top.error());
    }
    if (!*top) {
        return std::unexpected(IoErrorKind::InodeNotFound);
    }
    return attach(*dst_parent, std::move(nodes), bytes);
}

ChangeBatch::ChangeBatch(FileSystem&) {
    ++depth_;
}

ChangeBatch::~ChangeBatch() {
    if (--depth_ > 0 || pending_.empty()) {
        return;
    }
    // Taken out first: an observer may change a tree in turn.
    std::vector<Change> changes = std::exchange(pending_, {});
    for (const Change& change : changes) {
        change.fs->deliver(change);
    }
}

void FileSystem::add_observer(ChangeObserver* observer) {
    std::unique_lock lock(observers_mutex_);
    observers_.push_back(observer);
    observed_.store(true, std::memory_order_relaxed);
}

void FileSystem::remove_observer(ChangeObserver* observer) {
    std::unique_lock lock(observers_mutex_);
    std::erase(observers_, observer);
    observed_.store(!observers_.empty(), std::memory_order_relaxed);
}

void FileSystem::deliver(const ChangeBatch::Change& change) const {
    std::shared_lock lock(observers_mutex_);
    for (ChangeObserver* observer : observers_) {
        if (observer == ChangeObserver::serving) {
            continue;
        }
        if (change.gone.empty()) {
            observer->changed(change.id);
        } else {
            observer->entry_gone(change.id, change.gone);
        }
    }
}

} // namespace ovaline::fs
