#include "fs/name_index.hpp"

#include <functional>

#include "fs/inode.hpp"

namespace ovaline::fs {

namespace {

std::size_t hash_name(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

} // namespace

INode* NameIndex::find(std::string_view name) const {
    if (!table_) {
        return nullptr;
    }
    for (std::size_t i = hash_name(name) & table_->mask;; i = (i + 1) & table_->mask) {
        INode* node = table_->slots[i];
        if (node == nullptr || node->name == name) {
            return node;
        }
    }
}

void NameIndex::insert(INode* node) {
    // Grow at three quarters full, so a probe always ends at an empty slot.
    if (!table_ || (table_->size + 1) * 4 > (table_->mask + 1) * 3) {
        grow();
    }
    std::size_t i = hash_name(node->name) & table_->mask;
    while (table_->slots[i] != nullptr) {
        i = (i + 1) & table_->mask;
    }
    table_->slots[i] = node;
    ++table_->size;
}

void NameIndex::erase(std::string_view name) {
    if (!table_) {
        return;
    }
    const std::size_t mask = table_->mask;
    std::size_t i = hash_name(name) & mask;
    for (;; i = (i + 1) & mask) {
        INode* node = table_->slots[i];
        if (node == nullptr) {
            return;
        }
        if (node->name == name) {
            break;
        }
    }
    // Backward-shift deletion keeps every remaining entry reachable from its home slot
    // without tombstones.
    std::size_t hole = i;
    for (std::size_t j = (hole + 1) & mask; table_->slots[j] != nullptr; j = (j + 1) & mask) {
        const std::size_t home = hash_name(table_->slots[j]->name) & mask;
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            table_->slots[hole] = table_->slots[j];
            hole = j;
        }
    }
    table_->slots[hole] = nullptr;
    if (--table_->size == 0) {
        table_.reset();
    }
}

void NameIndex::grow() {
    const std::size_t capacity = table_ ? (table_->mask + 1) * 2 : 8;
    auto next = std::make_unique<Table>();
    next->mask = capacity - 1;
    next->slots = std::make_unique<INode*[]>(capacity);
    if (table_) {
        for (std::size_t i = 0; i <= table_->mask; ++i) {
            INode* node = table_->slots[i];
            if (node == nullptr) {
                continue;
            }
            std::size_t j = hash_name(node->name) & next->mask;
            while (next->slots[j] != nullptr) {
                j = (j + 1) & next->mask;
            }
            next->slots[j] = node;
        }
        next->size = table_->size;
    }
    table_ = std::move(next);
}

} // namespace ovaline::fs
