// Running an external program through the host's subprocess module.
//
// One runner for every program the library starts (the brains' language
// model programs, git). It takes an argument list (never a shell), a working
// directory, an environment, optional input text and a time limit, and
// reports how the run ended instead of raising for the expected failures.
// `subprocess` is looked up at call time, so a host that replaces
// subprocess.Popen or subprocess.run (or a test that does) is obeyed.
#pragma once

#include "support/core.hpp"

namespace orv::process {

enum class Entry {
    popen,  // subprocess.Popen, then communicate(input, timeout)
    run,    // subprocess.run(..., capture_output=True, timeout=...)
};

struct Request {
    handle argv;                   // a list of str
    handle cwd = handle(Py_None);  // working directory, None: the host's
    handle env = handle();         // a map, or invalid: inherit the host's
    handle input = handle();       // data for standard input, or invalid: not redirected
    double timeout = -1;           // seconds; negative: no limit
    bool text = true;              // decode the output as the host's text mode does
    const char* errors = nullptr;  // with text: the decoding's error handler, or the host's default
    Entry entry = Entry::popen;
    // popen: start the program in a session (and process group) of its own,
    // and end the whole group when the call ends (see run()).
    bool own_group = false;
};

enum class Outcome {
    completed,     // ran to its end, whatever its exit code
    not_found,     // starting failed with FileNotFoundError (program or directory missing)
    launch_error,  // starting failed with another OSError
    timeout,       // killed after the time limit, and reaped
};

struct Result {
    Outcome outcome = Outcome::completed;
    object returncode;  // int, when completed
    object out, err;    // captured standard output and error, when completed
    object error;       // the OSError, for not_found and launch_error
};

// Runs the program and waits for it within the time limit. On timeout the
// process is killed and reaped and the call returns at once, even if a
// grandchild still holds the output pipes open; any other exception while
// waiting (KeyboardInterrupt included) kills and reaps the process too, then
// propagates.
//
// With `own_group`, nothing the program started outlives the call: its
// whole process group is killed when the call ends, however it ends. Once
// the program itself has exited, its pipes get `exit_grace` seconds more to
// close (a background child may hold them open); then the group is ended
// and the run completes with what was read. The group is ended only when
// the process is this process's own child and leads its own group (a
// replaced Popen gets the plain communicate()).
Result run(const Request& request);

inline constexpr double exit_grace = 2.0;

// shutil.which(name) as the host's rule finds programs: a path when the name
// holds a directory separator, else a search along PATH. None when absent.
object which(handle name);

}  // namespace orv::process
