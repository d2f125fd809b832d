// orvane.brain: the system's one contact with a language model.
//
// A brain runs an external command-line program with a prompt and returns
// its answer. `BrainInterface` is the abstract base class with the concrete
// `ask` (time the run, parse the answer into findings, gaps and meta);
// `ClaudeCodeBrain` drives the `claude` program and reads its stream-json
// events; `GenericCLIBrain` drives any prompt-in, text-out program;
// `load_brain` builds one from the "brain" section of a configuration.
//
// Programs start through the host's subprocess (support/process.hpp), never
// through a shell, with a copy of os.environ that lacks CLAUDECODE. Methods
// reach each other through attribute lookup, and the clock, rounding, JSON
// decoding and program lookup are the host's, looked up when called.
//
// A stream-json answer can run to many megabytes, so it is read natively
// when that is exact: the output is taken as bytes when the host's text mode
// would decode it as UTF-8 (support/text_mode.hpp), and while json.loads is
// the host's own, each event line is checked in place and only the values
// the reading needs are built (support/json_scan.hpp). Anything else goes
// through json.loads and host objects, line by line, as Python code would.
#include "support/host.hpp"
#include "support/json.hpp"
#include "support/json_scan.hpp"
#include "support/process.hpp"
#include "support/text_mode.hpp"
#include "support/unpack.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace orv;

Module mod;  // orvane.brain, read at call time

Name k_BrainResult{"BrainResult"}, k_ClaudeCodeBrain{"ClaudeCodeBrain"},
    k_GenericCLIBrain{"GenericCLIBrain"}, k_ask_raw{"ask_raw"}, k_is_available{"is_available"},
    k_build_command{"_build_command"}, k_binary{"binary"}, k_model{"model"},
    k_budget_usd{"budget_usd"}, k_effort{"effort"}, k_args_before{"args_before"},
    k_args_after{"args_after"}, k_prompt_via_stdin{"prompt_via_stdin"},
    k_has_execute{"_has_execute"}, k_can_execute{"can_execute"}, k_findings{"findings"},
    k_gaps{"gaps"}, k_meta{"meta"}, k_type{"type"}, k_total_cost_usd{"total_cost_usd"},
    k_message{"message"}, k_content{"content"}, k_text{"text"}, k_result{"result"},
    k_assistant{"assistant"}, k_claude_code{"claude-code"}, k_generic_cli{"generic-cli"},
    k_strip{"strip"}, k_extend{"extend"}, k_os{"os"}, k_environ{"environ"},
    k_copy{"copy"}, k_pop{"pop"}, k_CLAUDECODE{"CLAUDECODE"}, k_json{"json"},
    k_JSONDecodeError{"JSONDecodeError"}, k_empty{""}, k_unavailable{"unavailable"},
    k_launch_error{"launch_error"}, k_timeout{"timeout"};
Host time_monotonic{"time", "monotonic"}, builtins_round{"builtins", "round"},
    abc_ABC{"abc", "ABC"};

// ----------------------------------------------------------------- helpers

object float_of(handle value) { return own(PyNumber_Float(value.ptr())); }

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

// ------------------------------------------------------ the stream reading

// Reads a stream-json output into the answer text, the cost and success,
// with exactly the effects (and exceptions) of this loop over the output's
// lines:
//
//     line = line.strip(); skip it if empty
//     event = json.loads(line), skip the line on json.JSONDecodeError
//     event_type = event.get("type", "")
//     if "total_cost_usd" in event: cost = float(event["total_cost_usd"])
//     if event_type == "assistant" and "message" in event:
//         for block in event["message"].get("content", []):
//             if isinstance(block, dict) and block.get("type") == "text":
//                 output_text += block.get("text", "")
//     if event_type == "result":
//         result_text = event.get("result", ""); success = True
//         if result_text: output_text = result_text
//
// Lines are those of the host's text mode: ended by "\n", "\r\n" or "\r".
class StreamReader {
public:
    StreamReader()
        : native_(json::loads_is_native()),
          decode_error_(getattr(host_module(k_json), k_JSONDecodeError)) {}

    // The output as bytes: checked as the text mode would decode it (standard
    // error too, which it decodes as well), then read line by line.
    void read_bytes(handle out, handle err) {
        const char* data = PyBytes_AS_STRING(out.ptr());
        const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(out.ptr()));
        std::vector<text::Line> lines;
        if (!text::split_utf8_lines(data, size, lines)) text::raise_utf8_error(out);
        if (PyBytes_Check(err.ptr()) &&
            !text::valid_utf8(PyBytes_AS_STRING(err.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(err.ptr()))))
            text::raise_utf8_error(err);
        for (text::Line line : lines) {
            text::strip(line.begin, line.end);
            if (line.begin == line.end) continue;
            if (native_ && event_in_place(line.begin, line.end)) continue;
            line_text(own(PyUnicode_DecodeUTF8(line.begin, line.end - line.begin, "strict")), true);
        }
    }

    // The output as the host's text mode gave it.
    void read_text(handle out) {
        if (!PyUnicode_Check(out.ptr()))
            raise(PyExc_TypeError, "expected the program's output as str or bytes, got %.200s",
                  type_name(out.ptr()));
        const Py_ssize_t n = PyUnicode_GET_LENGTH(out.ptr());
        const int kind = PyUnicode_KIND(out.ptr());
        const void* data = PyUnicode_DATA(out.ptr());
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c != '\n' && c != '\r') continue;
            line_text(own(PyUnicode_Substring(out.ptr(), start, i)), false);
            if (c == '\r' && i + 1 < n && PyUnicode_READ(kind, data, i + 1) == '\n') ++i;
            start = i + 1;
        }
        if (start < n) line_text(own(PyUnicode_Substring(out.ptr(), start, n)), false);
    }

    // output_text as it stands.
    object answer() {
        if (other_.is_valid()) return other_;
        flush();
        if (pieces_.empty()) return nb::borrow(k_empty.ptr());
        if (pieces_.size() > 1) {
            nb::list all;
            for (auto& piece : pieces_) all.append(piece);
            object joined = own(PyUnicode_Join(k_empty, all.ptr()));
            pieces_.assign(1, joined);
        }
        return pieces_.front();
    }

    object cost = nb::float_(0.0);
    bool success = false;

private:
    // ------------------------------------------------ lines as host objects

    // One line, as a str (already stripped when `stripped`).
    void line_text(object line, bool stripped) {
        if (!stripped) line = call_method(line, k_strip);
        if (PyUnicode_Check(line.ptr()) && PyUnicode_GET_LENGTH(line.ptr()) == 0) return;
        object event;
        try {
            event = json::loads(line);
        } catch (nb::python_error& e) {
            if (e.matches(decode_error_.ptr())) return;
            throw;
        }
        event_object(event);
    }

    void event_object(handle event) {
        object event_type = get(event, k_type, k_empty.h());
        if (contains(event, k_total_cost_usd.h()))
            cost = float_of(own(PyObject_GetItem(event.ptr(), k_total_cost_usd)));
        if (equal(event_type, k_assistant.h()) && contains(event, k_message.h())) {
            object message = own(PyObject_GetItem(event.ptr(), k_message));
            blocks(get(message, k_content, nb::list()));
        }
        if (equal(event_type, k_result.h())) {
            object result_text = get(event, k_result, k_empty.h());
            success = true;
            if (truth(result_text.ptr())) replace(result_text);
        }
    }

    void blocks(handle content) {
        for_each(content, [&](object block) {
            if (PyDict_Check(block.ptr()) && equal(get(block, k_type, nb::none()), k_text.h()))
                append(get(block, k_text, k_empty.h()));
        });
    }

    // ------------------------------------------------ lines read in place

    // One stripped line, while json.loads is the host's own: false (with
    // nothing done) unless it is an object that the check accepts; the line
    // then goes through json.loads. The check is the one walk over the
    // line: it notes where the values that the reading needs stand, and the
    // reading builds only those.
    bool event_in_place(const char* begin, const char* end) {
        if (*begin != '{') return false;
        json::Members members(json::Span{begin, end});
        json::Span key, value, type, cost_value, message, result_text;
        while (members.next_key(key)) {
            const std::string_view name = key_text(key);
            if (name == "message" && *members.at() == '{') {
                const char* start = members.at();
                if (!members.value_ends(message_fields(start, end))) return false;
                message = json::Span{start, members.end()};
                continue;
            }
            if (!members.value(value)) return false;
            if (name == "type") type = value;
            else if (name == "total_cost_usd") cost_value = value;
            else if (name == "message") message = value;
            else if (name == "result") result_text = value;
        }
        if (!members.ok()) return false;
        const char* rest = members.end();
        while (rest < end && (*rest == ' ' || *rest == '\t')) ++rest;
        if (rest != end) return false;

        // A missing type is "", which equals neither name.
        const bool is_assistant = json::string_is(type, "assistant");
        const bool is_result = json::string_is(type, "result");
        if (cost_value.present()) cost = float_of(decode(cost_value));
        if (is_assistant && message.present()) message_in_place(message);
        if (is_result) {
            success = true;
            if (result_text.present()) {
                if (result_text.first() == '"') {
                    if (result_text.size() > 2) replace_with_string(result_text);
                } else {
                    object value = decode(result_text);
                    if (truth(value.ptr())) replace(value);
                }
            }
        }
        return true;
    }

    // Checks the message map that starts at p, noting its (last) "content"
    // and, when that is a list, the "type" and "text" of each map in it.
    // Past the map, or nullptr to decline.
    const char* message_fields(const char* p, const char* end) {
        content_ = json::Span{};
        blocks_.clear();
        json::Members members(json::Span{p, end}, 1);
        json::Span key, value;
        while (members.next_key(key)) {
            const bool is_content = key_text(key) == "content";
            if (!is_content || *members.at() != '[') {
                if (!members.value(value)) return nullptr;
                if (is_content) {
                    content_ = value;
                    blocks_.clear();
                }
                continue;
            }
            blocks_.clear();
            const char* start = members.at();
            json::Elements elements(json::Span{start, end}, 2);
            while (elements.next_start()) {
                if (*elements.at() != '{') {
                    if (!elements.value(value)) return nullptr;
                    continue;
                }
                TextBlock block;
                json::Members fields(json::Span{elements.at(), end}, 3);
                while (fields.next(key, value)) {
                    const std::string_view name = key_text(key);
                    if (name == "type") block.type = value;
                    else if (name == "text") block.text = value;
                }
                if (!fields.ok() || !elements.value_ends(fields.end())) return nullptr;
                blocks_.push_back(block);
            }
            if (!elements.ok() || !members.value_ends(elements.end())) return nullptr;
            content_ = json::Span{start, elements.end()};
        }
        return members.ok() ? members.end() : nullptr;
    }

    void message_in_place(json::Span message) {
        if (message.first() != '{') {
            // Not a map: its `get` is what fails, as the host says it.
            object value = decode(message);
            blocks(get(value, k_content, nb::list()));
            return;
        }
        if (!content_.present()) return;
        switch (content_.first()) {
            case '[':
                for (const TextBlock& block : blocks_) {
                    if (!json::string_is(block.type, "text")) continue;
                    if (!block.text.present()) append(k_empty.h());
                    else if (block.text.first() == '"') append_string(block.text);
                    else append(decode(block.text));
                }
                return;
            case '{':
            case '"':
                return;  // iterating a map or a str yields no map
            default:
                blocks(decode(content_));  // not iterable: the host's TypeError
        }
    }

    // A key's text; keys with escapes are decoded into scratch space.
    std::string_view key_text(json::Span key) {
        const std::string_view inner(key.begin + 1, key.size() - 2);
        if (inner.find('\\') == std::string_view::npos) return inner;
        key_scratch_.clear();
        // A lone surrogate matches no name: the raw text (with its
        // backslash) does not either.
        return json::append_string(key, key_scratch_) ? std::string_view(key_scratch_) : inner;
    }

    // json.loads of a span the check accepted.
    object decode(json::Span span) {
        if (PyObject* v = decoder_.decode(span.begin, span.size())) return nb::steal(v);
        return json::loads(own(PyUnicode_DecodeUTF8(span.begin, static_cast<Py_ssize_t>(span.size()), "strict")));
    }

    // ---------------------------------------------------- the answer text
    //
    // While output_text is a str built here, it is kept as pieces: UTF-8
    // text decoded from the events, and str objects; they are joined once.
    // When the output makes it something else (a result that is not a str,
    // or an append that is not a str), it is that host object, and every
    // later append is the host's `+=`.

    void append(handle value) {
        if (!other_.is_valid() && PyUnicode_CheckExact(value.ptr())) {
            if (PyUnicode_GET_LENGTH(value.ptr()) == 0) return;
            flush();
            pieces_.push_back(nb::borrow(value));
            return;
        }
        object current = answer();
        other_ = own(PyNumber_InPlaceAdd(current.ptr(), value.ptr()));
        pieces_.clear();
    }

    void append_string(json::Span text_value) {
        if (other_.is_valid() || !json::append_string(text_value, utf8_)) append(decode(text_value));
    }

    void replace(handle value) {
        pieces_.clear();
        utf8_.clear();
        other_.reset();
        if (!PyUnicode_CheckExact(value.ptr())) other_ = nb::borrow(value);
        else if (PyUnicode_GET_LENGTH(value.ptr())) pieces_.push_back(nb::borrow(value));
    }

    void replace_with_string(json::Span text_value) {
        pieces_.clear();
        utf8_.clear();
        other_.reset();
        if (!json::append_string(text_value, utf8_)) replace(decode(text_value));
    }

    void flush() {
        if (utf8_.empty()) return;
        pieces_.push_back(own(PyUnicode_DecodeUTF8(utf8_.data(), static_cast<Py_ssize_t>(utf8_.size()), "strict")));
        utf8_.clear();
    }

    // The maps in a message's content list, as message_fields found them.
    struct TextBlock {
        json::Span type, text;
    };

    bool native_;
    object decode_error_;
    json::Span content_;
    std::vector<TextBlock> blocks_;
    json::Decoder decoder_;
    std::string key_scratch_;
    std::string utf8_;
    std::vector<object> pieces_;
    object other_;
};

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

    StreamReader reader;
    const bool as_bytes = PyBytes_Check(run.out.ptr());
    if (as_bytes) reader.read_bytes(run.out, run.err);
    else reader.read_text(run.out);
    object output = reader.answer();
    bool success = reader.success;
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
    return nb::make_tuple(output, reader.cost, success, k_empty.h());
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
