#include "pybinding/py_terminal_session.hpp"

#include <cstdint>
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

constexpr char kReadDoc[] = "read($self, buffer)\n--\n\n"
                            "\n"
                            "Read data from the terminal session.\n";

constexpr char kReadErrDoc[] = "read_err($self, buffer)\n--\n\n"
                               "\n"
                               "Read data from the stderr of the terminal session.\n";

constexpr char kEnterDoc[] = "__enter__($self)\n--\n\n"
                             "\n"
                             "Return the session itself.\n";

constexpr char kExitDoc[] = "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
                            "\n"
                            "Close the terminal session.\n";

PyTerminalSessionObject* object_of(PyObject* self) {
    return reinterpret_cast<PyTerminalSessionObject*>(self);
}

// Runs `body` with the interpreter lock released, so other Python threads run while
// it blocks. An exception from `body` is rethrown once the lock is back.
template <class F> void without_gil(F&& body) {
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        body();
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// Runs `body` with the session's mutex held. The mutex is awaited without the
// interpreter lock: its holder may be blocked on a pipe with the lock released, and
// nobody waits for the mutex while holding the interpreter lock, so neither order
// can deadlock. An InternalError leaving `body` poisons the mutex.
template <class F> PyObject* with_session(PyObject* self, F&& body) {
    PyTerminalSessionObject* object = object_of(self);
    std::optional<PoisonableMutex::Guard> guard;
    without_gil([&] { guard.emplace(object->mutex); });
    return body(object->session);
}

PyObject* py_terminal_session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param kParams[] = {{"pool"}};
    PyObject* raw[1];
    PyObject* pool_object = nullptr;
    if (!match_tuple("PyTerminalSession", kParams, args, kwargs, raw) ||
        !to_instance(raw[0], "pool", py_user_pool_type(), pool_object)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        auto session =
            TerminalSession::create(reinterpret_cast<PyUserPoolObject*>(pool_object)->pool);
        if (!session) {
            return raise_message(session.error());
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            return nullptr;
        }
        PyTerminalSessionObject* object = object_of(self);
        new (&object->mutex) PoisonableMutex();
        new (&object->session) TerminalSession(std::move(*session));
        return self;
    });
}

// Closes without the mutex, so even a session whose mutex is poisoned ends its shell
// and gives its account back.
void py_terminal_session_dealloc(PyObject* self) {
    PyTerminalSessionObject* object = object_of(self);
    run_unraisable(self, [&]() -> bool {
        object->session.close();
        return true;
    });
    object->session.~TerminalSession();
    object->mutex.~PoisonableMutex();
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
    return guarded([&] {
        return with_session(self, [&](TerminalSession& session) {
            std::expected<void, std::string> written;
            without_gil([&] {
                written = session.write(
                    std::span<const char>(reinterpret_cast<const char*>(data.data()), data.size()));
            });
            return none_or_raise(written);
        });
    });
}

// One read of at most `buffer` bytes from the chosen stream, into a bytes object made
// before the mutex is taken.
PyObject* read_stream(const char* function, TerminalSession::Stream stream, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param kParams[] = {{"buffer"}};
    PyObject* raw[1];
    std::uint64_t size = 0;
    if (!match_fastcall(function, kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_terminal_session_type()) || !to_u64(raw[0], "buffer", size)) {
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
    PyObject* result = guarded([&] {
        return with_session(self, [&](TerminalSession& session) -> PyObject* {
            std::expected<std::size_t, std::string> read;
            without_gil([&] {
                read = session.read(stream, std::span<char>(PyBytes_AS_STRING(bytes), size));
            });
            if (!read) {
                return raise_message(read.error());
            }
            if (*read == size) {
                return Py_NewRef(bytes);
            }
            return PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes),
                                             static_cast<Py_ssize_t>(*read));
        });
    });
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
        return with_session(self, [](TerminalSession& session) {
            session.close();
            Py_RETURN_NONE;
        });
    });
}

PyObject* py_terminal_session_close(PyObject* self, PyObject*) {
    if (!check_self(self, py_terminal_session_type())) {
        return nullptr;
    }
    return close_session(self);
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
    {"__enter__", py_terminal_session_enter, METH_NOARGS, kEnterDoc},
    {"__exit__", as_cfunction(py_terminal_session_exit), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(py_terminal_session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_terminal_session_dealloc)},
    {Py_tp_methods, kMethods},
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
