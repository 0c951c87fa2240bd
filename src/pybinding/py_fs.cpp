#include "pybinding/py_fs.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_file_handle.hpp"
#include "pybinding/py_fs_trees.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] =
    "\n"
    "An highly simplified binding for a simple filesystem written in C++.\n"
    "\n"
    "This class is a simple wrapper around the FileSystem struct. It defines\n"
    "the basis for a small filesystem that can be used in Python. The filesystem\n"
    "can handle files, nested directories and symlinks.\n"
    "\n"
    "The filesystem is thread-safe and can be shared between multiple threads.\n";

constexpr char kMkdirDoc[] =
    "\n"
    "Create a new directory in the filesystem.\n"
    "\n"
    "This function creates a new directory in the filesystem. The function will\n"
    "return an error if the directory could not be created.\n";

constexpr char kTouchDoc[] =
    "\n"
    "Create a new file in the filesystem.\n"
    "\n"
    "This function creates a new file in the filesystem. The function will return\n"
    "an error if the file could not be created.\n";

constexpr char kListdirDoc[] =
    "\n"
    "List the contents of a directory.\n"
    "\n"
    "This function lists the contents of a directory. The function will return a\n"
    "list of strings with the names of the files and directories in the directory.\n"
    "The function will return an error if the directory could not be listed.\n";

// The published signature shows only `recurse`, although `path` and `recurse` are both
// required: callers' tools read it as it has always been.
constexpr char kRemoveSignature[] = "remove(recurse=False)";
constexpr char kRemoveDoc[] = "\n"
                              "Remove a file from the filesystem.\n";

constexpr char kTreeDoc[] =
    "\n"
    "Debug the file system\n"
    "\n"
    "This function will return a debug representation of the filesystem as a string.\n";

constexpr char kOpenDoc[] =
    "\n"
    "Open a file in the filesystem.\n"
    "\n"
    "This function opens a file in the filesystem. The function will return a file\n"
    "handle that can be used to read and write data to the file. The function will\n"
    "return an error if the file could not be opened.\n";

// Resolves the path from the root and lists the directory there.
fs::IoResult<fs::Listing> list_path(const fs::FileSystem& fs, std::string_view path) {
    fs::IoResult<fs::InodeId> id = fs.get_inode_by_path_raw(path);
    if (!id) {
        return std::unexpected(id.error());
    }
    return fs.ls_raw(*id);
}

PyObject* make_fs(PyTypeObject* type) {
    return box_new<PyFs>(type, fs::FileSystem::create());
}

PyObject* debug_text(PyFs& self) {
    return to_py_str(self.fs->debug_string());
}

PyObject* mkdir(PyFs& self, std::string_view path) {
    return none_or_raise(self.fs->mkdir(path));
}

PyObject* touch(PyFs& self, std::string_view path) {
    return none_or_raise(self.fs->touch(path));
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

PyObject* listdir(PyFs& self, std::string_view path) {
    fs::IoResult<fs::Listing> listing = list_path(*self.fs, path);
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
}

PyObject* remove(PyFs& self, std::string_view path, bool recurse) {
    return none_or_raise(self.fs->rm(path, recurse));
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

PyObject* tree(PyFs& self, std::string_view path, std::optional<std::string_view> ident) {
    std::string out;
    if (fs::IoResult<void> done = render_tree(*self.fs, path, ident.value_or(""), out); !done) {
        return raise_io_error(done.error());
    }
    return to_py_str(out);
}

// A missing file in an existing directory is created, whatever the mode.
PyObject* open(PyFs& self, std::string_view path, std::string_view mode) {
    const fs::IoResult<fs::FileHandleType> type = fs::FileHandleType::from_str(mode);
    if (!type) {
        return raise_io_error(type.error());
    }
    fs::IoResult<fs::FileHandle> handle = fs::FileSystem::open(self.fs, path, *type, true);
    if (!handle) {
        return raise_io_error(handle.error());
    }
    return wrap_file_handle(state_of(object_of(self)), std::move(*handle));
}

PyMethodDef kMethods[] = {
    method<"mkdir", mkdir, "path">(kMkdirDoc),
    method<"touch", touch, "path">(kTouchDoc),
    method<"listdir", listdir, "path">(kListdirDoc),
    method<"remove", remove, "path", "recurse">(kRemoveDoc, kRemoveSignature),
    method<"tree", tree, "path", "ident">(kTreeDoc),
    method<"open", open, "path", "mode">(kOpenDoc),
    method<"clone", clone>(kCloneDoc),
    method<"export_to", export_to, "real_dir", "*src", "*owner">(kExportToDoc),
    method<"import_from", import_from, "real_dir", "*dst">(kImportFromDoc),
    {nullptr, nullptr, 0, nullptr},
};

using New = Constructor<"PyFs", make_fs>;

PyType_Slot kSlots[] = {
    New::doc_slot(kClassDoc),
    New::new_slot(),
    {Py_tp_dealloc, dealloc_slot<PyFs>()},
    {Py_tp_str, unary_slot<debug_text>()},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

} // namespace

PyType_Spec py_fs_spec = box_spec<PyFs>("ovaline.PyFs", kSlots);

} // namespace ovaline::pybinding
