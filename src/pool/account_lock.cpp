#include "pool/account_lock.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "pool/home_directory.hpp"
#include "sandbox/host_process.hpp"

namespace ovaline::pool {

namespace {

constexpr const char* lock_failed = "Failed to lock the user account";

} // namespace

std::expected<AccountLocks, std::string> AccountLocks::open(const std::string& path) {
    auto fd = open_trusted_directory(path, 0700, lock_failed);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    return AccountLocks(std::move(*fd));
}

std::expected<std::optional<sandbox::UniqueFd>, std::string> lock_file_at(int dir,
                                                                          const std::string& file) {
    sandbox::UniqueFd fd(
        ::openat(dir, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return std::unexpected(std::string(lock_failed) + ": " + sandbox::system_error_text(errno));
    }
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return std::optional<sandbox::UniqueFd>();
        }
        if (errno != EINTR) {
            return std::unexpected(std::string(lock_failed) + ": " +
                                   sandbox::system_error_text(errno));
        }
    }
    return std::optional<sandbox::UniqueFd>(std::move(fd));
}

namespace {

constexpr char clean = 'c';

} // namespace

void mark_clean(int lock) {
    [[maybe_unused]] ssize_t n = ::pwrite(lock, &clean, 1, 0);
}

bool take_clean_mark(int lock) {
    char mark = 0;
    return ::pread(lock, &mark, 1, 0) == 1 && mark == clean && ::ftruncate(lock, 0) == 0;
}

std::expected<std::optional<sandbox::UniqueFd>, std::string>
AccountLocks::lock(const std::string& name) {
    return lock_file_at(fd_.get(), name + ".lock");
}

} // namespace ovaline::pool
