#include "pybinding/whence.hpp"

#include <array>

#include "pybinding/heap_type.hpp"
#include "pybinding/py_ref.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] = "\n"
                             "A small enumeration to determine the whence\n"
                             "when seeking in a file.\n";

// Indexed by value.
constexpr std::array<const char*, 3> kMemberNames = {"SEEK_SET", "SEEK_CUR", "SEEK_END"};
constexpr std::array<const char*, 3> kMemberReprs = {"Whence.SEEK_SET", "Whence.SEEK_CUR",
                                                     "Whence.SEEK_END"};

std::uint8_t value_of(PyObject* self) {
    return reinterpret_cast<WhenceObject*>(self)->value;
}

PyObject* whence_repr(PyObject* self) {
    return PyUnicode_FromString(kMemberReprs[value_of(self)]);
}

PyObject* whence_int(PyObject* self) {
    return PyLong_FromLong(value_of(self));
}

// The integer `other` stands for, if it converts to a signed 64-bit integer.
bool as_signed(PyObject* other, long long& out) {
    if (!PyIndex_Check(other)) {
        return false;
    }
    PyRef number(PyNumber_Index(other));
    if (number == nullptr) {
        PyErr_Clear();
        return false;
    }
    out = PyLong_AsLongLong(number.get());
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

PyObject* whence_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    long long other_value = 0;
    if (!as_signed(other, other_value)) {
        if (!Py_IS_TYPE(other, Py_TYPE(self))) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        other_value = value_of(other);
    }
    const bool equal = other_value == value_of(self);
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

void whence_dealloc(PyObject* self) {
    free_instance(self);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(whence_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(whence_repr)},
    {Py_nb_int, reinterpret_cast<void*>(whence_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(whence_richcompare)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "ovaline.Whence", static_cast<int>(sizeof(WhenceObject)), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

// The class with its members as class attributes; null with the error set on failure.
PyTypeObject* create_whence() {
    PyTypeObject* type = create_heap_type(kSpec);
    if (type == nullptr) {
        return nullptr;
    }
    for (std::size_t value = 0; value < kMemberNames.size(); ++value) {
        PyRef member(type->tp_alloc(type, 0));
        if (member == nullptr) {
            Py_DECREF(type);
            return nullptr;
        }
        reinterpret_cast<WhenceObject*>(member.get())->value = static_cast<std::uint8_t>(value);
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), kMemberNames[value],
                                   member.get()) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    return type;
}

} // namespace

PyTypeObject* whence_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_whence();
    }
    return type;
}

} // namespace ovaline::pybinding
