#include "sandbox/command_run.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/host_process.hpp"

namespace ovaline::sandbox {

namespace {

constexpr std::size_t chunk_size = 64 * 1024;
// Big output moves in fewer, larger reads through a larger pipe.
constexpr std::size_t read_size = 1024 * 1024;
// Without process descriptors (old kernels) the command's end is looked for this often.
constexpr auto reap_step = std::chrono::milliseconds(10);

bool set_nonblocking(const UniqueFd& fd) {
    int flags = ::fcntl(fd.get(), F_GETFL);
    return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

std::string Output::text() const {
    std::string all;
    all.reserve(size);
    for (const auto& piece : pieces) {
        all += piece;
    }
    return all;
}

std::expected<std::unique_ptr<CommandRun>, std::string>
CommandRun::start(ProgramLaunch launch, std::optional<std::string> input,
                  std::optional<std::size_t> max_output, Deadline deadline) {
    const Clock::time_point started_at = Clock::now();
    auto out = make_pipe();
    auto err = make_pipe();
    if (!out || !err) {
        return std::unexpected(system_error_text(out ? err.error() : out.error()));
    }
    PipeEnds in;
    if (input) {
        auto made = make_pipe();
        if (!made) {
            return std::unexpected(system_error_text(made.error()));
        }
        in = std::move(*made);
    }
    launch.streams[0] = in.read.get();
    launch.streams[1] = out->write.get();
    launch.streams[2] = err->write.get();
    launch.own_pid_namespace = true;
    auto started = spawn(launch);
    if (!started) {
        return std::unexpected(system_error_text(started.error()));
    }
    in.read.reset();
    out->write.reset();
    err->write.reset();
    std::unique_ptr<CommandRun> run(new CommandRun(
        std::move(*started), started_at, std::move(in.write), std::move(out->read),
        std::move(err->read), input ? std::move(*input) : std::string(), max_output, deadline));
    for (const UniqueFd* fd : {&run->input_, &run->out_, &run->err_}) {
        if (*fd && !set_nonblocking(*fd)) {
            return std::unexpected(system_error_text(errno));
        }
    }
    for (const UniqueFd* fd : {&run->out_, &run->err_}) {
        // Best effort: the system may cap pipe sizes below this.
        ::fcntl(fd->get(), F_SETPIPE_SZ, static_cast<int>(read_size));
    }
    if (run->input_ && run->data_.empty()) {
        run->input_.reset();
    }
    return run;
}

CommandRun::CommandRun(Started started, Clock::time_point started_at, UniqueFd input, UniqueFd out,
                       UniqueFd err, std::string data, std::optional<std::size_t> max_output,
                       Deadline deadline)
    : child_(std::move(started)), started_at_(started_at), input_(std::move(input)),
      out_(std::move(out)), err_(std::move(err)), data_(std::move(data)), max_output_(max_output),
      deadline_(deadline) {}

CommandRun::~CommandRun() {
    if (!reaped_) {
        kill();
        reap(true);
    }
    if (done_) {
        done_();
    }
}

void CommandRun::kill() {
    if (reaped_) {
        return;
    }
    killed_ = true;
    // Not yet reaped, so the pid still names the init; its death ends everything inside.
    if (!child_.pidfd ||
        ::syscall(SYS_pidfd_send_signal, child_.pidfd.get(), SIGKILL, nullptr, 0) != 0) {
        ::kill(child_.pid, SIGKILL);
    }
}

void CommandRun::reap(bool block) {
    int raw = 0;
    rusage usage{};
    pid_t got;
    while ((got = ::wait4(child_.pid, &raw, block ? 0 : WNOHANG, &usage)) < 0 && errno == EINTR) {
    }
    if (got == child_.pid) {
        outcome_.status = exit_status(child_, raw);
        if (auto program = program_usage(child_)) {
            usage = *program;
        }
        reaped_ = true;
    } else if (got < 0) {
        // Reaped elsewhere (under an ignored SIGCHLD, say): the status is lost.
        outcome_.status = 255;
        reaped_ = true;
    }
    if (!reaped_) {
        return;
    }
    using std::chrono::microseconds;
    using std::chrono::seconds;
    outcome_.wall_time = Clock::now() - started_at_;
    outcome_.cpu_time = seconds(usage.ru_utime.tv_sec) + microseconds(usage.ru_utime.tv_usec) +
                        seconds(usage.ru_stime.tv_sec) + microseconds(usage.ru_stime.tv_usec);
    // The kernel counts it in kilobytes.
    outcome_.peak_memory = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
    outcome_.ended_by = outcome_.timed_out    ? EndedBy::Timeout
                        : outcome_.status < 0 ? EndedBy::Signal
                                              : EndedBy::Exit;
    if (outcome_.status == -SIGKILL && !killed_ && out_of_memory_ && out_of_memory_()) {
        outcome_.ended_by = EndedBy::Memory;
    }
}

std::size_t read_output(UniqueFd& fd, Output& sink, std::optional<std::size_t> max_output,
                        std::vector<char>& scratch, bool& truncated) {
    std::size_t room = max_output ? *max_output - std::min(*max_output, sink.size)
                                  : std::numeric_limits<std::size_t>::max();
    ssize_t n = 0;
    std::size_t kept = 0;
    if (room == 0) {
        scratch.resize(read_size);
        n = ::read(fd.get(), scratch.data(), read_size);
    } else {
        // Straight into the last piece while it has room for a whole read, else into a
        // new one: nothing is copied on the way.
        if (sink.pieces.empty() ||
            sink.pieces.back().capacity() - sink.pieces.back().size() < read_size) {
            sink.pieces.emplace_back().reserve(read_size);
        }
        std::string& piece = sink.pieces.back();
        const std::size_t old = piece.size();
        piece.resize_and_overwrite(old + read_size, [&](char* data, std::size_t) {
            n = ::read(fd.get(), data + old, read_size);
            kept = n > 0 ? std::min(static_cast<std::size_t>(n), room) : 0;
            return old + kept;
        });
        sink.size += kept;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    if (n <= 0) {
        fd.reset();
        return 0;
    }
    auto got = static_cast<std::size_t>(n);
    truncated = truncated || kept < got;
    return got;
}

std::size_t CommandRun::read_some(UniqueFd& fd, Output& sink) {
    return read_output(fd, sink, max_output_, buffer_, outcome_.truncated);
}

void CommandRun::write_some() {
    std::size_t left = data_.size() - written_;
    ssize_t n = ::write(input_.get(), data_.data() + written_, std::min(left, chunk_size));
    if (n > 0) {
        written_ += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    // Everything written, or the command wants no more.
    if (n <= 0 || written_ == data_.size()) {
        input_.reset();
    }
}

std::expected<void, ShellFailure> CommandRun::wait() {
    for (;;) {
        reap(false);
        if (reaped_) {
            // The init is gone and with it every writer inside: what is left in the
            // pipes is all there is. A writer that got out some other way is not waited
            // for.
            while (out_ && read_some(out_, outcome_.out) > 0) {
            }
            while (err_ && read_some(err_, outcome_.err) > 0) {
            }
            out_.reset();
            err_.reset();
            input_.reset();
            return {};
        }
        pollfd fds[4];
        nfds_t count = 0;
        auto watch = [&](const UniqueFd& fd, short events) {
            fds[count++] = {fd ? fd.get() : -1, events, 0};
        };
        watch(child_.pidfd, POLLIN);
        watch(input_, POLLOUT);
        watch(out_, POLLIN);
        watch(err_, POLLIN);
        Deadline limit = killed_ ? std::nullopt : deadline_;
        if (!child_.pidfd) {
            auto step = Clock::now() + reap_step;
            limit = limit ? std::min(*limit, step) : step;
        }
        if (auto ready = poll_until(fds, count, limit); !ready) {
            if (ready.error() != ShellFailure::TimedOut) {
                return ready;
            }
            if (!killed_ && deadline_ && Clock::now() >= *deadline_) {
                outcome_.timed_out = true;
                kill();
            }
            continue;
        }
        if (fds[1].revents != 0) {
            write_some();
        }
        // A few reads per wake-up while data keeps coming, fewer polls for big output.
        for (int i = 0; i < 8 && fds[2].revents != 0 && out_; ++i) {
            if (read_some(out_, outcome_.out) == 0) {
                break;
            }
        }
        for (int i = 0; i < 8 && fds[3].revents != 0 && err_; ++i) {
            if (read_some(err_, outcome_.err) == 0) {
                break;
            }
        }
    }
}

} // namespace ovaline::sandbox
