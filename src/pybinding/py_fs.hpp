#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "fs/file_system.hpp"
#include "fs/posix_path.hpp"
#include "pybinding/args.hpp"
#include "pybinding/module_state.hpp"
#include "pybinding/py_ref.hpp"

namespace ovaline::pybinding {

// Names listdir made for a directory, reused while its stamp says it is unchanged; null
// lists for a directory listed once so far.
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

// The path as the tree resolves it once the rules os applies hold; none with the error os
// would raise, naming the path (ValueError "embedded null byte" for a NUL in it).
std::optional<fs::PosixPath> os_path(const PyFs& self, const Path& path);
// The same for a directory to be made: trailing separators are dropped, as mkdir does.
std::optional<fs::PosixPath> os_dir_path(const PyFs& self, const Path& path);
// The same for a file that may be created: a path ending in a separator names a
// directory, which os refuses to open for writing.
std::optional<fs::PosixPath> os_file_path(const PyFs& self, const Path& path);

// PyFs.Stat and PyFs.Usage, the types of stat's and usage's results; null with the error
// set on failure.
PyTypeObject* make_stat_type();
PyTypeObject* make_usage_type();
// Makes the type of walk's iterators, once the class exists; false with the error set.
bool prepare_py_fs(PyTypeObject* type);

} // namespace ovaline::pybinding
