#include "sandbox/persistent_shell.hpp"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sandbox/host_process.hpp"
#include "sandbox/process_tree.hpp"

namespace ovaline::sandbox {

namespace {

// Defined once in the shell. A command runs through eval inside a function, so an
// interrupt can end even a loop the shell runs itself (the trap returns from the
// function), and it never sees the status descriptor. At the top level an interrupt
// does nothing, so one that comes late never ends the shell.
constexpr std::string_view kBootstrap =
    "builtin trap : INT\n"
    "__ovaline_run() {\n"
    "builtin trap 'builtin trap : INT; builtin return 130' INT\n"
    "builtin eval \"$1\" </dev/null 3>&-\n"
    "builtin set -- \"$?\"\n"
    "builtin trap : INT\n"
    "builtin return \"$1\"\n"
    "}\n";

// What a timed-out command reports, as timeout(1) does.
constexpr int kTimedOutStatus = 124;
// Rounds of killing what the shell started, against processes that fork meanwhile.
constexpr int kKillRounds = 50;

bool set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

std::string ansi_c_quoted(std::string_view command) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string quoted = "$'";
    quoted.reserve(command.size() * 2 + 3);
    for (const char c : command) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || byte == ' ' || byte == '.' || byte == '/' ||
            byte == '-' || byte == '_' || byte == '=') {
            quoted += c;
        } else {
            quoted += "\\x";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 15];
        }
    }
    quoted += '\'';
    return quoted;
}

std::expected<std::unique_ptr<PersistentShell>, std::string>
PersistentShell::start(ProgramLaunch launch) {
    // Its input is a socket, so a write to a shell that has ended fails instead of
    // raising SIGPIPE.
    int input[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
        return std::unexpected(system_error_text(errno));
    }
    UniqueFd ours(input[0]);
    UniqueFd theirs(input[1]);
    auto out = make_pipe();
    auto err = make_pipe();
    auto status = make_pipe();
    if (!out || !err || !status) {
        return std::unexpected(system_error_text(!out   ? out.error()
                                                 : !err ? err.error()
                                                        : status.error()));
    }
    launch.streams[0] = theirs.get();
    launch.streams[1] = out->write.get();
    launch.streams[2] = err->write.get();
    launch.extra_streams = {status->write.get()};
    launch.own_pid_namespace = true;
    auto started = spawn(launch);
    if (!started) {
        return std::unexpected(system_error_text(started.error()));
    }
    std::unique_ptr<PersistentShell> shell(
        new PersistentShell(std::move(*started), std::move(ours), std::move(out->read),
                            std::move(err->read), std::move(status->read)));
    for (const UniqueFd* fd : {&shell->out_, &shell->err_, &shell->status_}) {
        if (!set_nonblocking(fd->get())) {
            return std::unexpected(system_error_text(errno));
        }
    }
    if (!shell->send(kBootstrap)) {
        return std::unexpected(system_error_text(errno));
    }
    return shell;
}

PersistentShell::PersistentShell(Started started, UniqueFd input, UniqueFd out, UniqueFd err,
                                 UniqueFd status)
    : child_(std::move(started)), input_(std::move(input)), out_(std::move(out)),
      err_(std::move(err)), status_(std::move(status)) {}

PersistentShell::~PersistentShell() {
    if (child_.pid > 0) {
        lose("closed", false);
    }
}

bool PersistentShell::send(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::send(input_.get(), text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

pid_t PersistentShell::shell_pid() {
    if (shell_ < 0) {
        shell_ = first_child(child_.pid);
    }
    return shell_;
}

void PersistentShell::kill_started() {
    const pid_t shell = shell_pid();
    for (int round = 0; round < kKillRounds; ++round) {
        // Everything below the init but the shell: the shell's descendants and whatever
        // they left to the init.
        std::vector<pid_t> found;
        std::vector<pid_t> pending = children_of(child_.pid);
        while (!pending.empty()) {
            const pid_t pid = pending.back();
            pending.pop_back();
            if (pid != shell) {
                found.push_back(pid);
            }
            for (pid_t child : children_of(pid)) {
                pending.push_back(child);
            }
        }
        if (found.empty()) {
            return;
        }
        for (pid_t pid : found) {
            ::kill(pid, SIGKILL);
        }
        std::this_thread::yield();
    }
}

PersistentShell::Lost PersistentShell::lose(std::string message, bool ending) {
    Lost lost{std::nullopt, std::move(message)};
    if (child_.pid > 0) {
        // A shell that closed its end is about to end, and its init with it.
        if (ending && child_.pidfd) {
            pollfd ended = {child_.pidfd.get(), POLLIN, 0};
            ::poll(&ended, 1, static_cast<int>(std::chrono::milliseconds(kGrace).count()));
        }
        int raw = 0;
        pid_t got;
        while ((got = ::waitpid(child_.pid, &raw, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (got == child_.pid) {
            lost.status = exit_status(child_, raw);
        } else {
            // The init's death ends everything inside.
            if (!child_.pidfd ||
                ::syscall(SYS_pidfd_send_signal, child_.pidfd.get(), SIGKILL, nullptr, 0) != 0) {
                ::kill(child_.pid, SIGKILL);
            }
            while (::waitpid(child_.pid, &raw, 0) < 0 && errno == EINTR) {
            }
        }
        child_.pid = -1;
    }
    lost_ = true;
    input_.reset();
    out_.reset();
    err_.reset();
    status_.reset();
    return lost;
}

std::expected<void, PersistentShell::Lost>
PersistentShell::begin(std::string_view command, std::optional<std::size_t> max_output) {
    if (lost_) {
        return std::unexpected(Lost{std::nullopt, "the shell has ended"});
    }
    running_ = RunOutcome{};
    max_output_ = max_output;
    status_line_.clear();
    std::string line = "__ovaline_run ";
    line += ansi_c_quoted(command);
    line += "; builtin printf '%d\\n' \"$?\" >&3\n";
    if (!send(line)) {
        return std::unexpected(lose("the shell has ended", true));
    }
    return {};
}

std::array<int, 4> PersistentShell::watched() const {
    return {out_ ? out_.get() : -1, err_ ? err_.get() : -1, status_ ? status_.get() : -1,
            child_.pidfd ? child_.pidfd.get() : -1};
}

std::expected<std::optional<RunOutcome>, PersistentShell::Lost> PersistentShell::pump() {
    if (lost_) {
        return std::unexpected(Lost{std::nullopt, "the shell has ended"});
    }
    RunOutcome& outcome = running_;
    auto drain = [&](UniqueFd& fd, Output& sink, int reads) {
        for (int i = 0; i < reads && fd; ++i) {
            if (read_output(fd, sink, max_output_, scratch_, outcome.truncated) == 0) {
                return;
            }
        }
    };
    drain(out_, outcome.out, 8);
    drain(err_, outcome.err, 8);
    char buffer[64];
    const ssize_t n = ::read(status_.get(), buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        return std::unexpected(lose("the shell has ended", true));
    }
    if (n > 0) {
        status_line_.append(buffer, static_cast<std::size_t>(n));
    }
    const auto end = status_line_.find('\n');
    if (end == std::string::npos) {
        // A shell that ended leaves its status pipe at its end, found above; this is an
        // init that ended first.
        pollfd init = {child_.pidfd ? child_.pidfd.get() : -1, POLLIN, 0};
        if (init.fd >= 0 && ::poll(&init, 1, 0) == 1) {
            return std::unexpected(lose("the shell has ended", true));
        }
        return std::nullopt;
    }
    // Whatever the command wrote went in before its status.
    drain(out_, outcome.out, std::numeric_limits<int>::max());
    drain(err_, outcome.err, std::numeric_limits<int>::max());
    int status = 0;
    std::from_chars(status_line_.data(), status_line_.data() + end, status);
    outcome.status = outcome.timed_out ? kTimedOutStatus : status;
    return std::move(outcome);
}

std::optional<PersistentShell::Lost> PersistentShell::time_out() {
    if (lost_) {
        return Lost{std::nullopt, "the shell has ended"};
    }
    if (running_.timed_out) {
        return lose("the shell did not stop after the timeout and was killed", false);
    }
    running_.timed_out = true;
    kill_started();
    if (const pid_t shell = shell_pid(); shell > 0) {
        ::kill(shell, SIGINT);
    }
    return std::nullopt;
}

std::expected<void, ShellFailure> PersistentShell::wait_ready(Deadline deadline) const {
    const auto fds = watched();
    pollfd polled[4];
    for (std::size_t i = 0; i < fds.size(); ++i) {
        polled[i] = {fds[i], POLLIN, 0};
    }
    return poll_until(polled, 4, deadline);
}

std::expected<RunOutcome, PersistentShell::Lost>
PersistentShell::execute(std::string_view command, Deadline deadline,
                         std::optional<std::size_t> max_output) {
    if (auto begun = begin(command, max_output); !begun) {
        return std::unexpected(begun.error());
    }
    Deadline limit = deadline;
    for (;;) {
        auto ready = wait_ready(limit);
        if (!ready && ready.error() == ShellFailure::TimedOut) {
            if (auto lost = time_out()) {
                return std::unexpected(std::move(*lost));
            }
            limit = Clock::now() + kGrace;
            continue;
        }
        if (!ready && ready.error() != ShellFailure::Interrupted) {
            return std::unexpected(lose("the shell's pipes failed", false));
        }
        auto pumped = pump();
        if (!pumped) {
            return std::unexpected(std::move(pumped.error()));
        }
        if (*pumped) {
            return std::move(**pumped);
        }
    }
}

} // namespace ovaline::sandbox
