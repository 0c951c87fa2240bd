#include "pybinding/heap_type.hpp"

namespace ovaline::pybinding {

PyTypeObject* create_heap_type(PyType_Spec& type_spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

} // namespace ovaline::pybinding
