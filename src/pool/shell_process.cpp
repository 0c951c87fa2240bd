#include "pool/shell_process.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "error/internal_error.hpp"
#include "pool/host_process.hpp"
#include "pool/per_process.hpp"

namespace ovaline::pool {

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

// Runs tasks on one thread that lives as long as the process. A child's parent-death
// signal fires when the thread that forked it ends, so children are forked here rather
// than on a caller's thread, which may end long before the child should.
// Its thread starts with the first task and outlasts every child it started.
class Spawner {
  public:
    static Spawner& instance() { return per_process<Spawner>(); }

    void call(const std::function<void()>& task) {
        Task item{&task, false};
        std::unique_lock lock(mutex_);
        if (!started_) {
            std::thread([this] { run(); }).detach();
            started_ = true;
        }
        queue_.push_back(&item);
        changed_.notify_all();
        changed_.wait(lock, [&] { return item.done; });
    }

  private:
    struct Task {
        const std::function<void()>* body;
        bool done;
    };

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty(); });
            Task* task = queue_.front();
            queue_.pop_front();
            lock.unlock();
            (*task->body)();
            lock.lock();
            task->done = true;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task*> queue_;
    bool started_ = false;
};

std::vector<char*> c_strings(const std::string& first, std::span<const std::string> rest) {
    std::vector<char*> out;
    out.reserve(rest.size() + 2);
    if (!first.empty()) {
        out.push_back(const_cast<char*>(first.c_str()));
    }
    for (const auto& item : rest) {
        out.push_back(const_cast<char*>(item.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

// In the forked child, before exec: only async-signal-safe calls from here on.
[[noreturn]] void exec_child(pid_t parent, const int (&streams)[3], int report, const char* path,
                             char* const* argv, char* const* envp) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the signal was armed.
    if (::getppid() != parent) {
        ::_exit(127);
    }
    // Lift each end above the standard numbers first, so no dup2 overwrites another end.
    int lifted[3];
    for (int i = 0; i < 3; ++i) {
        lifted[i] = ::fcntl(streams[i], F_DUPFD_CLOEXEC, 3);
    }
    for (int i = 0; i < 3; ++i) {
        if (lifted[i] < 0 || ::dup2(lifted[i], i) < 0) {
            int err = errno;
            [[maybe_unused]] ssize_t n = ::write(report, &err, sizeof err);
            ::_exit(127);
        }
    }
    ::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
    // Not in whatever directory the caller happens to be in.
    if (::chdir("/") != 0) {
        int err = errno;
        [[maybe_unused]] ssize_t n = ::write(report, &err, sizeof err);
        ::_exit(127);
    }
    // A fresh program's signal state, not what the embedding interpreter ignores or the
    // forking thread blocks.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    ::sigaction(SIGXFSZ, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(path, argv, envp);
    int err = errno;
    [[maybe_unused]] ssize_t n = ::write(report, &err, sizeof err);
    ::_exit(127);
}

bool set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Waits until one of `fds` is ready; fails with TimedOut at the deadline and with
// Interrupted on a signal.
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

int decode_status(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return -WTERMSIG(status);
    }
    return 255;
}

} // namespace

std::expected<std::string, int> find_program(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    int err = ENOENT;
    for (;;) {
        std::size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            err = EACCES;
        }
        if (colon == std::string_view::npos) {
            return std::unexpected(err);
        }
        dirs.remove_prefix(colon + 1);
    }
}

std::expected<std::unique_ptr<ShellProcess>, std::string>
ShellProcess::start(const std::string& path, std::span<const std::string> args,
                    std::span<const std::string> env) {
    auto pipes = std::make_shared<Pipes>();
    PipeEnds ends[3];
    for (auto& end : ends) {
        auto made = make_pipe();
        if (!made) {
            return std::unexpected(system_error_text(made.error()));
        }
        end = std::move(*made);
    }
    auto report = make_pipe();
    if (!report) {
        return std::unexpected(system_error_text(report.error()));
    }
    pipes->wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!pipes->wake) {
        return std::unexpected(system_error_text(errno));
    }

    std::vector<char*> argv = c_strings(path, args);
    std::vector<char*> envp = c_strings("", env);
    const int streams[3] = {ends[0].read.get(), ends[1].write.get(), ends[2].write.get()};
    pid_t pid = -1;
    int fork_error = 0;
    UniqueFd pidfd;
    Spawner::instance().call([&] {
        pid_t parent = ::getpid();
        pid = ::fork();
        if (pid == 0) {
            exec_child(parent, streams, report->write.get(), path.c_str(), argv.data(),
                       envp.data());
        }
        if (pid < 0) {
            fork_error = errno;
            return;
        }
        // Opened before anyone can reap the child, so it always names this child.
        pidfd = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    });
    if (pid < 0) {
        return std::unexpected(system_error_text(fork_error));
    }
    report->write.reset();
    ends[0].read.reset();
    ends[1].write.reset();
    ends[2].write.reset();

    int exec_error = 0;
    ssize_t got;
    while ((got = ::read(report->read.get(), &exec_error, sizeof exec_error)) < 0 &&
           errno == EINTR) {
    }
    if (got == sizeof exec_error) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return std::unexpected(system_error_text(exec_error));
    }

    pipes->input = std::move(ends[0].write);
    pipes->output = std::move(ends[1].read);
    pipes->error = std::move(ends[2].read);
    auto process = std::unique_ptr<ShellProcess>(new ShellProcess(pid, std::move(pidfd), pipes));
    for (int fd : {pipes->input.get(), pipes->output.get(), pipes->error.get()}) {
        if (!set_nonblocking(fd)) {
            int err = errno;
            process->terminate();
            return std::unexpected(system_error_text(err));
        }
    }
    return process;
}

ShellProcess::ShellProcess(pid_t pid, UniqueFd pidfd, std::shared_ptr<Pipes> pipes)
    : pid_(pid), owner_(::getpid()), pidfd_(std::move(pidfd)), pipes_(std::move(pipes)) {}

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
        status_ = decode_status(status);
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
        if (pidfd_) {
            // The descriptor of a live child becomes readable when it ends.
            pollfd fd = {pidfd_.get(), POLLIN, 0};
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

void ShellProcess::terminate() {
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

} // namespace ovaline::pool
