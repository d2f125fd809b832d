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


def key(rng, name):
    return json_string(rng, name)


def text_block(rng):
    members = []
    if rng.random() < 0.9:
        members.append((key(rng, "type"), rare(
            rng, lambda: json_string(rng, rng.choice(["text", "text", "tool_use", "texts"])),
            lambda: json_value(rng, 2))))
    if rng.random() < 0.9:
        members.append((key(rng, "text"), rare(
            rng, lambda: json_string(rng, some_text(rng)), lambda: json_value(rng, 2), 0.03)))
    if rng.random() < 0.3:
        members.append((key(rng, rng.choice(["id", "input", "text"])), json_value(rng, 2)))
    rng.shuffle(members)
    return json_object(rng, members)


def message(rng):
    members = []
    if rng.random() < 0.9:
        def content():
            items = [rare(rng, lambda: text_block(rng), lambda: json_value(rng, 2), 0.15)
                     for _ in range(rng.randrange(4))]
            return "[" + ",".join(items) + "]"
        members.append((key(rng, "content"), rare(rng, content, lambda: json_value(rng, 1), 0.06)))
    if rng.random() < 0.3:
        members.append((key(rng, rng.choice(["role", "content", "usage"])), json_value(rng, 1)))
    rng.shuffle(members)
    return json_object(rng, members)


def event(rng):
    """One event line's JSON text: mostly well formed, sometimes odd in a way that matters."""
    members = []
    if rng.random() < 0.9:
        members.append((key(rng, "type"), rare(
            rng, lambda: json_string(rng, rng.choice(["assistant", "assistant", "result", "user",
                                                       "system", "Result"])),
            lambda: json_value(rng, 1))))
    if rng.random() < 0.7:
        members.append((key(rng, "message"), rare(rng, lambda: message(rng),
                                                  lambda: json_value(rng, 1), 0.04)))
    if rng.random() < 0.3:
        members.append((key(rng, "result"), rare(
            rng, lambda: json_string(rng, some_text(rng)), lambda: json_value(rng, 1), 0.2)))
    if rng.random() < 0.25:
        members.append((key(rng, "total_cost_usd"), rare(
            rng, lambda: rng.choice(NUMBERS[:10]),
            lambda: rng.choice(['"0.5"', '"abc"', "null", "[]", "true", "1e400", "NaN"]), 0.1)))
    for _ in range(rng.randrange(3)):
        members.append((key(rng, rng.choice(["session_id", "type", "message", "x"])),
                        json_value(rng, 1)))
    rng.shuffle(members)
    return json_object(rng, members)


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
        text = json_string(rng, f"{i},")
        out.append(json_object(rng, [(key(rng, "type"), json_string(rng, "assistant")),
                                     (key(rng, "x"), checked_value(rng)),
                                     (key(rng, "message"), json_object(rng, [(key(rng, "content"), "[" + json_object(
                                         rng, [(key(rng, "type"), json_string(rng, "text")),
                                               (key(rng, "text"), text)]) + "]")]))]))
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


# ------------------------------------------------------------------ a large output


def large_output(size, seed=1):
    """About `size` bytes of stream-json as the claude program prints it for a long session:
    assistant text, tool calls and tool results (file contents), then a result event."""
    import random
    rng = random.Random(seed)
    words = ("the function returns a value when the cache is cold régression überprüfung 検証 "
             "retry budget schema latency drift — coverage `code` \"quoted\" path/to/file.py").split()

    def prose(n):
        out = []
        for _ in range(n):
            out.append(rng.choice(words))
            if rng.random() < 0.08:
                out.append("\n")
            if rng.random() < 0.02:
                out.append("\t")
        return " ".join(out)

    lines = [json.dumps({"type": "system", "subtype": "init", "cwd": "/srv/x", "session_id": "s",
                         "tools": ["Bash", "Read", "Edit"], "model": "m"})]
    total, i = 0, 0
    while total < size:
        i += 1
        r = rng.random()
        if r < 0.45:
            ev = {"type": "assistant", "message": {
                "id": f"msg_{i}", "type": "message", "role": "assistant", "model": "m",
                "content": [{"type": "text", "text": prose(rng.randrange(20, 400))}],
                "stop_reason": None, "usage": {"input_tokens": 12, "output_tokens": 345}},
                "parent_tool_use_id": None, "session_id": "s"}
        elif r < 0.65:
            ev = {"type": "assistant", "message": {
                "id": f"msg_{i}", "type": "message", "role": "assistant",
                "content": [{"type": "tool_use", "id": f"tu_{i}", "name": "Edit",
                             "input": {"file_path": "/srv/x/a.py", "old_string": prose(100),
                                       "new_string": prose(120)}}]}, "session_id": "s"}
        else:
            ev = {"type": "user", "message": {"role": "user", "content": [
                {"tool_use_id": f"tu_{i}", "type": "tool_result",
                 "content": prose(rng.randrange(100, 1500))}]}, "session_id": "s"}
        line = json.dumps(ev, ensure_ascii=rng.random() < 0.5)
        lines.append(line)
        total += len(line.encode()) + 1
    lines.append(json.dumps({"type": "result", "subtype": "success", "result": "",
                             "total_cost_usd": 0.4321, "session_id": "s"}))
    return ("\n".join(lines) + "\n").encode()
