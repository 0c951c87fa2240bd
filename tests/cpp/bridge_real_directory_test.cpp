#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "bridge/real_directory.hpp"
#include "fs/file_handle.hpp"

using namespace ovaline;
using fs::FileHandleType;
using fs::FileSystem;
namespace stdfs = std::filesystem;

namespace {

// A fresh real directory, removed with everything below it at the end.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (stdfs::temp_directory_path() / "ovaline-real-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { stdfs::remove_all(path_); }
    const stdfs::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    stdfs::path path_;
};

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

std::string read_fs(const std::shared_ptr<FileSystem>& fs, const std::string& path) {
    auto handle = FileSystem::open(fs, path, FileHandleType(FileHandleType::READ), false);
    if (!handle) {
        return "<missing>";
    }
    std::string out(1 << 16, '\0');
    auto n = handle->read(std::span(reinterpret_cast<std::uint8_t*>(out.data()), out.size()));
    out.resize(*n);
    return out;
}

void write_fs(const std::shared_ptr<FileSystem>& fs, const std::string& path,
              const std::string& text) {
    auto handle = FileSystem::open(fs, path, FileHandleType(FileHandleType::WRITE), true);
    ASSERT_TRUE(handle);
    ASSERT_TRUE(
        handle->write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
}

const bridge::HostError& host_error(const bridge::TransferResult<void>& result) {
    return std::get<bridge::HostError>(result.error());
}

} // namespace

TEST(RealDirectory, ExportThenImportKeepsTreeContentsAndModes) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/src"));
    ASSERT_TRUE(fs->mkdir("/src/sub"));
    ASSERT_TRUE(fs->mkdir("/src/sub/empty"));
    write_fs(fs, "/src/a.txt", "alpha");
    write_fs(fs, "/src/sub/b.bin", std::string("\0\1\2", 3));
    ASSERT_TRUE(fs->touch("/src/sub/zero"));
    TempDir dir;

    ASSERT_TRUE(bridge::export_tree(*fs, "/src", dir.path().string(), std::nullopt));
    EXPECT_EQ(read_file(dir / "a.txt"), "alpha");
    EXPECT_EQ(read_file(dir / "sub/b.bin"), std::string("\0\1\2", 3));
    EXPECT_EQ(stdfs::status(dir / "sub").permissions(), stdfs::perms::owner_all);
    EXPECT_EQ(stdfs::status(dir / "a.txt").permissions(),
              stdfs::perms::owner_read | stdfs::perms::owner_write);

    auto back = FileSystem::create();
    ASSERT_TRUE(back->mkdir("/in"));
    ASSERT_TRUE(bridge::import_tree(*back, dir.path().string(), "/in", std::nullopt));
    EXPECT_EQ(read_fs(back, "/in/a.txt"), "alpha");
    EXPECT_EQ(read_fs(back, "/in/sub/b.bin"), std::string("\0\1\2", 3));
    EXPECT_EQ(read_fs(back, "/in/sub/zero"), "");
    EXPECT_TRUE(*back->is_directory_raw(*back->get_inode_by_path_raw("/in/sub/empty")));
}

TEST(RealDirectory, RefusalsChangeNothing) {
    TempDir dir;
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->mkdir("/d"));
    write_fs(fs, "/d/first", "1");
    // A link inside the in-memory tree is refused before anything is written.
    ASSERT_TRUE(fs->create_inode(*fs->get_inode_by_path_raw("/d"), "link", fs::Symlink{0}));
    EXPECT_EQ(host_error(bridge::export_tree(*fs, "/d", dir.path().string(), std::nullopt)).errnum,
              ELOOP);
    EXPECT_TRUE(stdfs::is_empty(dir.path()));

    write_file(dir / "x", "x");
    EXPECT_EQ(host_error(bridge::export_tree(*fs, "/", dir.path().string(), std::nullopt)).errnum,
              ENOTEMPTY);

    // Anything but a regular file or a directory is refused by its path, and the import
    // adds nothing.
    stdfs::create_directory(dir / "sub");
    write_file(dir / "sub/ok", "ok");
    struct Case {
        std::string name;
        int errnum;
    };
    for (const Case& c : {Case{"fifo", EINVAL}, Case{"link", ELOOP}, Case{"bad\\name", EINVAL}}) {
        const std::string path = dir / ("sub/" + c.name);
        if (c.name == "fifo") {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else if (c.name == "link") {
            stdfs::create_symlink("/etc/hostname", path);
        } else {
            write_file(path, "");
        }
        auto target = FileSystem::create();
        auto result = bridge::import_tree(*target, dir.path().string(), "/", std::nullopt);
        ASSERT_FALSE(result) << c.name;
        EXPECT_EQ(host_error(result).errnum, c.errnum) << c.name;
        EXPECT_EQ(host_error(result).path, path);
        EXPECT_EQ(target->inode_count(), 1u);
        stdfs::remove(path);
    }

    // The real directory itself is reached without following a link at any step.
    stdfs::create_directory_symlink(dir.path(), dir / "via");
    auto target = FileSystem::create();
    EXPECT_EQ(host_error(bridge::import_tree(*target, dir / "via/sub", "/", std::nullopt)).errnum,
              ELOOP);
    // A name already taken in the destination refuses the whole import.
    ASSERT_TRUE(target->touch("/x"));
    stdfs::remove(dir / "via");
    EXPECT_FALSE(bridge::import_tree(*target, dir.path().string(), "/", std::nullopt));
    EXPECT_EQ(target->inode_count(), 2u);
}

// Another thread keeps swapping an entry for a link to a file outside while we read and
// write the directory: the outside file is never read, written or replaced.
TEST(RealDirectory, RacingLinkSwapsNeverReachOutside) {
    TempDir outside;
    TempDir dir;
    const std::string secret = outside / "secret";
    write_file(secret, "SECRET");
    stdfs::create_directory(outside / "box");
    std::atomic<bool> stop{false};
    // "file" turns into a link to the secret or a plain file, "dir" into a link to the
    // box outside or a directory; each is swapped in by a rename, in a loop.
    std::thread swapper([&] {
        for (int i = 0; !stop; ++i) {
            const bool link = i % 2 == 0;
            for (const std::string name : {"file", "dir"}) {
                const std::string staged = dir / ("." + name);
                std::error_code ignored;
                // Never written through: a link left from the round before goes first.
                stdfs::remove(staged, ignored);
                if (link) {
                    stdfs::create_symlink(name == "file" ? secret : outside / "box", staged,
                                          ignored);
                } else if (name == "file") {
                    write_file(staged, "plain");
                } else {
                    stdfs::create_directory(staged, ignored);
                }
                stdfs::rename(staged, dir / name, ignored);
            }
            std::this_thread::yield();
            std::error_code ignored;
            stdfs::remove(dir / "file", ignored);
            for (int i = 0; i < 30; ++i) {
                stdfs::remove(dir / ("pad" + std::to_string(i)), ignored);
            }
            stdfs::remove(dir / "dir", ignored);
        }
    });
    auto fs = FileSystem::create();
    // Written first, so the swapper has time to slip its link in after the emptiness check.
    for (int i = 0; i < 30; ++i) {
        write_fs(fs, "/pad" + std::to_string(i), "pad");
    }
    ASSERT_TRUE(fs->mkdir("/dir"));
    write_fs(fs, "/dir/data", "OURS");
    write_fs(fs, "/file", "OURS");
    int imported = 0;
    int exported = 0;
    for (int round = 0; round < 200; ++round) {
        auto target = FileSystem::create();
        if (bridge::import_tree(*target, dir.path().string(), "/", std::nullopt)) {
            ++imported;
            EXPECT_NE(read_fs(target, "/file"), "SECRET");
        }
        if (bridge::export_tree(*fs, "/", dir.path().string(), std::nullopt)) {
            ++exported;
        }
        std::error_code ignored;
        stdfs::remove_all(dir / "dir", ignored);
        stdfs::remove(dir / "file", ignored);
    }
    stop = true;
    swapper.join();
    EXPECT_GT(imported, 0);
    EXPECT_GT(exported, 0);
    EXPECT_EQ(read_file(secret), "SECRET");
    EXPECT_TRUE(stdfs::is_empty(outside / "box"));
}
