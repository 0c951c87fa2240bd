#include "pybinding/py_user_pool.hpp"

#include <cstdint>

#include "pybinding/box.hpp"
#include "pybinding/methods.hpp"

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
    "so that a PyTerminalSession made from it is ready at once.\n";

PyObject* make_pool(PyTypeObject* type) {
    return box_new<PyUserPool>(type, std::make_shared<pool::PoolHolder>(), nullptr);
}

PyObject* warm(PyTypeObject* type, std::uint64_t count) {
    auto holder = std::make_shared<pool::PoolHolder>();
    std::unique_ptr<pool::WarmSessions> sessions;
    if (count > 0) {
        sessions = std::make_unique<pool::WarmSessions>(holder, static_cast<std::size_t>(count));
    }
    return box_new<PyUserPool>(type, std::move(holder), std::move(sessions));
}

PyMethodDef kMethods[] = {
    class_method<"warm", warm, "count">(kWarmDoc),
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
