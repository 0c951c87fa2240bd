#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "fs/file_system.hpp"
#include "pybinding/module_state.hpp"
#include "pybinding/py_ref.hpp"

namespace ovaline::pybinding {

// Names listdir made for a directory, reused while its stamp says it is unchanged.
struct CachedListing {
    std::uint64_t stamp;
    PyRef files;
    PyRef directories;
};

// One shared reference to a filesystem, which file handles and terminals made from it
// share.
struct PyFs {
    static constexpr ClassId kId = ClassId::PyFs;
    std::shared_ptr<fs::FileSystem> fs;
    // Guarded by the GIL, which listdir keeps.
    std::unordered_map<fs::InodeId, CachedListing> listings{};
    // How many names `listings` holds in all.
    std::size_t cached_names = 0;
};

extern PyType_Spec py_fs_spec;

// Creates the types of PyFs's results (stat, usage, walk), once per process, and adds
// the public ones to the module; false with the error set on failure.
bool add_fs_result_types(PyObject* module);

} // namespace ovaline::pybinding
