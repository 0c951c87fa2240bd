#include "sandbox/job.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sandbox/host_process.hpp"
#include "sandbox/per_process.hpp"
#include "sandbox/process_tree.hpp"

namespace ovaline::sandbox {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
// Without process descriptors (old kernels) an end is looked for this often.
constexpr auto kReapStep = std::chrono::milliseconds(10);

// What the reading thread watches: a job's stream, or its end when `exit` is set.
struct Watch {
    std::shared_ptr<Job> job;
    int fd;
    Job::Stream stream;
    bool exit;
};

// The one thread that takes every job's output off its pipes and sees every job end. It
// holds each job until its streams and its process have ended.
class JobReader {
  public:
    JobReader() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        std::thread([this] { run(); }).detach();
    }

    bool watch(const std::shared_ptr<Job>& job, int fd, Job::Stream stream, bool exit) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = new Watch{job, fd, stream, exit};
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            delete static_cast<Watch*>(event.data.ptr);
            return false;
        }
        return true;
    }

  private:
    void run() {
        epoll_event events[16];
        for (;;) {
            const int ready = ::epoll_wait(epoll_.get(), events, 16, -1);
            for (int i = 0; i < ready; ++i) {
                auto* watch = static_cast<Watch*>(events[i].data.ptr);
                const bool more =
                    watch->exit ? !watch->job->poll() : watch->job->take(watch->stream);
                if (!more) {
                    // Out of the set before the descriptor can close and its number be
                    // reused.
                    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, watch->fd, nullptr);
                    if (!watch->exit) {
                        watch->job->close_stream(watch->stream);
                    }
                    delete watch;
                }
            }
        }
    }

    UniqueFd epoll_;
};

bool set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

namespace {

// A sealed file in memory holding `data`, read from its start.
std::expected<UniqueFd, int> memory_file(const std::string& data) {
    UniqueFd fd(::memfd_create("input", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd) {
        return std::unexpected(errno);
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::unexpected(n < 0 ? errno : EIO);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::lseek(fd.get(), 0, SEEK_SET) != 0 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) !=
            0) {
        return std::unexpected(errno);
    }
    return fd;
}

} // namespace

std::expected<std::shared_ptr<Job>, int> Job::start(ProgramLaunch launch,
                                                    std::optional<std::size_t> max_output,
                                                    std::optional<std::string> input) {
    std::optional<UniqueFd> given;
    if (input) {
        auto file = memory_file(*input);
        if (!file) {
            return std::unexpected(file.error());
        }
        given = std::move(*file);
    }
    auto in = make_pipe();
    auto out = make_pipe();
    auto err = make_pipe();
    if (!in || !out || !err) {
        return std::unexpected(!in ? in.error() : !out ? out.error() : err.error());
    }
    launch.streams[0] = given ? given->get() : in->read.get();
    launch.streams[1] = out->write.get();
    launch.streams[2] = err->write.get();
    launch.own_pid_namespace = true;
    auto started = spawn(launch);
    if (!started) {
        return std::unexpected(started.error());
    }
    // With its input given, the program's standard input is not ours to write.
    if (given) {
        in->write.reset();
    }
    std::shared_ptr<Job> job(new Job(std::move(*started), std::move(in->write),
                                     std::move(out->read), std::move(err->read), max_output));
    // The init started the program before the program's exec ended the spawn.
    job->program_ = first_child(job->child_.pid);
    if ((job->input_ && !set_nonblocking(job->input_.get())) ||
        !set_nonblocking(job->out_.fd.get()) || !set_nonblocking(job->err_.fd.get())) {
        return std::unexpected(errno);
    }
    JobReader& reader = per_process<JobReader>();
    if (!reader.watch(job, job->out_.fd.get(), Stream::Output, false) ||
        !reader.watch(job, job->err_.fd.get(), Stream::Error, false) ||
        (job->child_.pidfd && !reader.watch(job, job->child_.pidfd.get(), Stream::Output, true))) {
        return std::unexpected(errno);
    }
    return job;
}

Job::Job(Started started, UniqueFd input, UniqueFd out, UniqueFd err,
         std::optional<std::size_t> max_output)
    : child_(std::move(started)), max_output_(max_output), input_(std::move(input)) {
    out_.fd = std::move(out);
    err_.fd = std::move(err);
}

Job::~Job() {
    std::lock_guard lock(mutex_);
    if (!reap_locked(false)) {
        kill_locked();
        reap_locked(true);
    }
}

void Job::notify() {
    const std::uint64_t one = 1;
    for (const UniqueFd& notifier : notifiers_) {
        [[maybe_unused]] ssize_t n = ::write(notifier.get(), &one, sizeof one);
    }
    changed_.notify_all();
}

std::expected<int, int> Job::subscribe() {
    UniqueFd notifier(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!notifier) {
        return std::unexpected(errno);
    }
    std::lock_guard lock(mutex_);
    const int fd = notifier.get();
    notifiers_.push_back(std::move(notifier));
    return fd;
}

void Job::unsubscribe(int notifier) {
    std::lock_guard lock(mutex_);
    std::erase_if(notifiers_, [&](const UniqueFd& fd) { return fd.get() == notifier; });
}

bool Job::take(Stream stream) {
    std::lock_guard lock(mutex_);
    Buffer& from = buffer(stream);
    for (int i = 0; i < 4 && !from.ended; ++i) {
        std::string piece(kReadSize, '\0');
        const ssize_t n = ::read(from.fd.get(), piece.data(), piece.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        }
        if (n <= 0) {
            from.ended = true;
            break;
        }
        const auto got = static_cast<std::size_t>(n);
        const std::size_t room =
            max_output_ ? *max_output_ - std::min(*max_output_, from.held) : got;
        const std::size_t kept = std::min(got, room);
        from.dropped += got - kept;
        if (kept > 0) {
            piece.resize(kept);
            from.held += kept;
            from.pieces.push_back(std::move(piece));
        }
    }
    notify();
    return !from.ended;
}

bool Job::reap_locked(bool block) {
    if (status_) {
        return true;
    }
    int raw = 0;
    rusage usage{};
    pid_t got;
    while ((got = ::wait4(child_.pid, &raw, block ? 0 : WNOHANG, &usage)) < 0 && errno == EINTR) {
    }
    if (got == child_.pid) {
        status_ = exit_status(child_, raw);
        if (auto program = program_usage(child_)) {
            usage = *program;
        }
    } else if (got < 0) {
        // Reaped elsewhere (under an ignored SIGCHLD, say): the status is lost.
        status_ = 255;
    }
    if (status_) {
        using std::chrono::microseconds;
        using std::chrono::seconds;
        wall_time_ = Clock::now() - started_at_;
        cpu_time_ = seconds(usage.ru_utime.tv_sec) + microseconds(usage.ru_utime.tv_usec) +
                    seconds(usage.ru_stime.tv_sec) + microseconds(usage.ru_stime.tv_usec);
        // The kernel counts it in kilobytes.
        peak_memory_ = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
        notify();
    }
    return status_.has_value();
}

std::optional<int> Job::poll() {
    std::lock_guard lock(mutex_);
    reap_locked(false);
    return status_;
}

std::expected<std::optional<std::string>, ShellFailure> Job::next(Stream stream,
                                                                  Deadline deadline) {
    std::unique_lock lock(mutex_);
    Buffer& from = buffer(stream);
    for (;;) {
        if (!from.pieces.empty()) {
            std::string piece = std::move(from.pieces.front());
            from.pieces.pop_front();
            from.held -= piece.size();
            return piece;
        }
        if (from.ended) {
            return std::nullopt;
        }
        if (deadline && Clock::now() >= *deadline) {
            return std::unexpected(ShellFailure::TimedOut);
        }
        if (deadline) {
            changed_.wait_until(lock, *deadline);
        } else {
            changed_.wait(lock);
        }
    }
}

std::expected<void, ShellFailure> Job::write(std::span<const char> data, Deadline deadline) {
    std::lock_guard lock(input_mutex_);
    while (!data.empty()) {
        if (!input_) {
            return std::unexpected(ShellFailure::Broken);
        }
        const ssize_t n = ::write(input_.get(), data.data(), data.size());
        if (n > 0) {
            data = data.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd room = {input_.get(), POLLOUT, 0};
            // A signal only interrupts the wait: what was written stays written.
            if (auto ready = poll_until(&room, 1, deadline);
                !ready && ready.error() != ShellFailure::Interrupted) {
                return ready;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return std::unexpected(ShellFailure::Broken);
    }
    return {};
}

void Job::close_input() {
    std::lock_guard lock(input_mutex_);
    input_.reset();
}

void Job::signal(int signal) {
    std::lock_guard lock(mutex_);
    if (status_) {
        return;
    }
    if (program_ > 0) {
        ::kill(program_, signal);
    }
}

void Job::kill() {
    std::lock_guard lock(mutex_);
    kill_locked();
}

void Job::time_out() {
    std::lock_guard lock(mutex_);
    if (!status_) {
        timed_out_ = true;
    }
    kill_locked();
}

bool Job::finished() {
    std::lock_guard lock(mutex_);
    reap_locked(false);
    return status_ && out_.ended && err_.ended;
}

void Job::kill_locked() {
    // Not yet reaped, so the pid still names the init, whose death ends everything inside.
    if (status_) {
        return;
    }
    killed_ = true;
    if (!child_.pidfd ||
        ::syscall(SYS_pidfd_send_signal, child_.pidfd.get(), SIGKILL, nullptr, 0) != 0) {
        ::kill(child_.pid, SIGKILL);
    }
}

std::expected<RunOutcome, ShellFailure> Job::wait(Deadline deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
        reap_locked(false);
        if (status_ && out_.ended && err_.ended) {
            break;
        }
        Deadline limit = killed_ ? std::nullopt : deadline;
        if (!child_.pidfd && !status_) {
            const auto step = Clock::now() + kReapStep;
            limit = limit ? std::min(*limit, step) : step;
        }
        if (!limit) {
            changed_.wait(lock);
        } else if (changed_.wait_until(lock, *limit) == std::cv_status::timeout && !killed_ &&
                   deadline && Clock::now() >= *deadline) {
            timed_out_ = true;
            kill_locked();
        }
    }
    RunOutcome outcome;
    outcome.status = *status_;
    outcome.timed_out = timed_out_;
    outcome.ended_by = timed_out_           ? EndedBy::Timeout
                       : outcome.status < 0 ? EndedBy::Signal
                                            : EndedBy::Exit;
    outcome.wall_time = wall_time_;
    outcome.cpu_time = cpu_time_;
    outcome.peak_memory = peak_memory_;
    for (auto [from, to] : {std::pair{&out_, &outcome.out}, std::pair{&err_, &outcome.err}}) {
        to->size = from->held;
        to->pieces.assign(std::make_move_iterator(from->pieces.begin()),
                          std::make_move_iterator(from->pieces.end()));
        from->pieces.clear();
        from->held = 0;
        outcome.truncated = outcome.truncated || from->dropped > 0;
    }
    return outcome;
}

void Job::close_stream(Stream stream) {
    std::lock_guard lock(mutex_);
    buffer(stream).fd.reset();
}

std::uint64_t Job::dropped(Stream stream) {
    std::lock_guard lock(mutex_);
    return buffer(stream).dropped;
}

} // namespace ovaline::sandbox
