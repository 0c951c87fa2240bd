#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "bridge/live_mount.hpp"
#include "error/poisonable_mutex.hpp"
#include "pool/pool_holder.hpp"
#include "sandbox/cgroup.hpp"
#include "sandbox/command_run.hpp"
#include "sandbox/job.hpp"
#include "sandbox/persistent_shell.hpp"
#include "sandbox/scratch_space.hpp"
#include "sandbox/shell_process.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::pool {

// What a sandbox adds to a session: a root of its own (the host's programs and
// libraries read-only, its home, private /tmp, /var/tmp and /dev/shm, a minimal /dev, its
// own /proc, and the host paths named, read-only), its own UTS namespace, the tenants'
// system-call filter, one cgroup for all its processes and a bound on what it may write.
struct SandboxOptions {
    sandbox::CgroupLimits group;
    std::optional<std::uint64_t> disk; // bytes its writable places hold together
    std::vector<std::string> host_paths;

    bool operator==(const SandboxOptions&) const = default;
};

// What a session may use, for its shell and every run.
struct SessionOptions {
    sandbox::Limits limits;
    // False: a private network namespace with only loopback up.
    bool network = true;
    std::optional<SandboxOptions> sandbox;

    bool operator==(const SessionOptions&) const = default;
};

// Why a session could not start; `errnum` is the host's refusal, when that is the cause.
struct SessionError {
    SessionError(std::string message, int errnum = 0)
        : message(std::move(message)), errnum(errnum) {}

    std::string message;
    int errnum;
};

// A command for TerminalSession::start_run.
struct RunRequest {
    std::string command; // for bash -c
    std::optional<std::string> input;
    std::optional<std::string> cwd; // none: the session's home
    std::optional<std::size_t> max_output;
    sandbox::Deadline deadline;
};

// A real shell under a throw-away account of a pool, on three pipes. Every method may
// be called from any thread at any time: close() ends pending reads and writes, and a
// write never waits behind a read.
class TerminalSession {
  public:
    using Stream = sandbox::ShellProcess::Stream;

    // Takes an account that no other live session on the host holds, ends whatever
    // still runs under it, clears what an earlier user left of it (see
    // clear_account_leftovers), gives it a fresh home below /tmp/tmp_user_home and starts
    // /bin/bash for it through `su`, in the root directory. An account that cannot be
    // made ready is retired from the pool and the next one tried, a few at most. Returns
    // an error message for an ordinary failure; throws InternalError when the pool is
    // poisoned or no directory or `su` can be had. On every failure the account goes back
    // to the pool. The shell is the program of PID, IPC and mount namespaces of its own
    // (see ProgramLaunch), with its own /proc and the options' limits and network.
    // A sandbox's start fails with the host's errno when its cgroup, root or writable
    // places cannot be had.
    static std::expected<std::unique_ptr<TerminalSession>, SessionError>
    create(std::shared_ptr<PoolHolder> pool, SessionOptions options = {});

    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;
    // Closes the session; owners that must see a failure call close() first.
    ~TerminalSession();

    // Ends every process of the account, reaps the shell, clears what the account left
    // outside its home, and gives the account back (or retires it when that failed);
    // a closed session is left alone. In a process forked from the one that created the
    // session it only refuses further use: the shell is the creator's. Throws InternalError when
    // processes cannot be ended or the pool is poisoned; the session counts as closed either way,
    // and after such a failure every later close() throws too.
    void close();

    // False in a process forked from the one that created the session: the shell is not
    // its to use.
    bool owned_here() const { return ::getpid() == owner_; }

    // The canonical path of the session's home directory.
    const std::string& home() const { return home_; }
    // The account's name.
    const std::string& user() const { return user_; }
    // Serves `fs` at `at`, a relative path inside the home (made if missing, empty), in the
    // session's own mount namespace only: the shell and the runs started from now on see
    // it live, owned by the account; other accounts and the host do not. Unmounted at
    // close() at the latest. The error's errno is the host's refusal.
    std::expected<std::shared_ptr<bridge::LiveMount>, SessionError>
    mount_tree(std::shared_ptr<fs::FileSystem> fs, const std::string& at, bool read_only);

    // Runs `use(home, uid)` while the session stays open: close() waits for it to end,
    // so the home is never handed to another session meanwhile. False when closed.
    // An exception of `use` (std::bad_alloc, say) leaves the session as it was: it goes
    // on only once the lock is released, so it poisons nothing.
    template <class F> bool while_open(F&& use) {
        std::exception_ptr failure;
        {
            auto guard = close_mutex_.lock();
            if (closed_) {
                return false;
            }
            try {
                use(home_, uid_);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
        return true;
    }

    // Writes from the front of `data`, advancing it past what was written.
    std::expected<void, sandbox::ShellFailure> write(std::span<const char>& data);
    // One read of at most buffer.size() bytes from the chosen stream; waits for a byte,
    // the end of the stream, close() or the deadline.
    std::expected<std::size_t, sandbox::ShellFailure> read(Stream stream, std::span<char> buffer,
                                                           sandbox::Deadline deadline);
    // Starts `bash -c` with the command as the account, beside the shell: no terminal,
    // the shell's environment with HOME, the session's limits, network and IPC
    // namespace, a PID namespace of its own with its own /proc. An empty error when the
    // session is closed.
    std::expected<std::unique_ptr<sandbox::CommandRun>, std::string> start_run(RunRequest request);

    // Starts `bash -c` with the command as a run would, in the background, as a Job with
    // `input` on its standard input or a pipe there. The session keeps track of it and
    // close() kills it. The error is the errno of why it could not start, 0 when the
    // session is closed.
    std::expected<std::shared_ptr<sandbox::Job>, int>
    start_job(std::string command, std::optional<std::string> cwd,
              std::optional<std::size_t> max_output, std::optional<std::string> input);

    // The session's persistent shell for execute (see PersistentShell), started on first
    // use as the account, beside the interactive shell and like a run. One caller holds it
    // at a time: take_shell() waits for its turn unless `wait` is false, when a null
    // pointer says another has it. give_shell() hands the turn on and forgets a shell
    // that ended, so that the next take starts a new one. turn_notifier() turns readable
    // whenever the turn is handed on, for event loops; its waiters read it to quiet it.
    // The error is empty when the session is closed, or why the shell could not start.
    std::expected<std::shared_ptr<sandbox::PersistentShell>, std::string> take_shell(bool wait);
    void give_shell();
    int turn_notifier() const { return turn_notifier_.get(); }

    // The shell's exit status (see ShellProcess::poll), none while it runs.
    std::optional<int> poll() { return shell_->poll(); }
    std::expected<int, sandbox::ShellFailure> wait(sandbox::Deadline deadline) {
        return shell_->wait(deadline);
    }

    // Ends the processes of every session still open; run when the process exits.
    static void close_all_at_exit();

  private:
    // The locks, the shell and the network are set by create().
    TerminalSession(std::string home, UserAccount account, std::uint32_t gid,
                    std::shared_ptr<PoolHolder> pool, SessionOptions options);
    void run_ended();
    bool runs_ended();
    // What a run, a job or the persistent shell starts as: `bash` with `args` as the
    // account in the session's namespaces and limits, in `cwd` or the home.
    sandbox::ProgramLaunch launch_for(std::vector<std::string> args,
                                      std::optional<std::string> cwd);

    const std::string home_;
    const std::string user_;
    const std::uint32_t uid_;
    const std::uint32_t gid_;
    const SessionOptions options_;
    const std::shared_ptr<PoolHolder> pool_;
    sandbox::UniqueFd lock_;
    // The lock beside the homes, for sessions of earlier versions on the host.
    sandbox::UniqueFd legacy_lock_;
    std::unique_ptr<sandbox::ShellProcess> shell_;
    // The shell's private network, which runs join; none on the host's network.
    sandbox::UniqueFd network_;
    // A sandbox's UTS namespace, which runs join; none for a plain session.
    sandbox::UniqueFd uts_;
    // A sandbox's cgroup and writable places; none for a plain session.
    std::optional<sandbox::SessionCgroup> cgroup_;
    // Trees served inside; guarded by close_mutex_.
    std::vector<std::shared_ptr<bridge::LiveMount>> mounts_;
    std::optional<sandbox::ScratchSpace> scratch_;
    // The shell's IPC and mount namespaces, which runs join too; let go at close, so
    // that the IPC objects in them go with the session.
    sandbox::UniqueFd ipc_;
    sandbox::UniqueFd mount_;
    std::mutex runs_mutex_;
    int active_runs_ = 0;
    bool refusing_runs_ = false;
    // The jobs started, which close() kills; ended ones are forgotten at the next start.
    std::vector<std::weak_ptr<sandbox::Job>> jobs_;
    std::mutex turn_mutex_;
    std::condition_variable turn_given_;
    bool turn_taken_ = false;
    sandbox::UniqueFd turn_notifier_;
    std::shared_ptr<sandbox::PersistentShell> persistent_;
    // A process forked from the owner holds a copy of the session but not the shell.
    const pid_t owner_;
    PoisonableMutex close_mutex_;
    bool closed_ = false;
};

// The whole environment of a session's `su`: a standard PATH, and the locale and
// terminal variables of this process where set. Nothing else of this process's
// environment reaches the account.
std::vector<std::string> shell_environment();

} // namespace ovaline::pool
