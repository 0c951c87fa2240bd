#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace ovaline::pybinding {

struct PyRefRelease {
    void operator()(PyObject* obj) const { Py_DECREF(obj); }
};

// An owned (strong) reference, released on scope exit; `release()` hands it on.
using PyRef = std::unique_ptr<PyObject, PyRefRelease>;

} // namespace ovaline::pybinding
