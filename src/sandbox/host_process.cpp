#include "sandbox/host_process.hpp"

#include "sandbox/spawner.hpp"
#include "sandbox/unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace ovaline::sandbox {

namespace {

// Reads both streams together until both end, so a program filling one pipe while we
// wait on the other cannot stall.
void drain(UniqueFd& out_fd, UniqueFd& err_fd, std::string& out, std::string& err) {
    char chunk[4096];
    while (out_fd || err_fd) {
        pollfd fds[2] = {{out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Closing our ends lets a program blocked on a full pipe end before the wait.
            out_fd.reset();
            err_fd.reset();
            return;
        }
        UniqueFd* ends[2] = {&out_fd, &err_fd};
        std::string* sinks[2] = {&out, &err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ends[i]->reset();
            }
        }
    }
}

// The exit code, or none when a signal ended the program or its status is lost (the
// child was reaped elsewhere, for example under an ignored SIGCHLD).
std::optional<int> wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    if (!WIFEXITED(status)) {
        return std::nullopt;
    }
    return WEXITSTATUS(status);
}

} // namespace

std::string system_error_text(int err) {
    return std::system_category().message(err) + " (os error " + std::to_string(err) + ")";
}

std::expected<ProgramResult, std::string> run_program(const std::string& program,
                                                      std::span<const std::string> args) {
    auto out = make_pipe();
    auto err = make_pipe();
    if (!out || !err) {
        return std::unexpected(system_error_text(out ? err.error() : out.error()));
    }
    auto path = find_program(program);
    if (!path) {
        return std::unexpected(system_error_text(path.error()));
    }
    ProgramLaunch launch;
    launch.path = std::move(*path);
    launch.args.assign(args.begin(), args.end());
    launch.env = inherited_environment();
    launch.streams[1] = out->write.get();
    launch.streams[2] = err->write.get();
    auto started = spawn(launch);
    if (!started) {
        return std::unexpected(system_error_text(started.error()));
    }
    out->write.reset();
    err->write.reset();

    ProgramResult result;
    drain(out->read, err->read, result.out, result.err);
    result.exit_code = wait_for(started->pid);
    return result;
}

} // namespace ovaline::sandbox
