#include "pybinding/whence.hpp"

#include <array>

#include "pybinding/box.hpp"
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

PyObject* whence_repr(PyObject* self) noexcept {
    return PyUnicode_FromString(kMemberReprs[value_of<Whence>(self).value]);
}

PyObject* whence_int(PyObject* self) noexcept {
    return PyLong_FromLong(value_of<Whence>(self).value);
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

PyObject* whence_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    long long other_value = 0;
    if (!as_signed(other, other_value)) {
        if (!Py_IS_TYPE(other, Py_TYPE(self))) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        other_value = value_of<Whence>(other).value;
    }
    const bool equal = other_value == value_of<Whence>(self).value;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, dealloc_slot<Whence>()},
    {Py_tp_repr, reinterpret_cast<void*>(whence_repr)},
    {Py_nb_int, reinterpret_cast<void*>(whence_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(whence_richcompare)},
    {0, nullptr},
};

} // namespace

PyType_Spec whence_spec = box_spec<Whence>("ovaline.Whence", kSlots);

// The class is immutable once made, so the members go straight into its dict.
bool add_whence_members(PyTypeObject* type) {
    for (std::size_t value = 0; value < kMemberNames.size(); ++value) {
        PyRef member(box_new<Whence>(type, static_cast<std::uint8_t>(value)));
        if (member == nullptr ||
            PyDict_SetItemString(type->tp_dict, kMemberNames[value], member.get()) < 0) {
            return false;
        }
    }
    PyType_Modified(type);
    return true;
}

} // namespace ovaline::pybinding
