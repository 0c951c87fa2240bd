#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "pool/terminal_session.hpp"

namespace ovaline::pybinding {

// A PyTerminalSession instance. The session serialises what needs it on its own, so no
// method holds a lock while it waits on the shell.
struct PyTerminalSessionObject {
    PyObject_HEAD std::unique_ptr<pool::TerminalSession> session;
};

PyTypeObject* py_terminal_session_type();

} // namespace ovaline::pybinding
