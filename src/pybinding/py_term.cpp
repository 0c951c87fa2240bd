#include "pybinding/py_term.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/gil.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_fs.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] = "\n"
                             "A structure representing a simple terminal\n";

constexpr char kExecDoc[] = "\n"
                            "Execute a command in the terminal.\n";

constexpr char kRunDoc[] =
    "Run a line and return its ShellResult (status, stdout, stderr); a failing command\n"
    "gives a non-zero status instead of raising.";

constexpr char kRegisterDoc[] =
    "Add a command to a terminal in the shell mode: function(args, stdin) returns the\n"
    "output text, or raises ValueError to fail with status 1 (its message goes to stderr).";

constexpr char kShellResultDoc[] = "The exit status and the output streams of one line.";

PyStructSequence_Field kShellResultFields[] = {
    {"status", "The exit status of the line's last command."},
    {"stdout", "What the line wrote to its output."},
    {"stderr", "What the line wrote to its error stream."},
    {nullptr, nullptr},
};

constexpr char kShellDoc[] =
    "\n"
    "A terminal in the shell mode over the filesystem: the shell grammar (pipelines,\n"
    "redirections, conditionals, loops, functions, expansions) and the text tools,\n"
    "each line's output capped at max_output bytes per stream. A line that runs\n"
    "longer than timeout seconds, or more than max_steps commands, stops with\n"
    "status 124.\n";

PyStructSequence_Desc kShellResultDesc = {"ovaline.PyTerm.ShellResult", kShellResultDoc,
                                          kShellResultFields, 3};

PyObject* make_term(PyTypeObject* type, PyFs& fs) {
    return box_new<PyTerm>(type, fs.fs);
}

PyObject* shell(PyTypeObject* type, PyFs& fs, std::uint64_t max_output,
                std::optional<double> timeout, std::optional<std::uint64_t> max_steps) {
    if (max_output == 0) {
        PyErr_SetString(PyExc_ValueError, "max_output must be at least 1");
        return nullptr;
    }
    shell::ShellLimits limits;
    limits.max_output = static_cast<std::size_t>(max_output);
    if (timeout) {
        limits.timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(std::min(*timeout, 1e9)));
    }
    limits.max_steps = max_steps;
    return box_new<PyTerm>(type, fs.fs, limits);
}

// The current exception, taken out of the error indicator.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// A Python function as a shell command. Copies share one reference, which is only ever
// released with the interpreter lock held: by the terminal's deallocation, or by
// register replacing the entry.
class PythonCommand {
  public:
    explicit PythonCommand(PyObject* function)
        : function_(Py_NewRef(function), [](PyObject* f) { Py_DECREF(f); }) {}

    // The line runs without the interpreter lock; the call takes it. A Python error
    // other than ValueError stays set and stops the line; the caller raises it.
    int operator()(shell::ShellContext& context, std::span<const std::string> args) const {
        const PyGILState_STATE gil = PyGILState_Ensure();
        const int status = call(context, args);
        PyGILState_Release(gil);
        return status;
    }

  private:
    int call(shell::ShellContext& context, std::span<const std::string> args) const {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(args.size()));
        if (list == nullptr) {
            return stop(context);
        }
        for (std::size_t i = 0; i < args.size(); ++i) {
            PyObject* arg = to_py_str(args[i]);
            if (arg == nullptr) {
                Py_DECREF(list);
                return stop(context);
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), arg);
        }
        PyObject* input = to_py_str(context.input);
        PyObject* result =
            input == nullptr ? nullptr
                             : PyObject_CallFunctionObjArgs(function_.get(), list, input, nullptr);
        Py_DECREF(list);
        Py_XDECREF(input);
        if (result == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
                return stop(context);
            }
            PyObject* error = take_exception();
            PyObject* text = PyObject_Str(error);
            Py_DECREF(error);
            Py_ssize_t size = 0;
            const char* utf8 = text == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(text, &size);
            if (utf8 == nullptr) {
                Py_XDECREF(text);
                return stop(context);
            }
            // Under 2>&1 the message goes where the output goes, after it.
            std::string& stream = context.errors_to_output ? context.out : context.err;
            stream.append(utf8, static_cast<std::size_t>(size));
            stream.push_back('\n');
            Py_DECREF(text);
            return 1;
        }
        if (!PyUnicode_Check(result)) {
            PyErr_Format(PyExc_TypeError, "a registered command must return str, not %.200s",
                         Py_TYPE(result)->tp_name);
            Py_DECREF(result);
            return stop(context);
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(result, &size);
        if (utf8 == nullptr) {
            Py_DECREF(result);
            return stop(context);
        }
        context.write({utf8, static_cast<std::size_t>(size)});
        Py_DECREF(result);
        return 0;
    }

    static int stop(shell::ShellContext& context) {
        context.stop_line = true;
        return 1;
    }

    std::shared_ptr<PyObject> function_;
};

// Holds the terminal for one call. A registered command that calls back into its own
// terminal is refused; a call from another thread waits with the interpreter lock
// released, so the thread it waits for can go on.
class TermLock {
  public:
    explicit TermLock(PyTerm& term) : term_(term) {}
    TermLock(const TermLock&) = delete;
    TermLock& operator=(const TermLock&) = delete;
    ~TermLock() {
        if (held_) {
            term_.running.store(std::thread::id());
            term_.mutex.unlock();
        }
    }

    // False with ValueError set when this thread is already running a line here.
    bool acquire() {
        if (term_.running.load() == std::this_thread::get_id()) {
            PyErr_SetString(PyExc_ValueError,
                            "PyTerm: a registered command cannot use the terminal that is "
                            "running it");
            return false;
        }
        if (!term_.mutex.try_lock()) {
            without_gil([&] { term_.mutex.lock(); });
        }
        held_ = true;
        term_.running.store(std::this_thread::get_id());
        return true;
    }

  private:
    PyTerm& term_;
    bool held_ = false;
};

// The text a failed shell line raises: its error output, or its status when it wrote
// none.
std::string failure_message(const shell::ShellResult& result) {
    std::string message = result.err;
    while (message.ends_with('\n')) {
        message.pop_back();
    }
    return message.empty() ? "exit status " + std::to_string(result.status) : message;
}

// Runs a shell line without the interpreter lock, so other threads go on and a loop
// that never ends still stops: every few milliseconds the line takes the lock back to
// let Python handle a signal (Ctrl-C), and stops if a handler raised. The exception is
// left set for the caller.
shell::ShellResult run_shell(shell::ShellTerminal& terminal, std::string_view line) {
    shell::ShellResult result;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    const std::function<bool()> poll = [&state] {
        PyEval_RestoreThread(state);
        const bool go_on = PyErr_CheckSignals() == 0;
        state = PyEval_SaveThread();
        return go_on;
    };
    try {
        result = terminal.run(line, poll);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return result;
}

// Runs the line in whichever mode the terminal has; the default mode's failure is
// status 1 with its message on stderr.
shell::ShellResult run_line(PyTerm& self, std::string_view line) {
    if (auto* shell_mode = std::get_if<shell::ShellTerminal>(&self.terminal)) {
        return run_shell(*shell_mode, line);
    }
    auto result = std::get<terminal::SimpleTerminal>(self.terminal).run(line);
    if (!result) {
        return {1, "", result.error() + "\n"};
    }
    return {0, std::move(*result), ""};
}

PyObject* exec(PyTerm& self, std::string_view command) {
    TermLock lock(self);
    if (!lock.acquire()) {
        return nullptr;
    }
    if (auto* simple = std::get_if<terminal::SimpleTerminal>(&self.terminal)) {
        auto result = simple->run(command);
        if (!result) {
            return raise_message(result.error());
        }
        return to_py_str(*result);
    }
    const auto result = run_shell(std::get<shell::ShellTerminal>(self.terminal), command);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    if (result.status != 0) {
        return raise_message(failure_message(result));
    }
    return to_py_str(result.out);
}

PyObject* run(PyTerm& self, std::string_view line) {
    TermLock lock(self);
    if (!lock.acquire()) {
        return nullptr;
    }
    const auto result = run_line(self, line);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return struct_of(
        state_of(object_of(self)).type_of(ClassId::ShellResult),
        {PyLong_FromLong(result.status), to_py_str(result.out), to_py_str(result.err)});
}

PyObject* register_command(PyTerm& self, std::string_view name, PyObject* function) {
    if (!PyCallable_Check(function)) {
        PyErr_SetString(PyExc_TypeError, "argument 'function' must be callable");
        return nullptr;
    }
    TermLock lock(self);
    if (!lock.acquire()) {
        return nullptr;
    }
    auto* shell_mode = std::get_if<shell::ShellTerminal>(&self.terminal);
    if (shell_mode == nullptr) {
        return raise_message("register: only a terminal made with PyTerm.shell runs registered "
                             "commands");
    }
    if (!shell::ShellTerminal::valid_command_name(name)) {
        return raise_message("register: '" + std::string(name) +
                             "' is not a command name (it must be non-empty, without blanks, "
                             "quotes, '=' or shell operators)");
    }
    shell_mode->register_command(std::string(name), PythonCommand(function));
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    method<"exec", exec, "command">(kExecDoc),
    method<"run", run, "line">(kRunDoc),
    method<"register", register_command, "name", "function">(kRegisterDoc),
    class_method<"shell", shell, "fs", "*max_output=16777216", "*timeout", "*max_steps">(kShellDoc),
    {nullptr, nullptr, 0, nullptr},
};

using New = Constructor<"PyTerm", make_term, "fs">;

PyType_Slot kSlots[] = {
    New::doc_slot(kClassDoc),  New::new_slot(), {Py_tp_dealloc, dealloc_slot<PyTerm>()},
    {Py_tp_methods, kMethods}, {0, nullptr},
};

} // namespace

PyType_Spec py_term_spec = box_spec<PyTerm>("ovaline.PyTerm", kSlots);

PyTypeObject* make_shell_result_type() {
    return struct_sequence_type(&kShellResultDesc);
}

} // namespace ovaline::pybinding
