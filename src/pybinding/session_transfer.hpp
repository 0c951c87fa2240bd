#pragma once

// Copying trees between a PyFs and a session's home: push and pull.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>

#include "pybinding/args.hpp"
#include "pybinding/py_fs.hpp"
#include "pybinding/py_terminal_session.hpp"

namespace ovaline::pybinding {

extern const char kPushDoc[];
extern const char kPullDoc[];

PyObject* push(PyTerminalSession& self, PyFs& fs, Path src, std::optional<std::string_view> dst);
PyObject* pull(PyTerminalSession& self, PyFs& fs, std::optional<std::string_view> src, Path dst);

} // namespace ovaline::pybinding
