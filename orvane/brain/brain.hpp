// orvane.brain: the system's one contact with a language model.
//
// A brain runs an external command-line program with a prompt and returns
// its answer. `BrainInterface` is the abstract base class with the concrete
// `ask` (time the run, parse the answer into findings, gaps and meta);
// `ClaudeCodeBrain` drives the `claude` program and reads its stream-json
// events; `GenericCLIBrain` drives any prompt-in, text-out program;
// `load_brain` builds one from the "brain" section of a configuration.
//
// One file per concern, sharing this header:
//   module.cpp   the module, the classes, running the program, the factory
//   stream.cpp   reading the claude program's stream-json output
//
// Programs start through the host's subprocess (support/process.hpp), never
// through a shell, with a copy of os.environ that lacks CLAUDECODE. Methods
// reach each other through attribute lookup, and the clock, rounding, JSON
// decoding and program lookup are the host's, looked up when called.
#pragma once

#include "support/host.hpp"

namespace orv::brain {

// What a stream-json output says: the answer text, the cost and whether a
// result event was seen.
struct Reading {
    object answer;
    object cost;
    bool success = false;
};

// Reads the program's standard output `out` (bytes, when the host's text
// mode would have decoded it as UTF-8; else the text mode's str) with
// exactly the effects and exceptions of the plain Python reading. `err` is
// checked as the text mode would have decoded it too.
Reading read_stream(handle out, handle err);

}  // namespace orv::brain
