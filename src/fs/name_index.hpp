#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace ovaline::fs {

struct INode;

// The name-to-entry index of one directory: an open-addressing set of the entries
// themselves, keyed by their names. It stores plain pointers; an entry is taken out
// under the directory's write lock before the entry can be destroyed. Eight bytes
// while empty, so an empty directory costs almost nothing.
class NameIndex {
  public:
    NameIndex() = default;
    NameIndex(NameIndex&&) noexcept = default;
    NameIndex& operator=(NameIndex&&) noexcept = default;

    INode* find(std::string_view name) const;
    // The name must not be present.
    void insert(INode* node);
    void erase(std::string_view name);
    void clear() { table_.reset(); }
    std::size_t size() const { return table_ ? table_->size : 0; }
    // Changes with every insertion and erasure and is never the same for two different
    // sets of entries in the process, so an equal stamp means an unchanged directory;
    // 0 while empty.
    std::uint64_t stamp() const { return table_ ? table_->stamp : 0; }

  private:
    struct Table {
        std::size_t size = 0;
        std::size_t mask = 0;
        std::uint64_t stamp = 0;
        std::unique_ptr<INode*[]> slots;
    };
    void grow();

    std::unique_ptr<Table> table_;
};

} // namespace ovaline::fs
