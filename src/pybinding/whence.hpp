#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// A Whence member: SEEK_SET 0, SEEK_CUR 1 or SEEK_END 2.
struct Whence {
    static constexpr ClassId kId = ClassId::Whence;
    std::uint8_t value;
};

extern PyType_Spec whence_spec;

// Creates the three members as class attributes of the new class; false with the
// error set on failure.
bool add_whence_members(PyTypeObject* type);

} // namespace ovaline::pybinding
