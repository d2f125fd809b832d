// The process runner over the host's subprocess module.
#include "support/process.hpp"

#include "support/host.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orv::process {

namespace {

Name k_subprocess{"subprocess"}, k_Popen{"Popen"}, k_run{"run"}, k_PIPE{"PIPE"},
    k_TimeoutExpired{"TimeoutExpired"}, k_communicate{"communicate"}, k_kill{"kill"},
    k_wait{"wait"}, k_returncode{"returncode"}, k_stdout{"stdout"}, k_stderr{"stderr"},
    k_stdin{"stdin"}, k_cwd{"cwd"}, k_env{"env"}, k_input{"input"},
    k_capture_output{"capture_output"}, k_shutil{"shutil"}, k_which{"which"}, k_errors{"errors"},
    k_start_new_session{"start_new_session"}, k_pid{"pid"}, k_fileno{"fileno"},
    k_encoding{"encoding"};

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

// ------------------------------------------------- a group of its own

double monotonic_now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The process group of `proc` when it is ours to end: the process is a child
// of this process, not yet reaped (waitid answers for it), and leads its own
// group. 0 for anything else, such as a replaced Popen's object.
pid_t own_group_of(handle proc) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(proc.ptr(), k_pid, &value) <= 0) {
        PyErr_Clear();
        return 0;
    }
    object held = nb::steal(value);
    if (!PyLong_CheckExact(value)) return 0;
    const long pid = PyLong_AsLong(value);
    if (pid == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    if (pid <= 1 || pid != static_cast<pid_t>(pid)) return 0;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return 0;
    return getpgid(static_cast<pid_t>(pid)) == pid ? static_cast<pid_t>(pid) : 0;
}

void end_group(pid_t group) {
    if (group > 0) ::killpg(group, SIGKILL);  // gone already: nothing to end
}

// The descriptor behind one of the process's pipes: -1 when the attribute is
// None, -2 when it is something that has none (a replaced object).
int descriptor(handle proc, const Name& stream) {
    PyObject* f = nullptr;
    if (PyObject_GetOptionalAttr(proc.ptr(), stream, &f) <= 0) {
        PyErr_Clear();
        return -2;
    }
    object file = nb::steal(f);
    if (f == Py_None) return -1;
    PyObject* fd = PyObject_CallMethodNoArgs(f, k_fileno);
    if (!fd) {
        PyErr_Clear();
        return -2;
    }
    object held = nb::steal(fd);
    const long n = PyLong_CheckExact(fd) ? PyLong_AsLong(fd) : -1;
    if (n < 0 || n > INT32_MAX) {
        PyErr_Clear();
        return -2;
    }
    return static_cast<int>(n);
}

// What communicate() does with the process, over its descriptors: input
// written, both outputs read to their end, the process waited for within
// the limit; and once the process has exited, the outputs get exit_grace
// seconds more before the reading stops.
struct Pump {
    int in = -1, out = -1, err = -1;
    std::string input, stdout_bytes, stderr_bytes;
    size_t written = 0;
    pid_t pid = 0;
    int pidfd = -1;  // readable once the process has exited; -1: ask waitid

    enum class End { done, grace, timeout };

    bool exited() const {
        siginfo_t info{};
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return true;  // reaped by someone else: it has exited
        return info.si_pid != 0;
    }

    // Runs host code only to close standard input and to take signals.
    End run(handle proc, double deadline) {
        bool gone = false;
        double grace_end = 0;
        if (in >= 0 && input.empty()) close_input(proc);
        for (;;) {
            if (!gone && pidfd < 0 && exited()) {
                gone = true;
                grace_end = monotonic_now() + exit_grace;
            }
            if (gone && out < 0 && err < 0) return End::done;
            const double now = monotonic_now();
            if (gone && now >= grace_end) return End::grace;
            if (!gone && deadline >= 0 && now >= deadline) return End::timeout;
            double wait = gone ? grace_end - now : (deadline >= 0 ? deadline - now : -1);
            if (!gone && pidfd < 0 && (wait < 0 || wait > 0.05)) wait = 0.05;

            pollfd fds[4];
            int n = 0;
            auto watch = [&](int fd, short events) {
                if (fd >= 0) fds[n++] = pollfd{fd, events, 0};
            };
            watch(in, POLLOUT);
            watch(out, POLLIN);
            watch(err, POLLIN);
            if (!gone) watch(pidfd, POLLIN);
            const int ms = wait < 0 ? -1 : static_cast<int>(wait * 1000.0) + 1;
            int ready;
            Py_BEGIN_ALLOW_THREADS
            ready = poll(fds, static_cast<nfds_t>(n), ms);
            Py_END_ALLOW_THREADS
            if (ready < 0) {
                if (errno != EINTR) {
                    PyErr_SetFromErrno(PyExc_OSError);
                    raise_current();
                }
                if (PyErr_CheckSignals() < 0) raise_current();
                continue;
            }
            for (int i = 0; i < n; ++i) {
                if (!fds[i].revents) continue;
                const int fd = fds[i].fd;
                if (fd == in) write_input(proc);
                else if (fd == out) read_from(out, stdout_bytes);
                else if (fd == err) read_from(err, stderr_bytes);
                else if (fd == pidfd) {
                    gone = true;
                    grace_end = monotonic_now() + exit_grace;
                }
            }
        }
    }

    void write_input(handle proc) {
        const size_t chunk = std::min<size_t>(PIPE_BUF, input.size() - written);
        const ssize_t n = ::write(in, input.data() + written, chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n > 0) written += static_cast<size_t>(n);
        // All written, or the program closed its end (EPIPE), as communicate()
        // takes it.
        if (n < 0 || written >= input.size()) close_input(proc);
    }

    void close_input(handle proc) {
        in = -1;
        PyObject* f = nullptr;
        if (PyObject_GetOptionalAttr(proc.ptr(), k_stdin, &f) <= 0) {
            PyErr_Clear();
            return;
        }
        call_quietly(nb::steal(f), k_close);
    }

    static void read_from(int& fd, std::string& into) {
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            fd = -1;  // the end; the file object closes the descriptor
            return;
        }
        into.append(buffer, static_cast<size_t>(n));
    }
};

// The captured bytes as communicate() gives them: in text mode decoded with
// the pipe's own encoding and errors, then "\r\n" and "\r" read as "\n".
object captured(const std::string& data, handle file, bool text) {
    object raw = own(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
    if (!text) return raw;
    object decoded = call_method(raw, k_decode, getattr(file, k_encoding), getattr(file, k_errors));
    decoded = call_method(decoded, k_replace, nb::str("\r\n"), nb::str("\n"));
    return call_method(decoded, k_replace, nb::str("\r"), nb::str("\n"));
}

// The run of a process that leads its own group, over its descriptors. An
// invalid result when the process's pipes are not real descriptors (the
// caller then communicates through the host).
bool pump_group(const Request& req, handle proc, pid_t group, Result& r) {
    Pump pump;
    pump.pid = group;
    pump.out = descriptor(proc, k_stdout);
    pump.err = descriptor(proc, k_stderr);
    pump.in = req.input.is_valid() ? descriptor(proc, k_stdin) : -1;
    if (pump.out < 0 || pump.err < 0 || pump.in == -2) return false;
    object files[2] = {getattr(proc, k_stdout), getattr(proc, k_stderr)};
    if (req.input.is_valid()) {
        object data = nb::borrow(req.input);
        if (req.text && PyUnicode_Check(data.ptr())) {
            object stdin_file = getattr(proc, k_stdin);
            data = call_method(data, k_encode, getattr(stdin_file, k_encoding),
                               getattr(stdin_file, k_errors));
        }
        object bytes = own(PyBytes_FromObject(data.ptr()));
        pump.input.assign(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    }
#ifdef SYS_pidfd_open
    pump.pidfd = static_cast<int>(syscall(SYS_pidfd_open, group, 0));
#endif
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } pidfd{pump.pidfd};

    const double deadline = req.timeout < 0 ? -1 : monotonic_now() + req.timeout;
    const Pump::End end = pump.run(proc, deadline);
    // The program is a zombie or still running, so its pid still names the
    // group: end it before reaping.
    end_group(group);
    if (end == Pump::End::timeout) {
        kill_and_reap(proc);
        r.outcome = Outcome::timeout;
        return true;
    }
    call_method(proc, k_wait);
    close_pipes(proc);
    r.out = captured(pump.stdout_bytes, files[0], req.text);
    r.err = captured(pump.stderr_bytes, files[1], req.text);
    r.returncode = getattr(proc, k_returncode);
    return true;
}

// ------------------------------------------------------------- Popen

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
    if (req.own_group) set_item(kwargs, k_start_new_session, nb::bool_(true));
    object args = nb::make_tuple(req.argv);

    object proc;
    try {
        proc = own(PyObject_Call(getattr(subprocess, k_Popen).ptr(), args.ptr(), kwargs.ptr()));
    } catch (nb::python_error& e) {
        return start_failure(e);
    }

    const pid_t group = req.own_group ? own_group_of(proc) : 0;
    if (group) {
        Result r;
        try {
            if (pump_group(req, proc, group, r)) return r;
        } catch (nb::python_error& e) {
            e.restore();
            end_group(group);
            kill_and_reap(proc);
            raise_current();
        }
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
            end_group(group);
            kill_and_reap(proc);
            Result r;
            r.outcome = Outcome::timeout;
            return r;
        }
        e.restore();
        end_group(group);
        kill_and_reap(proc);
        raise_current();
    }
    end_group(group);
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
