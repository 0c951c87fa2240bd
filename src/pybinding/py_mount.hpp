#pragma once

// PyFs.Mount: a tree served where real programs see it, unmounted by unmount(), on
// leaving `with`, when dropped, and at interpreter exit.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "bridge/live_mount.hpp"
#include "pybinding/args.hpp"
#include "pybinding/module_state.hpp"
#include "pybinding/py_fs.hpp"

namespace ovaline::pybinding {

struct PyMount {
    static constexpr ClassId kId = ClassId::FsMount;
    // Shared with the session a tree was mounted in, which unmounts it when it closes.
    std::shared_ptr<bridge::LiveMount> mount;

    // Holds the interpreter lock: the mount's threads never need it, so nothing waits
    // for this thread.
    bool dispose() {
        // A session that shares the mount keeps it until it closes.
        if (mount.use_count() == 1) {
            mount->unmount();
        }
        return true;
    }
};

extern PyType_Spec py_mount_spec;

// PyFs.mount: mounts the tree at `path`; null with OSError set when that fails.
PyObject* mount_fs(PyFs& self, Path path, bool read_only);
// Unmounts every mount of the process once the interpreter has finished.
void unmount_all_at_exit();

} // namespace ovaline::pybinding
