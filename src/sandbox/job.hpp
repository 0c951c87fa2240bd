#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sandbox/command_run.hpp"
#include "sandbox/shell_process.hpp"
#include "sandbox/spawner.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::sandbox {

// A program running in the background, in a PID namespace of its own, whose output is
// taken off its pipes as it comes by one thread shared by every job of the process. Each
// stream keeps what has not been read yet, up to `max_output` bytes; past that, what
// arrives is dropped and counted, so a job whose reader stops never blocks on a full
// pipe. Every method may be called from any thread.
class Job {
  public:
    enum class Stream { Output, Error };

    // Starts the program of `launch` (its streams are set here) with a pipe on its
    // standard input, or with `input` there when given: a file in memory that it reads
    // at its own pace, so starting never waits for the program to read. The error is the
    // errno of why it could not start.
    static std::expected<std::shared_ptr<Job>, int>
    start(ProgramLaunch launch, std::optional<std::size_t> max_output,
          std::optional<std::string> input = std::nullopt);

    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    // Kills whatever still runs and reaps it.
    ~Job();

    // The program's pid, as this process sees it.
    pid_t pid() const { return program_; }

    // The next piece of output in the order it came; none once the stream has ended and
    // everything was read. Waits for output, the end, or the deadline.
    std::expected<std::optional<std::string>, ShellFailure> next(Stream stream, Deadline deadline);
    // What next() would give without waiting: a piece, the end (none), or TimedOut when
    // nothing is there yet.
    std::expected<std::optional<std::string>, ShellFailure> try_next(Stream stream) {
        return next(stream, Clock::time_point::min());
    }
    // For event loops: a new descriptor that turns readable whenever something changes
    // (output, an end, the exit); reading it (eight bytes) quiets it until the next
    // change. Each waiter takes its own and gives it back with unsubscribe(), which
    // closes it.
    std::expected<int, int> subscribe();
    void unsubscribe(int notifier);

    // Writes all of `data` to the standard input, waiting while the pipe is full, until
    // the deadline. Broken once the program stopped reading or the input was closed.
    std::expected<void, ShellFailure> write(std::span<const char> data, Deadline deadline);
    void close_input();

    // The exit status (see exit_status()) once the program has ended; none while it runs.
    std::optional<int> poll();
    // Sends `signal` to the program itself.
    void signal(int signal);
    // Ends everything the job started.
    void kill();
    // Ends everything as a timeout does: the outcome says `timed_out`.
    void time_out();
    // True once the program has ended and both streams are done, when wait() returns at
    // once.
    bool finished();
    // Waits until the program has ended and both streams are done; at the deadline kills
    // everything first (then `timed_out`). The outcome holds what was never read, and
    // `truncated` tells whether anything was dropped.
    std::expected<RunOutcome, ShellFailure> wait(Deadline deadline);

    // Bytes dropped from each stream because nobody read them in time.
    std::uint64_t dropped(Stream stream);

    // For the reading thread: takes what the stream's pipe has, or its end; false once
    // it has ended, when the thread lets go of it and then closes it.
    bool take(Stream stream);
    void close_stream(Stream stream);

  private:
    struct Buffer {
        UniqueFd fd;
        std::deque<std::string> pieces;
        std::size_t held = 0;
        std::uint64_t dropped = 0;
        bool ended = false;
    };
    Job(Started started, UniqueFd input, UniqueFd out, UniqueFd err,
        std::optional<std::size_t> max_output);
    Buffer& buffer(Stream stream) { return stream == Stream::Output ? out_ : err_; }
    void notify();
    // With the lock held.
    bool reap_locked(bool block);
    void kill_locked();

    Started child_;
    pid_t program_ = -1;
    const std::optional<std::size_t> max_output_;
    std::mutex mutex_;
    std::vector<UniqueFd> notifiers_;
    std::condition_variable changed_;
    std::mutex input_mutex_;
    UniqueFd input_;
    Buffer out_;
    Buffer err_;
    std::optional<int> status_;
    const Clock::time_point started_at_ = Clock::now();
    Clock::duration wall_time_{};
    std::chrono::microseconds cpu_time_{};
    std::uint64_t peak_memory_ = 0;
    bool killed_ = false;
    bool timed_out_ = false;
};

} // namespace ovaline::sandbox
