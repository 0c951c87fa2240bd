#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

#include "pybinding/module_state.hpp"
#include "sandbox/job.hpp"

namespace ovaline::pybinding {

// PyTerminalSession.Job: a command running in the background in a session. The core
// job ends with its session; dropping this object does not end it.
struct PySessionJob {
    static constexpr ClassId kId = ClassId::SessionJob;

    explicit PySessionJob(std::shared_ptr<sandbox::Job> started)
        : job(std::move(started)), owner(::getpid()) {}

    std::shared_ptr<sandbox::Job> job;
    // The job's pipes are read by a thread of the process that started it only.
    const pid_t owner;
};

// False, with ValueError set, in a process forked from the one that started the job.
bool job_owned(PySessionJob& self);

extern PyType_Spec py_session_job_spec;

// For the glue's iterators and coroutines (session_glue.cpp). try_next: the next piece
// of stream `which` (0 output, 1 error), None at its end, b"" when nothing is there yet.
// next_piece: the same, waiting for something. try_result: the RunResult once the job has
// ended, else None.
PyObject* job_try_next(PySessionJob& self, std::uint64_t which);
PyObject* job_next_piece(PySessionJob& self, std::uint64_t which);
PyObject* job_try_result(PySessionJob& self);

} // namespace ovaline::pybinding
