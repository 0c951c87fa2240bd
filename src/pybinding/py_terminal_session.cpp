#include "pybinding/py_terminal_session.hpp"

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/gil.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_user_pool.hpp"
#include "pybinding/session_transfer.hpp"

namespace ovaline::pybinding {
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

using pool::ShellFailure;

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

pool::Deadline deadline_after(std::optional<double> seconds) {
    // Past about thirty years a limit means nothing, and the clock could overflow.
    if (!seconds || *seconds > 1e9) {
        return std::nullopt;
    }
    return pool::Clock::now() + std::chrono::duration_cast<pool::Clock::duration>(
                                    std::chrono::duration<double>(*seconds));
}

PyObject* make_session(PyTypeObject* type, PyUserPool& pool) {
    // Making an account and starting su take a while; other threads run meanwhile.
    std::expected<std::unique_ptr<TerminalSession>, std::string> session;
    without_gil([&] { session = TerminalSession::create(pool.pool); });
    if (!session) {
        return raise_message(session.error());
    }
    return box_new<PyTerminalSession>(type, std::move(*session));
}

PyObject* write(PyTerminalSession& self, std::span<const std::uint8_t> data) {
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
    // Past this bound the bytes object's size would overflow; no allocation could
    // succeed, so it is a memory failure like any other.
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)) {
        return PyErr_NoMemory();
    }
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        return nullptr;
    }
    pool::Deadline deadline = deadline_after(timeout);
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
    without_gil([&] { self.session->close(); });
    Py_RETURN_NONE;
}

PyObject* poll(PyTerminalSession& self) {
    std::optional<int> status = self.session->poll();
    if (!status) {
        Py_RETURN_NONE;
    }
    return PyLong_FromLong(*status);
}

PyObject* wait(PyTerminalSession& self, std::optional<double> timeout) {
    pool::Deadline deadline = deadline_after(timeout);
    auto status = blocking([&] { return self.session->wait(deadline); });
    if (!status) {
        return nullptr;
    }
    if (!*status) {
        return raise_failure(status->error(), kWaitFailed);
    }
    return PyLong_FromLong(**status);
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
    method<"push", push, "fs", "src=\"/\"", "dst=None">(kPushDoc),
    method<"pull", pull, "fs", "src=None", "dst=\"/\"">(kPullDoc),
    enter_method<PyTerminalSession>(kEnterDoc),
    exit_method<PyTerminalSession, close>(kExitDoc),
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

} // namespace ovaline::pybinding
