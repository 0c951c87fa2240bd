#include "pybinding/py_term.hpp"

#include <string_view>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_fs.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] = "\n"
                             "A structure representing a simple terminal\n";

constexpr char kExecDoc[] = "\n"
                            "Execute a command in the terminal.\n";

PyObject* make_term(PyTypeObject* type, PyFs& fs) {
    return box_new<PyTerm>(type, fs.fs);
}

PyObject* exec(PyTerm& self, std::string_view command) {
    terminal::CommandResult result;
    {
        std::lock_guard lock(self.mutex);
        result = self.terminal.run(command);
    }
    if (!result) {
        return raise_message(result.error());
    }
    return to_py_str(*result);
}

PyMethodDef kMethods[] = {
    method<"exec", exec, "command">(kExecDoc),
    {nullptr, nullptr, 0, nullptr},
};

using New = Constructor<"PyTerm", make_term, "fs">;

PyType_Slot kSlots[] = {
    New::doc_slot(kClassDoc),  New::new_slot(), {Py_tp_dealloc, dealloc_slot<PyTerm>()},
    {Py_tp_methods, kMethods}, {0, nullptr},
};

} // namespace

PyType_Spec py_term_spec = box_spec<PyTerm>("ovaline.PyTerm", kSlots);

} // namespace ovaline::pybinding
