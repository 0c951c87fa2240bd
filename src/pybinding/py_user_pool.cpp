#include "pybinding/py_user_pool.hpp"

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

PyObject* make_pool(PyTypeObject* type) {
    return box_new<PyUserPool>(type, std::make_shared<pool::PoolHolder>());
}

using New = Constructor<"PyUserPool", make_pool>;

PyType_Slot kSlots[] = {
    New::doc_slot(kClassDoc),
    New::new_slot(),
    {Py_tp_dealloc, dealloc_slot<PyUserPool>()},
    {0, nullptr},
};

} // namespace

PyType_Spec py_user_pool_spec = box_spec<PyUserPool>("ovaline.PyUserPool", kSlots);

} // namespace ovaline::pybinding
