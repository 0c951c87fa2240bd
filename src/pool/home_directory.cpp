#include "pool/home_directory.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "error/internal_error.hpp"
#include "error/utf8.hpp"
#include "pool/account_lock.hpp"
#include "sandbox/host_process.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::pool {

namespace {

constexpr std::string_view create_failed = "Failed to create the temporary home directory";

// Removes `name` below `dir` and everything under it, following no symbolic link:
// links are unlinked, never entered. Returns 0 or the errno of the first failure.
int remove_tree(int dir, const char* name) {
    if (::unlinkat(dir, name, 0) == 0) {
        return 0;
    }
    if (errno != EISDIR) {
        return errno;
    }
    int fd = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    DIR* entries = ::fdopendir(fd);
    if (entries == nullptr) {
        int err = errno;
        ::close(fd);
        return err;
    }
    int err = 0;
    errno = 0;
    while (dirent* entry = ::readdir(entries)) {
        std::string_view child = entry->d_name;
        if (child != "." && child != "..") {
            err = remove_tree(fd, entry->d_name);
            if (err != 0) {
                break;
            }
        }
        errno = 0;
    }
    if (err == 0 && errno != 0) {
        err = errno;
    }
    ::closedir(entries);
    if (err != 0) {
        return err;
    }
    return ::unlinkat(dir, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

// Removing races a process of the account that still writes into the home, until
// it has been ended; a few attempts outlast that.
int remove_home(int dir, const char* name) {
    int err = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        err = remove_tree(dir, name);
        if (err != ENOTEMPTY && err != EEXIST) {
            break;
        }
    }
    return err;
}

} // namespace

std::expected<sandbox::UniqueFd, std::string>
open_trusted_directory(const std::string& path, mode_t mode, std::string_view failure) {
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        throw InternalError(std::string(failure) + ": " + sandbox::system_error_text(errno));
    }
    auto refuse = [&](std::string_view why) {
        return std::unexpected(std::string(failure) + ": " + path + " " + std::string(why));
    };
    sandbox::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            return refuse("is a symbolic link");
        }
        return refuse("cannot be opened: " + sandbox::system_error_text(err));
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        return refuse("cannot be examined: " + sandbox::system_error_text(errno));
    }
    if (st.st_uid != ::geteuid()) {
        return refuse("belongs to another user");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse("is writable by group or others");
    }
    return fd;
}

std::expected<HomeParent, std::string> HomeParent::open(const std::string& path) {
    auto fd = open_trusted_directory(path, 0755, create_failed);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    return HomeParent(path, std::move(*fd));
}

std::expected<std::optional<sandbox::UniqueFd>, std::string>
HomeParent::lock_account(const std::string& name) {
    return lock_file_at(fd_.get(), name + ".lock");
}

std::expected<std::string, std::string> HomeParent::prepare_home(const std::string& name,
                                                                 std::uint32_t uid) {
    const char* leaf = name.c_str();
    struct stat st;
    if (::fstatat(fd_.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (int err = remove_home(fd_.get(), leaf); err != 0) {
            throw InternalError("Failed to remove the existing temporary home directory: " +
                                sandbox::system_error_text(err));
        }
    } else if (errno != ENOENT) {
        throw InternalError("Failed to remove the existing temporary home directory: " +
                            sandbox::system_error_text(errno));
    }

    if (::mkdirat(fd_.get(), leaf, 0700) != 0) {
        throw InternalError(std::string(create_failed) + ": " + sandbox::system_error_text(errno));
    }
    sandbox::UniqueFd home(
        ::openat(fd_.get(), leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!home) {
        throw InternalError(std::string(create_failed) + ": " + sandbox::system_error_text(errno));
    }

    std::string path = path_ + "/" + name;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr || !is_valid_utf8(resolved)) {
        return std::unexpected(std::string(create_failed));
    }

    if (::fchown(home.get(), uid, uid) != 0) {
        return std::unexpected("Failed to change the ownership of the home directory: " +
                               sandbox::system_error_text(errno));
    }
    // Exactly 0700 whatever the umask: throw-away accounts never see into each other's
    // homes, and the owner can always enter its own.
    if (::fchmod(home.get(), 0700) != 0) {
        throw InternalError(std::string(create_failed) + ": " + sandbox::system_error_text(errno));
    }
    return std::string(resolved);
}

} // namespace ovaline::pool
