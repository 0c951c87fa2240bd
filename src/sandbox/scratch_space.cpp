#include "sandbox/scratch_space.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "sandbox/host_process.hpp"

namespace ovaline::sandbox {

namespace {

// Each file costs the kernel memory of its own beside its bytes; one per 16 KiB of
// space keeps that bounded too.
std::uint64_t inode_limit(std::uint64_t bytes) {
    return std::max<std::uint64_t>(4096, bytes / 16384);
}

std::pair<int, std::string> failure(const std::string& step, const std::string& path) {
    const int err = errno;
    return {err, step + " " + path + ": " + system_error_text(err)};
}

} // namespace

ScratchSpace::ScratchSpace(ScratchSpace&& other) noexcept
    : dir_(std::move(other.dir_)), home_(std::exchange(other.home_, {})) {}

void ScratchSpace::detach_stale(const std::string& dir, const std::string& home) {
    // A bounded number of rounds: each takes one mount stacked there, and stops at none.
    for (const std::string* path : {&home, &dir}) {
        for (int i = 0; i < 8 && ::umount2(path->c_str(), MNT_DETACH) == 0; ++i) {
        }
    }
    ::rmdir(dir.c_str());
}

std::expected<ScratchSpace, std::pair<int, std::string>>
ScratchSpace::create(std::string dir, std::string home, std::optional<std::uint64_t> bytes,
                     uid_t uid, gid_t gid) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::unexpected(failure("cannot make", dir));
    }
    std::string options = "mode=755";
    if (bytes) {
        options += ",size=";
        options += std::to_string(*bytes);
        options += ",nr_inodes=";
        options += std::to_string(inode_limit(*bytes));
    }
    if (::mount("ovaline-scratch", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) !=
        0) {
        auto failed = failure("cannot mount a memory filesystem on", dir);
        ::rmdir(dir.c_str());
        return std::unexpected(std::move(failed));
    }
    auto undo = [&](std::pair<int, std::string> failed) {
        ::umount2(dir.c_str(), MNT_DETACH);
        ::rmdir(dir.c_str());
        return std::unexpected(std::move(failed));
    };
    struct Place {
        const char* name;
        mode_t mode;
        bool own;
    };
    for (const Place& place : {Place{"home", 0700, true}, Place{"tmp", 01777, false},
                               Place{"var-tmp", 01777, false}, Place{"shm", 01777, false}}) {
        const std::string path = dir + "/" + place.name;
        if (::mkdir(path.c_str(), place.mode) != 0 || ::chmod(path.c_str(), place.mode) != 0 ||
            (place.own && ::chown(path.c_str(), uid, gid) != 0)) {
            return undo(failure("cannot prepare", path));
        }
    }
    const std::string inner_home = dir + "/home";
    if (::mount(inner_home.c_str(), home.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return undo(failure("cannot bind the home over", home));
    }
    return ScratchSpace(std::move(dir), std::move(home));
}

void ScratchSpace::close() noexcept {
    if (home_.empty()) {
        return;
    }
    ::umount2(home_.c_str(), MNT_DETACH);
    ::umount2(dir_.c_str(), MNT_DETACH);
    ::rmdir(dir_.c_str());
    home_.clear();
}

} // namespace ovaline::sandbox
