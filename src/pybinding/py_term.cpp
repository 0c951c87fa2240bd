#include "pybinding/py_term.hpp"

#include <mutex>
#include <new>
#include <string_view>

#include "pybinding/args.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/heap_type.hpp"
#include "pybinding/py_fs.hpp"
#include "terminal/simple_terminal.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] = "PyTerm(fs)\n--\n\n"
                             "\n"
                             "A structure representing a simple terminal\n";

constexpr char kExecDoc[] = "exec($self, command)\n--\n\n"
                            "\n"
                            "Execute a command in the terminal.\n";

// One terminal; the mutex serialises its runs whichever thread calls.
struct PyTermObject {
    PyObject_HEAD std::mutex mutex;
    terminal::SimpleTerminal terminal;
};

PyTermObject* as_term(PyObject* self) {
    return reinterpret_cast<PyTermObject*>(self);
}

PyObject* py_term_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param kParams[] = {{"fs"}};
    PyObject* raw[1];
    PyObject* fs = nullptr;
    if (!match_tuple("PyTerm", kParams, args, kwargs, raw) ||
        !to_instance(raw[0], "fs", py_fs_type(), fs)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            return nullptr;
        }
        PyTermObject* term = as_term(self);
        new (&term->mutex) std::mutex();
        new (&term->terminal) terminal::SimpleTerminal(reinterpret_cast<PyFsObject*>(fs)->fs);
        return self;
    });
}

void py_term_dealloc(PyObject* self) {
    PyTermObject* term = as_term(self);
    term->terminal.~SimpleTerminal();
    term->mutex.~mutex();
    free_instance(self);
}

PyObject* py_term_exec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param kParams[] = {{"command"}};
    PyObject* raw[1];
    std::string_view command;
    if (!match_fastcall("exec", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_term_type()) || !to_text(raw[0], "command", command)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        PyTermObject* term = as_term(self);
        terminal::CommandResult result;
        {
            std::lock_guard lock(term->mutex);
            result = term->terminal.run(command);
        }
        if (!result) {
            return raise_message(result.error());
        }
        return to_py_str(*result);
    });
}

PyMethodDef kMethods[] = {
    {"exec", as_cfunction(py_term_exec), METH_FASTCALL | METH_KEYWORDS, kExecDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(py_term_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_term_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "ovaline.PyTerm", static_cast<int>(sizeof(PyTermObject)), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

} // namespace

PyTypeObject* py_term_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_heap_type(kSpec);
    }
    return type;
}

} // namespace ovaline::pybinding
