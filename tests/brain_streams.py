"""Stream-json outputs for the brain's tests and benchmark, and the plain Python reading of them.

`reference_ask_raw` is the reading written the plain way (text-mode output, json.loads per line),
against which `ClaudeCodeBrain.ask_raw` is compared. The generators write JSON text by hand so that
outputs hold what a serializer never writes: escaped keys, odd spacing, duplicate keys, broken lines.
"""
import json
import os
import subprocess
from pathlib import Path

from tests.conftest import same


def write_program(path, body, interpreter="/bin/sh"):
    """An executable script at `path`; returns its path as text."""
    path = Path(path)
    path.write_text(f"#!{interpreter}\n{body}")
    path.chmod(0o755)
    return str(path)


def outcome(fn, *args, **kwargs):
    """("ok", value) or ("raised", type, message): what a call gives, for comparing two calls."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the exception is the result being compared
        return ("raised", type(e), str(e))


def same_outcome(a, b):
    """Equal values of identical types, or the same exception type and message."""
    return a[0] == b[0] and (same(a[1], b[1]) if a[0] == "ok" else a[1:] == b[1:])


def reference_read(stdout, returncode):
    """The answer, cost, success and reason read from a finished run's text output."""
    output_text, cost, success = "", 0.0, False
    for line in stdout.split("\n"):
        line = line.strip()
        if not line:
            continue
        try:
            event = json.loads(line)
        except json.JSONDecodeError:
            continue
        event_type = event.get("type", "")
        if "total_cost_usd" in event:
            cost = float(event["total_cost_usd"])
        if event_type == "assistant" and "message" in event:
            for block in event["message"].get("content", []):
                if isinstance(block, dict) and block.get("type") == "text":
                    output_text += block.get("text", "")
        if event_type == "result":
            result_text = event.get("result", "")
            success = True
            if result_text:
                output_text = result_text
    if returncode == 0 and not output_text:
        output_text = stdout.strip()
        success = True
    return (output_text, cost, success, "")


def reference_ask_raw(command, working_dir=None, timeout=300):
    """The whole run, as plain Python drives the program."""
    env = os.environ.copy()
    env.pop("CLAUDECODE", None)
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                              cwd=working_dir, env=env)
    except subprocess.TimeoutExpired:
        return ("", 0.0, False, "timeout")
    except OSError:
        return ("", 0.0, False, "launch_error")
    return reference_read(proc.stdout, proc.returncode)


# ------------------------------------------------------------------ generated outputs

TEXTS = ["assistant", "result", "text", "user", "", "hello ", "wörld", "検証", "😀", "a\u2028b",
         "x\ud800y", "\udc00", "\ud800\udc00", "tab\tand\nline", "\\", '"quoted"', "\x00", "\x7f", "/", "é\r"]
NUMBERS = ["0", "-0", "1", "12", "0.25", "-1.5e3", "1E+2", "1e-2", "3", "0.1", "NaN", "Infinity",
           "-Infinity", "1e400", "123456789012345678901234567890", "1" * 700, "-0.0"]
SPACES = ["", "", "", " ", "\t", "  "]
LINE_SPACES = ["", "", "", " ", "\t", "\x0b", "\x0c", "\x1c", "\xa0", "\u2003", "\u3000", "\x85"]
MUTATIONS = list('{}[],:"\\ 0123456789eE.-+tfnu') + ["\x00", "\x1f", "é"]
SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\b": "\\b",
                 "\f": "\\f", "/": "\\/"}


def json_string(rng, text):
    """`text` as a JSON string, each character raw or escaped at random (as far as JSON allows)."""
    out = ['"']
    for ch in text:
        code = ord(ch)
        must_escape = ch in '"\\' or code < 0x20 or 0xD800 <= code <= 0xDFFF
        if not must_escape and rng.random() > 0.2:
            out.append(ch)
        elif ch in SHORT_ESCAPES and rng.random() < 0.7:
            out.append(SHORT_ESCAPES[ch])
        elif code > 0xFFFF:
            code -= 0x10000
            out.append("\\u%04x\\u%04X" % (0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF)))
        else:
            out.append(("\\u%04x" if rng.random() < 0.5 else "\\u%04X") % code)
    out.append('"')
    return "".join(out)


def some_text(rng):
    if rng.random() < 0.6:
        return rng.choice(TEXTS)
    return "".join(rng.choice(TEXTS) for _ in range(rng.randrange(1, 5)))


def json_object(rng, members):
    ws = lambda: rng.choice(SPACES)
    inner = ",".join(f"{ws()}{key}{ws()}:{ws()}{value}{ws()}" for key, value in members)
    return "{" + (inner or ws()) + "}"


def json_value(rng, depth=0):
    """Any JSON value as text."""
    kind = rng.random()
    if depth > 3 or kind < 0.35:
        return json_string(rng, some_text(rng))
    if kind < 0.6:
        return rng.choice(NUMBERS)
    if kind < 0.7:
        return rng.choice(["true", "false", "null"])
    if kind < 0.85:
        items = [json_value(rng, depth + 1) for _ in range(rng.randrange(4))]
        return "[" + ",".join(rng.choice(SPACES) + item for item in items) + "]"
    return json_object(rng, [(json_string(rng, some_text(rng)), json_value(rng, depth + 1))
                             for _ in range(rng.randrange(4))])


def rare(rng, usual, unusual, p=0.08):
    return unusual() if rng.random() < p else usual()


def fields(rng, *specs):
    """A JSON object of (probability, name, value function) fields, present by chance, shuffled."""
    members = [(json_string(rng, name), value()) for p, name, value in specs if rng.random() < p]
    rng.shuffle(members)
    return json_object(rng, members)


def text_block(rng):
    return fields(
        rng,
        (0.9, "type", lambda: rare(rng, lambda: json_string(rng, rng.choice(["text", "text", "tool_use"])),
                                   lambda: json_value(rng, 2))),
        (0.9, "text", lambda: rare(rng, lambda: json_string(rng, some_text(rng)),
                                   lambda: json_value(rng, 2), 0.03)),
        (0.3, rng.choice(["id", "input", "text"]), lambda: json_value(rng, 2)))


def message(rng):
    def content():
        blocks = [rare(rng, lambda: text_block(rng), lambda: json_value(rng, 2), 0.15)
                  for _ in range(rng.randrange(4))]
        return "[" + ",".join(blocks) + "]"
    return fields(rng, (0.9, "content", lambda: rare(rng, content, lambda: json_value(rng, 1), 0.06)),
                  (0.3, rng.choice(["role", "content"]), lambda: json_value(rng, 1)))


def event(rng):
    """One event line's JSON text: mostly well formed, sometimes odd in a way that matters."""
    types = ["assistant", "assistant", "result", "user", "Result"]
    costs = ['"0.5"', '"abc"', "null", "[]", "true", "1e400", "NaN"]
    return fields(
        rng,
        (0.9, "type", lambda: rare(rng, lambda: json_string(rng, rng.choice(types)), lambda: json_value(rng, 1))),
        (0.7, "message", lambda: rare(rng, lambda: message(rng), lambda: json_value(rng, 1), 0.04)),
        (0.3, "result", lambda: rare(rng, lambda: json_string(rng, some_text(rng)), lambda: json_value(rng, 1), 0.2)),
        (0.25, "total_cost_usd", lambda: rare(rng, lambda: rng.choice(NUMBERS[:10]), lambda: rng.choice(costs), 0.1)),
        (0.4, rng.choice(["session_id", "type", "message", "result"]), lambda: json_value(rng, 1)))


def mutate(rng, line):
    pos = rng.randrange(len(line) + 1)
    action = rng.random()
    if action < 0.4:
        return line[:pos] + line[pos + 1:]
    if action < 0.8:
        return line[:pos] + rng.choice(MUTATIONS) + line[pos:]
    return line[:pos]


def stream_line(rng):
    kind = rng.random()
    if kind < 0.75:
        line = event(rng)
    elif kind < 0.8:
        line = json_value(rng)  # not an object: reading it fails, as it should
    elif kind < 0.9:
        line = rng.choice(["warning: retrying", "", "progress 50%", "{", "}", "[1, 2"])
    else:
        line = mutate(rng, event(rng))
    return rng.choice(LINE_SPACES) + line + rng.choice(LINE_SPACES)


ODD_VALUES = ["01", "1.", ".5", "-", "1e", "1e+", "- 1", "+1", "0x1", "1_000", "nan", "inf", "True",
              '"\\x41"', '"\\u12"', '"\\u12g4"', '"\\U0041"', '"\t"', '"\x7f"', "[1,]", "{,}",
              '{"a" 1}', '{"a":1,}', '{"a":1 "b":2}', "[1 2]", "tru", "nul", "-Infinityx",
              "-NaN", "Infinit", '"\\ud800"', '"\\ud800\\u0041"', '"\\udc00\\ud800"', "[]]",
              "{}}", '"a"b"', "1.5e3.2", "-0.e1", "[" * 199 + "]" * 199, "[" * 201 + "]" * 201,
              "1" * 650, "-" + "9" * 601, "1" * 599 + ".5", "1" * 640 + "e1"]


def checked_value(rng):
    """A value that json.loads may or may not accept: odd forms, or a mutated valid value."""
    if rng.random() < 0.3:
        return rng.choice(ODD_VALUES)
    value = json_value(rng, 1)
    for _ in range(rng.randrange(3)):
        value = mutate(rng, value)
    return value


def acceptance_output(rng, lines=40):
    """Lines that each append their number to the answer if, and only if, json.loads accepts
    them: the answer lists exactly the lines read as JSON."""
    out = []
    for i in range(lines):
        block = fields(rng, (1, "type", lambda: json_string(rng, "text")),
                       (1, "text", lambda: json_string(rng, f"{i},")))
        out.append(fields(rng, (1, "type", lambda: json_string(rng, "assistant")),
                          (1, "x", lambda: checked_value(rng)),
                          (1, "message", lambda: fields(rng, (1, "content", lambda: f"[{block}]")))))
    return ("\n".join(out) + "\n").encode()


def stream_output(rng, max_lines=8):
    """A program's standard output as bytes: a few lines, assorted line ends, now and then a byte
    that is not UTF-8."""
    lines = [stream_line(rng) for _ in range(rng.randrange(max_lines + 1))]
    text = ""
    for line in lines:
        text += line + rng.choice(["\n", "\n", "\r\n", "\r"])
    if lines and rng.random() < 0.3:
        text = text.rstrip("\r\n")
    data = text.encode()
    if rng.random() < 0.03:
        pos = rng.randrange(len(data) + 1)
        data = data[:pos] + rng.choice([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xe2\x82"]) + data[pos:]
    return data
