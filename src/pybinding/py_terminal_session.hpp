#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pool/session_closer.hpp"
#include "pool/terminal_session.hpp"
#include "pybinding/module_state.hpp"

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

} // namespace ovaline::pybinding
