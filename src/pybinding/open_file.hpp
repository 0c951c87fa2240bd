#pragma once

// What both file classes hold: one open handle of the core, whose position, reads and
// writes are the core's own.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "fs/file_handle.hpp"
#include "pybinding/errors.hpp"

namespace ovaline::pybinding {

struct OpenFile {
    explicit OpenFile(fs::FileHandle opened) : handle(std::move(opened)) {}

    // Closes a handle still open when its object goes, releasing the file lock; false
    // with the error set when the close fails.
    bool dispose() {
        if (!handle.id().has_value()) {
            return true;
        }
        const fs::IoResult<void> closed = handle.close();
        return closed || raise_io_error(closed.error()) != nullptr;
    }

    fs::FileHandle handle;
};

} // namespace ovaline::pybinding
