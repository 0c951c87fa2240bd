#pragma once

// Classes are heap types made from a PyType_Spec. A class file defines its slots and
// PyType_Spec, then a getter that creates the type once per process and reuses it:
//
//     PyTypeObject* py_thing_type() {
//         static PyTypeObject* type = nullptr;
//         if (type == nullptr) {
//             type = create_heap_type(kSpec);
//         }
//         return type;
//     }
//
// The PyType_Spec flags are Py_TPFLAGS_DEFAULT alone: no subclassing, no GC, no instance
// dict, no weak references. tp_name is "ovaline.Name". A class Python may not construct
// sets {Py_tp_new, reinterpret_cast<void*>(no_constructor)}; a class with a text
// signature starts its Py_tp_doc with "Name(signature)\n--\n\n". A tp_dealloc destroys
// the C++ members in place and then calls free_instance(self).
//
// A class is registered by one line in the list in module.cpp.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ovaline::pybinding {

// Null with the Python error set when the type could not be created.
PyTypeObject* create_heap_type(PyType_Spec& type_spec);

// tp_new of the classes Python may not construct: TypeError "No constructor defined".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Frees the memory of an instance and drops the reference it held on its heap type.
void free_instance(PyObject* self);

} // namespace ovaline::pybinding
