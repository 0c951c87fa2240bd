#include "pybinding/py_terminal_session.hpp"

#include <cxxabi.h>

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

// Runs `body` with the session's mutex held. The mutex is awaited without the
// interpreter lock: its holder may be blocked on a pipe with the lock released, and
// nobody waits for the mutex while holding the interpreter lock, so neither order
// can deadlock. An InternalError leaving `body` poisons the mutex.
template <class F> PyObject* with_session(PyTerminalSession& self, F&& body) {
    std::optional<PoisonableMutex::Guard> guard;
    without_gil([&] { guard.emplace(self.mutex); });
    return body(self.session);
}

PyObject* make_session(PyTypeObject* type, PyUserPool& pool) {
    auto session = TerminalSession::create(pool.pool);
    if (!session) {
        return raise_message(session.error());
    }
    return box_new<PyTerminalSession>(type, std::move(*session));
}

PyObject* write(PyTerminalSession& self, std::span<const std::uint8_t> data) {
    return with_session(self, [&](TerminalSession& session) {
        std::expected<void, std::string> written;
        without_gil([&] {
            written = session.write(
                std::span<const char>(reinterpret_cast<const char*>(data.data()), data.size()));
        });
        return none_or_raise(written);
    });
}

// One read of at most `size` bytes from the chosen stream, into a bytes object made
// before the mutex is taken. The bytes object is released by hand: a forced unwind
// out of without_gil must not release it without a thread state.
PyObject* read_stream(PyTerminalSession& self, TerminalSession::Stream stream, std::uint64_t size) {
    // Past this bound the bytes object's size would overflow; no allocation could
    // succeed, so it is a memory failure like any other.
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)) {
        return PyErr_NoMemory();
    }
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        return nullptr;
    }
    PyObject* result = nullptr;
    try {
        result = with_session(self, [&](TerminalSession& session) -> PyObject* {
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
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        Py_DECREF(bytes);
        throw;
    }
    Py_DECREF(bytes);
    return result;
}

PyObject* read(PyTerminalSession& self, std::uint64_t size) {
    return read_stream(self, TerminalSession::Stream::Output, size);
}

PyObject* read_err(PyTerminalSession& self, std::uint64_t size) {
    return read_stream(self, TerminalSession::Stream::Error, size);
}

PyObject* close(PyTerminalSession& self) {
    return with_session(self, [](TerminalSession& session) {
        session.close();
        Py_RETURN_NONE;
    });
}

PyMethodDef kMethods[] = {
    method<"write", write, "data">(kWriteDoc),
    method<"close", close>(kCloseDoc),
    method<"read", read, "buffer">(kReadDoc),
    method<"read_err", read_err, "buffer">(kReadErrDoc),
    enter_method<PyTerminalSession>(kEnterDoc),
    exit_method<PyTerminalSession, close>(kExitDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, constructor<"PyTerminalSession", make_session, "pool">()},
    {Py_tp_dealloc, dealloc_slot<PyTerminalSession>()},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

} // namespace

PyType_Spec py_terminal_session_spec =
    box_spec<PyTerminalSession>("ovaline.PyTerminalSession", kSlots);

} // namespace ovaline::pybinding
