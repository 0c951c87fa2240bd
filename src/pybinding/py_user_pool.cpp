#include "pybinding/py_user_pool.hpp"

#include "pybinding/box.hpp"
#include "pybinding/methods.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] =
    "PyUserPool()\n--\n\n"
    "\n"
    "A class that represents a pool of UNIX users.\n"
    "\n"
    "This class represents a pool of UNIX users. The pool can be used to\n"
    "create and release user accounts. The pool is thread-safe and can be\n"
    "shared between multiple threads.\n";

PyObject* make_pool(PyTypeObject* type) {
    return box_new<PyUserPool>(type, std::make_shared<pool::PoolHolder>());
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, constructor<"PyUserPool", make_pool>()},
    {Py_tp_dealloc, dealloc_slot<PyUserPool>()},
    {0, nullptr},
};

} // namespace

PyType_Spec py_user_pool_spec = box_spec<PyUserPool>("ovaline.PyUserPool", kSlots);

} // namespace ovaline::pybinding
