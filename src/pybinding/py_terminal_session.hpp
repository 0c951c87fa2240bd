#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/session_closer.hpp"
#include "pool/terminal_session.hpp"
#include "pybinding/module_state.hpp"
#include "pybinding/py_ref.hpp"
#include "sandbox/command_run.hpp"
#include "sandbox/persistent_shell.hpp"

namespace ovaline::pybinding {

// One session. It serialises what needs it on its own, so no method holds a lock while
// it waits on the shell, and close() from any thread ends the waits of the others.
struct PyTerminalSession {
    static constexpr ClassId kId = ClassId::PyTerminalSession;

    explicit PyTerminalSession(std::unique_ptr<pool::TerminalSession> started)
        : session(std::move(started)) {}
    // Closing waits for the shell to end, so a dropped session is closed on another
    // thread; the interpreter lock stays held here, and no Python thread waits.
    bool dispose() {
        pool::close_in_background(std::move(session));
        return true;
    }

    std::unique_ptr<pool::TerminalSession> session;
    // The jobs start() made, as PyTerminalSession.Job objects, for jobs(); a list made
    // on first use, the ended ones left out as it goes.
    PyRef jobs;
    // The persistent shell while a coroutine holds the session's turn for execute, and
    // when its command began.
    std::shared_ptr<sandbox::PersistentShell> held_shell;
    sandbox::Clock::time_point exec_started;
};

extern PyType_Spec py_terminal_session_spec;

using Count = std::optional<std::uint64_t>;

// A sandbox's bounds unless given: 1 GiB of memory and of disk, 512 processes.
inline constexpr std::uint64_t kDefaultMemory = 1073741824;
inline constexpr std::uint64_t kDefaultProcesses = 512;
inline constexpr std::uint64_t kDefaultDisk = 1073741824;

// The options of a sandbox, as PyTerminalSession.sandbox and PyUserPool.warm take them.
pool::SessionOptions sandbox_options(Count memory, Count processes, std::optional<double> cpu,
                                     Count disk, std::vector<std::string> host_paths, bool network,
                                     Count cpu_seconds, Count address_space, Count file_size,
                                     Count open_files);

// PyTerminalSession.RunResult, the type of run()'s results; null with the error set on
// failure.
PyTypeObject* make_run_result_type();

// A RunResult of `outcome`; null with the error set on failure.
PyObject* run_result(const ModuleState& state, const sandbox::RunOutcome& outcome);

// For the coroutines of aexecute (session_glue.cpp), which hold the session's turn from
// exec_take() to exec_give(). exec_take: True once held, False while another has it.
// exec_pump: the RunResult once the command ended, else None. Each raises what execute
// would; a lost shell is forgotten when the turn is given. exec_give ends a shell whose
// command was left unfinished (`settled` false), since its output would reach the next.
PyObject* exec_take(PyTerminalSession& self);
PyObject* exec_begin(PyTerminalSession& self, std::string_view command, Count max_output);
PyObject* exec_pump(PyTerminalSession& self);
PyObject* exec_fds(PyTerminalSession& self);
PyObject* exec_time_out(PyTerminalSession& self);
PyObject* exec_give(PyTerminalSession& self, bool settled);

} // namespace ovaline::pybinding
