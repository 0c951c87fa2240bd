#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error/poisonable_mutex.hpp"
#include "pool/terminal_session.hpp"
#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// One session behind a mutex that every method holds for its whole run.
struct PyTerminalSession {
    static constexpr ClassId kId = ClassId::PyTerminalSession;

    explicit PyTerminalSession(pool::TerminalSession started) : session(std::move(started)) {}
    // Closes without the mutex, so even a session whose mutex is poisoned ends its
    // shell and gives its account back.
    bool dispose() {
        session.close();
        return true;
    }

    PoisonableMutex mutex;
    pool::TerminalSession session;
};

extern PyType_Spec py_terminal_session_spec;

} // namespace ovaline::pybinding
