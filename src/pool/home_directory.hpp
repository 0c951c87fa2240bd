#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "sandbox/unique_fd.hpp"

namespace ovaline::pool {

// Where every session's home directory lives.
inline constexpr const char* home_parent = "/tmp/tmp_user_home";

// Removes the entry `name` of the directory `dir`, and everything below it when it is a
// directory, following no symbolic link and keeping only a few descriptors open however
// deep it nests. 0 or the errno of the failure.
int remove_tree_at(int dir, const char* name);

// Opens the directory `path`, made with `mode` if missing, only when it is a real
// directory of this process's effective user that nobody else may write to; otherwise
// returns why not, after `failure`. Nothing is changed before that is known. Throws
// InternalError when the directory can be neither made nor found.
std::expected<sandbox::UniqueFd, std::string>
open_trusted_directory(const std::string& path, mode_t mode, std::string_view failure);

// The directory that holds the sessions' homes and the lock files of earlier versions.
//
// It sits in a directory every local user can write to, so it is created if missing
// (mode 0755) and otherwise used only when it is a real directory of this process's
// effective user that nobody else may write to; anything else is refused before a thing
// is changed. Below it nothing is followed: every entry is reached relative to its
// descriptor.
class HomeParent {
  public:
    // A refusal is returned as an error; a parent that cannot be created throws
    // InternalError.
    static std::expected<HomeParent, std::string> open(const std::string& path);

    // Takes the account's lock file beside the homes, where earlier versions keep their
    // only lock, so that a session never takes an account that one of theirs holds.
    // None when another session holds it.
    std::expected<std::optional<sandbox::UniqueFd>, std::string>
    lock_account(const std::string& name);

    // Makes `name` a fresh, empty directory of mode 0700 owned by uid with group uid and
    // returns its canonical path. A path without a canonical UTF-8 form and a failed
    // change of owner are returned as errors; a directory that cannot be created or
    // removed throws InternalError.
    std::expected<std::string, std::string> prepare_home(const std::string& name,
                                                         std::uint32_t uid);

    // Makes the account's own temporary places afresh beside the homes: a root-owned
    // directory, returned by its canonical path, holding `tmp`, `var-tmp`, `shm` and
    // `run-lock` (each like the shared places they stand in for, mode 1777) and the
    // mount point `tmp/tmp_user_home/<name>` for the home. Errors as prepare_home's.
    std::expected<std::string, std::string> prepare_private(const std::string& name);
    // Removes them with all the account put there; 0 or the errno.
    int remove_private(const std::string& name);

  private:
    HomeParent(std::string path, sandbox::UniqueFd fd)
        : path_(std::move(path)), fd_(std::move(fd)) {}

    std::string path_;
    sandbox::UniqueFd fd_;
};

} // namespace ovaline::pool
