#include "pybinding/py_fs.hpp"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "pybinding/args.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/heap_type.hpp"
#include "pybinding/py_file_handle.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] =
    "PyFs()\n--\n\n"
    "\n"
    "An highly simplified binding for a simple filesystem written in C++.\n"
    "\n"
    "This class is a simple wrapper around the FileSystem struct. It defines\n"
    "the basis for a small filesystem that can be used in Python. The filesystem\n"
    "can handle files, nested directories and symlinks.\n"
    "\n"
    "The filesystem is thread-safe and can be shared between multiple threads.\n";

constexpr char kMkdirDoc[] =
    "mkdir($self, path)\n--\n\n"
    "\n"
    "Create a new directory in the filesystem.\n"
    "\n"
    "This function creates a new directory in the filesystem. The function will\n"
    "return an error if the directory could not be created.\n";

constexpr char kTouchDoc[] =
    "touch($self, path)\n--\n\n"
    "\n"
    "Create a new file in the filesystem.\n"
    "\n"
    "This function creates a new file in the filesystem. The function will return\n"
    "an error if the file could not be created.\n";

constexpr char kListdirDoc[] =
    "listdir($self, path)\n--\n\n"
    "\n"
    "List the contents of a directory.\n"
    "\n"
    "This function lists the contents of a directory. The function will return a\n"
    "list of strings with the names of the files and directories in the directory.\n"
    "The function will return an error if the directory could not be listed.\n";

// The stored signature shows only `recurse`, although `path` and `recurse` are both
// required.
constexpr char kRemoveDoc[] = "remove(recurse=False)\n--\n\n"
                              "\n"
                              "Remove a file from the filesystem.\n";

constexpr char kTreeDoc[] =
    "tree($self, path, ident=None)\n--\n\n"
    "\n"
    "Debug the file system\n"
    "\n"
    "This function will return a debug representation of the filesystem as a string.\n";

constexpr char kOpenDoc[] =
    "open($self, path, mode)\n--\n\n"
    "\n"
    "Open a file in the filesystem.\n"
    "\n"
    "This function opens a file in the filesystem. The function will return a file\n"
    "handle that can be used to read and write data to the file. The function will\n"
    "return an error if the file could not be opened.\n";

fs::FileSystem& filesystem_of(PyObject* self) {
    return *reinterpret_cast<PyFsObject*>(self)->fs;
}

// Resolves the path from the root and lists the directory there.
fs::IoResult<fs::Listing> list_path(const fs::FileSystem& fs, std::string_view path) {
    fs::IoResult<fs::InodeId> id = fs.get_inode_by_path_raw(path);
    if (!id) {
        return std::unexpected(id.error());
    }
    return fs.ls_raw(*id);
}

PyObject* py_fs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!match_tuple("PyFs", {}, args, kwargs, {})) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::shared_ptr<fs::FileSystem> fs = fs::FileSystem::create();
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            return nullptr;
        }
        new (&reinterpret_cast<PyFsObject*>(self)->fs)
            std::shared_ptr<fs::FileSystem>(std::move(fs));
        return self;
    });
}

void py_fs_dealloc(PyObject* self) {
    reinterpret_cast<PyFsObject*>(self)->fs.~shared_ptr();
    free_instance(self);
}

PyObject* py_fs_str(PyObject* self) {
    return guarded([&] { return to_py_str(filesystem_of(self).debug_string()); });
}

// Matches one `path` argument, checks self and converts; false with the error set.
bool single_path(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, std::string_view& path) {
    static constexpr Param kParams[] = {{"path"}};
    PyObject* raw[1];
    return match_fastcall(function, kParams, args, nargs, kwnames, raw) &&
           check_self(self, py_fs_type()) && to_text(raw[0], "path", path);
}

PyObject* py_fs_mkdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view path;
    if (!single_path("mkdir", self, args, nargs, kwnames, path)) {
        return nullptr;
    }
    return guarded([&] { return none_or_raise(filesystem_of(self).mkdir(path)); });
}

PyObject* py_fs_touch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view path;
    if (!single_path("touch", self, args, nargs, kwnames, path)) {
        return nullptr;
    }
    return guarded([&] { return none_or_raise(filesystem_of(self).touch(path)); });
}

PyObject* list_of_names(const std::vector<std::string>& names) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
    if (list == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* name = to_py_str(names[i]);
        if (name == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), name);
    }
    return list;
}

PyObject* py_fs_listdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    std::string_view path;
    if (!single_path("listdir", self, args, nargs, kwnames, path)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const fs::FileSystem& fs = filesystem_of(self);
        fs::IoResult<fs::Listing> listing = list_path(fs, path);
        if (!listing) {
            return raise_io_error(listing.error());
        }
        PyObject* files = list_of_names(listing->files);
        PyObject* directories = files == nullptr ? nullptr : list_of_names(listing->directories);
        if (directories == nullptr) {
            Py_XDECREF(files);
            return nullptr;
        }
        PyObject* pair = PyTuple_Pack(2, files, directories);
        Py_DECREF(files);
        Py_DECREF(directories);
        return pair;
    });
}

PyObject* py_fs_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param kParams[] = {{"path"}, {"recurse"}};
    PyObject* raw[2];
    std::string_view path;
    bool recurse = false;
    if (!match_fastcall("remove", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_fs_type()) || !to_text(raw[0], "path", path) ||
        !to_bool(raw[1], "recurse", recurse)) {
        return nullptr;
    }
    return guarded([&] { return none_or_raise(filesystem_of(self).rm(path, recurse)); });
}

// The directory's subdirectories, each followed by its own contents two spaces deeper,
// then its other entries. Appends to `out`; on failure `out` is to be discarded.
fs::IoResult<void> render_tree(const fs::FileSystem& fs, std::string_view path,
                               std::string_view ident, std::string& out) {
    fs::IoResult<fs::Listing> listing = list_path(fs, path);
    if (!listing) {
        return std::unexpected(listing.error());
    }
    const std::string child_ident = std::string(ident) + "  ";
    for (const std::string& directory : listing->directories) {
        out.append(ident).append(directory).append("/\n");
        const std::string child_path = std::string(path) + "/" + directory;
        if (fs::IoResult<void> child = render_tree(fs, child_path, child_ident, out); !child) {
            return child;
        }
    }
    for (const std::string& file : listing->files) {
        out.append(ident).append(file).append("\n");
    }
    return {};
}

PyObject* py_fs_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param kParams[] = {{"path"}, {"ident", false}};
    PyObject* raw[2];
    std::string_view path;
    std::optional<std::string_view> ident;
    if (!match_fastcall("tree", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_fs_type()) || !to_text(raw[0], "path", path) ||
        !to_optional_text(raw[1], "ident", ident)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::string out;
        if (fs::IoResult<void> done =
                render_tree(filesystem_of(self), path, ident.value_or(""), out);
            !done) {
            return raise_io_error(done.error());
        }
        return to_py_str(out);
    });
}

// A missing file in an existing directory is created, whatever the mode.
PyObject* py_fs_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param kParams[] = {{"path"}, {"mode"}};
    PyObject* raw[2];
    std::string_view path;
    std::string_view mode;
    if (!match_fastcall("open", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_fs_type()) || !to_text(raw[0], "path", path) ||
        !to_text(raw[1], "mode", mode)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const fs::IoResult<fs::FileHandleType> type = fs::FileHandleType::from_str(mode);
        if (!type) {
            return raise_io_error(type.error());
        }
        fs::IoResult<fs::FileHandle> handle =
            fs::FileSystem::open(reinterpret_cast<PyFsObject*>(self)->fs, path, *type, true);
        if (!handle) {
            return raise_io_error(handle.error());
        }
        return wrap_file_handle(std::move(*handle));
    });
}

PyMethodDef kMethods[] = {
    {"mkdir", as_cfunction(py_fs_mkdir), METH_FASTCALL | METH_KEYWORDS, kMkdirDoc},
    {"touch", as_cfunction(py_fs_touch), METH_FASTCALL | METH_KEYWORDS, kTouchDoc},
    {"listdir", as_cfunction(py_fs_listdir), METH_FASTCALL | METH_KEYWORDS, kListdirDoc},
    {"remove", as_cfunction(py_fs_remove), METH_FASTCALL | METH_KEYWORDS, kRemoveDoc},
    {"tree", as_cfunction(py_fs_tree), METH_FASTCALL | METH_KEYWORDS, kTreeDoc},
    {"open", as_cfunction(py_fs_open), METH_FASTCALL | METH_KEYWORDS, kOpenDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(py_fs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_fs_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(py_fs_str)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "ovaline.PyFs", static_cast<int>(sizeof(PyFsObject)), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

} // namespace

PyTypeObject* py_fs_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_heap_type(kSpec);
    }
    return type;
}

} // namespace ovaline::pybinding
