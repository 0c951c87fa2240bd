#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "sandbox/command_run.hpp"
#include "sandbox/shell_process.hpp"
#include "sandbox/spawner.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::sandbox {

// A bash that keeps its state (directory, variables, functions, aliases, what `source`
// set up) from one command to the next. Each command's standard output and standard
// error arrive on their own pipes with nothing added, and its status on a third, so no
// marker text ever mixes with what the command printed. Calls must not overlap.
class PersistentShell {
  public:
    // Starts `launch` (bash reading commands from its standard input, with no startup
    // files) in a PID namespace of its own. The error is the system's description of why
    // it could not start.
    static std::expected<std::unique_ptr<PersistentShell>, std::string> start(ProgramLaunch launch);

    PersistentShell(const PersistentShell&) = delete;
    PersistentShell& operator=(const PersistentShell&) = delete;
    // Kills the shell and everything it started.
    ~PersistentShell();

    // Why execute() returned no outcome.
    struct Lost {
        // The shell's exit status once it ended (an `exit`, a signal); none when it was
        // killed here because it did not answer after a timeout.
        std::optional<int> status;
        std::string message;
    };

    // Runs `command` (no NUL byte) with the null device as its standard input, keeping at
    // most `max_output` bytes of each stream. At the deadline it kills every process the
    // shell started and interrupts the shell, which keeps its state; a shell that does not
    // answer then is killed. The outcome's status is the command's, or 124 on a timeout.
    // Fails once the shell has ended: it is never used again.
    std::expected<RunOutcome, Lost> execute(std::string_view command, Deadline deadline,
                                            std::optional<std::size_t> max_output);

    // The same in steps, for an event loop: begin() sends the command; pump() takes what
    // has arrived without waiting and gives the outcome once the command has ended; the
    // descriptors of watched() (-1 for none) become readable when there is something to
    // take. time_out() at the deadline ends what the command started and interrupts the
    // shell, whose outcome then comes through pump(); called again, it kills the shell.
    std::expected<void, Lost> begin(std::string_view command,
                                    std::optional<std::size_t> max_output);
    std::expected<std::optional<RunOutcome>, Lost> pump();
    std::array<int, 4> watched() const;
    std::optional<Lost> time_out();
    // Waits until one of watched() is readable, the deadline passes (TimedOut) or a
    // signal arrives (Interrupted), for a caller that must see signals.
    std::expected<void, ShellFailure> wait_ready(Deadline deadline) const;

    // How long an interrupted shell has to come back before it is killed.
    static constexpr std::chrono::seconds kGrace{2};

    // False once the shell has ended or been killed.
    bool alive() const { return !lost_; }

  private:
    PersistentShell(Started started, UniqueFd input, UniqueFd out, UniqueFd err, UniqueFd status);
    // Sends every process in the shell's namespace but the shell itself SIGKILL, until
    // none is left or the rounds run out.
    void kill_started();
    // The shell's own pid (the init's only child), found on first use.
    pid_t shell_pid();
    // Reaps the shell, killing it first unless `ending`, when it is given a moment to end
    // on its own; nothing of it is used again.
    Lost lose(std::string message, bool ending);
    bool send(std::string_view text);

    Started child_;
    UniqueFd input_;
    UniqueFd out_;
    UniqueFd err_;
    UniqueFd status_;
    std::string status_line_;
    RunOutcome running_;
    std::optional<std::size_t> max_output_;
    std::vector<char> scratch_;
    pid_t shell_ = -1;
    bool lost_ = false;
};

// `command` as a bash ANSI-C quoted word ($'...') that evaluates to exactly its bytes.
std::string ansi_c_quoted(std::string_view command);

} // namespace ovaline::sandbox
