#include "pybinding/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "pybinding/py_ref.hpp"

namespace ovaline::pybinding {

PyObject* raise_message(std::string_view message) {
    PyObject* text = to_py_str(message);
    if (text != nullptr) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
    }
    return nullptr;
}

PyObject* raise_io_error(const error::IoError& err) {
    return raise_message(err.message());
}

PyObject* raise_errno(int number, PyObject* filename, PyObject* filename2) {
    // The way os raises: OSError picks the subclass its errno stands for, and the text
    // is the C library's.
    errno = number;
    return PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, filename, filename2);
}

PyObject* raise_os_message(int number, std::string_view message) {
    PyRef text(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyRef args(text ? Py_BuildValue("(iO)", number, text.get()) : nullptr);
    // Made now, so the error is the subclass errno stands for (PermissionError, ...)
    // already when an except clause looks at it.
    PyRef error(args ? PyObject_Call(PyExc_OSError, args.get(), nullptr) : nullptr);
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
    return nullptr;
}

PyObject* raise_os_error(const error::IoError& err, PyObject* filename, PyObject* filename2) {
    const std::optional<int> number = error::errno_of(err.kind());
    if (!number) {
        return raise_io_error(err);
    }
    return raise_errno(*number, filename, filename2);
}

PyObject* raise_internal(const ModuleState& state, const char* message) {
    // The module clears its state only once no instance is left to raise from; the
    // fallback keeps a late call from passing a null type.
    PyErr_SetString(state.internal_error != nullptr ? state.internal_error : PyExc_SystemError,
                    message);
    return nullptr;
}

PyObject* to_py_str(std::string_view text) {
    // Most names are ASCII, which needs no decoding at all.
    if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
        if (str != nullptr) {
            std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
        }
        return str;
    }
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void write_unraisable(PyObject* context) {
    PyErr_WriteUnraisable(context);
}

} // namespace ovaline::pybinding
