#include "pybinding/py_fs_trees.hpp"

#include <utility>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"

namespace ovaline::pybinding {

const char kCloneDoc[] =
    "Return an independent copy of the whole filesystem.\n"
    "\n"
    "The copy shows the tree as it stood at one moment, even while other threads\n"
    "change it, and every file as one write left it. Entries keep their ids in the\n"
    "copy; later changes to either filesystem are not seen by the other.\n";

const char kExportToDoc[] =
    "Write the directory `src` and everything below it into `real_dir`.\n"
    "\n"
    "`real_dir` must be an existing, empty directory on the host. Directories are\n"
    "created with mode 0700 and files with mode 0600, and given to the user named\n"
    "`owner` when set. No symbolic link is ever followed, not even in `real_dir`\n"
    "itself. On failure everything written is removed again and OSError is raised.\n";

const char kImportFromDoc[] =
    "Read the host directory `real_dir` and everything below it into `dst`.\n"
    "\n"
    "Only directories and regular files are read; a symbolic link, device, fifo or\n"
    "socket is refused with OSError naming its path. The whole tree is added to\n"
    "`dst` in one step, and nothing is added when any part fails.\n";

std::optional<std::string> host_path(PyObject* path, const char* name) {
    PyObject* text = PyOS_FSPath(path);
    if (text == nullptr) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be str or os.PathLike of str, not %.200s",
                     name, Py_TYPE(text)->tp_name);
        Py_DECREF(text);
        return std::nullopt;
    }
    PyObject* encoded = PyUnicode_EncodeFSDefault(text);
    Py_DECREF(text);
    if (encoded == nullptr) {
        return std::nullopt;
    }
    std::string out(PyBytes_AS_STRING(encoded),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return std::nullopt;
    }
    return out;
}

PyObject* raise_transfer_error(const bridge::TransferError& error, PyObject* fs_path) {
    if (const auto* io = std::get_if<fs::IoError>(&error)) {
        return raise_os_error(*io, fs_path);
    }
    const auto& host = std::get<bridge::HostError>(error);
    PyObject* filename = PyUnicode_DecodeFSDefaultAndSize(
        host.path.data(), static_cast<Py_ssize_t>(host.path.size()));
    if (filename == nullptr) {
        return nullptr;
    }
    // OSError picks the subclass its errno stands for, as os functions do.
    PyObject* exception =
        PyObject_CallFunction(PyExc_OSError, "isN", host.errnum, host.message.c_str(), filename);
    if (exception != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
        Py_DECREF(exception);
    }
    return nullptr;
}

PyObject* clone(PyFs& self) {
    return box_new<PyFs>(Py_TYPE(object_of(self)), self.fs->clone());
}

PyObject* export_to(PyFs& self, PyObject* real_dir, Path src,
                    std::optional<std::string_view> owner) {
    std::optional<std::string> dir = host_path(real_dir, "real_dir");
    if (!dir) {
        return nullptr;
    }
    std::optional<bridge::Owner> account;
    if (owner) {
        auto found = bridge::owner_named(std::string(*owner));
        if (!found) {
            // As shutil.chown reports an unknown user.
            PyErr_SetString(PyExc_LookupError, found.error().c_str());
            return nullptr;
        }
        account = *found;
    }
    return run_transfer(src.given,
                        [&] { return bridge::export_tree(*self.fs, src.text, *dir, account); });
}

PyObject* import_from(PyFs& self, PyObject* real_dir, Path dst) {
    std::optional<std::string> dir = host_path(real_dir, "real_dir");
    if (!dir) {
        return nullptr;
    }
    return run_transfer(
        dst.given, [&] { return bridge::import_tree(*self.fs, *dir, dst.text, std::nullopt); });
}

} // namespace ovaline::pybinding
