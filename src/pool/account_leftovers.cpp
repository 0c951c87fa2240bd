#include "pool/account_leftovers.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "pool/home_directory.hpp"
#include "sandbox/account_keyrings.hpp"
#include "sandbox/host_process.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::pool {

namespace {

// How deep the search enters directories of others, one descriptor per level. Entries
// of the account below that lie in a tree that is not the account's, and go with it.
constexpr int search_depth = 16;

struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
};

class Sweep {
  public:
    Sweep(std::uint32_t uid, dev_t device, std::optional<FileId> skip)
        : uid_(uid), device_(device), skip_(skip) {}

    // Removes the account's entries below `dir`, reached by `path`; returns false with
    // the error kept once an entry cannot be removed.
    bool run(int dir, const std::string& path, int depth) {
        auto names = sandbox::names_in(dir);
        if (!names) {
            // A directory below the top that cannot be read holds nothing the account
            // could have put there either.
            return depth > 0 || fail(names.error(), path);
        }
        for (const std::string& name : *names) {
            const std::string child = path + "/" + name;
            struct stat st;
            // Gone meanwhile, or not even root may look (another user's FUSE mount):
            // nothing the account could have left.
            if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            if (st.st_uid == uid_) {
                if (int err = remove_tree_at(dir, name.c_str()); err != 0 && err != ENOENT) {
                    return fail(err, child);
                }
                continue;
            }
            if (!S_ISDIR(st.st_mode) || st.st_dev != device_ || depth >= search_depth ||
                (skip_ && skip_->device == st.st_dev && skip_->inode == st.st_ino)) {
                continue;
            }
            sandbox::UniqueFd sub(
                ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat opened;
            // Gone or swapped meanwhile: not the directory that was looked at.
            if (!sub || ::fstat(sub.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
                opened.st_ino != st.st_ino) {
                continue;
            }
            if (!run(sub.get(), child, depth + 1)) {
                return false;
            }
        }
        return true;
    }

    const std::string& error() const { return error_; }

  private:
    bool fail(int err, const std::string& path) {
        error_ = "Failed to remove the account's files: " + path + ": " +
                 sandbox::system_error_text(err);
        return false;
    }

    const std::uint32_t uid_;
    const dev_t device_;
    const std::optional<FileId> skip_;
    std::string error_;
};

} // namespace

std::expected<void, std::string> remove_account_entries(const std::string& root, std::uint32_t uid,
                                                        const std::string& skip) {
    if (uid == 0) {
        return std::unexpected(std::string("Refusing to remove the files of uid 0"));
    }
    sandbox::UniqueFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dir || ::fstat(dir.get(), &st) != 0) {
        // Missing, or a link (/var/tmp to /tmp on some hosts) whose target is searched
        // in its own right.
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) {
            return {};
        }
        return std::unexpected("Failed to search " + root +
                               " for the account's files: " + sandbox::system_error_text(errno));
    }
    std::optional<FileId> skipped;
    struct stat skip_st;
    if (::lstat(skip.c_str(), &skip_st) == 0) {
        skipped = FileId{skip_st.st_dev, skip_st.st_ino};
    }
    Sweep sweep(uid, st.st_dev, skipped);
    if (!sweep.run(dir.get(), root, 0)) {
        return std::unexpected(sweep.error());
    }
    return {};
}

std::expected<void, std::string> clear_account_leftovers(std::uint32_t uid) {
    for (const char* root : {"/tmp", "/var/tmp", "/dev/shm"}) {
        if (auto removed = remove_account_entries(root, uid, home_parent); !removed) {
            return removed;
        }
    }
    if (auto cleared = sandbox::clear_account_keyrings(uid); !cleared) {
        return std::unexpected("Failed to clear the account's keyrings: " +
                               sandbox::system_error_text(cleared.error()));
    }
    return {};
}

} // namespace ovaline::pool
