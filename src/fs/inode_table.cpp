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

void InodeTable::remove_all(std::span<INode*> nodes) {
    // Inodes and slots lie all over memory: each is fetched a few steps before its turn,
    // so their misses overlap. Sorted by shard first, so each shard's lock is taken once.
    constexpr std::size_t kAhead = 8;
    struct Leaving {
        INode** node;
        std::uint64_t hash;
    };
    std::vector<Leaving> leaving(nodes.size());
    std::array<std::size_t, kShards + 1> starts{};
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        if (k + kAhead < nodes.size()) {
            __builtin_prefetch(nodes[k + kAhead]);
        }
        leaving[k] = {&nodes[k], mix(nodes[k]->id)};
        ++starts[(leaving[k].hash & (kShards - 1)) + 1];
    }
    for (std::size_t s = 1; s <= kShards; ++s) {
        starts[s] += starts[s - 1];
    }
    std::vector<Leaving> by_shard(nodes.size());
    auto next = starts;
    for (const Leaving& entry : leaving) {
        by_shard[next[entry.hash & (kShards - 1)]++] = entry;
    }
    for (std::size_t s = 0; s < kShards; ++s) {
        if (starts[s] == starts[s + 1]) {
            continue;
        }
        Shard& shard = shards_[s];
        std::unique_lock lock(shard.mutex);
        const std::size_t mask = shard.slots.size() - 1;
        for (std::size_t k = starts[s]; k < starts[s + 1]; ++k) {
            if (k + kAhead < starts[s + 1]) {
                __builtin_prefetch(&shard.slots[(by_shard[k + kAhead].hash >> 4) & mask]);
            }
            INode*& node = *by_shard[k].node;
            const std::size_t i = shard.find_slot(node->id);
            if (shard.slots[i] == node) {
                probe_table::take(std::span(shard.slots), i, slot_hash_of);
                --shard.size;
            } else {
                node = nullptr;
            }
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
