#pragma once

// Error mapping at the Python boundary.
//
// - In the original methods an IoError becomes ValueError carrying its message, and
//   nothing else: `return raise_io_error(err);`. A message from the terminal, pool or
//   session layer becomes ValueError too: `return raise_message(text);`. `raise_error`
//   takes either kind, and `return none_or_raise(result);` finishes a call whose result
//   is expected<void, E>.
// - The os-like additions raise what os raises: the built-in OSError subclass of the
//   errno, with the C library's text and the path(s) the caller gave:
//   `return raise_os_error(err, path.given);`, `none_or_os_error(result, src, dst)`.
//   A closed handle or a bad mode stays a plain ValueError, as in io.
// - Core code runs inside `guarded(state, [&]() -> PyObject* { ... })` (the method
//   adapters of methods.hpp do this for every method): an ovaline::InternalError
//   leaving it becomes the module's internal exception, std::bad_alloc becomes
//   MemoryError, and the call returns null with the error set. A forced unwind passes
//   through (see gil.hpp).
// - In tp_dealloc, where nothing may be raised, use
//   `run_unraisable(state, context, [&]() -> bool { ... })`: a failure goes to the
//   interpreter's unraisable hook and any exception already set is kept.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <expected>
#include <new>
#include <string_view>

#include "error/internal_error.hpp"
#include "error/io_error.hpp"
#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// Each returns null with the Python error set, so `return raise_...(...)` ends a call.
PyObject* raise_io_error(const error::IoError& err);
PyObject* raise_os_error(const error::IoError& err, PyObject* filename = nullptr,
                         PyObject* filename2 = nullptr);
PyObject* raise_errno(int number, PyObject* filename = nullptr, PyObject* filename2 = nullptr);
PyObject* raise_message(std::string_view message);
// OSError of the subclass `number` stands for, with `message` as its text.
PyObject* raise_os_message(int number, std::string_view message);
PyObject* raise_internal(const ModuleState& state, const char* message);

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

// None, or the failure raised as os raises it, naming the path(s) the caller gave.
inline PyObject* none_or_os_error(const std::expected<void, error::IoError>& result,
                                  PyObject* filename, PyObject* filename2 = nullptr) {
    if (!result) {
        return raise_os_error(result.error(), filename, filename2);
    }
    Py_RETURN_NONE;
}

// A Python str from UTF-8 text; invalid sequences become U+FFFD, so rendering text
// produced by the core never fails on its content.
PyObject* to_py_str(std::string_view text);

// Not noexcept, and catches only what derives from std::exception (everything the
// core throws): a forced unwind (gil.hpp) is none of that and leaves through it.
template <class F> PyObject* guarded(const ModuleState& state, F&& body) {
    try {
        return body();
    } catch (const InternalError& e) {
        return raise_internal(state, e.what());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_internal(state, e.what());
    }
}

// Reports the Python error now set through the unraisable hook, naming `context`.
void write_unraisable(PyObject* context);

// For deallocation: runs `body`, which returns false with a Python error set when it
// fails, and reports a failure through the unraisable hook instead of raising it. An
// exception that was already set survives the call. Deallocation never releases the
// interpreter lock, so no forced unwind can come this way.
template <class F>
void run_unraisable(const ModuleState& state, PyObject* context, F&& body) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* saved = PyErr_GetRaisedException();
#else
    PyObject* saved_type;
    PyObject* saved_value;
    PyObject* saved_traceback;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
#endif
    if (guarded(state, [&]() -> PyObject* { return body() ? Py_None : nullptr; }) == nullptr) {
        write_unraisable(context);
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(saved);
#else
    PyErr_Restore(saved_type, saved_value, saved_traceback);
#endif
}

} // namespace ovaline::pybinding
