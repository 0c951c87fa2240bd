#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "pool/pool_holder.hpp"

namespace ovaline::pybinding {

// A PyUserPool instance: one shared reference to a pool holder, which every session
// made from it shares, so the pool outlives this handle while sessions remain.
struct PyUserPoolObject {
    PyObject_HEAD std::shared_ptr<pool::PoolHolder> pool;
};

PyTypeObject* py_user_pool_type();

} // namespace ovaline::pybinding
