// The module: one module object and one set of classes per process. The first import
// creates the module and its classes from their PyType_Spec and keeps them in the
// module's state; every later initialisation (a re-import after the module was removed
// from sys.modules) returns that same module, so objects made before it keep working
// with everything imported after it.
//
// The module holds its six classes and nothing else. To add one, give it an entry in
// ClassId (module_state.hpp) and one line `{"Name", ClassId::Name, &py_name_spec}` at its
// place in kClasses: the order of the list is the order of the module's attributes and of
// __all__. A type that a class's methods return lives on that class instead, as
// `Owner.Name`: one line in kNested.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>

#include "pybinding/errors.hpp"
#include "pybinding/module_state.hpp"
#include "pybinding/py_file_handle.hpp"
#include "pybinding/py_fs.hpp"
#include "pybinding/py_io_file.hpp"
#include "pybinding/py_mount.hpp"
#include "pybinding/py_ref.hpp"
#include "pybinding/py_session_job.hpp"
#include "pybinding/py_term.hpp"
#include "pybinding/py_terminal_session.hpp"
#include "pybinding/py_user_pool.hpp"
#include "pybinding/session_glue.hpp"
#include "pybinding/whence.hpp"

namespace ovaline::pybinding {
namespace {

struct ClassEntry {
    const char* name;
    ClassId id;
    PyType_Spec* type_spec;
    // Finishes the class before it is added; false with the error set on failure.
    bool (*prepare)(PyTypeObject*) = nullptr;
    // Makes a class that is not built from a PyType_Spec (a struct sequence).
    PyTypeObject* (*create)() = nullptr;
};

const ClassEntry kClasses[] = {
    {"PyFs", ClassId::PyFs, &py_fs_spec, prepare_py_fs},
    {"PyFileHandle", ClassId::PyFileHandle, &py_file_handle_spec},
    {"PyTerm", ClassId::PyTerm, &py_term_spec},
    {"Whence", ClassId::Whence, &whence_spec, add_whence_members},
    {"PyUserPool", ClassId::PyUserPool, &py_user_pool_spec},
    {"PyTerminalSession", ClassId::PyTerminalSession, &py_terminal_session_spec},
};

struct NestedEntry {
    ClassId owner;
    ClassEntry type;
};

const NestedEntry kNested[] = {
    {ClassId::PyFs, {"Stat", ClassId::FsStat, nullptr, nullptr, make_stat_type}},
    {ClassId::PyFs, {"Usage", ClassId::FsUsage, nullptr, nullptr, make_usage_type}},
    {ClassId::PyFs, {"RawFile", ClassId::RawFile, &py_io_file_spec, register_raw_io}},
    {ClassId::PyFs, {"Mount", ClassId::FsMount, &py_mount_spec}},
    {ClassId::PyTerm,
     {"ShellResult", ClassId::ShellResult, nullptr, nullptr, make_shell_result_type}},
    {ClassId::PyTerminalSession,
     {"RunResult", ClassId::RunResult, nullptr, nullptr, make_run_result_type}},
    {ClassId::PyTerminalSession, {"Job", ClassId::SessionJob, &py_session_job_spec}},
};

constexpr char kInternalErrorDoc[] =
    "A broken internal invariant of ovaline. Not meant to be caught.";

// Its memory is zero-filled until fill_module constructs it, so every field reads null.
ModuleState* state_if_any(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Creates the entry's type and keeps it in the state; null with the error set on failure.
PyTypeObject* create_type(PyObject* module, ModuleState& state, const ClassEntry& entry) {
    auto* type = entry.create != nullptr ? entry.create()
                                         : reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(
                                               module, entry.type_spec, nullptr));
    if (type == nullptr) {
        return nullptr;
    }
    state.types[static_cast<std::size_t>(entry.id)] = type;
    if (entry.prepare != nullptr && !entry.prepare(type)) {
        return nullptr;
    }
    return type;
}

// Makes `type` the attribute `name` of `owner`, found by pickle and shown by repr as
// ovaline.Owner.Name. Both types are immutable to Python, so their dictionaries are
// written here directly.
bool nest(PyTypeObject* owner, const char* name, PyTypeObject* type) {
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(type);
    PyRef module_name(PyUnicode_FromString("ovaline"));
    PyRef qualname(PyUnicode_FromFormat("%s.%s", owner->tp_name + sizeof("ovaline"), name));
    if (!module_name || !qualname ||
        PyDict_SetItemString(type->tp_dict, "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(owner->tp_dict, name, reinterpret_cast<PyObject*>(type)) < 0) {
        return false;
    }
    Py_SETREF(heap->ht_qualname, qualname.release());
    PyType_Modified(type);
    PyType_Modified(owner);
    return true;
}

} // namespace

bool add_to_module(PyObject* module, const char* name, PyObject* object) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    PyObject* py_name = PyUnicode_FromString(name);
    const bool ok = py_name != nullptr && PyList_Append(all, py_name) == 0 &&
                    PyModule_AddObjectRef(module, name, object) == 0;
    Py_XDECREF(py_name);
    Py_DECREF(all);
    return ok;
}

namespace {

// Fills a newly created module; false with the error set on failure.
bool fill_module(PyObject* module) {
    ModuleState& state = *new (PyModule_GetState(module)) ModuleState();
    state.internal_error = PyErr_NewExceptionWithDoc("ovaline.InternalError", kInternalErrorDoc,
                                                     PyExc_BaseException, nullptr);
    if (state.internal_error == nullptr) {
        return false;
    }
    // The one version, written in CMakeLists.txt's project().
    if (PyModule_AddStringConstant(module, "__version__", OVALINE_VERSION) < 0) {
        return false;
    }
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = create_type(module, state, entry);
        if (type == nullptr ||
            !add_to_module(module, entry.name, reinterpret_cast<PyObject*>(type))) {
            return false;
        }
    }
    for (const NestedEntry& entry : kNested) {
        PyTypeObject* type = create_type(module, state, entry.type);
        if (type == nullptr || !nest(state.type_of(entry.owner), entry.type.name, type)) {
            return false;
        }
    }
    state.glue = make_session_glue(module);
    return state.glue != nullptr;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    if (ModuleState* state = state_if_any(module)) {
        Py_VISIT(state->internal_error);
        Py_VISIT(state->glue);
        for (PyTypeObject* type : state->types) {
            Py_VISIT(type);
        }
    }
    return 0;
}

int clear_module(PyObject* module) noexcept {
    if (ModuleState* state = state_if_any(module)) {
        Py_CLEAR(state->internal_error);
        Py_CLEAR(state->glue);
        for (PyTypeObject*& type : state->types) {
            Py_CLEAR(type);
        }
    }
    return 0;
}

void free_module(void* module) noexcept {
    clear_module(static_cast<PyObject*>(module));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ovaline",           // m_name
    "",                  // m_doc
    sizeof(ModuleState), // m_size
    nullptr,             // m_methods
    nullptr,             // m_slots
    traverse_module,     // m_traverse
    clear_module,        // m_clear
    free_module,         // m_free
};

// Only the main interpreter may load the module: sessions and handles are not meant to
// be shared across interpreters, and the one module belongs to the main one.
PyObject* the_module() {
    // Created once and kept for the life of the process, with the classes in its state.
    static PyObject* module = nullptr;
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "ovaline: subinterpreters are not supported");
        return nullptr;
    }
    if (module == nullptr) {
        PyObject* created = PyModule_Create(&module_def);
        if (created == nullptr) {
            return nullptr;
        }
        if (!fill_module(created)) {
            Py_DECREF(created);
            return nullptr;
        }
        // Mounts still up when the interpreter ends go then, not with the process, which
        // would leave them dead where they were.
        if (Py_AtExit(unmount_all_at_exit) != 0) {
            Py_DECREF(created);
            PyErr_SetString(PyExc_ImportError, "ovaline: no room for an exit function");
            return nullptr;
        }
        module = created;
    }
    return Py_NewRef(module);
}

} // namespace
} // namespace ovaline::pybinding

PyMODINIT_FUNC PyInit_ovaline() {
    return ovaline::pybinding::the_module();
}
