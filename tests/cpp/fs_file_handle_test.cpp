#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "error/internal_error.hpp"
#include "fs/file_handle.hpp"

using namespace ovaline::fs;

namespace {

FileHandleType mode(const char* text) {
    return *FileHandleType::from_str(text);
}

std::span<const std::uint8_t> bytes_of(const char* text) {
    return {reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)};
}

std::int64_t flag_of(const FileSystem& fs, InodeId id) {
    return std::get<File>(fs.lookup(id)->data).lock.flag.load();
}

class FileHandles : public ::testing::Test {
  protected:
    std::shared_ptr<FileSystem> fs = FileSystem::create();

    FileHandle open(const char* path, const char* m) {
        auto handle = FileSystem::open(fs, path, mode(m), true);
        EXPECT_TRUE(handle) << path << " " << m;
        return std::move(*handle);
    }
    IoErrorKind open_error(const char* path, const char* m) {
        auto handle = FileSystem::open(fs, path, mode(m), true);
        EXPECT_FALSE(handle);
        return handle ? IoErrorKind::InvalidFileDescriptor : handle.error().kind();
    }
};

} // namespace

TEST(FileHandleTypeParse, AcceptsExactlyTheFiveModes) {
    EXPECT_EQ(mode("").bits(), FileHandleType::EMPTY);
    EXPECT_EQ(mode("r").bits(), FileHandleType::READ);
    EXPECT_EQ(mode("w").bits(), FileHandleType::WRITE);
    EXPECT_EQ(mode("rw"), mode("wr"));
    for (const char* bad : {"rr", "ww", "R", "r+", "a", " r", "rwr"}) {
        auto parsed = FileHandleType::from_str(bad);
        ASSERT_FALSE(parsed) << bad;
        EXPECT_EQ(parsed.error().message(), "Unrecognized file mode");
    }
    EXPECT_EQ(mode("").debug(), "FileHandleType(0x0)");
    EXPECT_EQ(mode("w").debug(), "FileHandleType(WRITE)");
    EXPECT_EQ(mode("wr").debug(), "FileHandleType(READ | WRITE)");
}

TEST_F(FileHandles, ReadersShareWritersExclude) {
    auto r1 = open("f", "r");
    auto r2 = open("f", "");
    EXPECT_EQ(flag_of(*fs, 1), 2);
    EXPECT_EQ(open_error("f", "w"), IoErrorKind::ResourceCurrentInUse);
    EXPECT_EQ(fs->rm("f", false).error().kind(), IoErrorKind::ResourceCurrentInUse);
    ASSERT_TRUE(r1.close());
    ASSERT_TRUE(r2.close());
    EXPECT_EQ(flag_of(*fs, 1), 0);
    {
        auto w = open("f", "rw");
        EXPECT_EQ(flag_of(*fs, 1), FileLock::WRITE_EXCLUSIVE);
        EXPECT_EQ(open_error("f", "r"), IoErrorKind::ResourceCurrentInUse);
        EXPECT_EQ(open_error("f", "wr"), IoErrorKind::ResourceCurrentInUse);
    }
    // Destroying the open handle released its lock.
    EXPECT_EQ(flag_of(*fs, 1), 0);
    ASSERT_TRUE(fs->rm("f", false));
}

TEST_F(FileHandles, RecursiveRemovalStopsAtAnOpenFile) {
    ASSERT_TRUE(fs->mkdir("d"));
    ASSERT_TRUE(fs->touch("d/a"));
    auto held = open("d/b", "r");
    ASSERT_TRUE(fs->touch("d/c"));
    EXPECT_EQ(fs->rm("d", true).error().kind(), IoErrorKind::ResourceCurrentInUse);
    EXPECT_FALSE(fs->get_inode_by_path_raw("d/a"));
    EXPECT_TRUE(fs->get_inode_by_path_raw("d/b"));
    EXPECT_TRUE(fs->get_inode_by_path_raw("d/c"));
}

TEST_F(FileHandles, OffsetRules) {
    auto h = open("f", "rw");
    EXPECT_EQ(h.write(bytes_of("abc")), 3u);
    EXPECT_EQ(h.offset(), 0u);
    EXPECT_EQ(h.write(bytes_of("xyz")), 3u);
    ASSERT_TRUE(h.seek(SeekOrigin::Start, 10));
    EXPECT_EQ(h.offset(), 3u);
    EXPECT_EQ(h.write(bytes_of("12")), 2u);
    ASSERT_TRUE(h.seek(SeekOrigin::End, 0));
    EXPECT_EQ(h.offset(), 5u);
    ASSERT_TRUE(h.seek(SeekOrigin::End, 2));
    EXPECT_EQ(h.offset(), 3u);
    ASSERT_TRUE(h.seek(SeekOrigin::End, 99));
    EXPECT_EQ(h.offset(), 0u);
    ASSERT_TRUE(h.seek(SeekOrigin::Current, 1));
    ASSERT_TRUE(h.seek(SeekOrigin::Current, UINT64_MAX));
    EXPECT_EQ(h.offset(), 5u);
    ASSERT_TRUE(h.seek(SeekOrigin::Start, 0));
    std::vector<std::uint8_t> buffer(10);
    EXPECT_EQ(h.read(buffer), 5u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "xyz12");
    EXPECT_EQ(h.read(buffer), 0u);
    EXPECT_EQ(h.offset(), 5u);
}

TEST_F(FileHandles, WritingPastTheEndFillsWithZeros) {
    auto w = open("f", "w");
    ASSERT_TRUE(w.write(bytes_of("abcd")));
    ASSERT_TRUE(w.seek(SeekOrigin::Start, 2));
    ASSERT_TRUE(w.write(bytes_of("XYZ")));
    ASSERT_TRUE(w.close());
    auto r = open("f", "r");
    std::vector<std::uint8_t> buffer(8);
    ASSERT_EQ(r.read(buffer), 5u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "abXYZ");
}

TEST_F(FileHandles, TruncateCutsOrZeroFillsAndPullsTheOffsetBack) {
    auto h = open("f", "rw");
    ASSERT_TRUE(h.write(bytes_of("abcdef")));
    ASSERT_TRUE(h.seek(SeekOrigin::End, 0));
    ASSERT_TRUE(h.truncate(2));
    EXPECT_EQ(h.size(), 2u);
    EXPECT_EQ(h.offset(), 2u);
    ASSERT_TRUE(h.truncate(4));
    EXPECT_EQ(h.offset(), 2u);
    ASSERT_TRUE(h.seek(SeekOrigin::Start, 0));
    std::vector<std::uint8_t> buffer(8);
    ASSERT_EQ(h.read(buffer), 4u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 4), std::string("ab\0\0", 4));

    auto r = open("g", "r");
    EXPECT_EQ(r.truncate(0).error().message(),
              "File does not support the specified operation: truncate");
    EXPECT_EQ(r.size(), 0u);
    ASSERT_TRUE(r.close());
    EXPECT_EQ(r.size().error().kind(), IoErrorKind::InvalidFileDescriptor);
}

TEST_F(FileHandles, ModeAndClosedHandleErrors) {
    auto none = open("f", "");
    std::vector<std::uint8_t> buffer(4);
    EXPECT_EQ(none.read(buffer).error().message(),
              "File does not support the specified operation: read");
    EXPECT_EQ(none.write(bytes_of("x")).error().message(),
              "File does not support the specified operation: write");
    EXPECT_TRUE(none.seek(SeekOrigin::End, 0));
    ASSERT_TRUE(none.close());
    EXPECT_FALSE(none.id());
    EXPECT_EQ(none.read(buffer).error().kind(), IoErrorKind::InvalidFileDescriptor);
    EXPECT_EQ(none.write(bytes_of("x")).error().kind(), IoErrorKind::InvalidFileDescriptor);
    EXPECT_EQ(none.seek(SeekOrigin::Start, 0).error().kind(), IoErrorKind::InvalidFileDescriptor);
    EXPECT_EQ(none.close().error().kind(), IoErrorKind::InvalidFileDescriptor);
    EXPECT_EQ(flag_of(*fs, 1), 0);
    EXPECT_EQ(none.debug().substr(0, 60),
              "FileHandle { id: None, type: FileHandleType(0x0), fs: FileSy");
}

TEST_F(FileHandles, OpeningByPath) {
    ASSERT_TRUE(fs->mkdir("d"));
    EXPECT_EQ(open_error("d", "r"), IoErrorKind::NotAFile);
    EXPECT_EQ(open_error("d/", "r"), IoErrorKind::NotAFile);
    EXPECT_EQ(open_error("nope/f", "r"), IoErrorKind::InodeNotFound);
    auto created = open("d\\new", "r");
    EXPECT_EQ(created.id(), fs->get_inode_by_path_raw("/d/new"));
    auto again = open("/d/new", "r");
    EXPECT_EQ(again.id(), created.id());
    ASSERT_TRUE(fs->touch("plain"));
    EXPECT_EQ(open_error("plain/x", "r"), IoErrorKind::NotADirectory);
    auto no_create = FileSystem::open(fs, "missing", mode("r"), false);
    EXPECT_EQ(no_create.error().kind(), IoErrorKind::InodeNotFound);
    EXPECT_EQ(FileSystem::open_raw(fs, 1, mode("r")).error().kind(), IoErrorKind::NotAFile);
}

TEST_F(FileHandles, PositionalIoLeavesTheOffsetAndAppendGoesToTheEnd) {
    auto w = open("f", "rw");
    ASSERT_TRUE(w.write(bytes_of("abc")));
    EXPECT_EQ(w.write_at(5, bytes_of("Z")), 1u); // the gap reads as zeros
    EXPECT_EQ(w.write_at(40, {}), 0u);           // nothing written, nothing grown
    EXPECT_EQ(w.append(bytes_of("!!")), 8u);
    EXPECT_EQ(w.offset(), 0u);
    std::vector<std::uint8_t> buffer(16);
    ASSERT_EQ(w.read_at(1, buffer), 7u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 7), std::string("bc\0\0Z!!", 7));
    EXPECT_EQ(w.read_at(100, buffer), 0u);
    EXPECT_EQ(w.offset(), 0u);
    ASSERT_TRUE(w.close());

    auto r = open("f", "r");
    EXPECT_EQ(r.write_at(0, bytes_of("x")).error().message(),
              "File does not support the specified operation: write");
    EXPECT_EQ(r.append(bytes_of("x")).error().kind(), IoErrorKind::OperationNotSupported);
}

TEST_F(FileHandles, OpenOptionsCreateRefuseAndEmpty) {
    const OpenOptions create{.create = true};
    const OpenOptions exclusive{.create = true, .exclusive = true};
    const OpenOptions truncate{.create = true, .truncate = true};
    auto made = FileSystem::open_with(fs, "/f", mode("w"), exclusive);
    ASSERT_TRUE(made);
    EXPECT_TRUE(made->created);
    ASSERT_TRUE(made->handle.write(bytes_of("data")));
    ASSERT_TRUE(made->handle.close());
    EXPECT_EQ(FileSystem::open_with(fs, "/f", mode("w"), exclusive).error().kind(),
              IoErrorKind::ResourceAlreadyExists);
    auto found = FileSystem::open_with(fs, "/f", mode("r"), create);
    ASSERT_TRUE(found);
    EXPECT_FALSE(found->created);
    // A file in use is never emptied by an open that cannot take it.
    EXPECT_EQ(FileSystem::open_with(fs, "/f", mode("w"), truncate).error().kind(),
              IoErrorKind::ResourceCurrentInUse);
    EXPECT_EQ(found->handle.size(), 4u);
    ASSERT_TRUE(found->handle.close());
    auto emptied = FileSystem::open_with(fs, "/f", mode("w"), truncate);
    ASSERT_TRUE(emptied);
    EXPECT_EQ(emptied->handle.size(), 0u);
}

TEST_F(FileHandles, ABrokenLockIsAnInternalErrorAndNeverReleasedTwice) {
    auto r = open("f", "r");
    std::get<File>(fs->lookup(1)->data).lock.flag.store(0);
    EXPECT_THROW((void)r.close(), ovaline::InternalError);
    EXPECT_FALSE(r.id());
    EXPECT_EQ(flag_of(*fs, 1), 0);
}
