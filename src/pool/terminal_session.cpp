#include "pool/terminal_session.hpp"

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "error/internal_error.hpp"
#include "pool/home_directory.hpp"

namespace ovaline::pool {

namespace {

constexpr const char* write_failed = "Failed to write to terminal session";
constexpr const char* read_failed = "Failed to read from terminal session";

} // namespace

TerminalSession::TerminalSession(std::string home, std::shared_ptr<PoolHolder> pool,
                                 RunningProgram child, std::uint32_t uid)
    : home_(std::move(home)), pool_(std::move(pool)), child_(std::move(child)), uid_(uid) {}

TerminalSession::TerminalSession(TerminalSession&& other) noexcept
    : home_(std::move(other.home_)), pool_(std::move(other.pool_)),
      child_(std::exchange(other.child_, std::nullopt)), uid_(other.uid_) {}

TerminalSession::~TerminalSession() {
    try {
        close();
    } catch (...) {
        // A destructor cannot report; the shell is gone or was never killable.
    }
}

std::expected<TerminalSession, std::string>
TerminalSession::create(std::shared_ptr<PoolHolder> pool) {
    std::optional<UserAccount> account;
    {
        auto guard = pool->mutex.lock();
        account = pool->pool.acquire_user();
    }
    if (!account) {
        return std::unexpected("Failed to acquire a user account");
    }

    auto home = prepare_home(home_parent, account->name, account->uid);
    if (!home) {
        // Nothing ran under the account, so it may serve the next session.
        auto guard = pool->mutex.lock();
        pool->pool.release_user(account->uid);
        return std::unexpected(home.error());
    }

    const std::string args[] = {
        "-s", "/bin/bash", "-P", "-c", "cd /; exec /bin/bash", account->name,
    };
    auto child = start_program("su", args);
    if (!child) {
        throw InternalError("Failed to execute the command `su`: " + child.error());
    }
    return TerminalSession(std::move(*home), std::move(pool), std::move(*child), account->uid);
}

void TerminalSession::close() {
    if (!child_) {
        return;
    }
    RunningProgram child = std::move(*child_);
    child_.reset();

    // A shell that already ended is still our unreaped child, so the kill reaches it;
    // ESRCH means someone else reaped it, which leaves nothing to do.
    if (::kill(child.pid, SIGKILL) != 0 && errno != ESRCH) {
        throw InternalError("Failed to kill the terminal session: " + system_error_text(errno));
    }
    child.input.reset();
    child.output.reset();
    child.error.reset();
    while (::waitpid(child.pid, nullptr, 0) < 0 && errno == EINTR) {
    }

    auto guard = pool_->mutex.lock();
    pool_->pool.release_user(uid_);
}

std::expected<void, std::string> TerminalSession::write(std::span<const char> data) {
    if (!child_) {
        return std::unexpected(write_failed);
    }
    while (!data.empty()) {
        ssize_t n = ::write(child_->input.get(), data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::unexpected(write_failed);
        }
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

std::expected<std::size_t, std::string> TerminalSession::read(Stream stream,
                                                              std::span<char> buffer) {
    if (!child_) {
        return std::unexpected(read_failed);
    }
    if (buffer.empty()) {
        return 0;
    }
    int fd = stream == Stream::Output ? child_->output.get() : child_->error.get();
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
        return std::unexpected(read_failed);
    }
    return static_cast<std::size_t>(n);
}

} // namespace ovaline::pool
