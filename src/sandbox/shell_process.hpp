#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sandbox/spawner.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::sandbox {

using Clock = std::chrono::steady_clock;
// No deadline means waiting for as long as it takes.
using Deadline = std::optional<Clock::time_point>;

// Why a read, write or wait on a shell did not complete.
enum class ShellFailure {
    Closed,      // the shell was shut down, before or during the call
    TimedOut,    // the deadline passed first
    Interrupted, // a signal arrived; the caller may handle it and call again
    Broken,      // the pipe or the system call failed
};

// A program on three pipes whose calls may come from any number of threads at once.
//
// Every wait is a poll on the pipe together with a wake-up descriptor, never a blocking
// read or write, and holds no lock, so shut_down() from another thread ends pending
// calls at once and a write never waits behind a read. The pipe descriptors stay open
// until the last call that uses them returns, so a descriptor number is never reused
// under a waiting call.
class ShellProcess {
  public:
    enum class Stream { Output, Error };

    // Starts the program as `launch` says, its standard streams on the pipes. It is killed
    // when this process dies, even by SIGKILL. The error is the system's description of
    // why it could not start.
    static std::expected<std::unique_ptr<ShellProcess>, std::string> start(ProgramLaunch launch);

    ShellProcess(const ShellProcess&) = delete;
    ShellProcess& operator=(const ShellProcess&) = delete;
    // Kills and reaps the program if that has not happened yet.
    ~ShellProcess();

    pid_t pid() const { return pid_; }

    // One read of at most buffer.size() bytes; waits for a byte, the end of the stream
    // (0), shut_down() or the deadline.
    std::expected<std::size_t, ShellFailure> read(Stream stream, std::span<char> buffer,
                                                  Deadline deadline);

    // Writes from the front of `data`, advancing it past what was written; on success
    // it is empty. Waits while the pipe is full, until shut_down(). Writers go one at a
    // time, so concurrent writes never interleave.
    std::expected<void, ShellFailure> write(std::span<const char>& data);

    // The exit status once the program has ended: its exit code, or minus the number of
    // the signal that ended it. None while it runs.
    std::optional<int> poll();

    // Waits for the program to end and returns poll()'s status. shut_down() does not
    // end the wait; terminate() does, by ending the program.
    std::expected<int, ShellFailure> wait(Deadline deadline);

    // Continues the program (under an init, the init's program) if it is stopped.
    void resume();

    // Refuses every later read and write and wakes the pending ones. The program and
    // its pipes are left as they are. Returns false when it was already shut down.
    bool shut_down();

    // Kills the program unless it has ended, reaps it and shuts it down; its pipes
    // close once the last pending call has returned. Throws InternalError when it can be
    // neither killed nor reaped.
    // `killed_status`, when given, is the status to report if it had to be killed (what
    // a wrapper such as su would have said of a program it lost to SIGKILL).
    void terminate(std::optional<int> killed_status = std::nullopt);

  private:
    struct Pipes;

    ShellProcess(Started started, std::shared_ptr<Pipes> pipes);
    std::shared_ptr<Pipes> pipes();
    void release_pipes();
    // Reaps the program if it has ended; with the status mutex held.
    void reap_if_ended(bool block);

    const Started child_;
    const pid_t pid_;
    const pid_t owner_;
    std::mutex pipes_mutex_;
    std::shared_ptr<Pipes> pipes_;
    std::mutex write_mutex_;
    std::mutex status_mutex_;
    std::optional<int> status_;
    bool reaped_ = false;
};

// Waits until one of `fds` is ready; fails with TimedOut at the deadline and with
// Interrupted on a signal.
std::expected<void, ShellFailure> poll_until(pollfd* fds, nfds_t count, Deadline deadline);

} // namespace ovaline::sandbox
