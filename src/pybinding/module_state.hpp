#pragma once

// What the module owns: its type objects and the exception for broken invariants. Code
// that needs them reaches the state through an instance's type. There is one module,
// and so one set of classes, per process (module.cpp).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <type_traits>

namespace ovaline::pybinding {

// The module's classes, in the order of its attributes and of __all__, then the types
// that live as attributes of one of them (PyFs.Stat, ...). Each class's C++ value type
// names its entry as `static constexpr ClassId kId`.
enum class ClassId : std::size_t {
    PyFs,
    PyFileHandle,
    PyTerm,
    Whence,
    PyUserPool,
    PyTerminalSession,
    FsStat,
    FsUsage,
    RawFile,
    FsMount,
    ShellResult,
    RunResult,
    SessionJob,
    Count,
};

struct ModuleState {
    // ovaline.InternalError, derived directly from BaseException and not exported.
    PyObject* internal_error = nullptr;
    std::array<PyTypeObject*, static_cast<std::size_t>(ClassId::Count)> types{};
    // The private namespace of the Python glue behind the sessions' coroutines and
    // iterators (session_glue.cpp); never exposed.
    PyObject* glue = nullptr;

    template <class T> PyTypeObject* type_of() const {
        return types[static_cast<std::size_t>(T::kId)];
    }
    PyTypeObject* type_of(ClassId id) const { return types[static_cast<std::size_t>(id)]; }
};

// CPython frees the state's memory without running a destructor.
static_assert(std::is_trivially_destructible_v<ModuleState>);

// The state of the module that created `type`, which must be one of the module's
// classes; that never fails.
inline ModuleState& state_of_type(PyTypeObject* type) {
    return *static_cast<ModuleState*>(PyModule_GetState(PyType_GetModule(type)));
}

// Adds `object` as the module's attribute `name` and the name to __all__, creating the
// list on first use; false with the error set on failure.
bool add_to_module(PyObject* module, const char* name, PyObject* object);

inline ModuleState& state_of(PyObject* self) {
    return state_of_type(Py_TYPE(self));
}

} // namespace ovaline::pybinding
