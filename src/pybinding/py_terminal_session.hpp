#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <utility>

#include "pool/terminal_session.hpp"
#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// One session. It serialises what needs it on its own, so no method holds a lock while
// it waits on the shell, and close() from any thread ends the waits of the others.
struct PyTerminalSession {
    static constexpr ClassId kId = ClassId::PyTerminalSession;

    explicit PyTerminalSession(std::unique_ptr<pool::TerminalSession> started)
        : session(std::move(started)) {}
    // Runs with the interpreter lock held: a thread that let it go here could be ended
    // by the interpreter's shutdown with the object half destroyed.
    bool dispose() {
        session->close();
        return true;
    }

    std::unique_ptr<pool::TerminalSession> session;
};

extern PyType_Spec py_terminal_session_spec;

} // namespace ovaline::pybinding
