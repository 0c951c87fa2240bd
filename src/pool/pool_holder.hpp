#pragma once

#include "error/poisonable_mutex.hpp"
#include "pool/user_pool.hpp"

namespace ovaline::pool {

// A pool with its mutex, shared by its Python handle and every session made from it.
// The pool is only touched with the mutex held.
struct PoolHolder {
    UserPool pool;
    PoisonableMutex mutex;
};

} // namespace ovaline::pool
