#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/file_handle.hpp"

using namespace ovaline::fs;

namespace {

std::vector<std::uint8_t> read_all(const std::shared_ptr<FileSystem>& fs, const std::string& path) {
    auto handle = FileSystem::open(fs, path, FileHandleType(FileHandleType::READ), false);
    EXPECT_TRUE(handle) << path;
    std::vector<std::uint8_t> out(1 << 16);
    auto n = handle->read(out);
    EXPECT_TRUE(n);
    out.resize(*n);
    return out;
}

void write_all(const std::shared_ptr<FileSystem>& fs, const std::string& path,
               const std::vector<std::uint8_t>& bytes) {
    auto handle = FileSystem::open(fs, path, FileHandleType(FileHandleType::WRITE), true);
    ASSERT_TRUE(handle) << path;
    ASSERT_TRUE(handle->write(bytes));
}

std::set<std::string> names_in(const FileSystem& fs, const std::string& path) {
    auto listing = fs.ls_raw(*fs.get_inode_by_path_raw(path));
    std::set<std::string> names(listing->files.begin(), listing->files.end());
    names.insert(listing->directories.begin(), listing->directories.end());
    return names;
}

} // namespace

TEST(Snapshot, CloneIsIndependentAndKeepsIdsAndContents) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/d"));
    ASSERT_TRUE(fs->mkdir("/d/e"));
    write_all(fs, "/d/e/f", {1, 2, 3});
    EXPECT_EQ(fs->debug_string(), fs->clone()->debug_string());
    // An open writer in the original does not follow the file into the copy.
    auto writer = FileSystem::open(fs, "/d/e/f", FileHandleType(FileHandleType::WRITE), false);
    ASSERT_TRUE(writer);

    auto copy = fs->clone();
    EXPECT_EQ(*copy->get_inode_by_path_raw("/d/e/f"), *fs->get_inode_by_path_raw("/d/e/f"));
    EXPECT_EQ(read_all(copy, "/d/e/f"), (std::vector<std::uint8_t>{1, 2, 3}));

    ASSERT_TRUE(writer->write(std::vector<std::uint8_t>{9}));
    ASSERT_TRUE(copy->touch("/d/new"));
    ASSERT_TRUE(copy->rm("/d/e", true));
    EXPECT_EQ(read_all(copy, "/d/new"), std::vector<std::uint8_t>{});
    EXPECT_FALSE(fs->get_inode_by_path_raw("/d/new"));
    ASSERT_TRUE(writer->close());
    EXPECT_EQ(read_all(fs, "/d/e/f"), (std::vector<std::uint8_t>{9, 2, 3}));
    // New entries in either never take an id the other has used.
    EXPECT_GE(*copy->get_inode_by_path_raw("/d/new"), fs->next_inode_id());
}

TEST(Snapshot, AttachAddsEverythingOrNothing) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/dst"));
    ASSERT_TRUE(fs->touch("/dst/taken"));
    const InodeId dst = *fs->get_inode_by_path_raw("/dst");
    auto tree = [](std::string clashing) {
        std::vector<DetachedNode> entries(2);
        entries[0].name = "sub";
        entries[0].kind = DetachedNode::Kind::Directory;
        entries[0].children.push_back({"leaf", DetachedNode::Kind::File, {7, 8}, {}});
        entries[1].name = std::move(clashing);
        return entries;
    };
    const std::size_t before = fs->inode_count();
    EXPECT_EQ(fs->attach_detached(dst, tree("taken")).error().kind(),
              IoErrorKind::ResourceAlreadyExists);
    EXPECT_EQ(fs->inode_count(), before);
    EXPECT_EQ(names_in(*fs, "/dst"), std::set<std::string>{"taken"});

    ASSERT_TRUE(fs->attach_detached(dst, tree("free")));
    EXPECT_EQ(names_in(*fs, "/dst"), (std::set<std::string>{"taken", "sub", "free"}));
    EXPECT_EQ(read_all(fs, "/dst/sub/leaf"), (std::vector<std::uint8_t>{7, 8}));
    EXPECT_EQ(fs->inode_count(), before + 3);

    // Too deep a tree is refused whole.
    std::vector<DetachedNode> deep(1);
    DetachedNode* at = &deep[0];
    for (std::uint64_t i = 0; i < FileSystem::kMaxDepth; ++i) {
        at->name = "n";
        at->kind = DetachedNode::Kind::Directory;
        at = &at->children.emplace_back();
    }
    at->name = "n";
    EXPECT_EQ(fs->attach_detached(dst, std::move(deep)).error().kind(),
              IoErrorKind::MaxRecursionDepthExceeded);
    EXPECT_EQ(fs->inode_count(), before + 3);
}

// Tokens move one by one from /b to /a (created in /a, then removed from /b), so in
// every state the tree passes through each token is in one of the two, and every file's
// bytes are all one value. A copy taken meanwhile must show such a state. /m lies
// between the two, so a copy that stops nothing sees /a early and /b late.
TEST(Snapshot, CopiesUnderConcurrentWritersAreStatesThatExisted) {
    constexpr int kTokens = 400;
    constexpr std::size_t kFileSize = 4096;
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/a"));
    ASSERT_TRUE(fs->mkdir("/m"));
    ASSERT_TRUE(fs->mkdir("/b"));
    for (int i = 0; i < 2000; ++i) {
        write_all(fs, "/m/" + std::to_string(i), std::vector<std::uint8_t>(1024, 1));
    }
    for (int i = 0; i < kTokens; ++i) {
        ASSERT_TRUE(fs->touch("/b/" + std::to_string(i)));
    }
    write_all(fs, "/a/file", std::vector<std::uint8_t>(kFileSize, 0));

    std::atomic<bool> stop{false};
    std::thread mover([&] {
        for (int i = 0; i < kTokens && !stop; ++i) {
            const std::string name = std::to_string(i);
            ASSERT_TRUE(fs->touch("/a/" + name));
            ASSERT_TRUE(fs->rm("/b/" + name, false));
        }
    });
    std::thread writer([&] {
        auto handle = FileSystem::open(fs, "/a/file", FileHandleType(FileHandleType::WRITE), false);
        ASSERT_TRUE(handle);
        for (std::uint8_t value = 1; !stop; ++value) {
            ASSERT_TRUE(handle->seek(SeekOrigin::Start, 0));
            ASSERT_TRUE(handle->write(std::vector<std::uint8_t>(kFileSize, value)));
        }
    });

    for (int round = 0; round < 40; ++round) {
        const bool whole = round % 2 == 0;
        std::set<std::string> a;
        std::set<std::string> b;
        std::vector<std::uint8_t> bytes;
        if (whole) {
            auto copy = fs->clone();
            a = names_in(*copy, "/a");
            b = names_in(*copy, "/b");
            bytes = read_all(copy, "/a/file");
        } else {
            auto entries = fs->copy_out(FileSystem::kRoot);
            ASSERT_TRUE(entries);
            for (const DetachedNode& dir : *entries) {
                for (const DetachedNode& entry : dir.children) {
                    if (dir.name != "m") {
                        (dir.name == "a" ? a : b).insert(entry.name);
                    }
                    if (entry.name == "file") {
                        bytes = entry.data;
                    }
                }
            }
        }
        for (int i = 0; i < kTokens; ++i) {
            const std::string name = std::to_string(i);
            ASSERT_TRUE(a.contains(name) || b.contains(name)) << "token " << i << " lost";
        }
        ASSERT_EQ(bytes.size(), kFileSize);
        ASSERT_EQ(std::count(bytes.begin(), bytes.end(), bytes[0]), kFileSize) << "torn file";
    }
    stop = true;
    mover.join();
    writer.join();
}
