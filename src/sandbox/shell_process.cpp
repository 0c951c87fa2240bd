#include "sandbox/shell_process.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "error/internal_error.hpp"
#include "sandbox/host_process.hpp"

namespace ovaline::sandbox {

// The wake-up descriptor becomes readable, and stays so, when the shell is shut down;
// every poll includes it.
struct ShellProcess::Pipes {
    UniqueFd input;
    UniqueFd output;
    UniqueFd error;
    UniqueFd wake;
    std::atomic<bool> closed{false};
};

namespace {

bool set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Waits until `fd` is ready for `events`; fails with Closed once the wake-up
// descriptor fires.
std::expected<void, ShellFailure> wait_ready(int fd, short events, int wake, Deadline deadline) {
    pollfd fds[2] = {{wake, POLLIN, 0}, {fd, events, 0}};
    if (auto ready = poll_until(fds, 2, deadline); !ready) {
        return ready;
    }
    if (fds[0].revents != 0) {
        return std::unexpected(ShellFailure::Closed);
    }
    return {};
}

} // namespace

std::expected<void, ShellFailure> poll_until(pollfd* fds, nfds_t count, Deadline deadline) {
    for (;;) {
        timespec timeout{};
        timespec* limit = nullptr;
        if (deadline) {
            auto left = *deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return std::unexpected(ShellFailure::TimedOut);
            }
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            limit = &timeout;
        }
        int ready = ::ppoll(fds, count, limit, nullptr);
        if (ready > 0) {
            return {};
        }
        if (ready < 0) {
            return std::unexpected(errno == EINTR ? ShellFailure::Interrupted
                                                  : ShellFailure::Broken);
        }
    }
}

std::expected<std::unique_ptr<ShellProcess>, std::string>
ShellProcess::start(ProgramLaunch launch) {
    auto pipes = std::make_shared<Pipes>();
    PipeEnds ends[3];
    for (auto& end : ends) {
        auto made = make_pipe();
        if (!made) {
            return std::unexpected(system_error_text(made.error()));
        }
        end = std::move(*made);
    }
    pipes->wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!pipes->wake) {
        return std::unexpected(system_error_text(errno));
    }
    launch.streams[0] = ends[0].read.get();
    launch.streams[1] = ends[1].write.get();
    launch.streams[2] = ends[2].write.get();
    auto started = spawn(launch);
    if (!started) {
        return std::unexpected(system_error_text(started.error()));
    }
    ends[0].read.reset();
    ends[1].write.reset();
    ends[2].write.reset();

    pipes->input = std::move(ends[0].write);
    pipes->output = std::move(ends[1].read);
    pipes->error = std::move(ends[2].read);
    auto process = std::unique_ptr<ShellProcess>(new ShellProcess(std::move(*started), pipes));
    for (int fd : {pipes->input.get(), pipes->output.get(), pipes->error.get()}) {
        if (!set_nonblocking(fd)) {
            int err = errno;
            process->terminate();
            return std::unexpected(system_error_text(err));
        }
    }
    return process;
}

ShellProcess::ShellProcess(Started started, std::shared_ptr<Pipes> pipes)
    : child_(std::move(started)), pid_(child_.pid), owner_(::getpid()), pipes_(std::move(pipes)) {}

ShellProcess::~ShellProcess() {
    try {
        terminate();
    } catch (...) {
        // A destructor cannot report; the program was killed or is beyond reach.
    }
}

std::shared_ptr<ShellProcess::Pipes> ShellProcess::pipes() {
    std::lock_guard lock(pipes_mutex_);
    return pipes_;
}

bool ShellProcess::shut_down() {
    auto pipes = this->pipes();
    if (!pipes || pipes->closed.exchange(true, std::memory_order_acq_rel)) {
        return false;
    }
    // A forked copy shares the wake-up descriptor with the original, whose calls must
    // not end; it has no other threads to wake.
    if (::getpid() == owner_) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(pipes->wake.get(), &one, sizeof one);
    }
    return true;
}

std::expected<std::size_t, ShellFailure> ShellProcess::read(Stream stream, std::span<char> buffer,
                                                            Deadline deadline) {
    auto pipes = this->pipes();
    if (!pipes) {
        return std::unexpected(ShellFailure::Closed);
    }
    int fd = stream == Stream::Output ? pipes->output.get() : pipes->error.get();
    for (;;) {
        if (pipes->closed.load(std::memory_order_acquire)) {
            return std::unexpected(ShellFailure::Closed);
        }
        if (buffer.empty()) {
            return 0;
        }
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EAGAIN && errno != EINTR) {
            return std::unexpected(ShellFailure::Broken);
        }
        if (auto ready = wait_ready(fd, POLLIN, pipes->wake.get(), deadline); !ready) {
            return std::unexpected(ready.error());
        }
    }
}

std::expected<void, ShellFailure> ShellProcess::write(std::span<const char>& data) {
    auto pipes = this->pipes();
    if (!pipes || pipes->closed.load(std::memory_order_acquire)) {
        return std::unexpected(ShellFailure::Closed);
    }
    std::lock_guard lock(write_mutex_);
    while (!data.empty()) {
        if (pipes->closed.load(std::memory_order_acquire)) {
            return std::unexpected(ShellFailure::Closed);
        }
        std::size_t chunk = std::min<std::size_t>(data.size(), SSIZE_MAX);
        ssize_t n = ::write(pipes->input.get(), data.data(), chunk);
        if (n > 0) {
            data = data.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            return std::unexpected(ShellFailure::Broken);
        }
        if (auto ready = wait_ready(pipes->input.get(), POLLOUT, pipes->wake.get(), std::nullopt);
            !ready) {
            return std::unexpected(ready.error());
        }
    }
    return {};
}

void ShellProcess::reap_if_ended(bool block) {
    if (reaped_) {
        return;
    }
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(pid_, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (got == pid_) {
        status_ = exit_status(child_, status);
        reaped_ = true;
    } else if (got < 0) {
        // Reaped elsewhere (under an ignored SIGCHLD, say): the status is lost, which
        // counts as a failure.
        status_ = 255;
        reaped_ = true;
    }
}

std::optional<int> ShellProcess::poll() {
    std::lock_guard lock(status_mutex_);
    reap_if_ended(false);
    return status_;
}

std::expected<int, ShellFailure> ShellProcess::wait(Deadline deadline) {
    using namespace std::chrono_literals;
    for (;;) {
        if (auto status = poll()) {
            return *status;
        }
        if (child_.pidfd) {
            // The descriptor of a live child becomes readable when it ends.
            pollfd fd = {child_.pidfd.get(), POLLIN, 0};
            if (auto ready = poll_until(&fd, 1, deadline); !ready) {
                return std::unexpected(ready.error());
            }
            continue;
        }
        // Without process descriptors (old kernels) the status is looked at in short
        // steps.
        auto step = Clock::now() + 10ms;
        if (deadline && *deadline < step) {
            if (Clock::now() >= *deadline) {
                return std::unexpected(ShellFailure::TimedOut);
            }
            step = *deadline;
        }
        std::this_thread::sleep_until(step);
    }
}

void ShellProcess::terminate(std::optional<int> killed_status) {
    std::lock_guard lock(status_mutex_);
    reap_if_ended(false);
    if (reaped_) {
        release_pipes();
        return;
    }
    // Not yet reaped, so the pid still names our child, even as a zombie.
    if (::kill(pid_, SIGKILL) != 0) {
        throw InternalError("Failed to kill the terminal session: " + system_error_text(errno));
    }
    reap_if_ended(true);
    if (killed_status) {
        status_ = killed_status;
    }
    release_pipes();
}

void ShellProcess::resume() {
    std::lock_guard lock(status_mutex_);
    // Not yet reaped, so the pid still names our child.
    if (!reaped_) {
        ::kill(pid_, SIGCONT);
    }
}

void ShellProcess::release_pipes() {
    shut_down();
    std::lock_guard lock(pipes_mutex_);
    pipes_.reset();
}

} // namespace ovaline::sandbox
