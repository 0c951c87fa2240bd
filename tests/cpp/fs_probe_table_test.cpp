#include <gtest/gtest.h>

#include <random>
#include <set>
#include <span>
#include <vector>

#include "fs/inode_table.hpp"
#include "fs/probe_table.hpp"

namespace {

namespace probe_table = ovaline::fs::probe_table;

// Entries are positive ints (0 is empty); few distinct hashes, so runs collide, wrap
// around the end and interleave, which is where backward-shift deletion can go wrong.
std::size_t hash(const int& value) {
    return static_cast<std::size_t>(value % 5) * 7 + 13;
}

struct Table {
    std::vector<int> slots = std::vector<int>(8);
    std::size_t size = 0;

    std::size_t find(int value) {
        return probe_table::find(std::span(slots), hash(value),
                                 [value](int slot) { return slot == value; });
    }
    void insert(int value) {
        if (probe_table::must_grow(size, slots.size())) {
            std::vector<int> next(slots.size() * 2);
            probe_table::move_all(std::span(slots), std::span(next), hash);
            slots = std::move(next);
        }
        slots[probe_table::free_slot(std::span(slots), hash(value))] = value;
        ++size;
    }
    void erase(int value) {
        const std::size_t i = find(value);
        if (slots[i] != 0) {
            EXPECT_EQ(probe_table::take(std::span(slots), i, hash), value);
            --size;
        }
    }
};

TEST(ProbeTable, AgreesWithASetThroughInsertsErasesAndGrowth) {
    std::mt19937 random(7);
    Table table;
    std::set<int> model;
    for (int step = 0; step < 5000; ++step) {
        const int value = static_cast<int>(random() % 60) + 1;
        if (random() % 3 == 0 || model.contains(value)) {
            table.erase(value);
            model.erase(value);
        } else {
            table.insert(value);
            model.insert(value);
        }
        ASSERT_EQ(table.size, model.size());
        for (int v = 1; v <= 60; ++v) {
            ASSERT_EQ(table.slots[table.find(v)] == v, model.contains(v))
                << "value " << v << " at step " << step;
        }
    }
    EXPECT_GE(table.slots.size(), 64u);
}

} // namespace

namespace {

using ovaline::fs::Directory;
using ovaline::fs::INode;
using ovaline::fs::INodeGuard;
using ovaline::fs::InodeTable;

} // namespace

// Batches small and large against the table (which closes each hole on its own for a
// small batch and places the rest anew for a large one): what stays is still found, what
// went is not, and a guard held elsewhere keeps its inode readable after the table lets go.
TEST(InodeTableBatches, RemovingABatchKeepsTheRestReachable) {
    for (const std::size_t every : {1, 2, 5, 50}) {
        InodeTable table(16);
        constexpr std::uint64_t kCount = 3000;
        std::vector<INode*> batch;
        std::vector<INodeGuard> held;
        for (std::uint64_t id = 1; id <= kCount; ++id) {
            auto node = ovaline::fs::make_inode(id, 0, 1, "n" + std::to_string(id), Directory{});
            if (id % every == 0) {
                batch.push_back(node.get());
                if (id % 7 == 0) {
                    held.push_back(node);
                }
            }
            ASSERT_EQ(table.insert(std::move(node)), nullptr);
        }
        // An inode not in the table is passed over.
        auto stranger = ovaline::fs::make_inode(kCount + 1, 0, 1, "x", Directory{});
        batch.push_back(stranger.get());
        table.remove_all(batch);
        EXPECT_EQ(table.size(), kCount - kCount / every) << every;
        for (std::uint64_t id = 1; id <= kCount; ++id) {
            EXPECT_EQ(table.get(id) == nullptr, id % every == 0) << id << " every " << every;
        }
        for (const INodeGuard& node : held) {
            EXPECT_EQ(node->name, "n" + std::to_string(node->id));
            EXPECT_EQ(node->refs.load(), 1u);
        }
        EXPECT_EQ(stranger->refs.load(), 1u);
    }
}
