#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox/scratch_space.hpp"

namespace {

namespace fs = std::filesystem;
using ovaline::sandbox::ScratchSpace;

bool mounted(const fs::path& path) {
    struct stat here, parent;
    return ::stat(path.c_str(), &here) == 0 && ::stat(path.parent_path().c_str(), &parent) == 0 &&
           here.st_dev != parent.st_dev;
}

// Writes until the space refuses; what went in.
std::size_t fill(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    const std::string block(65536, 'x');
    std::size_t written = 0;
    for (ssize_t n; (n = ::write(fd, block.data(), block.size())) > 0;) {
        written += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
    return written;
}

TEST(ScratchSpace, HomeAndTemporaryPlacesShareOneBoundAndVanishOnClose) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting needs root";
    }
    const fs::path base =
        fs::temp_directory_path() / ("ovaline-scratch-" + std::to_string(::getpid()));
    fs::create_directories(base / "home");
    {
        auto space = ScratchSpace::create((base / "space").string(), (base / "home").string(),
                                          1 << 20, 4242, 4343);
        ASSERT_TRUE(space) << space.error().second;
        EXPECT_TRUE(mounted(base / "home"));
        struct stat home;
        ASSERT_EQ(::stat((base / "home").c_str(), &home), 0);
        EXPECT_EQ(home.st_uid, 4242u);
        EXPECT_EQ(fs::status(space->tmp()).permissions() & fs::perms::sticky_bit,
                  fs::perms::sticky_bit);
        const std::size_t in_home = fill(base / "home" / "big");
        EXPECT_LE(in_home, 1u << 20);
        EXPECT_EQ(fill(fs::path(space->shm()) / "more"), 0u);
        fs::remove(base / "home" / "big");
        EXPECT_GT(fill(fs::path(space->var_tmp()) / "again"), 0u);
    }
    EXPECT_FALSE(mounted(base / "home"));
    EXPECT_TRUE(fs::is_empty(base / "home"));
    EXPECT_FALSE(fs::exists(base / "space"));
    // A home that does not exist fails the start and leaves no mount behind.
    auto failed =
        ScratchSpace::create((base / "space").string(), (base / "none").string(), 1 << 20, 0, 0);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().first, ENOENT);
    EXPECT_NE(failed.error().second.find("none"), std::string::npos);
    EXPECT_FALSE(fs::exists(base / "space"));
    fs::remove_all(base);
}

} // namespace
