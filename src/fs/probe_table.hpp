#pragma once

#include <cstddef>
#include <span>
#include <utility>

namespace ovaline::fs::probe_table {

// The core of the open-addressing tables: linear probing over a power-of-two array of
// slots, where a slot tests false when empty. Each table keeps its own storage, hash
// and key; `hash(slot)` gives an occupied slot's full hash, and the core masks it.

// Whether a table of `size` entries grows before taking one more. At three quarters
// full at most, every probe ends at an empty slot.
constexpr bool must_grow(std::size_t size, std::size_t capacity) {
    return (size + 1) * 4 > capacity * 3;
}

// The slot of the entry that `matches`, or the empty slot where the probe from `hash`
// ended.
template <class Slot, class Matches>
std::size_t find(std::span<Slot> slots, std::size_t hash, Matches&& matches) {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        if (!slots[i] || matches(slots[i])) {
            return i;
        }
    }
}

// The empty slot where a new entry of this hash goes.
template <class Slot> std::size_t free_slot(std::span<Slot> slots, std::size_t hash) {
    return find(slots, hash, [](const Slot&) { return false; });
}

// Moves every entry of `from` into `to`, which is empty.
template <class Slot, class Hash>
void move_all(std::span<Slot> from, std::span<Slot> to, const Hash& hash) {
    for (Slot& slot : from) {
        if (slot) {
            to[free_slot(to, hash(slot))] = std::move(slot);
        }
    }
}

// Takes the entry out of slot `index`. Backward-shift deletion moves later entries of
// the probe run back into the hole, so no tombstones are left and every entry stays
// reachable from its home slot.
template <class Slot, class Hash>
Slot take(std::span<Slot> slots, std::size_t index, const Hash& hash) {
    const std::size_t mask = slots.size() - 1;
    Slot taken = std::move(slots[index]);
    std::size_t hole = index;
    for (std::size_t j = (hole + 1) & mask; slots[j]; j = (j + 1) & mask) {
        const std::size_t home = hash(slots[j]) & mask;
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            slots[hole] = std::move(slots[j]);
            hole = j;
        }
    }
    slots[hole] = Slot{};
    return taken;
}

} // namespace ovaline::fs::probe_table
