#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace ovaline::pybinding {

// A Whence member: SEEK_SET 0, SEEK_CUR 1 or SEEK_END 2.
struct WhenceObject {
    PyObject_HEAD std::uint8_t value;
};

// The class, with its three members created together with it.
PyTypeObject* whence_type();

} // namespace ovaline::pybinding
