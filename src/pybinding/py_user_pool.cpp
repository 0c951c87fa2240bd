#include "pybinding/py_user_pool.hpp"

#include <cstdint>

#include "pybinding/box.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_terminal_session.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] =
    "\n"
    "A class that represents a pool of UNIX users.\n"
    "\n"
    "This class represents a pool of UNIX users. The pool can be used to\n"
    "create and release user accounts. The pool is thread-safe and can be\n"
    "shared between multiple threads.\n";

constexpr char kWarmDoc[] =
    "\n"
    "A new pool that keeps `count` sessions started ahead, on a thread of its own,\n"
    "so that a PyTerminalSession made from it is ready at once. With sandbox=True it\n"
    "keeps sandboxes of the shape the other options give, as\n"
    "PyTerminalSession.sandbox takes them, and a sandbox() asking for that shape\n"
    "takes one; those options are refused without sandbox=True.\n";

PyObject* make_pool(PyTypeObject* type) {
    return box_new<PyUserPool>(type, std::make_shared<pool::PoolHolder>(), nullptr);
}

PyObject* warm(PyTypeObject* type, std::uint64_t count, bool sandbox, Count memory, Count processes,
               std::optional<double> cpu, Count disk, std::vector<std::string> host_paths,
               bool network, Count cpu_seconds, Count address_space, Count file_size,
               Count open_files) {
    pool::SessionOptions shape =
        sandbox_options(memory, processes, cpu, disk, std::move(host_paths), network, cpu_seconds,
                        address_space, file_size, open_files);
    if (!sandbox) {
        if (!(shape == sandbox_options(kDefaultMemory, kDefaultProcesses, std::nullopt,
                                       kDefaultDisk, {}, false, std::nullopt, std::nullopt,
                                       std::nullopt, std::nullopt))) {
            PyErr_SetString(PyExc_TypeError, "warm(): sandbox options need sandbox=True");
            return nullptr;
        }
        shape = {};
    }
    auto holder = std::make_shared<pool::PoolHolder>();
    std::unique_ptr<pool::WarmSessions> sessions;
    if (count > 0) {
        sessions = std::make_unique<pool::WarmSessions>(holder, static_cast<std::size_t>(count),
                                                        std::move(shape));
    }
    return box_new<PyUserPool>(type, std::move(holder), std::move(sessions));
}

PyMethodDef kMethods[] = {
    class_method<"warm", warm, "count", "*sandbox=False", "*memory=1073741824", "*processes=512",
                 "*cpu=None", "*disk=1073741824", "*host_paths=None", "*network=False",
                 "*cpu_seconds=None", "*address_space=None", "*file_size=None", "*open_files=None">(
        kWarmDoc),
    {nullptr, nullptr, 0, nullptr},
};

using New = Constructor<"PyUserPool", make_pool>;

PyType_Slot kSlots[] = {
    New::doc_slot(kClassDoc),  New::new_slot(), {Py_tp_dealloc, dealloc_slot<PyUserPool>()},
    {Py_tp_methods, kMethods}, {0, nullptr},
};

} // namespace

PyType_Spec py_user_pool_spec = box_spec<PyUserPool>("ovaline.PyUserPool", kSlots);

} // namespace ovaline::pybinding
