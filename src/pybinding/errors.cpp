#include "pybinding/errors.hpp"

#include <string>

namespace ovaline::pybinding {

namespace {

const char kInternalErrorDoc[] = "A broken internal invariant of ovaline. Not meant to be caught.";

} // namespace

PyObject* internal_error_type() {
    // Type objects live for the whole process; the module refuses subinterpreters, so
    // one object serves every caller.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("ovaline.InternalError", kInternalErrorDoc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

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

PyObject* raise_internal(const char* message) {
    PyObject* type = internal_error_type();
    if (type != nullptr) {
        PyErr_SetString(type, message);
    }
    return nullptr;
}

PyObject* to_py_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void write_unraisable(PyObject* context) {
    PyErr_WriteUnraisable(context);
}

} // namespace ovaline::pybinding
