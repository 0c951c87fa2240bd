#pragma once

// Whole trees in and out of a PyFs: clone, export_to and import_from, and what the
// session's push and pull share with them.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "bridge/real_directory.hpp"
#include "pybinding/args.hpp"
#include "pybinding/gil.hpp"
#include "pybinding/py_fs.hpp"

namespace ovaline::pybinding {

extern const char kCloneDoc[];
extern const char kExportToDoc[];
extern const char kImportFromDoc[];

PyObject* clone(PyFs& self);
PyObject* export_to(PyFs& self, PyObject* real_dir, Path src,
                    std::optional<std::string_view> owner);
PyObject* import_from(PyFs& self, PyObject* real_dir, Path dst);

// A host path from a str or an os.PathLike giving str, in the filesystem's encoding;
// none with the error set otherwise. `name` is the parameter's, for the message.
std::optional<std::string> host_path(PyObject* path, const char* name);

// A host failure as the OSError its errno selects, with the host path as filename; a
// filesystem failure as the filesystem's own error, naming `fs_path`.
PyObject* raise_transfer_error(const bridge::TransferError& error, PyObject* fs_path);

// Runs a transfer without the interpreter lock: None, or its failure raised.
template <class F> PyObject* run_transfer(PyObject* fs_path, F&& transfer) {
    bridge::TransferResult<void> done;
    without_gil([&] { done = transfer(); });
    if (!done) {
        return raise_transfer_error(done.error(), fs_path);
    }
    Py_RETURN_NONE;
}

} // namespace ovaline::pybinding
