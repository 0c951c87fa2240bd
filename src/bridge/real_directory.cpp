#include "bridge/real_directory.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "error/utf8.hpp"
#include "fs/posix_path.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::bridge {

namespace {

using fs::DetachedNode;
using sandbox::UniqueFd;

std::unexpected<TransferError> refused(int errnum, std::string message, std::string path) {
    // Built in place: GCC 12 with the sanitizers sees a moved temporary variant as
    // maybe uninitialized.
    return std::unexpected<TransferError>(std::in_place, std::in_place_type<HostError>, errnum,
                                          std::move(message), std::move(path));
}

std::unexpected<TransferError> host_failure(int errnum, std::string path) {
    return refused(errnum, std::strerror(errnum), std::move(path));
}

std::unexpected<TransferError> fs_failure(const fs::IoError& err) {
    return std::unexpected<TransferError>(std::in_place, std::in_place_type<fs::IoError>, err);
}

std::string join(const std::string& dir, std::string_view name) {
    std::string path = dir;
    if (!path.ends_with('/')) {
        path += '/';
    }
    return path.append(name);
}

std::unexpected<TransferError> refused_kind(mode_t mode, std::string path) {
    const char* kind = S_ISLNK(mode)    ? "symbolic link"
                       : S_ISFIFO(mode) ? "fifo"
                       : S_ISSOCK(mode) ? "socket"
                       : S_ISCHR(mode)  ? "character device"
                       : S_ISBLK(mode)  ? "block device"
                                        : "special file";
    return refused(S_ISLNK(mode) ? ELOOP : EINVAL,
                   std::string("Refusing to copy a ") + kind +
                       ": only regular files and directories are copied",
                   std::move(path));
}

// Opens the directory at `path` one component at a time, refusing a symbolic link at
// every step, not only the last.
TransferResult<UniqueFd> open_real_directory(const std::string& path) {
    if (path.empty()) {
        return host_failure(ENOENT, path);
    }
    UniqueFd current(::open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current) {
        return host_failure(errno, path);
    }
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    if (parts.empty()) {
        parts.emplace_back(".");
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const int access = i + 1 == parts.size() ? O_RDONLY : O_PATH;
        UniqueFd next(::openat(current.get(), parts[i].c_str(),
                               access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            const int err = errno;
            struct stat st {};
            if (::fstatat(current.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                return refused(ELOOP, "Refusing to follow a symbolic link", path);
            }
            return host_failure(err, path);
        }
        current = std::move(next);
    }
    return current;
}

// The names in a directory, sorted, so a tree is always read in one order.
TransferResult<std::vector<std::string>> names_in(int dir, const std::string& path) {
    auto names = sandbox::names_in(dir);
    if (!names) {
        return host_failure(names.error(), path);
    }
    std::sort(names->begin(), names->end());
    return std::move(*names);
}

TransferResult<void> write_all(int fd, std::span<const std::uint8_t> bytes,
                               const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return host_failure(errno, path);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

// Reads to the end, but stops with the no-space error past `limit` bytes, so a file
// that is huge or keeps growing cannot take our memory.
TransferResult<std::vector<std::uint8_t>> read_all(int fd, std::size_t size_hint,
                                                   std::uint64_t limit, const std::string& path) {
    std::uint64_t start = std::max<std::uint64_t>(size_hint, 4096);
    if (limit < start) {
        start = limit + 1;
    }
    std::vector<std::uint8_t> data(start);
    std::size_t used = 0;
    for (;;) {
        if (used > limit) {
            return fs_failure(fs::IoErrorKind::NoSpaceLeft);
        }
        if (used == data.size()) {
            data.resize(data.size() * 2);
        }
        const ssize_t n = ::read(fd, data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return host_failure(errno, path);
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    data.resize(used);
    data.shrink_to_fit();
    return data;
}

// Writes detached entries below a real directory and remembers what it created, so a
// failure can take all of it away again.
class Exporter {
  public:
    Exporter(UniqueFd root, std::optional<Owner> owner) : owner_(owner) {
        dirs_.push_back(std::move(root));
    }

    TransferResult<void> write_entries(std::size_t dir, const std::string& path,
                                       const std::string& source,
                                       const std::vector<DetachedNode>& entries) {
        for (const DetachedNode& entry : entries) {
            const std::string child = join(path, entry.name);
            TransferResult<void> written;
            switch (entry.kind) {
            case DetachedNode::Kind::Symlink:
                // Refused by check_writable before anything was written.
                return refused(ELOOP, "Symbolic links are not exported", join(source, entry.name));
            case DetachedNode::Kind::Directory:
                written = write_directory(dir, child, join(source, entry.name), entry);
                break;
            case DetachedNode::Kind::File:
                written = write_file(dir, child, entry);
                break;
            }
            if (!written) {
                return written;
            }
        }
        return {};
    }

    // Removes what was created, newest first, so each directory is empty by its turn.
    // Only names are removed, relative to descriptors held all along: whatever the
    // account put in their place meanwhile, nothing outside is touched.
    void undo() {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
            (void)::unlinkat(dirs_[it->dir].get(), it->name.c_str(),
                             it->directory ? AT_REMOVEDIR : 0);
        }
    }

  private:
    struct Created {
        std::size_t dir;
        std::string name;
        bool directory;
    };

    TransferResult<void> give_away(int fd, const std::string& path) {
        if (owner_ && ::fchown(fd, owner_->uid, owner_->gid) != 0) {
            return host_failure(errno, path);
        }
        return {};
    }

    TransferResult<void> write_directory(std::size_t dir, const std::string& path,
                                         const std::string& source, const DetachedNode& entry) {
        const int parent = dirs_[dir].get();
        if (::mkdirat(parent, entry.name.c_str(), 0700) != 0) {
            return host_failure(errno, path);
        }
        created_.push_back({dir, entry.name, true});
        UniqueFd fd(
            ::openat(parent, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            return host_failure(errno, path);
        }
        // Someone with write access to the parent may have put their own directory in
        // place of ours between the two calls.
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid()) {
            return refused(EAGAIN, "Replaced while being written", path);
        }
        if (::fchmod(fd.get(), 0700) != 0) {
            return host_failure(errno, path);
        }
        dirs_.push_back(std::move(fd));
        const std::size_t index = dirs_.size() - 1;
        if (auto written = write_entries(index, path, source, entry.children); !written) {
            return written;
        }
        // Given away only once filled, so the account cannot meddle while we write.
        return give_away(dirs_[index].get(), path);
    }

    TransferResult<void> write_file(std::size_t dir, const std::string& path,
                                    const DetachedNode& entry) {
        UniqueFd fd(::openat(dirs_[dir].get(), entry.name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            return host_failure(errno, path);
        }
        created_.push_back({dir, entry.name, false});
        if (::fchmod(fd.get(), 0600) != 0) {
            return host_failure(errno, path);
        }
        if (auto written = write_all(fd.get(), entry.data, path); !written) {
            return written;
        }
        return give_away(fd.get(), path);
    }

    std::optional<Owner> owner_;
    // Descriptors of the directories written into, the real directory first; kept open
    // until the end for undo().
    std::vector<UniqueFd> dirs_;
    std::vector<Created> created_;
};

// Reads a real directory's tree into detached entries, within what the filesystem has
// room for.
class Importer {
  public:
    Importer(std::optional<std::uint32_t> owner_uid, fs::Usage room)
        : owner_uid_(owner_uid), room_(room) {}

    TransferResult<std::vector<DetachedNode>> read_entries(int dir, const std::string& path,
                                                           std::uint64_t depth) {
        auto names = names_in(dir, path);
        if (!names) {
            return std::unexpected(names.error());
        }
        std::vector<DetachedNode> entries;
        entries.reserve(names->size());
        for (std::string& name : *names) {
            const std::string child = join(path, name);
            // Names the filesystem would read as a separator, or Python could not spell.
            if (name.find('\\') != std::string::npos || !is_valid_utf8(name)) {
                return refused(EINVAL, "The name cannot be used in the filesystem", child);
            }
            struct stat seen {};
            if (::fstatat(dir, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
                return host_failure(errno, child);
            }
            const bool directory = S_ISDIR(seen.st_mode);
            if (!directory && !S_ISREG(seen.st_mode)) {
                return refused_kind(seen.st_mode, child);
            }
            if (owner_uid_ && seen.st_uid != *owner_uid_) {
                return refused(EPERM, "Refusing an entry the account does not own", child);
            }
            // The entry may be swapped between the look and the opening: O_NOFOLLOW
            // refuses a link, the comparison anything else, and O_NONBLOCK keeps a fifo
            // from holding us up.
            const int flags = directory ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK | O_NOCTTY;
            UniqueFd fd(::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
            struct stat opened {};
            if (!fd || ::fstat(fd.get(), &opened) != 0 || opened.st_dev != seen.st_dev ||
                opened.st_ino != seen.st_ino) {
                return refused(EAGAIN, "Changed while being read", child);
            }
            if (room_.inodes == 0) {
                return fs_failure(fs::IoErrorKind::NoSpaceLeft);
            }
            --room_.inodes;
            DetachedNode& node = entries.emplace_back();
            node.name = std::move(name);
            if (directory) {
                if (depth + 1 > fs::FileSystem::kMaxDepth) {
                    return fs_failure(fs::IoErrorKind::MaxRecursionDepthExceeded);
                }
                node.kind = DetachedNode::Kind::Directory;
                auto children = read_entries(fd.get(), child, depth + 1);
                if (!children) {
                    return std::unexpected(children.error());
                }
                node.children = std::move(*children);
            } else {
                // Its apparent size counts, holes included: memory is taken for all of it,
                // so a file that cannot fit is refused before anything is allocated.
                if (static_cast<std::uint64_t>(opened.st_size) > room_.bytes) {
                    return fs_failure(fs::IoErrorKind::NoSpaceLeft);
                }
                auto data = read_all(fd.get(), static_cast<std::size_t>(opened.st_size),
                                     room_.bytes, child);
                if (!data) {
                    return std::unexpected(data.error());
                }
                room_.bytes -= data->size();
                node.data = std::move(*data);
            }
        }
        return entries;
    }

  private:
    std::optional<std::uint32_t> owner_uid_;
    // What may still be read: the limits less what the filesystem held at the start.
    fs::Usage room_;
};

} // namespace

std::expected<Owner, std::string> owner_named(const std::string& user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    const int err = ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (err != 0 || found == nullptr) {
        return std::unexpected("No such user: " + user);
    }
    return Owner{found->pw_uid, found->pw_gid};
}

namespace {

// An unlimited filesystem still lives in this machine's memory: no more is read into one
// than the machine has.
std::uint64_t memory_size() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) {
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

// Refuses, before anything is written, an entry the host cannot hold: a name with a NUL
// (which would cut it short) or over 255 bytes, or a symbolic link. Named by its path in
// the tree.
TransferResult<void> check_writable(const std::string& source,
                                    const std::vector<DetachedNode>& entries) {
    for (const DetachedNode& entry : entries) {
        const std::string path = join(source, entry.name);
        if (entry.name.find('\0') != std::string::npos) {
            return refused(EINVAL, "A host directory cannot hold a name with a NUL", path);
        }
        if (entry.name.size() > fs::kMaxNameBytes) {
            return refused(ENAMETOOLONG, std::strerror(ENAMETOOLONG), path);
        }
        if (entry.kind == DetachedNode::Kind::Symlink) {
            return refused(ELOOP, "Symbolic links are not exported", path);
        }
        if (auto checked = check_writable(path, entry.children); !checked) {
            return checked;
        }
    }
    return {};
}

} // namespace

TransferResult<void> export_tree(const fs::FileSystem& fs, std::string_view src,
                                 const std::string& real_dir, std::optional<Owner> owner,
                                 bool require_empty) {
    auto id = fs.get_inode_by_path_raw(src);
    if (!id) {
        return fs_failure(id.error());
    }
    auto entries = fs.copy_out(*id);
    if (!entries) {
        return fs_failure(entries.error());
    }
    auto root = open_real_directory(real_dir);
    if (!root) {
        return std::unexpected(root.error());
    }
    if (require_empty) {
        auto existing = names_in(root->get(), real_dir);
        if (!existing) {
            return std::unexpected(existing.error());
        }
        if (!existing->empty()) {
            return host_failure(ENOTEMPTY, real_dir);
        }
    }
    if (auto checked = check_writable(std::string(src), *entries); !checked) {
        return checked;
    }
    Exporter exporter(std::move(*root), owner);
    auto written = exporter.write_entries(0, real_dir, std::string(src), *entries);
    if (!written) {
        exporter.undo();
    }
    return written;
}

TransferResult<void> import_tree(fs::FileSystem& fs, const std::string& real_dir,
                                 std::string_view dst, std::optional<std::uint32_t> owner_uid) {
    auto id = fs.get_inode_by_path_raw(dst);
    if (!id) {
        return fs_failure(id.error());
    }
    auto root = open_real_directory(real_dir);
    if (!root) {
        return std::unexpected(root.error());
    }
    const fs::Limits limits = fs.limits();
    const fs::Usage used = fs.usage();
    const fs::Usage room{
        std::min(memory_size(), limits.max_bytes - std::min(limits.max_bytes, used.bytes)),
        limits.max_inodes - std::min(limits.max_inodes, used.inodes)};
    auto entries = Importer(owner_uid, room).read_entries(root->get(), real_dir, 0);
    if (!entries) {
        return std::unexpected(entries.error());
    }
    if (auto attached = fs.attach_detached(*id, std::move(*entries)); !attached) {
        return fs_failure(attached.error());
    }
    return {};
}

} // namespace ovaline::bridge
