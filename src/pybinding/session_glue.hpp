#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// The private namespace of the sessions' Python glue: coroutines and iterators on top of
// C helpers that never wait (subscribe to a job's changes, take what is there, pump the
// persistent shell). Compiled once when the module is made; null with the error set on
// failure.
PyObject* make_session_glue(PyObject* module);

// Calls the glue's function `name` with `args` (borrowed); its new result, or null with
// the error set.
PyObject* call_glue(const ModuleState& state, const char* name,
                    std::initializer_list<PyObject*> args);

} // namespace ovaline::pybinding
