#include "fs/name_index.hpp"

#include <atomic>
#include <functional>
#include <span>

#include "fs/inode.hpp"
#include "fs/probe_table.hpp"

namespace ovaline::fs {

namespace {

std::size_t hash_name(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

std::size_t hash_of(const INode* node) {
    return hash_name(node->name);
}

// Shared by every directory in the process, so no two states of any directories share
// a stamp, not even across a table freed and made again or a copied filesystem.
std::uint64_t next_stamp() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

} // namespace

INode* NameIndex::find(std::string_view name) const {
    if (!table_) {
        return nullptr;
    }
    const std::span slots(table_->slots.get(), table_->mask + 1);
    return slots[probe_table::find(slots, hash_name(name),
                                   [&](const INode* node) { return node->name == name; })];
}

void NameIndex::insert(INode* node) {
    if (!table_ || probe_table::must_grow(table_->size, table_->mask + 1)) {
        grow();
    }
    const std::span slots(table_->slots.get(), table_->mask + 1);
    slots[probe_table::free_slot(slots, hash_name(node->name))] = node;
    ++table_->size;
    table_->stamp = next_stamp();
}

void NameIndex::erase(std::string_view name) {
    if (!table_) {
        return;
    }
    const std::span slots(table_->slots.get(), table_->mask + 1);
    const std::size_t i = probe_table::find(slots, hash_name(name),
                                            [&](const INode* node) { return node->name == name; });
    if (slots[i] == nullptr) {
        return;
    }
    probe_table::take(slots, i, hash_of);
    if (--table_->size == 0) {
        table_.reset();
    } else {
        table_->stamp = next_stamp();
    }
}

void NameIndex::grow() {
    const std::size_t capacity = table_ ? (table_->mask + 1) * 2 : 8;
    auto next = std::make_unique<Table>();
    next->mask = capacity - 1;
    next->slots = std::make_unique<INode*[]>(capacity);
    if (table_) {
        probe_table::move_all(std::span(table_->slots.get(), table_->mask + 1),
                              std::span(next->slots.get(), capacity), hash_of);
        next->size = table_->size;
    }
    table_ = std::move(next);
}

} // namespace ovaline::fs
