#include "pybinding/py_terminal_session.hpp"

#include <chrono>
#include <cstdint>
#include <cxxabi.h>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "pybinding/args.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/heap_type.hpp"
#include "pybinding/py_user_pool.hpp"

namespace ovaline::pybinding {
namespace {

using pool::TerminalSession;

constexpr char kClassDoc[] =
    "PyTerminalSession(pool)\n--\n\n"
    "\n"
    "A class that represents a terminal session for a user.\n"
    "\n"
    "This class represents a unique terminal session for a user. The terminal\n"
    "session will automatically create a new user account when the session is\n"
    "created. The terminal session will also release the user account back to\n"
    "the pool when the session is dropped.\n";

constexpr char kWriteDoc[] = "write($self, data)\n--\n\n"
                             "\n"
                             "Write data to the terminal session.\n";

constexpr char kCloseDoc[] = "close($self)\n--\n\n"
                             "\n"
                             "Close the terminal session.\n";

constexpr char kReadDoc[] = "read($self, buffer, *, timeout=None)\n--\n\n"
                            "\n"
                            "Read data from the terminal session.\n";

constexpr char kReadErrDoc[] = "read_err($self, buffer, *, timeout=None)\n--\n\n"
                               "\n"
                               "Read data from the stderr of the terminal session.\n";

constexpr char kEnterDoc[] = "__enter__($self)\n--\n\n"
                             "\n"
                             "Return the session itself.\n";

constexpr char kExitDoc[] = "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
                            "\n"
                            "Close the terminal session.\n";

constexpr char kPollDoc[] = "poll($self)\n--\n\n"
                            "\n"
                            "Return the shell's exit status, or None while it runs.\n";

constexpr char kWaitDoc[] = "wait($self, timeout=None)\n--\n\n"
                            "\n"
                            "Wait for the shell to end and return its exit status.\n";

constexpr char kUserDoc[] = "The name of the session's account.";
constexpr char kHomeDoc[] = "The canonical path of the session's home directory.";

constexpr char kWriteFailed[] = "Failed to write to terminal session";
constexpr char kReadFailed[] = "Failed to read from terminal session";
constexpr char kWaitFailed[] = "Failed to wait for terminal session";

using pool::ShellFailure;

// Runs `body` with the interpreter lock released, so other Python threads run while
// it blocks. An exception from `body` is rethrown once the lock is back. Taking the lock
// back during the interpreter's shutdown may end this thread by unwinding it; that
// unwind must pass untouched, since no Python call is possible without the lock.
template <class F> void without_gil(F&& body) {
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

TerminalSession& session_of(PyObject* self) {
    return *reinterpret_cast<PyTerminalSessionObject*>(self)->session;
}

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

PyObject* py_terminal_session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param kParams[] = {{"pool"}};
    PyObject* raw[1];
    PyObject* pool_object = nullptr;
    if (!match_tuple("PyTerminalSession", kParams, args, kwargs, raw) ||
        !to_instance(raw[0], "pool", py_user_pool_type(), pool_object)) {
        return nullptr;
    }
    auto holder = reinterpret_cast<PyUserPoolObject*>(pool_object)->pool;
    return guarded([&]() -> PyObject* {
        // Making an account and starting su take a while; other threads run meanwhile.
        std::expected<std::unique_ptr<TerminalSession>, std::string> session;
        without_gil([&] { session = TerminalSession::create(std::move(holder)); });
        if (!session) {
            return raise_message(session.error());
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            return nullptr;
        }
        new (&reinterpret_cast<PyTerminalSessionObject*>(self)->session)
            std::unique_ptr<TerminalSession>(std::move(*session));
        return self;
    });
}

// Runs with the interpreter lock held: a thread that let it go here could be ended
// during the interpreter's shutdown with the object half destroyed.
void py_terminal_session_dealloc(PyObject* self) {
    auto& session = reinterpret_cast<PyTerminalSessionObject*>(self)->session;
    run_unraisable(self, [&]() -> bool {
        session->close();
        return true;
    });
    session.~unique_ptr();
    free_instance(self);
}

PyObject* py_terminal_session_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static constexpr Param kParams[] = {{"data"}};
    PyObject* raw[1];
    std::span<const std::uint8_t> data;
    if (!match_fastcall("write", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_terminal_session_type()) || !to_bytes(raw[0], "data", data)) {
        return nullptr;
    }
    TerminalSession& session = session_of(self);
    // The bytes object is immutable and held by the caller, so it is read without the
    // interpreter lock.
    std::span<const char> rest(reinterpret_cast<const char*>(data.data()), data.size());
    auto written = blocking([&] { return session.write(rest); });
    if (!written) {
        return nullptr;
    }
    if (!*written) {
        return raise_failure(written->error(), kWriteFailed);
    }
    Py_RETURN_NONE;
}

// One read of at most `buffer` bytes from the chosen stream, into a bytes object made
// before the wait.
PyObject* read_stream(const char* function, TerminalSession::Stream stream, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param kParams[] = {{"buffer"}, {"timeout", false, true}};
    PyObject* raw[2];
    std::uint64_t size = 0;
    std::optional<double> timeout;
    if (!match_fastcall(function, kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_terminal_session_type()) || !to_u64(raw[0], "buffer", size) ||
        !to_timeout(raw[1], "timeout", timeout)) {
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
    TerminalSession& session = session_of(self);
    pool::Deadline deadline = deadline_after(timeout);
    std::span<char> into(PyBytes_AS_STRING(bytes), size);
    auto read = blocking([&] { return session.read(stream, into, deadline); });
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

PyObject* py_terminal_session_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return read_stream("read", TerminalSession::Stream::Output, self, args, nargs, kwnames);
}

PyObject* py_terminal_session_read_err(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return read_stream("read_err", TerminalSession::Stream::Error, self, args, nargs, kwnames);
}

PyObject* close_session(PyObject* self) {
    return guarded([&] {
        without_gil([&] { session_of(self).close(); });
        Py_RETURN_NONE;
    });
}

PyObject* py_terminal_session_close(PyObject* self, PyObject*) {
    if (!check_self(self, py_terminal_session_type())) {
        return nullptr;
    }
    return close_session(self);
}

PyObject* py_terminal_session_poll(PyObject* self, PyObject*) {
    if (!check_self(self, py_terminal_session_type())) {
        return nullptr;
    }
    std::optional<int> status = session_of(self).poll();
    if (!status) {
        Py_RETURN_NONE;
    }
    return PyLong_FromLong(*status);
}

PyObject* py_terminal_session_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    static constexpr Param kParams[] = {{"timeout", false}};
    PyObject* raw[1];
    std::optional<double> timeout;
    if (!match_fastcall("wait", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_terminal_session_type()) || !to_timeout(raw[0], "timeout", timeout)) {
        return nullptr;
    }
    TerminalSession& session = session_of(self);
    pool::Deadline deadline = deadline_after(timeout);
    auto status = blocking([&] { return session.wait(deadline); });
    if (!status) {
        return nullptr;
    }
    if (!*status) {
        return raise_failure(status->error(), kWaitFailed);
    }
    return PyLong_FromLong(**status);
}

PyObject* py_terminal_session_user(PyObject* self, void*) {
    return to_py_str(session_of(self).user());
}

PyObject* py_terminal_session_home(PyObject* self, void*) {
    return to_py_str(session_of(self).home());
}

PyObject* py_terminal_session_enter(PyObject* self, PyObject*) {
    if (!check_self(self, py_terminal_session_type())) {
        return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* py_terminal_session_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    static constexpr Param kParams[] = {{"exc_type"}, {"exc_value"}, {"traceback"}};
    PyObject* raw[3];
    if (!match_fastcall("__exit__", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_terminal_session_type())) {
        return nullptr;
    }
    return close_session(self);
}

PyMethodDef kMethods[] = {
    {"write", as_cfunction(py_terminal_session_write), METH_FASTCALL | METH_KEYWORDS, kWriteDoc},
    {"close", py_terminal_session_close, METH_NOARGS, kCloseDoc},
    {"read", as_cfunction(py_terminal_session_read), METH_FASTCALL | METH_KEYWORDS, kReadDoc},
    {"read_err", as_cfunction(py_terminal_session_read_err), METH_FASTCALL | METH_KEYWORDS,
     kReadErrDoc},
    {"poll", py_terminal_session_poll, METH_NOARGS, kPollDoc},
    {"wait", as_cfunction(py_terminal_session_wait), METH_FASTCALL | METH_KEYWORDS, kWaitDoc},
    {"__enter__", py_terminal_session_enter, METH_NOARGS, kEnterDoc},
    {"__exit__", as_cfunction(py_terminal_session_exit), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"user", py_terminal_session_user, nullptr, kUserDoc, nullptr},
    {"home", py_terminal_session_home, nullptr, kHomeDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(py_terminal_session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_terminal_session_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "ovaline.PyTerminalSession",
    static_cast<int>(sizeof(PyTerminalSessionObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

} // namespace

PyTypeObject* py_terminal_session_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_heap_type(kSpec);
    }
    return type;
}

} // namespace ovaline::pybinding
