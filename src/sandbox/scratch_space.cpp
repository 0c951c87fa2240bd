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

std::string failure(const std::string& step, const std::string& path) {
    return step + " " + path + ": " + system_error_text(errno);
}

} // namespace

ScratchSpace::ScratchSpace(ScratchSpace&& other) noexcept
    : dir_(std::move(other.dir_)), home_(std::exchange(other.home_, {})) {}

std::expected<ScratchSpace, std::string>
ScratchSpace::create(std::string dir, std::string home, std::uint64_t bytes, uid_t uid, gid_t gid) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::unexpected(failure("cannot make", dir));
    }
    std::string options = "mode=755,size=";
    options += std::to_string(bytes);
    options += ",nr_inodes=";
    options += std::to_string(inode_limit(bytes));
    if (::mount("ovaline-scratch", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) !=
        0) {
        const std::string message = failure("cannot mount a memory filesystem on", dir);
        ::rmdir(dir.c_str());
        return std::unexpected(message);
    }
    auto undo = [&](std::string message) {
        ::umount2(dir.c_str(), MNT_DETACH);
        ::rmdir(dir.c_str());
        return std::unexpected(std::move(message));
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
