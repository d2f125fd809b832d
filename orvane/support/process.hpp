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
Result run(const Request& request);

// shutil.which(name) as the host's rule finds programs: a path when the name
// holds a directory separator, else a search along PATH. None when absent.
object which(handle name);

}  // namespace orv::process
