#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/file_handle.hpp"

using namespace ovaline::fs;

namespace {

constexpr int kThreads = 6;

// Checks the tree's invariants once no thread works on it any more.
void expect_consistent(const FileSystem& fs) {
    std::map<InodeId, int> listed;
    std::set<InodeId> present;
    for (InodeId id = 0; id < fs.next_inode_id(); ++id) {
        INodeGuard node = fs.lookup(id);
        if (!node) {
            continue;
        }
        present.insert(id);
        if (const auto* dir = std::get_if<Directory>(&node->data)) {
            std::set<std::string> names;
            std::size_t count = 0;
            dir->for_each([&](const INode& child) {
                ++count;
                ++listed[child.id];
                INodeGuard entry = fs.lookup(child.id);
                ASSERT_TRUE(entry) << "directory " << id << " lists missing " << child.id;
                EXPECT_EQ(entry.get(), &child);
                EXPECT_TRUE(names.emplace(entry->name.view()).second)
                    << "directory " << id << " lists " << entry->name.view() << " twice";
                EXPECT_EQ(entry->parent, id);
                EXPECT_EQ(entry->depth, node->depth + 1);
                EXPECT_EQ(dir->find(entry->name), entry.get());
            });
            EXPECT_EQ(dir->size(), count);
        }
    }
    for (InodeId id : present) {
        if (id != 0) {
            EXPECT_EQ(listed[id], 1) << "inode " << id << " is listed " << listed[id] << " times";
        }
    }
    EXPECT_EQ(fs.inode_count(), present.size());
    std::uint64_t bytes = 0;
    for (InodeId id : present) {
        if (const auto* file = std::get_if<File>(&fs.lookup(id)->data)) {
            bytes += file->data.data.size();
        }
    }
    EXPECT_EQ(fs.usage().bytes, bytes);
    EXPECT_EQ(fs.usage().inodes, present.size());
}

} // namespace

TEST(FileSystemStress, ConcurrentNamespaceChangesLeaveNoOrphans) {
    auto fs = FileSystem::create();
    const std::vector<std::string> dirs = {"/a", "/b", "/a/x", "/b/y"};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            for (int i = 0; i < 10000; ++i) {
                const std::string& dir = dirs[rng() % dirs.size()];
                const std::string name = dir + "/n" + std::to_string(rng() % 12);
                switch (rng() % 7) {
                case 0:
                    (void)fs->mkdir(dir);
                    break;
                case 1:
                    (void)fs->mkdir(name);
                    break;
                case 2:
                    (void)fs->touch(name);
                    break;
                case 3:
                    if (auto id = fs->get_inode_by_path_raw(dir)) {
                        (void)fs->ls_raw(*id);
                        (void)fs->get_path_by_inode(*id);
                    }
                    break;
                case 4:
                    (void)fs->rm(name, false);
                    break;
                case 5:
                    (void)fs->rm(dir, rng() % 4 == 0);
                    break;
                default:
                    (void)fs->get_inode_by_path_raw(name);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    expect_consistent(*fs);
}

TEST(FileSystemStress, SameNameCreatedOnceAcrossThreads) {
    auto fs = FileSystem::create();
    std::atomic<int> successes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (fs->touch("/f" + std::to_string(i))) {
                    ++successes;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(successes.load(), 200);
    expect_consistent(*fs);
}

TEST(FileSystemStress, FileLocksNeverAdmitTwoWriters) {
    auto fs = FileSystem::create();
    constexpr int kFiles = 3;
    struct Holders {
        std::atomic<int> writers{0};
        std::atomic<int> readers{0};
    };
    std::vector<Holders> holders(kFiles);
    std::atomic<bool> violated{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(100 + t);
            std::vector<std::uint8_t> buffer(16);
            const std::uint8_t payload[4] = {1, 2, 3, 4};
            for (int i = 0; i < 3000; ++i) {
                const int f = static_cast<int>(rng() % kFiles);
                const std::string path = "/f" + std::to_string(f);
                if (rng() % 10 == 0) {
                    (void)fs->rm(path, false);
                    continue;
                }
                const bool writing = rng() % 3 == 0;
                auto handle = FileSystem::open(fs, path, FileHandleType(writing ? 3 : 1), true);
                if (!handle) {
                    continue;
                }
                auto& mine = writing ? holders[f].writers : holders[f].readers;
                auto& others = writing ? holders[f].readers : holders[f].writers;
                const int before = mine.fetch_add(1);
                if ((writing && before != 0) || others.load() != 0) {
                    violated = true;
                }
                if (writing) {
                    (void)handle->write(payload);
                }
                (void)handle->seek(SeekOrigin::Current, rng() % 8);
                (void)handle->read(buffer);
                mine.fetch_sub(1);
                if (!handle->close()) {
                    violated = true;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(violated.load());
    for (InodeId id = 1; id < fs->next_inode_id(); ++id) {
        if (INodeGuard node = fs->lookup(id)) {
            EXPECT_EQ(std::get<File>(node->data).lock.flag.load(), 0) << id;
        }
    }
    expect_consistent(*fs);
}

TEST(FileSystemStress, RenamesCopiesAndRemovalsKeepTheTreeWhole) {
    auto fs = FileSystem::create(Limits{1 << 16, 400});
    const std::vector<std::string> places = {"/a", "/b", "/a/x", "/b/y", "/a/x/z"};
    const std::uint8_t payload[64] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(200 + t);
            auto pick = [&] {
                return places[rng() % places.size()] + "/n" + std::to_string(rng() % 4);
            };
            for (int i = 0; i < 4000; ++i) {
                switch (rng() % 8) {
                case 0:
                    (void)fs->makedirs(pick(), true);
                    break;
                case 1:
                case 2:
                    (void)fs->rename(rng() % 2 ? pick() : places[rng() % places.size()], pick(),
                                     rng() % 2 == 0);
                    break;
                case 3:
                    (void)fs->copy(pick(), pick(), true);
                    break;
                case 4:
                    (void)fs->write_file(pick(), std::span(payload, rng() % 64));
                    break;
                case 5:
                    (void)fs->rm(pick(), true);
                    break;
                case 6:
                    if (auto id = fs->get_inode_by_path_raw(pick())) {
                        (void)fs->get_path_by_inode(*id);
                    }
                    break;
                default:
                    (void)fs->mkdir(places[rng() % places.size()]);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    expect_consistent(*fs);
    EXPECT_LE(fs->usage().inodes, 400u);
    EXPECT_LE(fs->usage().bytes, 1u << 16);
}

// Large trees removed whole while other threads fill them, open their files, move
// entries out of them and clone the filesystem: a held file stops a removal, and nothing
// is lost, listed twice or miscounted.
TEST(FileSystemStress, WholeTreeRemovalsRaceWithFillingOpeningAndMoving) {
    auto fs = FileSystem::create();
    const std::uint8_t payload[16] = {};
    std::atomic<bool> violated{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(300 + t);
            for (int i = 0; i < 300; ++i) {
                const std::string top = "/t" + std::to_string(rng() % 2);
                const std::string dir = top + "/d" + std::to_string(rng() % 3);
                switch (t % 3) {
                case 0:
                    (void)fs->makedirs(dir, true);
                    for (int f = 0; f < 40; ++f) {
                        (void)fs->write_file(dir + "/f" + std::to_string(f), payload);
                    }
                    break;
                case 1:
                    if (rng() % 4 == 0) {
                        (void)fs->clone();
                    } else if (auto held =
                                   FileSystem::open(fs, dir + "/f" + std::to_string(rng() % 40),
                                                    FileHandleType(1), false)) {
                        // The file cannot go while held, wherever it is moved.
                        if (!fs->get_path_by_inode(*held->id())) {
                            violated = true;
                        }
                        (void)fs->rename(dir + "/f0", "/moved" + std::to_string(t), true);
                    }
                    break;
                default:
                    (void)fs->rm(top, true);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(violated.load());
    expect_consistent(*fs);
}
