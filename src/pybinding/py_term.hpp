#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ovaline::pybinding {

PyTypeObject* py_term_type();

} // namespace ovaline::pybinding
