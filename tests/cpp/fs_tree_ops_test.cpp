#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/file_handle.hpp"

using namespace ovaline::fs;

namespace {

IoErrorKind kind_of(const auto& result) {
    return result.error().kind();
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string text_of(const FileSystem& fs, std::string_view path) {
    auto bytes = fs.read_file(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<" + bytes.error().debug() + ">";
}

FileHandleType mode(std::string_view text) {
    return *FileHandleType::from_str(text);
}

} // namespace

TEST(WholeFiles, WriteCreatesReplacesAndObeysTheFileLock) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->write_file("/f", bytes_of("hello")));
    EXPECT_EQ(text_of(*fs, "/f"), "hello");
    ASSERT_TRUE(fs->write_file("f", bytes_of("hi")));
    EXPECT_EQ(text_of(*fs, "/f"), "hi");
    EXPECT_EQ(kind_of(fs->write_file("/nope/f", bytes_of("x"))), IoErrorKind::InodeNotFound);
    ASSERT_TRUE(fs->mkdir("/d"));
    EXPECT_EQ(kind_of(fs->write_file("/d", bytes_of("x"))), IoErrorKind::NotAFile);
    EXPECT_EQ(kind_of(fs->read_file("/d")), IoErrorKind::NotAFile);
    {
        auto reader = FileSystem::open(fs, "/f", mode("r"), false);
        ASSERT_TRUE(reader);
        EXPECT_EQ(kind_of(fs->write_file("/f", bytes_of("x"))), IoErrorKind::ResourceCurrentInUse);
        EXPECT_EQ(text_of(*fs, "/f"), "hi");
    }
    {
        auto writer = FileSystem::open(fs, "/f", mode("w"), false);
        ASSERT_TRUE(writer);
        EXPECT_EQ(kind_of(fs->read_file("/f")), IoErrorKind::ResourceCurrentInUse);
        EXPECT_EQ(kind_of(fs->read_file_raw(fs->get_inode_by_path_raw("/f").value())),
                  IoErrorKind::ResourceCurrentInUse);
    }
    EXPECT_EQ(text_of(*fs, "/f"), "hi");
    // By id, as by path.
    const auto bytes = fs->read_file_raw(fs->get_inode_by_path_raw("/f").value());
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "hi");
    EXPECT_EQ(kind_of(fs->read_file_raw(fs->get_inode_by_path_raw("/d").value())),
              IoErrorKind::NotAFile);
    EXPECT_EQ(kind_of(fs->read_file_raw(999)), IoErrorKind::InodeNotFound);
}

TEST(Queries, StatAndKind) {
    FileSystem fs;
    ASSERT_TRUE(fs.makedirs("/d/e", false));
    ASSERT_TRUE(fs.write_file("/d/f", bytes_of("abc")));
    auto dir = fs.stat("/d");
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->kind, NodeKind::Directory);
    EXPECT_EQ(dir->entries, 2u);
    EXPECT_EQ(dir->size, 0u);
    auto file = fs.stat("d/f");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->kind, NodeKind::File);
    EXPECT_EQ(file->size, 3u);
    EXPECT_EQ(file->id, fs.get_inode_by_path_raw("/d/f"));
    EXPECT_EQ(fs.kind("/"), NodeKind::Directory);
    EXPECT_EQ(kind_of(fs.kind("/d/f/x")), IoErrorKind::NotADirectory);
    EXPECT_EQ(kind_of(fs.stat("/x")), IoErrorKind::InodeNotFound);
}

TEST(Makedirs, CreatesWhatIsMissingAllAtOnce) {
    FileSystem fs(Limits{Limits::kUnlimited, 4});
    ASSERT_TRUE(fs.makedirs("/a/b", false));
    EXPECT_EQ(fs.kind("/a/b"), NodeKind::Directory);
    EXPECT_EQ(kind_of(fs.makedirs("a/b/", false)), IoErrorKind::ResourceAlreadyExists);
    EXPECT_TRUE(fs.makedirs("a/b/", true));
    EXPECT_TRUE(fs.makedirs("/", true));
    // Two more would pass the limit of four inodes: neither appears.
    EXPECT_EQ(kind_of(fs.makedirs("/a/b/c/d", false)), IoErrorKind::NoSpaceLeft);
    EXPECT_EQ(kind_of(fs.kind("/a/b/c")), IoErrorKind::InodeNotFound);
    EXPECT_TRUE(fs.makedirs("/a/./b/../c", false));
    EXPECT_EQ(fs.kind("/a/c"), NodeKind::Directory);
    EXPECT_EQ(fs.usage().inodes, 4u);
}

TEST(Makedirs, FilesInTheWay) {
    FileSystem fs;
    ASSERT_TRUE(fs.touch("/f"));
    EXPECT_EQ(kind_of(fs.makedirs("/f", true)), IoErrorKind::ResourceAlreadyExists);
    EXPECT_EQ(kind_of(fs.makedirs("/f/g", true)), IoErrorKind::NotADirectory);
    std::string deep;
    for (int i = 0; i < 64; ++i) {
        deep += "/d";
    }
    ASSERT_TRUE(fs.makedirs(deep, false));
    EXPECT_EQ(kind_of(fs.makedirs(deep + "/d", false)), IoErrorKind::MaxRecursionDepthExceeded);
}

TEST(Rename, MovesKeepIdsAndOpenHandles) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->makedirs("/a/b", false));
    ASSERT_TRUE(fs->write_file("/a/b/f", bytes_of("data")));
    const auto file_id = *fs->get_inode_by_path_raw("/a/b/f");
    auto handle = FileSystem::open(fs, "/a/b/f", mode("rw"), false);
    ASSERT_TRUE(handle);
    ASSERT_TRUE(fs->mkdir("/z"));
    ASSERT_TRUE(fs->rename("/a", "/z/moved", false));
    EXPECT_EQ(kind_of(fs->kind("/a")), IoErrorKind::InodeNotFound);
    EXPECT_EQ(fs->get_inode_by_path_raw("/z/moved/b/f"), file_id);
    EXPECT_EQ(fs->get_path_by_inode(file_id), "/z/moved/b/f");
    EXPECT_EQ(fs->lookup(file_id)->depth, 4);
    ASSERT_TRUE(handle->write(bytes_of("DA")));
    ASSERT_TRUE(handle->close());
    EXPECT_EQ(text_of(*fs, "/z/moved/b/f"), "DAta");
    // Renaming onto itself changes nothing.
    EXPECT_TRUE(fs->rename("/z/moved", "/z/moved", false));
    EXPECT_TRUE(fs->rename("/z/moved/b/f", "/z/moved/b/g", false));
    EXPECT_EQ(fs->get_inode_by_path_raw("/z/moved/b/g"), file_id);
}

TEST(Rename, Refusals) {
    FileSystem fs;
    ASSERT_TRUE(fs.makedirs("/a/b", false));
    ASSERT_TRUE(fs.makedirs("/e", false));
    ASSERT_TRUE(fs.makedirs("/full/x", false));
    ASSERT_TRUE(fs.touch("/f"));
    ASSERT_TRUE(fs.touch("/g"));
    ASSERT_TRUE(fs.touch("/e/h"));
    struct Case {
        const char* src;
        const char* dst;
        bool replace;
        IoErrorKind error;
    };
    const Case cases[] = {
        {"/a", "/a/b/c", false, IoErrorKind::MoveIntoItself},
        {"/a", "/a/c", true, IoErrorKind::MoveIntoItself},
        {"/", "/r", false, IoErrorKind::MoveIntoItself},
        {"/missing", "/m", false, IoErrorKind::InodeNotFound},
        {"/f", "/missing/f", false, IoErrorKind::InodeNotFound},
        {"/f", "/g/f", false, IoErrorKind::NotADirectory},
        {"/f", "/g", false, IoErrorKind::ResourceAlreadyExists},
        {"/a", "/e", false, IoErrorKind::ResourceAlreadyExists},
        {"/a", "/full", true, IoErrorKind::DirectoryIsNotEmpty},
        {"/a", "/g", true, IoErrorKind::NotADirectory},
        {"/f", "/e", true, IoErrorKind::NotAFile},
        {"/f", "/", false, IoErrorKind::ResourceAlreadyExists},
        // Onto the directory that holds the source, which is never empty.
        {"/a/b", "/a", true, IoErrorKind::DirectoryIsNotEmpty},
        {"/full/x", "/full", true, IoErrorKind::DirectoryIsNotEmpty},
        {"/e/h", "/e", true, IoErrorKind::NotAFile},
    };
    const std::string before = fs.debug_string();
    for (const Case& c : cases) {
        auto result = fs.rename(c.src, c.dst, c.replace);
        ASSERT_FALSE(result) << c.src << " -> " << c.dst;
        EXPECT_EQ(kind_of(result), c.error) << c.src << " -> " << c.dst;
    }
    EXPECT_EQ(fs.debug_string(), before);
}

TEST(Rename, ReplacesAFreeFileOrAnEmptyDirectory) {
    auto fs = FileSystem::create(Limits{100, Limits::kUnlimited});
    ASSERT_TRUE(fs->write_file("/f", bytes_of("new")));
    ASSERT_TRUE(fs->write_file("/g", bytes_of("old!")));
    {
        auto held = FileSystem::open(fs, "/g", mode("r"), false);
        EXPECT_EQ(kind_of(fs->rename("/f", "/g", true)), IoErrorKind::ResourceCurrentInUse);
    }
    ASSERT_TRUE(fs->rename("/f", "/g", true));
    EXPECT_EQ(text_of(*fs, "/g"), "new");
    EXPECT_EQ(fs->usage().bytes, 3u);
    EXPECT_EQ(fs->usage().inodes, 2u);
    ASSERT_TRUE(fs->makedirs("/a/x", false));
    ASSERT_TRUE(fs->mkdir("/e"));
    ASSERT_TRUE(fs->rename("/a", "/e", true));
    EXPECT_EQ(fs->kind("/e/x"), NodeKind::Directory);
}

TEST(Rename, DepthLimitCountsTheMovedSubtree) {
    FileSystem fs;
    std::string deep;
    for (int i = 0; i < 63; ++i) {
        deep += "/d";
    }
    ASSERT_TRUE(fs.makedirs(deep, false));
    ASSERT_TRUE(fs.makedirs("/t/u", false));
    EXPECT_EQ(kind_of(fs.rename("/t", deep + "/t", false)), IoErrorKind::MaxRecursionDepthExceeded);
    auto moved = fs.rename("/t/u", deep + "/u", false);
    ASSERT_TRUE(moved) << moved.error().debug();
    EXPECT_EQ(fs.lookup(*fs.get_inode_by_path_raw(deep + "/u"))->depth, 64);
}

TEST(Rename, AndCopyFromADirectory) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->makedirs("/a/b", false));
    ASSERT_TRUE(fs->write_file("/a/f", bytes_of("x")));
    const InodeId a = fs->get_inode_by_path_raw("/a").value();
    ASSERT_TRUE(fs->rename("f", "b/g", false, a));
    EXPECT_EQ(text_of(*fs, "/a/b/g"), "x");
    ASSERT_TRUE(fs->copy("b", "/c", true, a));
    EXPECT_EQ(text_of(*fs, "/c/g"), "x");
    ASSERT_TRUE(fs->rename("/c", "c", false, a));
    EXPECT_EQ(text_of(*fs, "/a/c/g"), "x");
    EXPECT_EQ(kind_of(fs->rename("b/..", "d", false, a)), IoErrorKind::MoveIntoItself);
    EXPECT_EQ(kind_of(fs->copy("nope", "d", true, a)), IoErrorKind::InodeNotFound);
}

TEST(Copy, FilesAndTreesUnderNewIds) {
    FileSystem fs;
    ASSERT_TRUE(fs.makedirs("/a/b", false));
    ASSERT_TRUE(fs.write_file("/a/b/f", bytes_of("one")));
    ASSERT_TRUE(fs.write_file("/a/g", bytes_of("two")));
    ASSERT_TRUE(fs.copy("/a/g", "/h", false));
    EXPECT_EQ(text_of(fs, "/h"), "two");
    EXPECT_NE(fs.get_inode_by_path_raw("/h"), fs.get_inode_by_path_raw("/a/g"));
    EXPECT_EQ(kind_of(fs.copy("/a", "/c", false)), IoErrorKind::NotAFile);
    EXPECT_EQ(kind_of(fs.copy("/a", "/a/b/c", true)), IoErrorKind::MoveIntoItself);
    EXPECT_EQ(kind_of(fs.copy("/a/g", "/h", false)), IoErrorKind::ResourceAlreadyExists);
    ASSERT_TRUE(fs.copy("/a", "/c", true));
    EXPECT_EQ(text_of(fs, "/c/b/f"), "one");
    EXPECT_EQ(text_of(fs, "/c/g"), "two");
    ASSERT_TRUE(fs.write_file("/c/g", bytes_of("changed")));
    EXPECT_EQ(text_of(fs, "/a/g"), "two");
    const auto listing = fs.ls_raw(*fs.get_inode_by_path_raw("/c"));
    EXPECT_EQ(listing->directories, std::vector<std::string>{"b"});
    EXPECT_EQ(listing->files, std::vector<std::string>{"g"});
    EXPECT_EQ(fs.usage().inodes, 10u);
    EXPECT_EQ(fs.usage().bytes, 19u);
}

TEST(Limits, NothingChangesWhenALimitWouldBePassed) {
    auto fs = FileSystem::create(Limits{10, 4});
    ASSERT_TRUE(fs->write_file("/f", bytes_of("12345678")));
    EXPECT_EQ(kind_of(fs->write_file("/g", bytes_of("123"))), IoErrorKind::NoSpaceLeft);
    EXPECT_EQ(kind_of(fs->kind("/g")), IoErrorKind::InodeNotFound);
    EXPECT_EQ(kind_of(fs->copy("/f", "/g", false)), IoErrorKind::NoSpaceLeft);
    {
        auto handle = FileSystem::open(fs, "/f", mode("w"), false);
        ASSERT_TRUE(handle);
        ASSERT_TRUE(handle->seek(SeekOrigin::End, 0));
        EXPECT_EQ(kind_of(handle->write(bytes_of("abc"))), IoErrorKind::NoSpaceLeft);
        EXPECT_TRUE(handle->write(bytes_of("ab")));
        EXPECT_EQ(kind_of(handle->truncate(11)), IoErrorKind::NoSpaceLeft);
        EXPECT_TRUE(handle->truncate(2));
    }
    EXPECT_EQ(text_of(*fs, "/f"), "12");
    ASSERT_TRUE(fs->touch("/a"));
    ASSERT_TRUE(fs->mkdir("/b"));
    EXPECT_EQ(kind_of(fs->touch("/c")), IoErrorKind::NoSpaceLeft);
    EXPECT_EQ(kind_of(FileSystem::open(fs, "/c", mode("w"), true)), IoErrorKind::NoSpaceLeft);
    EXPECT_EQ(fs->usage().inodes, 4u);
    ASSERT_TRUE(fs->rm("/f", false));
    EXPECT_EQ(fs->usage().bytes, 0u);
    EXPECT_EQ(fs->usage().inodes, 3u);
}

TEST(TreeRemoval, AccountsExactlyForWhatWentAndSparesWhatALinkLeadsTo) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/keep"));
    ASSERT_TRUE(fs->write_file("/keep/f", bytes_of("kept")));
    ASSERT_TRUE(fs->makedirs("/t/a/b", false));
    ASSERT_TRUE(fs->write_file("/t/a/b/x", bytes_of("12345")));
    ASSERT_TRUE(fs->write_file("/t/a/y", bytes_of("678")));
    ASSERT_TRUE(fs->mkdir("/t/c"));
    ASSERT_TRUE(fs->write_file("/t/c/held", bytes_of("90")));
    ASSERT_TRUE(fs->touch("/t/c/z"));
    // A link to the root inside the tree: removing the tree removes the link only.
    ASSERT_TRUE(
        fs->create_inode(*fs->get_inode_by_path_raw("/t"), "up", Symlink{FileSystem::kRoot}));

    {
        auto held = FileSystem::open(fs, "/t/c/held", mode("r"), false);
        ASSERT_TRUE(held);
        // Everything before the held file in listing order goes, the rest stays.
        EXPECT_EQ(kind_of(fs->rm("/t", true)), IoErrorKind::ResourceCurrentInUse);
        EXPECT_FALSE(fs->get_inode_by_path_raw("/t/a"));
        EXPECT_TRUE(fs->get_inode_by_path_raw("/t/c/z"));
        EXPECT_EQ(text_of(*fs, "/t/c/held"), "90");
        EXPECT_EQ(fs->usage().bytes, 4u + 2u);
        EXPECT_EQ(fs->usage().inodes, fs->inode_count());
    }
    ASSERT_TRUE(fs->rm("/t", true));
    EXPECT_EQ(text_of(*fs, "/keep/f"), "kept");
    EXPECT_EQ(fs->usage().bytes, 4u);
    EXPECT_EQ(fs->usage().inodes, 3u);
    EXPECT_EQ(fs->inode_count(), 3u);
    auto listing = fs->ls_raw(FileSystem::kRoot);
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->directories, std::vector<std::string>{"keep"});
}
