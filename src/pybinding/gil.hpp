#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>

namespace ovaline::pybinding {

// Runs `body` with the interpreter lock released, so other Python threads run while it
// blocks. An exception from `body` is rethrown once the lock is back.
//
// If the interpreter finalises meanwhile, taking the lock back ends this thread with a
// forced unwind. It must pass through every caller untouched: no frame on the way may
// be noexcept or catch it (so the binding catches std::exception and its kin, never
// `...`), and none may call the C API while unwinding (the thread has no thread state
// any more), so no owned Python reference may be released by a destructor on the way.
template <class F> void without_gil(F&& body) {
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        body();
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace ovaline::pybinding
