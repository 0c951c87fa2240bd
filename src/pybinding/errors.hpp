#pragma once

// Error mapping at the Python boundary.
//
// - An IoError becomes ValueError carrying its message: `return raise_io_error(err);`.
// - A message from the terminal, pool or session layer becomes ValueError:
//   `return raise_message(text);`. `raise_error` takes either kind, and
//   `return none_or_raise(result);` finishes a call whose result is expected<void, E>.
// - Run core code inside `guarded([&]() -> PyObject* { ... })`: an ovaline::InternalError
//   leaving it becomes the module's internal exception (derived directly from
//   BaseException, never exported), std::bad_alloc becomes MemoryError, and the call
//   returns null with the error set.
// - In tp_dealloc, where nothing may be raised, use
//   `run_unraisable(type, [&]() -> bool { ... })`:
//   a failure goes to the interpreter's unraisable hook and any exception already set
//   is kept.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>
#include <exception>
#include <expected>
#include <new>
#include <string_view>

#include "error/internal_error.hpp"
#include "error/io_error.hpp"

namespace ovaline::pybinding {

// The exception type for broken invariants, created once per process. Returns null
// with the error set only if it could not be created.
PyObject* internal_error_type();

// Each returns null with the Python error set, so `return raise_...(...)` ends a call.
PyObject* raise_io_error(const error::IoError& err);
PyObject* raise_message(std::string_view message);
PyObject* raise_internal(const char* message);

inline PyObject* raise_error(const error::IoError& err) {
    return raise_io_error(err);
}
inline PyObject* raise_error(std::string_view message) {
    return raise_message(message);
}

// None for success, or the failure raised as ValueError.
template <class E> PyObject* none_or_raise(const std::expected<void, E>& result) {
    if (!result) {
        return raise_error(result.error());
    }
    Py_RETURN_NONE;
}

// A Python str from UTF-8 text; invalid sequences become U+FFFD, so rendering text
// produced by the core never fails on its content.
PyObject* to_py_str(std::string_view text);

// Not noexcept, and lets a forced unwind through: the interpreter ends a thread that
// takes the lock back during its shutdown by unwinding it, with no thread state left
// for a Python call.
template <class F> PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const InternalError& e) {
        return raise_internal(e.what());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_internal(e.what());
    } catch (...) {
        return raise_internal("unknown C++ exception");
    }
}

// Reports the Python error now set through the unraisable hook, naming `context`.
void write_unraisable(PyObject* context);

// For deallocation: runs `body`, which returns false with a Python error set when it
// fails, and reports a failure through the unraisable hook instead of raising it. An
// exception that was already set survives the call.
template <class F> void run_unraisable(PyObject* context, F&& body) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* saved = PyErr_GetRaisedException();
#else
    PyObject* saved_type;
    PyObject* saved_value;
    PyObject* saved_traceback;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
#endif
    if (guarded([&]() -> PyObject* { return body() ? Py_None : nullptr; }) == nullptr) {
        write_unraisable(context);
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(saved);
#else
    PyErr_Restore(saved_type, saved_value, saved_traceback);
#endif
}

} // namespace ovaline::pybinding
