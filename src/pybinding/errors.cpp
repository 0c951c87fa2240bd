#include "pybinding/errors.hpp"

#include <string>

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

PyObject* raise_internal(const ModuleState& state, const char* message) {
    // The module clears its state only once no instance is left to raise from; the
    // fallback keeps a late call from passing a null type.
    PyErr_SetString(state.internal_error != nullptr ? state.internal_error : PyExc_SystemError,
                    message);
    return nullptr;
}

PyObject* to_py_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void write_unraisable(PyObject* context) {
    PyErr_WriteUnraisable(context);
}

} // namespace ovaline::pybinding
