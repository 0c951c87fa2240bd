#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "pool/pool_holder.hpp"
#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// One shared reference to a pool holder, which every session made from it shares, so
// the pool outlives this object while sessions remain.
struct PyUserPool {
    static constexpr ClassId kId = ClassId::PyUserPool;
    std::shared_ptr<pool::PoolHolder> pool;
};

extern PyType_Spec py_user_pool_spec;

} // namespace ovaline::pybinding
