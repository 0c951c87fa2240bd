#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "fs/file_system.hpp"

namespace ovaline::bridge {

// A failure on the host's side: the errno, what went wrong, and the host path.
struct HostError {
    int errnum;
    std::string message;
    std::string path;
};

// Either side may fail: the in-memory filesystem or the host.
using TransferError = std::variant<fs::IoError, HostError>;
template <class T> using TransferResult = std::expected<T, TransferError>;

// The account exported entries are given to. Looked up here, by name, since giving
// them away is all the bridge needs of an account.
struct Owner {
    std::uint32_t uid;
    std::uint32_t gid;
};

// The account's user and primary group ids, or a message when there is no such account.
std::expected<Owner, std::string> owner_named(const std::string& user);

// Copying trees between a filesystem and a real directory that may belong to a hostile
// account racing us while we run as root. Nothing is ever followed: the real directory
// is reached one step at a time, each step refusing a symbolic link, and everything
// below it relative to the descriptor of its directory. A failure leaves the destination
// as it was.

// Writes the entries of the directory `src` into `real_dir`, which must exist (and be
// empty when `require_empty`). Directories are created with mode 0700 and files with
// mode 0600, never over an existing name, and given to `owner` when set.
TransferResult<void> export_tree(const fs::FileSystem& fs, std::string_view src,
                                 const std::string& real_dir, std::optional<Owner> owner,
                                 bool require_empty = true);

// Reads `real_dir` and everything below it and adds its entries to the directory `dst`
// in one step. Only directories and regular files are read; anything else is refused by
// its path. With `owner_uid`, every entry must belong to that user, so a hard link to
// another user's file is refused too.
TransferResult<void> import_tree(fs::FileSystem& fs, const std::string& real_dir,
                                 std::string_view dst, std::optional<std::uint32_t> owner_uid);

} // namespace ovaline::bridge
