#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "fs/file_system.hpp"

namespace ovaline::pybinding {

// A PyFs instance: one shared reference to its filesystem, which file handles and
// terminals made from it share.
struct PyFsObject {
    PyObject_HEAD std::shared_ptr<fs::FileSystem> fs;
};

PyTypeObject* py_fs_type();

} // namespace ovaline::pybinding
