#include "fs/tree_walk.hpp"

#include <utility>

namespace ovaline::fs {

std::string join_path(std::string_view path, std::string_view name) {
    std::string joined(path);
    if (!joined.empty() && joined.back() != '/' && joined.back() != '\\') {
        joined += '/';
    }
    joined += name;
    return joined;
}

TreeWalk::TreeWalk(std::shared_ptr<const FileSystem> fs, std::string top) : fs_(std::move(fs)) {
    if (auto id = fs_->get_inode_by_path_raw(top)) {
        stack_.push_back({*id, std::move(top)});
    }
}

std::optional<WalkStep> TreeWalk::next() {
    last_.reset();
    while (!stack_.empty()) {
        Pending pending = std::move(stack_.back());
        stack_.pop_back();
        auto listing = fs_->ls_raw(pending.id);
        if (!listing) {
            continue;
        }
        WalkStep step{pending.path, std::move(listing->directories), std::move(listing->files)};
        last_ = std::move(pending);
        return step;
    }
    return std::nullopt;
}

void TreeWalk::descend(std::span<const std::string> names) {
    if (!last_) {
        return;
    }
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        auto id = fs_->find_inode_by_name(last_->id, *it);
        if (id && fs_->is_directory_raw(*id).value_or(false)) {
            stack_.push_back({*id, join_path(last_->path, *it)});
        }
    }
    last_.reset();
}

} // namespace ovaline::fs
