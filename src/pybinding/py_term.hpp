#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <mutex>

#include "fs/file_system.hpp"
#include "pybinding/module_state.hpp"
#include "terminal/simple_terminal.hpp"

namespace ovaline::pybinding {

// One terminal; the mutex serialises its runs whichever thread calls.
struct PyTerm {
    static constexpr ClassId kId = ClassId::PyTerm;

    explicit PyTerm(std::shared_ptr<fs::FileSystem> fs) : terminal(std::move(fs)) {}

    std::mutex mutex;
    terminal::SimpleTerminal terminal;
};

extern PyType_Spec py_term_spec;

} // namespace ovaline::pybinding
