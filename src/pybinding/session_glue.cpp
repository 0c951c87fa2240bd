#include "pybinding/session_glue.hpp"

#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

#include "pybinding/args.hpp"
#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/py_ref.hpp"
#include "pybinding/py_session_job.hpp"
#include "pybinding/py_terminal_session.hpp"
#include "pybinding/py_user_pool.hpp"

namespace ovaline::pybinding {
namespace {

// Everything waits on the running loop's readers: one notifier descriptor per waiter
// (a job's subscribe(), a duplicate of the session's turn notifier) or the persistent
// shell's own pipes, each removed again in `finally`. No thread is started, except by
// the two that open and close a session, whose host work blocks.
constexpr char kGlue[] = R"(
import os


def _asyncio():
    import asyncio
    return asyncio


async def _readable(loop, fds, deadline=None):
    ready = loop.create_future()

    def wake():
        if not ready.done():
            ready.set_result(None)

    fds = [fd for fd in fds if fd >= 0]
    for fd in fds:
        loop.add_reader(fd, wake)
    timer = None if deadline is None else loop.call_at(deadline, wake)
    try:
        await ready
    finally:
        for fd in fds:
            loop.remove_reader(fd)
        if timer is not None:
            timer.cancel()


def _quiet(fd):
    try:
        os.read(fd, 8)
    except BlockingIOError:
        pass


def chunks(job, which):
    while (piece := _next(job, which)) is not None:
        yield piece


async def achunks(job, which):
    loop = _asyncio().get_running_loop()
    fd = _subscribe(job)
    try:
        while (piece := _try_next(job, which)) is not None:
            if piece:
                yield piece
                continue
            await _readable(loop, [fd])
            _quiet(fd)
    finally:
        _unsubscribe(job, fd)


async def result(job, timeout):
    loop = _asyncio().get_running_loop()
    deadline = None if timeout is None else loop.time() + timeout
    fd = _subscribe(job)
    try:
        while (done := _try_result(job)) is None:
            if deadline is not None and loop.time() >= deadline:
                _time_out(job)
                deadline = None
                continue
            await _readable(loop, [fd], deadline)
            _quiet(fd)
        return done
    finally:
        _unsubscribe(job, fd)


async def arun(session, command, timeout, input, cwd, max_output):
    job = session.start(command, cwd=cwd, input=b"" if input is None else input,
                        max_output=max_output)
    try:
        return await job.result(timeout)
    except BaseException:
        job.kill(9)
        raise


async def aexecute(session, command, timeout, max_output):
    asyncio = _asyncio()
    loop = asyncio.get_running_loop()
    if not _exec_take(session):
        turn = os.dup(_exec_turn_fd(session))
        try:
            while not _exec_take(session):
                await _readable(loop, [turn])
                _quiet(turn)
        finally:
            os.close(turn)
    done = None
    try:
        _exec_begin(session, command, max_output)
        deadline = None if timeout is None else loop.time() + timeout
        cancelled = None
        while (done := _exec_pump(session)) is None:
            if deadline is not None and loop.time() >= deadline:
                _exec_time_out(session)
                deadline = loop.time() + _GRACE
                continue
            try:
                await _readable(loop, _exec_fds(session), deadline)
            except asyncio.CancelledError as error:
                # What the command started ends; the shell's answer is awaited so that
                # it stays in step for the next command. A second cancel ends it.
                if cancelled is not None:
                    raise
                cancelled = error
                _exec_time_out(session)
                deadline = loop.time() + _GRACE
        if cancelled is not None:
            raise cancelled
        return done
    finally:
        _exec_give(session, done is not None)


async def asandbox(cls, pool, options):
    import functools
    loop = _asyncio().get_running_loop()
    return await loop.run_in_executor(None, functools.partial(cls.sandbox, pool, **options))


async def aclose(session):
    await _asyncio().get_running_loop().run_in_executor(None, session.close)
)";

template <class T> T* instance(PyObject* module, PyObject* obj) {
    PyObject* found = nullptr;
    auto& state = *static_cast<ModuleState*>(PyModule_GetState(module));
    if (!to_instance(obj, "argument", state.type_of<T>(), found)) {
        return nullptr;
    }
    return &value_of<T>(found);
}

bool arity(Py_ssize_t nargs, Py_ssize_t wanted) {
    if (nargs != wanted) {
        PyErr_Format(PyExc_TypeError, "expected %zd arguments", wanted);
        return false;
    }
    return true;
}

// A helper of the glue whose arguments are `T` and then `Extra` more objects.
template <class T, Py_ssize_t Extra, PyObject* (*F)(PyObject*, T&, PyObject* const*)>
PyObject* call_helper(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity(nargs, Extra + 1)) {
        return nullptr;
    }
    T* self = instance<T>(module, args[0]);
    if (self == nullptr) {
        return nullptr;
    }
    auto& state = *static_cast<ModuleState*>(PyModule_GetState(module));
    return guarded(state, [&] { return F(module, *self, args + 1); });
}

template <class T, Py_ssize_t Extra, PyObject* (*F)(PyObject*, T&, PyObject* const*)>
PyMethodDef helper(const char* name) {
    using Fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
    Fastcall call = call_helper<T, Extra, F>;
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)), METH_FASTCALL,
            nullptr};
}

PyObject* subscribe(PyObject*, PySessionJob& self, PyObject* const*) {
    if (!job_owned(self)) {
        return nullptr;
    }
    auto fd = self.job->subscribe();
    return fd ? PyLong_FromLong(*fd) : raise_errno(fd.error());
}

PyObject* unsubscribe(PyObject*, PySessionJob& self, PyObject* const* args) {
    const long fd = PyLong_AsLong(args[0]);
    if (fd == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    self.job->unsubscribe(static_cast<int>(fd));
    Py_RETURN_NONE;
}

bool stream_number(PyObject* obj, std::uint64_t& which) {
    return to_u64(obj, "which", which);
}

PyObject* try_next(PyObject*, PySessionJob& self, PyObject* const* args) {
    std::uint64_t which = 0;
    return stream_number(args[0], which) ? job_try_next(self, which) : nullptr;
}

PyObject* next_piece(PyObject*, PySessionJob& self, PyObject* const* args) {
    std::uint64_t which = 0;
    return stream_number(args[0], which) ? job_next_piece(self, which) : nullptr;
}

PyObject* try_result(PyObject*, PySessionJob& self, PyObject* const*) {
    return job_try_result(self);
}

PyObject* time_out(PyObject*, PySessionJob& self, PyObject* const*) {
    self.job->time_out();
    Py_RETURN_NONE;
}

PyObject* take(PyObject*, PyTerminalSession& self, PyObject* const*) {
    return exec_take(self);
}

PyObject* begin(PyObject*, PyTerminalSession& self, PyObject* const* args) {
    std::string_view command;
    std::optional<std::uint64_t> max_output;
    if (!to_text(args[0], "command", command) ||
        !to_optional_u64(args[1], "max_output", max_output)) {
        return nullptr;
    }
    return exec_begin(self, command, max_output);
}

PyObject* pump(PyObject*, PyTerminalSession& self, PyObject* const*) {
    return exec_pump(self);
}

PyObject* fds(PyObject*, PyTerminalSession& self, PyObject* const*) {
    return exec_fds(self);
}

PyObject* exec_timeout(PyObject*, PyTerminalSession& self, PyObject* const*) {
    return exec_time_out(self);
}

PyObject* give(PyObject*, PyTerminalSession& self, PyObject* const* args) {
    return exec_give(self, PyObject_IsTrue(args[0]) == 1);
}

PyObject* turn_fd(PyObject*, PyTerminalSession& self, PyObject* const*) {
    return PyLong_FromLong(self.session->turn_notifier());
}

PyMethodDef kHelpers[] = {
    helper<PySessionJob, 0, subscribe>("_subscribe"),
    helper<PySessionJob, 1, unsubscribe>("_unsubscribe"),
    helper<PySessionJob, 1, try_next>("_try_next"),
    helper<PySessionJob, 1, next_piece>("_next"),
    helper<PySessionJob, 0, try_result>("_try_result"),
    helper<PySessionJob, 0, time_out>("_time_out"),
    helper<PyTerminalSession, 0, take>("_exec_take"),
    helper<PyTerminalSession, 2, begin>("_exec_begin"),
    helper<PyTerminalSession, 0, pump>("_exec_pump"),
    helper<PyTerminalSession, 0, fds>("_exec_fds"),
    helper<PyTerminalSession, 0, exec_timeout>("_exec_time_out"),
    helper<PyTerminalSession, 1, give>("_exec_give"),
    helper<PyTerminalSession, 0, turn_fd>("_exec_turn_fd"),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyObject* make_session_glue(PyObject* module) {
    PyRef glue(PyDict_New());
    PyRef name(PyUnicode_FromString("ovaline"));
    // How long an interrupted shell has to answer, as execute() gives it.
    PyRef grace(PyFloat_FromDouble(
        std::chrono::duration<double>(sandbox::PersistentShell::kGrace).count()));
    if (!glue || !name || !grace ||
        PyDict_SetItemString(glue.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(glue.get(), "__name__", name.get()) < 0 ||
        PyDict_SetItemString(glue.get(), "_GRACE", grace.get()) < 0) {
        return nullptr;
    }
    for (PyMethodDef* def = kHelpers; def->ml_name != nullptr; ++def) {
        PyRef function(PyCFunction_NewEx(def, module, nullptr));
        if (!function || PyDict_SetItemString(glue.get(), def->ml_name, function.get()) < 0) {
            return nullptr;
        }
    }
    PyRef code(Py_CompileString(kGlue, "<ovaline sessions>", Py_file_input));
    if (!code) {
        return nullptr;
    }
    PyRef ran(PyEval_EvalCode(code.get(), glue.get(), glue.get()));
    return ran ? glue.release() : nullptr;
}

PyObject* call_glue(const ModuleState& state, const char* name,
                    std::initializer_list<PyObject*> args) {
    PyObject* function = PyDict_GetItemString(state.glue, name);
    if (function == nullptr) {
        PyErr_Format(PyExc_SystemError, "ovaline: no glue function %s", name);
        return nullptr;
    }
    std::vector<PyObject*> given(args);
    return PyObject_Vectorcall(function, given.data(), given.size(), nullptr);
}

} // namespace ovaline::pybinding
