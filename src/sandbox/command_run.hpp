#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sandbox/shell_process.hpp"
#include "sandbox/spawner.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::sandbox {

// What a command wrote to one stream, in pieces of at most a read's size, so that big
// output is never copied to grow it.
struct Output {
    std::vector<std::string> pieces;
    std::size_t size = 0;

    // All of it as one string.
    std::string text() const;
};

// One read from `fd` into `sink`, keeping at most `max_output` bytes in all and reading
// and dropping the rest (then `truncated` is set). The bytes read; 0 when none are there
// or the stream has ended, when `fd` is closed.
std::size_t read_output(UniqueFd& fd, Output& sink, std::optional<std::size_t> max_output,
                        std::vector<char>& scratch, bool& truncated);

// What ended a command: its own exit, a signal (its own or another's), or the deadline.
enum class EndedBy { Exit, Signal, Timeout, Memory };

// How a command ended, with what it wrote and what it took.
struct RunOutcome {
    int status = 0; // exit code, or minus the signal that ended it
    Output out;
    Output err;
    bool timed_out = false;
    bool truncated = false; // a stream wrote more than it was allowed to keep
    EndedBy ended_by = EndedBy::Exit;
    Clock::duration wall_time{};
    // User and system CPU time of all its processes, and the largest resident set any
    // one of them had, in bytes; from the kernel's account of its init and every
    // process the init reaped.
    std::chrono::microseconds cpu_time{};
    std::uint64_t peak_memory = 0;
};

// One command in a PID namespace of its own, on pipes, from its start until it and
// everything it started has ended. Nothing of it outlives this object.
class CommandRun {
  public:
    // Starts the program of `launch` (its streams are set here) with `input` on its standard
    // input, or the null device when there is none. Keeps at most `max_output` bytes of
    // each stream, reading and dropping the rest. The deadline ends it all. The error is
    // the system's description of why it could not start.
    static std::expected<std::unique_ptr<CommandRun>, std::string>
    start(ProgramLaunch launch, std::optional<std::string> input,
          std::optional<std::size_t> max_output, Deadline deadline);

    CommandRun(const CommandRun&) = delete;
    CommandRun& operator=(const CommandRun&) = delete;
    // Kills what still runs and reaps it.
    ~CommandRun();

    // Feeds the input and collects the output until the command has ended and its
    // streams are drained; at the deadline kills everything and goes on collecting.
    // Fails with Interrupted when a signal arrives: call again, or drop the run.
    std::expected<void, ShellFailure> wait();

    // Calls `done` once the run has been dropped, with everything of it ended.
    void when_done(std::function<void()> done) { done_ = std::move(done); }
    // Tells, once a SIGKILL ended it, whether the kernel killed it for want of memory.
    void when_killed(std::function<bool()> out_of_memory) {
        out_of_memory_ = std::move(out_of_memory);
    }

    // What wait() collected.
    RunOutcome& outcome() { return outcome_; }

  private:
    CommandRun(Started started, Clock::time_point started_at, UniqueFd input, UniqueFd out,
               UniqueFd err, std::string data, std::optional<std::size_t> max_output,
               Deadline deadline);
    void kill();
    void reap(bool block);
    // One read of what is there; the bytes read, 0 when none are there or the stream
    // has ended (then `fd` is closed).
    std::size_t read_some(UniqueFd& fd, Output& sink);
    void write_some();

    Started child_;
    const Clock::time_point started_at_;
    UniqueFd input_;
    UniqueFd out_;
    UniqueFd err_;
    std::string data_;
    std::vector<char> buffer_;
    std::size_t written_ = 0;
    const std::optional<std::size_t> max_output_;
    const Deadline deadline_;
    bool killed_ = false;
    bool reaped_ = false;
    RunOutcome outcome_;
    std::function<void()> done_;
    std::function<bool()> out_of_memory_;
};

} // namespace ovaline::sandbox
