#include <algorithm>
#include <cstddef>
#include <utility>

#include "fs/file_system.hpp"

namespace ovaline::fs {

namespace {

// A file's contents as they stand between two writes.
std::vector<std::uint8_t> read_contents(const INode& file) {
    ReadLocked locked(file);
    return std::get<File>(file.data).data.data;
}

// Links keep their targets: ids are kept, so they still name the same entries.
INodeKind copy_kind(const INode& node) {
    if (std::holds_alternative<Directory>(node.data)) {
        return Directory{};
    }
    if (const auto* link = std::get_if<Symlink>(&node.data)) {
        return *link;
    }
    return File{FileData{read_contents(node)}, FileLock{}};
}

void copy_out_children(const INode& dir, std::vector<DetachedNode>& out) {
    ReadLocked locked(dir);
    std::get<Directory>(dir.data).for_each([&](const INode& child) {
        DetachedNode& node = out.emplace_back();
        node.name = child.name;
        node.mtime_ns = child.mtime();
        if (std::holds_alternative<Directory>(child.data)) {
            node.kind = DetachedNode::Kind::Directory;
            copy_out_children(child, node.children);
        } else if (std::holds_alternative<File>(child.data)) {
            node.data = read_contents(child);
        } else {
            node.kind = DetachedNode::Kind::Symlink;
        }
    });
}

// The number of entries in the trees, and how many levels the deepest one adds.
struct Extent {
    std::uint64_t count = 0;
    std::uint64_t height = 0;
};

Extent extent_of(const std::vector<DetachedNode>& entries) {
    Extent extent;
    for (const DetachedNode& node : entries) {
        const Extent below = extent_of(node.children);
        extent.count += 1 + below.count;
        extent.height = std::max(extent.height, 1 + below.height);
    }
    return extent;
}

// Turns detached entries into inodes below `parent` at `depth`, numbered from `next_id`
// on, each directory listing its own entries. The entries' inodes go to `top`, all those
// below them to `below`, and the bytes of their files are added to `bytes`.
void build_inodes(std::vector<DetachedNode>& entries, InodeId parent, std::uint64_t depth,
                  InodeId& next_id, std::vector<INodeGuard>& top, std::vector<INodeGuard>& below,
                  std::uint64_t& bytes) {
    for (DetachedNode& entry : entries) {
        const bool directory = entry.kind == DetachedNode::Kind::Directory;
        bytes += entry.data.size();
        auto node =
            make_inode(next_id++, parent, static_cast<std::uint16_t>(depth), std::move(entry.name),
                       directory ? INodeKind(Directory{})
                                 : INodeKind(File{FileData{std::move(entry.data)}, {}}));
        if (entry.mtime_ns != 0) {
            node->touch(entry.mtime_ns);
        }
        if (directory) {
            std::vector<INodeGuard> children;
            build_inodes(entry.children, node->id, depth + 1, next_id, children, below, bytes);
            auto& listing = std::get<Directory>(node->data);
            for (const INodeGuard& child : children) {
                listing.add(child.get());
            }
            below.insert(below.end(), children.begin(), children.end());
        }
        top.push_back(std::move(node));
    }
}

} // namespace

std::shared_ptr<FileSystem> FileSystem::clone() const {
    NamespaceGate::Frozen frozen(gate_);
    auto copy = std::make_shared<FileSystem>(space_.limits(), inodes_.size());
    copy->copy_children(*inodes_.get(kRoot), *copy->inodes_.get(kRoot));
    copy->next_inode_id_.store(next_inode_id_.load(std::memory_order_relaxed),
                               std::memory_order_relaxed);
    return copy;
}

void FileSystem::copy_children(const INode& from, INode& to) {
    ReadLocked locked(from);
    auto& listing = std::get<Directory>(to.data);
    std::get<Directory>(from.data).for_each([&](const INode& child) {
        auto node = make_inode(child.id, to.id, child.depth, child.name, copy_kind(child));
        node->touch(child.mtime());
        if (std::holds_alternative<Directory>(node->data)) {
            copy_children(child, *node);
        }
        // The same tree under the same limits: it fits as the original does.
        const auto* file = std::get_if<File>(&node->data);
        space_.reserve(file != nullptr ? file->data.data.size() : 0, 1);
        listing.add(node.get());
        inodes_.insert(std::move(node));
    });
}

IoResult<std::vector<DetachedNode>> FileSystem::copy_out(InodeId dir) const {
    NamespaceGate::Frozen frozen(gate_);
    auto node = resolve(dir);
    if (!node) {
        return std::unexpected(node.error());
    }
    if (!std::holds_alternative<Directory>((*node)->data)) {
        return std::unexpected(IoErrorKind::NotADirectory);
    }
    std::vector<DetachedNode> entries;
    copy_out_children(**node, entries);
    return entries;
}

IoResult<void> FileSystem::attach_detached(InodeId dir, std::vector<DetachedNode> entries) {
    ChangeBatch batch(*this);
    auto target = resolve(dir);
    if (!target) {
        return std::unexpected(target.error());
    }
    const Extent extent = extent_of(entries);
    if ((*target)->depth + extent.height > kMaxDepth) {
        return std::unexpected(IoErrorKind::MaxRecursionDepthExceeded);
    }
    InodeId next_id = next_inode_id_.fetch_add(extent.count, std::memory_order_relaxed);
    std::vector<INodeGuard> nodes;
    std::vector<INodeGuard> below;
    nodes.reserve(extent.count);
    std::uint64_t bytes = 0;
    build_inodes(entries, (*target)->id, (*target)->depth + 1u, next_id, nodes, below, bytes);
    const std::size_t tops = nodes.size();
    nodes.insert(nodes.end(), below.begin(), below.end());
    return attach(*target, std::move(nodes), bytes, tops);
}

} // namespace ovaline::fs
