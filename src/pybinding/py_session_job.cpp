#include "pybinding/py_session_job.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/gil.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_terminal_session.hpp"
#include "pybinding/session_glue.hpp"

namespace ovaline::pybinding {
namespace {

using sandbox::Job;

constexpr char kClassDoc[] =
    "A command running in the background in a session, made by\n"
    "PyTerminalSession.start(). Its output is taken off its pipes as it comes, so a\n"
    "reader that stops never blocks it: past max_output unread bytes per stream, what\n"
    "arrives is dropped and counted (dropped). It ends with its session.";
constexpr char kPollDoc[] = "\nThe exit status once the command has ended, else None.\n";
constexpr char kWaitDoc[] =
    "\nWait for the command to end and return a RunResult whose stdout and stderr hold\n"
    "what the iterators had not taken. At the timeout everything it started is killed\n"
    "and the result has timed_out set, as with run().\n";
constexpr char kKillDoc[] =
    "\nSend `signal` to the command; SIGKILL ends everything it started. Does nothing\n"
    "once it has ended.\n";
constexpr char kWriteDoc[] =
    "\nWrite all of data to the command's standard input, waiting while the pipe is\n"
    "full. BrokenPipeError once the command stopped reading or the input was closed.\n";
constexpr char kCloseStdinDoc[] = "\nClose the command's standard input: it reads its end.\n";
constexpr char kResultDoc[] =
    "\nA coroutine: wait on the running event loop, without a thread, for the command\n"
    "to end, and return what wait() returns. At the timeout everything it started is\n"
    "killed; cancelling the wait leaves the command running.\n";

// A signal interrupts the wait so its Python handler can run; false when that raised.
bool handle_signals() {
    return PyErr_CheckSignals() == 0;
}

// Waits on the job's notifier until `done()` holds, the deadline passes or a signal
// handler raised (false, the error set).
template <class F> bool wait_for(Job& job, sandbox::Deadline deadline, F&& done) {
    auto notifier = job.subscribe();
    if (!notifier) {
        raise_errno(notifier.error());
        return false;
    }
    struct Unsubscribe {
        Job& job;
        int fd;
        ~Unsubscribe() { job.unsubscribe(fd); }
    } unsubscribe{job, *notifier};
    for (;;) {
        if (done()) {
            return true;
        }
        int wait_ms = -1;
        if (deadline) {
            const auto left = *deadline - sandbox::Clock::now();
            if (left <= sandbox::Clock::duration::zero()) {
                return true;
            }
            wait_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        int polled = 0;
        without_gil([&] {
            pollfd changed = {*notifier, POLLIN, 0};
            polled = ::poll(&changed, 1, wait_ms);
            if (polled > 0) {
                std::uint64_t count;
                [[maybe_unused]] ssize_t n = ::read(*notifier, &count, sizeof count);
            }
        });
        if (polled < 0 && !handle_signals()) {
            return false;
        }
    }
}

sandbox::Deadline deadline_after(std::optional<double> seconds) {
    if (!seconds || *seconds > 1e9) {
        return std::nullopt;
    }
    return sandbox::Clock::now() + std::chrono::duration_cast<sandbox::Clock::duration>(
                                       std::chrono::duration<double>(*seconds));
}

PyObject* pid(PySessionJob& self) {
    return PyLong_FromLong(self.job->pid());
}

PyObject* poll(PySessionJob& self) {
    if (!job_owned(self)) {
        return nullptr;
    }
    const auto status = self.job->poll();
    if (!status) {
        Py_RETURN_NONE;
    }
    return PyLong_FromLong(*status);
}

PyObject* wait(PySessionJob& self, std::optional<double> timeout) {
    if (!job_owned(self)) {
        return nullptr;
    }
    Job& job = *self.job;
    const sandbox::Deadline deadline = deadline_after(timeout);
    if (!wait_for(job, deadline, [&] { return job.finished(); })) {
        return nullptr;
    }
    if (!job.finished()) {
        job.time_out();
        if (!wait_for(job, std::nullopt, [&] { return job.finished(); })) {
            return nullptr;
        }
    }
    return job_try_result(self);
}

PyObject* kill(PySessionJob& self, std::uint64_t signal) {
    if (!job_owned(self)) {
        return nullptr;
    }
    if (signal == 0 || signal >= NSIG) {
        PyErr_SetString(PyExc_ValueError, "signal number out of range");
        return nullptr;
    }
    if (signal == SIGKILL) {
        self.job->kill();
    } else {
        self.job->signal(static_cast<int>(signal));
    }
    Py_RETURN_NONE;
}

PyObject* write(PySessionJob& self, std::span<const std::uint8_t> data) {
    if (!job_owned(self)) {
        return nullptr;
    }
    // The bytes object is immutable and held by the caller.
    std::expected<void, sandbox::ShellFailure> written;
    without_gil([&] {
        written = self.job->write(
            std::span<const char>(reinterpret_cast<const char*>(data.data()), data.size()),
            std::nullopt);
    });
    if (!written) {
        return raise_errno(EPIPE);
    }
    Py_RETURN_NONE;
}

PyObject* close_stdin(PySessionJob& self) {
    if (!job_owned(self)) {
        return nullptr;
    }
    self.job->close_input();
    Py_RETURN_NONE;
}

PyObject* result(PySessionJob& self, std::optional<double> timeout) {
    if (!job_owned(self)) {
        return nullptr;
    }
    PyRef seconds(timeout ? PyFloat_FromDouble(*timeout) : Py_NewRef(Py_None));
    return seconds
               ? call_glue(state_of(object_of(self)), "result", {object_of(self), seconds.get()})
               : nullptr;
}

PyObject* chunks(PySessionJob& self, const char* function, long which) {
    if (!job_owned(self)) {
        return nullptr;
    }
    PyRef stream(PyLong_FromLong(which));
    return stream ? call_glue(state_of(object_of(self)), function, {object_of(self), stream.get()})
                  : nullptr;
}

PyObject* stdout_chunks(PySessionJob& self) {
    return chunks(self, "chunks", 0);
}
PyObject* stderr_chunks(PySessionJob& self) {
    return chunks(self, "chunks", 1);
}
PyObject* stdout_async(PySessionJob& self) {
    return chunks(self, "achunks", 0);
}
PyObject* stderr_async(PySessionJob& self) {
    return chunks(self, "achunks", 1);
}

PyObject* dropped(PySessionJob& self) {
    return Py_BuildValue("(KK)",
                         static_cast<unsigned long long>(self.job->dropped(Job::Stream::Output)),
                         static_cast<unsigned long long>(self.job->dropped(Job::Stream::Error)));
}

PyObject* repr(PySessionJob& self) {
    const auto status = self.job->poll();
    return status ? PyUnicode_FromFormat("<ovaline.PyTerminalSession.Job pid=%d returncode=%d>",
                                         static_cast<int>(self.job->pid()), *status)
                  : PyUnicode_FromFormat("<ovaline.PyTerminalSession.Job pid=%d running>",
                                         static_cast<int>(self.job->pid()));
}

PyMethodDef kMethods[] = {
    method<"poll", poll>(kPollDoc),
    method<"wait", wait, "timeout=None">(kWaitDoc),
    method<"kill", kill, "signal=15">(kKillDoc),
    method<"write", write, "data">(kWriteDoc),
    method<"close_stdin", close_stdin>(kCloseStdinDoc),
    method<"result", result, "timeout=None">(kResultDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    getter<"pid", pid>("The command's process id, as this process sees it."),
    getter<"stdout", stdout_chunks>(
        "An iterator of the bytes the command writes to its standard output, in chunks\n"
        "as they arrive; it ends with the stream."),
    getter<"stderr", stderr_chunks>("The same for its standard error."),
    getter<"astdout", stdout_async>(
        "An async iterator of the standard output's chunks, waiting on the running event\n"
        "loop."),
    getter<"astderr", stderr_async>("The same for its standard error."),
    getter<"dropped", dropped>(
        "Bytes dropped from standard output and standard error, as a pair, because\n"
        "nobody read them before max_output were waiting."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, dealloc_slot<PySessionJob>()},
    {Py_tp_repr, unary_slot<repr>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

// A piece of a stream as Python sees it: bytes, None at the end, b"" for nothing yet.
PyObject*
piece_object(const std::expected<std::optional<std::string>, sandbox::ShellFailure>& got) {
    if (!got) {
        return PyBytes_FromStringAndSize(nullptr, 0);
    }
    if (!*got) {
        Py_RETURN_NONE;
    }
    return PyBytes_FromStringAndSize((*got)->data(), static_cast<Py_ssize_t>((*got)->size()));
}

Job::Stream stream_of(std::uint64_t which) {
    return which == 0 ? Job::Stream::Output : Job::Stream::Error;
}

} // namespace

PyType_Spec py_session_job_spec = box_spec<PySessionJob>("ovaline.PyTerminalSession.Job", kSlots);

bool job_owned(PySessionJob& self) {
    if (self.owner == ::getpid()) {
        return true;
    }
    raise_message("The job belongs to the process that started it, not to this forked one");
    return false;
}

PyObject* job_try_next(PySessionJob& self, std::uint64_t which) {
    return piece_object(self.job->try_next(stream_of(which)));
}

PyObject* job_next_piece(PySessionJob& self, std::uint64_t which) {
    std::expected<std::optional<std::string>, sandbox::ShellFailure> got;
    if (!wait_for(*self.job, std::nullopt, [&] {
            got = self.job->try_next(stream_of(which));
            return got.has_value();
        })) {
        return nullptr;
    }
    return piece_object(got);
}

PyObject* job_try_result(PySessionJob& self) {
    if (!self.job->finished()) {
        Py_RETURN_NONE;
    }
    std::expected<sandbox::RunOutcome, sandbox::ShellFailure> outcome;
    without_gil([&] { outcome = self.job->wait(std::nullopt); });
    if (!outcome) {
        return raise_errno(ECHILD);
    }
    return run_result(state_of(object_of(self)), *outcome);
}

} // namespace ovaline::pybinding
