// The module: created once, then one class after another in the list below.
//
// To add a class, include its header and add one line `{"Name", getter}` at its place
// in kClasses; the getter returns the class's type object (see heap_type.hpp). The
// order of the list is the order of the module's attributes and of __all__.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "pybinding/errors.hpp"
#include "pybinding/py_file_handle.hpp"
#include "pybinding/py_fs.hpp"
#include "pybinding/py_term.hpp"
#include "pybinding/py_terminal_session.hpp"
#include "pybinding/py_user_pool.hpp"
#include "pybinding/whence.hpp"

namespace ovaline::pybinding {
namespace {

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};

constexpr ClassEntry kClasses[] = {
    {"PyFs", py_fs_type},
    {"PyFileHandle", py_file_handle_type},
    {"PyTerm", py_term_type},
    {"Whence", whence_type},
    {"PyUserPool", py_user_pool_type},
    {"PyTerminalSession", py_terminal_session_type},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ovaline", // m_name
    "",        // m_doc
    0,         // m_size
    nullptr,   // m_methods
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

// Adds the class as an attribute and its name to __all__, creating the list on first use.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) {
        return false;
    }
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
                    PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
    Py_XDECREF(py_name);
    Py_DECREF(all);
    return ok;
}

PyObject* create_module() {
    if (internal_error_type() == nullptr) {
        return nullptr;
    }
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) {
        return nullptr;
    }
    for (const ClassEntry& entry : kClasses) {
        if (!add_class(module, entry.name, entry.type())) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

} // namespace
} // namespace ovaline::pybinding

PyMODINIT_FUNC PyInit_ovaline() {
    // The classes are created once per process, so they belong to the first interpreter
    // that imports the module; a later initialisation there gets the module it made.
    static PyObject* module = nullptr;
    static std::int64_t interpreter = -1;

    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter != -1 && current != interpreter) {
        PyErr_SetString(PyExc_ImportError, "ovaline: subinterpreters are not supported");
        return nullptr;
    }
    interpreter = current;
    if (module == nullptr) {
        module = ovaline::pybinding::create_module();
    }
    return Py_XNewRef(module);
}
