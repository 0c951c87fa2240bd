#pragma once

#include <expected>
#include <optional>
#include <string>

#include "sandbox/unique_fd.hpp"

namespace ovaline::pool {

// Where the accounts' lock files live: a place that every process of the host sees,
// unlike /tmp, which a service may have made private.
inline constexpr const char* account_lock_dir = "/run/ovaline";

// The lock files that keep two sessions, in any processes of the host, from using one
// account at once. The directory is made if missing (mode 0700) and otherwise used only
// when it is a real directory of this process's effective user that nobody else may
// write to; below it nothing is followed.
class AccountLocks {
  public:
    static std::expected<AccountLocks, std::string> open(const std::string& path);

    // The account's lock, held until the descriptor is closed. None when another
    // session holds it.
    std::expected<std::optional<sandbox::UniqueFd>, std::string> lock(const std::string& name);

  private:
    explicit AccountLocks(sandbox::UniqueFd fd) : fd_(std::move(fd)) {}

    sandbox::UniqueFd fd_;
};

// A mark in an account's lock file, held by the caller, that the account's last session
// closed with nothing of it left on the host, so the next start need not search for
// leftovers. Taking the mark removes it: a session whose owner dies before its close
// leaves none, and the start after it clears the account. A mark that cannot be made is
// only a search more.
void mark_clean(int lock);
bool take_clean_mark(int lock);

// Takes the lock of the file `file` below the directory `dir`, creating it (mode 0600)
// if missing and following no link. None when another holder has it.
std::expected<std::optional<sandbox::UniqueFd>, std::string> lock_file_at(int dir,
                                                                          const std::string& file);

} // namespace ovaline::pool
