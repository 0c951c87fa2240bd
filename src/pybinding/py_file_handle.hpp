#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <mutex>

#include "fs/file_handle.hpp"
#include "pybinding/module_state.hpp"
#include "pybinding/open_file.hpp"

namespace ovaline::pybinding {

// One file handle; every method holds `mutex` for its whole use of `handle`.
struct PyFileHandle : OpenFile {
    static constexpr ClassId kId = ClassId::PyFileHandle;

    explicit PyFileHandle(fs::FileHandle opened) : OpenFile(std::move(opened)) {}

    std::mutex mutex;
};

extern PyType_Spec py_file_handle_spec;

// A new PyFileHandle owning `handle`. If the object cannot be made, the handle is
// closed at once, releasing its file lock. Null with the error set on failure.
PyObject* wrap_file_handle(const ModuleState& state, fs::FileHandle handle);

} // namespace ovaline::pybinding
