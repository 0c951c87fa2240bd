#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

#include "fs/file_system.hpp"
#include "pybinding/module_state.hpp"
#include "shell/shell_terminal.hpp"
#include "terminal/simple_terminal.hpp"

namespace ovaline::pybinding {

// One terminal, in the default mode or the shell mode; the mutex serialises its runs
// whichever thread calls.
struct PyTerm {
    static constexpr ClassId kId = ClassId::PyTerm;

    explicit PyTerm(std::shared_ptr<fs::FileSystem> fs) : terminal(std::in_place_index<0>, fs) {}
    PyTerm(std::shared_ptr<fs::FileSystem> fs, shell::ShellLimits limits)
        : terminal(std::in_place_index<1>, std::move(fs), limits) {}

    std::mutex mutex;
    // The thread running a line, so that a registered command calling back into its own
    // terminal is refused instead of waiting for itself.
    std::atomic<std::thread::id> running{};
    std::variant<terminal::SimpleTerminal, shell::ShellTerminal> terminal;
};

extern PyType_Spec py_term_spec;

// PyTerm.ShellResult: status, stdout and stderr of one line.
PyTypeObject* make_shell_result_type();

} // namespace ovaline::pybinding
