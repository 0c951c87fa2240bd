#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "fs/file_handle.hpp"

namespace ovaline::pybinding {

PyTypeObject* py_file_handle_type();

// A new PyFileHandle owning `handle`. If the object cannot be made, the handle is
// closed at once, releasing its file lock. Null with the error set on failure.
PyObject* wrap_file_handle(fs::FileHandle handle);

} // namespace ovaline::pybinding
