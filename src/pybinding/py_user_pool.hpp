#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <thread>
#include <utility>

#include "pool/pool_holder.hpp"
#include "pool/warm_sessions.hpp"
#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// One shared reference to a pool holder, which every session made from it shares, so
// the pool outlives this object while sessions remain.
struct PyUserPool {
    static constexpr ClassId kId = ClassId::PyUserPool;
    std::shared_ptr<pool::PoolHolder> pool;
    // The sessions kept ready; none without warm=.
    std::unique_ptr<pool::WarmSessions> warm;

    // Stopping the warm thread and closing its sessions waits for shells to end, so it
    // happens on a thread of its own; the interpreter lock stays held here, and no
    // Python thread waits.
    bool dispose() {
        if (warm) {
            std::thread([gone = std::move(warm)]() mutable { gone.reset(); }).detach();
        }
        return true;
    }
};

extern PyType_Spec py_user_pool_spec;

} // namespace ovaline::pybinding
