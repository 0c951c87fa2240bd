#pragma once

// A Python object that holds one C++ value. A class is a value type T with
// `static constexpr ClassId kId`, and a PyType_Spec from box_spec<T>() whose slots
// include `{Py_tp_dealloc, dealloc_slot<T>()}`:
//
//     struct PyThing {
//         static constexpr ClassId kId = ClassId::PyThing;
//         std::shared_ptr<Core> core;
//     };
//
// box_new<T>(type, args...) makes an instance holding T(args...). Deallocation destroys
// the value and frees the instance; a T with `bool dispose()` has it run first, to end
// what it holds, and a false result with a Python error set goes to the unraisable hook.
//
// Every class is a heap type made from its PyType_Spec by the module, immutable, not
// subclassable, without instance dict, weak references or GC. A class Python may not
// construct sets {Py_tp_new, reinterpret_cast<void*>(no_constructor)}; a class with a
// text signature starts its Py_tp_doc with "Name(signature)\n--\n\n".

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <utility>

#include "pybinding/errors.hpp"
#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

template <class T> struct Box {
    PyObject ob_base;
    alignas(T) std::byte storage[sizeof(T)];
};

template <class T> T& value_of(PyObject* self) {
    return *std::launder(reinterpret_cast<T*>(reinterpret_cast<Box<T>*>(self)->storage));
}

template <class T> PyObject* object_of(T& value) {
    return reinterpret_cast<PyObject*>(reinterpret_cast<std::byte*>(&value) -
                                       offsetof(Box<T>, storage));
}

// Frees an instance whose value is gone, and the reference it held on its type.
inline void free_box(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A new instance of `type` holding T(args...), or null with MemoryError set. The
// arguments are left untouched when the instance cannot be allocated.
template <class T, class... A> PyObject* box_new(PyTypeObject* type, A&&... args) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    try {
        new (reinterpret_cast<Box<T>*>(self)->storage) T(std::forward<A>(args)...);
    } catch (const std::exception&) {
        free_box(self);
        throw;
    }
    return self;
}

template <class T> void box_dealloc(PyObject* self) noexcept {
    T& value = value_of<T>(self);
    if constexpr (requires { value.dispose(); }) {
        // Named by its type: the instance itself is past reviving.
        run_unraisable(state_of(self), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                       [&] { return value.dispose(); });
    }
    value.~T();
    free_box(self);
}

template <class T> void* dealloc_slot() {
    return reinterpret_cast<void*>(&box_dealloc<T>);
}

template <class T> constexpr PyType_Spec box_spec(const char* name, PyType_Slot* slots) {
    static_assert(alignof(Box<T>) <= alignof(std::max_align_t));
    return {name, static_cast<int>(sizeof(Box<T>)), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
}

// tp_new of the classes Python may not construct: TypeError "No constructor defined".
inline PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

// A struct sequence type (a named tuple made in C), immutable and final like the module's
// other classes; null with the error set on failure.
inline PyTypeObject* struct_sequence_type(PyStructSequence_Desc* desc) {
    PyTypeObject* type = PyStructSequence_NewType(desc);
    if (type != nullptr) {
        type->tp_flags = (type->tp_flags | Py_TPFLAGS_IMMUTABLETYPE) & ~Py_TPFLAGS_BASETYPE;
        PyType_Modified(type);
    }
    return type;
}

// An instance of a struct sequence type holding `items`, new references that it takes
// over; null with the error set if any of them is null.
inline PyObject* struct_of(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    const bool complete = std::none_of(items.begin(), items.end(), [](PyObject* i) { return !i; });
    PyObject* result = complete ? PyStructSequence_New(type) : nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (result != nullptr) {
            PyStructSequence_SetItem(result, i++, item);
        } else {
            Py_XDECREF(item);
        }
    }
    return result;
}

} // namespace ovaline::pybinding
