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
#include "pool/host_process.hpp"
#include "pool/unique_fd.hpp"
#include "pool/utf8.hpp"

namespace ovaline::pool {

namespace {

constexpr std::string_view create_failed = "Failed to create the temporary home directory";

std::expected<UniqueFd, std::string> open_parent(const std::string& parent) {
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
        throw InternalError(std::string(create_failed) + ": " + system_error_text(errno));
    }
    auto refuse = [&](std::string_view why) {
        return std::unexpected(std::string(create_failed) + ": " + parent + " " + std::string(why));
    };
    UniqueFd fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ELOOP) {
            return refuse("is a symbolic link");
        }
        return refuse("cannot be opened: " + system_error_text(errno));
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        return refuse("cannot be examined: " + system_error_text(errno));
    }
    if (st.st_uid != ::geteuid()) {
        return refuse("belongs to another user");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse("is writable by group or others");
    }
    return fd;
}

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

} // namespace

std::expected<std::string, std::string> prepare_home(const std::string& parent,
                                                     const std::string& name, std::uint32_t uid) {
    auto dir = open_parent(parent);
    if (!dir) {
        return std::unexpected(dir.error());
    }
    const char* leaf = name.c_str();

    struct stat st;
    if (::fstatat(dir->get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (int err = remove_tree(dir->get(), leaf); err != 0) {
            throw InternalError("Failed to remove the existing temporary home directory: " +
                                system_error_text(err));
        }
    } else if (errno != ENOENT) {
        throw InternalError("Failed to remove the existing temporary home directory: " +
                            system_error_text(errno));
    }

    if (::mkdirat(dir->get(), leaf, 0777) != 0) {
        throw InternalError(std::string(create_failed) + ": " + system_error_text(errno));
    }

    std::string path = parent + "/" + name;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr || !is_valid_utf8(resolved)) {
        return std::unexpected(std::string(create_failed));
    }

    if (::fchownat(dir->get(), leaf, uid, uid, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::unexpected("Failed to change the ownership of the home directory: " +
                               system_error_text(errno));
    }
    return std::string(resolved);
}

} // namespace ovaline::pool
