#include "pybinding/py_mount.hpp"

#include <unistd.h>

#include <string>
#include <utility>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/gil.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_ref.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] =
    "A PyFs served at a host directory, where real programs read and write it as it\n"
    "is, and Python sees what they do at once. Unmounted by unmount(), on leaving a\n"
    "with block, when dropped and at interpreter exit.";
constexpr char kUnmountDoc[] =
    "\nDetach the mount and stop serving it. A program still inside it gets ENOTCONN.\n"
    "Does nothing once unmounted.\n";
constexpr char kEnterDoc[] = "\nThe mount itself.\n";
constexpr char kExitDoc[] = "\nUnmount; the exception that ended the block goes on.\n";

PyObject* unmount(PyMount& self) {
    without_gil([&] { self.mount->unmount(); });
    Py_RETURN_NONE;
}

PyObject* path(PyMount& self) {
    return to_py_str(self.mount->path());
}

PyObject* read_only(PyMount& self) {
    return PyBool_FromLong(self.mount->read_only());
}

PyObject* mounted(PyMount& self) {
    return PyBool_FromLong(self.mount->mounted());
}

PyObject* repr(PyMount& self) {
    PyRef where(path(self));
    if (!where) {
        return nullptr;
    }
    return PyUnicode_FromFormat("ovaline.PyFs.Mount(path=%R, read_only=%s, mounted=%s)",
                                where.get(), self.mount->read_only() ? "True" : "False",
                                self.mount->mounted() ? "True" : "False");
}

PyMethodDef kMethods[] = {
    method<"unmount", unmount>(kUnmountDoc),
    enter_method<PyMount>(kEnterDoc),
    exit_method<PyMount, unmount>(kExitDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    getter<"path", path>("The host directory the tree is mounted at."),
    getter<"read_only", read_only>("Whether programs may only read."),
    getter<"mounted", mounted>("Whether the tree is still served there."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, dealloc_slot<PyMount>()},
    {Py_tp_repr, unary_slot<repr>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

} // namespace

PyType_Spec py_mount_spec = box_spec<PyMount>("ovaline.PyFs.Mount", kSlots);

PyObject* mount_fs(PyFs& self, Path path, bool read_only) {
    if (path.text.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return nullptr;
    }
    const bridge::LiveMountOptions options{
        .read_only = read_only, .owner_uid = ::getuid(), .owner_gid = ::getgid()};
    std::expected<std::unique_ptr<bridge::LiveMount>, bridge::LiveMountError> made;
    std::string where(path.text);
    without_gil([&] { made = bridge::LiveMount::mount(self.fs, std::move(where), options); });
    if (!made) {
        PyRef what(to_py_str(made.error().what));
        return what ? raise_errno(made.error().number, what.get()) : nullptr;
    }
    // Should the object not be made, the mount goes with `made`.
    return box_new<PyMount>(state_of(object_of(self)).type_of(ClassId::FsMount), std::move(*made));
}

void unmount_all_at_exit() {
    bridge::LiveMount::unmount_all();
}

} // namespace ovaline::pybinding
