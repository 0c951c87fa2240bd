#include "pybinding/py_terminal_session.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "sandbox/command_run.hpp"

#include "pybinding/args.hpp"
#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/gil.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_fs.hpp"
#include "pybinding/py_mount.hpp"
#include "pybinding/py_session_job.hpp"
#include "pybinding/py_user_pool.hpp"
#include "pybinding/session_glue.hpp"
#include "pybinding/session_transfer.hpp"

namespace ovaline::pybinding {
namespace {

// Bytes for a run's standard input, or None for the null device.
struct Input {
    std::optional<std::string> data;
};

} // namespace

template <> struct Arg<Input> {
    static constexpr bool kRequired = false;
    using Stored = Input;
    static bool convert(const ModuleState&, PyObject* obj, const char* name, Stored& out) {
        if (obj == nullptr || obj == Py_None) {
            return true;
        }
        std::span<const std::uint8_t> bytes;
        if (!to_bytes(obj, name, bytes)) {
            return false;
        }
        out.data.emplace(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    }
    static Input get(Stored& stored) { return std::move(stored); }
};

namespace {

using pool::TerminalSession;

constexpr char kClassDoc[] =
    "\n"
    "A class that represents a terminal session for a user.\n"
    "\n"
    "This class represents a unique terminal session for a user. The terminal\n"
    "session will automatically create a new user account when the session is\n"
    "created. The terminal session will also release the user account back to\n"
    "the pool when the session is dropped.\n";

constexpr char kSandboxDoc[] =
    "\n"
    "A session in a sandbox: a root of its own (the host's programs and libraries\n"
    "read-only, its home, private /tmp, /var/tmp and /dev/shm, a minimal /dev, its\n"
    "own /proc, and the host_paths named, read-only), its own host name, a filter\n"
    "that refuses system calls a tenant never needs, and one cgroup for all its\n"
    "processes. memory (bytes), processes and cpu (cores) bound the whole session,\n"
    "disk the bytes its home and temporary places hold together; None lifts a\n"
    "bound. cpu_seconds, address_space, file_size and open_files bound each\n"
    "process. Without network=True it sees only a private loopback interface.\n"
    "OSError when the host cannot give it a cgroup limit, a root or its places.\n";

constexpr char kRunDoc[] =
    "\n"
    "Run `bash -c command` as the session's account, without a terminal, and\n"
    "return a RunResult. Standard input is `input` or the null device; the\n"
    "working directory is `cwd` or the session's home. At the timeout every\n"
    "process the command started is killed and the partial output returned\n"
    "with timed_out set. Output past max_output bytes per stream (16 MiB\n"
    "unless given; None keeps all) is dropped and truncated set. The result\n"
    "also carries wall_time, cpu_time, peak_memory and ended_by.\n";

constexpr char kMountDoc[] =
    "\n"
    "Serve fs at `at`, a path inside the home (made if missing, and empty), in the\n"
    "session's own mount namespace only: the shell and every run started from now\n"
    "on read and write the tree live, as the session's account; other accounts and\n"
    "the host do not see it. Returns a PyFs.Mount; unmounted by its unmount(), and\n"
    "at close() at the latest. OSError when the mount cannot be made.\n";

constexpr char kRunResultDoc[] = "How a command run in a terminal session ended.";

constexpr char kWriteDoc[] = "\n"
                             "Write data to the terminal session.\n";

constexpr char kCloseDoc[] = "\n"
                             "Close the terminal session.\n";

constexpr char kReadDoc[] = "\n"
                            "Read data from the terminal session.\n";

constexpr char kReadErrDoc[] = "\n"
                               "Read data from the stderr of the terminal session.\n";

constexpr char kPollDoc[] = "\n"
                            "Return the shell's exit status, or None while it runs.\n";

constexpr char kWaitDoc[] = "\n"
                            "Wait for the shell to end and return its exit status.\n";

constexpr char kUserDoc[] = "The name of the session's account.";
constexpr char kHomeDoc[] = "The canonical path of the session's home directory.";

constexpr char kEnterDoc[] = "\n"
                             "Return the session itself.\n";

constexpr char kExitDoc[] = "\n"
                            "Close the terminal session.\n";

constexpr char kWriteFailed[] = "Failed to write to terminal session";
constexpr char kReadFailed[] = "Failed to read from terminal session";
constexpr char kWaitFailed[] = "Failed to wait for terminal session";
constexpr char kRunFailed[] = "Failed to run a command in terminal session";
constexpr char kForeign[] =
    "The terminal session belongs to the process that created it, not to this forked one";

using sandbox::ShellFailure;

// Runs `call` without the interpreter lock until it ends other than by a signal. A
// signal runs the Python handlers, and the call goes on unless one of them raised:
// then the result is none, with the error set.
template <class F> auto blocking(F&& call) -> std::optional<decltype(call())> {
    for (;;) {
        decltype(call()) result;
        without_gil([&] { result = call(); });
        if (result || result.error() != ShellFailure::Interrupted) {
            return result;
        }
        if (PyErr_CheckSignals() < 0) {
            return std::nullopt;
        }
    }
}

PyObject* raise_failure(ShellFailure failure, const char* message) {
    if (failure == ShellFailure::TimedOut) {
        PyErr_SetString(PyExc_TimeoutError, "Timed out waiting for the terminal session");
        return nullptr;
    }
    return raise_message(message);
}

sandbox::Deadline deadline_after(std::optional<double> seconds) {
    // Past about thirty years a limit means nothing, and the clock could overflow.
    if (!seconds || *seconds > 1e9) {
        return std::nullopt;
    }
    return sandbox::Clock::now() + std::chrono::duration_cast<sandbox::Clock::duration>(
                                       std::chrono::duration<double>(*seconds));
}

// A forked process holds a copy of its parent's session, but the shell is the parent's:
// every method refuses it.
bool owned(PyTerminalSession& self) {
    if (self.session->owned_here()) {
        return true;
    }
    raise_message(kForeign);
    return false;
}

} // namespace

pool::SessionOptions sandbox_options(Count memory, Count processes, std::optional<double> cpu,
                                     Count disk, std::vector<std::string> host_paths, bool network,
                                     Count cpu_seconds, Count address_space, Count file_size,
                                     Count open_files) {
    pool::SessionOptions options;
    // The processes bound is the cgroup's, for the whole session, not the account's.
    options.limits = {cpu_seconds, address_space, std::nullopt, file_size, open_files};
    options.network = network;
    options.sandbox = pool::SandboxOptions{{memory, processes, cpu}, disk, std::move(host_paths)};
    return options;
}

namespace {

// A session with `options`, taken from the pool's warm ones when it has one of that shape.
PyObject* start_session(PyTypeObject* type, PyUserPool& pool, const pool::SessionOptions& options) {
    // Making an account and starting su take a while; other threads run meanwhile.
    std::expected<std::unique_ptr<TerminalSession>, pool::SessionError> session;
    without_gil([&] {
        if (pool.warm) {
            if (auto warm = pool.warm->take(options)) {
                session = std::move(warm);
                return;
            }
        }
        session = TerminalSession::create(pool.pool, options);
    });
    if (!session) {
        // The constructor fails with ValueError only; the sandbox raises the host's
        // refusals as os does.
        return session.error().errnum != 0 && options.sandbox
                   ? raise_os_message(session.error().errnum, session.error().message)
                   : raise_message(session.error().message);
    }
    return box_new<PyTerminalSession>(type, std::move(*session));
}

PyObject* make_session(PyTypeObject* type, PyUserPool& pool) {
    return start_session(type, pool, pool::SessionOptions{});
}

PyObject* sandbox(PyTypeObject* type, PyUserPool& pool, Count memory, Count processes,
                  std::optional<double> cpu, Count disk, std::vector<std::string> host_paths,
                  bool network, Count cpu_seconds, Count address_space, Count file_size,
                  Count open_files) {
    return start_session(type, pool,
                         sandbox_options(memory, processes, cpu, disk, std::move(host_paths),
                                         network, cpu_seconds, address_space, file_size,
                                         open_files));
}

PyObject* write(PyTerminalSession& self, std::span<const std::uint8_t> data) {
    if (!owned(self)) {
        return nullptr;
    }
    // The bytes object is immutable and held by the caller, so it is read without the
    // interpreter lock.
    std::span<const char> rest(reinterpret_cast<const char*>(data.data()), data.size());
    auto written = blocking([&] { return self.session->write(rest); });
    if (!written) {
        return nullptr;
    }
    if (!*written) {
        return raise_failure(written->error(), kWriteFailed);
    }
    Py_RETURN_NONE;
}

// One read of at most `size` bytes from the chosen stream, into a bytes object made
// before the wait. The bytes object is released by hand: a forced unwind out of
// without_gil must not release it without a thread state.
PyObject* read_stream(PyTerminalSession& self, TerminalSession::Stream stream, std::uint64_t size,
                      std::optional<double> timeout) {
    if (!owned(self)) {
        return nullptr;
    }
    // Past this bound the bytes object's size would overflow; no allocation could
    // succeed, so it is a memory failure like any other.
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)) {
        return PyErr_NoMemory();
    }
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        return nullptr;
    }
    sandbox::Deadline deadline = deadline_after(timeout);
    std::span<char> into(PyBytes_AS_STRING(bytes), size);
    std::optional<std::expected<std::size_t, ShellFailure>> read;
    try {
        read = blocking([&] { return self.session->read(stream, into, deadline); });
    } catch (const std::exception&) {
        Py_DECREF(bytes);
        throw;
    }
    PyObject* result = nullptr;
    if (read && *read) {
        result = **read == size ? Py_NewRef(bytes)
                                : PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes),
                                                            static_cast<Py_ssize_t>(**read));
    } else if (read) {
        raise_failure(read->error(), kReadFailed);
    }
    Py_DECREF(bytes);
    return result;
}

PyObject* read(PyTerminalSession& self, std::uint64_t size, std::optional<double> timeout) {
    return read_stream(self, TerminalSession::Stream::Output, size, timeout);
}

PyObject* read_err(PyTerminalSession& self, std::uint64_t size, std::optional<double> timeout) {
    return read_stream(self, TerminalSession::Stream::Error, size, timeout);
}

PyObject* close(PyTerminalSession& self) {
    if (!owned(self)) {
        return nullptr;
    }
    without_gil([&] { self.session->close(); });
    Py_RETURN_NONE;
}

PyObject* poll(PyTerminalSession& self) {
    if (!owned(self)) {
        return nullptr;
    }
    // A close on another thread may be reaping the shell; this waits for it without
    // holding up other threads.
    std::optional<int> status;
    without_gil([&] { status = self.session->poll(); });
    if (!status) {
        Py_RETURN_NONE;
    }
    return PyLong_FromLong(*status);
}

PyObject* wait(PyTerminalSession& self, std::optional<double> timeout) {
    if (!owned(self)) {
        return nullptr;
    }
    sandbox::Deadline deadline = deadline_after(timeout);
    auto status = blocking([&] { return self.session->wait(deadline); });
    if (!status) {
        return nullptr;
    }
    if (!*status) {
        return raise_failure(status->error(), kWaitFailed);
    }
    return PyLong_FromLong(**status);
}

// Raises what a lost persistent shell means to the caller of execute.
PyObject* raise_lost(const sandbox::PersistentShell::Lost& lost) {
    constexpr std::string_view kShell = "the shell ";
    std::string text = "the session's shell ";
    if (lost.status) {
        text += "ended (status " + std::to_string(*lost.status) + ")";
    } else {
        text +=
            lost.message.starts_with(kShell) ? lost.message.substr(kShell.size()) : lost.message;
    }
    text += "; the next execute starts a new one";
    return raise_os_message(ECHILD, text);
}

// The figures the persistent shell does not keep: the time the command took and what
// ended it.
sandbox::RunOutcome& finish_execute(sandbox::RunOutcome& outcome,
                                    sandbox::Clock::time_point started) {
    outcome.wall_time = sandbox::Clock::now() - started;
    outcome.ended_by = outcome.timed_out ? sandbox::EndedBy::Timeout : sandbox::EndedBy::Exit;
    return outcome;
}

// Runs the command on `shell`, releasing the interpreter lock while it waits. At the
// deadline, or when a signal handler raised (KeyboardInterrupt, say), what the command
// started is ended; the shell's answer is still awaited, so that it stays in step for
// the next command, and then the handler's exception goes on (none, with it set).
std::optional<std::expected<sandbox::RunOutcome, sandbox::PersistentShell::Lost>>
execute_steps(sandbox::PersistentShell& shell, std::string_view command, sandbox::Deadline limit,
              Count max_output) {
    if (auto begun = shell.begin(command, max_output); !begun) {
        return std::unexpected(begun.error());
    }
    PyObject* kind = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    std::expected<sandbox::RunOutcome, sandbox::PersistentShell::Lost> outcome;
    for (;;) {
        std::expected<void, ShellFailure> ready;
        without_gil([&] { ready = shell.wait_ready(limit); });
        if (!ready && ready.error() == ShellFailure::Interrupted && kind == nullptr &&
            PyErr_CheckSignals() < 0) {
            PyErr_Fetch(&kind, &value, &traceback);
            ready = std::unexpected(ShellFailure::TimedOut);
        }
        if (!ready && ready.error() != ShellFailure::Interrupted) {
            // The command ends and the shell has a grace to answer; a second time_out,
            // or pipes that failed, end the shell.
            auto lost = shell.time_out();
            if (!lost && ready.error() != ShellFailure::TimedOut) {
                lost = shell.time_out();
            }
            if (lost) {
                outcome = std::unexpected(std::move(*lost));
                break;
            }
            limit = sandbox::Clock::now() + sandbox::PersistentShell::kGrace;
            continue;
        }
        auto pumped = shell.pump();
        if (!pumped) {
            outcome = std::unexpected(std::move(pumped.error()));
            break;
        }
        if (*pumped) {
            outcome = std::move(**pumped);
            break;
        }
    }
    if (kind != nullptr) {
        PyErr_Restore(kind, value, traceback);
        return std::nullopt;
    }
    return outcome;
}

bool refuse_null(std::string_view text, const char* name) {
    if (text.find('\0') == std::string_view::npos) {
        return false;
    }
    PyErr_Format(PyExc_ValueError, "argument '%s' must not contain a null character", name);
    return true;
}

PyStructSequence_Field kRunResultFields[] = {
    {"returncode", "The exit status, or minus the number of the signal that ended it."},
    {"stdout", "What the command wrote to its standard output."},
    {"stderr", "What the command wrote to its standard error."},
    {"timed_out", "Whether the timeout ended the command."},
    {"truncated", "Whether output past max_output was dropped."},
    {"wall_time", "Seconds from the start to the end of the command's last process."},
    {"cpu_time", "Seconds of user and system CPU time of all the command's processes."},
    {"peak_memory", "The largest resident set of any of its processes, in bytes."},
    {"ended_by", "What ended it: \"exit\", \"signal\" or \"timeout\"."},
    {nullptr, nullptr},
};

// The first five fields make the tuple, as they always have; the figures are attributes
// only, so unpacking a result keeps working.
PyStructSequence_Desc kRunResultDesc = {"ovaline.PyTerminalSession.RunResult", kRunResultDoc,
                                        kRunResultFields, 5};

PyObject* to_py_bytes(const sandbox::Output& output) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(output.size));
    if (bytes == nullptr) {
        return nullptr;
    }
    char* into = PyBytes_AS_STRING(bytes);
    for (const auto& piece : output.pieces) {
        into = std::copy(piece.begin(), piece.end(), into);
    }
    return bytes;
}

const char* ended_by_name(sandbox::EndedBy ended_by) {
    switch (ended_by) {
    case sandbox::EndedBy::Exit:
        return "exit";
    case sandbox::EndedBy::Signal:
        return "signal";
    case sandbox::EndedBy::Timeout:
        return "timeout";
    case sandbox::EndedBy::Memory:
        return "memory";
    }
    return "exit";
}

PyObject* run(PyTerminalSession& self, std::string_view command, std::optional<double> timeout,
              Input input, std::optional<std::string_view> cwd, Count max_output) {
    if (!owned(self) || refuse_null(command, "command") || (cwd && refuse_null(*cwd, "cwd"))) {
        return nullptr;
    }
    pool::RunRequest request{std::string(command), std::move(input.data),
                             cwd ? std::optional<std::string>(*cwd) : std::nullopt, max_output,
                             deadline_after(timeout)};
    std::expected<std::unique_ptr<sandbox::CommandRun>, std::string> started;
    without_gil([&] { started = self.session->start_run(std::move(request)); });
    if (!started) {
        return raise_message(started.error().empty()
                                 ? std::string(kRunFailed)
                                 : std::string(kRunFailed) + ": " + started.error());
    }
    std::unique_ptr<sandbox::CommandRun> command_run = std::move(*started);
    auto waited = blocking([&] { return command_run->wait(); });
    if (!waited) {
        // A signal handler raised (KeyboardInterrupt, say): the run's processes end
        // before the exception goes on.
        PyObject *kind, *value, *traceback;
        PyErr_Fetch(&kind, &value, &traceback);
        without_gil([&] { command_run.reset(); });
        PyErr_Restore(kind, value, traceback);
        return nullptr;
    }
    if (!*waited) {
        without_gil([&] { command_run.reset(); });
        return raise_message(kRunFailed);
    }
    return run_result(state_of(object_of(self)), command_run->outcome());
}

constexpr char kExecuteDoc[] =
    "\n"
    "Run the command in the session's own long-lived bash, started on first use as\n"
    "the account, beside the interactive shell, so that cd, export, functions, aliases\n"
    "and what `source` sets up carry over to the next call. Returns a RunResult as\n"
    "run() does, with stdout and stderr exactly as the command wrote them; standard\n"
    "input is the null device. At the timeout everything the command started is\n"
    "killed and the shell kept. ChildProcessError when the shell itself ended (an\n"
    "`exit`, a kill); the next call starts a new one. Calls take turns. Its\n"
    "cpu_time and peak_memory are 0: the command's processes are the shell's.\n";

constexpr char kStartDoc[] =
    "\n"
    "Start `bash -c command` as run() would, in the background, and return a\n"
    "PyTerminalSession.Job. Standard input is `input` when given, else a pipe for\n"
    "Job.write() and Job.close_stdin(). Unread output past max_output bytes per\n"
    "stream is dropped and counted. The job ends with the session.\n";

constexpr char kJobsDoc[] = "\nThe jobs start() made that are still running.\n";

constexpr char kArunDoc[] =
    "\n"
    "A coroutine doing what run() does, waiting on the running event loop without a\n"
    "thread. Cancelling it kills what the command started.\n";

constexpr char kAexecuteDoc[] =
    "\n"
    "A coroutine doing what execute() does, waiting on the running event loop\n"
    "without a thread. Cancelling it kills what the command started and keeps the\n"
    "shell.\n";

constexpr char kAsandboxDoc[] =
    "\n"
    "A coroutine returning sandbox(pool, ...). Starting a session is a short\n"
    "blocking host operation, so it runs in the loop's default executor.\n";

constexpr char kAcloseDoc[] =
    "\n"
    "A coroutine closing the session. Closing waits for its processes to end, so it\n"
    "runs in the loop's default executor.\n";

constexpr char kClosed[] = "the session is closed";

PyObject* raise_start_failure(const std::string& error, const char* what) {
    if (error.empty()) {
        return raise_message(kClosed);
    }
    PyErr_Format(PyExc_OSError, "%s: %s", what, error.c_str());
    return nullptr;
}

PyObject* execute(PyTerminalSession& self, std::string_view command, std::optional<double> timeout,
                  Count max_output) {
    if (!owned(self) || refuse_null(command, "command")) {
        return nullptr;
    }
    std::expected<std::shared_ptr<sandbox::PersistentShell>, std::string> shell;
    without_gil([&] { shell = self.session->take_shell(true); });
    if (!shell) {
        return raise_start_failure(shell.error(), "Failed to start the session's shell");
    }
    struct Give {
        TerminalSession& session;
        ~Give() { session.give_shell(); }
    } give{*self.session};
    const auto started = sandbox::Clock::now();
    auto outcome = execute_steps(**shell, command, deadline_after(timeout), max_output);
    if (!outcome) {
        return nullptr;
    }
    if (!*outcome) {
        return raise_lost(outcome->error());
    }
    return run_result(state_of(object_of(self)), finish_execute(**outcome, started));
}

// The list of the jobs still running, kept in place.
PyObject* live_jobs(PyTerminalSession& self) {
    if (!self.jobs) {
        self.jobs.reset(PyList_New(0));
        return self.jobs.get();
    }
    PyRef live(PyList_New(0));
    if (!live) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self.jobs.get()); ++i) {
        PyObject* job = PyList_GET_ITEM(self.jobs.get(), i);
        if (!value_of<PySessionJob>(job).job->poll() && PyList_Append(live.get(), job) < 0) {
            return nullptr;
        }
    }
    self.jobs = std::move(live);
    return self.jobs.get();
}

PyObject* start(PyTerminalSession& self, std::string_view command,
                std::optional<std::string_view> cwd, Input input, Count max_output) {
    if (!owned(self) || refuse_null(command, "command") || (cwd && refuse_null(*cwd, "cwd"))) {
        return nullptr;
    }
    std::expected<std::shared_ptr<sandbox::Job>, int> started;
    without_gil([&] {
        started = self.session->start_job(std::string(command),
                                          cwd ? std::optional<std::string>(*cwd) : std::nullopt,
                                          max_output, std::move(input.data));
    });
    if (!started) {
        return started.error() == 0
                   ? raise_message(kClosed)
                   : raise_os_message(started.error(),
                                      "Failed to start a job in terminal session: " +
                                          std::system_category().message(started.error()));
    }
    PyObject* listed = live_jobs(self);
    PyRef job(box_new<PySessionJob>(state_of(object_of(self)).type_of(ClassId::SessionJob),
                                    std::move(*started)));
    if (listed == nullptr || !job || PyList_Append(listed, job.get()) < 0) {
        return nullptr;
    }
    return job.release();
}

PyObject* jobs(PyTerminalSession& self) {
    PyObject* listed = live_jobs(self);
    return listed ? PyList_GetSlice(listed, 0, PyList_GET_SIZE(listed)) : nullptr;
}

PyObject* optional_seconds(std::optional<double> seconds) {
    return seconds ? PyFloat_FromDouble(*seconds) : Py_NewRef(Py_None);
}

PyObject* arun(PyTerminalSession& self, PyObject* command, std::optional<double> timeout,
               PyObject* input, PyObject* cwd, PyObject* max_output) {
    PyRef seconds(optional_seconds(timeout));
    return seconds ? call_glue(state_of(object_of(self)), "arun",
                               {object_of(self), command, seconds.get(), input, cwd, max_output})
                   : nullptr;
}

PyObject* aexecute(PyTerminalSession& self, std::string_view command, std::optional<double> timeout,
                   Count max_output) {
    if (refuse_null(command, "command")) {
        return nullptr;
    }
    PyRef text(to_py_str(command));
    PyRef seconds(optional_seconds(timeout));
    PyRef bound(max_output ? PyLong_FromUnsignedLongLong(*max_output) : Py_NewRef(Py_None));
    return text && seconds && bound
               ? call_glue(state_of(object_of(self)), "aexecute",
                           {object_of(self), text.get(), seconds.get(), bound.get()})
               : nullptr;
}

PyObject* aclose(PyTerminalSession& self) {
    return call_glue(state_of(object_of(self)), "aclose", {object_of(self)});
}

PyObject* asandbox(PyTypeObject* type, PyObject* pool, PyObject* memory, PyObject* processes,
                   PyObject* cpu, PyObject* disk, PyObject* host_paths, PyObject* network,
                   PyObject* cpu_seconds, PyObject* address_space, PyObject* file_size,
                   PyObject* open_files) {
    PyRef options(Py_BuildValue("{sOsOsOsOsOsOsOsOsOsO}", "memory", memory, "processes", processes,
                                "cpu", cpu, "disk", disk, "host_paths", host_paths, "network",
                                network, "cpu_seconds", cpu_seconds, "address_space", address_space,
                                "file_size", file_size, "open_files", open_files));
    return options ? call_glue(state_of_type(type), "asandbox",
                               {reinterpret_cast<PyObject*>(type), pool, options.get()})
                   : nullptr;
}

PyObject* mount_in_session(PyTerminalSession& self, PyFs& fs, std::string_view at, bool read_only) {
    if (!owned(self) || refuse_null(at, "at")) {
        return nullptr;
    }
    std::expected<std::shared_ptr<bridge::LiveMount>, pool::SessionError> made;
    without_gil([&] { made = self.session->mount_tree(fs.fs, std::string(at), read_only); });
    if (!made) {
        return raise_os_message(made.error().errnum, made.error().message);
    }
    return box_new<PyMount>(state_of(object_of(self)).type_of(ClassId::FsMount), std::move(*made));
}

PyObject* user(PyTerminalSession& self) {
    return to_py_str(self.session->user());
}

PyObject* home(PyTerminalSession& self) {
    return to_py_str(self.session->home());
}

PyMethodDef kMethods[] = {
    method<"write", write, "data">(kWriteDoc),
    method<"close", close>(kCloseDoc),
    method<"read", read, "buffer", "*timeout">(kReadDoc),
    method<"read_err", read_err, "buffer", "*timeout">(kReadErrDoc),
    method<"poll", poll>(kPollDoc),
    method<"wait", wait, "timeout">(kWaitDoc),
    method<"run", run, "command", "*timeout", "*input", "*cwd", "*max_output=16777216">(kRunDoc),
    method<"execute", execute, "command", "*timeout", "*max_output=16777216">(kExecuteDoc),
    method<"start", start, "command", "*cwd", "*input", "*max_output=16777216">(kStartDoc),
    method<"jobs", jobs>(kJobsDoc),
    method<"arun", arun, "command", "*timeout", "*input=None", "*cwd=None", "*max_output=16777216">(
        kArunDoc),
    method<"aexecute", aexecute, "command", "*timeout", "*max_output=16777216">(kAexecuteDoc),
    method<"aclose", aclose>(kAcloseDoc),
    method<"push", push, "fs", "src=\"/\"", "dst=None">(kPushDoc),
    method<"mount", mount_in_session, "fs", "at=\"work\"", "*read_only=False">(kMountDoc),
    method<"pull", pull, "fs", "src=None", "dst=\"/\"">(kPullDoc),
    enter_method<PyTerminalSession>(kEnterDoc),
    exit_method<PyTerminalSession, close>(kExitDoc),
    class_method<"sandbox", sandbox, "pool", "*memory=1073741824", "*processes=512", "*cpu=None",
                 "*disk=1073741824", "*host_paths=None", "*network=False", "*cpu_seconds=None",
                 "*address_space=None", "*file_size=None", "*open_files=None">(kSandboxDoc),
    class_method<"asandbox", asandbox, "pool", "*memory=1073741824", "*processes=512", "*cpu=None",
                 "*disk=1073741824", "*host_paths=None", "*network=False", "*cpu_seconds=None",
                 "*address_space=None", "*file_size=None", "*open_files=None">(kAsandboxDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    getter<"user", user>(kUserDoc),
    getter<"home", home>(kHomeDoc),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using New = Constructor<"PyTerminalSession", make_session, "pool">;

PyType_Slot kSlots[] = {
    New::doc_slot(kClassDoc),
    New::new_slot(),
    {Py_tp_dealloc, dealloc_slot<PyTerminalSession>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

} // namespace

PyType_Spec py_terminal_session_spec =
    box_spec<PyTerminalSession>("ovaline.PyTerminalSession", kSlots);

PyObject* run_result(const ModuleState& state, const sandbox::RunOutcome& outcome) {
    using Seconds = std::chrono::duration<double>;
    return struct_of(state.type_of(ClassId::RunResult),
                     {PyLong_FromLong(outcome.status), to_py_bytes(outcome.out),
                      to_py_bytes(outcome.err), PyBool_FromLong(outcome.timed_out),
                      PyBool_FromLong(outcome.truncated),
                      PyFloat_FromDouble(Seconds(outcome.wall_time).count()),
                      PyFloat_FromDouble(Seconds(outcome.cpu_time).count()),
                      PyLong_FromUnsignedLongLong(outcome.peak_memory),
                      PyUnicode_FromString(ended_by_name(outcome.ended_by))});
}

PyObject* exec_take(PyTerminalSession& self) {
    if (!owned(self)) {
        return nullptr;
    }
    std::expected<std::shared_ptr<sandbox::PersistentShell>, std::string> shell;
    without_gil([&] { shell = self.session->take_shell(false); });
    if (!shell) {
        return raise_start_failure(shell.error(), "Failed to start the session's shell");
    }
    if (!*shell) {
        Py_RETURN_FALSE;
    }
    self.held_shell = std::move(*shell);
    Py_RETURN_TRUE;
}

PyObject* exec_begin(PyTerminalSession& self, std::string_view command, Count max_output) {
    if (refuse_null(command, "command")) {
        return nullptr;
    }
    self.exec_started = sandbox::Clock::now();
    if (auto begun = self.held_shell->begin(command, max_output); !begun) {
        return raise_lost(begun.error());
    }
    Py_RETURN_NONE;
}

PyObject* exec_pump(PyTerminalSession& self) {
    auto pumped = self.held_shell->pump();
    if (!pumped) {
        return raise_lost(pumped.error());
    }
    if (!*pumped) {
        Py_RETURN_NONE;
    }
    return run_result(state_of(object_of(self)), finish_execute(**pumped, self.exec_started));
}

PyObject* exec_fds(PyTerminalSession& self) {
    const auto fds = self.held_shell->watched();
    return Py_BuildValue("[iiii]", fds[0], fds[1], fds[2], fds[3]);
}

PyObject* exec_time_out(PyTerminalSession& self) {
    if (auto lost = self.held_shell->time_out()) {
        return raise_lost(*lost);
    }
    Py_RETURN_NONE;
}

PyObject* exec_give(PyTerminalSession& self, bool settled) {
    if (!self.held_shell) {
        Py_RETURN_NONE;
    }
    // The second time_out ends the shell.
    while (!settled && self.held_shell->alive()) {
        self.held_shell->time_out();
    }
    self.session->give_shell();
    self.held_shell.reset();
    Py_RETURN_NONE;
}
PyTypeObject* make_run_result_type() {
    return struct_sequence_type(&kRunResultDesc);
}

} // namespace ovaline::pybinding
