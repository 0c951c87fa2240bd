#include "pybinding/py_fs.hpp"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/glob.hpp"
#include "fs/posix_path.hpp"
#include "fs/tree_walk.hpp"
#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_file_handle.hpp"
#include "pybinding/py_fs_trees.hpp"
#include "pybinding/py_io_file.hpp"
#include "pybinding/py_mount.hpp"
#include "pybinding/py_ref.hpp"

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

constexpr char kExistsDoc[] =
    "\nWhether the path leads to anything. Never raises for a missing path.\n";
constexpr char kIsFileDoc[] =
    "\nWhether the path leads to a file. Never raises for a missing path.\n";
constexpr char kIsDirDoc[] =
    "\nWhether the path leads to a directory. Never raises for a missing path.\n";
constexpr char kStatDoc[] =
    "\nThe inode's id, its kind (\"file\" or \"directory\"), a file's size in bytes and a\n"
    "directory's number of entries, as a PyFs.Stat; its mtime_ns attribute tells when\n"
    "the contents last changed.\n";
constexpr char kMakedirsDoc[] =
    "\nCreate the directory and every missing one above it, all at once. An existing\n"
    "directory at the path is an error unless exist_ok is true.\n";
constexpr char kRenameDoc[] =
    "\nMove a file or directory to dst in one step; its id and open handles stay valid.\n"
    "With replace, an existing file, or empty directory, of the same kind gives way.\n";
constexpr char kCopyDoc[] =
    "\nCopy a file, or with recursive a directory tree, to dst under new ids. The copy\n"
    "appears all at once, and each file is copied as one consistent state.\n";
constexpr char kWalkDoc[] =
    "\nWalk the tree top-down as os.walk does, yielding (dirpath, dirnames, filenames).\n"
    "Removing names from dirnames prunes the walk. Each step lists one directory, so\n"
    "other threads may change the tree meanwhile; what vanishes is skipped.\n";
constexpr char kGlobDoc[] =
    "\nThe paths matching the pattern, sorted: *, ?, [...] within a name, ** for any\n"
    "number of directories. Names starting with a dot match only a pattern that does.\n";
constexpr char kReadBytesDoc[] =
    "\nThe whole file's contents. Fails while a handle holds the file for writing.\n";
constexpr char kWriteBytesDoc[] =
    "\nCreate the file or replace its contents; returns the number of bytes written.\n"
    "Fails while any handle holds the file.\n";
constexpr char kReadTextDoc[] = "\nThe whole file's contents, decoded.\n";
constexpr char kWriteTextDoc[] =
    "\nCreate the file or replace its contents with the encoded text; returns the\n"
    "number of characters written.\n";
constexpr char kUsageDoc[] =
    "\nThe bytes of all files and the inodes (the root included) in use, as a PyFs.Usage.\n";
constexpr char kLimitedDoc[] =
    "\nA new filesystem that holds at most max_bytes bytes of file contents and\n"
    "max_inodes inodes (the root included); None for no limit. Past a limit a\n"
    "change fails with \"No space left\" (ENOSPC in the os-like methods).\n";
constexpr char kMountDoc[] =
    "\nServe the tree at path, an existing empty directory, where real programs read and\n"
    "write it; returns a PyFs.Mount. Opens the file lock refuses fail with EBUSY; chmod\n"
    "and chown succeed without effect. Raises OSError when the mount cannot be made.\n";
constexpr char kStatTypeDoc[] = "What PyFs.stat reports about one inode.";
constexpr char kUsageTypeDoc[] = "What PyFs.usage reports about the whole filesystem.";

// Resolves the path from the root and lists the directory there.
fs::IoResult<fs::Listing> list_from_root(const fs::FileSystem& fs, std::string_view path) {
    fs::IoResult<fs::InodeId> id = fs.get_inode_by_path_raw(path);
    if (!id) {
        return std::unexpected(id.error());
    }
    return fs.ls_raw(*id);
}

PyObject* make_fs(PyTypeObject* type) {
    return box_new<PyFs>(type, fs::FileSystem::create());
}

PyObject* limited(PyTypeObject* type, std::optional<std::uint64_t> max_bytes,
                  std::optional<std::uint64_t> max_inodes) {
    return box_new<PyFs>(
        type, fs::FileSystem::create(fs::Limits{max_bytes.value_or(fs::Limits::kUnlimited),
                                                max_inodes.value_or(fs::Limits::kUnlimited)}));
}

// What a path leads to under os's rules; none for nothing, or a path os refuses.
std::optional<fs::NodeKind> os_kind(const PyFs& self, const Path& path) {
    if (path.text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::expected<fs::PosixPath, int> checked = fs::check_posix_path(*self.fs, path.text);
    if (!checked) {
        return std::nullopt;
    }
    const fs::IoResult<fs::NodeKind> kind = self.fs->kind(checked->path);
    if (!kind || (checked->directory_only && *kind != fs::NodeKind::Directory)) {
        return std::nullopt;
    }
    return *kind;
}

PyObject* debug_text(PyFs& self) {
    return to_py_str(self.fs->debug_string());
}

PyObject* repr(PyFs& self) {
    return PyUnicode_FromFormat("<ovaline.PyFs with %zu inodes>", self.fs->inode_count());
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

// The most names listdir keeps alive for reuse, in all directories together; past that
// it starts again, so a huge directory listed once does not hold its names forever.
constexpr std::size_t kCachedNames = 65536;

// A new list taking over the references in `items`.
PyObject* list_taking(std::vector<PyObject*>& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list != nullptr) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i]);
        }
        items.clear();
    }
    return list;
}

// Names made for one listing, as new references.
struct NewNames {
    std::vector<PyObject*> files;
    std::vector<PyObject*> directories;
    bool failed = false;

    NewNames() = default;
    NewNames(const NewNames&) = delete;
    NewNames& operator=(const NewNames&) = delete;
    ~NewNames() {
        for (PyObject* name : files) {
            Py_DECREF(name);
        }
        for (PyObject* name : directories) {
            Py_DECREF(name);
        }
    }
};

// Copies of the cached lists, since the caller may change what it gets.
PyObject* copies_of(const CachedListing& cached) {
    PyRef files(PyList_GetSlice(cached.files.get(), 0, PY_SSIZE_T_MAX));
    PyRef directories(files ? PyList_GetSlice(cached.directories.get(), 0, PY_SSIZE_T_MAX)
                            : nullptr);
    return directories ? PyTuple_Pack(2, files.get(), directories.get()) : nullptr;
}

// A directory listed for the first time costs only its names: the lists are kept for
// reuse once the same directory is listed again unchanged.
PyObject* listdir(PyFs& self, std::string_view path) {
    auto cached = self.listings.end();
    auto known_stamp = [&](fs::InodeId id) -> std::uint64_t {
        cached = self.listings.find(id);
        return cached != self.listings.end() && cached->second.files ? cached->second.stamp : 0;
    };
    // Made under the directory's read lock, where no Python code may run: a str is not
    // tracked by the collector, so making one never starts it.
    NewNames names;
    auto visit = [&](std::string_view name, bool directory) {
        PyObject* text = names.failed ? nullptr : to_py_str(name);
        names.failed = text == nullptr;
        if (text != nullptr) {
            (directory ? names.directories : names.files).push_back(text);
        }
    };
    const fs::IoResult<fs::ListedDirectory> listed = self.fs->list_path(path, known_stamp, visit);
    if (!listed) {
        return raise_io_error(listed.error());
    }
    if (names.failed) {
        return nullptr;
    }
    if (listed->unchanged) {
        return copies_of(cached->second);
    }
    const std::size_t count = names.files.size() + names.directories.size();
    PyRef files(list_taking(names.files));
    PyRef directories(files ? list_taking(names.directories) : nullptr);
    if (!directories) {
        return nullptr;
    }
    const bool seen = cached != self.listings.end() && cached->second.stamp == listed->stamp;
    if (cached != self.listings.end()) {
        if (cached->second.files) {
            self.cached_names -=
                static_cast<std::size_t>(PyList_GET_SIZE(cached->second.files.get()) +
                                         PyList_GET_SIZE(cached->second.directories.get()));
        }
        self.listings.erase(cached);
    }
    if (listed->stamp == 0 || count > kCachedNames) {
        return PyTuple_Pack(2, files.get(), directories.get());
    }
    if (!seen) {
        // Remembered without its names until it is listed again as it is now.
        self.listings.emplace(listed->id, CachedListing{listed->stamp, PyRef(), PyRef()});
        return PyTuple_Pack(2, files.get(), directories.get());
    }
    if (self.cached_names + count > kCachedNames) {
        self.listings.clear();
        self.cached_names = 0;
    }
    self.cached_names += count;
    auto kept = self.listings.emplace(
        listed->id, CachedListing{listed->stamp, std::move(files), std::move(directories)});
    return copies_of(kept.first->second);
}

PyObject* remove(PyFs& self, std::string_view path, bool recurse) {
    return none_or_raise(self.fs->rm(path, recurse));
}

// The directory's subdirectories, each followed by its own contents two spaces deeper,
// then its other entries. Appends to `out`; on failure `out` is to be discarded.
fs::IoResult<void> render_tree(const fs::FileSystem& fs, std::string_view path,
                               std::string_view ident, std::string& out) {
    fs::IoResult<fs::Listing> listing = list_from_root(fs, path);
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

// The type of walk's iterators, made once per process like the module's classes.
PyTypeObject* walk_type = nullptr;

PyObject* exists(PyFs& self, Path path) {
    return PyBool_FromLong(os_kind(self, path).has_value());
}

PyObject* is_file(PyFs& self, Path path) {
    return PyBool_FromLong(os_kind(self, path) == fs::NodeKind::File);
}

PyObject* is_dir(PyFs& self, Path path) {
    return PyBool_FromLong(os_kind(self, path) == fs::NodeKind::Directory);
}

// "file" or "directory" as a new reference to one str made once, like the module's
// classes, so no stat makes a string.
PyObject* kind_name(bool directory) {
    static PyObject* names[2] = {};
    PyObject*& name = names[directory ? 1 : 0];
    if (name == nullptr) {
        name = PyUnicode_InternFromString(directory ? "directory" : "file");
    }
    return name == nullptr ? nullptr : Py_NewRef(name);
}

PyObject* stat(PyFs& self, Path path) {
    const std::optional<fs::PosixPath> checked = os_path(self, path);
    if (!checked) {
        return nullptr;
    }
    const fs::IoResult<fs::Stat> found = self.fs->stat(checked->path);
    if (!found) {
        return raise_os_error(found.error(), path.given);
    }
    const bool directory = found->kind == fs::NodeKind::Directory;
    return struct_of(state_of(object_of(self)).type_of(ClassId::FsStat),
                     {PyLong_FromUnsignedLongLong(found->id), kind_name(directory),
                      PyLong_FromUnsignedLongLong(found->size),
                      PyLong_FromUnsignedLongLong(found->entries),
                      PyLong_FromLongLong(found->mtime_ns)});
}

PyObject* usage(PyFs& self) {
    const fs::Usage used = self.fs->usage();
    return struct_of(
        state_of(object_of(self)).type_of(ClassId::FsUsage),
        {PyLong_FromUnsignedLongLong(used.bytes), PyLong_FromUnsignedLongLong(used.inodes)});
}

PyObject* makedirs(PyFs& self, Path path, bool exist_ok) {
    const std::optional<fs::PosixPath> checked = os_dir_path(self, path);
    if (!checked) {
        return nullptr;
    }
    return none_or_os_error(self.fs->makedirs(checked->path, exist_ok), path.given);
}

// Whether the path's last name is "." or "..", which os never moves or replaces.
bool ends_in_dots(std::string_view path) {
    const std::string_view name = fs::split_last_separator(path).second;
    return name == "." || name == "..";
}

// Runs a move or copy of src to dst once both paths pass os's rules; a path ending in a
// separator moves or copies only a directory.
template <class F> PyObject* two_paths(PyFs& self, Path src, Path dst, F&& operation) {
    const std::optional<fs::PosixPath> from = os_path(self, src);
    const std::optional<fs::PosixPath> to = from ? os_path(self, dst) : std::nullopt;
    if (!to) {
        return nullptr;
    }
    if (ends_in_dots(from->path) || ends_in_dots(to->path)) {
        return raise_errno(EBUSY, src.given, dst.given);
    }
    if ((from->directory_only || to->directory_only) &&
        self.fs->kind(from->path) == fs::NodeKind::File) {
        return raise_errno(ENOTDIR, src.given, dst.given);
    }
    return none_or_os_error(operation(from->path, to->path), src.given, dst.given);
}

PyObject* rename(PyFs& self, Path src, Path dst, bool replace) {
    return two_paths(self, src, dst, [&](std::string_view from, std::string_view to) {
        return self.fs->rename(from, to, replace);
    });
}

PyObject* copy(PyFs& self, Path src, Path dst, bool recursive) {
    return two_paths(self, src, dst, [&](std::string_view from, std::string_view to) {
        return self.fs->copy(from, to, recursive);
    });
}

PyObject* read_bytes(PyFs& self, Path path) {
    const std::optional<fs::PosixPath> checked = os_path(self, path);
    if (!checked) {
        return nullptr;
    }
    const fs::IoResult<std::vector<std::uint8_t>> bytes = self.fs->read_file(checked->path);
    if (!bytes) {
        return raise_os_error(bytes.error(), path.given);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                     static_cast<Py_ssize_t>(bytes->size()));
}

PyObject* write_bytes(PyFs& self, Path path, std::span<const std::uint8_t> data) {
    const std::optional<fs::PosixPath> checked = os_file_path(self, path);
    if (!checked) {
        return nullptr;
    }
    if (const fs::IoResult<void> written = self.fs->write_file(checked->path, data); !written) {
        return raise_os_error(written.error(), path.given);
    }
    return PyLong_FromSize_t(data.size());
}

PyObject* read_text(PyFs& self, Path path, std::string_view encoding, std::string_view errors) {
    const std::optional<fs::PosixPath> checked = os_path(self, path);
    if (!checked) {
        return nullptr;
    }
    const fs::IoResult<std::vector<std::uint8_t>> bytes = self.fs->read_file(checked->path);
    if (!bytes) {
        return raise_os_error(bytes.error(), path.given);
    }
    // Both views end at a str's terminating NUL, so they can be read as C strings.
    return PyUnicode_Decode(reinterpret_cast<const char*>(bytes->data()),
                            static_cast<Py_ssize_t>(bytes->size()), encoding.data(), errors.data());
}

PyObject* write_text(PyFs& self, Path path, PyObject* data, std::string_view encoding,
                     std::string_view errors) {
    if (!PyUnicode_Check(data)) {
        return PyErr_Format(PyExc_TypeError, "argument 'data' must be str, not %.200s",
                            Py_TYPE(data)->tp_name);
    }
    const std::optional<fs::PosixPath> checked = os_file_path(self, path);
    if (!checked) {
        return nullptr;
    }
    PyRef encoded(PyUnicode_AsEncodedString(data, encoding.data(), errors.data()));
    if (!encoded) {
        return nullptr;
    }
    if (!PyBytes_Check(encoded.get())) {
        return PyErr_Format(PyExc_TypeError, "encoder returned %.200s, not bytes",
                            Py_TYPE(encoded.get())->tp_name);
    }
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(encoded.get())),
        static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (const fs::IoResult<void> written = self.fs->write_file(checked->path, bytes); !written) {
        return raise_os_error(written.error(), path.given);
    }
    return PyLong_FromSsize_t(PyUnicode_GET_LENGTH(data));
}

PyObject* glob(PyFs& self, Path pattern) {
    return list_of_names(fs::glob(*self.fs, pattern.text));
}

// A walk in progress: the list of subdirectory names handed out with the last step is
// read back before the next, so the caller can prune it as with os.walk.
struct FsWalk {
    fs::TreeWalk walk;
    PyRef directories;
};

PyObject* walk(PyFs& self, Path path) {
    return box_new<FsWalk>(walk_type, fs::TreeWalk(self.fs, std::string(path.text)), PyRef());
}

PyObject* walk_next(FsWalk& self) {
    if (PyRef handed_out = std::move(self.directories)) {
        std::vector<std::string> names;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handed_out.get()); ++i) {
            std::string_view name;
            if (!to_text(PyList_GET_ITEM(handed_out.get(), i), "dirnames item", name)) {
                return nullptr;
            }
            names.emplace_back(name);
        }
        self.walk.descend(names);
    }
    std::optional<fs::WalkStep> step = self.walk.next();
    if (!step) {
        return nullptr;
    }
    PyRef directories(list_of_names(step->directories));
    PyRef files(directories ? list_of_names(step->files) : nullptr);
    PyRef path(files ? to_py_str(step->path) : nullptr);
    if (!path) {
        return nullptr;
    }
    PyObject* triple = PyTuple_Pack(3, path.get(), directories.get(), files.get());
    self.directories = std::move(directories);
    return triple;
}

PyType_Slot kWalkSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, dealloc_slot<FsWalk>()},
    {Py_tp_iter, unary_slot<enter_block<FsWalk>>()},
    {Py_tp_iternext, unary_slot<walk_next>()},
    {0, nullptr},
};

PyType_Spec walk_spec = box_spec<FsWalk>("ovaline.FsWalk", kWalkSlots);

PyStructSequence_Field kStatFields[] = {
    {"id", "The inode's id."},
    {"kind", "\"file\" or \"directory\"."},
    {"size", "A file's size in bytes; 0 for a directory."},
    {"entries", "A directory's number of entries; 0 for a file."},
    {"mtime_ns", "When the contents last changed, in nanoseconds since the epoch."},
    {nullptr, nullptr},
};

PyStructSequence_Field kUsageFields[] = {
    {"bytes", "The bytes of all files."},
    {"inodes", "The inodes, the root included."},
    {nullptr, nullptr},
};

PyStructSequence_Desc kStatDesc = {"ovaline.PyFs.Stat", kStatTypeDoc, kStatFields, 4};
PyStructSequence_Desc kUsageDesc = {"ovaline.PyFs.Usage", kUsageTypeDoc, kUsageFields, 2};

PyMethodDef kMethods[] = {
    method<"mkdir", mkdir, "path">(kMkdirDoc),
    method<"touch", touch, "path">(kTouchDoc),
    method<"listdir", listdir, "path">(kListdirDoc),
    method<"remove", remove, "path", "recurse">(kRemoveDoc, kRemoveSignature),
    method<"tree", tree, "path", "ident">(kTreeDoc),
    method<"open", open, "path", "mode">(kOpenDoc),
    method<"open_io", open_io, "path", "mode=\"r\"", "buffering=-1", "encoding", "errors",
           "newline">(kOpenIoDoc),
    method<"exists", exists, "path">(kExistsDoc),
    method<"is_file", is_file, "path">(kIsFileDoc),
    method<"is_dir", is_dir, "path">(kIsDirDoc),
    method<"stat", stat, "path">(kStatDoc),
    method<"makedirs", makedirs, "path", "exist_ok=False">(kMakedirsDoc),
    method<"rename", rename, "src", "dst", "*replace=False">(kRenameDoc),
    method<"copy", copy, "src", "dst", "*recursive=False">(kCopyDoc),
    method<"walk", walk, "path=\"/\"">(kWalkDoc),
    method<"glob", glob, "pattern">(kGlobDoc),
    method<"read_bytes", read_bytes, "path">(kReadBytesDoc),
    method<"write_bytes", write_bytes, "path", "data">(kWriteBytesDoc),
    method<"read_text", read_text, "path", "encoding=\"utf-8\"", "errors=\"strict\"">(kReadTextDoc),
    method<"write_text", write_text, "path", "data", "encoding=\"utf-8\"", "errors=\"strict\"">(
        kWriteTextDoc),
    method<"usage", usage>(kUsageDoc),
    method<"clone", clone>(kCloneDoc),
    method<"export_to", export_to, "real_dir", "*src=\"/\"", "*owner=None">(kExportToDoc),
    method<"import_from", import_from, "real_dir", "*dst=\"/\"">(kImportFromDoc),
    class_method<"limited", limited, "*max_bytes=None", "*max_inodes=None">(kLimitedDoc),
    method<"mount", mount_fs, "path", "*read_only=False">(kMountDoc),
    {nullptr, nullptr, 0, nullptr},
};

using New = Constructor<"PyFs", make_fs>;

PyType_Slot kSlots[] = {
    New::doc_slot(kClassDoc),
    New::new_slot(),
    {Py_tp_dealloc, dealloc_slot<PyFs>()},
    {Py_tp_str, unary_slot<debug_text>()},
    {Py_tp_repr, unary_slot<repr>()},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

} // namespace

std::optional<fs::PosixPath> os_path(const PyFs& self, const Path& path) {
    if (path.text.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return std::nullopt;
    }
    const std::expected<fs::PosixPath, int> checked = fs::check_posix_path(*self.fs, path.text);
    if (!checked) {
        raise_errno(checked.error(), path.given);
        return std::nullopt;
    }
    return *checked;
}

std::optional<fs::PosixPath> os_dir_path(const PyFs& self, const Path& path) {
    std::string_view text = path.text;
    while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) {
        text.remove_suffix(1);
    }
    return os_path(self, Path{text, path.given});
}

std::optional<fs::PosixPath> os_file_path(const PyFs& self, const Path& path) {
    std::optional<fs::PosixPath> checked = os_dir_path(self, path);
    if (!checked || checked->path.size() == path.text.size()) {
        return checked;
    }
    // Only a directory may be named with a trailing separator, and open does not make one:
    // EISDIR once the directory it would go in is found.
    const std::string_view parent = fs::split_last_separator(checked->path).first;
    const fs::IoResult<fs::NodeKind> kind = self.fs->kind(parent.empty() ? "/" : parent);
    if (!kind) {
        raise_os_error(kind.error(), path.given);
    } else {
        raise_errno(*kind == fs::NodeKind::File ? ENOTDIR : EISDIR, path.given);
    }
    return std::nullopt;
}

PyType_Spec py_fs_spec = box_spec<PyFs>("ovaline.PyFs", kSlots);

PyTypeObject* make_stat_type() {
    return struct_sequence_type(&kStatDesc);
}

PyTypeObject* make_usage_type() {
    return struct_sequence_type(&kUsageDesc);
}

bool prepare_py_fs(PyTypeObject* type) {
    walk_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromModuleAndSpec(PyType_GetModule(type), &walk_spec, nullptr));
    return walk_type != nullptr;
}

} // namespace ovaline::pybinding
