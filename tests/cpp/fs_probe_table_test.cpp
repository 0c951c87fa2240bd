#include <gtest/gtest.h>

#include <random>
#include <set>
#include <span>
#include <vector>

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
