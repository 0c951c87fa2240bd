#include <algorithm>

#include "fs/inode.hpp"

namespace ovaline::fs {

void Directory::add(INode* entry) {
    entry->slot = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(entry);
    index_.insert(entry);
}

void Directory::remove(INode* entry) {
    if (entry->slot >= entries_.size() || entries_[entry->slot] != entry) {
        return;
    }
    entries_[entry->slot] = nullptr;
    index_.erase(entry->name);
    const std::size_t holes = entries_.size() - index_.size();
    if (holes > index_.size()) {
        std::erase(entries_, nullptr);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            entries_[i]->slot = static_cast<std::uint32_t>(i);
        }
    }
}

void Directory::remove_all(std::span<INode* const> taken) {
    if (taken.size() == index_.size()) {
        entries_ = {};
        index_.clear();
        return;
    }
    for (INode* entry : taken) {
        remove(entry);
    }
}

} // namespace ovaline::fs
