#include "fs/file_system.hpp"

#include <algorithm>
#include <utility>

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

} // namespace

std::pair<std::string_view, std::string_view> split_last_separator(std::string_view path) {
    const std::size_t pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos) {
        return {std::string_view{}, path};
    }
    return {path.substr(0, pos), path.substr(pos + 1)};
}

std::shared_ptr<FileSystem> FileSystem::create() {
    return std::make_shared<FileSystem>();
}

FileSystem::FileSystem() : FileSystem(0) {}

FileSystem::FileSystem(std::size_t expected_inodes)
    : inodes_(std::max(kInitialBuckets, expected_inodes * 2)) {
    // The root's parent is itself.
    inodes_.insert(std::make_shared<INode>(kRoot, kRoot, 0, std::string{}, Directory{}));
}

IoResult<InodeId> FileSystem::create_inode(InodeId parent, std::string name, INodeKind kind) {
    if (!is_valid_name(name)) {
        return std::unexpected(IoErrorKind::ResourceAlreadyExists);
    }
    // From here on the id is spent, whatever happens.
    const InodeId id = next_inode_id_.fetch_add(1, std::memory_order_relaxed);
    auto dir = resolve(parent);
    if (!dir) {
        return std::unexpected(dir.error());
    }
    const std::uint64_t depth = (*dir)->depth + 1u;
    auto node = std::make_shared<INode>(id, parent, static_cast<std::uint16_t>(depth),
                                        std::move(name), std::move(kind));
    NamespaceGate::Change change(gate_);
    {
        // The duplicate check and the append happen under one write lock, so two
        // creators of one name never both succeed.
        WriteLocked locked(**dir);
        auto* entries = std::get_if<Directory>(&(*dir)->data);
        if (entries != nullptr && entries->find(node->name) != nullptr) {
            return std::unexpected(IoErrorKind::ResourceAlreadyExists);
        }
        if (depth > kMaxDepth) {
            return std::unexpected(IoErrorKind::MaxRecursionDepthExceeded);
        }
        if (entries == nullptr) {
            return std::unexpected(IoErrorKind::NotADirectory);
        }
        if ((*dir)->removed) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        entries->add(node.get());
    }
    inodes_.insert(std::move(node));
    return id;
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
    auto start = resolve(kRoot);
    if (!start) {
        return std::unexpected(start.error());
    }
    // Hand over hand: the next guard is taken before the current one is dropped.
    INodeGuard current = std::move(*start);
    auto walked = for_each_component(path, [&](std::string_view part) -> IoResult<void> {
        if (part.empty() || part == ".") {
            return {};
        }
        IoResult<InodeId> next_id = part == ".." ? IoResult<InodeId>(current->parent)
                                                 : find_inode_by_name_with_handle(*current, part);
        if (!next_id) {
            return std::unexpected(next_id.error());
        }
        auto next = resolve(*next_id);
        if (!next) {
            return std::unexpected(next.error());
        }
        current = std::move(*next);
        return {};
    });
    if (!walked) {
        return std::unexpected(walked.error());
    }
    return current->id;
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
        names.push_back((*node)->name);
        if ((*node)->parent == kRoot) {
            break;
        }
        id = (*node)->parent;
    }
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        path += '/';
        path += *it;
    }
    return path;
}

IoResult<void> FileSystem::create_at_path(std::string_view path, INodeKind kind) {
    const auto [parent_path, name] = split_last_separator(path);
    auto parent = get_inode_by_path_raw(parent_path);
    if (!parent) {
        return std::unexpected(parent.error());
    }
    auto created = create_inode(*parent, std::string(name), std::move(kind));
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

IoResult<void> FileSystem::rm_raw(InodeId id, bool recursive) {
    auto node = resolve(id);
    if (!node) {
        return std::unexpected(node.error());
    }
    return remove_node(id, *node, recursive, nullptr);
}

IoResult<void> FileSystem::remove_node(InodeId id, const INodeGuard& node, bool recursive,
                                       const INodeGuard* parent) {
    std::vector<InodeId> children;
    {
        ReadLocked locked(*node);
        if (const auto* entries = std::get_if<Directory>(&node->data)) {
            if (!recursive && !entries->empty()) {
                return std::unexpected(IoErrorKind::DirectoryIsNotEmpty);
            }
            if (recursive) {
                entries->for_each([&](const INode& child) { children.push_back(child.id); });
            }
        }
    }
    // No lock of this level is held while the entries below are removed; this level's
    // guard is handed down, as every entry below needs its parent.
    for (InodeId child_id : children) {
        auto child = resolve(child_id);
        if (!child) {
            return std::unexpected(child.error());
        }
        if (auto removed = remove_node(child_id, *child, true, &node); !removed) {
            return removed;
        }
    }
    // The root stays in place, emptied, so the filesystem remains usable.
    if (node->id == kRoot) {
        return {};
    }
    return unlink(id, node, parent);
}

IoResult<void> FileSystem::unlink(InodeId id, const INodeGuard& node, const INodeGuard* parent) {
    IoResult<INodeGuard> found_parent = parent != nullptr && (*parent)->id == node->parent
                                            ? IoResult<INodeGuard>(*parent)
                                            : resolve(node->parent);
    if (!found_parent) {
        return std::unexpected(found_parent.error());
    }
    NamespaceGate::Change change(gate_);
    {
        WriteLocked locked(*node);
        if (node->removed) {
            return std::unexpected(IoErrorKind::InodeNotFound);
        }
        if (auto* entries = std::get_if<Directory>(&node->data)) {
            // Entries created since the first look keep the directory in place.
            if (!entries->empty()) {
                return std::unexpected(IoErrorKind::DirectoryIsNotEmpty);
            }
        } else if (auto* file = std::get_if<File>(&node->data)) {
            std::int64_t expected = 0;
            if (!file->lock.flag.compare_exchange_strong(expected, FileLock::REMOVED,
                                                         std::memory_order_acq_rel)) {
                return std::unexpected(IoErrorKind::ResourceCurrentInUse);
            }
        }
        node->removed = true;
    }
    {
        WriteLocked locked(**found_parent);
        if (auto* entries = std::get_if<Directory>(&(*found_parent)->data)) {
            entries->remove(node.get());
        }
    }
    release_inode_id(id);
    return {};
}

IoResult<Listing> FileSystem::ls_raw(InodeId id) const {
    auto node = resolve(id);
    if (!node) {
        return std::unexpected(node.error());
    }
    // Held while the entries are visited, so none of them can be removed meanwhile.
    ReadLocked locked(**node);
    const auto* entries = std::get_if<Directory>(&(*node)->data);
    if (entries == nullptr) {
        return std::unexpected(IoErrorKind::NotADirectory);
    }
    Listing listing;
    entries->for_each([&](const INode& child) {
        // A link is listed under its own name as the kind of what it stands for.
        bool directory = std::holds_alternative<Directory>(child.data);
        if (std::holds_alternative<Symlink>(child.data)) {
            auto target = resolve(child.id);
            if (!target) {
                return;
            }
            directory = std::holds_alternative<Directory>((*target)->data);
        }
        (directory ? listing.directories : listing.files).push_back(child.name);
    });
    return listing;
}

} // namespace ovaline::fs
