#include "pool/host_process.hpp"

#include "pool/unique_fd.hpp"

#include <array>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace ovaline::pool {

namespace {

class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attr_);
        // The child starts with the signal state of a fresh program, not with what the
        // embedding interpreter ignores (SIGPIPE) or a calling thread blocks.
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        posix_spawnattr_setsigdefault(&attr_, &defaults);
        sigset_t empty;
        sigemptyset(&empty);
        posix_spawnattr_setsigmask(&attr_, &empty);
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attr_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    void open_null_input() {
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    void connect(const UniqueFd& fd, int target) {
        posix_spawn_file_actions_adddup2(&actions_, fd.get(), target);
    }

    std::expected<pid_t, int> spawn(const std::string& program, std::span<const std::string> args) {
        std::vector<char*> argv;
        argv.reserve(args.size() + 2);
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        int rc = posix_spawnp(&pid, program.c_str(), &actions_, &attr_, argv.data(), environ);
        if (rc != 0) {
            return std::unexpected(rc);
        }
        return pid;
    }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attr_;
};

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
    SpawnSetup setup;
    setup.open_null_input();
    setup.connect(out->write, STDOUT_FILENO);
    setup.connect(err->write, STDERR_FILENO);
    auto pid = setup.spawn(program, args);
    if (!pid) {
        return std::unexpected(system_error_text(pid.error()));
    }
    out->write.reset();
    err->write.reset();

    ProgramResult result;
    drain(out->read, err->read, result.out, result.err);
    result.exit_code = wait_for(*pid);
    return result;
}

} // namespace ovaline::pool
