#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error/poisonable_mutex.hpp"
#include "pool/terminal_session.hpp"

namespace ovaline::pybinding {

// A PyTerminalSession instance: one session behind a mutex that every method holds
// for its whole run.
struct PyTerminalSessionObject {
    PyObject_HEAD PoisonableMutex mutex;
    pool::TerminalSession session;
};

PyTypeObject* py_terminal_session_type();

} // namespace ovaline::pybinding
