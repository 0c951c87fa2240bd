#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <mutex>

#include "fs/file_handle.hpp"
#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// One file handle; every method holds `mutex` for its whole use of `handle`.
struct PyFileHandle {
    static constexpr ClassId kId = ClassId::PyFileHandle;

    explicit PyFileHandle(fs::FileHandle opened) : handle(std::move(opened)) {}
    // Closes a handle still open when its object goes, releasing the file lock.
    bool dispose();

    std::mutex mutex;
    fs::FileHandle handle;
};

extern PyType_Spec py_file_handle_spec;

// A new PyFileHandle owning `handle`. If the object cannot be made, the handle is
// closed at once, releasing its file lock. Null with the error set on failure.
PyObject* wrap_file_handle(const ModuleState& state, fs::FileHandle handle);

} // namespace ovaline::pybinding
