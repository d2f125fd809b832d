// The process runner over the host's subprocess module.
#include "support/process.hpp"

#include "support/host.hpp"

namespace orv::process {

namespace {

Name k_subprocess{"subprocess"}, k_Popen{"Popen"}, k_run{"run"}, k_PIPE{"PIPE"},
    k_TimeoutExpired{"TimeoutExpired"}, k_communicate{"communicate"}, k_kill{"kill"},
    k_wait{"wait"}, k_close{"close"}, k_returncode{"returncode"}, k_stdout{"stdout"},
    k_stderr{"stderr"}, k_stdin{"stdin"}, k_cwd{"cwd"}, k_env{"env"}, k_text{"text"},
    k_input{"input"}, k_timeout{"timeout"}, k_capture_output{"capture_output"},
    k_shutil{"shutil"}, k_which{"which"}, k_errors{"errors"};

object timeout_value(double timeout) {
    return timeout < 0 ? nb::none() : object(nb::float_(timeout));
}

// Sorts a failure to start into the outcomes; anything else propagates.
Result start_failure(nb::python_error& e) {
    Result r;
    if (e.matches(PyExc_FileNotFoundError))
        r.outcome = Outcome::not_found;
    else if (e.matches(PyExc_OSError))
        r.outcome = Outcome::launch_error;
    else
        throw;
    r.error = nb::borrow(e.value());
    return r;
}

// Closes what is left of the pipes without reading them: a grandchild may
// hold their other ends open for as long as it likes.
void close_pipes(handle proc) {
    for (const Name* stream : {&k_stdin, &k_stdout, &k_stderr}) {
        PyObject* f = nullptr;
        if (PyObject_GetOptionalAttr(proc.ptr(), *stream, &f) <= 0 || f == Py_None) {
            Py_XDECREF(f);
            PyErr_Clear();
            continue;
        }
        call_quietly(nb::steal(f), k_close);
    }
}

// Kills and reaps the process, keeping any error in flight.
void kill_and_reap(handle proc) {
    PyObject* saved = PyErr_GetRaisedException();
    call_quietly(proc, k_kill);
    call_quietly(proc, k_wait);
    close_pipes(proc);
    PyErr_SetRaisedException(saved);
}

Result run_popen(const Request& req, handle subprocess) {
    object pipe = getattr(subprocess, k_PIPE);
    object kwargs = own(PyDict_New());
    if (req.input.is_valid()) set_item(kwargs, k_stdin, pipe);
    set_item(kwargs, k_stdout, pipe);
    set_item(kwargs, k_stderr, pipe);
    set_item(kwargs, k_text, nb::bool_(req.text));
    if (req.text && req.errors) set_item(kwargs, k_errors, nb::str(req.errors));
    if (req.env.is_valid()) set_item(kwargs, k_env, req.env);
    set_item(kwargs, k_cwd, req.cwd);
    object args = nb::make_tuple(req.argv);

    object proc;
    try {
        proc = own(PyObject_Call(getattr(subprocess, k_Popen).ptr(), args.ptr(), kwargs.ptr()));
    } catch (nb::python_error& e) {
        return start_failure(e);
    }

    object timeout_expired = getattr(subprocess, k_TimeoutExpired);
    object outputs;
    try {
        object call_kwargs = own(PyDict_New());
        if (req.input.is_valid()) set_item(call_kwargs, k_input, req.input);
        set_item(call_kwargs, k_timeout, timeout_value(req.timeout));
        object no_args = own(PyTuple_New(0));
        outputs = own(PyObject_Call(getattr(proc, k_communicate).ptr(), no_args.ptr(),
                                    call_kwargs.ptr()));
    } catch (nb::python_error& e) {
        if (e.matches(timeout_expired.ptr())) {
            kill_and_reap(proc);
            Result r;
            r.outcome = Outcome::timeout;
            return r;
        }
        e.restore();
        kill_and_reap(proc);
        raise_current();
    }
    Result r;
    r.out = own(PySequence_GetItem(outputs.ptr(), 0));
    r.err = own(PySequence_GetItem(outputs.ptr(), 1));
    r.returncode = getattr(proc, k_returncode);
    return r;
}

Result run_run(const Request& req, handle subprocess) {
    object kwargs = own(PyDict_New());
    if (req.input.is_valid()) set_item(kwargs, k_input, req.input);
    if (req.env.is_valid()) set_item(kwargs, k_env, req.env);
    set_item(kwargs, k_cwd, req.cwd);
    set_item(kwargs, k_capture_output, nb::bool_(true));
    set_item(kwargs, k_text, nb::bool_(req.text));
    if (req.text && req.errors) set_item(kwargs, k_errors, nb::str(req.errors));
    set_item(kwargs, k_timeout, timeout_value(req.timeout));
    object args = nb::make_tuple(req.argv);
    object completed;
    try {
        // On POSIX, run() kills and reaps the child on timeout and closes the
        // pipes without draining them, so it returns within the limit.
        completed = own(PyObject_Call(getattr(subprocess, k_run).ptr(), args.ptr(), kwargs.ptr()));
    } catch (nb::python_error& e) {
        if (e.matches(getattr(subprocess, k_TimeoutExpired).ptr())) {
            Result r;
            r.outcome = Outcome::timeout;
            return r;
        }
        return start_failure(e);
    }
    Result r;
    r.returncode = getattr(completed, k_returncode);
    r.out = getattr(completed, k_stdout);
    r.err = getattr(completed, k_stderr);
    return r;
}

}  // namespace

Result run(const Request& request) {
    object subprocess = host_module(k_subprocess);
    return request.entry == Entry::run ? run_run(request, subprocess)
                                       : run_popen(request, subprocess);
}

object which(handle name) { return call_method(host_module(k_shutil), k_which, name); }

}  // namespace orv::process
