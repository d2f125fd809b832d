// orvane.brain: the module, its classes and the factory (see brain.hpp).
#include "brain/brain.hpp"

#include "support/json.hpp"
#include "support/process.hpp"
#include "support/text_mode.hpp"
#include "support/unpack.hpp"

namespace {

using namespace orv;
using namespace orv::brain;

Module mod;  // orvane.brain, read at call time

Name k_BrainResult{"BrainResult"}, k_ClaudeCodeBrain{"ClaudeCodeBrain"},
    k_GenericCLIBrain{"GenericCLIBrain"}, k_ask_raw{"ask_raw"}, k_is_available{"is_available"},
    k_build_command{"_build_command"}, k_binary{"binary"}, k_model{"model"},
    k_budget_usd{"budget_usd"}, k_effort{"effort"}, k_args_before{"args_before"},
    k_args_after{"args_after"}, k_prompt_via_stdin{"prompt_via_stdin"},
    k_has_execute{"_has_execute"}, k_can_execute{"can_execute"}, k_claude_code{"claude-code"},
    k_generic_cli{"generic-cli"}, k_extend{"extend"}, k_pop{"pop"}, k_CLAUDECODE{"CLAUDECODE"},
    k_unavailable{"unavailable"}, k_launch_error{"launch_error"};
Host time_monotonic{"time", "monotonic"}, builtins_round{"builtins", "round"},
    abc_ABC{"abc", "ABC"};

// ----------------------------------------------------------------- helpers

// The four values of a run that did not get to read an answer.
object failed(const Name& reason) {
    return nb::make_tuple(k_empty.h(), nb::float_(0.0), false, reason.h());
}

// A copy of the host's environment for the child, without CLAUDECODE, so a
// brain started from inside a Claude Code session does not think it is
// nested in one.
object child_environment() {
    object env = call_method(getattr(host_module(k_os), k_environ), k_copy);
    call_method(env, k_pop, k_CLAUDECODE.h(), nb::none());
    return env;
}

// The time limit in seconds for the runner. A limit below zero has run out
// already, as it has for the host's communicate().
double seconds(handle timeout) {
    const double limit = PyFloat_AsDouble(timeout.ptr());
    if (limit == -1.0 && PyErr_Occurred()) raise_current();
    return limit < 0 ? 0.0 : limit;
}

// ---------------------------------------------------------- BrainInterface

ORV_FUNCTION(abstract_ask_raw,
             "ask_raw(self, prompt: str, working_dir: str | None = None, timeout: int = 300) "
             "-> tuple[str, float, bool, str]",
             "Run the prompt; return (output text, cost in US dollars, success, failure reason).") {
    raise(PyExc_NotImplementedError, "ask_raw() is implemented by each brain");
}

ORV_FUNCTION(abstract_is_available, "is_available(self) -> bool",
             "Whether the underlying system is installed and reachable.") {
    raise(PyExc_NotImplementedError, "is_available() is implemented by each brain");
}

ORV_FUNCTION(abstract_can_execute, "can_execute(self) -> bool",
             "Whether this brain has tool access (can modify files and run commands).") {
    raise(PyExc_NotImplementedError, "can_execute() is implemented by each brain");
}

// Times `self.ask_raw` with the host's monotonic clock and, when the run
// succeeded, parses its output. A parser that fails in any ordinary way
// leaves the findings, gaps and meta empty; the run's own result stands.
ORV_FUNCTION(ask,
             "ask(self, prompt: str, working_dir: str | None = None, timeout: int = 300, "
             "parser: Callable[[str], tuple[list[dict], list[dict], dict]] | None = None) "
             "-> BrainResult",
             "Run the prompt, time it and, when it succeeded and a parser is given, parse the "
             "answer into findings, gaps and meta.") {
    auto& [self, prompt, working_dir, timeout, parser] = args;
    object start = time_monotonic();
    object raw = getattr(self, k_ask_raw)(handle(prompt), handle(working_dir), handle(timeout));
    auto [output, cost, success, failure_reason] = unpack<4>(raw);
    object elapsed = own(PyNumber_Subtract(time_monotonic().ptr(), start.ptr()));
    object duration = builtins_round(elapsed, 2);
    object result = mod.get(k_BrainResult)(
        nb::arg("output") = output, nb::arg("success") = success, nb::arg("cost_usd") = cost,
        nb::arg("duration_secs") = duration, nb::arg("failure_reason") = failure_reason);
    if (parser != Py_None && truth(success.ptr())) {
        try {
            auto [findings, gaps, meta] = unpack<3>(handle(parser)(output));
            setattr(result, k_findings, findings);
            setattr(result, k_gaps, gaps);
            setattr(result, k_meta, meta);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    return result;
}

// -------------------------------------------------------- ClaudeCodeBrain

ORV_FUNCTION(claude_init,
             "__init__(self, binary: str = \"claude\", model: str = \"\", "
             "budget_usd: str = \"2.00\", effort: str = \"high\") -> None",
             "A brain that runs `binary`; an empty model, budget or effort is not passed.") {
    auto& [self, binary, model, budget_usd, effort] = args;
    setattr(self, k_binary, binary);
    setattr(self, k_model, model);
    setattr(self, k_budget_usd, budget_usd);
    setattr(self, k_effort, effort);
    return nb::none();
}

// shutil.which's rule: a name with a directory separator is a path, any
// other is searched along PATH.
ORV_FUNCTION(is_available, "is_available(self) -> bool",
             "Whether the binary is found as an executable (along PATH, or as a path).") {
    auto& [self] = args;
    return nb::bool_(!process::which(getattr(self, k_binary)).is_none());
}

ORV_FUNCTION(claude_can_execute, "can_execute(self) -> bool",
             "Always true: the program runs with its tools and without permission prompts.") {
    return nb::bool_(true);
}

ORV_FUNCTION(build_command, "_build_command(self, prompt: str) -> list[str]",
             "The program's argument list, the prompt as one argument.") {
    auto& [self, prompt] = args;
    nb::list command;
    command.append(getattr(self, k_binary));
    command.append("-p");
    command.append(handle(prompt));
    for (const char* part :
         {"--output-format", "stream-json", "--verbose", "--dangerously-skip-permissions"})
        command.append(part);
    const std::pair<const Name*, const char*> options[] = {
        {&k_model, "--model"}, {&k_budget_usd, "--max-budget-usd"}, {&k_effort, "--effort"}};
    for (const auto& [name, flag] : options) {
        object value = getattr(self, *name);
        if (!truth(value.ptr())) continue;
        command.append(flag);
        command.append(value);
    }
    return command;
}

// A run of the program: how it ended, and the failure reason when it did
// not complete (nullptr when it did).
struct Run {
    process::Result result;
    const Name* failure = nullptr;
};

// Starts `command` in `working_dir` with the child environment and waits
// for it within `timeout`; `input` (when valid) is its standard input.
Run run_program(handle command, handle working_dir, handle timeout, handle input, bool text) {
    Run run;
    object env;  // the request borrows it
    try {
        env = child_environment();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        run.failure = &k_launch_error;
        return run;
    }
    process::Request request;
    request.env = env;
    request.argv = command;
    request.cwd = working_dir;
    request.input = input;
    request.timeout = seconds(timeout);
    request.text = text;
    request.own_group = true;  // nothing it starts outlives the call
    run.result = process::run(request);
    switch (run.result.outcome) {
        case process::Outcome::completed: break;
        case process::Outcome::timeout: run.failure = &k_timeout; break;
        // The program or the working directory is missing, or not permitted.
        default: run.failure = &k_launch_error;
    }
    return run;
}

// returncode == 0, by the host's comparison.
bool exited_zero(const process::Result& run) { return equal(run.returncode, nb::int_(0)); }

// Runs the program and reads its stream-json events. A run that completes
// reports failure reason "" whatever its exit code; success means a result
// event was seen, or the program exited 0 without any text extracted (its
// whole output is then the answer).
ORV_FUNCTION(claude_ask_raw,
             "ask_raw(self, prompt: str, working_dir: str | None = None, timeout: int = 300) "
             "-> tuple[str, float, bool, str]",
             "Run the program on the prompt; return (output text, cost in US dollars, success, "
             "failure reason).") {
    auto& [self, prompt, working_dir, timeout] = args;
    if (!truth(call_method(self, k_is_available).ptr())) return failed(k_unavailable);
    object command = call_method(self, k_build_command, handle(prompt));
    // Bytes, to be decoded here, where that gives the text mode's text.
    const bool as_text = !text::subprocess_text_is_utf8();
    Run started = run_program(command, handle(working_dir), handle(timeout), handle(), as_text);
    if (started.failure) return failed(*started.failure);
    const process::Result& run = started.result;

    const bool as_bytes = PyBytes_Check(run.out.ptr());
    Reading reading = read_stream(run.out, run.err);
    object output = reading.answer;
    bool success = reading.success;
    if (exited_zero(run) && !truth(output.ptr())) {
        if (as_bytes) {
            const char* begin = PyBytes_AS_STRING(run.out.ptr());
            const char* end = begin + PyBytes_GET_SIZE(run.out.ptr());
            text::strip(begin, end);
            output = text::decode_universal(begin, end);
        } else {
            output = call_method(run.out, k_strip);
        }
        success = true;
    }
    return nb::make_tuple(output, reading.cost, success, k_empty.h());
}

// --------------------------------------------------------- GenericCLIBrain

ORV_FUNCTION(generic_init,
             "__init__(self, binary: str, args_before: list[str] | None = None, "
             "args_after: list[str] | None = None, prompt_via_stdin: bool = False, "
             "has_execute: bool = False) -> None",
             "A brain that runs `binary` with the prompt between two argument lists, or on "
             "standard input.") {
    auto& [self, binary, args_before, args_after, prompt_via_stdin, has_execute] = args;
    setattr(self, k_binary, binary);
    setattr(self, k_args_before, args_before == Py_None ? object(nb::list()) : nb::borrow(args_before));
    setattr(self, k_args_after, args_after == Py_None ? object(nb::list()) : nb::borrow(args_after));
    setattr(self, k_prompt_via_stdin, handle(prompt_via_stdin));
    setattr(self, k_has_execute, handle(has_execute));
    return nb::none();
}

ORV_FUNCTION(generic_can_execute, "can_execute(self) -> bool",
             "Whether the program was declared to have tool access.") {
    auto& [self] = args;
    return getattr(self, k_has_execute);
}

// Runs the program; its stripped standard output is the answer, success is
// exit code 0, and no cost is known. With the prompt on standard input,
// standard input is always a pipe (an empty prompt gives the program an
// immediate end of input, not the host's terminal).
ORV_FUNCTION(generic_ask_raw,
             "ask_raw(self, prompt: str, working_dir: str | None = None, timeout: int = 300) "
             "-> tuple[str, float, bool, str]",
             "Run the program on the prompt; return (output text, 0.0, success, failure reason).") {
    auto& [self, prompt, working_dir, timeout] = args;
    if (!truth(call_method(self, k_is_available).ptr())) return failed(k_unavailable);
    const bool via_stdin = truth(getattr(self, k_prompt_via_stdin).ptr());
    nb::list command;
    command.append(getattr(self, k_binary));
    call_method(command, k_extend, getattr(self, k_args_before));
    if (!via_stdin) command.append(handle(prompt));
    call_method(command, k_extend, getattr(self, k_args_after));
    Run started = run_program(command, handle(working_dir), handle(timeout),
                              via_stdin ? handle(prompt) : handle(), true);
    if (started.failure) return failed(*started.failure);
    const process::Result& run = started.result;
    return nb::make_tuple(call_method(run.out, k_strip), nb::float_(0.0), exited_zero(run),
                          k_empty.h());
}

// ------------------------------------------------------------- the factory

ORV_FUNCTION(load_brain, "load_brain(config: dict) -> BrainInterface",
             "Build a brain from the \"brain\" section of an instance's configuration.") {
    auto& [config] = args;
    handle cfg(config);
    object type = get(cfg, k_type, k_claude_code.h());
    if (equal(type, k_claude_code.h())) {
        return mod.get(k_ClaudeCodeBrain)(
            nb::arg("binary") = get(cfg, k_binary, nb::str("claude")),
            nb::arg("model") = get(cfg, k_model, nb::str("claude-opus-4-6")),
            nb::arg("budget_usd") = own(PyObject_Str(get(cfg, k_budget_usd, nb::str("5.00")).ptr())),
            nb::arg("effort") = get(cfg, k_effort, nb::str("high")));
    }
    if (equal(type, k_generic_cli.h())) {
        return mod.get(k_GenericCLIBrain)(
            nb::arg("binary") = get(cfg, k_binary, k_empty.h()),
            nb::arg("args_before") = get(cfg, k_args_before, nb::list()),
            nb::arg("args_after") = get(cfg, k_args_after, nb::list()),
            nb::arg("prompt_via_stdin") = get(cfg, k_prompt_via_stdin, nb::bool_(false)),
            nb::arg("has_execute") = get(cfg, k_can_execute, nb::bool_(false)));
    }
    raise(PyExc_ValueError, "Unknown brain type %R. Supported: 'claude-code', 'generic-cli'.",
          type.ptr());
}

}  // namespace

NB_MODULE(brain, m) {
    mod.init(m,
             "Brains: the result record, the abstract brain with its timed `ask`, the brains "
             "that drive the claude program and any other command-line program, and the "
             "factory.");
    json::init();

    ClassBuilder result(mod, "BrainResult", "Result from a brain invocation.");
    handle list_type(reinterpret_cast<PyObject*>(&PyList_Type));
    handle dict_type(reinterpret_cast<PyObject*>(&PyDict_Type));
    result.field("output", "str", nb::str(""))
        .field_factory("findings", "list[dict]", list_type)
        .field_factory("gaps", "list[dict]", list_type)
        .field_factory("meta", "dict", dict_type)
        .field("success", "bool", nb::bool_(false))
        .field("cost_usd", "float", nb::float_(0.0))
        .field("duration_secs", "float", nb::float_(0.0))
        .field("failure_reason", "str", nb::str(""));
    m.attr("BrainResult") = result.build_dataclass();

    ClassBuilder interface(mod, "BrainInterface", "Any system that accepts a prompt and returns text.");
    interface.base(abc_ABC.get())
        .abstract_method(abstract_ask_raw_def)
        .abstract_method(abstract_is_available_def)
        .abstract_method(abstract_can_execute_def)
        .method(ask_def);
    object brain_interface = interface.build();
    m.attr("BrainInterface") = brain_interface;

    ClassBuilder claude(mod, "ClaudeCodeBrain",
                        "Brain that runs the claude program non-interactively and reads its "
                        "stream-json events.");
    claude.base(brain_interface)
        .method(claude_init_def)
        .method(claude_ask_raw_def)
        .method(is_available_def)
        .method(claude_can_execute_def)
        .method(build_command_def);
    m.attr("ClaudeCodeBrain") = claude.build();

    ClassBuilder generic(mod, "GenericCLIBrain",
                         "Brain for any command-line program that takes a prompt and prints "
                         "its answer.");
    generic.base(brain_interface)
        .method(generic_init_def)
        .method(generic_ask_raw_def)
        .method(is_available_def)
        .method(generic_can_execute_def);
    m.attr("GenericCLIBrain") = generic.build();

    mod.function(load_brain_def);
}
