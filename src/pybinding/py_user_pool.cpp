#include "pybinding/py_user_pool.hpp"

#include <new>
#include <utility>

#include "pybinding/args.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/heap_type.hpp"

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

PyObject* py_user_pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!match_tuple("PyUserPool", {}, args, kwargs, {})) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        auto holder = std::make_shared<pool::PoolHolder>();
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            return nullptr;
        }
        new (&reinterpret_cast<PyUserPoolObject*>(self)->pool)
            std::shared_ptr<pool::PoolHolder>(std::move(holder));
        return self;
    });
}

void py_user_pool_dealloc(PyObject* self) {
    reinterpret_cast<PyUserPoolObject*>(self)->pool.~shared_ptr();
    free_instance(self);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(py_user_pool_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_user_pool_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "ovaline.PyUserPool", static_cast<int>(sizeof(PyUserPoolObject)), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

} // namespace

PyTypeObject* py_user_pool_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_heap_type(kSpec);
    }
    return type;
}

} // namespace ovaline::pybinding
