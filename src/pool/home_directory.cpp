#include "pool/home_directory.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "error/internal_error.hpp"
#include "error/utf8.hpp"
#include "pool/account_lock.hpp"
#include "sandbox/host_process.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::pool {

namespace {

constexpr std::string_view create_failed = "Failed to create the temporary home directory";

// Removes `name` below `dir` and everything under it, following no symbolic link:
// links are unlinked, never entered. However deep the tree (an account may nest as deep
// as it likes), nothing recurses and at most kOpenLevels directories are open at once:
// the levels nearest the top give up their descriptors first, and one is opened again
// through ".." of the level below it once everything below is gone, and taken only if
// it is the very directory first met there. Read again from its start, it has lost only
// what was removed. Returns 0 or the errno of the first failure.
class TreeRemoval {
  public:
    static constexpr std::size_t kOpenLevels = 32;

    static int remove(int dir, const char* name) {
        if (::unlinkat(dir, name, 0) == 0) {
            return 0;
        }
        if (errno != EISDIR) {
            return errno;
        }
        TreeRemoval removal(dir);
        return removal.run(name);
    }

  private:
    struct Level {
        std::string name;
        DIR* entries = nullptr;
        dev_t device = 0;
        ino_t inode = 0;
    };

    explicit TreeRemoval(int dir) : top_(dir) {}
    TreeRemoval(const TreeRemoval&) = delete;
    TreeRemoval& operator=(const TreeRemoval&) = delete;
    ~TreeRemoval() {
        for (Level& level : levels_) {
            close(level);
        }
    }

    void close(Level& level) {
        if (level.entries != nullptr) {
            ::closedir(level.entries);
            level.entries = nullptr;
            --open_;
        }
    }

    int fd_of(std::size_t i) const { return ::dirfd(levels_[i].entries); }
    // The directory holding level i, which is open whenever this is asked.
    int parent_fd(std::size_t i) const { return i == 0 ? top_ : fd_of(i - 1); }

    // Takes `fd` as level i's stream, checking that it is the directory recorded for it
    // when `check`; 0 or the errno.
    int adopt(std::size_t i, int fd, bool check) {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        if (check && (st.st_dev != levels_[i].device || st.st_ino != levels_[i].inode)) {
            ::close(fd);
            return ESTALE;
        }
        levels_[i].device = st.st_dev;
        levels_[i].inode = st.st_ino;
        levels_[i].entries = ::fdopendir(fd);
        if (levels_[i].entries == nullptr) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        ++open_;
        return 0;
    }

    // Enters the directory `name` of the deepest level (or of the top); 0 or the errno.
    int descend(std::string name) {
        const std::size_t i = levels_.size();
        const int parent = i == 0 ? top_ : fd_of(i - 1);
        const int fd =
            ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        levels_.push_back({std::move(name)});
        if (int err = adopt(i, fd, false); err != 0) {
            return err;
        }
        for (std::size_t k = 0; open_ > kOpenLevels && k < i; ++k) {
            close(levels_[k]);
        }
        return 0;
    }

    // Removes the empty deepest level, opening the one above it again first if needed.
    int ascend() {
        const std::size_t i = levels_.size() - 1;
        if (i > 0 && levels_[i - 1].entries == nullptr) {
            const int fd = ::openat(fd_of(i), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) {
                return errno;
            }
            if (int err = adopt(i - 1, fd, true); err != 0) {
                return err;
            }
        }
        close(levels_[i]);
        const std::string name = std::move(levels_[i].name);
        levels_.pop_back();
        return ::unlinkat(parent_fd(i), name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
    }

    int run(const char* name) {
        if (int err = descend(name); err != 0) {
            return err;
        }
        while (!levels_.empty()) {
            const std::size_t i = levels_.size() - 1;
            errno = 0;
            dirent* entry = ::readdir(levels_[i].entries);
            if (entry == nullptr) {
                if (int err = errno != 0 ? errno : ascend(); err != 0) {
                    return err;
                }
                continue;
            }
            const std::string_view child = entry->d_name;
            if (child == "." || child == "..") {
                continue;
            }
            if (::unlinkat(fd_of(i), entry->d_name, 0) == 0) {
                continue;
            }
            if (int err = errno != EISDIR ? errno : descend(std::string(child)); err != 0) {
                return err;
            }
        }
        return 0;
    }

    int top_;
    std::vector<Level> levels_;
    std::size_t open_ = 0;
};

} // namespace

int remove_tree_at(int dir, const char* name) {
    // Removing races a process of the account that still writes into the tree, until
    // it has been ended; a few attempts outlast that.
    int err = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        err = TreeRemoval::remove(dir, name);
        if (err != ENOTEMPTY && err != EEXIST) {
            break;
        }
    }
    return err;
}

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
        if (int err = remove_tree_at(fd_.get(), leaf); err != 0) {
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

namespace {

// Beside the home of the same account; no account name starts with a dot.
std::string private_name(const std::string& name) {
    return "." + name + ".private";
}

} // namespace

std::expected<std::string, std::string> HomeParent::prepare_private(const std::string& name) {
    const std::string leaf = private_name(name);
    if (int err = remove_private(name); err != 0 && err != ENOENT) {
        throw InternalError("Failed to remove the account's old temporary places: " +
                            sandbox::system_error_text(err));
    }
    if (::mkdirat(fd_.get(), leaf.c_str(), 0755) != 0) {
        throw InternalError(std::string(create_failed) + ": " + sandbox::system_error_text(errno));
    }
    sandbox::UniqueFd dir(
        ::openat(fd_.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        throw InternalError(std::string(create_failed) + ": " + sandbox::system_error_text(errno));
    }
    const std::string mount_point = "tmp/tmp_user_home/" + name;
    struct Place {
        std::string path;
        mode_t mode;
    };
    for (const Place& place :
         {Place{"tmp", 01777}, Place{"var-tmp", 01777}, Place{"shm", 01777},
          Place{"run-lock", 01777}, Place{"tmp/tmp_user_home", 0755}, Place{mount_point, 0700}}) {
        // Exactly the mode whatever the umask.
        if (::mkdirat(dir.get(), place.path.c_str(), place.mode) != 0 ||
            ::fchmodat(dir.get(), place.path.c_str(), place.mode, 0) != 0) {
            throw InternalError(std::string(create_failed) + ": " +
                                sandbox::system_error_text(errno));
        }
    }
    char resolved[PATH_MAX];
    const std::string path = path_ + "/" + leaf;
    if (::realpath(path.c_str(), resolved) == nullptr || !is_valid_utf8(resolved)) {
        return std::unexpected(std::string(create_failed));
    }
    return std::string(resolved);
}

int HomeParent::remove_private(const std::string& name) {
    const std::string leaf = private_name(name);
    struct stat st;
    if (::fstatat(fd_.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    return remove_tree_at(fd_.get(), leaf.c_str());
}

} // namespace ovaline::pool
