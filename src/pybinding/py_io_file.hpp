#pragma once

// Files of a PyFs as Python file objects. RawFile is the raw layer, registered as an
// io.RawIOBase; PyFs.open_io stacks the standard library's buffered and text layers on
// it as the mode asks, the way the built-in open does over a file descriptor.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "fs/file_handle.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/module_state.hpp"
#include "pybinding/open_file.hpp"
#include "pybinding/py_fs.hpp"

namespace ovaline::pybinding {

// An optional argument passed on unconverted: null when it was left out.
struct OptionalObject {
    PyObject* obj = nullptr;
};

template <> struct Arg<OptionalObject> {
    static constexpr bool kRequired = false;
    using Stored = OptionalObject;
    static bool convert(const ModuleState&, PyObject* obj, const char*, Stored& out) {
        out.obj = obj;
        return true;
    }
    static OptionalObject get(Stored& stored) { return stored; }
};

// Every method runs with the interpreter lock held and calls no Python code while it
// uses `handle`, so the interpreter lock is all the serialisation a file needs.
struct RawFile : OpenFile {
    static constexpr ClassId kId = ClassId::RawFile;

    RawFile(fs::FileHandle opened, std::string path, std::string raw_mode, bool appending)
        : OpenFile(std::move(opened)), name(std::move(path)), mode(std::move(raw_mode)),
          append(appending) {}

    std::string name;
    std::string mode;
    bool append;
    // Python's position, which may lie past the end of the file, so every read and
    // write names it; the handle's own offset stays unused.
    std::uint64_t position = 0;
};

extern PyType_Spec py_io_file_spec;

// Makes the class an io.RawIOBase; false with the error set on failure.
bool register_raw_io(PyTypeObject* type);

// PyFs.open_io(path, mode="r", buffering=-1, encoding=None, errors=None, newline=None).
PyObject* open_io(PyFs& self, Path path, OptionalObject mode, OptionalObject buffering,
                  OptionalObject encoding, OptionalObject errors, OptionalObject newline);

extern const char kOpenIoDoc[];

} // namespace ovaline::pybinding
