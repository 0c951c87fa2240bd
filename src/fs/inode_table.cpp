#include "fs/inode_table.hpp"

#include <bit>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <utility>
#include <vector>

#include "fs/probe_table.hpp"

namespace ovaline::fs {

namespace {

// Ids are sequential; mixing spreads them over shards and slots alike.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// The mix's low bits pick the shard; the bits above them spread the shard's slots.
std::size_t slot_hash(InodeId id) {
    return mix(id) >> 4;
}
std::size_t slot_hash_of(const INode* node) {
    return slot_hash(node->id);
}

// Stands in a slot whose entry a batch has taken out, until the batch has found all of
// its own: unlike an empty slot it does not end a probe. Never a real inode's address.
INode* const kTaken = reinterpret_cast<INode*>(alignof(INode));

} // namespace

// One shard: open addressing with linear probing over inodes keyed by their ids. Each
// slot holds one count of its inode, given back when the entry leaves the table.
struct InodeTable::Shard {
    mutable RwLock mutex;
    std::vector<INode*> slots;
    std::size_t size = 0;

    std::size_t find_slot(InodeId id) const {
        return probe_table::find(std::span(slots), slot_hash(id),
                                 [id](const INode* node) { return node->id == id; });
    }

    // Empties the slots marked kTaken and places every other entry again.
    void replace_all() {
        std::vector<INode*> rest;
        rest.reserve(size);
        for (INode*& slot : slots) {
            if (slot != nullptr && slot != kTaken) {
                rest.push_back(slot);
            }
            slot = nullptr;
        }
        for (INode* node : rest) {
            slots[probe_table::free_slot(std::span(slots), slot_hash_of(node))] = node;
        }
    }

    void grow() {
        std::vector<INode*> next(slots.size() * 2);
        probe_table::move_all(std::span(slots), std::span(next), slot_hash_of);
        slots = std::move(next);
    }
};

InodeTable::InodeTable(std::size_t initial_buckets) : shards_(std::make_unique<Shard[]>(kShards)) {
    const std::size_t per_shard =
        std::bit_ceil(std::max<std::size_t>(initial_buckets / kShards, 4));
    for (std::size_t i = 0; i < kShards; ++i) {
        shards_[i].slots.resize(per_shard);
    }
}

InodeTable::~InodeTable() {
    for (std::size_t s = 0; s < kShards; ++s) {
        for (INode* node : shards_[s].slots) {
            INodeGuard::adopt(node);
        }
    }
}

InodeTable::Shard& InodeTable::shard_of(InodeId id) const {
    return shards_[mix(id) & (kShards - 1)];
}

INodeGuard InodeTable::get(InodeId id) const {
    const Shard& shard = shard_of(id);
    std::shared_lock lock(shard.mutex);
    return INodeGuard(shard.slots[shard.find_slot(id)]);
}

INodeGuard InodeTable::insert(INodeGuard node) {
    Shard& shard = shard_of(node->id);
    std::unique_lock lock(shard.mutex);
    std::size_t i = shard.find_slot(node->id);
    if (shard.slots[i] != nullptr) {
        return INodeGuard::adopt(std::exchange(shard.slots[i], node.release()));
    }
    if (probe_table::must_grow(shard.size, shard.slots.size())) {
        shard.grow();
        i = shard.find_slot(node->id);
    }
    shard.slots[i] = node.release();
    ++shard.size;
    return nullptr;
}

INodeGuard InodeTable::remove(InodeId id) {
    Shard& shard = shard_of(id);
    INodeGuard taken;
    {
        std::unique_lock lock(shard.mutex);
        const std::size_t i = shard.find_slot(id);
        if (shard.slots[i] == nullptr) {
            return nullptr;
        }
        taken = INodeGuard::adopt(probe_table::take(std::span(shard.slots), i, slot_hash_of));
        --shard.size;
    }
    // The caller drops the inode, outside the shard's lock.
    return taken;
}

void InodeTable::remove_all(std::span<INode* const> nodes) {
    // A few entries, as a single removal has, take one shard's lock each.
    if (nodes.size() < kFew) {
        for (INode* node : nodes) {
            Shard& shard = shard_of(node->id);
            {
                std::unique_lock lock(shard.mutex);
                const std::span slots(shard.slots);
                const std::size_t i = probe_table::find(
                    slots, slot_hash(node->id), [&](const INode* slot) { return slot == node; });
                if (slots[i] == nullptr) {
                    continue;
                }
                probe_table::take(slots, i, slot_hash_of);
                --shard.size;
            }
            INodeGuard::adopt(node);
        }
        return;
    }
    std::array<std::unique_lock<RwLock>, kShards> locks;
    std::size_t size = 0;
    // In shard order, as no other caller ever holds two shard locks.
    for (std::size_t s = 0; s < kShards; ++s) {
        locks[s] = std::unique_lock(shards_[s].mutex);
        size += shards_[s].size;
    }
    // Taking out a good part of the table, the slots are marked as they are found and
    // the rest placed anew in one pass, rather than each hole closed on its own.
    const bool replace_rest = nodes.size() * 4 >= size;
    // Inodes and slots lie all over memory: each inode is fetched two steps before its
    // slot, and each slot a step before its turn, so their misses overlap. Visiting them
    // in the caller's order frees them in that order too, which is kinder to the heap.
    constexpr std::size_t kAhead = 8;
    auto slot_of = [&](const INode* node) {
        const std::uint64_t hash = mix(node->id);
        const Shard& shard = shards_[hash & (kShards - 1)];
        return std::pair(&shard, (hash >> 4) & (shard.slots.size() - 1));
    };
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        if (k + 2 * kAhead < nodes.size()) {
            __builtin_prefetch(nodes[k + 2 * kAhead]);
        }
        if (k + kAhead < nodes.size()) {
            const auto [shard, home] = slot_of(nodes[k + kAhead]);
            __builtin_prefetch(&shard->slots[home]);
        }
        INode* node = nodes[k];
        const std::uint64_t hash = mix(node->id);
        Shard& shard = shards_[hash & (kShards - 1)];
        const std::span slots(shard.slots);
        // Found by address, so no other inode in the probe is read.
        const std::size_t i =
            probe_table::find(slots, hash >> 4, [&](const INode* slot) { return slot == node; });
        if (slots[i] == nullptr) {
            continue;
        }
        if (replace_rest) {
            slots[i] = kTaken;
        } else {
            probe_table::take(slots, i, slot_hash_of);
        }
        --shard.size;
        // Dropped here, while the inode is at hand: destroying one takes no lock.
        INodeGuard::adopt(node);
    }
    if (replace_rest) {
        for (std::size_t s = 0; s < kShards; ++s) {
            shards_[s].replace_all();
        }
    }
}

void InodeTable::for_each(const std::function<void(const INodeGuard&)>& visit) const {
    for (std::size_t s = 0; s < kShards; ++s) {
        std::vector<INodeGuard> entries;
        {
            std::shared_lock lock(shards_[s].mutex);
            for (INode* node : shards_[s].slots) {
                if (node != nullptr) {
                    entries.emplace_back(node);
                }
            }
        }
        for (const auto& node : entries) {
            visit(node);
        }
    }
}

std::size_t InodeTable::size() const {
    std::size_t total = 0;
    for (std::size_t s = 0; s < kShards; ++s) {
        std::shared_lock lock(shards_[s].mutex);
        total += shards_[s].size;
    }
    return total;
}

} // namespace ovaline::fs
