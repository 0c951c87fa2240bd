#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <expected>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pool/account_leftovers.hpp"
#include "pool/account_lock.hpp"
#include "pool/home_directory.hpp"

namespace {

namespace stdfs = std::filesystem;
using ovaline::pool::AccountLocks;
using ovaline::pool::HomeParent;

std::expected<std::string, std::string> prepare_home(const std::string& parent,
                                                     const std::string& name, uid_t uid) {
    auto dir = HomeParent::open(parent);
    if (!dir) {
        return std::unexpected(dir.error());
    }
    return dir->prepare_home(name, uid);
}

// A private scratch directory; the home parent is `base/homes`. Owning the home as our
// own uid lets these run without root.
class HomeDirectory : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ovaline_home_test_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base = pattern;
        parent = (base / "homes").string();
    }
    void TearDown() override {
        std::error_code ignored;
        stdfs::remove_all(base, ignored);
    }
    static void touch(const stdfs::path& path) { std::ofstream(path) << "keep"; }

    stdfs::path base;
    std::string parent;
    const uid_t uid = ::geteuid();
};

TEST_F(HomeDirectory, CreatesParentAndEmptyOwnedHome) {
    auto home = prepare_home(parent, "test_A", uid);
    ASSERT_TRUE(home) << home.error();
    EXPECT_EQ(*home, stdfs::canonical(parent + "/test_A").string());
    struct stat st;
    ASSERT_EQ(::lstat(parent.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777 & ~0755u, 0u);
    ASSERT_EQ(::lstat(home->c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, uid);
    EXPECT_TRUE(stdfs::is_empty(*home));
}

TEST_F(HomeDirectory, LeftoverHomeIsClearedWithoutFollowingLinks) {
    stdfs::create_directories(parent + "/test_A/deep/er");
    touch(parent + "/test_A/deep/er/file");
    stdfs::create_directory(base / "outside");
    touch(base / "outside" / "precious");
    stdfs::create_directory_symlink(base / "outside", parent + "/test_A/link");
    stdfs::create_symlink(base / "outside" / "precious", parent + "/test_A/deep/file_link");

    auto home = prepare_home(parent, "test_A", uid);
    ASSERT_TRUE(home) << home.error();
    EXPECT_TRUE(stdfs::is_empty(*home));
    EXPECT_TRUE(stdfs::exists(base / "outside" / "precious"));
}

TEST_F(HomeDirectory, LeftoverHomeNestedDeeperThanTheDescriptorLimitIsCleared) {
    // Deeper than a path may be spelled and than the process may hold descriptors:
    // made one level at a time, under a lowered limit.
    stdfs::create_directories(parent + "/test_A");
    int dir = ::open((parent + "/test_A").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    for (int level = 0; level < 3000; ++level) {
        ASSERT_EQ(::mkdirat(dir, "d", 0700), 0);
        if (level % 100 == 0) {
            int file = ::openat(dir, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            ASSERT_GE(file, 0);
            ::close(file);
        }
        const int next = ::openat(dir, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(dir);
        ASSERT_GE(next, 0);
        dir = next;
    }
    ::close(dir);
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    auto home = prepare_home(parent, "test_A", uid);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(home) << home.error();
    EXPECT_TRUE(stdfs::is_empty(*home));
}

TEST_F(HomeDirectory, HomeThatIsALinkIsReplacedNotFollowed) {
    stdfs::create_directory(parent);
    ::chmod(parent.c_str(), 0755);
    stdfs::create_directory(base / "outside");
    touch(base / "outside" / "precious");
    stdfs::create_directory_symlink(base / "outside", parent + "/test_A");

    auto home = prepare_home(parent, "test_A", uid);
    ASSERT_TRUE(home) << home.error();
    EXPECT_FALSE(stdfs::is_symlink(parent + "/test_A"));
    EXPECT_TRUE(stdfs::exists(base / "outside" / "precious"));
}

TEST_F(HomeDirectory, UnsafeParentIsRefusedUntouched) {
    stdfs::create_directory(base / "target");
    touch(base / "target" / "precious");
    struct Case {
        const char* what;
        std::function<void()> plant;
    };
    const Case cases[] = {
        {"is a symbolic link", [&] { stdfs::create_directory_symlink(base / "target", parent); }},
        {"cannot be opened", [&] { touch(parent); }},
        {"is writable by group or others",
         [&] {
             stdfs::create_directory(parent);
             ::chmod(parent.c_str(), 0777);
         }},
    };
    for (const auto& c : cases) {
        c.plant();
        auto home = prepare_home(parent, "test_A", uid);
        ASSERT_FALSE(home) << c.what;
        EXPECT_NE(home.error().find(c.what), std::string::npos) << home.error();
        EXPECT_TRUE(home.error().starts_with("Failed to create the temporary home directory"))
            << home.error();
        EXPECT_FALSE(stdfs::exists(base / "target" / "test_A")) << c.what;
        EXPECT_FALSE(stdfs::exists(parent + "/test_A")) << c.what;
        stdfs::remove(parent);
    }
    EXPECT_TRUE(stdfs::exists(base / "target" / "precious"));
}

TEST_F(HomeDirectory, ParentOfAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a directory away needs root";
    }
    stdfs::create_directory(parent);
    ::chmod(parent.c_str(), 0755);
    ASSERT_EQ(::chown(parent.c_str(), 65534, 65534), 0);
    auto home = prepare_home(parent, "test_A", uid);
    ASSERT_FALSE(home);
    EXPECT_TRUE(home.error().starts_with("Failed to create the temporary home directory"));
    EXPECT_FALSE(stdfs::exists(parent + "/test_A"));
}

TEST_F(HomeDirectory, HomeIsPrivateWhateverTheUmask) {
    for (mode_t mask : {0000, 0022, 0777}) {
        mode_t old = ::umask(mask);
        auto home = prepare_home(parent, "test_A", uid);
        ::umask(old);
        ASSERT_TRUE(home) << home.error();
        struct stat st;
        ASSERT_EQ(::lstat(home->c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << "umask " << mask;
    }
}

TEST_F(HomeDirectory, AnAccountIsLockedByOneHolderAtATime) {
    const std::string locks = (base / "locks").string();
    auto first = AccountLocks::open(locks);
    auto second = AccountLocks::open(locks);
    ASSERT_TRUE(first && second);
    struct stat st;
    ASSERT_EQ(::lstat(locks.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    auto held = first->lock("test_A");
    ASSERT_TRUE(held && *held);
    auto refused = second->lock("test_A");
    ASSERT_TRUE(refused);
    EXPECT_FALSE(*refused);
    auto other = second->lock("test_B");
    ASSERT_TRUE(other && *other);
    held->reset();
    auto again = second->lock("test_A");
    ASSERT_TRUE(again && *again);
}

// What an account left in a shared directory goes, wherever it sits among others'
// entries; the skipped directory and everything of others stay.
TEST_F(HomeDirectory, AccountEntriesAreRemovedWhereverTheyLie) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving entries to another uid needs root";
    }
    constexpr uid_t account = 3999999;
    const stdfs::path shared = base / "shared";
    stdfs::create_directories(shared / "theirs" / "deeper");
    stdfs::create_directories(shared / "mine_dir" / "deep");
    stdfs::create_directories(shared / "homes");
    struct Entry {
        const char* path;
        bool mine;
        bool stays;
    };
    const Entry entries[] = {
        {"mine_file", true, false},
        {"mine_dir", true, false},
        {"mine_dir/deep/theirs_inside", false, false},
        {"theirs", false, true},
        {"theirs/deeper", false, true},
        {"theirs/deeper/mine_inner", true, false},
        {"theirs/keep", false, true},
        {"homes", false, true},
        {"homes/mine_home", true, true},
    };
    for (const Entry& e : entries) {
        const stdfs::path path = shared / e.path;
        if (!stdfs::exists(path)) {
            touch(path);
        }
        if (e.mine) {
            ASSERT_EQ(::lchown(path.c_str(), account, account), 0) << e.path;
        }
    }

    auto removed = ovaline::pool::remove_account_entries(shared.string(), account,
                                                         (shared / "homes").string());
    ASSERT_TRUE(removed) << removed.error();
    for (const Entry& e : entries) {
        EXPECT_EQ(stdfs::exists(stdfs::symlink_status(shared / e.path)), e.stays) << e.path;
    }
    EXPECT_FALSE(ovaline::pool::remove_account_entries(shared.string(), 0, ""));
    // A root that is a link is not followed: its target is searched in its own right.
    touch(shared / "mine_again");
    ASSERT_EQ(::chown((shared / "mine_again").c_str(), account, account), 0);
    stdfs::create_directory_symlink(shared, base / "link");
    EXPECT_TRUE(ovaline::pool::remove_account_entries((base / "link").string(), account, ""));
    EXPECT_TRUE(stdfs::exists(shared / "mine_again"));
}

} // namespace
